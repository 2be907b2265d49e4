#pragma once
// Raster lines of each kind PAPPL delivers, made into rows of a 1-bit page (PBM layout,
// set bit black). Grey and colour are dithered with the job's dither matrix.

#include <pappl/pappl.h>

#include <cstdint>

enum class LineFormat {
  Black1,  // 1 bit, set bit black (PWG black_1, CUPS K)
  White1,  // 1 bit, set bit white (CUPS W, SW)
  Black8,  // 8 bits, 255 black (black_8)
  White8,  // 8 bits, 255 white (sgray_8)
  Rgb24,   // 8 bits per colour, 255 white (srgb_8, rgb_8)
};

// The line format of a raster header; false for one the printer cannot take.
bool LineFormatOf(const cups_page_header2_t &header, LineFormat *format);

// Sets the black pixels of the first `pixels` pixels of a line in row (zeroed,
// (pixels + 7) / 8 bytes at least). y is the line's number, for the dither.
void ConvertLine(LineFormat format, const unsigned char *line, int32_t pixels,
                 const pappl_dither_t &dither, unsigned y, unsigned char *row);
