#include "CoreLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "QuietThread.h"

namespace {

// Written to standard error around a job's setup; LogLine turns control characters into
// spaces, so no core line can contain the separator. The leading line end closes a core
// line that was logged without one.
constexpr char CAPTURE_BEGIN[] = "\n\x1equenmark-capture-begin\n";
constexpr char CAPTURE_END[] = "\n\x1equenmark-capture-end\n";

// Standard error is one per process, so its router is too.
struct CoreLogRouter {
  std::mutex mutex;
  std::condition_variable captureEnded;
  pappl_system_t *system = nullptr;
  bool papplLogsToStderr = true;
  int originalStderr = -1;
  bool capturing = false;
  bool ended = false;
  std::vector<std::string> captured;
  std::mutex captureOwner;  // one job setup at a time
};

CoreLogRouter &Router() {
  static CoreLogRouter router;
  return router;
}

void WriteAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written <= 0) return;
    data += written;
    size -= static_cast<size_t>(written);
  }
}

// PAPPL's own lines ("D [2024-01-31T10:00:00.000Z] ...") when it logs to standard error.
bool IsPapplLine(const std::string &line) {
  return line.size() > 4 && line[1] == ' ' && line[2] == '[' &&
         strchr("DIWEF", line[0]) != nullptr;
}

void RouteLine(const std::string &line) {
  CoreLogRouter &router = Router();
  if (line.find("\x1equenmark-capture-begin") != std::string::npos) {
    std::lock_guard<std::mutex> lock(router.mutex);
    router.capturing = true;
    return;
  }
  if (line.find("\x1equenmark-capture-end") != std::string::npos) {
    std::lock_guard<std::mutex> lock(router.mutex);
    router.capturing = false;
    router.ended = true;
    router.captureEnded.notify_all();
    return;
  }
  if (line.empty()) return;
  pappl_system_t *system = nullptr;
  bool papplLogsToStderr = true;
  {
    std::lock_guard<std::mutex> lock(router.mutex);
    if (router.capturing && !IsPapplLine(line)) {
      router.captured.push_back(line);
      return;
    }
    system = router.system;
    papplLogsToStderr = router.papplLogsToStderr;
  }
  // When PAPPL logs to standard error its lines come through here too: they, and the core's
  // lines, go on to the original standard error. This thread must never write into its own
  // pipe, which it alone drains.
  if (system == nullptr || papplLogsToStderr || IsPapplLine(line)) {
    const std::string out = line + "\n";
    WriteAll(router.originalStderr, out.data(), out.size());
    return;
  }
  std::string text;
  const pappl_loglevel_t level = CoreLineLevel(line, &text);
  papplLog(system, level, "%s", text.c_str());
}

void ReadLines(int fd) {
  std::string pending;
  char buffer[4096];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return;
    pending.append(buffer, static_cast<size_t>(got));
    size_t start = 0;
    size_t end;
    while ((end = pending.find('\n', start)) != std::string::npos) {
      RouteLine(pending.substr(start, end - start));
      start = end + 1;
    }
    pending.erase(0, start);
  }
}

}  // namespace

pappl_loglevel_t CoreLineLevel(const std::string &line, std::string *text) {
  struct Prefix {
    const char *text;
    pappl_loglevel_t level;
  };
  static const Prefix prefixes[] = {
      {"DEBUG: ", PAPPL_LOGLEVEL_DEBUG},
      {"INFO: ", PAPPL_LOGLEVEL_INFO},
      {"WARNING: ", PAPPL_LOGLEVEL_WARN},
      {"ERROR: ", PAPPL_LOGLEVEL_ERROR},
  };
  for (const Prefix &prefix : prefixes) {
    const size_t length = strlen(prefix.text);
    if (line.compare(0, length, prefix.text) == 0) {
      *text = line.substr(length);
      return prefix.level;
    }
  }
  *text = line;
  return PAPPL_LOGLEVEL_DEBUG;
}

int StartCoreLogRouting() {
  CoreLogRouter &router = Router();
  if (router.originalStderr >= 0) return router.originalStderr;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  const int original = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (original < 0 || dup2(fds[1], STDERR_FILENO) < 0) {
    if (original >= 0) close(original);
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  close(fds[1]);
  router.originalStderr = original;
  StartQuietThread(ReadLines, fds[0]).detach();
  return original;
}

void SetCoreLogSystem(pappl_system_t *system, bool papplLogsToStderr) {
  CoreLogRouter &router = Router();
  std::lock_guard<std::mutex> lock(router.mutex);
  router.system = system;
  router.papplLogsToStderr = papplLogsToStderr;
}

void BeginCoreLogCapture() {
  CoreLogRouter &router = Router();
  if (router.originalStderr < 0) return;
  router.captureOwner.lock();
  {
    std::lock_guard<std::mutex> lock(router.mutex);
    router.captured.clear();
    router.ended = false;
  }
  WriteAll(STDERR_FILENO, CAPTURE_BEGIN, sizeof CAPTURE_BEGIN - 1);
}

std::vector<std::string> EndCoreLogCapture() {
  CoreLogRouter &router = Router();
  if (router.originalStderr < 0) return {};
  WriteAll(STDERR_FILENO, CAPTURE_END, sizeof CAPTURE_END - 1);
  std::vector<std::string> lines;
  {
    std::unique_lock<std::mutex> lock(router.mutex);
    router.captureEnded.wait(lock, [&router] { return router.ended; });
    lines.swap(router.captured);
  }
  router.captureOwner.unlock();
  return lines;
}
