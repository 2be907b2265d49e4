// jbig_bench: what JBIG encoding costs per page through the external pbmtojbg command, in
// process with libjbig and with our own coder on one thread, and with our coder on the
// parallel pool, on the same pages.
//
// The corpus is the benchmarks' PostScript document (text pages, a dense page every
// twelfth), rendered by ghostscript's pbmraw device at 600 dpi in A4. Each round times,
// interleaved in a turning order: the filter's encoder command line run through "sh -c"
// once per page, as the filter's system() runs it; libjbig page by page; EncodeJbigInMemory
// page by page; and the pool, fed by a producer that copies every page into a fresh buffer
// as a raster reader would. Every output is compared byte for byte with the command's, so a
// broken encoder cannot look fast. --instructions counts, under valgrind, the instructions
// of each encoder on a text and a dense page: unlike times, the same on a busy machine.

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
#include "JbigReference.h"
#include "ParallelEncoder.h"
#include "StreamReader.h"

extern char **environ;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: jbig_bench [options]\n"
    "  --rounds N       timed rounds (default 5; the median and the fastest are shown)\n"
    "  --pages N        A4 pages (default 24, at least 12)\n"
    "  --threads N      worker threads of the pool (default 2)\n"
    "  --instructions   also count each encoder's instructions on a text and a dense page\n"
    "                   under valgrind\n"
    "  --keep           keep the corpus and the outputs (the directory is named)\n"
    "  --enforce-goals  fail also when our coder misses a goal\n";

// Our coder against libjbig, one thread, seconds per page: how many times faster at least.
constexpr double kTextSpeedupGoal = 5.0;
constexpr double kDenseSpeedupGoal = 2.5;
constexpr double kA4WidthPt = 595;
constexpr double kA4HeightPt = 842;
constexpr int kDenseEvery = 12;
// Below this share of CPU time in a one-thread run's wall time, other work took the cores.
constexpr double kBusyCpuShare = 0.9;

struct Options {
  int rounds = 5;
  int pages = 24;
  int threads = 2;
  bool instructions = false;
  bool keep = false;
  bool enforceGoals = false;
};

enum class Encoder { Libjbig, Ours };

