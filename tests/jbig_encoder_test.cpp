// JBIG encoding through the external encoder: the command line and its log lines (with a
// stand-in encoder first in PATH), standard output kept clean, and the real encoder's
// files decoded again and compared pixel for pixel.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "JbigEncoder.h"
#include "PbmFile.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string PbmText(int width, int height, const Bytes &bits) {
  char header[64];
  snprintf(header, sizeof header, "P4\n%d %d\n", width, height);
  return std::string(header) + std::string(bits.begin(), bits.end());
}

std::string EncoderCommand(int width, int height, const std::string &pbm, const std::string &jbg) {
  return "pbmtojbg -q -x " + std::to_string(width) + " -y " + std::to_string(height) +
         " -r -s 128 -o 0 -p 8 -m 0 " + pbm + " " + jbg;
}

std::string ExpectedLog(int width, int height, const std::string &pbm, const std::string &jbg) {
  return "DEBUG: pbmtojbg. width:[" + std::to_string(width) + "], height:[" +
         std::to_string(height) + "], pbm_file:[" + pbm + "]" +
         "DEBUG: pbmtojbg: " + EncoderCommand(width, height, pbm, jbg) + "\n";
}

std::string Encode(const std::string &pbm, const std::string &jbg) {
  testing::internal::CaptureStderr();
  pbmtojbg(pbm.c_str(), jbg.c_str(), StderrLog());
  return testing::internal::GetCapturedStderr();
}

