// The in-process job: pages are turned where the sheet goes in long edge first, encoded
// on the pool's workers, and taken back in their order for the output sequencing that
// the filter uses too. A page's records can only be written once it is known whether a
// page follows it, so the newest page always waits for the next one or for the end.

#include "StreamJob.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "JbigMemoryEncoder.h"
#include "Log.h"
#include "OutputSequencing.h"
#include "ParallelEncoder.h"
#include "BitmapTurn.h"

struct StreamJob {
  JobSettings job;
  OutputSequence sequence;
  char jobParams[JOB_PARAMS_BUFFER_SIZE] = {};
  char loggableJobParams[JOB_PARAMS_BUFFER_SIZE] = {};
  ParallelEncoder *pool = nullptr;
  int32_t submitted = 0;  // pages handed to the pool
  int status = 0;         // the first failure's exit status
};

namespace {

// Encodes a bitmap whose ownership stays with the caller; the JBIG data lands in jbg.
bool EncodeInto(unsigned char *bits, int32_t width, int32_t height, int32_t side, JbgData *jbg,
                const JobLog &log) {
  JbigBytes bytes;
  char error[JBIG_ERROR_TEXT_SIZE] = {};
  if (!EncodeJbigInMemory(bits, width, height, &bytes, error, sizeof error)) {
    LogLine(log, "ERROR: Unable to encode side %d: %s\n", side, error);
    return false;
  }
  jbg->data = bytes.data;
  jbg->size = bytes.size;
  return true;
}

// The page as the printer takes it: an A5 sheet fed long edge first is turned, the back of
// a two-sided sheet the other way. Frees the bits it was given; null when memory runs out.
unsigned char *TurnForFeed(unsigned char *bits, int32_t *width, int32_t *height, int angle) {
  const uint64_t turnedBytes = static_cast<uint64_t>(PbmStride(*height)) * static_cast<uint64_t>(*width);
  unsigned char *turned = static_cast<unsigned char *>(calloc(turnedBytes > 0 ? turnedBytes : 1, 1));
  if (turned != nullptr) TurnBitmap(bits, *width, *height, angle, turned);
  free(bits);
  const int32_t turnedWidth = *height;
  *height = *width;
  *width = turnedWidth;
  return turned;
}

int EncodeBlankSide(void *context, int32_t m_page, int32_t width, int32_t height, JbgData *jbg) {
  const StreamJob *job = static_cast<const StreamJob *>(context);
  const JobLog &log = job->job.log;
  LogLine(log, "DEBUG: extra page %d is a white page of %d x %d\n", m_page, width, height);
  const uint64_t bytes = static_cast<uint64_t>(width / 8) * static_cast<uint64_t>(height);
  if (width < 1 || height < 1 || bytes > PBM_MAX_BITMAP_BYTES) {
    LogLine(log, "ERROR: The blank back side cannot be %d x %d pixels\n", width, height);
    return 255;
  }
  unsigned char *white = static_cast<unsigned char *>(calloc(bytes, 1));
  if (white != nullptr && IsLongEdgeA5(job->job.settings)) {
    // Both turns of a white page are white; the size is what the turn changes.
    white = TurnForFeed(white, &width, &height, -90);
  }
  if (white == nullptr) {
    LogLine(log, "ERROR: Unable to allocate %llu bytes for the blank back side\n",
            static_cast<unsigned long long>(bytes));
    return 255;
  }
  const bool encoded = EncodeInto(white, width, height, m_page, jbg, log);
  free(white);
  return encoded ? 0 : 255;
}

int Fail(StreamJob *job, int status) {
  if (job->status == 0) job->status = status;
  if (job->pool != nullptr) AbortParallelEncoder(job->pool);
  return job->status;
}

// Writes the records of the oldest page in flight. last: no page follows it.
int SequenceEncodedPage(StreamJob *job, EncodedPage &page, bool last) {
  OutputSequence &sequence = job->sequence;
  const JobLog &log = job->job.log;
  if (!page.ok) {
    LogLine(log, "ERROR: Unable to encode page %d: %s\n", sequence.rasterPage, page.error);
    return Fail(job, 255);
  }
  JbgData jbg{page.jbig.data, page.jbig.size};
  page.jbig = JbigBytes();
  StartConvertedSide(sequence, last);
  printer_header record = ConvertedSideRecord(sequence, false, jbg.size);
  const int status = OutputConvertedPage(sequence, record, &jbg);
  ReleaseJbgData(&jbg);
  if (status != 0) return Fail(job, status);
  if (sequence.streamFailed) {
    LogLine(log, "ERROR: Unable to write the print data\n");
    return Fail(job, 1);
  }
  return 0;
}

// Takes the next result in order and writes its records; wait: block until it is there.
TakeResult TakeAndSequence(StreamJob *job, bool wait, bool last) {
  EncodedPage page;
  const TakeResult taken = wait ? TakeEncodedPage(job->pool, &page)
                                : TryTakeEncodedPage(job->pool, &page);
  if (taken == TakeResult::Taken) {
    SequenceEncodedPage(job, page, last);
    ReleaseJbigBytes(&page.jbig);
  }
  return taken;
}

}  // namespace

