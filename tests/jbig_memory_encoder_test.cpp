// The in-process JBIG encoder against the real thing: for text pages rendered by
// ghostscript, a halftoned picture, random pages, a turned A5 page, odd widths with garbage
// in the padding bits, tiny, blank and black pages and an A4 page at 1200 dpi, its bytes
// must be those that the filter's own pbmtojbg command writes, and the real decoder must
// give the page back.

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "JbigEncoder.h"
#include "JbigMemoryEncoder.h"
#include "PbmFile.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

PageBitmap BlankPage(int width, int height, unsigned char fill) {
  PageBitmap page;
  page.width = width;
  page.height = height;
  page.bits.assign(static_cast<size_t>(PbmStride(width) * height), fill);
  return page;
}

// Every bit random, padding included.
PageBitmap RandomPage(int width, int height, unsigned seed) {
  PageBitmap page = BlankPage(width, height, 0);
  std::mt19937 random(seed);
  for (unsigned char &byte : page.bits) byte = static_cast<unsigned char>(random());
  return page;
}

// Sets (or, with garbage false, clears) the padding bits past the width of every row.
void FillPadding(PageBitmap *page, bool garbage, unsigned seed) {
  const int64_t stride = PbmStride(page->width);
  const int pad = static_cast<int>(stride * 8 - page->width);
  if (pad == 0) return;
  const unsigned char mask = static_cast<unsigned char>((1u << pad) - 1);
  std::mt19937 random(seed);
  for (int r = 0; r < page->height; ++r) {
    unsigned char &last = page->bits[static_cast<size_t>((r + 1) * stride - 1)];
    last = garbage ? static_cast<unsigned char>(last | (random() & mask) | 1u)
                   : static_cast<unsigned char>(last & ~mask);
  }
}

std::string PbmText(const PageBitmap &page) {
  char header[64];
  snprintf(header, sizeof header, "P4\n%d %d\n", page.width, page.height);
  return std::string(header) + std::string(page.bits.begin(), page.bits.end());
}

Bytes ReadBytes(const std::string &path) {
  const std::string text = ReadFileText(path);
  return Bytes(text.begin(), text.end());
}

// The filter's own encoder call: its pbmtojbg command line on a PBM file of the page.
Bytes EncodeWithCommand(const PageBitmap &page, const TempDir &dir) {
  const std::string pbm = dir.file("page.pbm");
  const std::string jbg = dir.file("page.jbg");
  unlink(jbg.c_str());
  WriteFileText(pbm, PbmText(page));
  testing::internal::CaptureStderr();
  pbmtojbg(pbm.c_str(), jbg.c_str(), StderrLog());
  testing::internal::GetCapturedStderr();
  return FileExists(jbg) ? ReadBytes(jbg) : Bytes();
}

Bytes EncodeInMemory(const PageBitmap &page) {
  JbigBytes jbig;
  char error[JBIG_ERROR_TEXT_SIZE] = "";
  const bool ok =
      EncodeJbigInMemory(page.bits.data(), page.width, page.height, &jbig, error, sizeof error);
  EXPECT_TRUE(ok) << error;
  Bytes bytes(jbig.data, jbig.data + jbig.size);
  ReleaseJbigBytes(&jbig);
  return bytes;
}

PageBitmap DecodeWithJbgtopbm(const Bytes &jbig, const TempDir &dir) {
  const std::string in = dir.file("decode.jbg");
  const std::string out = dir.file("decoded.pbm");
  WriteFileText(in, std::string(jbig.begin(), jbig.end()));
  unlink(out.c_str());
  const RunResult run = RunProgram({"jbgtopbm", in, out});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  return LoadPbm(out);
}

// The page encoded in pieces of the given stripe counts (the last piece takes the rest),
// joined in stripe order.
Bytes EncodeInPieces(const PageBitmap &page, const std::vector<int32_t> &pieceStripes) {
  Bytes bits = page.bits;
  Bytes joined;
  const int32_t stripes = JbigStripeCount(page.height);
  int32_t first = 0;
  for (size_t i = 0; i <= pieceStripes.size() && first < stripes; ++i) {
    const int32_t count =
        i < pieceStripes.size() ? std::min(pieceStripes[i], stripes - first) : stripes - first;
    JbigBytes piece;
    char error[JBIG_ERROR_TEXT_SIZE] = "";
    EXPECT_TRUE(EncodeJbigPiece(bits.data(), page.width, page.height, first, count, &piece, error,
                                sizeof error))
        << error;
    joined.insert(joined.end(), piece.data, piece.data + piece.size);
    ReleaseJbigBytes(&piece);
    first += count;
  }
  return joined;
}

