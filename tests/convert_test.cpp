// quenmark_convert against the filter: the same pixels and the same settings give the
// same records, JBIG bytes included, in every mode of the output sequencing; and bad input
// ends with a clear error. QUENMARK_USES_FIXED_PATHS: the filter's work directory.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string>

#include "TestSupport.h"

namespace {

const std::string kWorkDir = "/tmp/quenmark";

struct SameJobCase {
  const char *name;
  const char *rasterOptions;     // the raster maker's, besides --pages
  int pages;
  const char *copies;            // the filter's copies argument
  const char *filterOptions;     // CUPS options for the filter with the shipped PPD
  std::vector<std::string> ipp;  // the same settings as IPP attributes
  const char *expectedDuplex;    // the Duplex job parameter both send
};

void PrintTo(const SameJobCase &c, std::ostream *out) { *out << c.name; }

std::vector<std::string> Words(const std::string &text) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::string Param(const ParsedStream &stream, const std::string &key) {
  std::string value;
  return FindJobParam(stream.jobParams, key, &value) ? value : "(absent)";
}

class ConvertSameAsFilterTest : public testing::TestWithParam<SameJobCase> {
 protected:
  void SetUp() override { workDirExisted_ = FileExists(kWorkDir); }
  void TearDown() override {
    std::error_code ignored;
    if (!workDirExisted_) std::filesystem::remove_all(kWorkDir, ignored);
  }
  TempDir dir_;
  bool workDirExisted_ = false;
};

TEST_P(ConvertSameAsFilterTest, SameRecordsByteForByte) {
  const SameJobCase &c = GetParam();
  const std::string raster = dir_.file("job.ras");
  std::vector<std::string> makerArgs = Words(c.rasterOptions);
  makerArgs.insert(makerArgs.end(), {"--pages", std::to_string(c.pages)});
  ASSERT_TRUE(MakeRaster(raster, makerArgs));

  FilterJobRequest request;
  request.rasterPath = raster;
  request.ppdPath = QUENMARK_SHIPPED_PPD;
  request.copies = c.copies;
  request.options = c.filterOptions;
  const FilterJobOutcome filter = RunFilterJob(request);
  ASSERT_EQ(filter.run.exitStatus, 0) << filter.run.err;
  ASSERT_TRUE(filter.parsed) << filter.streamError;

  const FilterJobOutcome convert = RunConvertJob(raster, c.ipp);
  ASSERT_EQ(convert.run.exitStatus, 0) << convert.run.err;
  ASSERT_TRUE(convert.parsed) << convert.streamError;

  ASSERT_EQ(convert.stream.records.size(), filter.stream.records.size());
  for (size_t i = 0; i < filter.stream.records.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i + 1));
    const StreamRecord &a = filter.stream.records[i];
    const StreamRecord &b = convert.stream.records[i];
    // The record's 32 header bytes and its JBIG data, as the printer reads them.
    EXPECT_EQ(filter.run.out.substr(a.offset, 32 + a.jbg_size),
              convert.run.out.substr(b.offset, 32 + b.jbg_size));
  }
  for (const char *key : {"PageSize", "Duplex", "FeedEdge", "MediaType", "InputSlot", "copies"}) {
    EXPECT_EQ(Param(convert.stream, key), Param(filter.stream, key)) << key;
  }
  EXPECT_EQ(Param(convert.stream, "Duplex"), c.expectedDuplex);
}

