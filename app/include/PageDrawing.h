#pragma once
// Drawing into a 1-bit page (PBM layout, set bit black): filled rectangles and text in a
// small built-in font of 5 x 7 dots, capitals, digits and punctuation. Lower-case letters
// are drawn as capitals; any other character, and each character of another script,
// as "?".

#include <cstdint>

struct PageCanvas {
  unsigned char *bits;
  int64_t stride;  // bytes per row
  int32_t width;
  int32_t height;
};

inline constexpr int32_t GLYPH_ADVANCE = 6;  // dots from one character to the next
inline constexpr int32_t GLYPH_HEIGHT = 7;   // dots

// Blackens the pixels from (left, top) up to, not including, (right, bottom), cut to the
// page.
void FillBlack(const PageCanvas &page, int32_t left, int32_t top, int32_t right, int32_t bottom);

// Draws UTF-8 text with its top left corner at (x, y), each dot of the font a square of
// `dot` pixels. Returns the number of characters drawn.
int32_t DrawText(const PageCanvas &page, int32_t x, int32_t y, int32_t dot, const char *text);
