// The filter's entry point and the story of one job: set-up, print settings, duplex
// check, pages.

#include <malloc.h>
#include <unistd.h>

#include <csignal>

#include "FilterJob.h"
#include "PpdSettings.h"

volatile sig_atomic_t cancel_job = 0;

void sighandler(int) {
  // write(2) is safe in a signal handler; stdio is not.
  static const char message[] = "DEBUG: 捕获SIGTERM信号,终止中\n";
  ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
  (void)ignored;
  cancel_job = 1;
}

int FilterMain(int argc, char **argv) {
  // Every page takes the same few large blocks again (its pixels, the two bitmaps of a
  // turn, the JBIG data). Kept in the heap once freed, they serve the next page; handed
  // back to the system, they were faulted in and cleared again page by page, the largest
  // part of the filter's own work on a turned page. The peak stays what one page needs.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, sighandler);

  // The job state is large (the table and the parameter string); keep it off the stack.
  JobState *job = new JobState();
  int status = SetUpJob(*job, argc, argv);
  if (status == 0) {
    if (GetPrintSettings(job->options, argv[4], job->table, &job->settings) != 0) {
      status = 1;
    } else {
      VerifyParamsConstraint(job->table, &job->settings);
      status = ProcessPages(*job);
    }
  }
  ReleaseJob(*job);
  delete job;
  return status;
}
