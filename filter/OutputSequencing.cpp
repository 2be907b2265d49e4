// Output sequencing: which records reach the printer stream for each converted side,
// how often, in which order, and with which lastpage and pageno.
//
// Collated jobs send every side once (the printer makes the copies from the job
// parameters); uncollated one-sided jobs repeat each page copies times in a row;
// uncollated two-sided jobs hold the front of a sheet until its back has arrived and
// then repeat the pair.

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "FilterJob.h"
#include "Log.h"

namespace {

enum class OutputMode { Collated, UncollatedOneSided, UncollatedTwoSided };

OutputMode ModeOf(const JobState &job) {
  if (job.collate == 1) return OutputMode::Collated;
  return job.settings.duplexMode == 0 ? OutputMode::UncollatedOneSided
                                      : OutputMode::UncollatedTwoSided;
}

int CopiesPrinted(const JobState &job) { return job.settings.copies > 1 ? job.settings.copies : 1; }

void WriteRecord(JobState &job, printer_header &record, int32_t lastpage, const unsigned char *data,
                 size_t size) {
  job.recordCounter += 1;
  record.pageno = job.recordCounter;
  if (!WritePageRecord(job.out, record, lastpage, data, size)) job.streamFailed = true;
}

// Keeps a side for its partner. The buffer grows when a side does not fit, so a page
// that compresses badly still prints.
int HoldSide(HeldSide &side, const printer_header &record, const unsigned char *data, size_t size) {
  if (size > side.capacity) {
    unsigned char *grown = static_cast<unsigned char *>(realloc(side.data, size));
    if (grown == nullptr) {
      LogLine("ERROR: Unable to allocate %zu bytes to hold a two-sided page\n", size);
      return 255;
    }
    side.data = grown;
    side.capacity = size;
  }
  if (size > 0) memcpy(side.data, data, size);
  side.length = static_cast<int64_t>(size);
  side.header.firstpage = record.firstpage;
  side.header.lastpage = record.lastpage;
  side.header.jbg_size = record.jbg_size;
  side.header.pageno = record.pageno;
  return 0;
}

// The all-white page file of the blank back side, as large as the job's first page.
bool WriteBlankPageFile(const char *name, int number, int32_t width, int32_t height) {
  const uint64_t size = static_cast<uint64_t>(width / 8) * static_cast<uint64_t>(height);
  unsigned char *white = static_cast<unsigned char *>(calloc(size > 0 ? size : 1, 1));
  if (white == nullptr) {
    LogLine("ERROR: Unable to allocate %llu bytes for the blank back side\n",
            static_cast<unsigned long long>(size));
    return false;
  }
  const bool written = WritePageFile(name, "extra page", number, static_cast<uint32_t>(width),
                                     static_cast<uint32_t>(height), white, size);
  free(white);
  return written;
}

}  // namespace

int OutputPage(JobState &job, printer_header &record, const unsigned char *data, size_t size) {
  const int collate = job.collate;
  const int duplex = job.settings.duplexMode;
  switch (ModeOf(job)) {
    case OutputMode::Collated:
      LogLine("DEBUG: print m_page %d collate %d duplex %d copies %d\n", job.m_page, collate, duplex,
              job.copiesLeft);
      WriteRecord(job, record, record.lastpage, data, size);
      LogLine("DEBUG: current lastpage is %d pageno is %d\n", record.lastpage, job.m_page);
      LogLine("DEBUG: write page %d header done\n", record.pageno);
      LogLine("DEBUG: write page data done\n");
      return 0;

    case OutputMode::UncollatedOneSided:
      LogLine("DEBUG: m_page %d buff load collate %d duplex %d \n", job.m_page, collate, duplex);
      do {
        LogLine("DEBUG: print m_page %d collate %d duplex %d copies %d\n", job.m_page, collate,
                duplex, job.copiesLeft);
        if (job.copiesLeft > 1 && job.lastPage == 1) {
          LogLine("DEBUG: force lastpage to 0\n");
          record.lastpage = 0;
        }
        if (job.copiesLeft == 1 && job.lastPage == 1) {
          LogLine("DEBUG: force lastpage to 1\n");
          record.lastpage = 1;
        }
        WriteRecord(job, record, record.lastpage, data, size);
        LogLine("DEBUG: current lastpage is %d pageno is %d\n", record.lastpage, job.m_page);
        LogLine("DEBUG: write page %d header done\n", record.pageno);
        LogLine("DEBUG: write page data done\n");
        job.copiesLeft -= 1;
      } while (job.copiesLeft > 0 && !job.streamFailed);
      return 0;

    case OutputMode::UncollatedTwoSided:
      LogLine("DEBUG: m_page %d buff load collate %d duplex %d lastpage is %d\n", job.m_page,
              collate, duplex, record.lastpage);
      if (job.m_page % 2 == 1) {
        if (const int status = HoldSide(job.buff1, record, data, size); status != 0) return status;
        LogLine("DEBUG: m_page %d buff1 load \n", job.m_page);
      } else {
        if (const int status = HoldSide(job.buff2, record, data, size); status != 0) return status;
        job.buff2HoldsBlank = false;
        LogLine("DEBUG: m_page %d buff2 load \n", job.m_page);
      }
      return 0;
  }
  return 0;
}

