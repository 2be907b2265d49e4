// Job set-up: arguments, the raster input, the job's options and parameter table, the
// collate flag and the holding buffers for two-sided pairs.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "DocumentName.h"
#include "FilterJob.h"
#include "JobOptions.h"
#include "Log.h"

namespace {

constexpr size_t HOST_NAME_LENGTH = 65;

// Collated copies when the options ask for them: "Collate" alone (as the scheduler
// passes a true boolean) or with any value but false, no or off turns collation on;
// "noCollate", Collate=False and its spellings, or no Collate option leave it off.
unsigned char SettleCollateFlag(const JobOptions &options, const JobLog &log) {
  const int collate = ReadCollateOption(options);
  if (collate == 0) LogLine(log, "DEBUG: option nocollate found\n");
  if (collate == 1) LogLine(log, "DEBUG: option collate found\n");
  const unsigned char flag = collate == 1 ? 1 : 0;
  LogLine(log, "DEBUG: collate is %d\n", flag);
  return flag;
}

// When CUPS starts the filter first in the chain (a raster printed as it is) the job's
// file is argv[6] and standard input is empty. A file that cannot be read is the end
// of the job before anything is written: printing nothing would look like success.
bool OpenRasterFile(JobState &job, const char *path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    LogLine(job.log, "ERROR: Unable to open the raster file %s: %s\n", path, strerror(errno));
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    LogLine(job.log, "ERROR: Unable to read the raster file %s: %s\n", path, strerror(EISDIR));
    close(fd);
    return false;
  }
  job.rasterFd = fd;
  job.rasterFileOpen = true;
  return true;
}

}  // namespace

int SetUpJob(JobState &job, int argc, char **argv) {
  const JobLog &log = job.log;
  for (int i = 0; i < argc; ++i) {
    // The options may carry the account password; it never reaches the log in clear.
    const std::string shown = i == 5 ? MaskSecretsInOptions(argv[i]) : std::string(argv[i]);
    LogLine(log, "DEBUG: tavrel_quenbrisk argv[%d]=%s \n", i, shown.c_str());
  }
  if (argc < 6 || argc > 7) {
    LogLine(log, "Usage: %s job user title copies options [file]\n", argv[0]);
    return 1;
  }

  if (argc == 7 && !OpenRasterFile(job, argv[6])) return 1;

  job.jobId = atoi(argv[1]);
  job.options = ParseJobOptions(argv[5]);
  memcpy(job.table, tblDefParam, sizeof job.table);
  GetJobParamFromCups(job.options, job.table, log);
  SetSubmittedJobParam("jobId", argv[1], job.table, log);
  SetSubmittedJobParam("LoginName", argv[2], job.table, log);

  char docName[DOC_NAME_BUFFER_SIZE] = {};
  char *docNamePointer = docName;
  getDocumenName(argv[3], &docNamePointer, log);
  SetSubmittedJobParam("DocName", docName, job.table, log);
  SetSubmittedJobParam("copies", argv[4], job.table, log);

  char hostName[HOST_NAME_LENGTH + 1] = {};
  gethostname(hostName, HOST_NAME_LENGTH);
  LogLine(log, "HostName: %s\n", hostName);
  SetJobParam("HostName", hostName, job.table, log);

  job.collate = SettleCollateFlag(job.options, log);

  if (!AllocateHoldBuffers(job.sequence)) {
    LogLine(log, "Buff1 or Buff2 malloc failed\n");
    return 1;
  }
  return 0;
}

void ReleaseJob(JobState &job) {
  ReleaseHoldBuffers(job.sequence);
  CloseWorkDirectory(&job.work);
  ReleaseJobOptions(&job.options);
  if (job.rasterFileOpen) close(job.rasterFd);
  job.rasterFileOpen = false;
  job.rasterFd = 0;
}
