// The raster maker and the stream inspector, run as built: rasters read back with
// libcups and compared with the maker's PBM files, streams built from the real encoder's
// output and inspected whole and damaged.

#include <cups/raster.h>
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>
#pragma GCC diagnostic pop
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "StreamReader.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct RasterPage {
  cups_page_header2_t header;
  Bytes data;  // cupsHeight lines of cupsBytesPerLine bytes
};

// Reads every page with libcups's reader, as the filter does.
std::vector<RasterPage> ReadRaster(const std::string &path) {
  std::vector<RasterPage> pages;
  int fd = open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << path;
  if (fd < 0) return pages;
  cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
  EXPECT_NE(raster, nullptr);
  RasterPage page;
  while (raster != nullptr && cupsRasterReadHeader2(raster, &page.header)) {
    const size_t size = static_cast<size_t>(page.header.cupsBytesPerLine) * page.header.cupsHeight;
    page.data.assign(size, 0);
    if (size > 0) {
      EXPECT_EQ(cupsRasterReadPixels(raster, page.data.data(), static_cast<unsigned>(size)), size);
    }
    pages.push_back(page);
  }
  if (raster != nullptr) cupsRasterClose(raster);
  close(fd);
  return pages;
}

RunResult MakeRaster(const std::vector<std::string> &args) {
  std::vector<std::string> argv{QUENMARK_MKRASTER_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv);
}

RunResult Inspect(const std::vector<std::string> &args, const RunOptions &options = {}) {
  std::vector<std::string> argv{QUENMARK_INSPECT_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, options);
}

PageBitmap ReadPbm(const std::string &path) {
  PageBitmap page;
  std::string error;
  EXPECT_TRUE(ReadPbmFile(path, &page, &error)) << error;
  return page;
}

bool Pixel(const PageBitmap &page, int x, int y) {
  return (page.bits[y * PageBitmapStride(page.width) + x / 8] >> (7 - x % 8) & 1) != 0;
}

int64_t BlackPixels(const PageBitmap &page) {
  int64_t count = 0;
  for (int y = 0; y < page.height; ++y) {
    for (int x = 0; x < page.width; ++x) count += Pixel(page, x, y);
  }
  return count;
}

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// ---------------------------------------------------------------- raster maker

