// The page loop: raster page -> PBM page file -> (turn) -> JBIG file -> output
// sequencing, one page at a time.

#include <cups/raster.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FilterJob.h"
#include "JbigEncoder.h"
#include "Log.h"
#include "NoFollowOpen.h"
#include "PbmFile.h"
#include "RasterPage.h"

namespace {

// One line for every work file that fails a side: the file, the cause and the side.
void LogSideFailure(const JobLog &log, const char *what, const char *file, const char *cause,
                    const char *label, int number) {
  LogLine(log, "ERROR: Unable to %s %s: %s (%s %d)\n", what, file, cause, label, number);
}

int StreamFailure(JobState &job) {
  LogLine(job.log, "ERROR: Unable to write the print data: %s\n",
          strerror(errno != 0 ? errno : EIO));
  job.sequence.streamFailed = true;
  return 1;
}

// Everything written so far must reach the backend; a failure there is the job's failure.
int FinishStream(JobState &job, int status) {
  FILE *out = job.sequence.out;
  const bool flushed = fflush(out) == 0 && ferror(out) == 0;
  if (status != 0) return status;
  if (job.sequence.streamFailed) return 1;
  return flushed ? 0 : StreamFailure(job);
}

// The page's turn in the work directory: spooled, turned, encoded and read back under
// the lock, which is given up before anything of it goes to the printer. A page that is not
// turned is done with its pixels once spooled (*pixels is then freed and null).
int EncodeRasterPage(JobState &job, unsigned char **pixels, uint32_t width, uint32_t height,
                     uint64_t pageBytes, bool lastRasterPage, JbgData *jbg) {
  OutputSequence &sequence = job.sequence;
  if (const int locked = LockWorkDirectoryForSide(job); locked != 0) return locked;
  char pageFile[WORK_FILE_NAME_SIZE];
  WorkFileName(pageFile, WorkFile::Page, job.work.directory, job.jobId, sequence.rasterPage);
  int status = 255;
  if (WritePageFile(pageFile, "page", sequence.rasterPage, width, height, *pixels, pageBytes,
                    job.log)) {
    // A page that will be turned is turned from these pixels rather than read back from
    // its file.
    if (!IsLongEdgeA5(job.settings)) {
      free(*pixels);
      *pixels = nullptr;
    }
    const PageInMemory page{*pixels, static_cast<int>(width), static_cast<int>(height)};
    StartConvertedSide(sequence, lastRasterPage);
    // The back of a two-sided sheet fed long edge first is turned the other way.
    const int longEdgeAngle = sequence.duplexMode == 0 || sequence.m_page % 2 == 1 ? -90 : 90;
    status = EncodeSide(job, longEdgeAngle, "page", &page, jbg);
  }
  UnlockWorkDirectory(&job.work);
  return status;
}

// One raster page, from its pixels to its records. Returns 0 to go on, or the exit
// status that ends the job.
int ConvertPage(JobState &job, cups_raster_t *raster, cups_page_header2_t &header) {
  const JobLog &log = job.log;
  OutputSequence &sequence = job.sequence;
  LogLine(log, "DEBUG: Page%d begin ,page_width = %d,page_height=%d, page_line_bytes=%d \n",
          sequence.rasterPage, header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine);
  LogLine(log, "INFO: Printing page %d\n", sequence.rasterPage);
  if (!AcceptRasterPage(header, sequence.rasterPage, job.settings.pageLimits, log)) return 1;

  const uint64_t pageBytes = static_cast<uint64_t>(header.cupsBytesPerLine) * header.cupsHeight;
  // Zero-filled before the read: a short read leaves the rest of the page white. The count
  // libcups returns cannot say where the data ended (it is 0 after a short read even when
  // rows arrived), so the whole page is cleared, not just a tail.
  unsigned char *pixels = static_cast<unsigned char *>(calloc(pageBytes, 1));
  if (pixels == nullptr) {
    LogLine(log, "ERROR: Unable to allocate %llu bytes for page %d\n",
            static_cast<unsigned long long>(pageBytes), sequence.rasterPage);
    return 255;
  }
  const unsigned read = cupsRasterReadPixels(raster, pixels, static_cast<unsigned>(pageBytes));
  LogLine(log, "DEBUG: Page %d read %d pixels\n", sequence.rasterPage, static_cast<int>(read));
  MakeSetBitsBlack(header, pixels);

  // The next page's header is read before the work directory is taken: the program before
  // us in the chain may take its time over that page, and nobody should wait for it.
  const uint32_t width = header.cupsWidth;
  const uint32_t height = header.cupsHeight;
  const bool lastRasterPage = !cupsRasterReadHeader2(raster, &header);
  JbgData jbg;
  const int encoded =
      EncodeRasterPage(job, &pixels, width, height, pageBytes, lastRasterPage, &jbg);
  free(pixels);
  if (encoded == SIDE_CANCELLED) {
    sequence.lastPage = 1;
    return 0;
  }
  if (encoded != 0) return encoded;

  printer_header record = ConvertedSideRecord(sequence, cancel_job != 0, jbg.size);
  const int status = OutputConvertedPage(sequence, record, &jbg);
  // A blank back side whose encoder died with the cancel is not sent, and neither is the
  // front it belongs to, as after any cancel between the sides of a sheet.
  return status == SIDE_CANCELLED ? 0 : status;
}

}  // namespace

