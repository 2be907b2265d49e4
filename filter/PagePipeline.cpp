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
#include "PbmFile.h"
#include "Utility.h"

namespace {

constexpr uint64_t MAX_PAGE_BYTES = 1ull << 30;

// One line for every work file that fails a side: the file, the cause and the side.
void LogSideFailure(const char *what, const char *file, const char *cause, const char *label,
                    int number) {
  LogLine("ERROR: Unable to %s %s: %s (%s %d)\n", what, file, cause, label, number);
}

bool IsLongEdgeA5(const JobState &job) {
  return job.settings.flagPageA5 == 1 && job.settings.feedEdge == 1;
}

bool IsUncollatedTwoSided(const JobState &job) {
  return job.collate == 0 && job.settings.duplexMode != 0;
}

// Only 1-bit rasters whose rows are PBM rows can be spooled byte for byte, and only pages
// that the printer's largest sheet can hold are worth spooling at all.
bool AcceptRasterPage(const cups_page_header2_t &header, int rasterPage, const PageLimits &limits) {
  if (header.cupsBitsPerPixel != 1) {
    LogLine("ERROR: Page %d has %u bits per pixel; the printer needs a 1-bit raster\n", rasterPage,
            header.cupsBitsPerPixel);
    return false;
  }
  if (header.cupsWidth == 0 || header.cupsHeight == 0) {
    LogLine("ERROR: Page %d is empty (%ux%u pixels)\n", rasterPage, header.cupsWidth,
            header.cupsHeight);
    return false;
  }
  // Page files and the encoder's command line carry sizes as ints, and the blank back
  // side is as wide as the first page's rows in bits.
  if (header.cupsBytesPerLine > INT32_MAX / 8 || header.cupsHeight > INT32_MAX) {
    LogLine("ERROR: Page %d is too large (%ux%u pixels)\n", rasterPage, header.cupsWidth,
            header.cupsHeight);
    return false;
  }
  const uint64_t rowBytes = (static_cast<uint64_t>(header.cupsWidth) + 7) / 8;
  if (header.cupsBytesPerLine != rowBytes) {
    LogLine("ERROR: Page %d has %u bytes per line, but %u pixels need %llu\n", rasterPage,
            header.cupsBytesPerLine, header.cupsWidth, static_cast<unsigned long long>(rowBytes));
    return false;
  }
  const uint64_t pageBytes = rowBytes * header.cupsHeight;
  if (pageBytes > MAX_PAGE_BYTES) {
    LogLine("ERROR: Page %d needs %llu bytes of pixel data, more than the limit of %llu\n",
            rasterPage, static_cast<unsigned long long>(pageBytes),
            static_cast<unsigned long long>(MAX_PAGE_BYTES));
    return false;
  }
  if (!PageWithinLimits(limits, header.cupsWidth, header.cupsHeight)) {
    LogLine("ERROR: Page %d is %ux%u pixels, larger than the printer's largest sheet allows (%u "
            "pixels on an edge, %llu in all)\n",
            rasterPage, header.cupsWidth, header.cupsHeight, limits.maxEdgePixels,
            static_cast<unsigned long long>(limits.maxPixels));
    return false;
  }
  return true;
}

// Colour spaces in which a set bit is white are turned round, so the page file is
// black on white as the printer expects; the padding past the width stays clear.
void MakeSetBitsBlack(const cups_page_header2_t &header, unsigned char *pixels) {
  // The header comes from the network: its colour space may hold any 32-bit value, and
  // reading one outside the enumeration through the enum type is undefined, so the
  // field is read as the number it is.
  static_assert(sizeof header.cupsColorSpace == sizeof(uint32_t));
  uint32_t colorSpace = 0;
  memcpy(&colorSpace, &header.cupsColorSpace, sizeof colorSpace);
  if (colorSpace != CUPS_CSPACE_W && colorSpace != CUPS_CSPACE_SW) return;
  const uint64_t rowBytes = header.cupsBytesPerLine;
  const unsigned padding = static_cast<unsigned>(rowBytes * 8 - header.cupsWidth);
  const unsigned char lastByteMask = static_cast<unsigned char>(0xFFu << padding);
  for (uint64_t row = 0; row < header.cupsHeight; ++row) {
    unsigned char *line = pixels + row * rowBytes;
    for (uint64_t i = 0; i < rowBytes; ++i) line[i] = static_cast<unsigned char>(~line[i]);
    line[rowBytes - 1] &= lastByteMask;
  }
}

int StreamFailure(JobState &job) {
  LogLine("ERROR: Unable to write the print data: %s\n", strerror(errno != 0 ? errno : EIO));
  job.streamFailed = true;
  return 1;
}

// Everything written so far must reach the backend; a failure there is the job's failure.
int FinishStream(JobState &job, int status) {
  const bool flushed = fflush(job.out) == 0 && ferror(job.out) == 0;
  if (status != 0) return status;
  if (job.streamFailed) return 1;
  return flushed ? 0 : StreamFailure(job);
}

// One raster page, from its pixels to its records. Returns 0 to go on, or the exit
// status that ends the job.
int ConvertPage(JobState &job, cups_raster_t *raster, cups_page_header2_t &header) {
  LogLine("DEBUG: Page%d begin ,page_width = %d,page_height=%d, page_line_bytes=%d \n",
          job.rasterPage, header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine);
  LogLine("INFO: Printing page %d\n", job.rasterPage);
  if (!AcceptRasterPage(header, job.rasterPage, job.settings.pageLimits)) return 1;

  const uint64_t pageBytes = static_cast<uint64_t>(header.cupsBytesPerLine) * header.cupsHeight;
  // Zero-filled before the read: a short read leaves the rest of the page white. The count
  // libcups returns cannot say where the data ended (it is 0 after a short read even when
  // rows arrived), so the whole page is cleared, not just a tail.
  unsigned char *pixels = static_cast<unsigned char *>(calloc(pageBytes, 1));
  if (pixels == nullptr) {
    LogLine("ERROR: Unable to allocate %llu bytes for page %d\n",
            static_cast<unsigned long long>(pageBytes), job.rasterPage);
    return 255;
  }
  const unsigned read = cupsRasterReadPixels(raster, pixels, static_cast<unsigned>(pageBytes));
  LogLine("DEBUG: Page %d read %d pixels\n", job.rasterPage, static_cast<int>(read));
  MakeSetBitsBlack(header, pixels);

  char pageFile[WORK_FILE_NAME_SIZE] = {};
  snprintf(pageFile, sizeof pageFile, "%s%d_%d_gs.pbm", WORK_DIRECTORY, job.jobId, job.rasterPage);
  const bool spooled = WritePageFile(pageFile, "page", job.rasterPage, header.cupsWidth,
                                     header.cupsHeight, pixels, pageBytes);
  // A page that will be turned is turned from these pixels rather than read back from
  // its file; any other page is done with them.
  const bool turned = IsLongEdgeA5(job);
  const PageInMemory page{turned ? pixels : nullptr, static_cast<int>(header.cupsWidth),
                          static_cast<int>(header.cupsHeight)};
  if (!turned || !spooled) {
    free(pixels);
    pixels = nullptr;
  }
  if (!spooled) return 255;

  job.copiesLeft = job.settings.copies;
  if (!cupsRasterReadHeader2(raster, &header)) job.lastPage = 1;
  job.m_page += 1;
  LogLine("DEBUG: page %d handleImg done,pring m_page=%d begin\n", job.rasterPage, job.m_page);

  // The back of a two-sided sheet fed long edge first is turned the other way.
  const int longEdgeAngle = job.settings.duplexMode == 0 || job.m_page % 2 == 1 ? -90 : 90;
  JbgData jbg;
  const int encoded = EncodeSide(job, longEdgeAngle, "page", &page, &jbg);
  free(pixels);
  if (encoded == SIDE_CANCELLED) {
    job.lastPage = 1;
    return 0;
  }
  if (encoded != 0) return encoded;

  printer_header record;
  if (job.rasterPage == 1) record.firstpage = 1;
  if (cancel_job) {
    job.lastPage = 1;
    LogLine("DEBUG: cancel job, page %d handleImg done,pring m_page=%d is last page,\n",
            job.rasterPage, job.m_page);
  }
  record.lastpage = job.lastPage;
  if (job.settings.duplexMode != 0 && (job.lastPage || cancel_job) && job.m_page % 2 == 1) {
    // The back of this sheet will be blank; the blank side then ends the job.
    record.lastpage = 0;
    job.blankBackSide = 1;
  }
  record.jbg_size = static_cast<uint32_t>(jbg.size);

  int status = OutputPage(job, record, jbg.data, jbg.size);
  ReleaseJbgData(&jbg);
  LogLine("DEBUG: print m_page %d write jbg done\n", job.m_page);
  if (status != 0) return status;
  if (!IsUncollatedTwoSided(job)) {
    // Tell the scheduler's page accounting what the printer will print of this page.
    LogLine("PAGE: %d %d\n", job.rasterPage, job.settings.copies > 1 ? job.settings.copies : 1);
  }
  job.rasterPage += 1;

  if (job.blankBackSide) {
    status = AddBlankBackSide(job);
    // The sheet's front stays unsent with its back, as after any cancel between sides.
    if (status == SIDE_CANCELLED) return 0;
    if (status != 0) return status;
  }
  return OutputDuplexPair(job);
}

}  // namespace

