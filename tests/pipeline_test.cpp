// A whole job through the built filter: rasters made with libcups's writer, the printer
// stream parsed and every page decoded back and compared with its source.
// QUENMARK_USES_FIXED_PATHS: the filter's work directory /tmp/quenmark.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "TestSupport.h"

namespace {

const std::string kWorkDir = "/tmp/quenmark";

class PipelineTest : public testing::Test {
 protected:
  void SetUp() override { workDirExisted_ = FileExists(kWorkDir); }
  void TearDown() override {
    std::error_code ignored;
    if (!workDirExisted_) std::filesystem::remove_all(kWorkDir, ignored);
  }

  // A raster of n pages with the given maker options; source pages in sources_.
  std::string Raster(int pages, std::vector<std::string> options = {}) {
    const std::string path = dir_.file("job.ras");
    const bool pixels = std::find(options.begin(), options.end(), "--header-only") == options.end();
    options.insert(options.end(), {"--pages", std::to_string(pages)});
    if (pixels) options.insert(options.end(), {"--pbm", dir_.file("src")});
    EXPECT_TRUE(MakeRaster(path, options));
    sources_.clear();
    if (!pixels) return path;
    for (int page = 1; page <= pages; ++page) {
      sources_.push_back(LoadPbm(dir_.file("src-" + std::to_string(page) + ".pbm")));
    }
    return path;
  }

  FilterJobRequest Request(const std::string &raster) {
    FilterJobRequest request;
    request.rasterPath = raster;
    request.ppdPath = WriteTestPpd(dir_.path());
    return request;
  }

