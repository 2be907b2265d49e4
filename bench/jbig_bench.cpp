// jbig_bench: what JBIG encoding costs per page through the external pbmtojbg command, in
// process on one thread, and in process with the parallel pool, on the same pages.
//
// The corpus is the benchmarks' PostScript document (text pages, a dense page every
// twelfth), rendered by ghostscript's pbmraw device at 600 dpi in A4. Each round times,
// interleaved in a turning order: the filter's encoder command line run through "sh -c"
// once per page, as the filter's system() runs it; EncodeJbigInMemory page by page; and
// the pool, fed by a producer that copies every page into a fresh buffer as a raster
// reader would. Every output is compared byte for byte with the command's, so a broken
// encoder cannot look fast.

#include <fcntl.h>
#include <getopt.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchCorpus.h"
#include "JbigMemoryEncoder.h"
#include "ParallelEncoder.h"
#include "StreamReader.h"

extern char **environ;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: jbig_bench [options]\n"
    "  --rounds N       timed rounds (default 5; the median is shown)\n"
    "  --pages N        A4 pages (default 24, at least 12)\n"
    "  --threads N      worker threads of the pool (default 2)\n"
    "  --keep           keep the corpus and the outputs (the directory is named)\n"
    "  --enforce-goals  fail also when the pool misses its goal\n";

// The pool's goal on this 2-core machine: its seconds per page against the command's.
constexpr double kPoolRatioGoal = 0.52;
constexpr double kA4WidthPt = 595;
constexpr double kA4HeightPt = 842;
constexpr int kDenseEvery = 12;
// Below this share of CPU time in a one-thread run's wall time, other work took the cores.
constexpr double kBusyCpuShare = 0.9;

struct Options {
  int rounds = 5;
  int pages = 24;
  int threads = 2;
  bool keep = false;
  bool enforceGoals = false;
};

struct Page {
  PageBitmap bitmap;
  std::string pbmPath;
  std::string jbgPath;
  std::vector<unsigned char> expected;  // the command's output
  bool dense = false;
};

// One kind of run: wall and CPU seconds of every round.
struct Run {
  const char *name;
  std::vector<double> wall;
  std::vector<double> cpu;
};

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Seconds(const timeval &time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

double CpuSeconds(const rusage &usage) { return Seconds(usage.ru_utime) + Seconds(usage.ru_stime); }

// User and system time of this process, all its threads.
double OwnCpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return CpuSeconds(usage);
}