// One encoder's seconds for every page of a kind, in every round.
struct PageTimes {
  std::vector<double> text;
  std::vector<double> dense;
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
  bool oneThread;
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

// One encoder page by page on this thread, each page from a fresh copy.
bool TimeSerial(const std::vector<Page> &pages, Encoder encoder, Run *run, PageTimes *times) {
  const double cpuStart = OwnCpuSeconds();
  const double start = Now();
  for (const Page &page : pages) {
    unsigned char *bits = CopyOfPage(page);
    JbigBytes jbig;
    std::vector<unsigned char> reference;
    char error[JBIG_ERROR_TEXT_SIZE] = "libjbig failed";
    const double pageStart = Now();
    const bool ok =
        encoder == Encoder::Ours
            ? EncodeJbigInMemory(bits, page.bitmap.width, page.bitmap.height, &jbig, error,
                                 sizeof error)
            : EncodeJbigWithLibjbig(bits, page.bitmap.width, page.bitmap.height, &reference);
    (page.dense ? times->dense : times->text).push_back(Now() - pageStart);
    free(bits);
    if (encoder == Encoder::Libjbig) {
      jbig.data = reference.data();
      jbig.size = reference.size();
    }
    const bool same = ok ? SameAsCommand(page, jbig, run->name) : Fail(error);
    if (encoder == Encoder::Ours) ReleaseJbigBytes(&jbig);
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

// piecesPerPage as in ParallelEncoderConfig: 0 for the pool's own choice, 1 for whole pages.
bool TimePool(const std::vector<Page> &pages, int threads, int piecesPerPage, Run *run) {
  const double cpuStart = OwnCpuSeconds();
  const double start = Now();
  ParallelEncoderConfig config;
  config.threads = threads;
  config.piecesPerPage = piecesPerPage;
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

double Fastest(const std::vector<double> &values) {
  return *std::min_element(values.begin(), values.end());
}

// One thread, our coder against libjbig per page; true when both goals are met (on the
// fastest times, which other work on the machine disturbs least).
bool PrintEncoders(const PageTimes &libjbig, const PageTimes &ours) {
  printf(
      "\none thread, seconds per page (median and fastest of every page of the kind in every "
      "round):\n\n"
      "| pages | libjbig | ours | libjbig / ours | libjbig fastest | ours fastest | "
      "libjbig / ours, fastest | goal |\n"
      "|---|---:|---:|---:|---:|---:|---:|---|\n");
  bool met = true;
  const struct {
    const char *name;
    const std::vector<double> &libjbig;
    const std::vector<double> &ours;
    double goal;
  } kinds[] = {{"text", libjbig.text, ours.text, kTextSpeedupGoal},
               {"dense", libjbig.dense, ours.dense, kDenseSpeedupGoal}};
  for (const auto &kind : kinds) {
    const double fastestRatio = Fastest(kind.libjbig) / Fastest(kind.ours);
    const bool kindMet = fastestRatio >= kind.goal;
    met = met && kindMet;
    printf("| %s | %.4f | %.4f | %.2f | %.4f | %.4f | %.2f | >= %.1f: %s |\n", kind.name,
           Median(kind.libjbig), Median(kind.ours), Median(kind.libjbig) / Median(kind.ours),
           Fastest(kind.libjbig), Fastest(kind.ours), fastestRatio, kind.goal,
           kindMet ? "met" : "MISSED");
  }
  return met;
}

bool PrintTable(const Options &options, const std::vector<Page> &pages,
                const std::vector<Run> &runs, const PageTimes &libjbig, const PageTimes &ours) {
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
  const double fastestCommand = Fastest(runs[0].wall);
  double leastCpuShare = 1;
  for (const Run &run : runs) {
    const double wall = Median(run.wall);
    const double cpu = Median(run.cpu);
    const double fastest = Fastest(run.wall);
    printf("| %s | %.4f | %.2f | %.4f | %.2f | %.3f | %.4f | %.3f |\n", run.name, wall / count,
           count / wall, cpu / count, cpu / wall, wall / command, fastest / count,
           fastest / fastestCommand);
    // The one-thread runs keep a core busy on a quiet machine.
    if (run.oneThread) {
      for (size_t i = 0; i < run.wall.size(); ++i) {
        leastCpuShare = std::min(leastCpuShare, run.cpu[i] / run.wall[i]);
      }
    }
  }
  printf("\nleast CPU/wall of a one-thread round: %.2f%s\n", leastCpuShare,
         leastCpuShare < kBusyCpuShare
             ? " -- other work shared the cores, the wall times are noisy; run again when the "
               "machine is quiet, and see the instruction counts (--instructions)"
             : "");
  printf("\nper round, / command:\n");
  for (size_t r = 1; r < runs.size(); ++r) {
    printf("  %s:", runs[r].name);
    for (size_t i = 0; i < runs[r].wall.size(); ++i)
      printf(" %.3f", runs[r].wall[i] / runs[0].wall[i]);
    printf("\n");
  }
  printf("\nthe page's copy before each encoding: %.5f s\n", CopySecondsPerPage(pages));
  return PrintEncoders(libjbig, ours);
}

// The instructions of one encoding of one page, counted by callgrind inside the encoder's
// own function, so that reading the page is not counted.
bool CountInstructions(const char *self, const std::string &dir, const Page &page,
                       const char *encoder, uint64_t *instructions) {
  const std::string out = dir + "/callgrind." + encoder;
  const char *function =
      strcmp(encoder, "ours") == 0 ? "*EncodeJbigInMemory*" : "*EncodeJbigWithLibjbig*";
  double unused = 0;
  if (!RunShell(std::string("valgrind --tool=callgrind --toggle-collect='") + function +
                    "' --callgrind-out-file=" + out + " " + self + " --encode-once " + encoder +
                    " " + page.pbmPath,
                &unused)) {
    return false;
  }
  std::vector<unsigned char> bytes;
  std::string error;
  if (!ReadWholeFile(out, &bytes, &error)) return Fail(error);
  const std::string text(bytes.begin(), bytes.end());
  const size_t at = text.find("\nsummary: ");
  if (at == std::string::npos) return Fail("no summary in " + out);
  *instructions = strtoull(text.c_str() + at + 10, nullptr, 10);
  return true;
}

bool PrintInstructions(const char *self, const std::string &dir, const std::vector<Page> &pages) {
  printf(
      "\ninstructions of one encoding (valgrind --tool=callgrind, inside the encoder):\n\n"
      "| page | libjbig | ours | libjbig / ours |\n|---|---:|---:|---:|\n");
  for (const Page &page : {pages[0], pages[kDenseEvery - 1]}) {
    fprintf(stderr, "jbig_bench: counting instructions under valgrind: %s\n", page.pbmPath.c_str());
    uint64_t libjbig = 0;
    uint64_t ours = 0;
    if (!CountInstructions(self, dir, page, "libjbig", &libjbig) ||
        !CountInstructions(self, dir, page, "ours", &ours)) {
      return false;
    }
    printf("| %s (%s) | %.4g | %.4g | %.2f |\n", page.pbmPath.substr(dir.size() + 1).c_str(),
           page.dense ? "dense" : "text", static_cast<double>(libjbig), static_cast<double>(ours),
           static_cast<double>(libjbig) / static_cast<double>(ours));
  }
  return true;
}

// --encode-once ENCODER FILE: one encoding of a PBM page, for valgrind to count.
int EncodeOnce(const char *encoder, const char *path) {
  PageBitmap page;
  std::string error;
  if (!ReadPbmFile(path, &page, &error)) {
    Fail(error);
    return kExitFailed;
  }
  if (strcmp(encoder, "ours") == 0) {
    JbigBytes jbig;
    const bool ok =
        EncodeJbigInMemory(page.bits.data(), page.width, page.height, &jbig, nullptr, 0);
    ReleaseJbigBytes(&jbig);
    return ok ? kExitOk : kExitFailed;
  }
  std::vector<unsigned char> bytes;
  return EncodeJbigWithLibjbig(page.bits.data(), page.width, page.height, &bytes) ? kExitOk
                                                                                  : kExitFailed;
}

bool ParseOptions(int argc, char **argv, Options *options, int *exitStatus) {
  enum { kRounds = 1, kPages, kThreads, kInstructions, kKeep, kEnforce, kHelp };
  static const option kLong[] = {{"rounds", required_argument, nullptr, kRounds},
                                 {"pages", required_argument, nullptr, kPages},
                                 {"threads", required_argument, nullptr, kThreads},
                                 {"instructions", no_argument, nullptr, kInstructions},
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
      case kInstructions:
        options->instructions = true;
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

bool RunBench(const char *self, const Options &options, const std::string &dir, bool *goalMet) {
  std::vector<Page> pages;
  if (!MakeCorpus(options, dir, &pages)) return false;
  const std::string wholePages =
      "ours, pool of " + std::to_string(options.threads) + ", whole pages";
  const std::string inPieces = "ours, pool of " + std::to_string(options.threads);
  std::vector<Run> runs = {{"pbmtojbg command", true, {}, {}},
                           {"libjbig in process, one thread", true, {}, {}},
                           {"ours in process, one thread", true, {}, {}},
                           {wholePages.c_str(), false, {}, {}},
                           {inPieces.c_str(), false, {}, {}}};
  PageTimes libjbig;
  PageTimes ours;
  auto timeRun = [&](size_t which) {
    switch (which) {
      case 0:
        return TimeCommand(pages, false, &runs[0]);
      case 1:
        return TimeSerial(pages, Encoder::Libjbig, &runs[1], &libjbig);
      case 2:
        return TimeSerial(pages, Encoder::Ours, &runs[2], &ours);
      case 3:
        return TimePool(pages, options.threads, 1, &runs[3]);
      default:
        return TimePool(pages, options.threads, 0, &runs[4]);
    }
  };
  // A first run of each, untimed: the command's bytes to compare with, programs and pages
  // in the page cache.
  if (!TimeCommand(pages, true, &runs[0])) return false;
  for (size_t which = 1; which < runs.size(); ++which) {
    if (!timeRun(which)) return false;
  }
  for (Run &run : runs) {
    run.wall.clear();
    run.cpu.clear();
  }
  libjbig = PageTimes();
  ours = PageTimes();
  for (int round = 1; round <= options.rounds; ++round) {
    fprintf(stderr, "jbig_bench: round %d of %d\n", round, options.rounds);
    // The order turns every round, so that a drift in the machine's speed weighs on all.
    for (size_t step = 0; step < runs.size(); ++step) {
      if (!timeRun((step + static_cast<size_t>(round)) % runs.size())) return false;
    }
  }
  *goalMet = PrintTable(options, pages, runs, libjbig, ours);
  return !options.instructions || PrintInstructions(self, dir, pages);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "--encode-once") == 0) return EncodeOnce(argv[2], argv[3]);
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
  const bool checked = RunBench(argv[0], options, dir, &goalMet);
  if (options.keep || !checked) {
    fprintf(stderr, "jbig_bench: corpus and outputs kept in %s\n", dir.c_str());
  } else {
    double unused = 0;
    RunShell("rm -rf " + dir, &unused);
  }
  if (!checked) return kExitFailed;
  return options.enforceGoals && !goalMet ? kExitFailed : kExitOk;
}
