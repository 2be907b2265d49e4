// The stream reader: parsing hand-built printer streams (good and damaged), the record
// sequence rules, job parameter lookup, JBIG decoding against the real encoder, and the
// page image files.

#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "StreamReader.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

void AppendLe32(Bytes *bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void AppendText(Bytes *bytes, const std::string &text) {
  bytes->insert(bytes->end(), text.begin(), text.end());
}

Bytes JobHeader(const std::string &params) {
  Bytes bytes;
  AppendText(&bytes, std::string("kv7310_param\0\0\0\0", 16));
  AppendLe32(&bytes, static_cast<uint32_t>(params.size()));
  AppendText(&bytes, params);
  return bytes;
}

// jbg_size is written as given, so a record can announce more data than it carries.
void AppendRecord(Bytes *bytes, int32_t firstpage, int32_t lastpage, uint32_t jbgSize,
                  int32_t pageno, const Bytes &data) {
  AppendText(bytes, std::string("kv7310_printer\0\0", 16));
  AppendLe32(bytes, static_cast<uint32_t>(firstpage));
  AppendLe32(bytes, static_cast<uint32_t>(lastpage));
  AppendLe32(bytes, jbgSize);
  AppendLe32(bytes, static_cast<uint32_t>(pageno));
  bytes->insert(bytes->end(), data.begin(), data.end());
}

void AppendRecord(Bytes *bytes, int32_t firstpage, int32_t lastpage, int32_t pageno,
                  const Bytes &data) {
  AppendRecord(bytes, firstpage, lastpage, static_cast<uint32_t>(data.size()), pageno, data);
}

const std::string kParams = "PageSize=A4, copies=1, ";  // 23 bytes: records start at 43

const std::string kDefaultParams =
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, "
    "Duplex=None, MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, "
    "job-originating-host-name=, date-time-at-creation=, date-time-at-processing=, "
    "time-at-creation=, time-at-processing=, copies=1, jobId=, DocName=, HostName=, "
    "LoginName=, AuthID=, AuthPassword=, ";

// ---------------------------------------------------------------- stream structure

TEST(ParsePrinterStream, EmptyStreamIsAJobWithoutPages) {
  ParsedStream stream;
  std::string error;
  ASSERT_TRUE(ParsePrinterStream({}, &stream, &error)) << error;
  EXPECT_FALSE(stream.hasJobHeader);
  EXPECT_TRUE(stream.jobParams.empty());
  EXPECT_TRUE(stream.records.empty());
}

TEST(ParsePrinterStream, JobHeaderAloneHasNoRecords) {
  ParsedStream stream;
  std::string error;
  ASSERT_TRUE(ParsePrinterStream(JobHeader(kDefaultParams), &stream, &error)) << error;
  EXPECT_TRUE(stream.hasJobHeader);
  EXPECT_EQ(stream.jobParams, kDefaultParams);
  EXPECT_TRUE(stream.records.empty());
  // An empty parameter string is still a job header.
  ASSERT_TRUE(ParsePrinterStream(JobHeader(""), &stream, &error)) << error;
  EXPECT_TRUE(stream.hasJobHeader);
}

TEST(ParsePrinterStream, ReadsRecordFieldsAndOffsets) {
  Bytes bytes = JobHeader(kParams);
  AppendRecord(&bytes, 1, 0, 1, Bytes{0xaa, 0xbb, 0xcc});
  AppendRecord(&bytes, 0, 0, 2, Bytes{});  // an empty JBIG file: the next record follows at once
  AppendRecord(&bytes, 0, 1, 3, Bytes(5, 0x11));
  ParsedStream stream;
  std::string error;
  ASSERT_TRUE(ParsePrinterStream(bytes, &stream, &error)) << error;
  EXPECT_EQ(stream.jobParams, kParams);
  ASSERT_EQ(stream.records.size(), 3u);
  const StreamRecord &first = stream.records[0];
  EXPECT_EQ(first.offset, 43u);
  EXPECT_EQ(first.dataOffset, 75u);
  EXPECT_EQ(first.firstpage, 1);
  EXPECT_EQ(first.lastpage, 0);
  EXPECT_EQ(first.jbg_size, 3u);
  EXPECT_EQ(first.pageno, 1);
  EXPECT_EQ(bytes[first.dataOffset], 0xaa);
  EXPECT_EQ(stream.records[1].offset, 78u);
  EXPECT_EQ(stream.records[1].jbg_size, 0u);
  EXPECT_EQ(stream.records[2].offset, 110u);
  EXPECT_EQ(stream.records[2].lastpage, 1);
  EXPECT_EQ(stream.records[2].pageno, 3);
  EXPECT_EQ(stream.records[2].jbg_size, 5u);
}

TEST(ParsePrinterStream, FieldsAreLittleEndianAndSigned) {
  Bytes bytes = JobHeader("");
  AppendText(&bytes, std::string("kv7310_printer\0\0", 16));
  const unsigned char fields[16] = {0x01, 0x00, 0x00, 0x00,   // firstpage 1
                                    0xff, 0xff, 0xff, 0xff,   // lastpage -1
                                    0x03, 0x01, 0x00, 0x00,   // jbg_size 259
                                    0x02, 0x01, 0x00, 0x00};  // pageno 258
  bytes.insert(bytes.end(), fields, fields + 16);
  bytes.resize(bytes.size() + 259, 0);
  ParsedStream stream;
  std::string error;
  ASSERT_TRUE(ParsePrinterStream(bytes, &stream, &error)) << error;
  ASSERT_EQ(stream.records.size(), 1u);
  EXPECT_EQ(stream.records[0].firstpage, 1);
  EXPECT_EQ(stream.records[0].lastpage, -1);
  EXPECT_EQ(stream.records[0].jbg_size, 259u);
  EXPECT_EQ(stream.records[0].pageno, 258);
}

struct DamageCase {
  const char *name;
  Bytes bytes;
  const char *where;       // the offset the message must name
  const char *what;        // and a word of what went wrong
  size_t recordsKept;      // complete records before the damage
};

std::vector<DamageCase> DamageCases() {
  std::vector<DamageCase> cases;
  Bytes good = JobHeader(kParams);  // 43 bytes
  AppendRecord(&good, 1, 0, 1, Bytes(10, 0x55));  // 43 .. 85
  AppendRecord(&good, 0, 1, 2, Bytes(4, 0x66));   // 85 .. 121

  cases.push_back({"truncated job header", Bytes(good.begin(), good.begin() + 10), "at byte 0:",
                   "truncated job header", 0});
  Bytes badMagic = good;
  badMagic[3] = 'X';
  cases.push_back({"bad job magic", badMagic, "at byte 0:", "magic", 0});
  Bytes magicNul = good;
  magicNul[12] = 'X';  // "kv7310_paramX": the NUL bytes belong to the magic
  cases.push_back({"job magic without its NULs", magicNul, "at byte 0:", "magic", 0});
  cases.push_back({"parameter string truncated", Bytes(good.begin(), good.begin() + 30),
                   "at byte 20:", "truncated", 0});
  Bytes hugeLength = JobHeader("abc");
  hugeLength[16] = hugeLength[17] = hugeLength[18] = hugeLength[19] = 0xff;
  cases.push_back({"parameter length near 4 GiB", hugeLength, "at byte 20:", "4294967295", 0});
  cases.push_back({"truncated record header", Bytes(good.begin(), good.begin() + 43 + 20),
                   "at byte 43:", "truncated header", 0});
  Bytes recordMagic = good;
  recordMagic[85] = 'K';
  cases.push_back({"bad record magic", recordMagic, "at byte 85:", "magic", 1});
  Bytes recordNul = good;
  recordNul[85 + 15] = '!';
  cases.push_back({"record magic without its NULs", recordNul, "at byte 85:", "magic", 1});
  cases.push_back({"truncated JBIG data", Bytes(good.begin(), good.end() - 1), "at byte 85:",
                   "runs past the end", 1});
  Bytes hugeSize = JobHeader(kParams);
  AppendRecord(&hugeSize, 1, 1, 0xffffffffu, 1, Bytes(8, 0));
  cases.push_back({"jbg_size near 4 GiB", hugeSize, "at byte 43:", "4294967295", 0});
  Bytes leftover = good;
  leftover.push_back(0);
  cases.push_back({"a byte left over", leftover, "at byte 121:", "truncated header", 2});
  Bytes secondHeader = good;
  Bytes again = JobHeader(kParams);
  secondHeader.insert(secondHeader.end(), again.begin(), again.end());
  cases.push_back({"a second job header", secondHeader, "at byte 121:", "magic", 2});
  return cases;
}

TEST(ParsePrinterStream, DamageIsReportedWithItsByteOffset) {
  for (const DamageCase &damage : DamageCases()) {
    SCOPED_TRACE(damage.name);
    ParsedStream stream;
    std::string error;
    EXPECT_FALSE(ParsePrinterStream(damage.bytes, &stream, &error));
    EXPECT_EQ(error.rfind(damage.where, 0), 0u) << error;
    EXPECT_NE(error.find(damage.what), std::string::npos) << error;
    EXPECT_EQ(stream.records.size(), damage.recordsKept);
  }
}

TEST(ParsePrinterStream, KeepsTheJobHeaderOfADamagedStream) {
  Bytes bytes = JobHeader(kParams);
  AppendRecord(&bytes, 1, 0, 100, 1, Bytes(3, 0));
  ParsedStream stream;
  std::string error;
  EXPECT_FALSE(ParsePrinterStream(bytes, &stream, &error));
  EXPECT_TRUE(stream.hasJobHeader);
  EXPECT_EQ(stream.jobParams, kParams);
}

TEST(ParsePrinterStream, MutatedStreamsAreReadOrRefusedWithAnOffset) {
  Bytes good = JobHeader(kParams);
  AppendRecord(&good, 1, 0, 1, Bytes(40, 0x55));
  AppendRecord(&good, 0, 1, 2, Bytes(7, 0x66));
  std::mt19937 random(99);
  for (int trial = 0; trial < 5000; ++trial) {
    Bytes bytes = good;
    for (int changes = 1 + random() % 3; changes > 0; --changes) {
      const size_t at = random() % bytes.size();
      switch (random() % 3) {
        case 0:
          bytes[at] = static_cast<unsigned char>(random());
          break;
        case 1:
          bytes.resize(at);
          break;
        default:
          bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       static_cast<unsigned char>(random()));
          break;
      }
      if (bytes.empty()) bytes.push_back(0);
    }
    ParsedStream stream;
    std::string error;
    if (ParsePrinterStream(bytes, &stream, &error)) {
      // A stream that parses accounts for every byte.
      uint64_t end = 20 + stream.jobParams.size();
      for (const StreamRecord &record : stream.records) {
        ASSERT_EQ(record.offset, end);
        end = record.dataOffset + record.jbg_size;
      }
      ASSERT_EQ(end, bytes.size());
    } else {
      ASSERT_EQ(error.rfind("at byte ", 0), 0u) << error;
    }
  }
}

