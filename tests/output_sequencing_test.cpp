// Copies, collation and two-sided pairs: every mode's record table, checked on the real
// stream with every page decoded and matched to its source page.
// QUENMARK_USES_FIXED_PATHS: the filter's work directory /tmp/quenmark.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"

namespace {

const std::string kWorkDir = "/tmp/quenmark";
constexpr int kBlank = 0;  // side of an expected record: a raster page number, or the blank back side

struct ExpectedRecord {
  int firstpage;
  int lastpage;
  int side;
};

struct SequenceCase {
  const char *name;
  bool collated;
  const char *duplex;  // the PPD's default Duplex choice
  int pages;
  const char *copies;
  std::vector<ExpectedRecord> records;
  int cancelAtSide = 0;
};

class OutputSequencingTest : public testing::TestWithParam<SequenceCase> {
 protected:
  void SetUp() override { workDirExisted_ = FileExists(kWorkDir); }
  void TearDown() override {
    std::error_code ignored;
    if (!workDirExisted_) std::filesystem::remove_all(kWorkDir, ignored);
  }
  TempDir dir_;
  bool workDirExisted_ = false;
};

TEST_P(OutputSequencingTest, RecordsComeOutAsTheModeDemands) {
  const SequenceCase &c = GetParam();
  const std::string raster = dir_.file("job.ras");
  // Different sizes per page, so a side sent in the wrong place cannot match.
  ASSERT_TRUE(MakeRaster(raster, {"--pages", std::to_string(c.pages), "--size", "A6,B6,A6,B6,A6",
                                  "--resolution", "300", "--pbm", dir_.file("src")}));
  std::vector<PageBitmap> sources;
  for (int page = 1; page <= c.pages; ++page) {
    sources.push_back(LoadPbm(dir_.file("src-" + std::to_string(page) + ".pbm")));
  }

  FilterJobRequest request;
  request.rasterPath = raster;
  request.ppdPath = WriteTestPpd(dir_.path(), {{"Duplex", c.duplex}});
  request.copies = c.copies;
  request.options = c.collated ? "Collate=True" : "";
  if (c.cancelAtSide != 0) {
    WriteEncoderStandIn(dir_.path(), c.cancelAtSide);
    request.pathPrefix = dir_.path();
  }
  FilterJobOutcome job = RunFilterJob(request);
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  ASSERT_TRUE(job.parsed) << job.streamError;
  ASSERT_EQ(job.stream.records.size(), c.records.size()) << job.run.err;

  for (size_t i = 0; i < c.records.size(); ++i) {
    const ExpectedRecord &expected = c.records[i];
    const StreamRecord &record = job.stream.records[i];
    SCOPED_TRACE("record " + std::to_string(i + 1));
    EXPECT_EQ(record.firstpage, expected.firstpage);
    EXPECT_EQ(record.lastpage, expected.lastpage);
    EXPECT_EQ(record.pageno, static_cast<int>(i + 1));
    if (expected.side == kBlank) {
      // The blank back side takes the first page's size, rounded up to whole bytes.
      EXPECT_TRUE(IsAllWhite(job.pages[i]));
      EXPECT_EQ(job.pages[i].width, (sources[0].width + 7) / 8 * 8);
      EXPECT_EQ(job.pages[i].height, sources[0].height);
    } else {
      EXPECT_TRUE(SamePixels(job.pages[i], sources[expected.side - 1]));
    }
  }
}

// (firstpage, lastpage, side) per record; side 0 is the blank back side.
const SequenceCase kCases[] = {
    {"CollatedOneSided", true, "None", 3, "2", {{1, 0, 1}, {0, 0, 2}, {0, 1, 3}}},
    {"CollatedTwoSidedCopies2", true, "DuplexNoTumble", 3, "2",
     {{1, 0, 1}, {0, 0, 2}, {0, 0, 3}, {0, 0, kBlank}}},
    {"CollatedTwoSidedCopies1", true, "DuplexTumble", 3, "1",
     {{1, 0, 1}, {0, 0, 2}, {0, 0, 3}, {0, 1, kBlank}}},
    {"UncollatedOneSided", false, "None", 3, "2",
     {{1, 0, 1}, {1, 0, 1}, {0, 0, 2}, {0, 0, 2}, {0, 0, 3}, {0, 1, 3}}},
    {"UncollatedTwoSidedWorkedJob", false, "DuplexNoTumble", 3, "2",
     {{1, 0, 1}, {0, 0, 2}, {1, 0, 1}, {0, 0, 2}, {0, 0, 3}, {0, 0, kBlank}, {0, 0, 3},
      {0, 1, kBlank}}},
    {"UncollatedTwoSidedOnePage", false, "DuplexNoTumble", 1, "1", {{1, 0, 1}, {0, 1, kBlank}}},
    {"UncollatedTwoSidedFourPages", false, "DuplexTumble", 4, "2",
     {{1, 0, 1}, {0, 0, 2}, {1, 0, 1}, {0, 0, 2}, {0, 0, 3}, {0, 0, 4}, {0, 0, 3}, {0, 1, 4}}},
    {"UncollatedOneSidedOnePageThreeCopies", false, "None", 1, "3",
     {{1, 0, 1}, {1, 0, 1}, {1, 1, 1}}},
    {"CopiesNotANumberActsAsOne", false, "None", 2, "abc", {{1, 0, 1}, {0, 1, 2}}},
    {"CopiesZeroTwoSided", false, "DuplexNoTumble", 3, "0",
     {{1, 0, 1}, {0, 0, 2}, {0, 0, 3}, {0, 1, kBlank}}},
    {"CancelOnOddPageTwoSided", false, "DuplexNoTumble", 5, "2",
     {{1, 0, 1}, {0, 0, 2}, {1, 0, 1}, {0, 0, 2}, {0, 0, 3}, {0, 0, kBlank}, {0, 0, 3},
      {0, 1, kBlank}},
     3},
    {"CancelOnEvenPageTwoSided", false, "DuplexNoTumble", 5, "1",
     {{1, 0, 1}, {0, 1, 2}}, 2},
    {"CancelCollatedTwoSided", true, "DuplexTumble", 5, "1",
     {{1, 0, 1}, {0, 0, 2}, {0, 0, 3}, {0, 1, kBlank}}, 3},
    {"CancelUncollatedOneSided", false, "None", 4, "2",
     {{1, 0, 1}, {1, 0, 1}, {0, 0, 2}, {0, 1, 2}}, 2},
};

INSTANTIATE_TEST_SUITE_P(Modes, OutputSequencingTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<SequenceCase> &info) {
                           return std::string(info.param.name);
                         });