bool WritePageFile(const char *name, const char *label, int number, uint32_t width,
                   uint32_t height, const unsigned char *pixels, uint64_t size) {
  FILE *file = fopenNoFollow(name, "wb");
  if (file == nullptr) {
    LogSideFailure("create page file", name, strerror(errno), label, number);
    return false;
  }
  if (const int failure = WritePbmAndClose(file, width, height, pixels, size); failure != 0) {
    LogSideFailure("write page file", name, strerror(failure), label, number);
    return false;
  }
  return true;
}

int EncodeSide(const JobState &job, int longEdgeAngle, const char *label,
               const PageInMemory *page, JbgData *jbg) {
  char encoderInput[WORK_FILE_NAME_SIZE] = {};
  snprintf(encoderInput, sizeof encoderInput, "%s%d_%d_gs.pbm", WORK_DIRECTORY, job.jobId,
           job.m_page);
  if (IsLongEdgeA5(job)) {
    char rotated[WORK_FILE_NAME_SIZE] = {};
    snprintf(rotated, sizeof rotated, "%s%d_%d_gs_rotated.pbm", WORK_DIRECTORY, job.jobId,
             job.m_page);
    errno = 0;
    const int turnFailed = page != nullptr && page->pixels != nullptr
                               ? WriteTurnedPbm(page->pixels, page->width, page->height,
                                                longEdgeAngle, rotated)
                               : rotatePbm(encoderInput, rotated, longEdgeAngle);
    if (turnFailed != 0) {
      // Whatever part of the turned page reached the file must not be encoded.
      LogSideFailure("write turned page file", rotated,
                     errno != 0 ? strerror(errno) : "the page cannot be turned", label,
                     job.m_page);
      return 255;
    }
    LogLine("DEBUG: A5L need rotate.[%d]", longEdgeAngle);
    memcpy(encoderInput, rotated, sizeof encoderInput);
  }
  char jbgFile[WORK_FILE_NAME_SIZE] = {};
  snprintf(jbgFile, sizeof jbgFile, "%s%d-%d.jbg", WORK_DIRECTORY, job.jobId, job.m_page);
  EncoderFailure failure;
  if (!pbmtojbg(encoderInput, jbgFile, &failure)) {
    if (cancel_job) {
      LogLine("DEBUG: cancel job, %s %d was not encoded (%s) and is not sent\n", label,
              job.m_page, failure.cause);
      return SIDE_CANCELLED;
    }
    LogSideFailure("encode", encoderInput, failure.cause, label, job.m_page);
    return 255;
  }
  return ReadJbgFile(jbgFile, label, job.m_page, jbg) ? 0 : 255;
}