int LockWorkDirectoryForSide(JobState &job) {
  switch (LockWorkDirectory(&job.work, job.log)) {
    case WorkDirectoryStatus::Ready:
      return 0;
    case WorkDirectoryStatus::Cancelled:
      return SIDE_CANCELLED;
    case WorkDirectoryStatus::Unsafe:
      break;
  }
  return 255;
}

void WorkFileName(char (&name)[WORK_FILE_NAME_SIZE], WorkFile kind, const char *directory,
                  int jobId, int number) {
  static const char *const formats[] = {"%s%d_%d_gs.pbm", "%s%d_%d_gs_rotated.pbm", "%s%d-%d.jbg"};
  memset(name, 0, sizeof name);
  snprintf(name, sizeof name, formats[static_cast<int>(kind)], directory, jobId, number);
}

bool WritePageFile(const char *name, const char *label, int number, uint32_t width, uint32_t height,
                   const unsigned char *pixels, uint64_t size, const JobLog &log) {
  FILE *file = fopenNoFollow(name, "wb");
  if (file == nullptr) {
    LogSideFailure(log, "create page file", name, strerror(errno), label, number);
    return false;
  }
  if (const int failure = WritePbmAndClose(file, width, height, pixels, size); failure != 0) {
    LogSideFailure(log, "write page file", name, strerror(failure), label, number);
    return false;
  }
  return true;
}

int EncodeSide(const JobState &job, int longEdgeAngle, const char *label,
               const PageInMemory *page, JbgData *jbg) {
  const JobLog &log = job.log;
  const int side = job.sequence.m_page;
  char encoderInput[WORK_FILE_NAME_SIZE];
  WorkFileName(encoderInput, WorkFile::Page, job.work.directory, job.jobId, side);
  if (IsLongEdgeA5(job.settings)) {
    char rotated[WORK_FILE_NAME_SIZE];
    WorkFileName(rotated, WorkFile::TurnedPage, job.work.directory, job.jobId, side);
    errno = 0;
    const int turnFailed =
        page != nullptr && page->pixels != nullptr
            ? WriteTurnedPbm(page->pixels, page->width, page->height, longEdgeAngle, rotated, log)
            : rotatePbm(encoderInput, rotated, longEdgeAngle, log);
    if (turnFailed != 0) {
      // Whatever part of the turned page reached the file must not be encoded.
      LogSideFailure(log, "write turned page file", rotated,
                     errno != 0 ? strerror(errno) : "the page cannot be turned", label, side);
      return 255;
    }
    LogLine(log, "DEBUG: A5L need rotate.[%d]", longEdgeAngle);
    memcpy(encoderInput, rotated, sizeof encoderInput);
  }
  char jbgFile[WORK_FILE_NAME_SIZE];
  WorkFileName(jbgFile, WorkFile::Jbig, job.work.directory, job.jobId, side);
  EncoderFailure failure;
  if (!pbmtojbg(encoderInput, jbgFile, log, &failure)) {
    if (cancel_job) {
      LogLine(log, "DEBUG: cancel job, %s %d was not encoded (%s) and is not sent\n", label, side,
              failure.cause);
      return SIDE_CANCELLED;
    }
    LogSideFailure(log, "encode", encoderInput, failure.cause, label, side);
    return 255;
  }
  return ReadJbgFile(jbgFile, label, side, jbg, log) ? 0 : 255;
}