const SameJobCase kSameJobCases[] = {
    {"OneSidedOneCopy", "--size A6 --content random", 2, "1", "", {}, "None"},
    {"OneSidedUncollatedCopies", "--size A4", 3, "3", "",
     {"-o", "copies=3"}, "None"},
    {"OneSidedCollatedCopies", "--size Letter", 3, "2", "PageSize=Letter Collate=True",
     {"-o", "media=na_letter_8.5x11in", "-o", "copies=2", "-o",
      "multiple-document-handling=separate-documents-collated-copies"},
     "None"},
    {"TwoSidedUncollatedCopiesOddPages", "--size A4", 3, "2", "Duplex=DuplexNoTumble",
     {"-o", "sides=two-sided-long-edge", "-o", "copies=2"}, "DuplexNoTumble"},
    {"TwoSidedCollatedCopiesOddPages", "--size B5", 3, "2",
     "Duplex=DuplexTumble Collate=True",
     {"-o", "sides=two-sided-short-edge", "-o", "copies=2", "-o",
      "multiple-document-handling=separate-documents-collated-copies"},
     "DuplexTumble"},
    {"A5LongEdgeFirstIsTurned", "--size A5", 3, "1", "PageSize=A5 FeedEdge=1",
     {"-o", "media=iso_a5_148x210mm", "-o", "feed-orientation=long-edge-first"}, "None"},
    {"A5LongEdgeFirstTwoSidedPrintsOneSided", "--size A5", 2, "2",
     "PageSize=A5 FeedEdge=1 Duplex=DuplexNoTumble",
     {"-o", "media=A5", "-o", "feed-orientation=long-edge-first", "-o",
      "sides=two-sided-long-edge", "-o", "copies=2"},
     "None"},
    {"HighResolutionThickPaper", "--size A6 --resolution 1200", 1, "1",
     "PageSize=A6 Resolution=1200dpi MediaType=Thick",
     {"-o", "media=iso_a6_105x148mm", "-o", "printer-resolution=1200dpi", "-o",
      "media-type=stationery-heavyweight"},
     "None"},
};

INSTANTIATE_TEST_SUITE_P(Modes, ConvertSameAsFilterTest, testing::ValuesIn(kSameJobCases),
                         [](const testing::TestParamInfo<SameJobCase> &info) {
                           return std::string(info.param.name);
                         });

class ConvertTest : public testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(ConvertTest, JobParametersCarryTheAttributesAndTheDefaults) {
  const std::string raster = dir_.file("job.ras");
  ASSERT_TRUE(MakeRaster(raster, {"--pages", "1", "--size", "B6"}));
  const FilterJobOutcome job = RunConvertJob(
      raster, {"-o", "media=jis_b6_128x182mm", "-o", "media-source=tray-2", "-o",
               "sides=two-sided-long-edge", "-o", "job-name='/home/me/report, final.pdf draft'",
               "-o", "job-originating-user-name=alice", "-o", "job-id=42", "-o",
               "job-uuid=urn:uuid:1234", "-o", "time-at-creation=1765000000"});
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  ASSERT_TRUE(job.parsed) << job.streamError;
  EXPECT_EQ(Param(job.stream, "PageSize"), "B6");
  EXPECT_EQ(Param(job.stream, "InputSlot"), "Tray2");
  EXPECT_EQ(Param(job.stream, "Resolution"), "600dpi");
  EXPECT_EQ(Param(job.stream, "MediaType"), "Plain");
  EXPECT_EQ(Param(job.stream, "Collate"), "False");
  EXPECT_EQ(Param(job.stream, "copies"), "1");
  // B6 cannot be turned in the duplex unit: one-sided, and the log says why.
  EXPECT_EQ(Param(job.stream, "Duplex"), "None");
  EXPECT_NE(job.run.err.find("Cause of Duplex ON + Unsupport Media Size"), std::string::npos);
  // The title is cut as the filter cuts it, and the comma cannot start a record.
  EXPECT_EQ(Param(job.stream, "DocName"), "report  final.pdf");
  EXPECT_EQ(Param(job.stream, "LoginName"), "alice");
  EXPECT_EQ(Param(job.stream, "jobId"), "42");
  EXPECT_EQ(Param(job.stream, "job-uuid"), "urn:uuid:1234");
  EXPECT_EQ(Param(job.stream, "time-at-creation"), "1765000000");
  EXPECT_EQ(SplitJobParams(job.stream.jobParams).size(), 23u);
}

TEST_F(ConvertTest, WithoutAttributesTheJobIsTheDefaultOne) {
  const std::string raster = dir_.file("job.ras");
  ASSERT_TRUE(MakeRaster(raster, {"--pages", "2"}));
  const FilterJobOutcome job = RunConvertJob(raster, {});
  ASSERT_EQ(job.run.exitStatus, 0) << job.run.err;
  ASSERT_TRUE(job.parsed) << job.streamError;
  ASSERT_EQ(job.stream.records.size(), 2u);
  EXPECT_EQ(job.stream.jobParams.rfind("PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, "
                                       "FeedEdge=0, Collate=False, Duplex=None, MediaType=Plain, "
                                       "InputSlot=MainTray, ",
                                       0),
            0u)
      << job.stream.jobParams;
  EXPECT_EQ(Param(job.stream, "jobId"), "1");
  EXPECT_EQ(Param(job.stream, "DocName"), "(stdin)");
}

