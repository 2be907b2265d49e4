// Faults a job meets for real, each made to happen: encoders that fail in the middle of a
// page, a cancel that kills the encoder with the filter, /tmp filling up under every kind
// of work file, a page no sheet of the printer can hold, closed standard descriptors and a
// careless umask. Each run is checked for its exit status, its ERROR line, and every record
// that reached the printer stream, decoded and matched to the page it claims to be.
// QUENMARK_USES_FIXED_PATHS: the work directory /tmp/quenmark and its lock file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

const std::string kWorkDir = "/tmp/quenmark";
const std::string kLockFile = "/tmp/quenmark.lock";
constexpr int kBlankSide = 0;  // in a list of expected sides: the blank back side

struct Source {
  std::string raster;
  std::vector<PageBitmap> pages;
};

class PageFaultsTest : public testing::Test {
 protected:
  // The fixed paths are cleared for each test and left cleared: the next run of the
  // filter makes them anew.
  void SetUp() override { ClearFixedPaths(); }
  void TearDown() override { ClearFixedPaths(); }

  static void ClearFixedPaths() { ClearFilterFixedPaths(); }

  // A raster of pages pages with the raster maker's options, and its pages as PBM.
  Source MakeSource(int pages, std::vector<std::string> options = {}) {
    Source source;
    source.raster = dir_.file("job" + std::to_string(++rasters_) + ".ras");
    const std::string prefix = dir_.file("src" + std::to_string(rasters_));
    options.insert(options.end(), {"--pages", std::to_string(pages), "--pbm", prefix});
    EXPECT_TRUE(MakeRaster(source.raster, options));
    for (int page = 1; page <= pages; ++page) {
      source.pages.push_back(LoadPbm(prefix + "-" + std::to_string(page) + ".pbm"));
    }
    return source;
  }

  FilterJobRequest Request(const Source &source,
                           const std::map<std::string, std::string> &ppdDefaults = {}) {
    FilterJobRequest request;
    request.rasterPath = source.raster;
    request.ppdPath = WriteTestPpd(dir_.path(), ppdDefaults);
    return request;
  }

  TempDir dir_;
  int rasters_ = 0;
};

// The stream is whole (it ends at a record boundary, the sequence is sound) and its
// records carry, in this order, the given sides: raster page numbers, or kBlankSide.
void ExpectRecords(const FilterJobOutcome &job, const Source &source,
                   const std::vector<int> &sides, int turn = 0) {
  ASSERT_TRUE(job.parsed) << job.streamError;
  ASSERT_EQ(job.stream.records.size(), sides.size()) << job.run.err;
  for (size_t i = 0; i < sides.size(); ++i) {
    if (sides[i] == kBlankSide) {
      EXPECT_TRUE(IsAllWhite(job.pages[i])) << "record " << i + 1;
      continue;
    }
    const PageBitmap &page = source.pages[static_cast<size_t>(sides[i] - 1)];
    EXPECT_TRUE(SamePixels(job.pages[i], turn != 0 ? TurnedPage(page, turn) : page))
        << "record " << i + 1 << " should be page " << sides[i];
  }
}

bool Logged(const FilterJobOutcome &job, const std::string &text) {
  return job.run.err.find(text) != std::string::npos;
}

