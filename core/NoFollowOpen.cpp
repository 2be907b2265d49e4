#include "NoFollowOpen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

FILE *fopenNoFollow(const char *path, const char *mode) {
  const bool writing = mode != nullptr && mode[0] == 'w';
  const int flags = writing ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY;
  // O_NONBLOCK keeps a FIFO in the way from stalling the open; it means nothing for the
  // regular files that are accepted.
  const int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  FILE *file = fdopen(fd, writing ? "wb" : "rb");
  if (file == nullptr) {
    const int savedErrno = errno;
    close(fd);
    errno = savedErrno;
  }
  return file;
}
