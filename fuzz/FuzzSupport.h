#pragma once
// Shared by the fuzz targets: a broken invariant becomes a crash the fuzzer keeps, and
// scratch files live in a directory of this process's own.

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// abort() rather than a return value: the fuzzer saves the input that broke the rule.
// The message goes where the sanitizers report, which stays open when the fuzzer runs
// with -close_fd_mask to silence the filter's log.
#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      char message[512];                                                               \
      snprintf(message, sizeof message, "fuzz check failed: %s (%s:%d)", #condition,   \
               __FILE__, __LINE__);                                                    \
      __sanitizer_report_error_summary(message);                                       \
      abort();                                                                         \
    }                                                                                  \
  } while (0)

// A fresh directory under $TMPDIR (or /tmp) for this process alone, so that fuzzers
// running side by side never share a file; removed when the fuzzer exits normally.
inline const std::string &ScratchDir() {
  // Never destroyed: the removal at exit runs after the destructors of statics made later.
  static const std::string *dir = [] {
    const char *base = getenv("TMPDIR");
    auto *path = new std::string(std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                                 "/quenmark-fuzz-XXXXXX");
    if (mkdtemp(path->data()) == nullptr) {
      perror("mkdtemp");
      abort();
    }
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchDir(), ignored);
    });
    return path;
  }();
  return *dir;
}

// Replaces the file's contents with the bytes given.
inline void WriteScratchFile(const std::string &path, const uint8_t *data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  size_t done = 0;
  while (done < size) {
    const ssize_t written = write(fd, data + done, size - done);
    FUZZ_CHECK(written > 0);
    done += static_cast<size_t>(written);
  }
  close(fd);
}