// The scheduler's page accounting must not count a page that was not sent.
bool AccountedPage(const FilterJobOutcome &job, int page) {
  const std::string prefix = "PAGE: " + std::to_string(page) + " ";
  for (const std::string &line : SplitLines(job.run.err)) {
    if (line.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Encoders that fail: the failed side is never sent, whatever file the encoder left.

struct EncoderFaultCase {
  const char *name;
  EncoderFault fault;
  const char *cause;  // in the ERROR line
};

void PrintTo(const EncoderFaultCase &c, std::ostream *os) { *os << c.name; }

class EncoderFaults : public PageFaultsTest,
                      public testing::WithParamInterface<EncoderFaultCase> {};

TEST_P(EncoderFaults, TheFailedPageIsNotSentAndTheJobFails) {
  const EncoderFaultCase &c = GetParam();
  // Two uncollated copies: both copies of page 1 go out before page 2 fails.
  const Source source = MakeSource(3, {"--size", "A6"});
  FilterJobRequest request = Request(source);
  request.copies = "2";
  request.pathPrefix = dir_.path();
  WriteEncoderStandIn(dir_.path(), 2, c.fault);
  const FilterJobOutcome job = RunFilterJob(request);

  EXPECT_EQ(job.run.exitStatus, 255) << job.run.err;
  EXPECT_TRUE(Logged(job, "ERROR: Unable to encode /tmp/quenmark/345_2_gs.pbm: " +
                              std::string(c.cause) + " (page 2)\n"))
      << job.run.err;
  ExpectRecords(job, source, {1, 1});
  EXPECT_TRUE(AccountedPage(job, 1));
  EXPECT_FALSE(AccountedPage(job, 2));
  EXPECT_FALSE(Logged(job, "INFO: Printing page 3"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EncoderFaults,
    testing::Values(
        EncoderFaultCase{"HalfOutputThenExit1", EncoderFault::HalfOutputExit1,
                         "the encoder exited with status 1"},
        EncoderFaultCase{"HalfOutputThenSigkill", EncoderFault::HalfOutputSigkill,
                         "the encoder exited with status 137: killed by signal 9 (Killed)"},
        EncoderFaultCase{"StaleFileThenExit2", EncoderFault::StaleFileExit2,
                         "the encoder exited with status 2"}),
    [](const testing::TestParamInfo<EncoderFaultCase> &info) { return std::string(info.param.name); });

TEST_F(PageFaultsTest, FailedSidesOfTwoSidedJobsAreNotSent) {
  struct Case {
    const char *name;
    int pages;
    const char *options;
    int failingSide;
    const char *line;
    std::vector<int> sides;
  };
  const Case cases[] = {
      // The pair of pages 1 and 2 is whole; page 3 fails, and no blank back follows it.
      {"uncollated, odd page", 3, "", 3,
       "ERROR: Unable to encode /tmp/quenmark/345_3_gs.pbm: the encoder exited with status 1 "
       "(page 3)\n",
       {1, 2}},
      // The front was held for its back, which fails: the sheet is not sent at all.
      {"uncollated, blank back", 1, "", 2,
       "ERROR: Unable to encode /tmp/quenmark/345_2_gs.pbm: the encoder exited with status 1 "
       "(extra page 2)\n",
       {}},
      // Collated sides go out at once: the front is sent, the blank back fails.
      {"collated, blank back", 1, "Collate", 2,
       "ERROR: Unable to encode /tmp/quenmark/345_2_gs.pbm: the encoder exited with status 1 "
       "(extra page 2)\n",
       {1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ClearFixedPaths();
    const Source source = MakeSource(c.pages, {"--size", "A6,B6"});
    FilterJobRequest request = Request(source, {{"Duplex", "DuplexNoTumble"}});
    request.options = c.options;
    request.pathPrefix = dir_.path();
    WriteEncoderStandIn(dir_.path(), c.failingSide, EncoderFault::HalfOutputExit1);
    const FilterJobOutcome job = RunFilterJob(request);
    EXPECT_EQ(job.run.exitStatus, 255) << job.run.err;
    EXPECT_TRUE(Logged(job, c.line)) << job.run.err;
    ExpectRecords(job, source, c.sides);
    EXPECT_FALSE(AccountedPage(job, c.failingSide));
  }
}

// ---------------------------------------------------------------------------------------
// The scheduler cancels a job by sending SIGTERM to the filter's whole process group: the
// encoder dies in the middle of its page. The job ends as cancelled, without that page.

TEST_F(PageFaultsTest, CancelThatKillsTheEncoderEndsTheJobWithoutItsPage) {
  struct Case {
    const char *name;
    int pages;
    const char *duplex;
    const char *options;
    int cancelledSide;
    std::vector<int> sides;
    const char *line;
  };
  const Case cases[] = {
      {"one-sided", 3, "None", "", 2, {1},
       "DEBUG: cancel job, page 2 was not encoded (the encoder was killed by signal 15 "
       "(Terminated)) and is not sent\n"},
      // The front of the cancelled sheet is held and dropped with it.
      {"two-sided, back of a sheet", 4, "DuplexNoTumble", "", 4, {1, 2},
       "DEBUG: cancel job, page 4 was not encoded"},
      {"two-sided, blank back", 1, "DuplexNoTumble", "Collate", 2, {1},
       "DEBUG: cancel job, extra page 2 was not encoded"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ClearFixedPaths();
    const Source source = MakeSource(c.pages, {"--size", "A6,B6"});
    FilterJobRequest request = Request(source, {{"Duplex", c.duplex}});
    request.options = c.options;
    request.pathPrefix = dir_.path();
    request.ownProcessGroup = true;
    WriteEncoderStandIn(dir_.path(), c.cancelledSide, EncoderFault::CancelProcessGroup);
    const FilterJobOutcome job = RunFilterJob(request);
    EXPECT_EQ(job.run.exitStatus, 0) << job.run.err;
    EXPECT_TRUE(Logged(job, "DEBUG: \xe6\x8d\x95\xe8\x8e\xb7SIGTERM\xe4\xbf\xa1\xe5\x8f\xb7,"
                            "\xe7\xbb\x88\xe6\xad\xa2\xe4\xb8\xad\n"))
        << job.run.err;
    EXPECT_TRUE(Logged(job, c.line)) << job.run.err;
    EXPECT_FALSE(Logged(job, "ERROR: ")) << job.run.err;
    ExpectRecords(job, source, c.sides);
    for (const StreamRecord &record : job.stream.records) EXPECT_EQ(record.lastpage, 0);
    EXPECT_FALSE(AccountedPage(job, c.cancelledSide));
  }
}

// ---------------------------------------------------------------------------------------
// /tmp full: the filter runs in a mount namespace of its own whose /tmp is a tmpfs just too
// small for one work file. The raster comes in on standard input, opened before the mount;
// the shipped PPD lives outside /tmp.

bool CanMountPrivateTmp() {
  static const bool can = [] {
    const RunResult probe = RunProgram(
        {"unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=64k tmpfs /tmp && echo mounted"});
    return probe.exitStatus == 0 && probe.out == "mounted\n";
  }();
  return can;
}

uint64_t TmpfsBytes(uint64_t size) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

struct FullTmpCase {
  const char *name;
  std::string options;
  const char *content;  // the raster maker's content
  int pages;
  std::vector<std::string> fitting;  // files written before the one that fails, in the work directory
  std::string failing;
  std::string line;  // the ERROR line
  std::vector<int> sides;
  int turn;
};

void PrintTo(const FullTmpCase &c, std::ostream *os) { *os << c.name; }

class FullTmp : public PageFaultsTest, public testing::WithParamInterface<FullTmpCase> {};

TEST_P(FullTmp, TheFileThatDoesNotFitEndsTheJob) {
  if (geteuid() != 0 || !CanMountPrivateTmp()) {
    GTEST_SKIP() << "mounting a private /tmp needs root and unshare -m, which this machine "
                    "does not allow";
  }
  if (std::string(QUENMARK_FILTER_PATH).rfind("/tmp/", 0) == 0) {
    GTEST_SKIP() << "the build tree is under /tmp, which the private /tmp would hide";
  }
  const FullTmpCase &c = GetParam();
  // Text compresses to a few hundred bytes of JBIG data, random pixels to more than their
  // page file.
  const Source source =
      MakeSource(c.pages, {"--width-px", "1200", "--height-px", "1600", "--content", c.content});
  FilterJobRequest request = Request(source);
  request.ppdPath = QUENMARK_SHIPPED_PPD;
  request.options = c.options;

  // A first run with room enough gives the size of every work file.
  const FilterJobOutcome roomy = RunFilterJob(request);
  ASSERT_EQ(roomy.run.exitStatus, 0) << roomy.run.err;
  uint64_t budget = 0;
  for (const std::string &name : c.fitting) budget += TmpfsBytes(fs::file_size(kWorkDir + "/" + name));
  const uint64_t failingSize = fs::file_size(kWorkDir + "/" + c.failing);
  ASSERT_GT(failingSize, 2 * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)));
  budget += TmpfsBytes(failingSize / 2);

  request.launcher = {"unshare", "-m", "sh", "-c",
                      "mount -t tmpfs -o size=" + std::to_string(budget) + ",mode=1777 tmpfs /tmp "
                      "&& exec \"$@\"",
                      "sh"};
  const FilterJobOutcome job = RunFilterJob(request);
  EXPECT_EQ(job.run.exitStatus, 255) << job.run.err;
  EXPECT_TRUE(Logged(job, c.line)) << job.run.err;
  ExpectRecords(job, source, c.sides, c.turn);
}

INSTANTIATE_TEST_SUITE_P(
    WorkFiles, FullTmp,
    testing::Values(
        FullTmpCase{"PageFile", "", "text", 2, {"345_1_gs.pbm", "345-1.jbg"}, "345_2_gs.pbm",
                    "ERROR: Unable to write page file /tmp/quenmark/345_2_gs.pbm: No space left "
                    "on device (page 2)\n",
                    {1}, 0},
        // The encoder cannot write its file: the line names the page file it was given.
        FullTmpCase{"JbigFile", "", "random", 2, {"345_1_gs.pbm", "345-1.jbg", "345_2_gs.pbm"},
                    "345-2.jbg",
                    "ERROR: Unable to encode /tmp/quenmark/345_2_gs.pbm: the encoder exited with "
                    "status 1 (page 2)\n",
                    {1}, 0},
        FullTmpCase{"TurnedPage", "PageSize=A5 FeedEdge=1", "text", 2,
                    {"345_1_gs.pbm", "345_1_gs_rotated.pbm", "345-1.jbg", "345_2_gs.pbm"},
                    "345_2_gs_rotated.pbm",
                    "ERROR: Unable to write turned page file /tmp/quenmark/345_2_gs_rotated.pbm: "
                    "No space left on device (page 2)\n",
                    {1}, -90},
        // Collated two-sided: page 1 goes out at once, its blank back cannot be made.
        FullTmpCase{"BlankBackSide", "Duplex=DuplexNoTumble Collate", "text", 1,
                    {"345_1_gs.pbm", "345-1.jbg"}, "345_2_gs.pbm",
                    "ERROR: Unable to write page file /tmp/quenmark/345_2_gs.pbm: No space left "
                    "on device (extra page 2)\n",
                    {1}, 0}),
    [](const testing::TestParamInfo<FullTmpCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Pages larger than the printer's largest sheet (Legal, 1200 dpi at the most) are refused
// before anything of them is written.

TEST_F(PageFaultsTest, PageBeyondTheLargestSheetIsRefusedBeforeItIsWritten) {
  struct Case {
    const char *name;
    const char *width;
    const char *height;
    const char *line;
  };
  const Case cases[] = {
      // One row of 2147483640 pixels: its turn would be 2 GiB of page file.
      {"one long row", "2147483640", "1",
       "ERROR: Page 1 is 2147483640x1 pixels, larger than the printer's largest sheet allows "
       "(18480 pixels on an edge, 205632000 in all)\n"},
      {"an edge too long", "18481", "100", "ERROR: Page 1 is 18481x100 pixels"},
      {"too many pixels", "16000", "16000", "ERROR: Page 1 is 16000x16000 pixels"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ClearFixedPaths();
    const std::string raster = dir_.file("huge.ras");
    ASSERT_TRUE(MakeRaster(raster, {"--header-only", "--width-px", c.width, "--height-px",
                                    c.height}));
    FilterJobRequest request;
    request.rasterPath = raster;
    // A5 fed long edge first: a page the filter turns.
    request.ppdPath = WriteTestPpd(dir_.path(), {{"PageSize", "A5"}, {"FeedEdge", "1"}});
    const FilterJobOutcome job = RunFilterJob(request);
    EXPECT_EQ(job.run.exitStatus, 1);
    EXPECT_TRUE(Logged(job, c.line)) << job.run.err;
    EXPECT_TRUE(job.run.out.empty());
    EXPECT_TRUE(fs::is_empty(kWorkDir));
  }

  // A later page is refused the same way; the pages before it are whole. 9000 x 10
  // points at 600 dpi: 75000 x 83 pixels.
  ClearFixedPaths();
  const Source source = MakeSource(2, {"--size", "A6,9000x10"});
  const FilterJobOutcome job = RunFilterJob(Request(source));
  EXPECT_EQ(job.run.exitStatus, 1);
  EXPECT_TRUE(Logged(job, "ERROR: Page 2 is 75000x83 pixels, larger than the printer's largest "
                          "sheet allows"))
      << job.run.err;
  ExpectRecords(job, source, {1});
  EXPECT_FALSE(FileExists(kWorkDir + "/345_2_gs.pbm"));
}

// ---------------------------------------------------------------------------------------
// Closed standard descriptors: no file of the job may take their place.

TEST_F(PageFaultsTest, ClosedStandardOutputEndsTheJobBeforeAnyFileIsOpened) {
  const Source source = MakeSource(1, {"--size", "A6"});
  FilterJobRequest request = Request(source);
  request.options = "AuthPassword=s3cret";
  request.closedFds = {1};
  const FilterJobOutcome job = RunFilterJob(request);
  EXPECT_EQ(job.run.exitStatus, 1);
  EXPECT_TRUE(Logged(job, "ERROR: Standard output is closed: there is no printer stream to "
                          "write the job to\n"))
      << job.run.err;
  // The lock file would have taken descriptor 1 and received the stream, password and all.
  EXPECT_FALSE(FileExists(kLockFile));
  EXPECT_FALSE(FileExists(kWorkDir));
}

TEST_F(PageFaultsTest, ClosedStandardInputOrErrorIsNotTakenByAJobFile) {
  // A raster where the lock file will be opened: a filter that read its pages from the
  // lock file (descriptor 0 taken) would print it.
  const Source planted = MakeSource(1, {"--size", "A6"});
  fs::copy_file(planted.raster, kLockFile);
  FilterJobRequest request = Request(planted);
  request.closedFds = {0};
  FilterJobOutcome job = RunFilterJob(request);
  EXPECT_EQ(job.run.exitStatus, 0) << job.run.err;
  EXPECT_TRUE(Logged(job, "DEBUG: First page header is null \n")) << job.run.err;
  EXPECT_TRUE(job.run.out.empty());

  // Without standard error the log goes nowhere, and not into the lock file.
  ClearFixedPaths();
  const Source source = MakeSource(2, {"--size", "A6"});
  request = Request(source);
  request.closedFds = {2};
  job = RunFilterJob(request);
  EXPECT_EQ(job.run.exitStatus, 0);
  ExpectRecords(job, source, {1, 2});
  EXPECT_EQ(fs::file_size(kLockFile), 0u);
  EXPECT_TRUE(SamePixels(LoadPbm(kWorkDir + "/345_2_gs.pbm"), source.pages[1]));

  // Both closed, with standard output open between them.
  ClearFixedPaths();
  request.closedFds = {0, 2};
  job = RunFilterJob(request);
  EXPECT_EQ(job.run.exitStatus, 0);
  EXPECT_TRUE(job.run.out.empty());
  EXPECT_EQ(fs::file_size(kLockFile), 0u);
}

// ---------------------------------------------------------------------------------------
// Work files stay private whatever umask the caller left.

TEST_F(PageFaultsTest, EveryWorkFileIsPrivateUnderAnOpenUmask) {
  struct Case {
    const char *name;
    std::map<std::string, std::string> ppd;
    int pages;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"turned pages", {{"PageSize", "A5"}, {"FeedEdge", "1"}}, 2,
       {"345_1_gs.pbm", "345_1_gs_rotated.pbm", "345-1.jbg", "345_2_gs.pbm",
        "345_2_gs_rotated.pbm", "345-2.jbg"}},
      {"blank back side", {{"Duplex", "DuplexNoTumble"}}, 3,
       {"345_1_gs.pbm", "345-1.jbg", "345_2_gs.pbm", "345-2.jbg", "345_3_gs.pbm", "345-3.jbg",
        "345_4_gs.pbm", "345-4.jbg"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ClearFixedPaths();
    const Source source = MakeSource(c.pages, {"--size", "A6"});
    FilterJobRequest request = Request(source, c.ppd);
    request.umask = 0;
    const FilterJobOutcome job = RunFilterJob(request);
    ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
    ASSERT_TRUE(job.parsed) << job.streamError;
    size_t seen = 0;
    for (const auto &entry : fs::directory_iterator(kWorkDir)) {
      struct stat info = {};
      ASSERT_EQ(lstat(entry.path().c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0600u) << entry.path();
      ++seen;
    }
    EXPECT_EQ(seen, c.files.size());
    for (const std::string &name : c.files) EXPECT_TRUE(FileExists(kWorkDir + "/" + name)) << name;
    struct stat lock = {};
    ASSERT_EQ(lstat(kLockFile.c_str(), &lock), 0);
    EXPECT_EQ(lock.st_mode & 07777, 0600u);
  }
}

}  // namespace
