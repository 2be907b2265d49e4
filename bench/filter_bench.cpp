// filter_bench: what the whole filter and quenmark_convert (the in-process path, pages
// encoded on every core) cost per page against the JBIG encoder alone, and how much
// memory they take.
//
// The corpus is made on the fly: a PostScript document of text pages with a dense page
// (a halftoned picture over small type) now and then, rasterized by CUPS's own filter
// chain (cupsfilter with the shipped PPD) into a 1-bit 600 dpi raster, once in A4 and once
// in A5. The same pages are written as PBM files, the A5 ones turned as the filter turns a
// sheet fed long edge first. Each round then times, interleaved, the encoder alone (the
// filter's own encoder command line, taken from its log, run through "sh -c" once per
// page) and the whole filter on the raster stream. Every output of the filter is parsed,
// every record decoded and compared with its source page, so a broken filter cannot look
// fast.

#include <cups/raster.h>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchCorpus.h"
#include "StreamReader.h"

extern char **environ;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: filter_bench [options]\n"
    "  --rounds N       timed rounds per job and per run (default 9; the median is shown)\n"
    "  --a4-pages N     pages of the A4 one-sided job (default 24, at least 20)\n"
    "  --a5-pages N     pages of the A5 long-edge-first job (default 8, at least 5)\n"
    "  --filter PATH    the filter (default: the one of this build)\n"
    "  --ppd PATH       the printer's PPD (default: the one of this build)\n"
    "  --keep           keep the corpus and the outputs (the directory is named)\n"
    "  --enforce-goals  fail also when a ratio or the memory misses its goal\n"
    "  --instructions   also count the instructions of one run of each under valgrind\n"
    "  --memory         instead of the timed rounds: the peak resident memory of A4 jobs of\n"
    "                   10 and of 40 pages, three checked runs of each\n";

// Goals, on the machine the figures are taken on.
constexpr double kA4RatioGoal = 1.05;
constexpr double kA5LongEdgeRatioGoal = 1.08;
constexpr double kA4PeakMiBGoal = 24.0;
// The in-process path encodes with the core's own coder on every core: at most this share
// of the encoder alone's (pbmtojbg's) time for A4, and this much memory for a 40-page A4 job.
constexpr double kConvertA4RatioGoal = 0.15;
constexpr double kConvertPeakMiBGoal = 64.0;
// Below this share of CPU time in a run's wall time, the machine was busy with other work.
constexpr double kBusyCpuShare = 0.9;

struct Options {
  int rounds = 9;
  int a4Pages = 24;
  int a5Pages = 8;
  std::string filter = QUENMARK_FILTER_PATH;
  std::string ppd = QUENMARK_PPD_PATH;
  std::string convert = QUENMARK_CONVERT_PATH;
  bool keep = false;
  bool enforceGoals = false;
  bool instructions = false;
  bool memory = false;
};

// One benchmarked job: its raster, its pages as the filter must encode them, and the
// encoder-alone commands for them.
struct Job {
  std::string name;      // as shown in the table
  std::string key;       // file name part: a4, a5l
  std::string pageSize;  // PPD choice
  std::string options;   // the filter's options argument
  std::vector<std::string> convertArgs;  // the same settings for quenmark_convert
  int pageCount = 0;
  int denseEvery = 0;
  double widthPt = 0;
  double heightPt = 0;
  bool turned = false;  // the filter turns every page by -90 degrees
  double ratioGoal = 0;
  std::string dir;  // this job's files
  std::string raster;
  std::vector<PageBitmap> expected;   // pages as encoded: turned when the filter turns them
  std::vector<std::string> commands;  // encoder alone, one per page
  std::vector<std::vector<unsigned char>> jbig;  // the encoder's output, from the first run
  std::vector<double> encoderSeconds;
  std::vector<double> filterSeconds;
  std::vector<double> encoderCpuSeconds;
  std::vector<double> filterCpuSeconds;
  std::vector<double> convertSeconds;
  std::vector<double> convertCpuSeconds;
  long encoderPeakKiB = 0;
  long filterPeakKiB = 0;
  long convertPeakKiB = 0;
};

struct ChildResult {
  bool started = false;
  int status = 0;
  double seconds = 0;     // wall time from the start to the end of the wait
  double cpuSeconds = 0;  // user and system time of the child and what it waited for
  long maxRssKiB = 0;
};

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool Fail(const std::string &message) {
  fprintf(stderr, "filter_bench: %s\n", message.c_str());
  return false;
}