StreamJob *StartStreamJob(const StreamJobConfig &config) {
  StreamJob *job = new StreamJob();
  job->job = config.settings;
  OutputSequence &sequence = job->sequence;
  sequence.out = config.out;
  sequence.log = config.settings.log;
  const JobLog &log = config.settings.log;
  sequence.collate = config.settings.collate;
  sequence.duplexMode = config.settings.settings.duplexMode;
  sequence.copies = config.settings.settings.copies;
  sequence.blankSide.encode = EncodeBlankSide;
  sequence.blankSide.context = job;
  if (!AllocateHoldBuffers(sequence)) {
    LogLine(log, "Buff1 or Buff2 malloc failed\n");
    ReleaseHoldBuffers(sequence);
    delete job;
    return nullptr;
  }
  char *jobParams = job->jobParams;
  BuildJobParams(&jobParams, job->job.table, log);
  BuildLoggableJobParams(job->loggableJobParams, sizeof job->loggableJobParams, job->job.table);

  ParallelEncoderConfig pool;
  pool.threads = config.threads;
  char error[JBIG_ERROR_TEXT_SIZE] = {};
  job->pool = StartParallelEncoder(pool, error, sizeof error);
  if (job->pool == nullptr) {
    LogLine(log, "ERROR: Unable to start the page encoders: %s\n", error);
    ReleaseHoldBuffers(sequence);
    delete job;
    return nullptr;
  }
  return job;
}

int AddStreamJobPage(StreamJob *job, unsigned char *bits, int32_t width, int32_t height) {
  if (job->status != 0) {
    free(bits);
    return job->status;
  }
  const JobLog &log = job->job.log;
  const int32_t pageNumber = job->submitted + 1;
  LogLine(log, "INFO: Printing page %d\n", pageNumber);
  const uint64_t pageBytes = static_cast<uint64_t>(PbmStride(width > 0 ? width : 0)) *
                             static_cast<uint64_t>(height > 0 ? height : 0);
  if (bits == nullptr || width < 1 || height < 1 || pageBytes > PBM_MAX_BITMAP_BYTES ||
      !PageWithinLimits(job->job.settings.pageLimits, static_cast<uint64_t>(width),
                        static_cast<uint64_t>(height))) {
    LogLine(log, "ERROR: Page %d (%d x %d pixels) is not a page the printer can take\n", pageNumber,
            width, height);
    free(bits);
    return Fail(job, 1);
  }

  OutputSequence &sequence = job->sequence;
  if (job->submitted == 0) {
    if (!WriteJobHeader(sequence.out, job->jobParams, job->loggableJobParams, log)) {
      free(bits);
      LogLine(log, "ERROR: Unable to write the print data\n");
      return Fail(job, 1);
    }
    sequence.firstPageWidth = static_cast<int32_t>(PbmStride(width) * 8);
    sequence.firstPageHeight = height;
  }
  if (IsLongEdgeA5(job->job.settings)) {
    const int angle = sequence.duplexMode == 0 || pageNumber % 2 == 1 ? -90 : 90;
    bits = TurnForFeed(bits, &width, &height, angle);
    LogLine(log, "DEBUG: A5L need rotate.[%d]\n", angle);
    if (bits == nullptr) {
      LogLine(log, "ERROR: Unable to allocate the turned page %d\n", pageNumber);
      return Fail(job, 255);
    }
  }

  // Every page already submitted has a successor now; write what is ready, and make room
  // when the pool is full.
  while (job->status == 0) {
    const bool full = ParallelEncoderInFlight(job->pool) >= ParallelEncoderLimit(job->pool);
    if (TakeAndSequence(job, full, false) != TakeResult::Taken) break;
  }
  if (job->status != 0) {
    free(bits);
    return job->status;
  }
  PageToEncode page;
  page.bits = bits;
  page.width = width;
  page.height = height;
  if (!SubmitPage(job->pool, page)) return Fail(job, 255);
  job->submitted += 1;
  return 0;
}

int FinishStreamJob(StreamJob *job) {
  if (job == nullptr) return 1;
  FinishSubmitting(job->pool);
  int32_t taken = job->sequence.rasterPage - 1;
  while (job->status == 0) {
    const bool last = taken + 1 == job->submitted;
    if (TakeAndSequence(job, true, last) != TakeResult::Taken) break;
    taken += 1;
  }
  if (fflush(job->sequence.out) != 0 && job->status == 0) {
    LogLine(job->job.log, "ERROR: Unable to write the print data\n");
    job->status = 1;
  }
  const int status = job->status;
  StopParallelEncoder(job->pool);
  ReleaseHoldBuffers(job->sequence);
  delete job;
  return status;
}

void AbandonStreamJob(StreamJob *job) {
  if (job == nullptr) return;
  Fail(job, 1);
  fflush(job->sequence.out);
  StopParallelEncoder(job->pool);
  ReleaseHoldBuffers(job->sequence);
  delete job;
}
