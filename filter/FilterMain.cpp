// The filter's entry point and the story of one job: set-up, print settings, duplex
// check, pages.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "FilterJob.h"
#include "Log.h"
#include "PageBlockHeap.h"
#include "PpdSettings.h"

volatile sig_atomic_t cancel_job = 0;

namespace {

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// A closed standard descriptor is taken by the next file the job opens: with standard
// output closed, the lock file would receive the printer stream, password and all. A
// closed standard input or error is given /dev/null; a closed standard output is a
// printer stream that cannot be written, reported by the return value (false).
bool SecureStandardDescriptors() {
  const bool stdoutOpen = IsOpen(STDOUT_FILENO);
  for (const int fd : {STDIN_FILENO, STDERR_FILENO}) {
    if (IsOpen(fd)) continue;
    const int devNull = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    // With standard output closed too, /dev/null lands there first: moved, never left.
    if (devNull >= 0 && devNull != fd) {
      dup2(devNull, fd);
      close(devNull);
    }
  }
  return stdoutOpen;
}

}  // namespace

void sighandler(int) {
  // write(2) is safe in a signal handler; stdio is not.
  static const char message[] = "DEBUG: 捕获SIGTERM信号,终止中\n";
  ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
  (void)ignored;
  cancel_job = 1;
}

int FilterMain(int argc, char **argv) {
  if (!SecureStandardDescriptors()) {
    LogLine(StderrLog(),
            "ERROR: Standard output is closed: there is no printer stream to write the job to\n");
    return 1;
  }
  // The page files, the turned pages, the blank back side and the encoder's JBIG files
  // hold the job's documents: private whatever umask the caller left us, children included.
  umask(077);
  KeepPageBlocksInHeap();
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, sighandler);

  // The job state is large (the table and the parameter string); keep it off the stack.
  JobState *job = new JobState();
  job->log = StderrLog();
  int status = SetUpJob(*job, argc, argv);
  if (status == 0) {
    if (GetPrintSettings(job->options, argv[4], job->table, &job->settings, &job->collate,
                         job->log) != 0) {
      status = 1;
    } else {
      VerifyParamsConstraint(job->table, &job->settings, job->log);
      status = ProcessPages(*job);
    }
  }
  ReleaseJob(*job);
  delete job;
  return status;
}
