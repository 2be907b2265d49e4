#include "TestSupport.h"

#include "PbmFile.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace {

std::vector<std::string> BuildEnvironment(const RunOptions &options) {
  std::map<std::string, std::string> env;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    const char *eq = strchr(*entry, '=');
    if (eq == nullptr) continue;
    env[std::string(*entry, static_cast<size_t>(eq - *entry))] = eq + 1;
  }
  for (const auto &name : options.unsetEnv) env.erase(name);
  for (const auto &[name, value] : options.setEnv) env[name] = value;
  std::vector<std::string> result;
  for (const auto &[name, value] : env) result.push_back(name + "=" + value);
  return result;
}

}  // namespace

RunResult RunProgram(const std::vector<std::string> &argv, const RunOptions &options) {
  RunResult result;
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return result;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const auto closed = [&](int fd) {
    return std::find(options.closedFds.begin(), options.closedFds.end(), fd) !=
           options.closedFds.end();
  };
  const std::string stdinPath = options.stdinPath.empty() ? "/dev/null" : options.stdinPath;
  if (closed(0)) {
    posix_spawn_file_actions_addclose(&actions, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
  }
  if (closed(1)) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else if (options.stdoutPath.empty()) {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, options.stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (closed(2)) {
    posix_spawn_file_actions_addclose(&actions, 2);
  } else {
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  }
  for (const int fd : {outPipe[0], errPipe[0], outPipe[1], errPipe[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.ownProcessGroup) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }

  std::vector<char *> args;
  for (const auto &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStrings = BuildEnvironment(options);
  std::vector<char *> envp;
  for (auto &entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const mode_t savedUmask = options.umask >= 0 ? umask(static_cast<mode_t>(options.umask)) : 0;
  int spawnError = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
  if (options.umask >= 0) umask(savedUmask);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(outPipe[1]);
  close(errPipe[1]);
  if (spawnError != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    result.err = std::string("spawn failed: ") + strerror(spawnError);
    return result;
  }

  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult RunFilter(const std::vector<std::string> &args, const RunOptions &options) {
  std::vector<std::string> argv{QUENMARK_FILTER_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, options);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quenmark-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  // Tests may leave read-only entries behind; make everything removable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

void ClearFilterFixedPaths() {
  std::error_code ignored;
  std::filesystem::remove_all("/tmp/quenmark", ignored);
  std::filesystem::remove("/tmp/quenmark.lock", ignored);
}

std::string ReadFileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void WriteFileText(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool FileExists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

namespace {

struct PpdSize {
  const char *name;
  int width;
  int height;
};

// Points, as the printer's own PPD has them.
constexpr PpdSize kTestPageSizes[] = {
    {"A4", 595, 842},        {"A5", 420, 595},        {"B5", 516, 729},    {"16k", 553, 765},
    {"Letter", 612, 792},    {"Statement", 396, 612}, {"Legal", 612, 1008}, {"Executive", 522, 756},
    {"A6", 297, 420},        {"B6", 363, 516},        {"B5ISO", 499, 709}, {"BANK1", 312, 624},
    {"BANK2", 298, 666},
};

std::string DefaultOf(const std::map<std::string, std::string> &defaults, const std::string &key,
                      const std::string &fallback) {
  auto found = defaults.find(key);
  return found == defaults.end() ? fallback : found->second;
}

void AppendPickOne(std::string &ppd, const std::string &keyword, const std::string &defaultChoice,
                   const std::vector<std::string> &choices) {
  if (defaultChoice.empty()) return;
  ppd += "*OpenUI *" + keyword + ": PickOne\n";
  ppd += "*OrderDependency: 10 AnySetup *" + keyword + "\n";
  ppd += "*Default" + keyword + ": " + defaultChoice + "\n";
  for (const auto &choice : choices) ppd += "*" + keyword + " " + choice + ": \"\"\n";
  ppd += "*CloseUI: *" + keyword + "\n";
}

}  // namespace

std::string WriteTestPpd(const std::string &dir, const std::map<std::string, std::string> &defaults) {
  std::string ppd =
      "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
      "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: \"QMTEST.PPD\"\n"
      "*Manufacturer: \"Quenmark\"\n*Product: \"(Quenmark Test)\"\n*ModelName: \"Quenmark Test\"\n"
      "*ShortNickName: \"Quenmark Test\"\n*NickName: \"Quenmark Test\"\n"
      "*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n*ColorDevice: False\n"
      "*DefaultColorSpace: Gray\n*FileSystem: False\n*Throughput: \"1\"\n"
      "*LandscapeOrientation: Plus90\n*TTRasterizer: Type42\n";
  const std::string pageSize = DefaultOf(defaults, "PageSize", "A4");
  if (!pageSize.empty()) {
    ppd += "*OpenUI *PageSize: PickOne\n*OrderDependency: 10 AnySetup *PageSize\n";
    ppd += "*DefaultPageSize: " + pageSize + "\n";
    for (const auto &size : kTestPageSizes) {
      ppd += std::string("*PageSize ") + size.name + ": \"<</PageSize[" + std::to_string(size.width) +
             " " + std::to_string(size.height) + "]>>setpagedevice\"\n";
    }
    ppd += "*CloseUI: *PageSize\n";
    ppd += "*DefaultImageableArea: " + pageSize + "\n*DefaultPaperDimension: " + pageSize + "\n";
    for (const auto &size : kTestPageSizes) {
      ppd += std::string("*ImageableArea ") + size.name + ": \"0 0 " + std::to_string(size.width) +
             " " + std::to_string(size.height) + "\"\n";
      ppd += std::string("*PaperDimension ") + size.name + ": \"" + std::to_string(size.width) +
             " " + std::to_string(size.height) + "\"\n";
    }
  }
  AppendPickOne(ppd, "InputSlot", DefaultOf(defaults, "InputSlot", "MainTray"),
                {"MainTray", "ManualTray", "Tray2"});
  AppendPickOne(ppd, "Resolution", DefaultOf(defaults, "Resolution", "600dpi"), {"600dpi", "1200dpi"});
  AppendPickOne(ppd, "Duplex", DefaultOf(defaults, "Duplex", "None"),
                {"None", "DuplexNoTumble", "DuplexTumble"});
  AppendPickOne(ppd, "FeedEdge", DefaultOf(defaults, "FeedEdge", "0"), {"0", "1"});
  AppendPickOne(ppd, "MediaType", DefaultOf(defaults, "MediaType", "Plain"),
                {"Plain", "Recycled", "Thin", "Thick"});
  const std::string path = dir + "/test.ppd";
  WriteFileText(path, ppd);
  return path;
}

namespace {

// Shell lines that the stand-in runs at its side, with the JBIG path in $last.
std::string FaultScript(EncoderFault fault) {
  // The real output, cut to half its length: a page that ends in the middle.
  const std::string halfOutput =
      "  /usr/bin/pbmtojbg \"$@\" || exit 3\n"
      "  size=$(wc -c < \"$last\")\n"
      "  truncate -s $((size / 2)) \"$last\"\n";
  // Fields of /proc/<pid>/stat after "pid (comm) ": state, parent, process group. The
  // kernel keeps only the first 15 characters of a process name.
  const std::string statField = "sed 's/.*) //' /proc/$pid/stat | cut -d' ' -f";
  switch (fault) {
    case EncoderFault::CancelFilter:
      return "  pid=$$\n"
             "  while [ \"$pid\" -gt 1 ]; do\n"
             "    case \"$(cat /proc/$pid/comm)\" in tavrel_quenbris*) kill -TERM \"$pid\"; break;; esac\n"
             "    pid=$(" + statField + "2)\n"
             "  done\n";
    case EncoderFault::CancelProcessGroup:
      return halfOutput +
             "  pid=$$\n"
             "  kill -TERM \"-$(" + statField + "3)\"\n"
             // Still alive: the signal did not come, and the side looks encoded.
             "  sleep 5\n"
             "  exit 0\n";
    case EncoderFault::HalfOutputExit1:
      return halfOutput + "  exit 1\n";
    case EncoderFault::HalfOutputSigkill:
      return halfOutput + "  kill -KILL $$\n";
    case EncoderFault::StaleFileExit2:
      return "  printf 'stale JBIG\\n' > \"$last\"\n"
             "  echo 'pbmtojbg: premature end of file' >&2\n"
             "  exit 2\n";
  }
  return "";
}

}  // namespace

std::string WriteEncoderStandIn(const std::string &dir, int side, EncoderFault fault) {
  const std::string path = dir + "/pbmtojbg";
  // The JBIG path is the last argument: /tmp/quenmark/<job>-<side>.jbg.
  WriteFileText(path,
                "#!/bin/sh\n"
                "for last in \"$@\"; do :; done\n"
                "side=${last##*-}; side=${side%.jbg}\n"
                "if [ \"$side\" = \"" + std::to_string(side) + "\" ]; then\n" +
                FaultScript(fault) +
                "fi\n"
                "exec /usr/bin/pbmtojbg \"$@\"\n");
  chmod(path.c_str(), 0755);
  return path;
}

bool MakeRaster(const std::string &output, const std::vector<std::string> &args) {
  std::vector<std::string> argv{QUENMARK_MKRASTER_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(output);
  RunResult result = RunProgram(argv);
  if (result.exitStatus != 0) {
    fprintf(stderr, "raster maker failed (%d): %s\n", result.exitStatus, result.err.c_str());
  }
  return result.exitStatus == 0;
}

std::string PathWith(const std::string &dir) {
  const char *path = getenv("PATH");
  return dir + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

FilterJobOutcome RunFilterJob(const FilterJobRequest &request) {
  std::vector<std::string> args{request.jobId, request.user, request.title, request.copies,
                                request.options};
  if (!request.seventhArgument.empty()) args.push_back(request.seventhArgument);
  RunOptions options;
  options.stdinPath = request.rasterPath;
  if (request.ppdPath.empty()) {
    options.unsetEnv.push_back("PPD");
  } else {
    options.setEnv["PPD"] = request.ppdPath;
  }
  if (!request.pathPrefix.empty()) options.setEnv["PATH"] = PathWith(request.pathPrefix);
  options.closedFds = request.closedFds;
  options.ownProcessGroup = request.ownProcessGroup;
  options.umask = request.umask;
  if (request.launcher.empty() && request.program.empty()) {
    return ParseFilterOutcome(RunFilter(args, options));
  }
  std::vector<std::string> argv = request.launcher;
  argv.push_back(request.program.empty() ? QUENMARK_FILTER_PATH : request.program);
  argv.insert(argv.end(), args.begin(), args.end());
  return ParseFilterOutcome(RunProgram(argv, options));
}

FilterJobOutcome ParseFilterOutcome(RunResult run) {
  FilterJobOutcome outcome;
  outcome.run = std::move(run);
  const std::vector<unsigned char> bytes(outcome.run.out.begin(), outcome.run.out.end());
  outcome.parsed = ParsePrinterStream(bytes, &outcome.stream, &outcome.streamError) &&
                   CheckRecordSequence(outcome.stream, &outcome.streamError);
  for (const auto &record : outcome.stream.records) {
    PageBitmap page;
    std::string error;
    if (!DecodeJbig(bytes.data() + record.dataOffset, record.jbg_size, &page, &error)) {
      outcome.parsed = false;
      outcome.streamError = "record " + std::to_string(record.pageno) + ": " + error;
    }
    outcome.pages.push_back(std::move(page));
  }
  return outcome;
}

FilterJobOutcome RunConvertJob(const std::string &rasterPath, const std::vector<std::string> &args) {
  std::vector<std::string> argv{QUENMARK_CONVERT_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.stdinPath = rasterPath;
  return ParseFilterOutcome(RunProgram(argv, options));
}

PageBitmap TurnedPage(const PageBitmap &page, int angle) {
  PageBitmap turned;
  turned.width = angle == 180 ? page.width : page.height;
  turned.height = angle == 180 ? page.height : page.width;
  turned.bits.assign(static_cast<size_t>(PbmStride(turned.width) * turned.height), 0);
  TurnBitmapPixelByPixel(page.bits.data(), page.width, page.height, angle, turned.bits.data());
  return turned;
}

PageBitmap LoadPbm(const std::string &path) {
  PageBitmap page;
  std::string error;
  if (!ReadPbmFile(path, &page, &error)) fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
  return page;
}
