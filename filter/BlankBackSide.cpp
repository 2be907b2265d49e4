// The blank back side of a two-sided job that ends on an odd page, the filter's way: an
// all-white page file as large as the job's first page, encoded like every other side.

#include <unistd.h>

#include <cstdlib>

#include "FilterJob.h"
#include "Log.h"

namespace {

bool WriteBlankPageFile(const char *name, int number, int32_t width, int32_t height,
                        const JobLog &log) {
  const uint64_t size = static_cast<uint64_t>(width / 8) * static_cast<uint64_t>(height);
  unsigned char *white = static_cast<unsigned char *>(calloc(size > 0 ? size : 1, 1));
  if (white == nullptr) {
    LogLine(log, "ERROR: Unable to allocate %llu bytes for the blank back side\n",
            static_cast<unsigned long long>(size));
    return false;
  }
  const bool written = WritePageFile(name, "extra page", number, static_cast<uint32_t>(width),
                                     static_cast<uint32_t>(height), white, size, log);
  free(white);
  return written;
}

// The page file, when the job has none of that side yet, and its JBIG data.
int EncodeBlankSideFiles(const JobState &job, int32_t m_page, int32_t width, int32_t height,
                         JbgData *jbg) {
  const JobLog &log = job.log;
  char pageFile[WORK_FILE_NAME_SIZE];
  WorkFileName(pageFile, WorkFile::Page, job.work.directory, job.jobId, m_page);
  if (access(pageFile, F_OK) != 0) {
    LogLine(
        log,
        "DEBUG: extra file %s not exists, ignore, create a empty pbm file, cupsheight %d, width "
        "%d bytesperline %d\n",
        pageFile, height, width, width / 8);
    if (!WriteBlankPageFile(pageFile, m_page, width, height, log)) return 255;
  }
  // A blank side is turned by -90 whatever its parity: both turns of white are white.
  return EncodeSide(job, -90, "extra page", nullptr, jbg);
}

}  // namespace

int EncodeBlankBackSide(void *context, int32_t m_page, int32_t width, int32_t height,
                        JbgData *jbg) {
  JobState &job = *static_cast<JobState *>(context);
  if (const int locked = LockWorkDirectoryForSide(job); locked != 0) return locked;
  const int status = EncodeBlankSideFiles(job, m_page, width, height, jbg);
  UnlockWorkDirectory(&job.work);
  return status;
}