  TempDir dir_;
  std::vector<PageBitmap> sources_;
  bool workDirExisted_ = false;
};

TEST_F(PipelineTest, EmptyInputGivesEmptyStreamAndFreshWorkDirectory) {
  std::filesystem::create_directories(kWorkDir);
  WriteFileText(kWorkDir + "/stale.pbm", "left by an earlier job");
  const std::string empty = dir_.file("empty.ras");
  WriteFileText(empty, "");

  FilterJobOutcome job = RunFilterJob(Request(empty));
  EXPECT_EQ(job.run.exitStatus, 0);
  EXPECT_TRUE(job.run.out.empty());
  EXPECT_NE(job.run.err.find("DEBUG: First page header is null \n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(kWorkDir));
  EXPECT_TRUE(std::filesystem::is_empty(kWorkDir));
}

TEST_F(PipelineTest, ThreePageJobWritesHeaderRecordsAndPageFiles) {
  FilterJobRequest request = Request(Raster(3, {"--size", "A4,Letter,A6"}));
  request.title = "/home/alice/report.pdf - Viewer";
  FilterJobOutcome job = RunFilterJob(request);
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  ASSERT_TRUE(job.parsed) << job.streamError;

  // Job header: magic, length, the string without terminator.
  const std::string &out = job.run.out;
  ASSERT_GE(out.size(), 20u);
  EXPECT_EQ(out.substr(0, 16), std::string("kv7310_param\0\0\0\0", 16));
  const uint32_t length = static_cast<unsigned char>(out[16]) | static_cast<unsigned char>(out[17]) << 8 |
                          static_cast<unsigned char>(out[18]) << 16 | static_cast<uint32_t>(static_cast<unsigned char>(out[19])) << 24;
  EXPECT_EQ(length, job.stream.jobParams.size());
  EXPECT_EQ(job.stream.jobParams.rfind("PageSize=A4, Resolution=600dpi, ", 0), 0u);
  for (const char *expected : {"jobId=345, ", "LoginName=alice, ", "DocName=report.pdf, ", "copies=1, "}) {
    EXPECT_NE(job.stream.jobParams.find(expected), std::string::npos) << expected;
  }
  EXPECT_EQ(job.stream.jobParams.substr(job.stream.jobParams.size() - 15), "AuthPassword=, ");

  ASSERT_EQ(job.stream.records.size(), 3u);
  const int expectedFirst[] = {1, 0, 0};
  const int expectedLast[] = {0, 0, 1};
  for (size_t i = 0; i < 3; ++i) {
    const StreamRecord &record = job.stream.records[i];
    EXPECT_EQ(record.firstpage, expectedFirst[i]);
    EXPECT_EQ(record.lastpage, expectedLast[i]);
    EXPECT_EQ(record.pageno, static_cast<int>(i + 1));
    EXPECT_TRUE(SamePixels(job.pages[i], sources_[i])) << "page " << i + 1;
    const std::string number = std::to_string(i + 1);
    EXPECT_TRUE(SamePixels(LoadPbm(kWorkDir + "/345_" + number + "_gs.pbm"), sources_[i]));
    EXPECT_EQ(std::filesystem::file_size(kWorkDir + "/345-" + number + ".jbg"), record.jbg_size);
  }
  EXPECT_FALSE(FileExists(kWorkDir + "/345_1_gs_rotated.pbm"));
  EXPECT_NE(job.run.err.find("INFO: Printing page 3\n"), std::string::npos);
  EXPECT_NE(job.run.err.find("DEBUG: page 3 handleImg done,pring m_page=3 begin\n"), std::string::npos);
  EXPECT_NE(job.run.err.find("DEBUG: print m_page 3 write jbg done\n"), std::string::npos);
}

// First in the chain (a raster printed as it is), the filter gets the job's file as
// argv[6] and nothing on standard input; with a seventh argument the file is the input.
TEST_F(PipelineTest, SeventhArgumentNamesTheRasterFile) {
  const std::string raster = Raster(2, {"--size", "A6"});
  FilterJobRequest request = Request("");
  request.seventhArgument = raster;
  request.jobId = "job-x";
  FilterJobOutcome job = RunFilterJob(request);
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  ASSERT_TRUE(job.parsed) << job.streamError;
  ASSERT_EQ(job.stream.records.size(), 2u);
  EXPECT_EQ(job.stream.records[0].firstpage, 1);
  EXPECT_EQ(job.stream.records[1].lastpage, 1);
  EXPECT_TRUE(SamePixels(job.pages[0], sources_[0]));
  EXPECT_TRUE(SamePixels(job.pages[1], sources_[1]));
  // A job argument that is not a number still names the files 0_...
  EXPECT_TRUE(FileExists(kWorkDir + "/0_1_gs.pbm"));
  EXPECT_TRUE(FileExists(kWorkDir + "/0-2.jbg"));

  // The file wins over whatever standard input holds.
  const std::string other = dir_.file("other.ras");
  std::filesystem::rename(raster, other);
  const std::string third = Raster(1, {"--size", "A6", "--content", "black"});
  request.rasterPath = other;
  request.seventhArgument = third;
  job = RunFilterJob(request);
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  ASSERT_EQ(job.pages.size(), 1u);
  EXPECT_TRUE(SamePixels(job.pages[0], sources_[0]));
}

TEST_F(PipelineTest, MissingRasterFileStopsTheJobBeforeAnyOutput) {
  std::filesystem::create_directories(kWorkDir);
  WriteFileText(kWorkDir + "/stale.pbm", "left by an earlier job");
  FilterJobRequest request = Request(Raster(1));
  request.seventhArgument = dir_.file("d00001-001");
  FilterJobOutcome job = RunFilterJob(request);
  EXPECT_EQ(job.run.exitStatus, 1);
  EXPECT_TRUE(job.run.out.empty());
  EXPECT_NE(job.run.err.find("ERROR: Unable to open the raster file " + dir_.file("d00001-001")),
            std::string::npos)
      << job.run.err;
  // The job stopped before its work directory was touched.
  EXPECT_TRUE(FileExists(kWorkDir + "/stale.pbm"));
}

TEST_F(PipelineTest, CancelDuringEncodingMakesThatPageTheLast) {
  FilterJobRequest request = Request(Raster(4, {"--size", "A6"}));
  request.pathPrefix = dir_.path();
  WriteEncoderStandIn(dir_.path(), 2);
  FilterJobOutcome job = RunFilterJob(request);
  EXPECT_EQ(job.run.exitStatus, 0) << job.run.err;
  ASSERT_TRUE(job.parsed) << job.streamError;
  ASSERT_EQ(job.stream.records.size(), 2u);
  EXPECT_EQ(job.stream.records[1].lastpage, 1);
  EXPECT_TRUE(SamePixels(job.pages[1], sources_[1]));
  EXPECT_NE(job.run.err.find("DEBUG: \xe6\x8d\x95\xe8\x8e\xb7SIGTERM\xe4\xbf\xa1\xe5\x8f\xb7,\xe7\xbb\x88\xe6\xad\xa2\xe4\xb8\xad\n"),
            std::string::npos);
  EXPECT_NE(job.run.err.find("DEBUG: cancel job, page 2 handleImg done,pring m_page=2 is last page,\n"),
            std::string::npos);
  EXPECT_FALSE(FileExists(kWorkDir + "/345_3_gs.pbm"));
}

TEST_F(PipelineTest, WhiteOnBlackColourSpacesAreTurnedBlackOnWhite) {
  for (const char *space : {"w", "sw"}) {
    FilterJobOutcome job = RunFilterJob(
        Request(Raster(1, {"--colorspace", space, "--width-px", "1001", "--height-px", "300"})));
    ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
    ASSERT_TRUE(job.parsed) << job.streamError;
    ASSERT_EQ(job.pages.size(), 1u);
    EXPECT_TRUE(SamePixels(job.pages[0], sources_[0])) << space;
    EXPECT_FALSE(IsAllWhite(job.pages[0]));
  }
}

TEST_F(PipelineTest, RastersThatAreNotOneBitPbmRowsAreRefused) {
  struct Case {
    std::vector<std::string> options;
    const char *reason;
  };
  const Case cases[] = {
      {{"--bits", "8", "--width-px", "64", "--height-px", "16"}, "bits per pixel"},
      {{"--bytes-per-line", "20", "--width-px", "64", "--height-px", "16"}, "bytes per line"},
      {{"--header-only", "--width-px", "100000", "--height-px", "90000"}, "more than the limit"},
  };
  for (const Case &refused : cases) {
    FilterJobOutcome job = RunFilterJob(Request(Raster(1, refused.options)));
    EXPECT_EQ(job.run.exitStatus, 1) << refused.reason;
    EXPECT_TRUE(job.run.out.empty()) << refused.reason;
    EXPECT_NE(job.run.err.find("ERROR: "), std::string::npos) << refused.reason;
    EXPECT_NE(job.run.err.find(refused.reason), std::string::npos) << job.run.err;
  }
}

TEST_F(PipelineTest, PageFileThatCannotBeCreatedEndsTheJob) {
  // While page 1 is encoded, a symbolic link appears where page 2's file will go. The
  // filter neither writes through it nor goes on without the page.
  const std::string victim = dir_.file("victim.txt");
  WriteFileText(victim, "not the filter's file");
  WriteFileText(dir_.file("pbmtojbg"),
                "#!/bin/sh\nln -s " + victim + " /tmp/quenmark/345_2_gs.pbm\n"
                "exec /usr/bin/pbmtojbg \"$@\"\n");
  chmod(dir_.file("pbmtojbg").c_str(), 0755);
  FilterJobRequest request = Request(Raster(2));
  request.pathPrefix = dir_.path();
  FilterJobOutcome job = RunFilterJob(request);
  EXPECT_EQ(job.run.exitStatus, 255);
  EXPECT_NE(job.run.err.find("ERROR: Unable to create page file /tmp/quenmark/345_2_gs.pbm: "),
            std::string::npos)
      << job.run.err;
  EXPECT_EQ(job.stream.records.size(), 1u);
  EXPECT_EQ(ReadFileText(victim), "not the filter's file");
}

TEST_F(PipelineTest, MissingJbigFileEndsTheJobWith255) {
  WriteFileText(dir_.file("pbmtojbg"), "#!/bin/sh\nexit 0\n");
  chmod(dir_.file("pbmtojbg").c_str(), 0755);
  FilterJobRequest request = Request(Raster(2));
  request.pathPrefix = dir_.path();
  FilterJobOutcome job = RunFilterJob(request);
  EXPECT_EQ(job.run.exitStatus, 255);
  EXPECT_NE(job.run.err.find("ERROR: Unable to open JBIG file /tmp/quenmark/345-1.jbg: "),
            std::string::npos)
      << job.run.err;
  EXPECT_TRUE(job.stream.hasJobHeader);
  EXPECT_EQ(job.stream.records.size(), 0u);
}

// A raster cut short in its last page still prints that page: what arrived, and white
// below it, never what an earlier page left in memory.
TEST_F(PipelineTest, PageCutShortIsWhiteBelowWhatArrived) {
  const std::string raster = Raster(2, {"--content", "black", "--size", "A6"});
  const PageBitmap &source = sources_[1];
  const uint64_t pageBytes = PageBitmapStride(source.width) * source.height;
  std::filesystem::resize_file(raster, std::filesystem::file_size(raster) - pageBytes / 2);
  FilterJobOutcome job = RunFilterJob(Request(raster));
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  ASSERT_TRUE(job.parsed) << job.streamError;
  ASSERT_EQ(job.pages.size(), 2u);
  EXPECT_TRUE(SamePixels(job.pages[0], sources_[0]));
  const PageBitmap &cut = job.pages[1];
  ASSERT_EQ(cut.height, source.height);
  const uint64_t stride = PageBitmapStride(cut.width);
  EXPECT_EQ(cut.bits[0], 0xFF) << "the rows that arrived are printed";
  const auto lastRow = cut.bits.end() - static_cast<std::ptrdiff_t>(stride);
  EXPECT_TRUE(std::all_of(lastRow, cut.bits.end(), [](unsigned char b) { return b == 0; }))
      << "the rows that did not arrive are white";
}

TEST_F(PipelineTest, StreamWriteFailureIsAnError) {
  const std::string raster = Raster(3, {"--content", "random", "--size", "A6"});
  RunOptions options;
  options.stdinPath = raster;
  options.stdoutPath = "/dev/full";
  options.setEnv["PPD"] = WriteTestPpd(dir_.path());
  RunResult run = RunFilter({"345", "alice", "t", "1", ""}, options);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("ERROR: Unable to write the print data"), std::string::npos) << run.err;
  // The job stops early instead of encoding pages nobody receives.
  EXPECT_EQ(run.err.find("INFO: Printing page 3"), std::string::npos);
}

TEST_F(PipelineTest, A5FedLongEdgeFirstIsTurnedBeforeEncoding) {
  FilterJobRequest request = Request(Raster(2, {"--size", "A5"}));
  request.ppdPath = WriteTestPpd(dir_.path(), {{"PageSize", "A5"}, {"FeedEdge", "1"}});
  FilterJobOutcome job = RunFilterJob(request);
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  ASSERT_TRUE(job.parsed) << job.streamError;
  ASSERT_EQ(job.pages.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(SamePixels(job.pages[i], TurnedPage(sources_[i], -90))) << "page " << i + 1;
  }
  EXPECT_TRUE(FileExists(kWorkDir + "/345_2_gs_rotated.pbm"));
  EXPECT_NE(job.run.err.find("DEBUG: A5L need rotate.[-90]DEBUG: pbmtojbg. width:["), std::string::npos);
}

TEST_F(PipelineTest, PasswordTravelsInTheStreamButNeverInLogsOrListings) {
  FilterJobRequest request = Request(Raster(1, {"--size", "A6"}));
  request.options = "AuthPassword=s3cret-pw";
  FilterJobOutcome job = RunFilterJob(request);
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  EXPECT_NE(job.stream.jobParams.find("AuthPassword=s3cret-pw, "), std::string::npos);
  EXPECT_EQ(job.run.err.find("s3cret"), std::string::npos) << job.run.err;

  WriteFileText(dir_.file("job.prn"), job.run.out);
  RunResult listing = RunProgram({QUENMARK_INSPECT_PATH, "--no-decode", dir_.file("job.prn")});
  EXPECT_EQ(listing.exitStatus, 0) << listing.err;
  EXPECT_NE(listing.out.find("AuthPassword = ********"), std::string::npos) << listing.out;
  EXPECT_EQ(listing.out.find("s3cret"), std::string::npos);
}

}  // namespace