TEST(Mkraster, PagesCarryExactlyTheBitsOfTheirPbmFiles) {
  TempDir dir;
  RunResult run = MakeRaster({"-n", "3", "-s", "A5,Letter", "-r", "150", "--pbm",
                              dir.file("page"), dir.file("job.ras")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::vector<RasterPage> pages = ReadRaster(dir.file("job.ras"));
  ASSERT_EQ(pages.size(), 3u);
  const struct {
    const char *name;
    unsigned points[2];
    unsigned pixels[2];
  } expected[] = {{"A5", {420, 595}, {875, 1240}},
                  {"Letter", {612, 792}, {1275, 1650}},
                  {"A5", {420, 595}, {875, 1240}}};
  for (size_t i = 0; i < pages.size(); ++i) {
    SCOPED_TRACE("page " + std::to_string(i + 1));
    const cups_page_header2_t &header = pages[i].header;
    EXPECT_STREQ(header.cupsPageSizeName, expected[i].name);
    EXPECT_EQ(header.PageSize[0], expected[i].points[0]);
    EXPECT_EQ(header.PageSize[1], expected[i].points[1]);
    EXPECT_EQ(header.cupsWidth, expected[i].pixels[0]);
    EXPECT_EQ(header.cupsHeight, expected[i].pixels[1]);
    EXPECT_EQ(header.HWResolution[0], 150u);
    EXPECT_EQ(header.HWResolution[1], 150u);
    EXPECT_EQ(header.cupsBitsPerColor, 1u);
    EXPECT_EQ(header.cupsBitsPerPixel, 1u);
    EXPECT_EQ(header.cupsBytesPerLine, (header.cupsWidth + 7) / 8);
    EXPECT_EQ(header.cupsColorOrder, CUPS_ORDER_CHUNKED);
    EXPECT_EQ(header.cupsColorSpace, CUPS_CSPACE_K);
    EXPECT_EQ(header.cupsNumColors, 1u);

    PageBitmap pbm = ReadPbm(dir.file("page-" + std::to_string(i + 1) + ".pbm"));
    EXPECT_EQ(pbm.width, static_cast<int>(header.cupsWidth));
    EXPECT_EQ(pbm.height, static_cast<int>(header.cupsHeight));
    EXPECT_EQ(pbm.bits, pages[i].data);
    // Text content: some ink, mostly paper.
    const int64_t black = BlackPixels(pbm);
    EXPECT_GT(black, int64_t{pbm.width} * pbm.height / 100);
    EXPECT_LT(black, int64_t{pbm.width} * pbm.height / 3);
  }
  // Same size, other page number: other pixels.
  EXPECT_NE(pages[0].data, pages[2].data);
}

TEST(Mkraster, SizesAndResolutions) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    const char *name;
    unsigned points[2];
    unsigned resolution[2];
    unsigned pixels[2];
  } cases[] = {
      {{"-s", "A6", "-r", "1200x600"}, "A6", {297, 420}, {1200, 600}, {4950, 3500}},
      {{"--size", "200x300", "--resolution", "72"}, "Custom.200x300", {200, 300}, {72, 72},
       {200, 300}},
      {{"-s", "A4"}, "A4", {595, 842}, {600, 600}, {4958, 7017}},
      {{"-s", "16k", "-r", "300"}, "16k", {522, 737}, {300, 300}, {2175, 3071}},
      {{"--width-px", "13", "--height-px", "5", "-s", "Legal"}, "Custom", {2, 1}, {600, 600},
       {13, 5}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.push_back(dir.file("s.ras"));
    RunResult run = MakeRaster(args);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    std::vector<RasterPage> pages = ReadRaster(dir.file("s.ras"));
    ASSERT_EQ(pages.size(), 1u);
    const cups_page_header2_t &header = pages[0].header;
    EXPECT_STREQ(header.cupsPageSizeName, c.name);
    EXPECT_EQ(header.PageSize[0], c.points[0]);
    EXPECT_EQ(header.PageSize[1], c.points[1]);
    EXPECT_EQ(header.HWResolution[0], c.resolution[0]);
    EXPECT_EQ(header.HWResolution[1], c.resolution[1]);
    EXPECT_EQ(header.cupsWidth, c.pixels[0]);
    EXPECT_EQ(header.cupsHeight, c.pixels[1]);
    EXPECT_EQ(header.cupsBytesPerLine, (c.pixels[0] + 7) / 8);
  }
}

// A raster made for a named size is the sheet the printer's PPD gives that name.
TEST(Mkraster, NamedSizesAreThePpdSizes) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ppd_file_t *ppd = ppdOpenFile(QUENMARK_SHIPPED_PPD);
  ASSERT_NE(ppd, nullptr);
  TempDir dir;
  for (const char *name : {"A4", "A5", "A6", "B5", "B5ISO", "B6", "Letter", "Legal", "Statement",
                           "Executive", "16k"}) {
    SCOPED_TRACE(name);
    RunResult run = MakeRaster({"-s", name, "-r", "72", dir.file("s.ras")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    std::vector<RasterPage> pages = ReadRaster(dir.file("s.ras"));
    ASSERT_EQ(pages.size(), 1u);
    ppd_size_t *size = ppdPageSize(ppd, name);
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(pages[0].header.PageSize[0], static_cast<unsigned>(size->width + 0.5f));
    EXPECT_EQ(pages[0].header.PageSize[1], static_cast<unsigned>(size->length + 0.5f));
  }
  ppdClose(ppd);
#pragma GCC diagnostic pop
}

TEST(Mkraster, WhiteColourSpacesCarryTheInverseBits) {
  TempDir dir;
  const struct {
    const char *option;
    cups_cspace_t space;
    bool inverted;
  } cases[] = {{"k", CUPS_CSPACE_K, false},
               {"black", CUPS_CSPACE_K, false},
               {"w", CUPS_CSPACE_W, true},
               {"sw", CUPS_CSPACE_SW, true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.option);
    RunResult run = MakeRaster({"--width-px", "203", "--height-px", "150", "--colorspace",
                                c.option, "--pbm", dir.file("cs"), dir.file("cs.ras")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    std::vector<RasterPage> pages = ReadRaster(dir.file("cs.ras"));
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].header.cupsColorSpace, c.space);
    PageBitmap pbm = ReadPbm(dir.file("cs-1.pbm"));
    // The PBM stays black on white whatever the raster's polarity.
    EXPECT_FALSE(Pixel(pbm, 0, 0)) << "the margin is white";
    EXPECT_GT(BlackPixels(pbm), 0);
    EXPECT_LT(BlackPixels(pbm), 203 * 150 / 2);
    ASSERT_EQ(pbm.bits.size(), pages[0].data.size());
    for (size_t i = 0; i < pbm.bits.size(); ++i) {
      const unsigned char expected = c.inverted ? static_cast<unsigned char>(~pbm.bits[i])
                                                : pbm.bits[i];
      ASSERT_EQ(pages[0].data[i], expected) << "byte " << i;
    }
  }
}

TEST(Mkraster, ContentKinds) {
  TempDir dir;
  auto make = [&](const std::vector<std::string> &extra, const std::string &name) {
    std::vector<std::string> args{"--width-px", "301", "--height-px", "97", "--pbm",
                                  dir.file(name)};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(dir.file(name + ".ras"));
    RunResult run = MakeRaster(args);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    return ReadPbm(dir.file(name + "-1.pbm"));
  };
  PageBitmap blank = make({"--content", "blank"}, "blank");
  EXPECT_TRUE(IsAllWhite(blank));
  PageBitmap black = make({"--content", "black"}, "black");
  EXPECT_EQ(BlackPixels(black), 301 * 97);
  // Padding past the width stays clear, as a raster's does.
  EXPECT_EQ(black.bits[PageBitmapStride(301) - 1], 0xf8);

  PageBitmap random1 = make({"--content", "random"}, "r1");
  PageBitmap random1Again = make({"--content", "random", "--seed", "1"}, "r1b");
  PageBitmap random2 = make({"--content", "random", "--seed", "2"}, "r2");
  EXPECT_EQ(random1.bits, random1Again.bits);
  EXPECT_NE(random1.bits, random2.bits);
  const int64_t ink = BlackPixels(random1);
  EXPECT_GT(ink, 301 * 97 * 4 / 10);
  EXPECT_LT(ink, 301 * 97 * 6 / 10);

  PageBitmap text = make({}, "text");
  EXPECT_FALSE(IsAllWhite(text));
  EXPECT_LT(BlackPixels(text), 301 * 97 / 2);
}

TEST(Mkraster, DeeperPixelsAndOtherLineLengths) {
  TempDir dir;
  RunResult run = MakeRaster({"--width-px", "21", "--height-px", "30", "--bits", "8", "--pbm",
                              dir.file("d"), dir.file("d8.ras")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::vector<RasterPage> pages = ReadRaster(dir.file("d8.ras"));
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].header.cupsBitsPerColor, 8u);
  EXPECT_EQ(pages[0].header.cupsBitsPerPixel, 8u);
  EXPECT_EQ(pages[0].header.cupsBytesPerLine, 21u);
  PageBitmap pbm = ReadPbm(dir.file("d-1.pbm"));
  EXPECT_FALSE(IsAllWhite(pbm));
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 21; ++x) {
      ASSERT_EQ(pages[0].data[y * 21 + x], Pixel(pbm, x, y) ? 0xff : 0x00) << x << "," << y;
    }
  }

  run = MakeRaster({"--width-px", "21", "--height-px", "30", "--bits", "2", "--colorspace",
                    "w", dir.file("d2.ras")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  pages = ReadRaster(dir.file("d2.ras"));
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].header.cupsBytesPerLine, 6u);  // 42 bits
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 21; ++x) {
      const unsigned value = pages[0].data[y * 6 + x / 4] >> (6 - 2 * (x % 4)) & 3;
      ASSERT_EQ(value, Pixel(pbm, x, y) ? 0u : 3u) << x << "," << y;  // set bits are white
    }
  }

  run = MakeRaster({"--width-px", "40", "--height-px", "10", "--bytes-per-line", "3", "--pbm",
                    dir.file("b"), dir.file("b.ras")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  pages = ReadRaster(dir.file("b.ras"));
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].header.cupsWidth, 40u);
  EXPECT_EQ(pages[0].header.cupsBytesPerLine, 3u);
  ASSERT_EQ(pages[0].data.size(), 30u);
  PageBitmap narrow = ReadPbm(dir.file("b-1.pbm"));
  for (int y = 0; y < 10; ++y) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(pages[0].data[y * 3 + i], narrow.bits[y * 5 + i]);
  }
}

