#pragma once
// The job driver: the state of one job, owned by the entry point and passed to every
// step explicitly, and the steps of the job in the order they run.

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "JobOptions.h"
#include "JobParamsProc.h"
#include "PrintSettings.h"
#include "OutputSequencing.h"
#include "PrinterStream.h"
#include "WorkDirectory.h"

// Set by the SIGTERM handler, polled by the page loop. The only global of the filter.
extern volatile sig_atomic_t cancel_job;
void sighandler(int signal);

inline constexpr size_t WORK_FILE_NAME_SIZE = 512;

struct JobState {
  JobLog log;  // the filter's log function: CUPS lines on standard error
  int jobId = 0;
  JobOptions options;  // argv[5], read once for the table, the collate flag and the PPD
  PARAM_KEY_SPERATOR_VALUE table[JOB_PARAM_COUNT];
  PrintSettings settings;
  unsigned char collate = 0;
  char jobParams[JOB_PARAMS_BUFFER_SIZE];

  int rasterFd = 0;             // standard input, or the file that argv[6] names
  bool rasterFileOpen = false;  // rasterFd is that file, ours to close
  WorkDirectory work;           // where the page files go, and the lock that takes turns there

  // The page loop and the order of the records: the holding buffers, the counters, the
  // printer stream.
  OutputSequence sequence;
};

// The whole filter run: arguments, settings, pages. Returns the exit status.
int FilterMain(int argc, char **argv);

// Arguments, the raster file, job options, job parameter table, collate flag and
// holding buffers. 0 to go on, otherwise the exit status.
int SetUpJob(JobState &job, int argc, char **argv);
void ReleaseJob(JobState &job);

// Everything after the print settings: work directory, raster, stream. Exit status.
int ProcessPages(JobState &job);

// Writes a PBM page file whole; false, with the reason logged, when it cannot. label and
// number name the side in that line ("page" 2, "extra page" 4).
bool WritePageFile(const char *name, const char *label, int number, uint32_t width, uint32_t height,
                   const unsigned char *pixels, uint64_t size, const JobLog &log);

// Reads a JBIG file whole; label is "page" or "extra page" for the log lines.
bool ReadJbgFile(const char *name, const char *label, int number, JbgData *jbg, const JobLog &log);
// A page's pixels while they are still in memory, in PBM rows.
struct PageInMemory {
  const unsigned char *pixels = nullptr;
  int width = 0;
  int height = 0;
};
// Encodes side m_page: its page file, turned by longEdgeAngle first when an A5 sheet goes
// in long edge first, becomes a JBIG file that is read back whole. When the side's pixels
// are still in memory (page not null), the turn starts from them instead of the file.
// Returns 0, 255 when the side cannot be encoded (the reason logged), or SIDE_CANCELLED.
int EncodeSide(const JobState &job, int longEdgeAngle, const char *label,
               const PageInMemory *page, JbgData *jbg);

// Takes the work directory's lock for one side: 0, SIDE_CANCELLED when SIGTERM came while
// another run held it, or 255.
int LockWorkDirectoryForSide(JobState &job);

// The files of the work directory, named after the job and the side.
enum class WorkFile { Page, TurnedPage, Jbig };
void WorkFileName(char (&name)[WORK_FILE_NAME_SIZE], WorkFile kind, const char *directory,
                  int jobId, int number);

// The blank back side through the work directory (under its lock) and the encoder, for the
// sequencing: 0, 255, or SIDE_CANCELLED.
int EncodeBlankBackSide(void *context, int32_t m_page, int32_t width, int32_t height,
                        JbgData *jbg);
