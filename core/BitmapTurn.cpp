#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "BitmapTurn.h"

namespace {

inline bool GetPixel(const unsigned char *bitmap, int64_t stride, int64_t row, int64_t col) {
  return (bitmap[row * stride + col / 8] >> (7 - col % 8)) & 1;
}

inline void SetPixel(unsigned char *bitmap, int64_t stride, int64_t row, int64_t col) {
  bitmap[row * stride + col / 8] |= static_cast<unsigned char>(0x80 >> (col % 8));
}

// Transposes an 8x8 bit matrix held as eight row bytes, row 0 in the most significant
// byte and column 0 in the most significant bit of each byte: afterwards byte j holds
// what was column j, with row i in bit 7 - i.
inline uint64_t Transpose8x8(uint64_t x) {
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x ^= t ^ (t << 28);
  return x;
}

inline uint64_t LoadWord(const unsigned char *bytes) {
  uint64_t word;
  memcpy(&word, bytes, sizeof word);
  return word;
}

// Byte m of an 8-byte run as loaded by LoadWord, whatever the machine's byte order.
inline unsigned ByteOfWord(uint64_t word, int m) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<unsigned>(word >> (8 * m)) & 0xFF;
  } else {
    return static_cast<unsigned>(word >> (56 - 8 * m)) & 0xFF;
  }
}

// One band of a quarter turn: the (up to) eight source rows whose bits become byte
// column k of every destination row. rows[t] is the source row that lands in bit 7 - t
// of that byte, or null past the top or bottom edge, which keeps the destination's
// padding white. counterClockwise picks -90 (source column c becomes destination row
// width - 1 - c) over 90 (it becomes row c).
struct QuarterBand {
  const unsigned char *rows[8];
  int64_t srcStride;
  int width;
  int64_t dstStride;
  int64_t k;
  bool counterClockwise;
};

inline void StoreTransposed(const QuarterBand &band, uint64_t block, int64_t bx, unsigned char *dst) {
  const uint64_t turned = Transpose8x8(block);
  const int64_t firstCol = bx * 8;
  const int cols = static_cast<int>(std::min<int64_t>(8, band.width - firstCol));
  if (band.counterClockwise) {
    unsigned char *out = dst + (band.width - 1 - firstCol) * band.dstStride + band.k;
    for (int j = 0; j < cols; ++j, out -= band.dstStride) {
      *out = static_cast<unsigned char>(turned >> (56 - 8 * j));
    }
  } else {
    unsigned char *out = dst + firstCol * band.dstStride + band.k;
    for (int j = 0; j < cols; ++j, out += band.dstStride) {
      *out = static_cast<unsigned char>(turned >> (56 - 8 * j));
    }
  }
}

// A band with all eight rows present. Text pages are mostly white, so eight blocks side by
// side are first tested together and skipped at once when they are all white.
void TurnFullBand(const QuarterBand &band, unsigned char *dst) {
  const unsigned char *const *rows = band.rows;
  int64_t bx = 0;
  for (; bx + 8 <= band.srcStride; bx += 8) {
    uint64_t words[8];
    uint64_t any = 0;
    for (int t = 0; t < 8; ++t) {
      words[t] = LoadWord(rows[t] + bx);
      any |= words[t];
    }
    if (any == 0) continue;
    for (int m = 0; m < 8; ++m) {
      uint64_t block = 0;
      for (int t = 0; t < 8; ++t) block = (block << 8) | ByteOfWord(words[t], m);
      if (block != 0) StoreTransposed(band, block, bx + m, dst);
    }
  }
  for (; bx < band.srcStride; ++bx) {
    uint64_t block = 0;
    for (int t = 0; t < 8; ++t) block = (block << 8) | rows[t][bx];
    if (block != 0) StoreTransposed(band, block, bx, dst);
  }
}

