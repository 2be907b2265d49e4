#pragma once
// The work directory /tmp/quenmark: one fixed place for the page files of every run of
// the filter on this machine, inside a directory that every local user can write to.

#include "Log.h"

inline constexpr const char WORK_DIRECTORY[] = "/tmp/quenmark/";
inline constexpr const char WORK_DIRECTORY_PATH[] = "/tmp/quenmark";  // the same, without the slash
inline constexpr const char WORK_LOCK_FILE[] = "/tmp/quenmark.lock";

enum class WorkDirectoryStatus {
  Ready,      // the lock is held and the directory is fresh, empty and ours alone
  Cancelled,  // SIGTERM came while another run held the lock
  Unsafe,     // something that is not ours is in the way; the reason has been logged
};

// Takes the lock that keeps runs of the filter out of each other's page files (waiting
// while another run holds it), then empties and recreates the work directory as a real
// directory of this process's user with mode 0700. *lockFd keeps the lock for the rest
// of the run; CloseWorkDirectoryLock gives it up.
WorkDirectoryStatus PrepareWorkDirectory(int *lockFd, const JobLog &log);
void CloseWorkDirectoryLock(int *lockFd);
