// The largest page a job may send: the limits of a sheet, the sheet and resolution the
// filter takes from its PPD, and the turn that refuses a page too large to hold.
// QUENMARK_USES_FIXED_PATHS: the print settings read the credentials file /tmp/auth/auth_config.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "PageLimits.h"
#include "PbmFile.h"
#include "JobOptions.h"
#include "PpdSettings.h"
#include "TestSupport.h"

namespace {

TEST(PageLimits, TenPercentOverTheLongEdgeAndTwentyOverThePixelCount) {
  // Legal at 1200 dpi: 10200 x 16800 pixels.
  const PageLimits legal = PageLimitsForSheet(612, 1008, 1200);
  EXPECT_EQ(legal.maxEdgePixels, 18480u);
  EXPECT_EQ(legal.maxPixels, 205632000u);
  // The same sheet on its side has the same limits.
  const PageLimits turned = PageLimitsForSheet(1008, 612, 1200);
  EXPECT_EQ(turned.maxEdgePixels, legal.maxEdgePixels);
  EXPECT_EQ(turned.maxPixels, legal.maxPixels);

  // Edges are rounded up to whole pixels: A4 at 600 dpi is 4959 x 7017, whose long edge
  // plus 10 % is 7718.7 and its count plus 20 % 41756763.6.
  const PageLimits a4 = PageLimitsForSheet(595, 842, 600);
  EXPECT_EQ(a4.maxEdgePixels, 7718u);
  EXPECT_EQ(a4.maxPixels, 41756763u);
}

TEST(PageLimits, PagesUpToTheLimitsAreTakenAndNoLarger) {
  const PageLimits legal = PageLimitsForSheet(612, 1008, 1200);
  EXPECT_TRUE(PageWithinLimits(legal, 10200, 16800));
  EXPECT_TRUE(PageWithinLimits(legal, 16800, 10200));
  EXPECT_TRUE(PageWithinLimits(legal, 18480, 1));
  EXPECT_TRUE(PageWithinLimits(legal, 1, 18480));
  EXPECT_FALSE(PageWithinLimits(legal, 18481, 1));
  EXPECT_FALSE(PageWithinLimits(legal, 1, 18481));
  // 12240 x 16800 is exactly 205632000 pixels.
  EXPECT_TRUE(PageWithinLimits(legal, 12240, 16800));
  EXPECT_FALSE(PageWithinLimits(legal, 12241, 16800));
  EXPECT_FALSE(PageWithinLimits(legal, 2147483640, 1));
  EXPECT_FALSE(PageWithinLimits(legal, UINT32_MAX, UINT32_MAX));
}

TEST(PageLimits, NoSheetTakesNoPage) {
  for (const PageLimits &none : {PageLimits(), PageLimitsForSheet(0, 842, 600),
                                 PageLimitsForSheet(595, -1, 600), PageLimitsForSheet(595, 842, 0)}) {
    EXPECT_FALSE(PageWithinLimits(none, 1, 1));
  }
}

TEST(PageLimits, TheLargerOfTwoTakesWhatEitherTakes) {
  // A long narrow sheet and a wide one: the longer edge of one, the larger count of the other.
  const PageLimits narrow = PageLimitsForSheet(100, 2000, 72);
  const PageLimits wide = PageLimitsForSheet(1000, 1000, 72);
  const PageLimits both = LargerPageLimits(narrow, wide);
  EXPECT_EQ(both.maxEdgePixels, 2200u);
  EXPECT_EQ(both.maxPixels, 1200000u);
  EXPECT_TRUE(PageWithinLimits(both, 100, 2000));
  EXPECT_TRUE(PageWithinLimits(both, 1000, 1000));
}

// The limits GetPrintSettings takes from a PPD.
class PpdPageLimits : public testing::Test {
 protected:
  PageLimits LimitsOf(const std::string &ppdPath) {
    setenv("PPD", ppdPath.c_str(), 1);
    PARAM_KEY_SPERATOR_VALUE table[JOB_PARAM_COUNT];
    memcpy(table, tblDefParam, sizeof table);
    PrintSettings settings;
    unsigned char collate = 0;
    testing::internal::CaptureStderr();
    JobOptions none = ParseJobOptions("");
    const int result = GetPrintSettings(none, "1", table, &settings, &collate, StderrLog());
    ReleaseJobOptions(&none);
    const std::string log = testing::internal::GetCapturedStderr();
    unsetenv("PPD");
    EXPECT_EQ(result, 0) << log;
    return settings.pageLimits;
  }