// ---------------------------------------------------------------- record sequence

ParsedStream Sequence(const std::vector<std::array<int32_t, 3>> &records) {
  Bytes bytes = JobHeader(kParams);
  for (const auto &[firstpage, lastpage, pageno] : records) {
    AppendRecord(&bytes, firstpage, lastpage, pageno, Bytes(2, 0));
  }
  ParsedStream stream;
  std::string error;
  EXPECT_TRUE(ParsePrinterStream(bytes, &stream, &error)) << error;
  return stream;
}

TEST(CheckRecordSequence, AcceptsTheOrdersTheFilterWrites) {
  std::string error;
  EXPECT_TRUE(CheckRecordSequence(Sequence({}), &error)) << error;
  EXPECT_TRUE(CheckRecordSequence(Sequence({{1, 1, 1}}), &error)) << error;
  EXPECT_TRUE(CheckRecordSequence(Sequence({{1, 0, 1}, {0, 1, 2}}), &error)) << error;
  // Uncollated copies of one page, and uncollated two-sided pairs.
  EXPECT_TRUE(CheckRecordSequence(Sequence({{1, 0, 1}, {1, 0, 2}, {1, 1, 3}}), &error)) << error;
  EXPECT_TRUE(CheckRecordSequence(Sequence({{1, 0, 1}, {0, 0, 2}, {1, 0, 3}, {0, 1, 4}}), &error))
      << error;
  // A cancelled job has no lastpage record.
  EXPECT_TRUE(CheckRecordSequence(Sequence({{1, 0, 1}, {0, 0, 2}}), &error)) << error;
}

