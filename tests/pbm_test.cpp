// PBM page files: header reading, the quarter and half turns in memory and through files.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "PbmFile.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Bitmap {
  int width = 0;
  int height = 0;
  Bytes bits;
};

Bitmap Blank(int width, int height) {
  return {width, height, Bytes(static_cast<size_t>(PbmStride(width) * height), 0)};
}

bool Pixel(const Bitmap &page, int row, int col) {
  return (page.bits[row * PbmStride(page.width) + col / 8] >> (7 - col % 8)) & 1;
}

// Random pixels, one in `sparseness` bytes non-zero so that white blocks occur too. The
// padding past the width is filled as well: the pipeline's pages carry raster garbage
// there, and a turn must not move it into the picture.
Bitmap RandomBitmap(int width, int height, unsigned seed, int sparseness = 1) {
  Bitmap page = Blank(width, height);
  std::mt19937 random(seed);
  for (auto &byte : page.bits) {
    if (random() % sparseness == 0) byte = static_cast<unsigned char>(random());
  }
  return page;
}

Bitmap WithoutPadding(Bitmap page) {
  const int64_t stride = PbmStride(page.width);
  const int pad = static_cast<int>(stride * 8 - page.width);
  for (int r = 0; r < page.height; ++r) {
    page.bits[(r + 1) * stride - 1] &= static_cast<unsigned char>(0xFF << pad);
  }
  return page;
}

using TurnFunction = void (*)(const unsigned char *, int, int, int, unsigned char *);

Bitmap Turn(const Bitmap &page, int angle, TurnFunction turn) {
  Bitmap out = angle == 180 ? Blank(page.width, page.height) : Blank(page.height, page.width);
  turn(page.bits.data(), page.width, page.height, angle, out.bits.data());
  return out;
}

std::string PbmText(int width, int height, const Bytes &bits) {
  char header[64];
  snprintf(header, sizeof header, "P4\n%d %d\n", width, height);
  return std::string(header) + std::string(bits.begin(), bits.end());
}

// Reads a PBM page file back the way the filter reads it; empty bits when unreadable.
Bitmap ReadPbm(const std::string &path) {
  Bitmap page;
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) return page;
  char magic[3];
  if (ReadPbmHeader(file, magic, &page.width, &page.height) && strcmp(magic, "P4") == 0 &&
      fgetc(file) == '\n') {
    page.bits.resize(static_cast<size_t>(PbmStride(page.width) * page.height));
    if (fread(page.bits.data(), 1, page.bits.size(), file) != page.bits.size() ||
        fgetc(file) != EOF) {
      page.bits.clear();
    }
  }
  fclose(file);
  return page;
}

struct Size {
  int width;
  int height;
};

// Widths and heights off the multiples of 8, single rows and columns, and pages wide
// enough to take the eight-blocks-at-once path beside a ragged remainder.
const Size kAwkwardSizes[] = {{1, 1},   {1, 37},  {37, 1},  {8, 3},   {3, 8},    {12, 1},
                              {16, 1},  {1, 16},  {7, 9},   {9, 7},   {13, 17},  {63, 65},
                              {64, 64}, {65, 130}, {130, 70}, {521, 33}, {200, 77}, {1001, 9}};
const int kAngles[] = {-90, 90, 180};

// ---------------------------------------------------------------------------------------
// The definition, checked by hand on small pages.

struct HandCase {
  const char *name;
  int width;
  int height;
  int angle;
  Bytes source;
  Bytes expected;  // rows of the turned page
};

// 8 x 3 source: row 0 has pixel 0, row 1 pixel 7, row 2 pixels 0 and 1.
// 16 x 1 source: pixels 0, 1, 7 and 14. 12 x 1 source: pixels 0, 1, 7 and 11, and every
// padding bit set.
const HandCase kHandCases[] = {
    // -90: (r, c) -> (7 - c, r).
    {"8x3 by -90", 8, 3, -90, {0x80, 0x01, 0xC0}, {0x40, 0, 0, 0, 0, 0, 0x20, 0xA0}},
    // 90: (r, c) -> (c, 2 - r); the picture fills the three visible columns.
    {"8x3 by 90", 8, 3, 90, {0x80, 0x01, 0xC0}, {0xA0, 0x80, 0, 0, 0, 0, 0, 0x40}},
    // 180 of a whole-byte row: pixels 15, 14, 8 and 1.
    {"16x1 by 180", 16, 1, 180, {0xC1, 0x02}, {0x40, 0x83}},
    // 180 of a ragged row: c -> 11 - c, so pixels 11, 10, 4 and 0; the padding stays white.
    {"12x1 by 180", 12, 1, 180, {0xC1, 0x1F}, {0x88, 0x30}},
};

