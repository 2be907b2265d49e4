#pragma once
// PBM page files (raw P4 bitmaps, set bit black) and their quarter and half turns.

#include <cstdint>
#include <cstdio>

#include "BitmapTurn.h"
#include "Log.h"

// Skips blanks, line ends and '#' comments between two header tokens.
void skipPbmComments(FILE *file);
// Reads magic, width and height. False when the numbers cannot be read.
bool ReadPbmHeader(FILE *file, char magic[3], int *width, int *height);
// Writes a PBM page file into an open stream: the header "P4\n<width> <height>\n", then
// size bytes of rows; closes the stream whatever happens. 0 when all of it reached the
// file, otherwise the errno of the first failure (a full disk often shows only at the
// close, when the buffered tail is written).
int WritePbmAndClose(FILE *file, int64_t width, int64_t height, const unsigned char *rows,
                     uint64_t size);
// Turns a PBM page file by -90, 90 or 180 degrees into outPath (may equal inPath).
// 0 on success, 1 on failure.
int rotatePbm(const char *inPath, const char *outPath, int angle, const JobLog &log);

// Turns a page held in memory (height rows of PbmStride(width) bytes) by -90, 90 or 180
// degrees and writes it as a PBM file. 0 on success, 1 when it cannot, with errno saying
// why; a turned page beyond PBM_MAX_BITMAP_BYTES is refused before it is allocated.
int WriteTurnedPbm(const unsigned char *src, int width, int height, int angle, const char *outPath,
                   const JobLog &log);