TEST(Mkraster, HeaderOnlyAnnouncesPagesTooLargeToWrite) {
  TempDir dir;
  RunResult run = MakeRaster({"--width-px", "100000", "--height-px", "100000", "-n", "2",
                              "--header-only", dir.file("h.ras")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  int fd = open(dir.file("h.ras").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
  cups_page_header2_t header;
  ASSERT_TRUE(cupsRasterReadHeader2(raster, &header));
  EXPECT_EQ(header.cupsWidth, 100000u);
  EXPECT_EQ(header.cupsBytesPerLine, 12500u);
  cupsRasterClose(raster);
  close(fd);

  // Without --header-only such a page is refused rather than allocated.
  run = MakeRaster({"--width-px", "100000", "--height-px", "100000", dir.file("big.ras")});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_TRUE(Contains(run.err, "--header-only")) << run.err;
}

TEST(Mkraster, WritesToStandardOutput) {
  TempDir dir;
  RunResult run = MakeRaster({"-n", "2", "-r", "72", "-s", "A6", "-"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  WriteFileText(dir.file("out.ras"), run.out);
  std::vector<RasterPage> pages = ReadRaster(dir.file("out.ras"));
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[1].header.cupsWidth, 297u);

  run = MakeRaster({"-n", "2", "-r", "72", "-s", "A6", "--compressed", dir.file("c.ras")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::vector<RasterPage> compressed = ReadRaster(dir.file("c.ras"));
  ASSERT_EQ(compressed.size(), 2u);
  EXPECT_EQ(compressed[1].data, pages[1].data);
}

TEST(Mkraster, RefusesBadCommandLines) {
  TempDir dir;
  const std::string out = dir.file("x.ras");
  const std::vector<std::vector<std::string>> usage = {
      {},
      {out, out},
      {"-n", "0", out},
      {"-n", "two", out},
      {"-s", "A3", out},
      {"-s", "A4,", out},
      {"-s", "0x10", out},
      {"-r", "0", out},
      {"-r", "600x", out},
      {"--content", "photo", out},
      {"--colorspace", "rgb", out},
      {"--bits", "3", out},
      {"--bytes-per-line", "-1", out},
      {"--width-px", "10", out},
      {"--header-only", "--pbm", dir.file("p"), out},
      {"--frobnicate", out},
      {"--seed"},
  };
  for (const auto &args : usage) {
    RunResult run = MakeRaster(args);
    EXPECT_EQ(run.exitStatus, 2) << (args.empty() ? "(none)" : args[0]) << ": " << run.err;
    EXPECT_FALSE(run.err.empty());
  }
  EXPECT_FALSE(FileExists(out));

  RunResult run = MakeRaster({"--help"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_TRUE(Contains(run.out, "--width-px W --height-px H")) << run.out;

  run = MakeRaster({dir.file("no/such/dir/x.ras")});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_TRUE(Contains(run.err, "no/such/dir/x.ras")) << run.err;
  run = MakeRaster({"--pbm", dir.file("no/such/p"), out});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_TRUE(Contains(run.err, "no/such/p-1.pbm")) << run.err;
}

// ---------------------------------------------------------------- stream inspector

void AppendLe32(Bytes *bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

Bytes JobHeader(const std::string &params) {
  Bytes bytes{'k', 'v', '7', '3', '1', '0', '_', 'p', 'a', 'r', 'a', 'm', 0, 0, 0, 0};
  AppendLe32(&bytes, static_cast<uint32_t>(params.size()));
  bytes.insert(bytes.end(), params.begin(), params.end());
  return bytes;
}

void AppendRecord(Bytes *bytes, int32_t firstpage, int32_t lastpage, int32_t pageno,
                  const Bytes &data) {
  const char magic[16] = "kv7310_printer";
  bytes->insert(bytes->end(), magic, magic + 16);
  AppendLe32(bytes, static_cast<uint32_t>(firstpage));
  AppendLe32(bytes, static_cast<uint32_t>(lastpage));
  AppendLe32(bytes, static_cast<uint32_t>(data.size()));
  AppendLe32(bytes, static_cast<uint32_t>(pageno));
  bytes->insert(bytes->end(), data.begin(), data.end());
}

void WriteBytes(const std::string &path, const Bytes &bytes) {
  WriteFileText(path, std::string(bytes.begin(), bytes.end()));
}

const std::string kParams = "PageSize=A5, copies=1, DocName=report, final.pdf, AuthID=, ";

// Pages from the raster maker, encoded as the filter encodes them.
class InspectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RunResult run = MakeRaster({"-n", "2", "-s", "A5", "-r", "100", "--pbm", dir_.file("src"),
                                dir_.file("src.ras")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    run = MakeRaster({"-s", "A6", "-r", "100", "--content", "blank", "--pbm", dir_.file("white"),
                      dir_.file("white.ras")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    for (const std::string name : {"src-1", "src-2", "white-1"}) {
      sources_.push_back(ReadPbm(dir_.file(name + ".pbm")));
      const PageBitmap &page = sources_.back();
      run = RunProgram({"pbmtojbg", "-q", "-x", std::to_string(page.width), "-y",
                        std::to_string(page.height), "-r", "-s", "128", "-o", "0", "-p", "8",
                        "-m", "0", dir_.file(name + ".pbm"), dir_.file(name + ".jbg")});
      ASSERT_EQ(run.exitStatus, 0) << run.err;
      Bytes jbig;
      std::string error;
      ASSERT_TRUE(ReadWholeFile(dir_.file(name + ".jbg"), &jbig, &error)) << error;
      jbig_.push_back(jbig);
    }
  }

  // Three records: two text pages and a white one, the last with lastpage 1.
  Bytes GoodStream() const {
    Bytes bytes = JobHeader(kParams);
    AppendRecord(&bytes, 1, 0, 1, jbig_[0]);
    AppendRecord(&bytes, 0, 0, 2, jbig_[1]);
    AppendRecord(&bytes, 0, 1, 3, jbig_[2]);
    return bytes;
  }

  size_t RecordOffset(size_t index) const {
    size_t offset = 20 + kParams.size();
    for (size_t i = 0; i < index; ++i) offset += 32 + jbig_[i].size();
    return offset;
  }

  TempDir dir_;
  std::vector<PageBitmap> sources_;
  std::vector<Bytes> jbig_;
};

TEST_F(InspectorTest, ListsAndDecodesAGoodStream) {
  WriteBytes(dir_.file("good.bin"), GoodStream());
  const std::string out = dir_.file("pages/nested");  // created when missing
  RunResult run = Inspect({"--out-dir", out, dir_.file("good.bin")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(Contains(run.out, "  PageSize = A5\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "  copies = 1\n"));
  EXPECT_TRUE(Contains(run.out, "  DocName = report, final.pdf\n"));
  EXPECT_TRUE(Contains(run.out, "  AuthID = \n"));
  EXPECT_TRUE(Contains(run.out, "Page records: 3\n"));
  EXPECT_TRUE(Contains(run.out, "Stream OK: 3 page records"));
  EXPECT_TRUE(Contains(run.out, out));

  // One table row per record: number, offset, firstpage, lastpage, jbg_size, pageno, size, blank.
  const std::string sizes[] = {"583x826", "583x826", "413x583"};
  const char *blank[] = {"no", "no", "yes"};
  const int first[] = {1, 0, 0};
  const int last[] = {0, 0, 1};
  for (size_t i = 0; i < 3; ++i) {
    char row[200];
    snprintf(row, sizeof row, "%5zu %10zu %9d %8d %10zu %7zu  %-12s %s\n", i + 1, RecordOffset(i),
             first[i], last[i], jbig_[i].size(), i + 1, sizes[i].c_str(), blank[i]);
    EXPECT_TRUE(Contains(run.out, row)) << row << "\n" << run.out;

    char name[32];
    snprintf(name, sizeof name, "/page-%03zu", i + 1);
    PageBitmap decoded = ReadPbm(out + name + ".pbm");
    EXPECT_TRUE(SamePixels(decoded, sources_[i])) << name;
    const std::string png = ReadFileText(out + name + ".png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    // IHDR width, big-endian.
    const unsigned width = static_cast<unsigned char>(png[16]) << 24 |
                           static_cast<unsigned char>(png[17]) << 16 |
                           static_cast<unsigned char>(png[18]) << 8 |
                           static_cast<unsigned char>(png[19]);
    EXPECT_EQ(width, static_cast<unsigned>(sources_[i].width));
  }
}

TEST_F(InspectorTest, ReadsStandardInputAndWritesBesideTheStream) {
  WriteBytes(dir_.file("good.bin"), GoodStream());
  RunOptions options;
  options.stdinPath = dir_.file("good.bin");
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--out-dir", dir_.file("a")},
        std::vector<std::string>{"--out-dir", dir_.file("b"), "-"}}) {
    RunResult run = Inspect(args, options);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "standard input"));
    EXPECT_TRUE(FileExists(args[1] + "/page-003.png"));
  }

  // Without --out-dir the pages go into a folder beside the stream, never into the
  // current directory; a stream on standard input needs the option.
  ASSERT_EQ(mkdir(dir_.file("cwd").c_str(), 0755), 0);
  const std::string inCwd = "cd \"$1\" && exec \"$2\" \"$3\"";
  RunResult run = RunProgram({"/bin/sh", "-c", inCwd, "sh", dir_.file("cwd"),
                              QUENMARK_INSPECT_PATH, dir_.file("good.bin")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(FileExists(dir_.file("good.bin.pages/page-001.pbm")));
  EXPECT_TRUE(FileExists(dir_.file("good.bin.pages/page-003.png")));
  EXPECT_TRUE(Contains(run.out, "Pages written to " + dir_.file("good.bin.pages"))) << run.out;
  EXPECT_TRUE(std::filesystem::is_empty(dir_.file("cwd")));

  for (const std::vector<std::string> &args :
       {std::vector<std::string>{}, std::vector<std::string>{"-"}}) {
    run = Inspect(args, options);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_TRUE(Contains(run.err, "needs --out-dir")) << run.err;
  }
  run = Inspect({"--no-decode", "-"}, options);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
}

// Collated two-sided copies of an odd page count end on a front side, and a cancelled
// job on whatever page was in hand: the stream is sound, but the printer never hears
// "last page", which the inspector says.
TEST_F(InspectorTest, WarnsWhenNoRecordIsTheLastPage) {
  Bytes open = JobHeader(kParams);
  AppendRecord(&open, 1, 0, 1, jbig_[0]);
  AppendRecord(&open, 0, 0, 2, jbig_[1]);
  WriteBytes(dir_.file("open.bin"), open);
  RunResult run = Inspect({"--no-decode", dir_.file("open.bin")});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "warning: no page record has lastpage 1")) << run.err;
  EXPECT_TRUE(Contains(run.out, "Stream OK: 2 page records, " + std::to_string(open.size()) +
                                    " bytes; warning: no record has lastpage 1\n"))
      << run.out;
  run = Inspect({"--quiet", "--no-decode", dir_.file("open.bin")});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(Contains(run.err, "warning: no page record has lastpage 1")) << run.err;

  WriteBytes(dir_.file("header.bin"), JobHeader(kParams));
  run = Inspect({"--no-decode", dir_.file("header.bin")});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_TRUE(Contains(run.err, "warning: no page record has lastpage 1")) << run.err;

  WriteBytes(dir_.file("good.bin"), GoodStream());
  run = Inspect({"--no-decode", dir_.file("good.bin")});
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(Contains(run.out, "warning"));
}

TEST_F(InspectorTest, NoDecodeAndQuiet) {
  WriteBytes(dir_.file("good.bin"), GoodStream());
  RunResult run = Inspect({"--no-decode", "--out-dir", dir_.file("none"), dir_.file("good.bin")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "Page records: 3"));
  EXPECT_FALSE(FileExists(dir_.file("none")));

  run = Inspect({"--quiet", "--out-dir", dir_.file("q"), dir_.file("good.bin")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(FileExists(dir_.file("q/page-002.pbm")));
}

TEST_F(InspectorTest, EmptyAndHeaderOnlyStreams) {
  WriteBytes(dir_.file("empty.bin"), {});
  RunResult run = Inspect({"--out-dir", dir_.file("e"), dir_.file("empty.bin")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "Empty stream")) << run.out;

  WriteBytes(dir_.file("header.bin"), JobHeader(kParams));
  run = Inspect({"--out-dir", dir_.file("h"), dir_.file("header.bin")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "Page records: 0"));
  EXPECT_TRUE(Contains(run.out, "  PageSize = A5"));
}

TEST_F(InspectorTest, DamagedStreamsFailWithTheByteOffset) {
  const Bytes good = GoodStream();
  const size_t second = RecordOffset(1);
  const size_t third = RecordOffset(2);
  Bytes badMagic = good;
  badMagic[third + 3] = 'X';
  Bytes leftover = good;
  leftover.insert(leftover.end(), {1, 2, 3});
  const struct {
    const char *name;
    Bytes bytes;
    std::string message;
    size_t pagesDecoded;
  } cases[] = {
      {"cut in the job header", Bytes(good.begin(), good.begin() + 7), "at byte 0:", 0},
      {"cut in a header", Bytes(good.begin(), good.begin() + second + 5),
       "at byte " + std::to_string(second) + ": page record 2: truncated header", 1},
      {"cut in the data", Bytes(good.begin(), good.end() - 1),
       "at byte " + std::to_string(third) + ": page record 3: jbg_size", 2},
      {"bad magic", badMagic, "at byte " + std::to_string(third) + ": page record 3: bad magic",
       2},
      {"bytes left over", leftover,
       "at byte " + std::to_string(good.size()) + ": page record 4: truncated header", 3},
  };
  int number = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = dir_.file("out" + std::to_string(++number));
    WriteBytes(dir_.file("bad.bin"), c.bytes);
    RunResult run = Inspect({"--out-dir", out, dir_.file("bad.bin")});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(Contains(run.err, "damaged stream: " + c.message)) << run.err;
    EXPECT_TRUE(Contains(run.out, "Stream has problems")) << run.out;
    // What could be read was still decoded.
    for (size_t page = 1; page <= 3; ++page) {
      char name[32];
      snprintf(name, sizeof name, "/page-%03zu.png", page);
      EXPECT_EQ(FileExists(out + name), page <= c.pagesDecoded) << name;
    }
  }
}

TEST_F(InspectorTest, SequenceErrorsAndUndecodablePages) {
  Bytes gap = JobHeader(kParams);
  AppendRecord(&gap, 1, 0, 1, jbig_[0]);
  AppendRecord(&gap, 0, 1, 3, jbig_[1]);
  WriteBytes(dir_.file("gap.bin"), gap);
  RunResult run = Inspect({"--out-dir", dir_.file("g"), dir_.file("gap.bin")});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_TRUE(Contains(run.err, "page record 2 (at byte " + std::to_string(RecordOffset(1)) +
                                    "): pageno 3, expected 2"))
      << run.err;
  EXPECT_TRUE(FileExists(dir_.file("g/page-002.pbm")));

  Bytes garbage = JobHeader(kParams);
  AppendRecord(&garbage, 1, 0, 1, jbig_[0]);
  Bytes broken(jbig_[1].begin(), jbig_[1].begin() + 20);  // a header and then nonsense
  broken.resize(300, 0xa5);
  AppendRecord(&garbage, 0, 0, 2, broken);
  AppendRecord(&garbage, 0, 0, 3, {});
  AppendRecord(&garbage, 0, 1, 4, jbig_[2]);
  WriteBytes(dir_.file("garbage.bin"), garbage);
  run = Inspect({"--out-dir", dir_.file("j"), dir_.file("garbage.bin")});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_TRUE(Contains(run.err, "page record 2 (at byte " + std::to_string(RecordOffset(1)) +
                                    "): JBIG data at byte " +
                                    std::to_string(RecordOffset(1) + 32)))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "page record 3")) << run.err;
  EXPECT_TRUE(Contains(run.out, "FAILED"));
  EXPECT_TRUE(FileExists(dir_.file("j/page-001.pbm")));
  EXPECT_FALSE(FileExists(dir_.file("j/page-002.pbm")));
  EXPECT_FALSE(FileExists(dir_.file("j/page-003.pbm")));
  EXPECT_TRUE(FileExists(dir_.file("j/page-004.pbm")));
}

TEST(Inspector, CommandLineAndInputErrors) {
  TempDir dir;
  RunResult run = Inspect({"--help"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_TRUE(Contains(run.out, "--out-dir DIR")) << run.out;
  run = Inspect({"--bogus"});
  EXPECT_EQ(run.exitStatus, 2);
  run = Inspect({dir.file("a"), dir.file("b")});
  EXPECT_EQ(run.exitStatus, 2);
  run = Inspect({"--out-dir"});
  EXPECT_EQ(run.exitStatus, 2);
  run = Inspect({dir.file("missing.bin")});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_TRUE(Contains(run.err, "missing.bin")) << run.err;

  // An output directory that cannot be made: the stream is still checked.
  Bytes bytes = JobHeader("");
  AppendRecord(&bytes, 1, 1, 1, Bytes(40, 0));
  WriteBytes(dir.file("s.bin"), bytes);
  WriteFileText(dir.file("file"), "x");
  run = Inspect({"--out-dir", dir.file("file/sub"), dir.file("s.bin")});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_TRUE(Contains(run.err, "file/sub")) << run.err;
  EXPECT_TRUE(Contains(run.out, "Page records: 1"));
}

}  // namespace
