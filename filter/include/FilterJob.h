#pragma once
// The job driver: the state of one job, owned by the entry point and passed to every
// step explicitly, and the steps of the job in the order they run.

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "JobParamsProc.h"
#include "PrintSettings.h"
#include "PrinterStream.h"
#include "WorkDirectory.h"

// Set by the SIGTERM handler, polled by the page loop. The only global of the filter.
extern volatile sig_atomic_t cancel_job;
void sighandler(int signal);

inline constexpr size_t HOLD_BUFFER_SIZE = 4194304;
inline constexpr size_t WORK_FILE_NAME_SIZE = 512;

// One side of a two-sided sheet, held until its partner has arrived.
struct HeldSide {
  unsigned char *data = nullptr;
  size_t capacity = 0;
  int64_t length = -1;  // -1: nothing held yet
  printer_header header;
};

struct JobState {
  int jobId = 0;
  PARAM_KEY_SPERATOR_VALUE table[JOB_PARAM_COUNT];
  PrintSettings settings;
  unsigned char collate = 0;
  HeldSide buff1;  // odd m_page: the front of a sheet
  HeldSide buff2;  // even m_page: the back
  char jobParams[JOB_PARAMS_BUFFER_SIZE];

  FILE *out = stdout;  // the printer stream
  int rasterFd = 0;    // the raster always comes from standard input
  int workLockFd = -1;  // held from the work directory's preparation to the end of the run

  // The page loop.
  int32_t rasterPage = 1;
  int32_t m_page = 0;
  int32_t recordCounter = 0;
  int32_t copiesLeft = 0;
  int32_t lastPage = 0;
  int32_t blankBackSide = 0;
  int32_t firstPageWidth = 0;   // cupsBytesPerLine * 8 of the first page
  int32_t firstPageHeight = 0;  // cupsHeight of the first page
  bool buff2HoldsBlank = false;  // the back side held is the blank one (not a raster page)
  bool streamFailed = false;
};

// The whole filter run: arguments, settings, pages. Returns the exit status.
int FilterMain(int argc, char **argv);

// Arguments, job parameter table, collate flag and holding buffers. 0 to go on,
// otherwise the exit status.
int SetUpJob(JobState &job, int argc, char **argv);
void ReleaseJob(JobState &job);

// Everything after the print settings: work directory, raster, stream. Exit status.
int ProcessPages(JobState &job);

// Writes a PBM page file whole; false, with the reason logged, when it cannot. label and
// number name the side in that line ("page" 2, "extra page" 4).
bool WritePageFile(const char *name, const char *label, int number, uint32_t width,
                   uint32_t height, const unsigned char *pixels, uint64_t size);

struct JbgData {
  unsigned char *data = nullptr;
  size_t size = 0;
};
// Reads a JBIG file whole; label is "page" or "extra page" for the log lines.
bool ReadJbgFile(const char *name, const char *label, int number, JbgData *jbg);
void ReleaseJbgData(JbgData *jbg);
// A page's pixels while they are still in memory, in PBM rows.
struct PageInMemory {
  const unsigned char *pixels = nullptr;
  int width = 0;
  int height = 0;
};
// Returned by a step in place of an exit status: the encoder of the side in hand died
// after SIGTERM had come (CUPS cancels a job by signalling the filter's whole process
// group). Nothing of that side is sent, and the job ends as cancelled, with status 0.
inline constexpr int SIDE_CANCELLED = -1;

// Encodes side m_page: its page file, turned by longEdgeAngle first when an A5 sheet goes
// in long edge first, becomes a JBIG file that is read back whole. When the side's pixels
// are still in memory (page not null), the turn starts from them instead of the file.
// Returns 0, 255 when the side cannot be encoded (the reason logged), or SIDE_CANCELLED.
int EncodeSide(const JobState &job, int longEdgeAngle, const char *label,
               const PageInMemory *page, JbgData *jbg);

// Output sequencing. Each returns 0, or the exit status that must end the job;
// AddBlankBackSide also SIDE_CANCELLED.
int OutputPage(JobState &job, printer_header &record, const unsigned char *data, size_t size);
int AddBlankBackSide(JobState &job);
int OutputDuplexPair(JobState &job);