bool ReadJbgFile(const char *name, const char *label, int number, JbgData *jbg) {
  *jbg = JbgData();
  FILE *file = fopenNoFollow(name, "rb");
  if (file == nullptr) {
    LogSideFailure("open JBIG file", name, strerror(errno), label, number);
    return false;
  }
  if (fseek(file, 0, SEEK_END) != 0) {
    const int seekError = errno;
    LogLine("DEBUG: %s %d fseek end failed\n", label, number);
    LogSideFailure("measure JBIG file", name, strerror(seekError), label, number);
    fclose(file);
    return false;
  }
  const long size = ftell(file);
  const int tellError = errno;
  LogLine("DEBUG: %s %d jbg file size: %ld \n", label, number, size);
  if (size < 0) {
    LogLine("DEBUG: %s %d ftell failed \n", label, number);
    LogSideFailure("measure JBIG file", name, strerror(tellError), label, number);
    fclose(file);
    return false;
  }
  // The record's size field has 32 bits.
  if (static_cast<unsigned long>(size) > UINT32_MAX) {
    LogLine("ERROR: The JBIG file %s is too large for a page record (%ld bytes)\n", name, size);
    fclose(file);
    return false;
  }
  if (fseek(file, 0, SEEK_SET) != 0) {
    const int seekError = errno;
    LogLine("DEBUG: %s %d fseek begin failed\n", label, number);
    LogSideFailure("rewind JBIG file", name, strerror(seekError), label, number);
    fclose(file);
    return false;
  }
  jbg->data = static_cast<unsigned char *>(malloc(size > 0 ? static_cast<size_t>(size) : 1));
  if (jbg->data == nullptr) {
    LogLine("ERROR: Unable to allocate %ld bytes for %s %d\n", size, label, number);
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
    LogSideFailure("read JBIG file", name, cause, label, number);
    ReleaseJbgData(jbg);
    return false;
  }
  return true;
}