TEST(CheckRecordSequence, RefusesBrokenSequences) {
  struct Case {
    const char *name;
    std::vector<std::array<int32_t, 3>> records;
    const char *message;
  };
  const Case cases[] = {
      {"gap", {{1, 0, 1}, {0, 1, 3}}, "page record 2 (at byte 77): pageno 3, expected 2"},
      {"starts at 2", {{1, 1, 2}}, "page record 1 (at byte 43): pageno 2, expected 1"},
      {"starts at 0", {{1, 1, 0}}, "pageno 0, expected 1"},
      {"repeated", {{1, 0, 1}, {0, 0, 1}, {0, 1, 2}}, "pageno 1, expected 2"},
      {"negative", {{1, 1, -1}}, "pageno -1, expected 1"},
      {"lastpage early", {{1, 1, 1}, {0, 0, 2}}, "page record 1 (at byte 43): lastpage 1 on a"},
      {"lastpage 2", {{1, 0, 1}, {0, 2, 2}}, "lastpage 2, expected 0 or 1"},
      {"firstpage 2", {{2, 1, 1}}, "firstpage 2, expected 0 or 1"},
      {"first record not firstpage", {{0, 1, 1}}, "first record has firstpage 0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_FALSE(CheckRecordSequence(Sequence(c.records), &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

// ---------------------------------------------------------------- job parameters

TEST(FindJobParam, FindsValuesOfTheDefaultString) {
  std::string value;
  EXPECT_EQ(SplitJobParams(kDefaultParams).size(), 23u);
  ASSERT_TRUE(FindJobParam(kDefaultParams, "PageSize", &value));
  EXPECT_EQ(value, "A4");
  ASSERT_TRUE(FindJobParam(kDefaultParams, "InputSlot", &value));
  EXPECT_EQ(value, "MainTray");
  value = "x";
  ASSERT_TRUE(FindJobParam(kDefaultParams, "job-uuid", &value));
  EXPECT_EQ(value, "");
  ASSERT_TRUE(FindJobParam(kDefaultParams, "AuthPassword", &value));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(FindJobParam(kDefaultParams, "pagesize", &value));  // keys are case-sensitive
  EXPECT_FALSE(FindJobParam(kDefaultParams, "Size", &value));      // whole keys only
  EXPECT_FALSE(FindJobParam("", "PageSize", &value));
}

TEST(FindJobParam, ValuesStandAsTheyAre) {
  const std::string params =
      "date-time-at-creation=2024-01-02, time-at-creation=99, DocName=report, final.pdf, "
      "HostName=host, LoginName=a=b, AuthID=, ";
  std::string value;
  ASSERT_TRUE(FindJobParam(params, "time-at-creation", &value));
  EXPECT_EQ(value, "99");
  ASSERT_TRUE(FindJobParam(params, "date-time-at-creation", &value));
  EXPECT_EQ(value, "2024-01-02");
  // The separator inside a document name does not start a record.
  ASSERT_TRUE(FindJobParam(params, "DocName", &value));
  EXPECT_EQ(value, "report, final.pdf");
  ASSERT_TRUE(FindJobParam(params, "HostName", &value));
  EXPECT_EQ(value, "host");
  ASSERT_TRUE(FindJobParam(params, "LoginName", &value));
  EXPECT_EQ(value, "a=b");
  EXPECT_EQ(SplitJobParams(params).size(), 6u);
}

// ---------------------------------------------------------------- page images

void SetPixel(PageBitmap *page, int x, int y) {
  const size_t index = y * PageBitmapStride(page->width) + x / 8;
  page->bits[index] |= static_cast<unsigned char>(0x80 >> (x % 8));
}

// Noise of the given density (percent black), the same for the same seed.
PageBitmap MakePage(int width, int height, uint32_t seed, int density) {
  PageBitmap page;
  page.width = width;
  page.height = height;
  page.bits.resize(PageBitmapStride(width) * static_cast<size_t>(height));
  std::mt19937 random(seed);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (static_cast<int>(random() % 100) < density) SetPixel(&page, x, y);
    }
  }
  return page;
}

// Encodes a page the way the filter does, with the real encoder.
Bytes Encode(const PageBitmap &page, const TempDir &dir, const std::vector<std::string> &flags) {
  const std::string pbm = dir.file("in.pbm");
  const std::string jbg = dir.file("out.jbg");
  std::string error;
  EXPECT_TRUE(WritePbmFile(pbm, page, &error)) << error;
  std::vector<std::string> argv{"pbmtojbg"};
  argv.insert(argv.end(), flags.begin(), flags.end());
  argv.push_back(pbm);
  argv.push_back(jbg);
  RunResult run = RunProgram(argv);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  Bytes bytes;
  EXPECT_TRUE(ReadWholeFile(jbg, &bytes, &error)) << error;
  return bytes;
}

std::vector<std::string> FilterFlags(const PageBitmap &page) {
  return {"-q", "-x", std::to_string(page.width), "-y", std::to_string(page.height), "-r",
          "-s", "128", "-o", "0", "-p", "8", "-m", "0"};
}

TEST(DecodeJbig, DecodesWhatTheEncoderMade) {
  TempDir dir;
  struct Size {
    int width, height, density;
  };
  // Widths off the byte grid, one pixel, and heights across the 128-line stripes.
  const Size sizes[] = {{1, 1, 100}, {7, 3, 50}, {8, 8, 30}, {13, 200, 20},
                        {640, 300, 5}, {1001, 257, 2}, {333, 129, 0}};
  for (const Size &size : sizes) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    PageBitmap source = MakePage(size.width, size.height, 7u + size.width, size.density);
    Bytes jbig = Encode(source, dir, FilterFlags(source));
    PageBitmap decoded;
    std::string error;
    ASSERT_TRUE(DecodeJbig(jbig.data(), jbig.size(), &decoded, &error)) << error;
    EXPECT_EQ(decoded.width, size.width);
    EXPECT_EQ(decoded.height, size.height);
    EXPECT_EQ(decoded.bits.size(), PageBitmapStride(size.width) * size.height);
    EXPECT_TRUE(SamePixels(decoded, source));
    EXPECT_EQ(IsAllWhite(decoded), size.density == 0);
  }
}

