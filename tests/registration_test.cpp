// Every page lands on the sheet where the document puts it: the registration sheet
// printed through CUPS's own chain (cupsfilter with the shipped PPD: the PostScript
// interpreter, pdftopdf, the rasterizer, then our filter and the real encoder), and
// every side the printer would receive measured against the sheet's geometry.
// QUENMARK_USES_FIXED_PATHS: the filter's work directory /tmp/quenmark.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "RegistrationSheet.h"
#include "TestSupport.h"

namespace {

const std::string kWorkDir = "/tmp/quenmark";
const std::string kLockFile = "/tmp/quenmark.lock";

std::string Cupsfilter() {
  return access("/usr/sbin/cupsfilter", X_OK) == 0 ? "/usr/sbin/cupsfilter" : "cupsfilter";
}

bool Black(const PageBitmap &page, int x, int y) {
  return (page.bits[y * PageBitmapStride(page.width) + x / 8] & (0x80 >> (x % 8))) != 0;
}

// A page of width x height whose pixel (x, y) is the source's pixel sourceOf(x, y).
template <typename SourceOf>
PageBitmap Remapped(const PageBitmap &source, int width, int height, SourceOf sourceOf) {
  PageBitmap page;
  page.width = width;
  page.height = height;
  const uint64_t stride = PageBitmapStride(width);
  page.bits.assign(stride * height, 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto [sx, sy] = sourceOf(x, y);
      if (Black(source, sx, sy)) page.bits[y * stride + x / 8] |= 0x80 >> (x % 8);
    }
  }
  return page;
}

class RegistrationTest : public testing::Test {
 protected:
  void SetUp() override {
    workDirExisted_ = FileExists(kWorkDir);
    lockExisted_ = FileExists(kLockFile);
    // cupsfilter takes its filters from the ServerBin that a cups-files.conf names.
    const RunResult made =
        RunProgram({"bash", std::string(QUENMARK_SOURCE_DIR) + "/scripts/private-serverbin.sh",
                    dir_.file("bin"), FilterForTheChain()});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    WriteFileText(dir_.file("cups-files.conf"), "ServerBin " + dir_.file("bin") + "\n");
  }
  void TearDown() override {
    std::error_code ignored;
    if (!workDirExisted_) std::filesystem::remove_all(kWorkDir, ignored);
    if (!lockExisted_) std::filesystem::remove(kLockFile, ignored);
  }

  // cupsfilter hands its filters a fixed environment without the sanitizers' settings.
  // A sanitized filter gets them from a wrapper of the filter's name; full unwinding lets
  // the leak suppressions see the libcups callers that cupsMarkOptions leaks through.
  std::string FilterForTheChain() {
    std::string exports;
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      const char *value = getenv(name);
      if (value == nullptr) continue;
      const std::string extra = strcmp(name, "LSAN_OPTIONS") == 0 ? ":fast_unwind_on_malloc=0" : "";
      exports += std::string("export ") + name + "='" + value + extra + "'\n";
    }
    if (exports.empty()) return QUENMARK_FILTER_PATH;
    std::filesystem::create_directories(dir_.file("wrapper"));
    const std::string wrapper = dir_.file("wrapper/tavrel_quenbrisk");
    WriteFileText(wrapper, "#!/bin/sh\n" + exports + "exec '" QUENMARK_FILTER_PATH "' \"$@\"\n");
    chmod(wrapper.c_str(), 0755);
    return wrapper;
  }

  // Prints a registration document of `pages` pages with the given job options.
  FilterJobOutcome Print(int pages, const std::vector<std::string> &options) {
    const std::string document = dir_.file("registration.ps");
    WriteFileText(document, RegistrationDocument(pages));
    std::vector<std::string> argv{Cupsfilter(), "-c", dir_.file("cups-files.conf"), "-p",
                                  QUENMARK_SHIPPED_PPD, "-e", "-m", "printer/quenmark", "-t",
                                  "registration.ps"};
    for (const std::string &option : options) argv.insert(argv.end(), {"-o", option});
    argv.push_back(document);
    FilterJobOutcome job = ParseFilterOutcome(RunProgram(argv));
    EXPECT_EQ(job.run.exitStatus, 0) << job.run.err;
    EXPECT_TRUE(job.parsed) << job.streamError;
    return job;
  }

  // The side is the registration page on the whole sheet; the measures go to the log.
  static void ExpectRegistered(const PageBitmap &side, const SheetSize &sheet, int dpi,
                               SideTurn turn = SideTurn::kNone) {
    const SideMeasure measure = MeasureRegistrationSide(side, sheet, dpi, turn);
    printf("registration: %s%s\n", DescribeSideMeasure(sheet, dpi, measure).c_str(),
           turn == SideTurn::kNone ? "" : ", turned by -90 degrees");
    for (const std::string &fault : measure.faults) ADD_FAILURE() << fault;
  }

  TempDir dir_;
  bool workDirExisted_ = false;
  bool lockExisted_ = false;
};

