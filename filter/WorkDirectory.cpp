// The work directory and its lock. /tmp is writable by every local user, so nothing
// found there is trusted: a symbolic link or a directory that another user planted
// under our name could make the filter overwrite, or print, files that are not its
// own, and page bitmaps of other people's documents must not be readable by anyone
// else.

#include "WorkDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "DirectoryCreation.h"
#include "FilterJob.h"
#include "Log.h"

namespace {

constexpr long LOCK_POLL_NANOSECONDS = 50L * 1000 * 1000;

bool IsOursAlone(const struct stat &info) {
  return info.st_uid == geteuid();
}

// The lock file must be a regular file of ours; anything else under its name (a link to
// somebody's file, a file another user made to hold us up) is removed once and made anew.
int OpenLockFile(const JobLog &log) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = open(WORK_LOCK_FILE, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0) {
      struct stat info;
      if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && IsOursAlone(info)) {
        if ((info.st_mode & 07777) != 0600) fchmod(fd, 0600);
        return fd;
      }
      close(fd);
    }
    if (unlink(WORK_LOCK_FILE) != 0 && errno != ENOENT) break;
  }
  LogLine(log,
          "ERROR: The lock file %s belongs to another user or is not a regular file, and it "
          "cannot be removed: %s\n",
          WORK_LOCK_FILE, strerror(errno));
  return -1;
}

// A blocking flock would be restarted after the SIGTERM handler, so the wait polls and
// looks at the cancel flag between tries.
WorkDirectoryStatus LockWorkDirectory(int *lockFd, const JobLog &log) {
  const int fd = OpenLockFile(log);
  if (fd < 0) return WorkDirectoryStatus::Unsafe;
  bool waited = false;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      LogLine(log, "ERROR: Unable to lock %s: %s\n", WORK_LOCK_FILE, strerror(errno));
      close(fd);
      return WorkDirectoryStatus::Unsafe;
    }
    if (!waited) {
      LogLine(log, "INFO: Waiting for another print job to finish with the work directory %s\n",
              WORK_DIRECTORY);
      waited = true;
    }
    if (cancel_job) {
      LogLine(log, "DEBUG: Job cancelled while waiting for the work directory\n");
      close(fd);
      return WorkDirectoryStatus::Cancelled;
    }
    const struct timespec pause = {0, LOCK_POLL_NANOSECONDS};
    nanosleep(&pause, nullptr);
  }
  if (waited) LogLine(log, "DEBUG: The work directory is free, going on\n");
  *lockFd = fd;
  return WorkDirectoryStatus::Ready;
}

// Once the directory exists it must be a directory of ours, reached without a symbolic
// link; its mode is then made 0700 on the open directory itself.
bool MakeDirectoryPrivate() {
  const int fd = open(WORK_DIRECTORY_PATH, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ours = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && IsOursAlone(info);
  if (ours && (info.st_mode & 07777) != 0700) ours = fchmod(fd, 0700) == 0;
  close(fd);
  return ours;
}

// The usual case: the directory an earlier job left, ours and closed to everybody else,
// holding nothing but page files. Nobody else can have put anything into it, so it is
// emptied here, which spares every job two process starts. Anything unexpected (another
// owner, open permissions, a subdirectory) is left to rm.
bool EmptyPrivateDirectory(const struct stat &found) {
  if (!S_ISDIR(found.st_mode) || !IsOursAlone(found) || (found.st_mode & 077) != 0) return false;
  const int fd = open(WORK_DIRECTORY_PATH, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat opened;
  if (fstat(fd, &opened) != 0 || opened.st_dev != found.st_dev || opened.st_ino != found.st_ino) {
    close(fd);
    return false;
  }
  DIR *dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return false;
  }
  bool emptied = true;
  while (const struct dirent *entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (unlinkat(fd, entry->d_name, 0) != 0) emptied = false;
  }
  closedir(dir);
  return emptied;
}

}  // namespace

WorkDirectoryStatus PrepareWorkDirectory(int *lockFd, const JobLog &log) {
  *lockFd = -1;
  const WorkDirectoryStatus locked = LockWorkDirectory(lockFd, log);
  if (locked != WorkDirectoryStatus::Ready) return locked;

  struct stat info;
  if (lstat(WORK_DIRECTORY_PATH, &info) == 0 && !EmptyPrivateDirectory(info)) {
    // Without a trailing slash rm removes a symbolic link itself, never what it points
    // at, and it does not follow links inside a directory. Nothing has been written to
    // the printer stream yet, so the child cannot reorder it.
    int ignored = system("rm -rf /tmp/quenmark");
    (void)ignored;
  }
  mkdirs("/tmp/");
  if (mkdir(WORK_DIRECTORY_PATH, 0700) != 0 && errno != EEXIST) {
    LogLine(log, "ERROR: Unable to create the work directory %s: %s\n", WORK_DIRECTORY_PATH,
            strerror(errno));
    CloseWorkDirectoryLock(lockFd);
    return WorkDirectoryStatus::Unsafe;
  }
  if (!MakeDirectoryPrivate()) {
    LogLine(log,
            "ERROR: %s is not a directory of this filter's user (uid %u), and it cannot be "
            "removed; remove it and print again\n",
            WORK_DIRECTORY_PATH, static_cast<unsigned>(geteuid()));
    CloseWorkDirectoryLock(lockFd);
    return WorkDirectoryStatus::Unsafe;
  }
  return WorkDirectoryStatus::Ready;
}

void CloseWorkDirectoryLock(int *lockFd) {
  if (*lockFd >= 0) close(*lockFd);
  *lockFd = -1;
}