TEST(TurnDefinition, HandCheckedSmallPages) {
  for (const auto &hand : kHandCases) {
    SCOPED_TRACE(hand.name);
    const Bitmap page{hand.width, hand.height, hand.source};
    EXPECT_EQ(Turn(page, hand.angle, TurnBitmapPixelByPixel).bits, hand.expected);
    EXPECT_EQ(Turn(page, hand.angle, TurnBitmap).bits, hand.expected);
  }
}

TEST(TurnDefinition, TurnsComposeAsRotations) {
  for (const Size size : kAwkwardSizes) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    const Bitmap page = WithoutPadding(RandomBitmap(size.width, size.height, 3));
    const Bitmap left = Turn(page, -90, TurnBitmapPixelByPixel);
    const Bitmap half = Turn(page, 180, TurnBitmapPixelByPixel);
    EXPECT_EQ(Turn(left, 90, TurnBitmapPixelByPixel).bits, page.bits);
    EXPECT_EQ(Turn(half, 180, TurnBitmapPixelByPixel).bits, page.bits);
    EXPECT_EQ(Turn(left, -90, TurnBitmapPixelByPixel).bits, half.bits);
    // The source's right-hand column becomes the top row of a -90 turn.
    for (int r = 0; r < page.height; ++r) {
      EXPECT_EQ(Pixel(left, 0, r), Pixel(page, r, page.width - 1)) << "row " << r;
    }
  }
}

// ---------------------------------------------------------------------------------------
// The block turn against the definition.

TEST(FastTurn, MatchesTheDefinitionOnAwkwardSizes) {
  unsigned seed = 100;
  for (const Size size : kAwkwardSizes) {
    for (int sparseness : {1, 9}) {
      const Bitmap page = RandomBitmap(size.width, size.height, ++seed, sparseness);
      for (int angle : kAngles) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height) + " by " +
                     std::to_string(angle) + ", sparseness " + std::to_string(sparseness));
        const Bitmap expected = Turn(page, angle, TurnBitmapPixelByPixel);
        const Bitmap fast = Turn(page, angle, TurnBitmap);
        ASSERT_EQ(fast.bits, expected.bits);
        // The turned page's padding is white, whatever the source carried in its own.
        EXPECT_EQ(fast.bits, WithoutPadding(fast).bits);
      }
    }
  }
}

TEST(FastTurn, SinglePixelsLandWhereTheDefinitionPutsThem) {
  // One black pixel at a time across a page with a ragged width and height, so that every
  // block position, every bit of a byte and both edges are visited on their own.
  const int width = 21;
  const int height = 19;
  for (int angle : kAngles) {
    for (int r = 0; r < height; ++r) {
      for (int c = 0; c < width; ++c) {
        Bitmap page = Blank(width, height);
        page.bits[r * PbmStride(width) + c / 8] = static_cast<unsigned char>(0x80 >> (c % 8));
        ASSERT_EQ(Turn(page, angle, TurnBitmap).bits,
                  Turn(page, angle, TurnBitmapPixelByPixel).bits)
            << "pixel (" << r << ", " << c << ") by " << angle;
      }
    }
  }
}

TEST(FastTurn, AllBlackPageTurnsToAllBlackWithWhitePadding) {
  Bitmap page = Blank(70, 13);
  std::fill(page.bits.begin(), page.bits.end(), 0xFF);
  for (int angle : kAngles) {
    const Bitmap turned = Turn(page, angle, TurnBitmap);
    Bitmap black = Blank(turned.width, turned.height);
    std::fill(black.bits.begin(), black.bits.end(), 0xFF);
    EXPECT_EQ(turned.bits, WithoutPadding(black).bits) << "by " << angle;
  }
}

