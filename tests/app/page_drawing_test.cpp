// Drawing into a 1-bit page, as the test page does: rectangles and text are cut to the
// page, whatever their place, and every character, of whatever script, is drawn once.

#include <gtest/gtest.h>

#include <vector>

#include "PageDrawing.h"

namespace {

struct Page {
  std::vector<unsigned char> bits;
  PageCanvas canvas;
  Page(int32_t width, int32_t height)
      : bits(static_cast<size_t>((width + 7) / 8) * height + 16, 0),  // 16 guard bytes
        canvas{bits.data(), (width + 7) / 8, width, height} {}
  int Inked() const {
    int count = 0;
    for (size_t i = 0; i + 16 < bits.size(); ++i) count += __builtin_popcount(bits[i]);
    return count;
  }
  bool GuardClean() const {
    for (size_t i = bits.size() - 16; i < bits.size(); ++i) {
      if (bits[i] != 0) return false;
    }
    return true;
  }
};

TEST(PageDrawing, ShapesAndTextStayOnThePage) {
  Page page(13, 9);  // rows of 2 bytes, 3 bits of padding
  FillBlack(page.canvas, -5, -5, 100, 100);
  EXPECT_EQ(page.Inked(), 13 * 9);
  EXPECT_EQ(page.bits[1] & 0x07, 0) << "the padding stays white";
  EXPECT_TRUE(page.GuardClean());

  Page text(40, 10);
  EXPECT_EQ(DrawText(text.canvas, 30, 5, 2, "WWWW"), 4);  // mostly off the page
  EXPECT_TRUE(text.GuardClean());
  Page upper(80, 7), lower(80, 7);
  DrawText(upper.canvas, 0, 0, 1, "ABC?");
  DrawText(lower.canvas, 0, 0, 1, "abc\xc3\xa9");  // é: one character, drawn as "?"
  EXPECT_EQ(upper.bits, lower.bits);
  EXPECT_GT(upper.Inked(), 0);
}

}  // namespace
