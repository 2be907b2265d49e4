#pragma once
// PBM page files (raw P4 bitmaps, set bit black) and their quarter and half turns.

#include <cstdint>
#include <cstdio>

#include "BitmapTurn.h"

// Skips blanks, line ends and '#' comments between two header tokens.
void skipPbmComments(FILE *file);
// Reads magic, width and height. False when the numbers cannot be read.
bool ReadPbmHeader(FILE *file, char magic[3], int *width, int *height);
// Turns a PBM page file by -90, 90 or 180 degrees into outPath (may equal inPath).
// 0 on success, 1 on failure.
int rotatePbm(const char *inPath, const char *outPath, int angle);

// Turns a page held in memory (height rows of PbmStride(width) bytes) by -90, 90 or 180
// degrees and writes it as a PBM file. 0 on success, 1 when it cannot. The caller keeps
// the sizes within PBM_MAX_BITMAP_BYTES.
int WriteTurnedPbm(const unsigned char *src, int width, int height, int angle,
                   const char *outPath);