bool Fail(const std::string &message) {
  fprintf(stderr, "jbig_bench: %s\n", message.c_str());
  return false;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs "sh -c command" with its output thrown away and waits for it; the CPU time is the
// shell's and everything it waited for.
bool RunShell(const std::string &command, double *cpuSeconds) {
  const char *argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return Fail(std::string("cannot start /bin/sh: ") + strerror(spawned));
  int status = 0;
  rusage usage;
  memset(&usage, 0, sizeof usage);
  pid_t waited;
  do {
    waited = wait4(pid, &status, 0, &usage);
  } while (waited < 0 && errno == EINTR);
  *cpuSeconds += CpuSeconds(usage);
  if (waited != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return Fail("failed: " + command);
  }
  return true;
}

std::string EncoderCommand(const Page &page) {
  return "pbmtojbg -q -x " + std::to_string(page.bitmap.width) + " -y " +
         std::to_string(page.bitmap.height) + " -r -s 128 -o 0 -p 8 -m 0 " + page.pbmPath + " " +
         page.jbgPath;
}

bool MakeCorpus(const Options &options, const std::string &dir, std::vector<Page> *pages) {
  const std::string document = dir + "/document.ps";
  const std::string text = CorpusDocument(kA4WidthPt, kA4HeightPt, options.pages, kDenseEvery);
  FILE *file = fopen(document.c_str(), "w");
  if (file == nullptr || fwrite(text.data(), 1, text.size(), file) != text.size() ||
      fclose(file) != 0) {
    return Fail("cannot write " + document);
  }
  fprintf(stderr, "jbig_bench: rendering %d A4 pages at 600 dpi with ghostscript\n", options.pages);
  double unused = 0;
  if (!RunShell("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pbmraw -r600 -sOutputFile=" + dir +
                    "/page-%d.pbm " + document,
                &unused)) {
    return false;
  }
  for (int n = 1; n <= options.pages; ++n) {
    Page page;
    page.pbmPath = dir + "/page-" + std::to_string(n) + ".pbm";
    page.jbgPath = dir + "/page-" + std::to_string(n) + ".jbg";
    page.dense = n % kDenseEvery == 0;
    std::string error;
    if (!ReadPbmFile(page.pbmPath, &page.bitmap, &error)) return Fail(error);
    pages->push_back(std::move(page));
  }
  return true;
}

bool TimeCommand(std::vector<Page> &pages, bool first, Run *run) {
  const double start = Now();
  double cpu = 0;
  for (const Page &page : pages) {
    if (!RunShell(EncoderCommand(page), &cpu)) return false;
  }
  run->wall.push_back(Now() - start);
  run->cpu.push_back(cpu);
  for (Page &page : pages) {
    std::vector<unsigned char> bytes;
    std::string error;
    if (!ReadWholeFile(page.jbgPath, &bytes, &error)) return Fail(error);
    if (first) {
      page.expected = std::move(bytes);
    } else if (bytes != page.expected) {
      return Fail("pbmtojbg wrote other bytes for " + page.pbmPath + " than before");
    }
  }
  return true;
}

// A fresh malloc'd copy of a page, as a raster reader hands each page over.
unsigned char *CopyOfPage(const Page &page) {
  unsigned char *bits = static_cast<unsigned char *>(malloc(page.bitmap.bits.size()));
  if (bits != nullptr) memcpy(bits, page.bitmap.bits.data(), page.bitmap.bits.size());
  return bits;
}

bool SameAsCommand(const Page &page, const JbigBytes &jbig, const char *run) {
  if (jbig.size == page.expected.size() &&
      memcmp(jbig.data, page.expected.data(), jbig.size) == 0) {
    return true;
  }
  return Fail(std::string(run) + ": the JBIG bytes of " + page.pbmPath + " differ from pbmtojbg's");
}

// textSeconds and denseSeconds collect the encoder's time per page of each kind.
bool TimeSerial(const std::vector<Page> &pages, Run *run, std::vector<double> *textSeconds,
                std::vector<double> *denseSeconds) {
  const double cpuStart = OwnCpuSeconds();
  const double start = Now();
  for (const Page &page : pages) {
    unsigned char *bits = CopyOfPage(page);
    JbigBytes jbig;
    char error[JBIG_ERROR_TEXT_SIZE] = "";
    const double pageStart = Now();
    const bool ok =
        EncodeJbigInMemory(bits, page.bitmap.width, page.bitmap.height, &jbig, error, sizeof error);
    (page.dense ? denseSeconds : textSeconds)->push_back(Now() - pageStart);
    free(bits);
    const bool same = ok ? SameAsCommand(page, jbig, "in process") : Fail(error);
    ReleaseJbigBytes(&jbig);
    if (!same) return false;
  }
  run->wall.push_back(Now() - start);
  run->cpu.push_back(OwnCpuSeconds() - cpuStart);
  return true;
}

// Takes the next result (without waiting unless wait) and checks it against the command's
// bytes. False when nothing was taken; *ok turns false on a wrong or failed page.
bool TakeAndCheck(ParallelEncoder *pool, const std::vector<Page> &pages, size_t *next, bool wait,
                  bool *ok) {
  EncodedPage result;
  const TakeResult outcome =
      wait ? TakeEncodedPage(pool, &result) : TryTakeEncodedPage(pool, &result);
  if (outcome != TakeResult::Taken) {
    if (outcome != TakeResult::NotReady) *ok = Fail("the pool ended before its last page");
    return false;
  }
  const Page &page = pages[*next];
  if (result.tag != &page) {
    *ok = Fail("the pool handed back " + page.pbmPath + " out of order");
  } else if (!(result.ok ? SameAsCommand(page, result.jbig, "pool") : Fail(result.error))) {
    *ok = false;
  }
  ReleaseJbigBytes(&result.jbig);
  ++*next;
  return true;
}

bool TimePool(const std::vector<Page> &pages, int threads, Run *run) {
  const double cpuStart = OwnCpuSeconds();
  const double start = Now();
  ParallelEncoderConfig config;
  config.threads = threads;
  char error[JBIG_ERROR_TEXT_SIZE] = "";
  ParallelEncoder *pool = StartParallelEncoder(config, error, sizeof error);
  if (pool == nullptr) return Fail(error);
  size_t next = 0;
  bool ok = true;
  for (size_t i = 0; ok && i < pages.size(); ++i) {
    if (ParallelEncoderInFlight(pool) == ParallelEncoderLimit(pool)) {
      TakeAndCheck(pool, pages, &next, true, &ok);
    }
    PageToEncode page;
    page.bits = CopyOfPage(pages[i]);
    page.width = pages[i].bitmap.width;
    page.height = pages[i].bitmap.height;
    page.tag = const_cast<Page *>(&pages[i]);
    ok = ok && SubmitPage(pool, page);
    while (ok && TakeAndCheck(pool, pages, &next, false, &ok)) {
    }
  }
  FinishSubmitting(pool);
  while (ok && next < pages.size()) {
    if (!TakeAndCheck(pool, pages, &next, true, &ok)) ok = false;
  }
  StopParallelEncoder(pool);
  if (!ok) return Fail("the pool's run failed");
  run->wall.push_back(Now() - start);
  run->cpu.push_back(OwnCpuSeconds() - cpuStart);
  return true;
}

// What handing a page over costs on our side: a fresh buffer and a copy of the page.
double CopySecondsPerPage(const std::vector<Page> &pages) {
  const double start = Now();
  for (const Page &page : pages) {
    unsigned char *bits = CopyOfPage(page);
    // Touching the copy keeps the compiler from dropping it.
    if (bits != nullptr && bits[page.bitmap.bits.size() / 2] == 0x5A) fputc('\0', stderr);
    free(bits);
  }
  return (Now() - start) / static_cast<double>(pages.size());
}

std::string CpuModel() {
  std::vector<unsigned char> bytes;
  std::string error;
  if (!ReadWholeFile("/proc/cpuinfo", &bytes, &error)) return "unknown";
  const std::string info(bytes.begin(), bytes.end());
  const size_t at = info.find("model name");
  if (at == std::string::npos) return "unknown";
  const size_t colon = info.find(':', at);
  const size_t end = info.find('\n', at);
  return info.substr(colon + 2, end - colon - 2);
}

bool PrintTable(const Options &options, const std::vector<Page> &pages,
                const std::vector<Run> &runs, const std::vector<double> &textSeconds,
                const std::vector<double> &denseSeconds) {
  utsname system;
  uname(&system);
  char today[64];
  const time_t now = time(nullptr);
  strftime(today, sizeof today, "%Y-%m-%d %H:%M UTC", gmtime(&now));
  const double count = static_cast<double>(pages.size());
  printf("\nmachine: %ld cores, %s, Linux %s; %s\n", sysconf(_SC_NPROCESSORS_ONLN),
         CpuModel().c_str(), system.release, today);
  printf(
      "%zu A4 pages of %dx%d at 600 dpi; median of %d interleaved rounds; CPU is user + system\n"
      "time (the shell and pbmtojbg for the command, every thread for the pool)\n\n",
      pages.size(), pages[0].bitmap.width, pages[0].bitmap.height, options.rounds);
  printf(
      "| run | s/page | pages/s | CPU s/page | CPU/wall | / command | fastest s/page | fastest / "
      "command |\n");
  printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
  const double command = Median(runs[0].wall);
  const double fastestCommand = *std::min_element(runs[0].wall.begin(), runs[0].wall.end());
  double leastCpuShare = 1;
  for (const Run &run : runs) {
    const double wall = Median(run.wall);
    const double cpu = Median(run.cpu);
    const double fastest = *std::min_element(run.wall.begin(), run.wall.end());
    printf("| %s | %.4f | %.2f | %.4f | %.2f | %.3f | %.4f | %.3f |\n", run.name, wall / count,
           count / wall, cpu / count, cpu / wall, wall / command, fastest / count,
           fastest / fastestCommand);
    // The one-thread runs keep a core busy on a quiet machine.
    if (&run != &runs.back()) {
      for (size_t i = 0; i < run.wall.size(); ++i) {
        leastCpuShare = std::min(leastCpuShare, run.cpu[i] / run.wall[i]);
      }
    }
  }
  printf("\nleast CPU/wall of a one-thread round: %.2f%s\n", leastCpuShare,
         leastCpuShare < kBusyCpuShare
             ? " -- other work shared the cores, the wall times are noisy; run again when the "
               "machine is quiet"
             : "");
  printf("\nper round, / command:\n");
  for (size_t r = 1; r < runs.size(); ++r) {
    printf("  %s:", runs[r].name);
    for (size_t i = 0; i < runs[r].wall.size(); ++i)
      printf(" %.3f", runs[r].wall[i] / runs[0].wall[i]);
    printf("\n");
  }
  printf(
      "\nin process, one thread: encoder %.4f s per text page, %.4f s per dense page; "
      "the page's copy %.5f s\n",
      Median(textSeconds), Median(denseSeconds), CopySecondsPerPage(pages));
  const double ratio = Median(runs.back().wall) / command;
  const bool met = ratio <= kPoolRatioGoal;
  printf("%s / command %.3f   goal <= %.2f: %s\n", runs.back().name, ratio, kPoolRatioGoal,
         met ? "met" : "MISSED");
  return met;
}

bool ParseOptions(int argc, char **argv, Options *options, int *exitStatus) {
  enum { kRounds = 1, kPages, kThreads, kKeep, kEnforce, kHelp };
  static const option kLong[] = {{"rounds", required_argument, nullptr, kRounds},
                                 {"pages", required_argument, nullptr, kPages},
                                 {"threads", required_argument, nullptr, kThreads},
                                 {"keep", no_argument, nullptr, kKeep},
                                 {"enforce-goals", no_argument, nullptr, kEnforce},
                                 {"help", no_argument, nullptr, kHelp},
                                 {nullptr, 0, nullptr, 0}};
  int choice;
  while ((choice = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    switch (choice) {
      case kRounds:
        options->rounds = atoi(optarg);
        break;
      case kPages:
        options->pages = atoi(optarg);
        break;
      case kThreads:
        options->threads = atoi(optarg);
        break;
      case kKeep:
        options->keep = true;
        break;
      case kEnforce:
        options->enforceGoals = true;
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
  if (optind != argc || options->rounds < 1 || options->rounds > 100 || options->pages < 12 ||
      options->pages > 500 || options->threads < 1 || options->threads > 64) {
    fputs(kUsage, stderr);
    *exitStatus = kExitUsage;
    return false;
  }
  return true;
}

bool RunBench(const Options &options, const std::string &dir, bool *goalMet) {
  std::vector<Page> pages;
  if (!MakeCorpus(options, dir, &pages)) return false;
  std::vector<Run> runs = {
      {"pbmtojbg command", {}, {}}, {"in process, serial", {}, {}}, {"in process, pool", {}, {}}};
  const std::string poolName = "in process, pool of " + std::to_string(options.threads);
  runs[2].name = poolName.c_str();
  std::vector<double> textSeconds;
  std::vector<double> denseSeconds;
  // A first run of each, untimed: the command's bytes to compare with, programs and pages
  // in the page cache.
  Run warmUp{"", {}, {}};
  if (!TimeCommand(pages, true, &warmUp) ||
      !TimeSerial(pages, &warmUp, &textSeconds, &denseSeconds) ||
      !TimePool(pages, options.threads, &warmUp)) {
    return false;
  }
  textSeconds.clear();
  denseSeconds.clear();
  for (int round = 1; round <= options.rounds; ++round) {
    fprintf(stderr, "jbig_bench: round %d of %d\n", round, options.rounds);
    // The order turns every round, so that a drift in the machine's speed weighs on all.
    for (int step = 0; step < 3; ++step) {
      const int which = (step + round) % 3;
      const bool ok = which == 0   ? TimeCommand(pages, false, &runs[0])
                      : which == 1 ? TimeSerial(pages, &runs[1], &textSeconds, &denseSeconds)
                                   : TimePool(pages, options.threads, &runs[2]);
      if (!ok) return false;
    }
  }
  *goalMet = PrintTable(options, pages, runs, textSeconds, denseSeconds);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  int exitStatus = kExitOk;
  if (!ParseOptions(argc, argv, &options, &exitStatus)) return exitStatus;
  char dirTemplate[] = "/tmp/quenmark-jbig-bench.XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) {
    fprintf(stderr, "jbig_bench: cannot create a directory in /tmp: %s\n", strerror(errno));
    return kExitFailed;
  }
  const std::string dir = dirTemplate;
  bool goalMet = false;
  const bool checked = RunBench(options, dir, &goalMet);
  if (options.keep || !checked) {
    fprintf(stderr, "jbig_bench: corpus and outputs kept in %s\n", dir.c_str());
  } else {
    double unused = 0;
    RunShell("rm -rf " + dir, &unused);
  }
  if (!checked) return kExitFailed;
  return options.enforceGoals && !goalMet ? kExitFailed : kExitOk;
}