// A stand-in encoder placed first in PATH for the length of a test. It records its
// arguments, one a line, in `args` beside itself; the noisy one also writes to its
// standard output and error.
class StandInEncoder : public testing::Test {
 protected:
  void SetUp() override {
    const char *path = getenv("PATH");
    hadPath_ = path != nullptr;
    if (hadPath_) savedPath_ = path;
    Install(false);
    setenv("PATH", (bin_.path() + ":" + savedPath_).c_str(), 1);
  }
  void TearDown() override {
    if (hadPath_) {
      setenv("PATH", savedPath_.c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }

  void Install(bool noisy, const std::string &moreShell = "") {
    std::string script = "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + ArgsFile() + "'\n";
    if (noisy) script += "echo stand-in on stdout\necho stand-in on stderr >&2\n";
    script += moreShell;
    WriteFileText(bin_.file("pbmtojbg"), script);
    ASSERT_EQ(chmod(bin_.file("pbmtojbg").c_str(), 0755), 0);
  }
  std::string ArgsFile() const { return bin_.file("args"); }
  bool Ran() const { return FileExists(ArgsFile()); }
  std::vector<std::string> Args() const { return SplitLines(ReadFileText(ArgsFile())); }

  TempDir bin_;
  TempDir work_;

 private:
  bool hadPath_ = false;
  std::string savedPath_;
};

TEST_F(StandInEncoder, RunsTheExactCommandAndLogsIt) {
  const std::string pbm = work_.file("7_1_gs.pbm");
  const std::string jbg = work_.file("7-1.jbg");
  WriteFileText(pbm, PbmText(816, 600, Bytes(102 * 600, 0)));
  EXPECT_EQ(Encode(pbm, jbg), ExpectedLog(816, 600, pbm, jbg));
  const std::vector<std::string> expected{"-q", "-x", "816", "-y", "600", "-r", "-s",  "128",
                                          "-o", "0",  "-p",  "8",  "-m",  "0",  pbm, jbg};
  EXPECT_EQ(Args(), expected);
}

TEST_F(StandInEncoder, TheHeaderIsAllThatIsRead) {
  const std::string jbg = work_.file("out.jbg");
  const struct {
    const char *name;
    std::string text;
    int width;
    int height;
  } cases[] = {
      // Comments after the magic and the width give the same command as none.
      {"comments", "P4\n# page 1\n1001\n# rows\n300\n", 1001, 300},
      // Another magic with a readable size still goes to the encoder, which judges it.
      {"greymap", "P5\n17 4\n255\n", 17, 4},
      // Nothing past the height is looked at.
      {"no pixels", "P4\n9 3", 9, 3},
  };
  for (const auto &page : cases) {
    SCOPED_TRACE(page.name);
    const std::string pbm = work_.file(std::string(page.name) + ".pbm");
    WriteFileText(pbm, page.text);
    EXPECT_EQ(Encode(pbm, jbg), ExpectedLog(page.width, page.height, pbm, jbg));
    ASSERT_TRUE(Ran());
    EXPECT_EQ(Args()[2], std::to_string(page.width));
    EXPECT_EQ(Args()[4], std::to_string(page.height));
    unlink(ArgsFile().c_str());
  }
}

// Points fd 1 or 2 at a file for the life of the object, as the backend's pipe and the
// scheduler's log pipe would be. Unlike the test framework's capture, it flushes only its
// own stream, so that bytes left in the stdout buffer stay there.
class FdToFile {
 public:
  FdToFile(int fd, FILE *stream, const std::string &path) : fd_(fd), stream_(stream) {
    fflush(stream_);
    saved_ = dup(fd_);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, fd_);
    close(file);
  }
  ~FdToFile() {
    fflush(stream_);
    dup2(saved_, fd_);
    close(saved_);
  }

 private:
  int fd_;
  FILE *stream_;
  int saved_ = -1;
};

TEST_F(StandInEncoder, NothingReachesStandardOutput) {
  // The stand-in also notes what the printer stream held when it started.
  Install(true, "cat '" + work_.file("stdout") + "' > '" + work_.file("seen") + "'\n");
  const std::string pbm = work_.file("page.pbm");
  const std::string jbg = work_.file("page.jbg");
  WriteFileText(pbm, PbmText(16, 2, Bytes(4, 0)));
  {
    FdToFile log(STDERR_FILENO, stderr, work_.file("stderr"));
    FdToFile printerStream(STDOUT_FILENO, stdout, work_.file("stdout"));
    // Printer stream bytes still buffered when the encoder starts must keep their place.
    fputs("record 1|", stdout);
    pbmtojbg(pbm.c_str(), jbg.c_str(), StderrLog());
    fputs("record 2|", stdout);
  }
  const std::string log = ReadFileText(work_.file("stderr"));
  EXPECT_EQ(ReadFileText(work_.file("stdout")), "record 1|record 2|");
  EXPECT_EQ(ReadFileText(work_.file("seen")), "record 1|");
  EXPECT_TRUE(Ran());
  // What the encoder printed went to the log instead, between the two debug texts.
  EXPECT_EQ(log, "DEBUG: pbmtojbg. width:[16], height:[2], pbm_file:[" + pbm + "]" +
                     "stand-in on stdout\nstand-in on stderr\n" + "DEBUG: pbmtojbg: " +
                     EncoderCommand(16, 2, pbm, jbg) + "\n");
}

TEST_F(StandInEncoder, AClosedStandardOutputStaysClosed) {
  Install(true);
  const std::string pbm = work_.file("page.pbm");
  WriteFileText(pbm, PbmText(8, 1, Bytes(1, 0)));
  // The capture opens its file first, so that it cannot take the free descriptor 1.
  testing::internal::CaptureStderr();
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  close(STDOUT_FILENO);
  pbmtojbg(pbm.c_str(), work_.file("page.jbg").c_str(), StderrLog());
  const bool stillClosed = fcntl(STDOUT_FILENO, F_GETFD) == -1;
  dup2(saved, STDOUT_FILENO);
  close(saved);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(stillClosed);
  EXPECT_TRUE(Ran());
  EXPECT_NE(log.find("stand-in on stdout\n"), std::string::npos);
}

TEST_F(StandInEncoder, UnreadableOrMissingPagesRunNothing) {
  const std::string jbg = work_.file("out.jbg");
  const std::pair<const char *, std::string> unreadable[] = {
      {"comment only", "P4\n# nothing else"},
      {"letters for width", "P4\nwide 3\n"},
      {"height missing", "P4\n8\n"},
      {"width overflows", "P4\n99999999999 3\n"},
      {"empty", ""},
  };
  for (const auto &[name, text] : unreadable) {
    SCOPED_TRACE(name);
    const std::string pbm = work_.file("bad.pbm");
    WriteFileText(pbm, text);
    EXPECT_EQ(Encode(pbm, jbg), "ERROR: pbmtojbg: cannot read the size of " + pbm +
                                    ", not encoding it\n");
    EXPECT_FALSE(Ran());
  }
  EXPECT_EQ(Encode(work_.file("missing.pbm"), jbg),
            "Error opening input file: No such file or directory\n");
  EXPECT_FALSE(Ran());
}

TEST_F(StandInEncoder, ACommandMustFitItsBuffer) {
  const std::string pbm = work_.file("page.pbm");
  WriteFileText(pbm, PbmText(816, 600, Bytes(102 * 600, 0)));
  // The stand-in never opens the output, so its directory need not exist.
  const size_t fixed = EncoderCommand(816, 600, pbm, "").size();
  ASSERT_LT(fixed, ENCODER_COMMAND_BUFFER_SIZE - 2);
  const std::string base = work_.path() + "/";
  auto jbgOfCommandLength = [&](size_t length) {
    return base + std::string(length - fixed - base.size(), 'j');
  };

  // 511 characters and the terminating zero fill the buffer exactly.
  const std::string fits = jbgOfCommandLength(ENCODER_COMMAND_BUFFER_SIZE - 1);
  ASSERT_EQ(EncoderCommand(816, 600, pbm, fits).size(), ENCODER_COMMAND_BUFFER_SIZE - 1);
  EXPECT_EQ(Encode(pbm, fits), ExpectedLog(816, 600, pbm, fits));
  ASSERT_TRUE(Ran());
  EXPECT_EQ(Args().back(), fits);
  unlink(ArgsFile().c_str());

  for (size_t length : {size_t{ENCODER_COMMAND_BUFFER_SIZE}, size_t{4000}}) {
    const std::string tooLong = jbgOfCommandLength(length);
    EXPECT_EQ(Encode(pbm, tooLong), "ERROR: pbmtojbg: the encoder command for " + pbm +
                                        " does not fit 512 bytes, not encoding it\n");
    EXPECT_FALSE(Ran());
  }
}

// The result is the encoder's exit status, whatever file it leaves; the log lines stay the
// same either way, and the cause is the caller's to log.
TEST_F(StandInEncoder, TheExitStatusIsTheResult) {
  const std::string pbm = work_.file("page.pbm");
  const std::string jbg = work_.file("page.jbg");
  WriteFileText(pbm, PbmText(16, 2, Bytes(4, 0)));
  const struct {
    const char *shell;
    bool succeeds;
    const char *cause;
  } cases[] = {
      {"printf 'a page' > \"$last\"\n", true, ""},
      {"printf 'half a pa' > \"$last\"\nexit 1\n", false, "the encoder exited with status 1"},
      {"exit 2\n", false, "the encoder exited with status 2"},
      // The shell that runs the command reports a killed encoder as 128 + the signal.
      {"kill -KILL $$\n", false, "the encoder exited with status 137: killed by signal 9 (Killed)"},
      {"exit 127\n", false, "the encoder exited with status 127"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.shell);
    Install(false, std::string("for last in \"$@\"; do :; done\n") + c.shell);
    EncoderFailure failure;
    testing::internal::CaptureStderr();
    const bool encoded = pbmtojbg(pbm.c_str(), jbg.c_str(), StderrLog(), &failure);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(encoded, c.succeeds);
    EXPECT_STREQ(failure.cause, c.cause);
    // Between the two parts of the debug line: whatever the shell said ("Killed").
    const std::string first = "DEBUG: pbmtojbg. width:[16], height:[2], pbm_file:[" + pbm + "]";
    const std::string second = "DEBUG: pbmtojbg: " + EncoderCommand(16, 2, pbm, jbg) + "\n";
    EXPECT_EQ(log.substr(0, first.size()), first);
    ASSERT_GE(log.size(), first.size() + second.size());
    EXPECT_EQ(log.substr(log.size() - second.size()), second);
  }
  // Failures before the encoder runs have a cause too.
  EncoderFailure failure;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(pbmtojbg(work_.file("missing.pbm").c_str(), jbg.c_str(), StderrLog(), &failure));
  testing::internal::GetCapturedStderr();
  EXPECT_STREQ(failure.cause, "the page file cannot be opened: No such file or directory");
}

// ---------------------------------------------------------------------------------------
// The real encoder, checked by decoding its file with the real decoder.

struct Page {
  int width;
  int height;
  Bytes bits;
};

Page RandomPage(int width, int height, unsigned seed) {
  Page page{width, height, Bytes(static_cast<size_t>(PbmStride(width) * height))};
  std::mt19937 random(seed);
  for (auto &byte : page.bits) byte = static_cast<unsigned char>(random());
  // The decoder writes white padding; a page made with white padding can be compared whole.
  const int64_t stride = PbmStride(width);
  const int pad = static_cast<int>(stride * 8 - width);
  for (int r = 0; r < height; ++r) {
    page.bits[(r + 1) * stride - 1] &= static_cast<unsigned char>(0xFF << pad);
  }
  return page;
}

// Lines of short strokes on white, as text is.
Page TextPage(int width, int height, unsigned seed) {
  Page page{width, height, Bytes(static_cast<size_t>(PbmStride(width) * height), 0)};
  std::mt19937 random(seed);
  for (int top = 20; top + 40 < height; top += 50) {
    for (int col = 30; col + 30 < width; col += 24) {
      if (random() % 6 == 0) continue;
      const int x = col + static_cast<int>(random() % 16);
      for (int y = top; y < top + 30; ++y) {
        for (int w = 0; w < 4; ++w) {
          page.bits[y * PbmStride(width) + (x + w) / 8] |=
              static_cast<unsigned char>(0x80 >> ((x + w) % 8));
        }
      }
    }
  }
  return page;
}

uint32_t BigEndian32(const std::string &bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 24 |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
}

// The decoder pads its header numbers with blanks, so the page is read back through the
// header reader rather than compared as text.
Page ReadDecodedPage(const std::string &path) {
  Page page{0, 0, {}};
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) return page;
  char magic[3];
  if (ReadPbmHeader(file, magic, &page.width, &page.height) && strcmp(magic, "P4") == 0 &&
      page.width > 0 && page.height > 0 && fgetc(file) == '\n') {
    page.bits.resize(static_cast<size_t>(PbmStride(page.width) * page.height));
    if (fread(page.bits.data(), 1, page.bits.size(), file) != page.bits.size() ||
        fgetc(file) != EOF) {
      page.bits.clear();
    }
  }
  fclose(file);
  return page;
}