double Seconds(const timeval &time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

// Runs argv with the three standard descriptors opened on the named files (empty name:
// /dev/null), waits for it and takes its times and peak resident size. wait4's peak is
// the largest of the child and the children it waited for, so for the filter it covers
// the shell and the encoder it starts too.
ChildResult SpawnAndWait(const std::vector<std::string> &args, const std::vector<std::string> &env,
                         const std::string &in, const std::string &out, const std::string &err) {
  ChildResult result;
  std::vector<char *> argv;
  for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (const std::string &entry : env) envp.push_back(const_cast<char *>(entry.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.empty() ? "/dev/null" : in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.empty() ? "/dev/null" : out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.empty() ? "/dev/null" : err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const double start = Now();
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    fprintf(stderr, "filter_bench: cannot start %s: %s\n", argv[0], strerror(spawned));
    return result;
  }
  rusage usage;
  memset(&usage, 0, sizeof usage);
  int status = 0;
  pid_t waited;
  do {
    waited = wait4(pid, &status, 0, &usage);
  } while (waited < 0 && errno == EINTR);
  result.seconds = Now() - start;
  result.started = waited == pid;
  result.status = status;
  result.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  result.maxRssKiB = usage.ru_maxrss;
  return result;
}

// The children are started by a small process forked before the bench loads any page.
// A child started straight from the bench would inherit, at its exec, the bench's own
// peak resident size (some hundred MiB of pages kept for the checks) as the floor of its
// ru_maxrss; the launcher's floor is the few MiB the bench had when it began.
struct Launcher {
  pid_t pid = -1;
  int requests = -1;  // bench -> launcher
  int replies = -1;   // launcher -> bench
};

bool WriteAll(int fd, const void *data, size_t size) {
  const char *bytes = static_cast<const char *>(data);
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool ReadAll(int fd, void *data, size_t size) {
  char *bytes = static_cast<char *>(data);
  while (size > 0) {
    const ssize_t got = read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteStrings(int fd, const std::vector<std::string> &strings) {
  const uint32_t count = static_cast<uint32_t>(strings.size());
  if (!WriteAll(fd, &count, sizeof count)) return false;
  for (const std::string &text : strings) {
    const uint32_t length = static_cast<uint32_t>(text.size());
    if (!WriteAll(fd, &length, sizeof length) || !WriteAll(fd, text.data(), length)) return false;
  }
  return true;
}

bool ReadStrings(int fd, std::vector<std::string> *strings) {
  uint32_t count = 0;
  if (!ReadAll(fd, &count, sizeof count)) return false;
  strings->assign(count, std::string());
  for (std::string &text : *strings) {
    uint32_t length = 0;
    if (!ReadAll(fd, &length, sizeof length)) return false;
    text.resize(length);
    if (length > 0 && !ReadAll(fd, text.data(), length)) return false;
  }
  return true;
}

// The launcher's loop: one request (argv, environment, the three file names), one reply.
[[noreturn]] void ServeLaunches(int requests, int replies) {
  std::vector<std::string> args, env, files;
  while (ReadStrings(requests, &args) && ReadStrings(requests, &env) &&
         ReadStrings(requests, &files) && files.size() == 3) {
    const ChildResult result = SpawnAndWait(args, env, files[0], files[1], files[2]);
    if (!WriteAll(replies, &result, sizeof result)) break;
  }
  _exit(0);
}

bool StartLauncher(Launcher *launcher) {
  int toLauncher[2];
  int fromLauncher[2];
  if (pipe(toLauncher) != 0) return Fail(std::string("pipe: ") + strerror(errno));
  if (pipe(fromLauncher) != 0) return Fail(std::string("pipe: ") + strerror(errno));
  const pid_t pid = fork();
  if (pid < 0) return Fail(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    close(toLauncher[1]);
    close(fromLauncher[0]);
    ServeLaunches(toLauncher[0], fromLauncher[1]);
  }
  close(toLauncher[0]);
  close(fromLauncher[1]);
  fcntl(toLauncher[1], F_SETFD, FD_CLOEXEC);
  fcntl(fromLauncher[0], F_SETFD, FD_CLOEXEC);
  launcher->pid = pid;
  launcher->requests = toLauncher[1];
  launcher->replies = fromLauncher[0];
  return true;
}

void StopLauncher(Launcher *launcher) {
  close(launcher->requests);
  close(launcher->replies);
  int status = 0;
  while (waitpid(launcher->pid, &status, 0) < 0 && errno == EINTR) {
  }
}

ChildResult RunChild(const Launcher &launcher, const std::vector<std::string> &args,
                     const std::vector<std::string> &env, const std::string &in,
                     const std::string &out, const std::string &err) {
  ChildResult result;
  if (!WriteStrings(launcher.requests, args) || !WriteStrings(launcher.requests, env) ||
      !WriteStrings(launcher.requests, {in, out, err}) ||
      !ReadAll(launcher.replies, &result, sizeof result)) {
    Fail("the launcher stopped");
    return ChildResult();
  }
  return result;
}

bool ExitedZero(const ChildResult &child) {
  return child.started && WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0;
}

std::vector<std::string> Environment() {
  std::vector<std::string> env;
  for (char **entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
  return env;
}

bool WriteText(const std::string &path, const std::string &text) {
  FILE *file = fopen(path.c_str(), "w");
  if (file == nullptr) return Fail("cannot create " + path + ": " + strerror(errno));
  const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
  return fclose(file) == 0 && written ? true : Fail("cannot write " + path);
}

std::string ReadText(const std::string &path) {
  std::vector<unsigned char> bytes;
  std::string error;
  if (!ReadWholeFile(path, &bytes, &error)) return std::string();
  return std::string(bytes.begin(), bytes.end());
}

std::string FindCupsfilter() {
  if (access("/usr/sbin/cupsfilter", X_OK) == 0) return "/usr/sbin/cupsfilter";
  return "cupsfilter";
}

bool MakeRaster(const Launcher &launcher, const Options &options, Job &job) {
  const std::string document = job.dir + "/document.ps";
  if (!WriteText(document, CorpusDocument(job.widthPt, job.heightPt, job.pageCount, job.denseEvery))) {
    return false;
  }
  job.raster = job.dir + "/job.ras";
  const ChildResult child =
      RunChild(launcher,
               {FindCupsfilter(), "-p", options.ppd, "-m", "application/vnd.cups-raster", "-o",
                "PageSize=" + job.pageSize, document},
               Environment(), "", job.raster, job.dir + "/cupsfilter.log");
  if (!ExitedZero(child)) {
    return Fail("cupsfilter could not rasterize " + document + "; see " + job.dir +
                "/cupsfilter.log");
  }
  return true;
}

// The raster's pages, read with libcups as the filter reads them; set bits black.
bool ReadRasterPages(const Job &job, std::vector<PageBitmap> *pages) {
  const int fd = open(job.raster.c_str(), O_RDONLY);
  if (fd < 0) return Fail("cannot open " + job.raster + ": " + strerror(errno));
  cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
  cups_page_header2_t header;
  bool ok = raster != nullptr;
  while (ok && cupsRasterReadHeader2(raster, &header)) {
    const uint64_t stride = PageBitmapStride(header.cupsWidth);
    if (header.cupsBitsPerPixel != 1 || header.cupsBytesPerLine != stride ||
        header.HWResolution[0] != 600 || header.HWResolution[1] != 600) {
      ok = Fail("the rasterizer made a page of " + std::to_string(header.cupsBitsPerPixel) +
                " bits per pixel at " + std::to_string(header.HWResolution[0]) +
                " dpi; the corpus needs 1-bit 600 dpi");
      break;
    }
    PageBitmap page;
    page.width = static_cast<int>(header.cupsWidth);
    page.height = static_cast<int>(header.cupsHeight);
    page.bits.assign(stride * header.cupsHeight, 0);
    const unsigned want = static_cast<unsigned>(page.bits.size());
    if (cupsRasterReadPixels(raster, page.bits.data(), want) != want) {
      ok = Fail("short raster page in " + job.raster);
      break;
    }
    if (header.cupsColorSpace == CUPS_CSPACE_W || header.cupsColorSpace == CUPS_CSPACE_SW) {
      for (unsigned char &byte : page.bits) byte = static_cast<unsigned char>(~byte);
    }
    pages->push_back(std::move(page));
  }
  if (raster != nullptr) cupsRasterClose(raster);
  close(fd);
  return ok;
}

// The quarter turn by -90 degrees, pixel by pixel, as the printer must see an A5 sheet fed
// long edge first: source pixel (r, c) lands at row width - 1 - c, column r. Written out
// here rather than taken from the filter, so that a wrong turn in the filter is caught.
PageBitmap TurnedCounterClockwise(const PageBitmap &page) {
  PageBitmap turned;
  turned.width = page.height;
  turned.height = page.width;
  const uint64_t srcStride = PageBitmapStride(page.width);
  const uint64_t dstStride = PageBitmapStride(turned.width);
  turned.bits.assign(dstStride * turned.height, 0);
  for (int r = 0; r < page.height; ++r) {
    const unsigned char *row = page.bits.data() + r * srcStride;
    for (int c = 0; c < page.width; ++c) {
      if ((row[c / 8] >> (7 - c % 8) & 1) == 0) continue;
      turned.bits[(page.width - 1 - c) * dstStride + r / 8] |=
          static_cast<unsigned char>(0x80 >> (r % 8));
    }
  }
  return turned;
}

std::string PagePath(const Job &job, int page, const char *suffix) {
  return job.dir + "/page-" + std::to_string(page) + suffix;
}

bool MakePages(const Launcher &launcher, const Options &options, Job &job) {
  if (!MakeRaster(launcher, options, job)) return false;
  std::vector<PageBitmap> pages;
  if (!ReadRasterPages(job, &pages)) return false;
  if (static_cast<int>(pages.size()) != job.pageCount) {
    return Fail(job.raster + " holds " + std::to_string(pages.size()) + " pages, " +
                std::to_string(job.pageCount) + " expected");
  }
  for (size_t i = 0; i < pages.size(); ++i) {
    PageBitmap page = job.turned ? TurnedCounterClockwise(pages[i]) : std::move(pages[i]);
    std::string error;
    if (!WritePbmFile(PagePath(job, static_cast<int>(i) + 1, ".pbm"), page, &error)) {
      return Fail(error);
    }
    job.expected.push_back(std::move(page));
  }
  return true;
}

std::vector<std::string> FilterArgs(const Options &options, const Job &job) {
  return {options.filter, "4242", "bench", job.key + ".ps", "1", job.options};
}

ChildResult RunFilter(const Launcher &launcher, const Options &options, const Job &job) {
  std::vector<std::string> env = Environment();
  env.push_back("PPD=" + options.ppd);
  return RunChild(launcher, FilterArgs(options, job), env, job.raster, job.dir + "/filter.prn",
                  job.dir + "/filter.log");
}

ChildResult RunConvert(const Launcher &launcher, const Options &options, const Job &job) {
  std::vector<std::string> args{options.convert};
  args.insert(args.end(), job.convertArgs.begin(), job.convertArgs.end());
  return RunChild(launcher, args, Environment(), job.raster, job.dir + "/convert.prn",
                  job.dir + "/convert.log");
}

// The encoder command lines as the filter ran them, from its log; only the two file
// names are changed, to this job's own PBM and JBIG files.
bool TakeEncoderCommands(Job &job) {
  const std::string log = ReadText(job.dir + "/filter.log");
  static const char kMarker[] = "DEBUG: pbmtojbg: ";
  size_t at = 0;
  while ((at = log.find(kMarker, at)) != std::string::npos) {
    at += sizeof kMarker - 1;
    const size_t end = log.find('\n', at);
    std::string command = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
    const size_t lastBlank = command.rfind(' ');
    const size_t inputBlank = lastBlank == std::string::npos || lastBlank == 0
                                  ? std::string::npos
                                  : command.rfind(' ', lastBlank - 1);
    if (inputBlank == std::string::npos) return Fail("cannot read the encoder command: " + command);
    const int page = static_cast<int>(job.commands.size()) + 1;
    if (page > job.pageCount) return Fail("the filter ran the encoder more often than once a page");
    const PageBitmap &expected = job.expected[page - 1];
    const std::string size =
        " -x " + std::to_string(expected.width) + " -y " + std::to_string(expected.height) + " ";
    if (command.find(size) == std::string::npos) {
      return Fail("the filter encoded page " + std::to_string(page) + " with '" + command +
                  "', not at the page's size" + size);
    }
    job.commands.push_back(command.substr(0, inputBlank) + " " + PagePath(job, page, ".pbm") + " " +
                           PagePath(job, page, ".jbg"));
  }
  if (static_cast<int>(job.commands.size()) != job.pageCount) {
    return Fail("the filter's log names " + std::to_string(job.commands.size()) +
                " encoder runs for " + std::to_string(job.pageCount) + " pages");
  }
  return true;
}

// The encoder alone, once per page through the shell, as the filter's system() does.
ChildResult RunEncoder(const Launcher &launcher, const Job &job) {
  ChildResult total;
  total.started = true;
  const std::vector<std::string> env = Environment();
  for (const std::string &command : job.commands) {
    const ChildResult child = RunChild(launcher, {"/bin/sh", "-c", command}, env, "", "", "");
    total.seconds += child.seconds;
    total.cpuSeconds += child.cpuSeconds;
    total.maxRssKiB = std::max(total.maxRssKiB, child.maxRssKiB);
    if (!ExitedZero(child)) {
      total.status = child.status;
      total.started = child.started;
      fprintf(stderr, "filter_bench: the encoder failed: %s\n", command.c_str());
      break;
    }
  }
  return total;
}

bool CheckEncoderOutput(Job &job, bool first) {
  for (int page = 1; page <= job.pageCount; ++page) {
    std::vector<unsigned char> bytes;
    std::string error;
    if (!ReadWholeFile(PagePath(job, page, ".jbg"), &bytes, &error)) return Fail(error);
    if (first) {
      PageBitmap decoded;
      if (!DecodeJbig(bytes.data(), bytes.size(), &decoded, &error)) {
        return Fail(job.name + ", encoder alone, page " + std::to_string(page) + ": " + error);
      }
      if (!SamePixels(decoded, job.expected[page - 1])) {
        return Fail(job.name + ", encoder alone, page " + std::to_string(page) +
                    ": the decoded page differs from the source page");
      }
      job.jbig.push_back(std::move(bytes));
    } else if (bytes != job.jbig[page - 1]) {
      return Fail(job.name + ", encoder alone, page " + std::to_string(page) +
                  ": the JBIG data changed between runs");
    }
  }
  return true;
}

// The filter's stream must hold every page: the records in order, each one's JBIG data
// the encoder's own for that page, decoding to the source page bit for bit.
// The same holds for quenmark_convert's stream (run "convert").
bool CheckStreamOutput(const Job &job, const ChildResult &child, const std::string &run) {
  const std::string where = job.name + ", " + run + ": ";
  if (!ExitedZero(child)) {
    return Fail(where + "exit status " + std::to_string(WEXITSTATUS(child.status)) +
                ", its log is " + job.dir + "/" + run + ".log");
  }
  std::vector<unsigned char> bytes;
  std::string error;
  if (!ReadWholeFile(job.dir + "/" + run + ".prn", &bytes, &error)) return Fail(where + error);
  ParsedStream stream;
  if (!ParsePrinterStream(bytes, &stream, &error) || !CheckRecordSequence(stream, &error)) {
    return Fail(where + error);
  }
  if (static_cast<int>(stream.records.size()) != job.pageCount) {
    return Fail(where + std::to_string(stream.records.size()) + " page records for " +
                std::to_string(job.pageCount) + " pages");
  }
  for (int page = 1; page <= job.pageCount; ++page) {
    const StreamRecord &record = stream.records[page - 1];
    const unsigned char *data = bytes.data() + record.dataOffset;
    const std::vector<unsigned char> &encoded = job.jbig[page - 1];
    if (record.jbg_size != encoded.size() || memcmp(data, encoded.data(), encoded.size()) != 0) {
      return Fail(where + "page " + std::to_string(page) +
                  " is not the encoder's JBIG data for the page");
    }
    PageBitmap decoded;
    if (!DecodeJbig(data, record.jbg_size, &decoded, &error)) {
      return Fail(where + "page " + std::to_string(page) + ": " + error);
    }
    if (!SamePixels(decoded, job.expected[page - 1])) {
      return Fail(where + "page " + std::to_string(page) + " differs from the source page");
    }
  }
  return true;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Dirty page files of one run must not be written back during the next one.
void SettleDisk() { sync(); }

bool TimeEncoder(const Launcher &launcher, Job &job) {
  SettleDisk();
  const ChildResult run = RunEncoder(launcher, job);
  if (!ExitedZero(run)) return false;
  job.encoderSeconds.push_back(run.seconds);
  job.encoderCpuSeconds.push_back(run.cpuSeconds);
  job.encoderPeakKiB = std::max(job.encoderPeakKiB, run.maxRssKiB);
  return CheckEncoderOutput(job, false);
}

// Runs of the filter take turns at the work directory /tmp/quenmark, so another job on the
// machine only makes a run wait (and its time longer). A filter that an older build left
// running does not take turns and can clear the directory under our feet: a failed run is
// tried again once, and named. A broken filter fails every time.
constexpr int kFilterAttempts = 2;

// check: false for the first run, whose log gives the encoder commands that the check
// needs; that run must only end well.
bool RunFilterChecked(const Launcher &launcher, const Options &options, const Job &job, bool check,
                      ChildResult *run) {
  for (int attempt = 1;; ++attempt) {
    SettleDisk();
    *run = RunFilter(launcher, options, job);
    if (check ? CheckStreamOutput(job, *run, "filter")
              : ExitedZero(*run) || Fail(job.name + ", filter: exit status " +
                                         std::to_string(WEXITSTATUS(run->status)) +
                                         ", its log is " + job.dir + "/filter.log")) {
      return true;
    }
    if (attempt == kFilterAttempts) return false;
    fprintf(stderr, "filter_bench: %s: trying the filter again\n", job.name.c_str());
  }
}

bool TimeFilter(const Launcher &launcher, const Options &options, Job &job) {
  ChildResult run;
  if (!RunFilterChecked(launcher, options, job, true, &run)) return false;
  job.filterSeconds.push_back(run.seconds);
  job.filterCpuSeconds.push_back(run.cpuSeconds);
  job.filterPeakKiB = std::max(job.filterPeakKiB, run.maxRssKiB);
  return true;
}

bool TimeConvert(const Launcher &launcher, const Options &options, Job &job) {
  SettleDisk();
  const ChildResult run = RunConvert(launcher, options, job);
  if (!CheckStreamOutput(job, run, "convert")) return false;
  job.convertSeconds.push_back(run.seconds);
  job.convertCpuSeconds.push_back(run.cpuSeconds);
  job.convertPeakKiB = std::max(job.convertPeakKiB, run.maxRssKiB);
  return true;
}

std::string CpuModel() {
  const std::string info = ReadText("/proc/cpuinfo");
  const size_t at = info.find("model name");
  if (at == std::string::npos) return "unknown";
  const size_t colon = info.find(':', at);
  const size_t end = info.find('\n', at);
  return info.substr(colon + 2, end - colon - 2);
}

std::string Today() {
  char text[64];
  const time_t now = time(nullptr);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", gmtime(&now));
  return text;
}

double MiB(long kib) { return static_cast<double>(kib) / 1024.0; }

bool PrintTable(const Options &options, const std::vector<Job> &jobs, long floorKiB) {
  utsname system;
  uname(&system);
  printf("\nmachine: %ld cores, %s, Linux %s; %s\n", sysconf(_SC_NPROCESSORS_ONLN),
         CpuModel().c_str(), system.release, Today().c_str());
  printf(
      "median of %d interleaved rounds; CPU is user + system time of the run and its "
      "children;\npeak RSS is the largest of the process and the children it waited for "
      "(floor of the measurement: %.1f MiB)\n\n",
      options.rounds, MiB(floorKiB));
  printf(
      "| job | pages | run | s/page | pages/s | CPU s/page | peak RSS | filter/encoder | "
      "CPU filter/encoder |\n");
  printf("|---|---:|---|---:|---:|---:|---:|---:|---:|\n");
  bool goalsMet = true;
  for (const Job &job : jobs) {
    const double encoder = Median(job.encoderSeconds);
    const double filter = Median(job.filterSeconds);
    const double encoderCpu = Median(job.encoderCpuSeconds);
    const double filterCpu = Median(job.filterCpuSeconds);
    const double ratio = filter / encoder;
    printf("| %s | %d | encoder alone | %.4f | %.2f | %.4f | %.1f MiB | | |\n", job.name.c_str(),
           job.pageCount, encoder / job.pageCount, job.pageCount / encoder,
           encoderCpu / job.pageCount, MiB(job.encoderPeakKiB));
    printf("| %s | %d | filter | %.4f | %.2f | %.4f | %.1f MiB | %.3f | %.3f |\n", job.name.c_str(),
           job.pageCount, filter / job.pageCount, job.pageCount / filter, filterCpu / job.pageCount,
           MiB(job.filterPeakKiB), ratio, filterCpu / encoderCpu);
    goalsMet = ratio <= job.ratioGoal && goalsMet;
    const double convert = Median(job.convertSeconds);
    printf("| %s | %d | quenmark_convert | %.4f | %.2f | %.4f | %.1f MiB | %.3f | %.3f |\n",
           job.name.c_str(), job.pageCount, convert / job.pageCount, job.pageCount / convert,
           Median(job.convertCpuSeconds) / job.pageCount, MiB(job.convertPeakKiB),
           convert / encoder, Median(job.convertCpuSeconds) / encoderCpu);
  }
  printf("\n");
  double leastCpuShare = 1;
  for (const Job &job : jobs) {
    std::vector<double> ratios;
    for (size_t i = 0; i < job.filterSeconds.size(); ++i) {
      ratios.push_back(job.filterSeconds[i] / job.encoderSeconds[i]);
      leastCpuShare = std::min({leastCpuShare, job.filterCpuSeconds[i] / job.filterSeconds[i],
                                job.encoderCpuSeconds[i] / job.encoderSeconds[i]});
    }
    printf("%s, filter/encoder by round:", job.name.c_str());
    for (double ratio : ratios) printf(" %.3f", ratio);
    const double ratio = Median(job.filterSeconds) / Median(job.encoderSeconds);
    const double best = *std::min_element(job.filterSeconds.begin(), job.filterSeconds.end()) /
                        *std::min_element(job.encoderSeconds.begin(), job.encoderSeconds.end());
    printf(" (their median %.3f, fastest runs %.3f)   goal <= %.2f: %s\n", Median(ratios), best,
           job.ratioGoal, ratio <= job.ratioGoal ? "met" : "MISSED");
  }
  const double convertRatio = Median(jobs[0].convertSeconds) / Median(jobs[0].encoderSeconds);
  const double convertBest =
      *std::min_element(jobs[0].convertSeconds.begin(), jobs[0].convertSeconds.end()) /
      *std::min_element(jobs[0].encoderSeconds.begin(), jobs[0].encoderSeconds.end());
  const bool convertMet = convertRatio <= kConvertA4RatioGoal;
  printf("%s, quenmark_convert/encoder %.3f (fastest runs %.3f)   goal <= %.2f: %s\n",
         jobs[0].name.c_str(), convertRatio, convertBest, kConvertA4RatioGoal,
         convertMet ? "met" : "MISSED");
  goalsMet = goalsMet && convertMet;
  const double a4Peak = MiB(jobs[0].filterPeakKiB);
  const bool memoryMet = a4Peak <= kA4PeakMiBGoal;
  printf("%s, filter peak RSS %.1f MiB   goal <= %.0f MiB: %s\n", jobs[0].name.c_str(), a4Peak,
         kA4PeakMiBGoal, memoryMet ? "met" : "MISSED");
  // Every run is one process at a time, each with a core to itself on a quiet machine:
  // CPU time close to wall time. Far below, other work took the cores now and then.
  printf("least CPU/wall of a run: %.2f%s\n", leastCpuShare,
         leastCpuShare < kBusyCpuShare
             ? " -- other work shared the cores, the wall times are noisy; run again when the "
               "machine is quiet, or compare the CPU ratios"
             : "");
  return goalsMet && memoryMet;
}

bool ParseOptions(int argc, char **argv, Options *options, int *exitStatus) {
  enum { kRounds = 1, kA4, kA5, kFilter, kPpd, kKeep, kEnforce, kInstructions, kMemory, kHelp };
  static const option kLong[] = {{"rounds", required_argument, nullptr, kRounds},
                                 {"a4-pages", required_argument, nullptr, kA4},
                                 {"a5-pages", required_argument, nullptr, kA5},
                                 {"filter", required_argument, nullptr, kFilter},
                                 {"ppd", required_argument, nullptr, kPpd},
                                 {"keep", no_argument, nullptr, kKeep},
                                 {"enforce-goals", no_argument, nullptr, kEnforce},
                                 {"instructions", no_argument, nullptr, kInstructions},
                                 {"memory", no_argument, nullptr, kMemory},
                                 {"help", no_argument, nullptr, kHelp},
                                 {nullptr, 0, nullptr, 0}};
  int choice;
  while ((choice = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    switch (choice) {
      case kRounds:
        options->rounds = atoi(optarg);
        break;
      case kA4:
        options->a4Pages = atoi(optarg);
        break;
      case kA5:
        options->a5Pages = atoi(optarg);
        break;
      case kFilter:
        options->filter = optarg;
        break;
      case kPpd:
        options->ppd = optarg;
        break;
      case kKeep:
        options->keep = true;
        break;
      case kEnforce:
        options->enforceGoals = true;
        break;
      case kInstructions:
        options->instructions = true;
        break;
      case kMemory:
        options->memory = true;
        break;
      case kHelp:
        fputs(kUsage, stdout);
        *exitStatus = kExitOk;
        return false;
      default:
        fputs(kUsage, stderr);
        *exitStatus = kExitUsage;
        return false;
    }
  }
  if (optind != argc || options->rounds < 1 || options->rounds > 100 || options->a4Pages < 20 ||
      options->a4Pages > 500 || options->a5Pages < 5 || options->a5Pages > 500) {
    fputs(kUsage, stderr);
    *exitStatus = kExitUsage;
    return false;
  }
  for (const std::string &path : {options->filter, options->ppd}) {
    if (access(path.c_str(), R_OK) != 0) {
      fprintf(stderr, "filter_bench: %s: %s\n", path.c_str(), strerror(errno));
      *exitStatus = kExitUsage;
      return false;
    }
  }
  return true;
}

// Instructions executed in user space, counted by valgrind's callgrind over a process and
// every process it starts (the shell, the encoder): the same for the same work however busy
// the machine is, where wall and CPU times on a shared machine scatter by tens of per cent.
// Not counted: the kernel's share (file writes, process starts).
bool CountUnderCallgrind(const Launcher &launcher, std::vector<std::string> args,
                         std::vector<std::string> env, const std::string &in,
                         const std::string &outDir, uint64_t *instructions) {
  args.insert(args.begin(), {"valgrind", "--tool=callgrind", "--trace-children=yes",
                             "--callgrind-out-file=" + outDir + "/callgrind.%p"});
  const ChildResult run = RunChild(launcher, args, env, in, outDir + "/out", outDir + "/log");
  if (!ExitedZero(run)) return Fail("a run under valgrind failed, its log is " + outDir + "/log");
  DIR *dir = opendir(outDir.c_str());
  if (dir == nullptr) return Fail("cannot read " + outDir);
  while (const dirent *entry = readdir(dir)) {
    if (strncmp(entry->d_name, "callgrind.", 10) != 0) continue;
    const std::string path = outDir + "/" + entry->d_name;
    const std::string text = ReadText(path);
    const size_t at = text.find("\nsummary: ");
    if (at != std::string::npos) *instructions += strtoull(text.c_str() + at + 10, nullptr, 10);
    unlink(path.c_str());
  }
  closedir(dir);
  return true;
}

bool CountInstructions(const Launcher &launcher, const Options &options, std::vector<Job> &jobs) {
  printf("\ninstructions in user space (valgrind --tool=callgrind, one run each):\n\n");
  printf("| job | encoder alone | filter | filter/encoder |\n|---|---:|---:|---:|\n");
  for (const Job &job : jobs) {
    fprintf(stderr, "filter_bench: %s: counting instructions under valgrind\n", job.name.c_str());
    const std::string outDir = job.dir + "/callgrind";
    if (mkdir(outDir.c_str(), 0700) != 0 && errno != EEXIST) return Fail("cannot create " + outDir);
    uint64_t encoder = 0;
    for (const std::string &command : job.commands) {
      if (!CountUnderCallgrind(launcher, {"/bin/sh", "-c", command}, Environment(), "", outDir,
                               &encoder)) {
        return false;
      }
    }
    std::vector<std::string> env = Environment();
    env.push_back("PPD=" + options.ppd);
    uint64_t filter = 0;
    if (!CountUnderCallgrind(launcher, FilterArgs(options, job), env, job.raster, outDir, &filter)) {
      return false;
    }
    printf("| %s | %.3g | %.3g | %.3f |\n", job.name.c_str(), static_cast<double>(encoder),
           static_cast<double>(filter), static_cast<double>(filter) / static_cast<double>(encoder));
  }
  return true;
}

Job A4Job(int pages, int denseEvery) {
  Job a4;
  a4.name = "A4 one-sided";
  a4.key = "a4";
  a4.pageSize = "A4";
  a4.options = "PageSize=A4";
  a4.convertArgs = {"-o", "media=iso_a4_210x297mm", "-o", "job-id=4242"};
  a4.pageCount = pages;
  a4.denseEvery = denseEvery;
  a4.widthPt = 595;
  a4.heightPt = 842;
  a4.ratioGoal = kA4RatioGoal;
  return a4;
}

// Rasterizes the job's pages and runs the filter and the encoder alone once, untimed: the
// filter's log gives the encoder command lines, the encoder's output is what every later
// run of the filter must send, and both runs bring programs and pages into the page cache.
bool PrepareJob(const Launcher &launcher, const Options &options, const std::string &dir,
                Job &job) {
  job.dir = dir + "/" + job.key;
  if (mkdir(job.dir.c_str(), 0700) != 0) return Fail("cannot create " + job.dir);
  fprintf(stderr, "filter_bench: %s: rasterizing %d pages with cupsfilter\n", job.name.c_str(),
          job.pageCount);
  if (!MakePages(launcher, options, job)) return false;
  ChildResult run;
  if (!RunFilterChecked(launcher, options, job, false, &run)) return false;
  if (!TakeEncoderCommands(job)) return false;
  if (!ExitedZero(RunEncoder(launcher, job)) || !CheckEncoderOutput(job, true)) return false;
  return RunFilterChecked(launcher, options, job, true, &run);
}

// A long job must not need more memory than a short one: one page is held at a time.
// Dense pages (every fifth) are the largest, so both jobs have some.
bool MeasureMemory(const Launcher &launcher, const Options &options, const std::string &dir) {
  constexpr int kPageCounts[] = {10, 40};
  constexpr int kRuns = 3;
  std::vector<Job> jobs;
  for (const int pages : kPageCounts) {
    Job job = A4Job(pages, 5);
    job.key = "a4-" + std::to_string(pages);
    if (!PrepareJob(launcher, options, dir, job)) return false;
    for (int run = 1; run <= kRuns; ++run) {
      fprintf(stderr, "filter_bench: %d pages, run %d of %d\n", pages, run, kRuns);
      if (!TimeFilter(launcher, options, job) || !TimeEncoder(launcher, job) ||
          !TimeConvert(launcher, options, job)) {
        return false;
      }
    }
    jobs.push_back(std::move(job));
  }
  const long floorKiB = RunChild(launcher, {"/bin/true"}, Environment(), "", "", "").maxRssKiB;
  utsname system;
  uname(&system);
  printf("\nmachine: %ld cores, %s, Linux %s; %s\n", sysconf(_SC_NPROCESSORS_ONLN),
         CpuModel().c_str(), system.release, Today().c_str());
  printf("peak resident memory, the largest of %d checked runs of each: the filter with the "
         "shells and encoders it waited for, and the encoder alone over all pages (floor of "
         "the measurement: %.1f MiB)\n\n",
         kRuns, MiB(floorKiB));
  printf("| job | pages | dense pages | filter peak RSS | encoder alone peak RSS | "
         "quenmark_convert peak RSS |\n");
  printf("|---|---:|---:|---:|---:|---:|\n");
  for (const Job &job : jobs) {
    printf("| %s | %d | %d | %.1f MiB | %.1f MiB | %.1f MiB |\n", job.name.c_str(),
           job.pageCount, job.pageCount / job.denseEvery, MiB(job.filterPeakKiB),
           MiB(job.encoderPeakKiB), MiB(job.convertPeakKiB));
  }
  const double convertPeak = MiB(jobs.back().convertPeakKiB);
  printf("\n%d pages, quenmark_convert peak RSS %.1f MiB   goal <= %.0f MiB: %s\n",
         jobs.back().pageCount, convertPeak, kConvertPeakMiBGoal,
         convertPeak <= kConvertPeakMiBGoal ? "met" : "MISSED");
  return true;
}

bool RunBench(const Launcher &launcher, const Options &options, const std::string &dir,
              bool *goalsMet) {
  if (options.memory) {
    *goalsMet = true;
    return MeasureMemory(launcher, options, dir);
  }
  std::vector<Job> jobs(2);
  jobs[0] = A4Job(options.a4Pages, 12);
  Job &a5 = jobs[1];
  a5.name = "A5 long edge first";
  a5.key = "a5l";
  a5.pageSize = "A5";
  // FeedEdge=1 is the PPD's "Long edge first"; the filter then turns every page by -90.
  a5.options = "PageSize=A5 FeedEdge=1";
  a5.convertArgs = {"-o", "media=iso_a5_148x210mm", "-o", "feed-orientation=long-edge-first"};
  a5.pageCount = options.a5Pages;
  a5.denseEvery = options.a5Pages;
  a5.widthPt = 420;
  a5.heightPt = 595;
  a5.turned = true;
  a5.ratioGoal = kA5LongEdgeRatioGoal;

  for (Job &job : jobs) {
    if (!PrepareJob(launcher, options, dir, job)) return false;
  }

  for (int round = 1; round <= options.rounds; ++round) {
    fprintf(stderr, "filter_bench: round %d of %d\n", round, options.rounds);
    for (Job &job : jobs) {
      // The order turns round every round, so that a drift in the machine's speed
      // weighs on both runs alike.
      const bool encoderFirst = round % 2 == 1;
      if (encoderFirst && !TimeEncoder(launcher, job)) return false;
      if (!TimeFilter(launcher, options, job) || !TimeConvert(launcher, options, job)) return false;
      if (!encoderFirst && !TimeEncoder(launcher, job)) return false;
    }
  }
  // What a run of nothing reports: the launcher's own share of every peak.
  const long floorKiB = RunChild(launcher, {"/bin/true"}, Environment(), "", "", "").maxRssKiB;
  *goalsMet = PrintTable(options, jobs, floorKiB);
  if (options.instructions) return CountInstructions(launcher, options, jobs);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  int exitStatus = kExitOk;
  if (!ParseOptions(argc, argv, &options, &exitStatus)) return exitStatus;
  Launcher launcher;
  if (!StartLauncher(&launcher)) return kExitFailed;

  char dirTemplate[] = "/tmp/quenmark-bench.XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) {
    fprintf(stderr, "filter_bench: cannot create a directory in /tmp: %s\n", strerror(errno));
    StopLauncher(&launcher);
    return kExitFailed;
  }
  const std::string dir = dirTemplate;
  bool goalsMet = false;
  const bool checked = RunBench(launcher, options, dir, &goalsMet);
  if (options.keep || !checked) {
    fprintf(stderr, "filter_bench: corpus and outputs kept in %s\n", dir.c_str());
  } else {
    const ChildResult removed = RunChild(launcher, {"rm", "-rf", dir}, Environment(), "", "", "");
    (void)removed;
  }
  StopLauncher(&launcher);
  if (!checked) return kExitFailed;
  return options.enforceGoals && !goalsMet ? kExitFailed : kExitOk;
}
