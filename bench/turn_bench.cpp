// The quarter turn of an A5 page fed long edge first lies on every such page's path:
// the pixel-by-pixel definition against the block turn, on the same page.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "PbmFile.h"

namespace {

// A5 at 600 dpi.
constexpr int kWidth = 3496;
constexpr int kHeight = 4961;

struct Page {
  std::vector<unsigned char> bits;
  int width = kWidth;
  int height = kHeight;
};

void SetBlack(Page &page, int row, int col) {
  page.bits[static_cast<size_t>(row) * PbmStride(page.width) + col / 8] |=
      static_cast<unsigned char>(0x80 >> (col % 8));
}

// Lines of text: 1-inch margins, lines of 12 pt type (100 px pitch, 60 px tall glyph
// band), words of glyphs made of short vertical and horizontal strokes.
Page TextPage() {
  Page page;
  page.bits.assign(static_cast<size_t>(PbmStride(kWidth)) * kHeight, 0);
  std::mt19937 random(7);
  const int margin = 600;
  for (int top = margin; top + 60 < kHeight - margin; top += 100) {
    int col = margin;
    const int lineEnd = kWidth - margin - static_cast<int>(random() % 800);
    while (col + 40 < lineEnd) {
      const int glyphs = 2 + static_cast<int>(random() % 8);
      for (int g = 0; g < glyphs && col + 40 < lineEnd; ++g, col += 36) {
        const int strokes = 1 + static_cast<int>(random() % 3);
        for (int s = 0; s < strokes; ++s) {
          const int x = col + static_cast<int>(random() % 28);
          for (int y = top + 10; y < top + 55; ++y) {
            for (int w = 0; w < 5; ++w) SetBlack(page, y, x + w);
          }
        }
        const int y = top + 10 + static_cast<int>(random() % 45);
        for (int x = col; x < col + 28; ++x) {
          for (int w = 0; w < 5; ++w) SetBlack(page, y + w / 2, x);
        }
      }
      col += 36;  // the blank between words
    }
  }
  return page;
}

Page RandomPage() {
  Page page;
  page.bits.resize(static_cast<size_t>(PbmStride(kWidth)) * kHeight);
  std::mt19937 random(11);
  for (auto &byte : page.bits) byte = static_cast<unsigned char>(random());
  return page;
}

const Page &Text() {
  static const Page page = TextPage();
  return page;
}

const Page &Random() {
  static const Page page = RandomPage();
  return page;
}

using TurnFunction = void (*)(const unsigned char *, int, int, int, unsigned char *);

void RunTurn(benchmark::State &state, const Page &page, TurnFunction turn) {
  const int angle = static_cast<int>(state.range(0));
  const size_t turnedBytes = angle == 180
                                 ? page.bits.size()
                                 : static_cast<size_t>(PbmStride(page.height)) * page.width;
  std::vector<unsigned char> turned(turnedBytes);
  for (auto _ : state) {
    // The destination must start white, as in the filter, so clearing it is part of a turn.
    std::fill(turned.begin(), turned.end(), 0);
    turn(page.bits.data(), page.width, page.height, angle, turned.data());
    benchmark::DoNotOptimize(turned.data());
    benchmark::ClobberMemory();
  }
  size_t blackBytes = 0;
  for (unsigned char byte : page.bits) blackBytes += byte != 0;
  state.counters["inked_bytes_pct"] = 100.0 * static_cast<double>(blackBytes) /
                                      static_cast<double>(page.bits.size());
}

void BM_TextPixelByPixel(benchmark::State &state) { RunTurn(state, Text(), TurnBitmapPixelByPixel); }
void BM_TextBlocks(benchmark::State &state) { RunTurn(state, Text(), TurnBitmap); }
void BM_RandomPixelByPixel(benchmark::State &state) {
  RunTurn(state, Random(), TurnBitmapPixelByPixel);
}
void BM_RandomBlocks(benchmark::State &state) { RunTurn(state, Random(), TurnBitmap); }

}  // namespace

BENCHMARK(BM_TextPixelByPixel)->Arg(-90)->Arg(90)->Arg(180)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextBlocks)->Arg(-90)->Arg(90)->Arg(180)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomPixelByPixel)->Arg(-90)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomBlocks)->Arg(-90)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
