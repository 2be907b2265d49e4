#include "LineConversion.h"

#include <cstring>

namespace {

inline void SetBlack(unsigned char *row, int32_t x) {
  row[x >> 3] |= static_cast<unsigned char>(0x80u >> (x & 7));
}

// Grey level 0 (black) to 255 (white), black where it does not rise above the matrix.
// White stays white even where a matrix holds 255, so a blank page carries no dots.
inline bool DitheredBlack(unsigned grey, const pappl_dither_t &dither, unsigned y, int32_t x) {
  return grey != 255 && grey <= dither[y & 15][x & 15];
}

}  // namespace

bool LineFormatOf(const cups_page_header2_t &header, LineFormat *format) {
  // The header may come from the network: the colour space is read as the number it is.
  uint32_t colorSpace = 0;
  static_assert(sizeof header.cupsColorSpace == sizeof colorSpace);
  memcpy(&colorSpace, &header.cupsColorSpace, sizeof colorSpace);
  const bool setIsWhite = colorSpace == CUPS_CSPACE_W || colorSpace == CUPS_CSPACE_SW;
  const bool black = colorSpace == CUPS_CSPACE_K;
  const bool rgb = colorSpace == CUPS_CSPACE_RGB || colorSpace == CUPS_CSPACE_SRGB ||
                   colorSpace == CUPS_CSPACE_ADOBERGB;
  if (header.cupsColorOrder != CUPS_ORDER_CHUNKED) return false;
  if (header.cupsBitsPerPixel == 1 && header.cupsBitsPerColor == 1 && (black || setIsWhite)) {
    *format = black ? LineFormat::Black1 : LineFormat::White1;
    return true;
  }
  if (header.cupsBitsPerPixel == 8 && header.cupsBitsPerColor == 8 && (black || setIsWhite)) {
    *format = black ? LineFormat::Black8 : LineFormat::White8;
    return true;
  }
  if (header.cupsBitsPerPixel == 24 && header.cupsBitsPerColor == 8 && rgb) {
    *format = LineFormat::Rgb24;
    return true;
  }
  return false;
}

void ConvertLine(LineFormat format, const unsigned char *line, int32_t pixels,
                 const pappl_dither_t &dither, unsigned y, unsigned char *row) {
  if (pixels <= 0) return;
  const int32_t bytes = (pixels + 7) / 8;
  const unsigned char lastMask = static_cast<unsigned char>(0xFFu << ((8 - pixels % 8) % 8));
  switch (format) {
    case LineFormat::Black1:
      memcpy(row, line, static_cast<size_t>(bytes));
      row[bytes - 1] &= lastMask;
      return;
    case LineFormat::White1:
      for (int32_t i = 0; i < bytes; ++i) row[i] = static_cast<unsigned char>(~line[i]);
      row[bytes - 1] &= lastMask;
      return;
    case LineFormat::Black8:
      for (int32_t x = 0; x < pixels; ++x) {
        if (DitheredBlack(255u - line[x], dither, y, x)) SetBlack(row, x);
      }
      return;
    case LineFormat::White8:
      for (int32_t x = 0; x < pixels; ++x) {
        if (DitheredBlack(line[x], dither, y, x)) SetBlack(row, x);
      }
      return;
    case LineFormat::Rgb24:
      for (int32_t x = 0; x < pixels; ++x) {
        const unsigned char *rgb = line + 3 * x;
        // The luminance weights PAPPL's own image filter uses.
        const unsigned grey = (rgb[0] * 31u + rgb[1] * 61u + rgb[2] * 8u) / 100u;
        if (DitheredBlack(grey, dither, y, x)) SetBlack(row, x);
      }
      return;
  }
}