bool ReadJbgFile(const char *name, const char *label, int number, JbgData *jbg, const JobLog &log) {
  *jbg = JbgData();
  FILE *file = fopenNoFollow(name, "rb");
  if (file == nullptr) {
    LogSideFailure(log, "open JBIG file", name, strerror(errno), label, number);
    return false;
  }
  if (fseek(file, 0, SEEK_END) != 0) {
    const int seekError = errno;
    LogLine(log, "DEBUG: %s %d fseek end failed\n", label, number);
    LogSideFailure(log, "measure JBIG file", name, strerror(seekError), label, number);
    fclose(file);
    return false;
  }
  const long size = ftell(file);
  const int tellError = errno;
  LogLine(log, "DEBUG: %s %d jbg file size: %ld \n", label, number, size);
  if (size < 0) {
    LogLine(log, "DEBUG: %s %d ftell failed \n", label, number);
    LogSideFailure(log, "measure JBIG file", name, strerror(tellError), label, number);
    fclose(file);
    return false;
  }
  // The record's size field has 32 bits.
  if (static_cast<unsigned long>(size) > UINT32_MAX) {
    LogLine(log, "ERROR: The JBIG file %s is too large for a page record (%ld bytes)\n", name,
            size);
    fclose(file);
    return false;
  }
  if (fseek(file, 0, SEEK_SET) != 0) {
    const int seekError = errno;
    LogLine(log, "DEBUG: %s %d fseek begin failed\n", label, number);
    LogSideFailure(log, "rewind JBIG file", name, strerror(seekError), label, number);
    fclose(file);
    return false;
  }
  jbg->data = static_cast<unsigned char *>(malloc(size > 0 ? static_cast<size_t>(size) : 1));
  if (jbg->data == nullptr) {
    LogLine(log, "ERROR: Unable to allocate %ld bytes for %s %d\n", size, label, number);
    fclose(file);
    return false;
  }
  jbg->size = static_cast<size_t>(size);
  // A file that gives fewer bytes than it measured is not the page the record announces.
  const size_t arrived = jbg->size > 0 ? fread(jbg->data, 1, jbg->size, file) : 0;
  const int readError = ferror(file) ? errno : 0;
  fclose(file);
  if (arrived != jbg->size) {
    char cause[96];
    if (readError != 0) {
      snprintf(cause, sizeof cause, "%s", strerror(readError));
    } else {
      snprintf(cause, sizeof cause, "%zu of its %zu bytes arrived", arrived, jbg->size);
    }
    LogSideFailure(log, "read JBIG file", name, cause, label, number);
    ReleaseJbgData(jbg);
    return false;
  }
  return true;
}

int ProcessPages(JobState &job) {
  const JobLog &log = job.log;
  char *jobParams = job.jobParams;
  BuildJobParams(&jobParams, job.table, log);
  char loggableJobParams[JOB_PARAMS_BUFFER_SIZE] = {};
  BuildLoggableJobParams(loggableJobParams, sizeof loggableJobParams, job.table);

  switch (PrepareWorkDirectory(&job.work, log)) {
    case WorkDirectoryStatus::Ready:
      break;
    case WorkDirectoryStatus::Cancelled:
      return 0;
    case WorkDirectoryStatus::Unsafe:
      return 1;
  }
  OutputSequence &sequence = job.sequence;
  sequence.log = job.log;
  sequence.rasterPage = 1;
  sequence.m_page = 0;
  sequence.recordCounter = 0;
  // The settings are final now: the duplex check has run.
  sequence.collate = job.collate;
  sequence.duplexMode = job.settings.duplexMode;
  sequence.copies = job.settings.copies;
  sequence.blankSide.encode = EncodeBlankBackSide;
  sequence.blankSide.context = &job;

  cups_raster_t *raster = cupsRasterOpen(job.rasterFd, CUPS_RASTER_READ);
  cups_page_header2_t header;
  memset(&header, 0, sizeof header);
  if (raster == nullptr || !cupsRasterReadHeader2(raster, &header)) {
    LogLine(log, "DEBUG: First page header is null \n");
    if (raster != nullptr) cupsRasterClose(raster);
    return 0;
  }
  if (!AcceptRasterPage(header, sequence.rasterPage, job.settings.pageLimits, log)) {
    cupsRasterClose(raster);
    return 1;
  }
  if (!WriteJobHeader(sequence.out, job.jobParams, loggableJobParams, log))
    sequence.streamFailed = true;
  sequence.lastPage = 0;
  sequence.blankBackSide = 0;
  sequence.firstPageWidth = static_cast<int32_t>(static_cast<uint64_t>(header.cupsBytesPerLine) * 8);
  sequence.firstPageHeight = static_cast<int32_t>(header.cupsHeight);

  int status = 0;
  while (status == 0) {
    if (sequence.streamFailed) {
      status = StreamFailure(job);
      break;
    }
    if (sequence.lastPage || cancel_job) break;
    status = ConvertPage(job, raster, header);
  }
  cupsRasterClose(raster);
  return FinishStream(job, status);
}
