#pragma once
// Bi-level bitmaps in PBM row layout (rows of (width + 7) / 8 bytes, most significant bit
// leftmost, set bit black) and their quarter and half turns in memory.

#include <cstdint>

inline constexpr uint64_t PBM_MAX_BITMAP_BYTES = 1ull << 30;

inline int64_t PbmStride(int64_t width) { return (width + 7) / 8; }

// src holds height rows of PbmStride(width) bytes; dst must be zero-filled and hold the
// turned page (PbmStride of the turned width per row).
// The pixel-by-pixel definition, the reference for the fast turn:
void TurnBitmapPixelByPixel(const unsigned char *src, int width, int height, int angle,
                            unsigned char *dst);
// The same bits, computed on 8x8 blocks.
void TurnBitmap(const unsigned char *src, int width, int height, int angle, unsigned char *dst);