TEST(FastTurn, OtherAnglesLeaveTheDestinationAlone) {
  const Bitmap page = RandomBitmap(16, 16, 5);
  for (int angle : {0, 45, 270, -180}) {
    Bitmap out = Blank(16, 16);
    TurnBitmap(page.bits.data(), 16, 16, angle, out.bits.data());
    EXPECT_EQ(out.bits, Blank(16, 16).bits) << angle;
  }
}

// ---------------------------------------------------------------------------------------
// Header reading.

struct MemoryFile {
  explicit MemoryFile(std::string text) : text_(std::move(text)) {
    file = fmemopen(text_.data(), text_.size(), "rb");
  }
  ~MemoryFile() {
    if (file != nullptr) fclose(file);
  }
  std::string Rest() {
    std::string rest;
    for (int ch = fgetc(file); ch != EOF; ch = fgetc(file)) rest += static_cast<char>(ch);
    return rest;
  }
  std::string text_;
  FILE *file = nullptr;
};

TEST(PbmHeader, SkipperPassesBlanksLineEndsAndComments) {
  const std::pair<std::string, std::string> cases[] = {
      {" \n\r 8", "8"},
      {"# a comment\n8", "8"},
      {"#one\r#two\n \n8 2", "8 2"},
      {"#\n#\n", ""},
      // Tab, vertical tab and form feed are left for the number conversion, and a '#'
      // behind one of them is no comment.
      {"\t# x\n8", "\t# x\n8"},
      {"\f8", "\f8"},
      {"8", "8"},
  };
  for (const auto &[input, rest] : cases) {
    MemoryFile memory(input);
    ASSERT_NE(memory.file, nullptr);
    skipPbmComments(memory.file);
    EXPECT_EQ(memory.Rest(), rest) << "input \"" << input << "\"";
  }
}

TEST(PbmHeader, SkipperEndsAtEndOfFileInsideAComment) {
  MemoryFile memory("# no line end");
  skipPbmComments(memory.file);
  EXPECT_EQ(fgetc(memory.file), EOF);
  EXPECT_TRUE(feof(memory.file));
}

TEST(PbmHeader, ReadsMagicWidthAndHeight) {
  const struct {
    const char *text;
    bool readable;
    const char *magic;
    int width;
    int height;
    const char *rest;
  } cases[] = {
      {"P4\n816 600\nXY", true, "P4", 816, 600, "\nXY"},
      {"P4\n# after magic\n8\n# after width\n2\nZ", true, "P4", 8, 2, "\nZ"},
      {"  P5 \t 7\t\t9 ", true, "P5", 7, 9, " "},
      {"P4\n-3 +4\n", true, "P4", -3, 4, "\n"},
      {"P4\nx 2\n", false, "P4", 0, 0, "x 2\n"},
      // Nothing is skipped after the height: the comment is left for the pixel rows.
      {"P4\n8 2\n# after height\n", true, "P4", 8, 2, "\n# after height\n"},
      {"P4\n\t# tab first\n8 2\n", false, "P4", 0, 0, "# tab first\n8 2\n"},
      {"P4\n99999999999 2\n", false, "P4", 0, 0, " 2\n"},
      {"P4\n8 2147483648\n", false, "P4", 8, 0, "\n"},
      {"P4\n2147483647 -2147483648\n", true, "P4", 2147483647, -2147483647 - 1, "\n"},
      {"P4\n# comment never ends", false, "P4", 0, 0, ""},
      {"", false, "", 0, 0, ""},
  };
  for (const auto &expect : cases) {
    MemoryFile memory(expect.text);
    char magic[3] = "??";
    int width = -1;
    int height = -1;
    EXPECT_EQ(ReadPbmHeader(memory.file, magic, &width, &height), expect.readable) << expect.text;
    EXPECT_STREQ(magic, expect.magic) << expect.text;
    EXPECT_EQ(width, expect.width) << expect.text;
    EXPECT_EQ(height, expect.height) << expect.text;
    EXPECT_EQ(memory.Rest(), expect.rest) << expect.text;
  }
}