  // The test PPD with one piece of its text replaced.
  std::string EditedPpd(const std::string &from, const std::string &to,
                        const std::map<std::string, std::string> &defaults = {}) {
    const std::string path = WriteTestPpd(dir_.path(), defaults);
    std::string text = ReadFileText(path);
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    WriteFileText(path, text);
    return path;
  }

  static void ExpectLimits(const PageLimits &limits, uint32_t edge, uint64_t pixels) {
    EXPECT_EQ(limits.maxEdgePixels, edge);
    EXPECT_EQ(limits.maxPixels, pixels);
  }

  TempDir dir_;
};

TEST_F(PpdPageLimits, TheShippedPpdGivesLegalAt1200Dpi) {
  ExpectLimits(LimitsOf(QUENMARK_SHIPPED_PPD), 18480, 205632000);
}

TEST_F(PpdPageLimits, TheHighestResolutionCountsWhateverTheDefault) {
  // Legal at 600 dpi: 5100 x 8400 pixels.
  ExpectLimits(LimitsOf(EditedPpd("*Resolution 1200dpi: \"\"\n", "")), 9240, 51408000);
  ExpectLimits(LimitsOf(EditedPpd("*Resolution 1200dpi", "*Resolution 600x1200dpi")), 18480,
               205632000);
  // Without a Resolution option the default resolution counts (Legal at 300 dpi: 2550 x
  // 4200 pixels), and without that 1200 dpi.
  ExpectLimits(LimitsOf(EditedPpd("*OpenUI *Duplex", "*DefaultResolution: 300dpi\n*OpenUI *Duplex",
                                  {{"Resolution", ""}})),
               4620, 12852000);
  ExpectLimits(LimitsOf(WriteTestPpd(dir_.path(), {{"Resolution", ""}})), 18480, 205632000);
}

TEST_F(PpdPageLimits, TheLargestSheetCountsCustomSizesIncluded) {
  // Without page sizes the printer's own largest sheet stands in.
  ExpectLimits(LimitsOf(WriteTestPpd(dir_.path(), {{"PageSize", ""}})), 18480, 205632000);
  // A custom size up to 1000 x 2000 points: 16667 x 33334 pixels at 1200 dpi.
  const std::string custom = EditedPpd(
      "*CloseUI: *PageSize\n",
      "*CloseUI: *PageSize\n*VariablePaperSize: True\n*MaxMediaWidth: \"1000\"\n"
      "*MaxMediaHeight: \"2000\"\n*CustomPageSize True: \"pop pop pop setpagedevice\"\n"
      "*ParamCustomPageSize Width: 1 points 36 1000\n"
      "*ParamCustomPageSize Height: 2 points 36 2000\n");
  ExpectLimits(LimitsOf(custom), 36667, 666693333);
}

TEST(TurnLimits, APageTooLargeToTurnIsRefusedBeforeItIsHeld) {
  TempDir dir;
  const std::string out = dir.file("turned.pbm");
  // One row of 2147483640 pixels turns into 2 GiB of rows; nothing past the first byte of
  // the source is read before the refusal.
  const unsigned char row[1] = {0x80};
  testing::internal::CaptureStderr();
  errno = 0;
  const int result = WriteTurnedPbm(row, 2147483640, 1, -90, out.c_str(), StderrLog());
  const int error = errno;
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(log, "ERROR: rotatePbm: a 2147483640 x 1 page is too large to turn\n");
  EXPECT_FALSE(FileExists(out));
}

}  // namespace
