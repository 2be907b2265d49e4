// Our JBIG coder against libjbig on many pages: the benchmarks' rendered corpus and pages
// made to reach every path of the coder (white stretches, busy and repeated lines, stripe
// ends with carries and trailing zeros, sizes of a pixel or a byte and a bit, garbage in the
// padding). Rendered text, halftones, turned A5 and 1200 dpi pages are held to pbmtojbg in
// jbig_memory_encoder_test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../bench/BenchCorpus.h"
#include "JbigMemoryEncoder.h"
#include "JbigReference.h"
#include "JbigStripeCoder.h"
#include "PbmFile.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Ours(const PageBitmap &page) {
  JbigBytes jbig;
  char error[JBIG_ERROR_TEXT_SIZE] = "";
  EXPECT_TRUE(
      EncodeJbigInMemory(page.bits.data(), page.width, page.height, &jbig, error, sizeof error))
      << error;
  Bytes bytes(jbig.data, jbig.data + jbig.size);
  ReleaseJbigBytes(&jbig);
  return bytes;
}

Bytes Libjbigs(const PageBitmap &page) {
  Bytes bits = page.bits;
  Bytes bytes;
  EXPECT_TRUE(EncodeJbigWithLibjbig(bits.data(), page.width, page.height, &bytes));
  return bytes;
}

void Set(PageBitmap *page, int x, int y) {
  page->bits[static_cast<size_t>(y * PbmStride(page->width) + x / 8)] |=
      static_cast<unsigned char>(0x80 >> (x % 8));
}

// One of several kinds of page, all drawn from the seed: noise of a density (from none to
// all black) with lines repeated now and then; strokes and blocks on white; an ordered
// dither of a gradient; noise over the top rows and white below them.
PageBitmap MakePage(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  PageBitmap page;
  page.width = width;
  page.height = height;
  const int64_t stride = PbmStride(width);
  page.bits.assign(static_cast<size_t>(stride * height), 0);
  const unsigned density = random() % 257;
  switch (seed % 4) {
    case 0:
      for (int y = 0; y < height; ++y) {
        unsigned char *row = page.bits.data() + y * stride;
        if (y > 0 && random() % 3 == 0) {
          memcpy(row, row - stride, static_cast<size_t>(stride));
          continue;
        }
        for (int x = 0; x < width; ++x)
          if (random() % 256 < density) Set(&page, x, y);
      }
      break;
    case 1:
      for (unsigned n = random() % 80; n > 0; --n) {
        const int left = static_cast<int>(random() % width);
        const int top = static_cast<int>(random() % height);
        const int right = std::min(width, left + 1 + static_cast<int>(random() % 40));
        const int bottom = std::min(height, top + 1 + static_cast<int>(random() % 40));
        const bool solid = random() % 2 == 0;
        for (int y = top; y < bottom; ++y)
          for (int x = left; x < right; ++x)
            if (solid || random() % 3 == 0) Set(&page, x, y);
      }
      break;
    case 2: {
      static const int kBayer[4][4] = {
          {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
          if (kBayer[y % 4][x % 4] <
              (x + y) * 17 / (width + height) + static_cast<int>(random() % 2))
            Set(&page, x, y);
      break;
    }
    default:
      for (int y = 0; y < static_cast<int>(random() % (height + 1)); ++y)
        for (int x = 0; x < width; ++x)
          if (random() % 1024 < density) Set(&page, x, y);
  }
  // Garbage in the padding bits of every other page: not part of the page.
  const int pad = static_cast<int>(stride * 8 - width);
  if (pad > 0 && seed % 2 == 1) {
    for (int y = 0; y < height; ++y)
      page.bits[static_cast<size_t>((y + 1) * stride - 1)] |=
          static_cast<unsigned char>(random() & ((1u << pad) - 1));
  }
  return page;
}

TEST(JbigStripeCoder, TheBenchmarksCorpusGivesLibjbigsBytes) {
  TempDir dir;
  const std::string ps = dir.file("corpus.ps");
  WriteFileText(ps, CorpusDocument(595, 842, 12, 12));
  const RunResult run =
      RunProgram({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pbmraw", "-r600",
                  "-sOutputFile=" + dir.file("page-%d.pbm"), ps});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  for (int n = 1; n <= 12; ++n) {
    const PageBitmap page = LoadPbm(dir.file("page-" + std::to_string(n) + ".pbm"));
    ASSERT_EQ(page.width, 4958);
    EXPECT_TRUE(Ours(page) == Libjbigs(page)) << "page " << n;
  }
}

TEST(JbigStripeCoder, ManyMadePagesGiveLibjbigsBytes) {
  std::mt19937 sizes(25);
  std::vector<PageBitmap> pages;
  for (const int width : {1, 2, 7, 8, 9, 63, 64, 65}) {
    for (const int height : {1, 2, 127, 128, 129, 300}) {
      pages.push_back(MakePage(width, height, static_cast<unsigned>(width * 1000 + height)));
    }
  }
  for (unsigned seed = 0; seed < 1200; ++seed) {
    // Now and then wider than the coder's stretch of 4080 pixels.
    const int width = 1 + static_cast<int>(sizes() % (seed % 10 == 0 ? 9000 : 200));
    const int height = 1 + static_cast<int>(sizes() % (seed % 10 == 0 ? 400 : 300));
    pages.push_back(MakePage(width, height, seed));
  }
  for (const unsigned char fill : {0x00, 0xff}) {
    PageBitmap plain = MakePage(4958, 1100, 0);
    plain.bits.assign(plain.bits.size(), fill);
    pages.push_back(plain);
  }
  int differing = 0;
  for (const PageBitmap &page : pages) {
    if (Ours(page) == Libjbigs(page)) continue;
    if (++differing <= 5) ADD_FAILURE() << "a page of " << page.width << "x" << page.height;
  }
  EXPECT_EQ(differing, 0) << "of " << pages.size() << " pages";
}

// Output past the limit stops the coder: what it holds stays within the limit, and the
// stripes it did code are the start of the whole page's.
TEST(JbigStripeCoder, StopsAtTheOutputLimit) {
  const PageBitmap page = MakePage(1000, 700, 4);
  const Bytes whole = Ours(page);
  const uint64_t stripeBytes = whole.size() - JBIG_IMAGE_HEADER_BYTES;
  for (const uint64_t limit :
       {uint64_t{0}, uint64_t{1}, uint64_t{20}, uint64_t{1000}, stripeBytes - 1}) {
    JbigBytes jbig;
    EXPECT_EQ(AppendJbigStripes(page.bits.data(), page.width, page.height, &jbig, limit),
              JbigCodeResult::PastLimit);
    EXPECT_LE(jbig.size, limit);
    EXPECT_TRUE(jbig.size == 0 ||
                memcmp(jbig.data, whole.data() + JBIG_IMAGE_HEADER_BYTES, jbig.size) == 0);
    ReleaseJbigBytes(&jbig);
  }
}

}  // namespace