// ---------------------------------------------------------------------------------------
// rotatePbm on files.

struct RotateRun {
  int result;
  std::string log;
};

RotateRun RunRotate(const std::string &in, const std::string &out, int angle) {
  testing::internal::CaptureStderr();
  const int result = rotatePbm(in.c_str(), out.c_str(), angle, StderrLog());
  return {result, testing::internal::GetCapturedStderr()};
}

TEST(RotatePbm, WritesTheTurnedPageForEveryAngle) {
  TempDir dir;
  unsigned seed = 500;
  for (const Size size : kAwkwardSizes) {
    const Bitmap page = RandomBitmap(size.width, size.height, ++seed);
    WriteFileText(dir.file("in.pbm"), PbmText(page.width, page.height, page.bits));
    for (int angle : {-90, 90}) {
      SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height) + " by " +
                   std::to_string(angle));
      const RotateRun run = RunRotate(dir.file("in.pbm"), dir.file("out.pbm"), angle);
      EXPECT_EQ(run.result, 0);
      EXPECT_EQ(run.log, "");
      const Bitmap expected = Turn(page, angle, TurnBitmapPixelByPixel);
      EXPECT_EQ(ReadFileText(dir.file("out.pbm")),
                PbmText(page.height, page.width, expected.bits));
    }
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height) + " by 180");
    const RotateRun run = RunRotate(dir.file("in.pbm"), dir.file("out.pbm"), 180);
    EXPECT_EQ(run.result, 0);
    const Bitmap expected = Turn(page, 180, TurnBitmapPixelByPixel);
    EXPECT_EQ(ReadFileText(dir.file("out.pbm")), PbmText(page.width, page.height, expected.bits));
  }
}

TEST(RotatePbm, HandCheckedPagesThroughFiles) {
  TempDir dir;
  for (const auto &hand : kHandCases) {
    SCOPED_TRACE(hand.name);
    WriteFileText(dir.file("in.pbm"), PbmText(hand.width, hand.height, hand.source));
    ASSERT_EQ(RunRotate(dir.file("in.pbm"), dir.file("out.pbm"), hand.angle).result, 0);
    const bool quarter = hand.angle != 180;
    EXPECT_EQ(ReadFileText(dir.file("out.pbm")),
              PbmText(quarter ? hand.height : hand.width, quarter ? hand.width : hand.height,
                      hand.expected));
  }
}

TEST(RotatePbm, TurnsAFileInPlace) {
  TempDir dir;
  const std::string path = dir.file("page.pbm");
  const Bitmap page = RandomBitmap(37, 90, 17);
  WriteFileText(path, PbmText(37, 90, page.bits));
  ASSERT_EQ(RunRotate(path, path, -90).result, 0);
  const Bitmap turned = ReadPbm(path);
  EXPECT_EQ(turned.width, 90);
  EXPECT_EQ(turned.height, 37);
  EXPECT_EQ(turned.bits, Turn(page, -90, TurnBitmapPixelByPixel).bits);
  // Back again: the page returns, without the padding garbage it started with.
  ASSERT_EQ(RunRotate(path, path, 90).result, 0);
  EXPECT_EQ(ReadFileText(path), PbmText(37, 90, WithoutPadding(page).bits));
}

TEST(RotatePbm, CommentsAfterMagicAndWidthAreSkipped) {
  TempDir dir;
  WriteFileText(dir.file("in.pbm"), "P4\n# made by hand\n8\n# two rows\n2\n\xF0\x0F");
  const RotateRun run = RunRotate(dir.file("in.pbm"), dir.file("out.pbm"), -90);
  ASSERT_EQ(run.result, 0);
  // Row 0 holds pixels 0-3, row 1 pixels 4-7; a -90 turn puts column c at row 7 - c.
  EXPECT_EQ(ReadFileText(dir.file("out.pbm")),
            PbmText(2, 8, {0x40, 0x40, 0x40, 0x40, 0x80, 0x80, 0x80, 0x80}));
}