TEST(DecodeJbig, DecodesOtherEncoderSettings) {
  TempDir dir;
  PageBitmap source = MakePage(1200, 900, 3, 10);
  const std::vector<std::vector<std::string>> settings = {
      {},                      // resolution layers, typical prediction, interleaved
      {"-q"},                  // sequential with the encoder's defaults
      {"-q", "-Y", "1000"},    // height announced larger, settled by NEWLEN at the end
      {"-q", "-C", "a comment"},
  };
  for (const auto &flags : settings) {
    SCOPED_TRACE(flags.empty() ? "defaults" : flags.back());
    Bytes jbig = Encode(source, dir, flags);
    PageBitmap decoded;
    std::string error;
    ASSERT_TRUE(DecodeJbig(jbig.data(), jbig.size(), &decoded, &error)) << error;
    EXPECT_TRUE(SamePixels(decoded, source));
  }
}

TEST(DecodeJbig, RefusesImagesItCannotOrShouldNotDecode) {
  TempDir dir;
  PageBitmap source = MakePage(100, 40, 1, 20);
  const Bytes good = Encode(source, dir, FilterFlags(source));
  PageBitmap decoded;
  std::string error;

  EXPECT_FALSE(DecodeJbig(good.data(), 19, &decoded, &error));
  EXPECT_NE(error.find("too short"), std::string::npos) << error;
  EXPECT_FALSE(DecodeJbig(nullptr, 0, &decoded, &error));

  Bytes planes = good;
  planes[2] = 2;
  EXPECT_FALSE(DecodeJbig(planes.data(), planes.size(), &decoded, &error));
  EXPECT_NE(error.find("2 bit planes"), std::string::npos) << error;

  // 100000 x 100000 pixels would need 1.25 GB: refused from the header alone.
  Bytes huge = good;
  for (int field : {4, 8}) {
    huge[field] = 0x00;
    huge[field + 1] = 0x01;
    huge[field + 2] = 0x86;
    huge[field + 3] = 0xa0;
  }
  EXPECT_FALSE(DecodeJbig(huge.data(), huge.size(), &decoded, &error));
  EXPECT_NE(error.find("exceeds"), std::string::npos) << error;

  Bytes empty = good;
  empty[4] = empty[5] = empty[6] = empty[7] = 0;
  EXPECT_FALSE(DecodeJbig(empty.data(), empty.size(), &decoded, &error));

  Bytes trailing = good;
  trailing.push_back(0x42);
  EXPECT_FALSE(DecodeJbig(trailing.data(), trailing.size(), &decoded, &error));
  EXPECT_NE(error.find("follow the end"), std::string::npos) << error;

  EXPECT_TRUE(decoded.bits.empty());
}

