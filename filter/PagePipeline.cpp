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
#include "RasterPage.h"
#include "Utility.h"

namespace {

bool IsLongEdgeA5(const JobState &job) {
  return job.settings.flagPageA5 == 1 && job.settings.feedEdge == 1;
}

bool IsUncollatedTwoSided(const JobState &job) {
  return job.collate == 0 && job.settings.duplexMode != 0;
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
  if (!AcceptRasterPage(header, job.rasterPage)) return 1;

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
  const bool spooled = WritePageFile(pageFile, header.cupsWidth, header.cupsHeight, pixels, pageBytes);
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
  const bool encoded = EncodeSide(job, longEdgeAngle, "page", &page, &jbg);
  free(pixels);
  if (!encoded) return 255;

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
    if (status != 0) return status;
  }
  return OutputDuplexPair(job);
}

}  // namespace

bool WritePageFile(const char *name, uint32_t width, uint32_t height, const unsigned char *pixels,
                   uint64_t size) {
  FILE *file = fopenNoFollow(name, "wb");
  if (file == nullptr) {
    LogLine("ERROR: Unable to create page file %s: %s\n", name, strerror(errno));
    return false;
  }
  bool written = fprintf(file, "P4\n%u %u\n", width, height) > 0;
  if (written && size > 0) written = fwrite(pixels, 1, size, file) == size;
  const int savedErrno = errno;
  if (fclose(file) != 0 || !written) {
    LogLine("ERROR: Unable to write page file %s: %s\n", name,
            strerror(written ? errno : savedErrno));
    return false;
  }
  return true;
}

bool EncodeSide(const JobState &job, int longEdgeAngle, const char *label,
                const PageInMemory *page, JbgData *jbg) {
  char encoderInput[WORK_FILE_NAME_SIZE] = {};
  snprintf(encoderInput, sizeof encoderInput, "%s%d_%d_gs.pbm", WORK_DIRECTORY, job.jobId,
           job.m_page);
  if (IsLongEdgeA5(job)) {
    char rotated[WORK_FILE_NAME_SIZE] = {};
    snprintf(rotated, sizeof rotated, "%s%d_%d_gs_rotated.pbm", WORK_DIRECTORY, job.jobId,
             job.m_page);
    if (page != nullptr && page->pixels != nullptr) {
      WriteTurnedPbm(page->pixels, page->width, page->height, longEdgeAngle, rotated);
    } else {
      rotatePbm(encoderInput, rotated, longEdgeAngle);
    }
    LogLine("DEBUG: A5L need rotate.[%d]", longEdgeAngle);
    memcpy(encoderInput, rotated, sizeof encoderInput);
  }
  char jbgFile[WORK_FILE_NAME_SIZE] = {};
  snprintf(jbgFile, sizeof jbgFile, "%s%d-%d.jbg", WORK_DIRECTORY, job.jobId, job.m_page);
  pbmtojbg(encoderInput, jbgFile);
  return ReadJbgFile(jbgFile, label, job.m_page, jbg);
}

bool ReadJbgFile(const char *name, const char *label, int number, JbgData *jbg) {
  *jbg = JbgData();
  FILE *file = fopenNoFollow(name, "rb");
  if (file == nullptr) {
    LogLine("ERROR: Unable to open JBIG file %s: %s\n", name, strerror(errno));
    return false;
  }
  if (fseek(file, 0, SEEK_END) != 0) {
    LogLine("DEBUG: %s %d fseek end failed\n", label, number);
    fclose(file);
    return false;
  }
  const long size = ftell(file);
  LogLine("DEBUG: %s %d jbg file size: %ld \n", label, number, size);
  if (size < 0) {
    LogLine("DEBUG: %s %d ftell failed \n", label, number);
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
    LogLine("DEBUG: %s %d fseek begin failed\n", label, number);
    fclose(file);
    return false;
  }
  // Zero-filled first: a short read leaves zeros, and the record keeps the measured size.
  jbg->data = static_cast<unsigned char *>(calloc(size > 0 ? static_cast<size_t>(size) : 1, 1));
  if (jbg->data == nullptr) {
    LogLine("ERROR: Unable to allocate %ld bytes for %s %d\n", size, label, number);
    fclose(file);
    return false;
  }
  jbg->size = static_cast<size_t>(size);
  if (jbg->size > 0) {
    size_t ignored = fread(jbg->data, 1, jbg->size, file);
    (void)ignored;
  }
  fclose(file);
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
  if (!AcceptRasterPage(header, job.rasterPage)) {
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
