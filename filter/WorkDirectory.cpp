// The work directory and its lock. /tmp is writable by every local user, so nothing
// found there is trusted: a symbolic link or a directory that another user planted
// under our name could make the filter overwrite, or print, files that are not its
// own, and page bitmaps of other people's documents must not be readable by anyone
// else. What another user planted is never opened, followed or written: when it
// cannot be removed, the job goes elsewhere.

#include "WorkDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "DirectoryCreation.h"
#include "FilterJob.h"

namespace {

constexpr long LOCK_POLL_NANOSECONDS = 50L * 1000 * 1000;
// The fixed place: /tmp/quenmark/ and its lock /tmp/quenmark.lock.
constexpr const char FIXED_BASE[] = "/tmp";
constexpr size_t TAKEN_TEXT_SIZE = 2 * WORK_PATH_SIZE;

bool IsOursAlone(const struct stat &info) {
  return info.st_uid == geteuid();
}

const char *UserName(uid_t uid, char (&name)[64]) {
  const struct passwd *user = getpwuid(uid);
  snprintf(name, sizeof name, "%s", user != nullptr ? user->pw_name : "unknown");
  return name;
}

// "/tmp/quenmark.lock is a regular file of user 65534 (nobody), which user 7 (lp), who
// runs the filter, cannot remove"
void DescribeTaken(const char *path, const struct stat &info, char *taken) {
  const char *kind = S_ISLNK(info.st_mode)   ? "a symbolic link"
                     : S_ISDIR(info.st_mode) ? "a directory"
                     : S_ISREG(info.st_mode) ? "a regular file"
                                             : "a special file";
  char owner[64];
  char self[64];
  snprintf(taken, TAKEN_TEXT_SIZE,
           "%s is %s of user %u (%s), which user %u (%s), who runs the "
           "filter, cannot remove",
           path, kind, static_cast<unsigned>(info.st_uid), UserName(info.st_uid, owner),
           static_cast<unsigned>(geteuid()), UserName(geteuid(), self));
}

// The directory's path without its trailing slash.
void DirectoryPath(const WorkDirectory &work, char (&path)[WORK_PATH_SIZE]) {
  snprintf(path, sizeof path, "%s", work.directory);
  const size_t length = strlen(path);
  if (length > 1) path[length - 1] = '\0';
}

bool SetPlace(WorkDirectory *work, const char *base) {
  const int directory = snprintf(work->directory, sizeof work->directory, "%s/quenmark/", base);
  const int lock = snprintf(work->lockFile, sizeof work->lockFile, "%s/quenmark.lock", base);
  return directory > 0 && static_cast<size_t>(directory) < sizeof work->directory && lock > 0 &&
         static_cast<size_t>(lock) < sizeof work->lockFile;
}

// The lock file must be a regular file of ours; anything else under its name (a link to
// somebody's file, a file another user made to hold us up) is removed and made anew, or,
// when it cannot be removed, left alone and described in taken.
int OpenLockFile(const char *path, char *taken) {
  struct stat info;
  if (lstat(path, &info) == 0 && !(S_ISREG(info.st_mode) && IsOursAlone(info)) &&
      unlink(path) != 0 && errno != ENOENT) {
    DescribeTaken(path, info, taken);
    return -1;
  }
  const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    snprintf(taken, TAKEN_TEXT_SIZE, "%s cannot be opened: %s", path, strerror(errno));
    return -1;
  }
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !IsOursAlone(info)) {
    // Planted between the look and the open.
    DescribeTaken(path, info, taken);
    close(fd);
    return -1;
  }
  if ((info.st_mode & 07777) != 0600) fchmod(fd, 0600);
  return fd;
}

// Once the directory exists it must be a directory of ours, reached without a symbolic
// link; its mode is then made 0700 on the open directory itself.
bool MakeDirectoryPrivate(const char *path) {
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ours = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && IsOursAlone(info);
  if (ours && (info.st_mode & 07777) != 0700) ours = fchmod(fd, 0700) == 0;
  close(fd);
  return ours;
}