void ReleaseJbgData(JbgData *jbg) {
  free(jbg->data);
  *jbg = JbgData();
}

int ProcessPages(JobState &job) {
  char *jobParams = job.jobParams;
  BuildJobParams(&jobParams, job.table);
  char loggableJobParams[JOB_PARAMS_BUFFER_SIZE] = {};
  BuildLoggableJobParams(loggableJobParams, sizeof loggableJobParams, job.table);

  switch (PrepareWorkDirectory(&job.workLockFd)) {
    case WorkDirectoryStatus::Ready:
      break;
    case WorkDirectoryStatus::Cancelled:
      return 0;
    case WorkDirectoryStatus::Unsafe:
      return 1;
  }
  job.rasterPage = 1;
  job.m_page = 0;
  job.recordCounter = 0;

  cups_raster_t *raster = cupsRasterOpen(job.rasterFd, CUPS_RASTER_READ);
  cups_page_header2_t header;
  memset(&header, 0, sizeof header);
  if (raster == nullptr || !cupsRasterReadHeader2(raster, &header)) {
    LogLine("DEBUG: First page header is null \n");
    if (raster != nullptr) cupsRasterClose(raster);
    return 0;
  }
  if (!AcceptRasterPage(header, job.rasterPage, job.settings.pageLimits)) {
    cupsRasterClose(raster);
    return 1;
  }
  if (!WriteJobHeader(job.out, job.jobParams, loggableJobParams)) job.streamFailed = true;
  job.lastPage = 0;
  job.blankBackSide = 0;
  job.firstPageWidth = static_cast<int32_t>(static_cast<uint64_t>(header.cupsBytesPerLine) * 8);
  job.firstPageHeight = static_cast<int32_t>(header.cupsHeight);

  int status = 0;
  while (status == 0) {
    if (job.streamFailed) {
      status = StreamFailure(job);
      break;
    }
    if (job.lastPage || cancel_job) break;
    status = ConvertPage(job, raster, header);
  }
  cupsRasterClose(raster);
  return FinishStream(job, status);
}
