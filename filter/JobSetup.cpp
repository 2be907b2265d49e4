// Job set-up: arguments, the job's parameter table, the collate flag and the holding
// buffers for two-sided pairs.

#include <cups/cups.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "FilterJob.h"
#include "Log.h"
#include "Utility.h"

namespace {

constexpr size_t HOST_NAME_LENGTH = 65;

bool IsFalseWord(const char *value) {
  static const char *const falseWords[] = {"False", "false", "No", "no", "Off", "off"};
  for (const char *word : falseWords) {
    if (strcmp(value, word) == 0) return true;
  }
  return false;
}

// Collated copies unless the options say otherwise: "noCollate" or Collate=False (and
// its spellings) turn collation off, "Collate" alone or with any other value turns it
// on, and no Collate option at all leaves it off.
unsigned char SettleCollateFlag(const char *options) {
  cups_option_t *parsed = nullptr;
  const int count = cupsParseOptions(options, 0, &parsed);
  const char *value = cupsGetOption("Collate", count, parsed);
  unsigned char collate = 0;
  if (value != nullptr) {
    if (IsFalseWord(value)) {
      LogLine("DEBUG: option nocollate found\n");
    } else {
      LogLine("DEBUG: option collate found\n");
      collate = 1;
    }
  }
  cupsFreeOptions(count, parsed);
  LogLine("DEBUG: collate is %d\n", collate);
  return collate;
}

}  // namespace

int SetUpJob(JobState &job, int argc, char **argv) {
  for (int i = 0; i < argc; ++i) {
    // The options may carry the account password; it never reaches the log in clear.
    const std::string shown = i == 5 ? MaskSecretsInOptions(argv[i]) : std::string(argv[i]);
    LogLine("DEBUG: tavrel_quenbrisk argv[%d]=%s \n", i, shown.c_str());
  }
  if (argc < 6 || argc > 7) {
    LogLine("Usage: %s job user title copies options [file]\n", argv[0]);
    return 1;
  }

  job.jobId = atoi(argv[1]);
  memcpy(job.table, tblDefParam, sizeof job.table);
  GetJobParamFromCups(argv[5], job.table);
  SetSubmittedJobParam("jobId", argv[1], job.table);
  SetSubmittedJobParam("LoginName", argv[2], job.table);

  char docName[DOC_NAME_BUFFER_SIZE] = {};
  char *docNamePointer = docName;
  getDocumenName(argv[3], &docNamePointer);
  SetSubmittedJobParam("DocName", docName, job.table);
  SetSubmittedJobParam("copies", argv[4], job.table);

  char hostName[HOST_NAME_LENGTH + 1] = {};
  gethostname(hostName, HOST_NAME_LENGTH);
  LogLine("HostName: %s\n", hostName);
  SetJobParam("HostName", hostName, job.table);

  job.collate = SettleCollateFlag(argv[5]);

  if (!AllocateHoldBuffers(job.sequence)) {
    LogLine("Buff1 or Buff2 malloc failed\n");
    return 1;
  }
  return 0;
}

void ReleaseJob(JobState &job) {
  ReleaseHoldBuffers(job.sequence);
  CloseWorkDirectoryLock(&job.workLockFd);
}