TEST(DecodeJbig, TruncatedDataNeverDecodes) {
  TempDir dir;
  PageBitmap source = MakePage(300, 300, 5, 3);
  const Bytes good = Encode(source, dir, FilterFlags(source));
  ASSERT_GT(good.size(), 1000u);
  std::vector<size_t> sizes;
  // Every cut in and around the header and at the end, a sample in between.
  for (size_t size = 0; size < 64; ++size) sizes.push_back(size);
  for (size_t size = 64; size + 32 < good.size(); size += 37) sizes.push_back(size);
  for (size_t size = good.size() - 32; size < good.size(); ++size) sizes.push_back(size);
  for (size_t size : sizes) {
    // A fresh copy of exactly that size, so reading past it would be caught.
    Bytes prefix(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    PageBitmap decoded;
    std::string error;
    EXPECT_FALSE(DecodeJbig(prefix.data(), prefix.size(), &decoded, &error)) << size;
    EXPECT_FALSE(error.empty());
  }
}

TEST(DecodeJbig, GarbageNeverCrashes) {
  TempDir dir;
  PageBitmap source = MakePage(200, 150, 9, 20);
  const Bytes good = Encode(source, dir, FilterFlags(source));
  std::mt19937 random(12345);
  int decoded[4] = {0, 0, 0, 0};
  for (int trial = 0; trial < 2000; ++trial) {
    Bytes data;
    const int kind = trial % 4;
    switch (kind) {
      case 0:  // random bytes
        data.resize(random() % 600);
        for (auto &byte : data) byte = static_cast<unsigned char>(random());
        break;
      case 1:  // a valid header in front of random data
        data.assign(good.begin(), good.begin() + 20);
        data.resize(20 + random() % 2000);
        for (size_t i = 20; i < data.size(); ++i) data[i] = static_cast<unsigned char>(random());
        break;
      case 2:  // the good image with a few data bytes changed
        data = good;
        for (int flips = 1 + random() % 4; flips > 0; --flips) {
          const size_t at = 20 + random() % (data.size() - 20);
          data[at] ^= static_cast<unsigned char>(1 + random() % 255);
        }
        break;
      default: {  // one header byte changed; the image size stays, or decoding a huge
                  // page from a few bytes would only make the test slow
        data = good;
        static const int fields[] = {0, 1, 2, 3, 12, 13, 14, 15, 16, 17, 18, 19};
        data[fields[random() % 12]] ^= static_cast<unsigned char>(1 + random() % 255);
        break;
      }
    }
    PageBitmap page;
    std::string error;
    if (DecodeJbig(data.data(), data.size(), &page, &error)) {
      ++decoded[kind];
      // Whatever decodes is a whole page of the size its header gives.
      ASSERT_EQ(page.width, 200);
      ASSERT_EQ(page.height, 150);
      ASSERT_EQ(page.bits.size(), PageBitmapStride(200) * 150);
    } else {
      ASSERT_FALSE(error.empty());
    }
  }
  EXPECT_EQ(decoded[0], 0);
  EXPECT_EQ(decoded[1], 0);
}

TEST(PbmFile, WritesAndReadsTheRawFormat) {
  TempDir dir;
  PageBitmap page;
  page.width = 13;
  page.height = 2;
  page.bits = {0xff, 0xf8, 0x01, 0x00};
  std::string error;
  ASSERT_TRUE(WritePbmFile(dir.file("a.pbm"), page, &error)) << error;
  EXPECT_EQ(ReadFileText(dir.file("a.pbm")), std::string("P4\n13 2\n\xff\xf8\x01\x00", 12));
  PageBitmap back;
  ASSERT_TRUE(ReadPbmFile(dir.file("a.pbm"), &back, &error)) << error;
  EXPECT_EQ(back.width, 13);
  EXPECT_EQ(back.height, 2);
  EXPECT_EQ(back.bits, page.bits);

  WriteFileText(dir.file("c.pbm"),
                std::string("P4\n# made by hand\n8\t# width\n 2\r") + "\xa5\x5a");
  ASSERT_TRUE(ReadPbmFile(dir.file("c.pbm"), &back, &error)) << error;
  EXPECT_EQ(back.width, 8);
  EXPECT_EQ(back.height, 2);
  EXPECT_EQ(back.bits, (Bytes{0xa5, 0x5a}));
}

TEST(PbmFile, RefusesWhatIsNotARawBitmap) {
  TempDir dir;
  const struct {
    const char *name;
    std::string content;
    const char *message;
  } cases[] = {
      {"plain", "P1\n2 1\n1 0\n", "magic P4"},
      {"greymap", std::string("P5\n1 1\n255\n\0", 12), "magic P4"},
      {"empty file", "", "magic P4"},
      {"no height", "P4\n8\n", "height"},
      {"zero width", "P4\n0 1\n", "empty"},
      {"short data", std::string("P4\n16 2\n\0\0\0", 11), "3 bytes, the header announces 4"},
      {"long data", std::string("P4\n8 1\n\0\0", 9), "2 bytes, the header announces 1"},
      {"too large", "P4\n100000 100000\n", "exceeds"},
      {"overflowing width", "P4\n99999999999 1\n", "width"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    WriteFileText(dir.file("x.pbm"), c.content);
    PageBitmap page;
    std::string error;
    EXPECT_FALSE(ReadPbmFile(dir.file("x.pbm"), &page, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_TRUE(page.bits.empty());
  }
  PageBitmap page;
  std::string error;
  EXPECT_FALSE(ReadPbmFile(dir.file("missing.pbm"), &page, &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  page.width = 8;
  page.height = 2;
  page.bits = {0};  // one row short
  EXPECT_FALSE(WritePbmFile(dir.file("short.pbm"), page, &error));
  page.bits = {0, 0};
  EXPECT_FALSE(WritePbmFile(dir.file("no/such/dir.pbm"), page, &error));
  EXPECT_NE(error.find("no/such/dir.pbm"), std::string::npos) << error;
}

TEST(PngFile, BlackPixelsAreZeroInOneBitGrey) {
  TempDir dir;
  PageBitmap page;
  page.width = 10;
  page.height = 3;
  page.bits.assign(6, 0);
  SetPixel(&page, 0, 0);
  SetPixel(&page, 9, 1);
  SetPixel(&page, 4, 2);
  page.bits[1] |= 0x3f;  // padding of row 0: not pixels
  std::string error;
  ASSERT_TRUE(WritePngFile(dir.file("p.png"), page, &error)) << error;

  const std::string file = ReadFileText(dir.file("p.png"));
  ASSERT_GT(file.size(), 26u);
  EXPECT_EQ(file.substr(12, 4), "IHDR");
  EXPECT_EQ(file[24], 1);  // bit depth
  EXPECT_EQ(file[25], 0);  // colour type grey

  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, dir.file("p.png").c_str()));
  ASSERT_EQ(image.width, 10u);
  ASSERT_EQ(image.height, 3u);
  image.format = PNG_FORMAT_GRAY;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 10; ++x) {
      const bool black = (x == 0 && y == 0) || (x == 9 && y == 1) || (x == 4 && y == 2);
      EXPECT_EQ(pixels[y * 10 + x], black ? 0 : 255) << x << "," << y;
    }
  }

  EXPECT_FALSE(WritePngFile(dir.file("none/p.png"), page, &error));
  PageBitmap empty;
  EXPECT_FALSE(WritePngFile(dir.file("e.png"), empty, &error));
}

TEST(ComparePages, PaddingBitsAreNotPixels) {
  PageBitmap a;
  a.width = 12;
  a.height = 2;
  a.bits.assign(4, 0);
  PageBitmap b = a;
  b.bits[1] = 0x0f;  // the four padding bits of row 0
  b.bits[3] = 0x01;
  EXPECT_TRUE(SamePixels(a, b));
  EXPECT_TRUE(IsAllWhite(b));

  SetPixel(&b, 11, 1);  // the last visible pixel
  EXPECT_FALSE(SamePixels(a, b));
  EXPECT_FALSE(IsAllWhite(b));
  PageBitmap c = a;
  SetPixel(&c, 0, 0);
  EXPECT_FALSE(SamePixels(a, c));
  EXPECT_FALSE(IsAllWhite(c));

  PageBitmap wider = a;
  wider.width = 13;
  EXPECT_FALSE(SamePixels(a, wider));
  PageBitmap truncated = a;
  truncated.bits.resize(3);
  EXPECT_FALSE(SamePixels(a, truncated));
  EXPECT_FALSE(SamePixels(truncated, truncated));
  EXPECT_FALSE(IsAllWhite(truncated));

  PageBitmap byteWide;
  byteWide.width = 16;
  byteWide.height = 1;
  byteWide.bits = {0x00, 0x01};
  EXPECT_FALSE(IsAllWhite(byteWide));
  EXPECT_TRUE(IsAllWhite(PageBitmap()));
}

}  // namespace