// The in-process bytes equal the command's, and decode to the page's visible pixels; the
// page encoded in pieces, stripe by stripe and in two unequal halves, gives them too.
void ExpectSameAsCommand(const PageBitmap &page, const std::string &name) {
  SCOPED_TRACE(name + " (" + std::to_string(page.width) + "x" + std::to_string(page.height) + ")");
  TempDir dir;
  const Bytes command = EncodeWithCommand(page, dir);
  ASSERT_GT(command.size(), 20u) << "pbmtojbg wrote no image";
  const Bytes inMemory = EncodeInMemory(page);
  ASSERT_EQ(inMemory.size(), command.size());
  EXPECT_TRUE(inMemory == command) << "the JBIG bytes differ from pbmtojbg's";
  const int32_t stripes = JbigStripeCount(page.height);
  EXPECT_TRUE(EncodeInPieces(page, std::vector<int32_t>(static_cast<size_t>(stripes), 1)) ==
              command)
      << "the page's stripes, encoded one by one, do not join to pbmtojbg's bytes";
  EXPECT_TRUE(EncodeInPieces(page, {std::max(1, stripes / 3)}) == command)
      << "the page's two pieces do not join to pbmtojbg's bytes";
  const PageBitmap back = DecodeWithJbgtopbm(inMemory, dir);
  EXPECT_EQ(back.width, page.width);
  EXPECT_EQ(back.height, page.height);
  EXPECT_TRUE(SamePixels(back, page)) << "the decoded page differs from the encoded one";
}

// Pages rendered by ghostscript, as the printer's pages are rendered, one PBM per page.
std::vector<PageBitmap> Render(const std::string &postScript, int dpi, const TempDir &dir) {
  const std::string ps = dir.file("document.ps");
  WriteFileText(ps, postScript);
  const RunResult run =
      RunProgram({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pbmraw",
                  "-r" + std::to_string(dpi), "-sOutputFile=" + dir.file("render-%d.pbm"), ps});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  std::vector<PageBitmap> pages;
  for (int n = 1; FileExists(dir.file("render-" + std::to_string(n) + ".pbm")); ++n) {
    pages.push_back(LoadPbm(dir.file("render-" + std::to_string(n) + ".pbm")));
  }
  return pages;
}

std::string PageSetup(int widthPt, int heightPt) {
  return "%!PS\n<< /PageSize [" + std::to_string(widthPt) + " " + std::to_string(heightPt) +
         "] >> setpagedevice\n";
}

// Lines of 10 pt Times under a heading, a page long.
const char kTextPage[] = R"PS(
/Helvetica-Bold findfont 16 scalefont setfont
50 PageTop moveto (Encoding pages in process) show
/Times-Roman findfont 10 scalefont setfont
/y PageTop 30 sub def
/n 0 def
{ y 40 lt { exit } if
  50 y moveto
  (Line ) show n 10 string cvs show
  (: the quick brown fox jumps over the lazy dog, and the printer takes the page.) show
  /y y 12 sub def /n n 1 add def } loop
showpage
)PS";

// A grey picture that the renderer halftones: a radial gradient with ripples.
const char kHalftonePage[] = R"PS(
/row 256 string def
/r 0 def
gsave 40 40 translate 515 760 scale
256 256 8 [256 0 0 -256 0 256]
{ 0 1 255 { /x exch def
    row x
    x 128 sub dup mul r 128 sub dup mul add sqrt 1.4 mul
    x 5 mul sin 30 mul add r 3 mul cos 30 mul add
    dup 0 lt { pop 0 } if dup 255 gt { pop 255 } if cvi put } for
  /r r 1 add def row } image
grestore
showpage
)PS";

std::string TextDocument(int widthPt, int heightPt) {
  return PageSetup(widthPt, heightPt) + "/PageTop " + std::to_string(heightPt - 60) + " def\n" +
         kTextPage;
}

size_t BlackPixels(const PageBitmap &page) {
  size_t count = 0;
  const int64_t stride = PbmStride(page.width);
  for (int r = 0; r < page.height; ++r) {
    for (int c = 0; c < page.width; ++c) {
      count += (page.bits[static_cast<size_t>(r * stride + c / 8)] >> (7 - c % 8)) & 1;
    }
  }
  return count;
}