// A band at the top or bottom edge, with some rows missing.
void TurnPartialBand(const QuarterBand &band, unsigned char *dst) {
  for (int64_t bx = 0; bx < band.srcStride; ++bx) {
    uint64_t block = 0;
    for (int t = 0; t < 8; ++t) {
      block = (block << 8) | (band.rows[t] != nullptr ? band.rows[t][bx] : 0u);
    }
    if (block != 0) StoreTransposed(band, block, bx, dst);
  }
}

void TurnQuarter(const unsigned char *src, int width, int height, bool counterClockwise,
                 unsigned char *dst) {
  QuarterBand band{};
  band.srcStride = PbmStride(width);
  band.width = width;
  band.dstStride = PbmStride(height);
  band.counterClockwise = counterClockwise;
  for (int64_t k = 0; k < band.dstStride; ++k) {
    band.k = k;
    bool full = true;
    for (int t = 0; t < 8; ++t) {
      // Destination column 8k + t: source row 8k + t for -90, height - 1 - (8k + t) for 90.
      const int64_t col = 8 * k + t;
      const int64_t row = counterClockwise ? col : height - 1 - col;
      if (col < height) {
        band.rows[t] = src + row * band.srcStride;
      } else {
        band.rows[t] = nullptr;
        full = false;
      }
    }
    if (full) {
      TurnFullBand(band, dst);
    } else {
      TurnPartialBand(band, dst);
    }
  }
}

struct ReverseTable {
  unsigned char bits[256];
  constexpr ReverseTable() : bits() {
    for (int i = 0; i < 256; ++i) {
      int r = 0;
      for (int b = 0; b < 8; ++b) r |= ((i >> b) & 1) << (7 - b);
      bits[i] = static_cast<unsigned char>(r);
    }
  }
};
constexpr ReverseTable kReverse;

// A half turn: every row reversed and the rows in reverse order. Reversing a padded row
// puts the pixels `pad` bits to the right of their place, so each output byte is put
// together from two reversed source bytes; source padding falls off the left end and the
// output's padding comes from past the row's end, which is white.
void TurnHalf(const unsigned char *src, int width, int height, unsigned char *dst) {
  const int64_t stride = PbmStride(width);
  const int pad = static_cast<int>(stride * 8 - width);
  for (int64_t r = 0; r < height; ++r) {
    const unsigned char *in = src + r * stride;
    unsigned char *out = dst + (height - 1 - r) * stride;
    if (pad == 0) {
      for (int64_t k = 0; k < stride; ++k) out[k] = kReverse.bits[in[stride - 1 - k]];
      continue;
    }
    for (int64_t k = 0; k < stride; ++k) {
      const unsigned high = kReverse.bits[in[stride - 1 - k]];
      const unsigned low = k + 1 < stride ? kReverse.bits[in[stride - 2 - k]] : 0u;
      out[k] = static_cast<unsigned char>((high << pad) | (low >> (8 - pad)));
    }
  }
}

}  // namespace

void TurnBitmapPixelByPixel(const unsigned char *src, int width, int height, int angle,
                            unsigned char *dst) {
  if (angle != -90 && angle != 90 && angle != 180) return;
  const int64_t srcStride = PbmStride(width);
  const int64_t dstStride = angle == 180 ? srcStride : PbmStride(height);
  for (int64_t r = 0; r < height; ++r) {
    for (int64_t c = 0; c < width; ++c) {
      if (!GetPixel(src, srcStride, r, c)) continue;
      if (angle == -90) {
        SetPixel(dst, dstStride, width - 1 - c, r);
      } else if (angle == 90) {
        SetPixel(dst, dstStride, c, height - 1 - r);
      } else {
        SetPixel(dst, dstStride, height - 1 - r, width - 1 - c);
      }
    }
  }
}

void TurnBitmap(const unsigned char *src, int width, int height, int angle, unsigned char *dst) {
  if (width < 1 || height < 1) return;
  if (angle == -90 || angle == 90) {
    TurnQuarter(src, width, height, angle == -90, dst);
  } else if (angle == 180) {
    TurnHalf(src, width, height, dst);
  }
}