size_t CountMarker(const std::string &data, unsigned char marker) {
  size_t count = 0;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (static_cast<unsigned char>(data[i]) == 0xFF &&
        static_cast<unsigned char>(data[i + 1]) == marker) {
      ++count;
    }
  }
  return count;
}

TEST(RealEncoder, DecodesToTheSamePage) {
  TempDir dir;
  const Page pages[] = {
      RandomPage(1001, 300, 1), TextPage(1237, 701, 2), RandomPage(1, 1, 3),
      RandomPage(13, 129, 4),   RandomPage(129, 257, 5), TextPage(816, 128, 6),
      RandomPage(3, 1000, 7),
  };
  for (const Page &page : pages) {
    SCOPED_TRACE(std::to_string(page.width) + "x" + std::to_string(page.height));
    const std::string pbm = dir.file("page.pbm");
    const std::string jbg = dir.file("page.jbg");
    const std::string decoded = dir.file("decoded.pbm");
    unlink(jbg.c_str());
    WriteFileText(pbm, PbmText(page.width, page.height, page.bits));
    EXPECT_EQ(Encode(pbm, jbg), ExpectedLog(page.width, page.height, pbm, jbg));

    // The image header: one plane at full resolution, 128-line stripes, no order flags,
    // typical prediction only, the adaptive pixel in its place.
    const std::string image = ReadFileText(jbg);
    ASSERT_GT(image.size(), 20u);
    EXPECT_EQ(image.substr(0, 4), std::string("\x00\x00\x01\x00", 4));
    EXPECT_EQ(BigEndian32(image, 4), static_cast<uint32_t>(page.width));
    EXPECT_EQ(BigEndian32(image, 8), static_cast<uint32_t>(page.height));
    EXPECT_EQ(BigEndian32(image, 12), 128u);
    EXPECT_EQ(image.substr(16, 4), std::string("\x00\x00\x00\x08", 4));
    // Every stripe ends in a reset marker, none in a plain stripe end.
    const std::string stripes = image.substr(20);
    EXPECT_EQ(CountMarker(stripes, 0x03), static_cast<size_t>((page.height + 127) / 128));
    EXPECT_EQ(CountMarker(stripes, 0x02), 0u);

    const RunResult run = RunProgram({"jbgtopbm", jbg, decoded});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const Page back = ReadDecodedPage(decoded);
    EXPECT_EQ(back.width, page.width);
    EXPECT_EQ(back.height, page.height);
    EXPECT_TRUE(back.bits == page.bits) << "the decoded page differs from the encoded one";
  }
}

TEST(RealEncoder, AQuarterTurnedPageEncodesWithItsTurnedSize) {
  TempDir dir;
  const Page page = TextPage(333, 517, 9);
  const std::string pbm = dir.file("page.pbm");
  const std::string turned = dir.file("turned.pbm");
  const std::string jbg = dir.file("turned.jbg");
  WriteFileText(pbm, PbmText(page.width, page.height, page.bits));
  testing::internal::CaptureStderr();
  ASSERT_EQ(rotatePbm(pbm.c_str(), turned.c_str(), -90, StderrLog()), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Encode(turned, jbg), ExpectedLog(517, 333, turned, jbg));
  const RunResult run = RunProgram({"jbgtopbm", jbg, dir.file("decoded.pbm")});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const Page back = ReadDecodedPage(dir.file("decoded.pbm"));
  const Page expected = ReadDecodedPage(turned);
  EXPECT_EQ(back.width, 517);
  EXPECT_EQ(back.height, 333);
  EXPECT_TRUE(back.bits == expected.bits) << "the decoded page differs from the encoded one";
}

}  // namespace