TEST(JbigMemoryEncoder, RenderedPagesGiveTheCommandsBytes) {
  TempDir dir;
  const std::vector<PageBitmap> text = Render(TextDocument(595, 842), 600, dir);
  ASSERT_EQ(text.size(), 1u);
  // A4 at 600 dpi, and not a whole number of bytes wide.
  EXPECT_EQ(text[0].width, 4958);
  EXPECT_GT(BlackPixels(text[0]), 100000u) << "the text page came out blank";
  ExpectSameAsCommand(text[0], "text page");

  const std::vector<PageBitmap> halftone = Render(PageSetup(595, 842) + kHalftonePage, 600, dir);
  ASSERT_EQ(halftone.size(), 1u);
  // Dithered grey: a good share of the page black, far from all of it.
  const size_t pixels = static_cast<size_t>(halftone[0].width) * halftone[0].height;
  EXPECT_GT(BlackPixels(halftone[0]), pixels / 5);
  EXPECT_LT(BlackPixels(halftone[0]), pixels * 4 / 5);
  ExpectSameAsCommand(halftone[0], "halftone page");
}

TEST(JbigMemoryEncoder, ATurnedA5PageGivesTheCommandsBytes) {
  TempDir dir;
  const std::vector<PageBitmap> a5 = Render(TextDocument(420, 595), 600, dir);
  ASSERT_EQ(a5.size(), 1u);
  const PageBitmap &page = a5[0];
  PageBitmap turned = BlankPage(page.height, page.width, 0);
  TurnBitmap(page.bits.data(), page.width, page.height, -90, turned.bits.data());
  ExpectSameAsCommand(turned, "A5 turned by -90");
}

TEST(JbigMemoryEncoder, AnA4PageAt1200DpiGivesTheCommandsBytes) {
  TempDir dir;
  const std::vector<PageBitmap> pages = Render(TextDocument(595, 842), 1200, dir);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].width, 9917);
  ExpectSameAsCommand(pages[0], "A4 at 1200 dpi");
}

TEST(JbigMemoryEncoder, RandomBlankAndBlackPagesGiveTheCommandsBytes) {
  ExpectSameAsCommand(RandomPage(1001, 300, 1), "random");
  ExpectSameAsCommand(RandomPage(4960, 520, 2), "random, whole bytes wide");
  ExpectSameAsCommand(BlankPage(4960, 7016, 0x00), "all white A4");
  ExpectSameAsCommand(BlankPage(4960, 7016, 0xFF), "all black A4");
  PageBitmap black = BlankPage(4958, 7017, 0xFF);
  ExpectSameAsCommand(black, "all black, padding set");
}

TEST(JbigMemoryEncoder, TinyPagesGiveTheCommandsBytes) {
  const struct {
    int width;
    int height;
  } sizes[] = {{1, 1}, {1, 2}, {1, 129},  {1, 1000}, {2, 1},   {7, 1},
               {8, 1}, {9, 1}, {1000, 1}, {8, 128},  {8, 129}, {3, 3}};
  unsigned seed = 10;
  for (const auto &size : sizes) {
    ExpectSameAsCommand(RandomPage(size.width, size.height, ++seed), "random tiny");
    ExpectSameAsCommand(BlankPage(size.width, size.height, 0x00), "white tiny");
    ExpectSameAsCommand(BlankPage(size.width, size.height, 0xFF), "black tiny");
  }
}

// The padding bits past the width are not part of the page: pbmtojbg gives the same bytes
// whatever they hold, and so does the in-process encoder, which leaves the page as it was.
TEST(JbigMemoryEncoder, PaddingBitsAreIgnoredAsThePbmCommandIgnoresThem) {
  TempDir dir;
  for (int width : {1, 3, 7, 9, 13, 1001, 4958}) {
    SCOPED_TRACE("width " + std::to_string(width));
    PageBitmap clean = RandomPage(width, 200, static_cast<unsigned>(width));
    FillPadding(&clean, false, 0);
    PageBitmap garbage = clean;
    FillPadding(&garbage, true, static_cast<unsigned>(width) + 1);
    ASSERT_FALSE(garbage.bits == clean.bits);

    const Bytes fromClean = EncodeWithCommand(clean, dir);
    EXPECT_TRUE(EncodeWithCommand(garbage, dir) == fromClean)
        << "pbmtojbg's bytes depend on the padding bits";
    ExpectSameAsCommand(garbage, "garbage in the padding");

    Bytes bits = garbage.bits;
    JbigBytes jbig;
    char error[JBIG_ERROR_TEXT_SIZE] = "";
    ASSERT_TRUE(EncodeJbigInMemory(bits.data(), width, 200, &jbig, error, sizeof error)) << error;
    EXPECT_TRUE(Bytes(jbig.data, jbig.data + jbig.size) == fromClean);
    EXPECT_TRUE(bits == garbage.bits) << "the encoder changed the page";
    ReleaseJbigBytes(&jbig);
  }
}