TEST_F(RegistrationTest, EverySizeFillsTheSheetAt600Dpi) {
  for (const SheetSize &sheet : PrinterSheetSizes()) {
    SCOPED_TRACE(sheet.name);
    const FilterJobOutcome job = Print(1, {std::string("PageSize=") + sheet.name});
    ASSERT_EQ(job.pages.size(), 1u);
    ExpectRegistered(job.pages[0], sheet, 600);
  }
}

TEST_F(RegistrationTest, A4LetterAndA5FillTheSheetAt1200Dpi) {
  for (const char *name : {"A4", "Letter", "A5"}) {
    SCOPED_TRACE(name);
    const FilterJobOutcome job =
        Print(1, {std::string("PageSize=") + name, "Resolution=1200dpi"});
    ASSERT_EQ(job.pages.size(), 1u);
    ExpectRegistered(job.pages[0], *FindSheetSize(name), 1200);
  }
}

// The filter turns A5 pages fed long edge first by -90 degrees: the side is the A5 sheet
// lying on its long edge, the page's top-left corner at the bottom left.
TEST_F(RegistrationTest, A5FedLongEdgeFirstIsTheSheetTurnedCounterClockwise) {
  const FilterJobOutcome job = Print(2, {"media=A5", "FeedEdge=1"});
  std::string feedEdge;
  EXPECT_TRUE(FindJobParam(job.stream.jobParams, "FeedEdge", &feedEdge));
  EXPECT_EQ(feedEdge, "1");
  ASSERT_EQ(job.pages.size(), 2u);
  for (const PageBitmap &side : job.pages) {
    ExpectRegistered(side, *FindSheetSize("A5"), 600, SideTurn::kQuarterCounterClockwise);
  }
}

// Three pages two-sided: the back of the second sheet is blank, as large as the fronts
// (whose width the filter rounds up to whole bytes) and so the whole sheet.
TEST_F(RegistrationTest, BlankBackOfAnOddTwoSidedJobIsTheWholeSheet) {
  const FilterJobOutcome job = Print(3, {"media=A4", "sides=two-sided-long-edge"});
  ASSERT_EQ(job.pages.size(), 4u);
  const SheetSize &a4 = *FindSheetSize("A4");
  for (int side = 0; side < 3; ++side) {
    SCOPED_TRACE("side " + std::to_string(side + 1));
    ExpectRegistered(job.pages[side], a4, 600);
  }
  const PageBitmap &blank = job.pages[3];
  EXPECT_TRUE(IsAllWhite(blank));
  EXPECT_EQ(blank.width, static_cast<int>(PageBitmapStride(SheetPixels(a4.widthPt, 600)) * 8));
  EXPECT_EQ(blank.height, SheetPixels(a4.heightPt, 600));
  printf("registration: A4 600 dpi blank back: expected %dx%d, delivered %dx%d\n",
         static_cast<int>(PageBitmapStride(SheetPixels(a4.widthPt, 600)) * 8),
         SheetPixels(a4.heightPt, 600), blank.width, blank.height);
}

// The measures see what this issue is about: a side rendered inside margins (smaller and
// shifted up and to the left), a mirror, a turn the wrong way or none.
TEST_F(RegistrationTest, MeasuresSeeMarginsMirrorsAndWrongTurns) {
  const FilterJobOutcome job = Print(1, {"PageSize=A5"});
  ASSERT_EQ(job.pages.size(), 1u);
  const PageBitmap &side = job.pages[0];
  const SheetSize &a5 = *FindSheetSize("A5");
  EXPECT_TRUE(MeasureRegistrationSide(side, a5, 600, SideTurn::kNone).faults.empty());

  // 12 points of margin at 600 dpi: 100 pixels at every edge.
  const PageBitmap inset = Remapped(side, side.width - 200, side.height - 200,
                                    [](int x, int y) { return std::pair{x + 100, y + 100}; });
  const SideMeasure shifted = MeasureRegistrationSide(inset, a5, 600, SideTurn::kNone);
  EXPECT_GE(shifted.faults.size(), 10u);
  EXPECT_GT(shifted.largestOffset, 99);

  // Mirrored left to right, the bar lies in the top-right corner.
  const PageBitmap leftRight = Remapped(side, side.width, side.height, [&](int x, int y) {
    return std::pair{side.width - 1 - x, y};
  });
  const SideMeasure mirror = MeasureRegistrationSide(leftRight, a5, 600, SideTurn::kNone);
  ASSERT_EQ(mirror.faults.size(), 1u);
  EXPECT_NE(mirror.faults[0].find("top-left bar: no ink"), std::string::npos) << mirror.faults[0];

  // The library's own -90 turn is what the measures expect of a turned side; +90 and no
  // turn at all are not.
  EXPECT_TRUE(MeasureRegistrationSide(TurnedPage(side, -90), a5, 600,
                                      SideTurn::kQuarterCounterClockwise)
                  .faults.empty());
  EXPECT_FALSE(MeasureRegistrationSide(TurnedPage(side, 90), a5, 600,
                                       SideTurn::kQuarterCounterClockwise)
                   .faults.empty());
  EXPECT_FALSE(
      MeasureRegistrationSide(side, a5, 600, SideTurn::kQuarterCounterClockwise).faults.empty());
}

}  // namespace
