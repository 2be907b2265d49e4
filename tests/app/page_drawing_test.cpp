// Drawing into a 1-bit page, as the test page does: rectangles and text are cut to the
// page, whatever their place (the sanitizers catch a write past it), and every character,
// of whatever script, is drawn once.

#include <gtest/gtest.h>

#include <vector>

#include "PageDrawing.h"

namespace {

int Inked(const std::vector<unsigned char> &bits) {
  int count = 0;
  for (const unsigned char byte : bits) count += __builtin_popcount(byte);
  return count;
}

TEST(PageDrawing, ShapesAndTextStayOnThePage) {
  std::vector<unsigned char> bits(2 * 9);  // 13 x 9: rows of 2 bytes, 3 bits of padding
  FillBlack(PageCanvas{bits.data(), 2, 13, 9}, -5, -5, 100, 100);
  EXPECT_EQ(Inked(bits), 13 * 9) << "the padding stays white";

  std::vector<unsigned char> text(5 * 10), upper(10 * 7), lower(10 * 7);
  EXPECT_EQ(DrawText(PageCanvas{text.data(), 5, 40, 10}, 30, 5, 2, "WWWW"), 4);  // mostly off
  DrawText(PageCanvas{upper.data(), 10, 80, 7}, 0, 0, 1, "ABC?");
  DrawText(PageCanvas{lower.data(), 10, 80, 7}, 0, 0, 1, "abc\xc3\xa9");  // é: one "?"
  EXPECT_EQ(upper, lower);
  EXPECT_GT(Inked(upper), 0);
}

}  // namespace