TEST(JbigMemoryEncoder, RefusesPagesItCannotEncode) {
  unsigned char pixels[16] = {};
  const struct {
    const char *name;
    unsigned char *bits;
    int32_t width;
    int32_t height;
    const char *message;
  } cases[] = {
      {"no width", pixels, 0, 5, "cannot encode a page of 0x5 pixels"},
      {"no height", pixels, 5, 0, "cannot encode a page of 5x0 pixels"},
      {"negative", pixels, -8, 3, "cannot encode a page of -8x3 pixels"},
      {"no pixels", nullptr, 8, 1, "cannot encode a page of 8x1 pixels without pixels"},
      // Refused from the sizes alone: the 16 bytes are never read.
      {"past the limit", pixels, 65536, 131073,
       "a page of 65536x131073 pixels (1073750016 bytes) exceeds the limit of 1073741824 bytes"},
      {"largest sizes", pixels, INT32_MAX, INT32_MAX, "exceeds the limit of 1073741824 bytes"},
  };
  for (const auto &page : cases) {
    SCOPED_TRACE(page.name);
    JbigBytes jbig;
    jbig.size = 99;  // whatever the record held, it comes back empty
    char error[JBIG_ERROR_TEXT_SIZE] = "";
    EXPECT_FALSE(
        EncodeJbigInMemory(page.bits, page.width, page.height, &jbig, error, sizeof error));
    EXPECT_NE(strstr(error, page.message), nullptr) << error;
    EXPECT_EQ(jbig.data, nullptr);
    EXPECT_EQ(jbig.size, 0u);
    // No room for the text is no reason to write past it.
    EXPECT_FALSE(EncodeJbigInMemory(page.bits, page.width, page.height, &jbig, nullptr, 0));
    char tiny[4] = {'x', 'x', 'x', 'x'};
    EXPECT_FALSE(EncodeJbigInMemory(page.bits, page.width, page.height, &jbig, tiny, 3));
    EXPECT_EQ(tiny[2], '\0');
    EXPECT_EQ(tiny[3], 'x');
  }
}

// The limit on the output leaves room for the largest real pages: a random page, the worst
// case of arithmetic coding, comes out larger than its pixels and well inside the limit.
TEST(JbigMemoryEncoder, TheOutputLimitLeavesRoomForARandomPage) {
  const PageBitmap page = RandomPage(4960, 1000, 5);
  const Bytes jbig = EncodeInMemory(page);
  EXPECT_GT(jbig.size(), page.bits.size());
  EXPECT_LT(jbig.size(), JbigOutputLimit(page.bits.size()));
  EXPECT_GE(JbigOutputLimit(page.bits.size()), 2 * page.bits.size());
  EXPECT_GE(JbigOutputLimit(1), 64u * 1024);
}

// Pages encoded at the same time on several threads give the bytes they give one by one.
TEST(JbigMemoryEncoder, PagesEncodedOnSeveralThreadsAtOnceKeepTheirBytes) {
  constexpr int kThreads = 4;
  struct Work {
    PageBitmap page;
    Bytes serial;
    Bytes parallel;
  };
  std::vector<Work> work(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    work[i].page = RandomPage(800 + 13 * i, 700, 100 + i);
    work[i].serial = EncodeInMemory(work[i].page);
  }
  std::vector<pthread_t> threads(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_EQ(pthread_create(
                  &threads[i], nullptr,
                  [](void *argument) -> void * {
                    Work *item = static_cast<Work *>(argument);
                    for (int round = 0; round < 3; ++round)
                      item->parallel = EncodeInMemory(item->page);
                    return nullptr;
                  },
                  &work[i]),
              0);
  }
  for (pthread_t thread : threads) pthread_join(thread, nullptr);
  for (const Work &item : work) EXPECT_TRUE(item.parallel == item.serial);
}

