#pragma once
// The work directory /tmp/quenmark: one fixed place for the page files of every run of
// the filter on this machine, inside a directory that every local user can write to.
// Runs take turns with the lock file /tmp/quenmark.lock, holding it only while they use
// the directory, so that a job whose printer does not read holds up no other job. When
// another user's file, link or directory holds one of those names and cannot be removed,
// the job works in a place of its own instead: $TMPDIR/quenmark/ (the scheduler gives its
// filters a TMPDIR that only they can write to), else a fresh directory.

#include <cstddef>

#include "Log.h"

inline constexpr size_t WORK_PATH_SIZE = 256;

struct WorkDirectory {
  char directory[WORK_PATH_SIZE] = {};  // with its trailing slash, as work file names start
  char lockFile[WORK_PATH_SIZE] = {};
  char ownBase[WORK_PATH_SIZE] = {};  // a fresh directory of this job's alone, removed at its end
  int lockFd = -1;                    // the lock file, open for the whole job
  bool waited = false;                // the job has said once that it waits
};

enum class WorkDirectoryStatus {
  Ready,      // the directory is ours alone (and, after a lock, this run's to use)
  Cancelled,  // SIGTERM came while another run held the lock
  Unsafe,     // no place can be made; the reason has been logged
};

// Settles where the job works and prepares the directory: under the lock, the fixed one is
// emptied (or made anew) as a real directory of this process's user with mode 0700. A
// planted name that cannot be removed is left alone, named in a WARNING line, and the job
// moves to a place of its own. The lock is given up again before the function returns.
WorkDirectoryStatus PrepareWorkDirectory(WorkDirectory *work, const JobLog &log);
// Takes the lock for one use of the directory (a page spooled, turned, encoded and read
// back), waiting while another run uses it: Ready or Cancelled.
WorkDirectoryStatus LockWorkDirectory(WorkDirectory *work, const JobLog &log);
void UnlockWorkDirectory(WorkDirectory *work);
// Closes the lock file; a place of the job's own is removed with its files.
void CloseWorkDirectory(WorkDirectory *work);