TEST(RotatePbm, ACommentAfterTheHeightIsPixelData) {
  TempDir dir;
  // The line feed after the height ends the header, so "#!" are the two rows.
  WriteFileText(dir.file("in.pbm"), "P4\n8 2\n#!\n");
  ASSERT_EQ(RunRotate(dir.file("in.pbm"), dir.file("out.pbm"), 180).result, 0);
  const Bitmap expected = Turn({8, 2, {'#', '!'}}, 180, TurnBitmapPixelByPixel);
  EXPECT_EQ(ReadFileText(dir.file("out.pbm")), PbmText(8, 2, expected.bits));
}

TEST(RotatePbm, RefusesWhatIsNotAReadablePbmPage) {
  TempDir dir;
  const std::pair<const char *, std::string> cases[] = {
      {"plain bitmap", "P1\n8 2\n1 0 1 0 1 0 1 0\n0 1 0 1 0 1 0 1\n"},
      {"greymap", "P5\n8 2\n255\n0123456789abcdef"},
      {"comment never ends", "P4\n# no line end"},
      {"width unreadable", "P4\nwide 2\nAB"},
      {"height missing", "P4\n8\n"},
      {"width overflows", "P4\n4294967304 2\nAB"},
      {"width zero", "P4\n0 2\nAB"},
      {"height zero", "P4\n8 0\n"},
      {"width negative", "P4\n-8 2\nAB"},
      {"height negative", "P4\n8 -2\nAB"},
      {"source over 1 GiB", "P4\n2147483647 5\nAB"},
      {"empty file", ""},
  };
  for (const auto &[name, text] : cases) {
    SCOPED_TRACE(name);
    WriteFileText(dir.file("in.pbm"), text);
    for (int angle : kAngles) {
      const RotateRun run = RunRotate(dir.file("in.pbm"), dir.file("out.pbm"), angle);
      EXPECT_EQ(run.result, 1);
      EXPECT_EQ(run.log, "Unsupported format or not a PBM file.\n");
      EXPECT_FALSE(FileExists(dir.file("out.pbm")));
    }
  }
  // 256 MiB of source, but a quarter turn of it would take 2 GiB.
  WriteFileText(dir.file("in.pbm"), "P4\n2147483647 1\nAB");
  for (int angle : {-90, 90}) {
    const RotateRun run = RunRotate(dir.file("in.pbm"), dir.file("out.pbm"), angle);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.log, "Unsupported format or not a PBM file.\n");
    EXPECT_FALSE(FileExists(dir.file("out.pbm")));
  }
}

TEST(RotatePbm, ShortPixelDataIsRefusedAndTheFileKept) {
  TempDir dir;
  const std::string path = dir.file("short.pbm");
  // 16 x 4 announces 8 bytes of pixels.
  const std::string text = "P4\n16 4\n1234567";
  WriteFileText(path, text);
  const RotateRun run = RunRotate(path, dir.file("out.pbm"), -90);
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.log, "ERROR: rotatePbm: " + path + " holds 7 bytes of pixel data, 8 expected\n");
  EXPECT_FALSE(FileExists(dir.file("out.pbm")));
  // In place, the page must not be lost either.
  EXPECT_EQ(RunRotate(path, path, 90).result, 1);
  EXPECT_EQ(ReadFileText(path), text);
  // The byte that ends the header is missing altogether.
  WriteFileText(path, "P4\n8 1");
  EXPECT_EQ(RunRotate(path, dir.file("out.pbm"), 180).result, 1);
  EXPECT_FALSE(FileExists(dir.file("out.pbm")));
}

// Page files live in a directory shared with other users' programs: a symbolic link or a
// FIFO in place of a page file is neither followed nor waited on.
TEST(RotatePbm, LinksAndPipesAreNotOpened) {
  TempDir dir;
  const std::string victim = dir.file("victim.pbm");
  WriteFileText(victim, PbmText(8, 1, {0x80}));
  ASSERT_EQ(symlink(victim.c_str(), dir.file("link-in.pbm").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), dir.file("link-out.pbm").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("pipe.pbm").c_str(), 0600), 0);

  RotateRun run = RunRotate(dir.file("link-in.pbm"), dir.file("out.pbm"), 90);
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.log.rfind("Error opening input file: ", 0), 0u) << run.log;
  run = RunRotate(dir.file("pipe.pbm"), dir.file("out.pbm"), 90);
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.log.rfind("Error opening input file: ", 0), 0u) << run.log;
  EXPECT_FALSE(FileExists(dir.file("out.pbm")));

  run = RunRotate(victim, dir.file("link-out.pbm"), 180);
  EXPECT_EQ(run.result, 1);
  EXPECT_NE(run.log.find("Error opening output file: "), std::string::npos);
  EXPECT_EQ(ReadFileText(victim), PbmText(8, 1, {0x80}));
}