// The pieces of one page encoded at the same time, each on its own thread, on the one
// bitmap (garbage in its padding): they touch only their own rows, and join to the page.
TEST(JbigMemoryEncoder, PiecesOfOnePageEncodeOnSeveralThreadsAtOnce) {
  PageBitmap page = RandomPage(1001, 128 * 9 + 50, 21);
  const Bytes whole = EncodeInMemory(page);
  struct Piece {
    PageBitmap *page;
    int32_t first;
    int32_t count;
    Bytes bytes;
  };
  std::vector<Piece> pieces = {
      {&page, 0, 3, {}}, {&page, 3, 1, {}}, {&page, 4, 4, {}}, {&page, 8, 2, {}}};
  std::vector<pthread_t> threads(pieces.size());
  for (size_t i = 0; i < pieces.size(); ++i) {
    ASSERT_EQ(
        pthread_create(
            &threads[i], nullptr,
            [](void *argument) -> void * {
              Piece *piece = static_cast<Piece *>(argument);
              JbigBytes jbig;
              if (EncodeJbigPiece(piece->page->bits.data(), piece->page->width, piece->page->height,
                                  piece->first, piece->count, &jbig, nullptr, 0)) {
                piece->bytes.assign(jbig.data, jbig.data + jbig.size);
              }
              ReleaseJbigBytes(&jbig);
              return nullptr;
            },
            &pieces[i]),
        0);
  }
  for (pthread_t thread : threads) pthread_join(thread, nullptr);
  Bytes joined;
  for (const Piece &piece : pieces)
    joined.insert(joined.end(), piece.bytes.begin(), piece.bytes.end());
  EXPECT_TRUE(joined == whole);
  // Only the first piece carries the image header.
  ASSERT_GT(pieces[0].bytes.size(), 20u);
  EXPECT_TRUE(Bytes(pieces[0].bytes.begin(), pieces[0].bytes.begin() + 20) ==
              Bytes(whole.begin(), whole.begin() + 20));
  EXPECT_TRUE(Bytes(pieces[3].bytes.end() - 2, pieces[3].bytes.end()) == (Bytes{0xFF, 0x03}));
}

TEST(JbigMemoryEncoder, PiecesMustLieInThePage) {
  EXPECT_EQ(JbigStripeCount(0), 0);
  EXPECT_EQ(JbigStripeCount(1), 1);
  EXPECT_EQ(JbigStripeCount(128), 1);
  EXPECT_EQ(JbigStripeCount(129), 2);
  EXPECT_EQ(JbigStripeCount(INT32_MAX), 16777216);
  PageBitmap page = RandomPage(16, 300, 4);  // 3 stripes
  const struct {
    int32_t first;
    int32_t count;
    const char *message;
  } cases[] = {
      {-1, 1, "stripes -1 to -1 are not in a page of 3 stripes"},
      {0, 0, "stripes 0 to -1 are not in a page of 3 stripes"},
      {0, 4, "stripes 0 to 3 are not in a page of 3 stripes"},
      {3, 1, "stripes 3 to 3 are not in a page of 3 stripes"},
      {2, INT32_MAX, "stripes 2 to 2147483648 are not in a page of 3 stripes"},
  };
  for (const auto &piece : cases) {
    JbigBytes jbig;
    char error[JBIG_ERROR_TEXT_SIZE] = "";
    EXPECT_FALSE(EncodeJbigPiece(page.bits.data(), page.width, page.height, piece.first,
                                 piece.count, &jbig, error, sizeof error));
    EXPECT_STREQ(error, piece.message);
    EXPECT_EQ(jbig.data, nullptr);
  }
}

TEST(JbigMemoryEncoder, ReleasingEmptiesTheRecord) {
  JbigBytes empty;
  ReleaseJbigBytes(&empty);
  EXPECT_EQ(empty.data, nullptr);
  PageBitmap page = RandomPage(16, 16, 3);
  JbigBytes jbig;
  ASSERT_TRUE(EncodeJbigInMemory(page.bits.data(), 16, 16, &jbig, nullptr, 0));
  EXPECT_NE(jbig.data, nullptr);
  EXPECT_GE(jbig.capacity, jbig.size);
  ReleaseJbigBytes(&jbig);
  EXPECT_EQ(jbig.data, nullptr);
  EXPECT_EQ(jbig.size, 0u);
  EXPECT_EQ(jbig.capacity, 0u);
}

}  // namespace