// The usual case: the directory an earlier job left, ours and closed to everybody else,
// holding nothing but page files. Nobody else can have put anything into it, so it is
// emptied file by file. Anything unexpected (another owner, open permissions, a
// subdirectory) is left to the removal of the whole tree.
bool EmptyPrivateDirectory(const char *path, const struct stat &found) {
  if (!S_ISDIR(found.st_mode) || !IsOursAlone(found) || (found.st_mode & 077) != 0) return false;
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
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

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

// Removes a tree without following a link: a link is removed itself, never what it
// points at.
void RemoveTree(const char *path) { nftw(path, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT); }

// A fresh, empty directory of ours alone under the name. An entry of another user is
// removed only by root: for anyone else /tmp's sticky bit forbids it, and emptying
// another user's directory would write into what they planted.
bool MakeFreshDirectory(const char *path, bool fixed, char *taken) {
  struct stat info;
  if (lstat(path, &info) == 0 && !EmptyPrivateDirectory(path, info)) {
    if (!IsOursAlone(info) && geteuid() != 0) {
      DescribeTaken(path, info, taken);
      return false;
    }
    RemoveTree(path);
  }
  if (fixed) mkdirs("/tmp/");
  if (mkdir(path, 0700) != 0 && errno != EEXIST) {
    snprintf(taken, TAKEN_TEXT_SIZE, "%s cannot be created: %s", path, strerror(errno));
    return false;
  }
  if (!MakeDirectoryPrivate(path)) {
    if (lstat(path, &info) == 0) {
      DescribeTaken(path, info, taken);
    } else {
      snprintf(taken, TAKEN_TEXT_SIZE, "%s cannot be made: %s", path, strerror(errno));
    }
    return false;
  }
  return true;
}

// One place: its lock file, then, under the lock, its directory. Unsafe, with taken
// saying why, when either belongs to someone else.
WorkDirectoryStatus TryPlace(WorkDirectory *work, const char *base, bool fixed, char *taken,
                             const JobLog &log) {
  if (!SetPlace(work, base)) {
    snprintf(taken, TAKEN_TEXT_SIZE, "%.100s... is too long a path", base);
    return WorkDirectoryStatus::Unsafe;
  }
  work->lockFd = OpenLockFile(work->lockFile, taken);
  if (work->lockFd < 0) return WorkDirectoryStatus::Unsafe;
  const WorkDirectoryStatus locked = LockWorkDirectory(work, log);
  if (locked == WorkDirectoryStatus::Unsafe) {
    snprintf(taken, TAKEN_TEXT_SIZE, "%s cannot be locked", work->lockFile);
  }
  if (locked == WorkDirectoryStatus::Ready) {
    char path[WORK_PATH_SIZE];
    DirectoryPath(*work, path);
    const bool made = MakeFreshDirectory(path, fixed, taken);
    UnlockWorkDirectory(work);
    if (made) return WorkDirectoryStatus::Ready;
  }
  close(work->lockFd);
  work->lockFd = -1;
  return locked == WorkDirectoryStatus::Cancelled ? locked : WorkDirectoryStatus::Unsafe;
}

// The scheduler's TMPDIR for its filters, when it is a directory that only root and
// this user own and that others cannot write to; null otherwise (/tmp among them).
const char *PrivateTmpDir() {
  const char *dir = getenv("TMPDIR");
  if (dir == nullptr || dir[0] != '/' || strlen(dir) > WORK_PATH_SIZE / 2) return nullptr;
  struct stat info;
  if (stat(dir, &info) != 0 || !S_ISDIR(info.st_mode)) return nullptr;
  if ((info.st_uid != 0 && !IsOursAlone(info)) || (info.st_mode & S_IWOTH) != 0) return nullptr;
  return dir;
}

// A fresh directory that mkdtemp makes for this job alone, in TMPDIR or else in /tmp.
WorkDirectoryStatus TryOwnPlace(WorkDirectory *work, const char *tmpDir, char *taken,
                                const JobLog &log) {
  for (const char *base : {tmpDir, FIXED_BASE}) {
    if (base == nullptr) continue;
    snprintf(work->ownBase, sizeof work->ownBase, "%s/quenmark-XXXXXX", base);
    if (mkdtemp(work->ownBase) == nullptr) continue;
    const WorkDirectoryStatus status = TryPlace(work, work->ownBase, false, taken, log);
    if (status != WorkDirectoryStatus::Unsafe) return status;
    RemoveTree(work->ownBase);
  }
  work->ownBase[0] = '\0';
  snprintf(taken, TAKEN_TEXT_SIZE, "no directory of its own can be made: %s", strerror(errno));
  return WorkDirectoryStatus::Unsafe;
}

}  // namespace

WorkDirectoryStatus PrepareWorkDirectory(WorkDirectory *work, const JobLog &log) {
  // Everything the places found in the way, for the log once the job has settled.
  char taken[3][TAKEN_TEXT_SIZE] = {};
  WorkDirectoryStatus status = TryPlace(work, FIXED_BASE, true, taken[0], log);
  if (status != WorkDirectoryStatus::Unsafe) return status;
  const char *tmpDir = PrivateTmpDir();
  if (tmpDir != nullptr) status = TryPlace(work, tmpDir, false, taken[1], log);
  if (status == WorkDirectoryStatus::Unsafe) status = TryOwnPlace(work, tmpDir, taken[2], log);
  for (const char *reason : taken) {
    if (reason[0] == '\0') continue;
    if (status == WorkDirectoryStatus::Ready) {
      LogLine(log, "WARNING: %s; this job works in %s instead\n", reason, work->directory);
    } else if (status == WorkDirectoryStatus::Unsafe) {
      LogLine(log, "ERROR: There is no work directory for this job: %s\n", reason);
    }
  }
  return status;
}

WorkDirectoryStatus LockWorkDirectory(WorkDirectory *work, const JobLog &log) {
  // A blocking flock would be restarted after the SIGTERM handler, so the wait polls and
  // looks at the cancel flag between tries.
  bool waiting = false;
  while (flock(work->lockFd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      LogLine(log, "ERROR: Unable to lock %s: %s\n", work->lockFile, strerror(errno));
      return WorkDirectoryStatus::Unsafe;
    }
    if (!waiting) {
      // The printer's status says it once a job; later turns are short.
      LogLine(log, "%s: Waiting for another print job to finish with the work directory %s\n",
              work->waited ? "DEBUG" : "INFO", work->directory);
      waiting = true;
      work->waited = true;
    }
    if (cancel_job) {
      LogLine(log, "DEBUG: Job cancelled while waiting for the work directory\n");
      return WorkDirectoryStatus::Cancelled;
    }
    const struct timespec pause = {0, LOCK_POLL_NANOSECONDS};
    nanosleep(&pause, nullptr);
  }
  if (waiting) LogLine(log, "DEBUG: The work directory is free, going on\n");
  return WorkDirectoryStatus::Ready;
}

void UnlockWorkDirectory(WorkDirectory *work) {
  if (work->lockFd >= 0) flock(work->lockFd, LOCK_UN);
}

void CloseWorkDirectory(WorkDirectory *work) {
  if (work->lockFd >= 0) close(work->lockFd);
  work->lockFd = -1;
  if (work->ownBase[0] != '\0') RemoveTree(work->ownBase);
  work->ownBase[0] = '\0';
}