int AddBlankBackSide(JobState &job) {
  job.m_page += 1;
  char pageFile[WORK_FILE_NAME_SIZE] = {};
  snprintf(pageFile, sizeof pageFile, "%s%d_%d_gs.pbm", WORK_DIRECTORY, job.jobId, job.m_page);
  if (access(pageFile, F_OK) != 0) {
    LogLine("DEBUG: extra file %s not exists, ignore, create a empty pbm file, cupsheight %d, width "
            "%d bytesperline %d\n",
            pageFile, job.firstPageHeight, job.firstPageWidth, job.firstPageWidth / 8);
    if (!WriteBlankPageFile(pageFile, job.m_page, job.firstPageWidth, job.firstPageHeight)) {
      return 255;
    }
  }

  // A blank side is turned by -90 whatever its parity: both turns of white are white.
  JbgData jbg;
  if (const int encoded = EncodeSide(job, -90, "extra page", nullptr, &jbg); encoded != 0) {
    return encoded;
  }
  printer_header record;
  record.firstpage = 0;
  record.lastpage = 1;
  LogLine("DEBUG: extra page %d lastpage to 1\n", job.m_page);
  record.jbg_size = static_cast<uint32_t>(jbg.size);

  int status = 0;
  if (ModeOf(job) == OutputMode::UncollatedTwoSided) {
    status = HoldSide(job.buff2, record, jbg.data, jbg.size);
    if (status == 0) {
      job.buff2HoldsBlank = true;
      LogLine("DEBUG: extra_page m_page %d buff2 load lastpage is %d\n", job.m_page,
              job.buff2.header.lastpage);
    }
  } else {
    LogLine("DEBUG: current lastpage is %d pageno %d\n", record.lastpage, job.m_page);
    int32_t lastpage = 1;
    if (job.settings.copies > 1) {
      // The printer repeats the collated set; only its final copy may end the job.
      LogLine("DEBUG: force extra lastpage %d to 0 as the first print when copies is %d\n",
              record.lastpage, job.settings.copies);
      lastpage = 0;
    }
    WriteRecord(job, record, lastpage, jbg.data, jbg.size);
    LogLine("DEBUG: write page %d header done\n", record.pageno);
  }
  ReleaseJbgData(&jbg);
  if (status == 0) LogLine("DEBUG: print extra m_page %d write jbg done\n", job.m_page);
  return status;
}

int OutputDuplexPair(JobState &job) {
  if (ModeOf(job) != OutputMode::UncollatedTwoSided) return 0;
  if (job.m_page % 2 == 1) {
    LogLine("DEBUG: not handle in even page %d, pass\n", job.m_page);
    return 0;
  }
  HeldSide &front = job.buff1;
  HeldSide &back = job.buff2;
  do {
    LogLine("DEBUG: -----------------------------print m_page %d collate %d duplex %d copies %d\n",
            job.m_page, job.collate, job.settings.duplexMode, job.copiesLeft);
    WriteRecord(job, front.header, front.header.lastpage, front.data,
                static_cast<size_t>(front.length));
    LogLine("DEBUG: write page1 %d header done, m_page %d lastpage is %d\n", front.header.pageno,
            job.m_page - 1, front.header.lastpage);
    LogLine("DEBUG: write page1 data done\n");

    LogLine("DEBUG: page2 lastpage is %d,copies %d,pageno is %d\n", back.header.lastpage,
            job.copiesLeft, job.m_page);
    // The held value stays as it is, so every copy decides afresh.
    int32_t lastpage = back.header.lastpage;
    if (job.copiesLeft > 1 && back.header.lastpage == 1) {
      LogLine("DEBUG: force lastpage to 0\n");
      lastpage = 0;
    }
    if (job.copiesLeft == 1 && back.header.lastpage == 1) {
      LogLine("DEBUG: force lastpage to 1\n");
      lastpage = 1;
    }
    LogLine("DEBUG: current lastpage is %d,pageno is %d\n", lastpage, job.m_page);
    WriteRecord(job, back.header, lastpage, back.data, static_cast<size_t>(back.length));
    LogLine("DEBUG: write page2 %d header done, m_page %d lastpage is %d\n", back.header.pageno,
            job.m_page, lastpage);
    LogLine("DEBUG: write page2 data done\n");
    job.copiesLeft -= 1;
    LogLine("DEBUG: #####################write 2pages duplex done\n");
  } while (job.copiesLeft > 0 && !job.streamFailed);

  // Page accounting: the sheet's raster pages, not its blank back side.
  LogLine("PAGE: %d %d\n", job.m_page - 1, CopiesPrinted(job));
  if (!job.buff2HoldsBlank) LogLine("PAGE: %d %d\n", job.m_page, CopiesPrinted(job));
  return 0;
}
