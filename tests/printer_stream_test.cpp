// The printer stream writer, checked byte for byte against hand-written records.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "PrinterStream.h"

namespace {

std::string Captured(FILE *file) {
  fflush(file);
  std::string bytes;
  rewind(file);
  int c;
  while ((c = fgetc(file)) != EOF) bytes.push_back(static_cast<char>(c));
  return bytes;
}

TEST(PrinterStream, JobHeaderIsMagicLengthAndStringWithoutTerminator) {
  FILE *out = tmpfile();
  ASSERT_NE(out, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(WriteJobHeader(out, "PageSize=A4, AuthPassword=pw, ",
                             "PageSize=A4, AuthPassword=********, ", StderrLog()));
  const std::string log = testing::internal::GetCapturedStderr();

  const std::string expected = std::string("kv7310_param\0\0\0\0", 16) + std::string("\x1e\0\0\0", 4) +
                               "PageSize=A4, AuthPassword=pw, ";
  EXPECT_EQ(Captured(out), expected);
  EXPECT_EQ(log,
            "DEBUG: job_params=PageSize=A4, AuthPassword=********,  \n"
            "DEBUG: job_params_size=30 \n");
  fclose(out);
}

TEST(PrinterStream, PageRecordFieldsAreLittleEndianWithTheGivenLastpage) {
  FILE *out = tmpfile();
  ASSERT_NE(out, nullptr);
  printer_header record;
  record.firstpage = 1;
  record.lastpage = 0;  // the record's own value; the writer emits the one it is given
  record.jbg_size = 0x01020304;
  record.pageno = 0x0a0b0c0d;
  const unsigned char data[] = {0xde, 0xad};
  // jbg_size and the data length differ here only to show that each is written as given.
  EXPECT_TRUE(WritePageRecord(out, record, 1, data, sizeof data));

  const std::string expected = std::string("kv7310_printer\0\0", 16) + std::string("\x01\0\0\0", 4) +
                               std::string("\x01\0\0\0", 4) + std::string("\x04\x03\x02\x01", 4) +
                               std::string("\x0d\x0c\x0b\x0a", 4) + std::string("\xde\xad", 2);
  EXPECT_EQ(Captured(out), expected);
  fclose(out);
}

TEST(PrinterStream, ConstructorDefaultsAndEmptyData) {
  printer_header record;
  EXPECT_EQ(std::string(record.magic, 16), std::string("kv7310_printer\0\0", 16));
  EXPECT_EQ(record.firstpage, 0);
  EXPECT_EQ(record.lastpage, 0);
  EXPECT_EQ(record.pageno, 1);

  FILE *out = tmpfile();
  ASSERT_NE(out, nullptr);
  record.jbg_size = 0;
  EXPECT_TRUE(WritePageRecord(out, record, 0, nullptr, 0));
  EXPECT_EQ(Captured(out).size(), 32u);
  fclose(out);
}

TEST(PrinterStream, WriteFailureIsReported) {
  FILE *out = fopen("/dev/full", "w");
  ASSERT_NE(out, nullptr);
  setvbuf(out, nullptr, _IONBF, 0);  // unbuffered, so the failing write is seen at once
  printer_header record;
  std::vector<unsigned char> data(100, 0x55);
  record.jbg_size = static_cast<uint32_t>(data.size());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(WriteJobHeader(out, "a=b, ", "a=b, ", StderrLog()));
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(WritePageRecord(out, record, 0, data.data(), data.size()));
  fclose(out);
}

}  // namespace