TEST(RotatePbm, OtherAnglesAreRefused) {
  TempDir dir;
  WriteFileText(dir.file("in.pbm"), PbmText(8, 1, {0x80}));
  for (int angle : {0, 45, 270, -180, 360}) {
    const RotateRun run = RunRotate(dir.file("in.pbm"), dir.file("out.pbm"), angle);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.log, "ERROR: rotatePbm: cannot turn by " + std::to_string(angle) +
                           " degrees, only by -90, 90 or 180\n");
    EXPECT_FALSE(FileExists(dir.file("out.pbm")));
  }
}

TEST(RotatePbm, FilesThatCannotBeOpenedAreReported) {
  TempDir dir;
  RotateRun run = RunRotate(dir.file("missing.pbm"), dir.file("out.pbm"), -90);
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.log, "Error opening input file: No such file or directory\n");
  EXPECT_FALSE(FileExists(dir.file("out.pbm")));

  WriteFileText(dir.file("in.pbm"), PbmText(8, 1, {0x80}));
  run = RunRotate(dir.file("in.pbm"), dir.file("no/such/dir/out.pbm"), 90);
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.log, "Error opening output file: No such file or directory\n");
}

std::string HalfTurnTrace(int width, int height) {
  std::string trace;
  const int64_t stride = PbmStride(width);
  char line[128];
  for (int r = 0; r < std::min(height, 100); ++r) {
    for (int c = 0; c < std::min(width, 100); ++c) {
      snprintf(line, sizeof line, "col = %d, originalByte = %d, rotatedByte = %d\n", c,
               static_cast<int>(r * stride + c / 8),
               static_cast<int>((height - 1 - r) * stride + (width - 1 - c) / 8));
      trace += line;
    }
  }
  return trace;
}

TEST(RotatePbm, HalfTurnTracesTheTopLeftCorner) {
  TempDir dir;
  // A 12 x 3 page: 36 lines; the first names source byte 0 and destination byte
  // 2 * 2 + 11 / 8 = 5, the last source byte 2 * 2 + 1 = 5 and destination byte 0.
  WriteFileText(dir.file("small.pbm"), PbmText(12, 3, Bytes(6, 0x5A)));
  RotateRun run = RunRotate(dir.file("small.pbm"), dir.file("out.pbm"), 180);
  ASSERT_EQ(run.result, 0);
  const std::vector<std::string> lines = SplitLines(run.log);
  ASSERT_EQ(lines.size(), 36u);
  EXPECT_EQ(lines.front(), "col = 0, originalByte = 0, rotatedByte = 5");
  EXPECT_EQ(lines[11], "col = 11, originalByte = 1, rotatedByte = 4");
  EXPECT_EQ(lines.back(), "col = 11, originalByte = 5, rotatedByte = 0");
  EXPECT_EQ(run.log, HalfTurnTrace(12, 3));

  // Past 100 rows and columns only the 100 x 100 corner is traced.
  WriteFileText(dir.file("large.pbm"), PbmText(120, 110, Bytes(15 * 110, 0)));
  run = RunRotate(dir.file("large.pbm"), dir.file("out.pbm"), 180);
  ASSERT_EQ(run.result, 0);
  ASSERT_EQ(SplitLines(run.log).size(), 10000u);
  EXPECT_EQ(SplitLines(run.log).back(), "col = 99, originalByte = 1497, rotatedByte = 152");
  EXPECT_EQ(run.log, HalfTurnTrace(120, 110));

  // Quarter turns are silent.
  EXPECT_EQ(RunRotate(dir.file("large.pbm"), dir.file("out.pbm"), -90).log, "");
}

}  // namespace