class BlankAndLargeSides : public OutputSequencingTest {};

TEST_F(BlankAndLargeSides, BlankBackSideFileIsAllWhiteAtTheFirstPageSize) {
  const std::string raster = dir_.file("job.ras");
  // The last page is larger than the first: the blank side still takes the first page's size.
  ASSERT_TRUE(MakeRaster(raster, {"--pages", "3", "--size", "A6,A5,A5", "--resolution", "300"}));
  ASSERT_TRUE(MakeRaster(dir_.file("odd.ras"), {"--width-px", "1001", "--height-px", "40"}));

  for (const auto &[path, width, height] :
       {std::tuple{raster, 0, 0}, std::tuple{dir_.file("odd.ras"), 1008, 40}}) {
    FilterJobRequest request;
    request.rasterPath = path;
    request.ppdPath = WriteTestPpd(dir_.path(), {{"Duplex", "DuplexNoTumble"}});
    request.options = "Collate";
    FilterJobOutcome job = RunFilterJob(request);
    ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
    ASSERT_TRUE(job.parsed) << job.streamError;

    const int blankSide = static_cast<int>(job.stream.records.size());
    const std::string blankFile = kWorkDir + "/345_" + std::to_string(blankSide) + "_gs.pbm";
    const std::string content = ReadFileText(blankFile);
    const PageBitmap blank = LoadPbm(blankFile);
    const PageBitmap first = LoadPbm(kWorkDir + "/345_1_gs.pbm");
    const int expectedWidth = width != 0 ? width : (first.width + 7) / 8 * 8;
    const int expectedHeight = height != 0 ? height : first.height;
    const std::string header =
        "P4\n" + std::to_string(expectedWidth) + " " + std::to_string(expectedHeight) + "\n";
    ASSERT_EQ(content.substr(0, header.size()), header);
    EXPECT_EQ(content.size(), header.size() + static_cast<size_t>(expectedWidth / 8 * expectedHeight));
    EXPECT_EQ(content.find_first_not_of('\0', header.size()), std::string::npos);
    EXPECT_TRUE(IsAllWhite(blank));
    EXPECT_NE(job.run.err.find("DEBUG: extra file " + blankFile +
                               " not exists, ignore, create a empty pbm file, cupsheight " +
                               std::to_string(expectedHeight) + ", width " +
                               std::to_string(expectedWidth) + " bytesperline " +
                               std::to_string(expectedWidth / 8) + "\n"),
              std::string::npos)
        << job.run.err;
  }
}

TEST_F(BlankAndLargeSides, SideLargerThanTheHoldingBufferStillPrints) {
  // Random pixels compress badly: an A4 page at 600 dpi gives well over 4 MiB of JBIG data.
  const std::string raster = dir_.file("job.ras");
  ASSERT_TRUE(MakeRaster(raster, {"--pages", "2", "--content", "random", "--pbm", dir_.file("src")}));
  FilterJobRequest request;
  request.rasterPath = raster;
  request.ppdPath = WriteTestPpd(dir_.path(), {{"Duplex", "DuplexNoTumble"}});
  request.copies = "2";
  FilterJobOutcome job = RunFilterJob(request);
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  ASSERT_TRUE(job.parsed) << job.streamError;
  ASSERT_EQ(job.stream.records.size(), 4u);
  EXPECT_GT(job.stream.records[0].jbg_size, 4194304u);
  const PageBitmap sources[] = {LoadPbm(dir_.file("src-1.pbm")), LoadPbm(dir_.file("src-2.pbm"))};
  for (size_t i = 0; i < 4; ++i) EXPECT_TRUE(SamePixels(job.pages[i], sources[i % 2])) << i;
}

TEST_F(BlankAndLargeSides, PageAccountingCountsRasterPagesNotBlankSides) {
  const std::string raster = dir_.file("job.ras");
  ASSERT_TRUE(MakeRaster(raster, {"--pages", "3", "--size", "A6", "--resolution", "300"}));
  FilterJobRequest request;
  request.rasterPath = raster;
  request.ppdPath = WriteTestPpd(dir_.path(), {{"Duplex", "DuplexNoTumble"}});
  request.copies = "2";
  FilterJobOutcome job = RunFilterJob(request);
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  std::vector<std::string> pageLines;
  for (const auto &line : SplitLines(job.run.err)) {
    if (line.rfind("PAGE: ", 0) == 0) pageLines.push_back(line);
  }
  EXPECT_EQ(pageLines, (std::vector<std::string>{"PAGE: 1 2", "PAGE: 2 2", "PAGE: 3 2"}));
}

}  // namespace