TEST_F(ConvertTest, BadInputIsRefusedWithAClearError) {
  const std::string good = dir_.file("good.ras");
  ASSERT_TRUE(MakeRaster(good, {"--pages", "2", "--content", "random", "--size", "A6"}));
  const std::string grey = dir_.file("grey.ras");
  ASSERT_TRUE(MakeRaster(grey, {"--pages", "1", "--bits", "8"}));
  const std::string text = dir_.file("text.ras");
  WriteFileText(text, "%!PS-Adobe-3.0\nshowpage\n");
  // Cut in the middle of the second page's pixels.
  const std::string cut = dir_.file("cut.ras");
  const std::string whole = ReadFileText(good);
  WriteFileText(cut, whole.substr(0, whole.size() * 3 / 4));

  struct BadCase {
    std::string raster;
    std::vector<std::string> args;
    const char *message;
  };
  const BadCase cases[] = {
      {good, {"-o", "colour=red"}, "colour: not a job attribute"},
      {good, {"-o", "media=iso_a3_297x420mm"}, "no media \"iso_a3_297x420mm\""},
      {good, {"-o", "copies=1000"}, "copies"},
      {good, {"-o", "printer-resolution=300dpi"}, "600 or 1200 dpi"},
      {good, {"-o", "sides=three-sided"}, "does not support \"three-sided\""},
      {grey, {}, "8 bits per pixel"},
      {text, {}, "not a CUPS or PWG raster"},
      {cut, {}, "damaged or cut short at page 2"},
  };
  for (const BadCase &c : cases) {
    SCOPED_TRACE(c.message);
    const FilterJobOutcome job = RunConvertJob(c.raster, c.args);
    EXPECT_EQ(job.run.exitStatus, 1) << job.run.err;
    EXPECT_NE(job.run.err.find(c.message), std::string::npos) << job.run.err;
  }
  // A page that went out before the damage stays whole; nothing of the damaged page goes.
  const FilterJobOutcome damaged = RunConvertJob(cut, {});
  ParsedStream stream;
  std::string error;
  const std::vector<unsigned char> bytes(damaged.run.out.begin(), damaged.run.out.end());
  EXPECT_TRUE(ParsePrinterStream(bytes, &stream, &error)) << error;
  EXPECT_LE(stream.records.size(), 1u);
}

TEST_F(ConvertTest, AStreamThatCannotBeWrittenFails) {
  const std::string raster = dir_.file("job.ras");
  ASSERT_TRUE(MakeRaster(raster, {"--pages", "1"}));
  RunOptions full;
  full.stdinPath = raster;
  full.stdoutPath = "/dev/full";
  const RunResult run = RunProgram({QUENMARK_CONVERT_PATH}, full);
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  EXPECT_NE(run.err.find("ERROR: Unable to write the print data"), std::string::npos) << run.err;

  const RunResult closed = RunProgram({"/bin/sh", "-c", std::string(QUENMARK_CONVERT_PATH) +
                                                            " " + raster + " >&-"});
  EXPECT_EQ(closed.exitStatus, 1) << closed.err;
  EXPECT_NE(closed.err.find("Standard output is closed"), std::string::npos) << closed.err;
}

TEST_F(ConvertTest, ThreadCountsGiveTheSameBytes) {
  const std::string raster = dir_.file("job.ras");
  ASSERT_TRUE(MakeRaster(raster, {"--pages", "4", "--content", "random", "--size", "80x120"}));
  const FilterJobOutcome one = RunConvertJob(raster, {"--threads", "1", "-o", "copies=2"});
  ASSERT_EQ(one.run.exitStatus, 0) << one.run.err;
  for (const char *threads : {"2", "4"}) {
    const FilterJobOutcome many = RunConvertJob(raster, {"--threads", threads, "-o", "copies=2"});
    ASSERT_EQ(many.run.exitStatus, 0) << many.run.err;
    EXPECT_TRUE(many.run.out == one.run.out) << threads << " threads";
  }
}

}  // namespace
