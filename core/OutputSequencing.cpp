#include "OutputSequencing.h"

#include <cstdlib>
#include <cstring>

#include "Log.h"

namespace {

enum class OutputMode { Collated, UncollatedOneSided, UncollatedTwoSided };

OutputMode ModeOf(const OutputSequence &sequence) {
  if (sequence.collate == 1) return OutputMode::Collated;
  return sequence.duplexMode == 0 ? OutputMode::UncollatedOneSided
                                  : OutputMode::UncollatedTwoSided;
}

int CopiesPrinted(const OutputSequence &sequence) {
  return sequence.copies > 1 ? sequence.copies : 1;
}

void WriteRecord(OutputSequence &sequence, printer_header &record, int32_t lastpage,
                 const unsigned char *data, size_t size) {
  sequence.recordCounter += 1;
  record.pageno = sequence.recordCounter;
  if (!WritePageRecord(sequence.out, record, lastpage, data, size)) sequence.streamFailed = true;
}

// Keeps a side for its partner. The buffer grows when a side does not fit, so a page
// that compresses badly still prints.
int HoldSide(HeldSide &side, const printer_header &record, const unsigned char *data, size_t size,
             const JobLog &log) {
  if (size > side.capacity) {
    unsigned char *grown = static_cast<unsigned char *>(realloc(side.data, size));
    if (grown == nullptr) {
      LogLine(log, "ERROR: Unable to allocate %zu bytes to hold a two-sided page\n", size);
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

bool AllocateHoldBuffer(HeldSide &side) {
  side.data = static_cast<unsigned char *>(malloc(HOLD_BUFFER_SIZE));
  side.capacity = side.data != nullptr ? HOLD_BUFFER_SIZE : 0;
  side.length = -1;
  side.header = printer_header();
  return side.data != nullptr;
}

// The copies of a side that ends the job carry lastpage 0 but the final one.
int32_t LastPageLoggedForCopy(int32_t endsJob, int32_t copiesLeft, const JobLog &log) {
  const CopyLastPage copy = LastPageOfCopy(endsJob, copiesLeft);
  if (copy.forced) LogLine(log, "DEBUG: force lastpage to %d\n", copy.value);
  return copy.value;
}

}  // namespace

void ReleaseJbgData(JbgData *jbg) {
  free(jbg->data);
  *jbg = JbgData();
}

CopyLastPage LastPageOfCopy(int32_t endsJob, int32_t copiesLeft) {
  CopyLastPage copy;
  copy.value = endsJob;
  if (endsJob == 1 && copiesLeft >= 1) {
    copy.forced = true;
    copy.value = copiesLeft > 1 ? 0 : 1;
  }
  return copy;
}

bool AllocateHoldBuffers(OutputSequence &sequence) {
  return AllocateHoldBuffer(sequence.buff1) && AllocateHoldBuffer(sequence.buff2);
}

void ReleaseHoldBuffers(OutputSequence &sequence) {
  free(sequence.buff1.data);
  free(sequence.buff2.data);
  sequence.buff1 = HeldSide();
  sequence.buff2 = HeldSide();
}

void StartConvertedSide(OutputSequence &sequence, bool lastRasterPage) {
  const JobLog &log = sequence.log;
  sequence.copiesLeft = sequence.copies;
  if (lastRasterPage) sequence.lastPage = 1;
  sequence.m_page += 1;
  LogLine(log, "DEBUG: page %d handleImg done,pring m_page=%d begin\n", sequence.rasterPage,
          sequence.m_page);
}

printer_header ConvertedSideRecord(OutputSequence &sequence, bool cancelled, size_t jbgSize) {
  const JobLog &log = sequence.log;
  printer_header record;
  if (sequence.rasterPage == 1) record.firstpage = 1;
  if (cancelled) {
    sequence.lastPage = 1;
    LogLine(log, "DEBUG: cancel job, page %d handleImg done,pring m_page=%d is last page,\n",
            sequence.rasterPage, sequence.m_page);
  }
  record.lastpage = sequence.lastPage;
  if (sequence.duplexMode != 0 && sequence.lastPage && sequence.m_page % 2 == 1) {
    // The back of this sheet will be blank; the blank side then ends the job.
    record.lastpage = 0;
    sequence.blankBackSide = 1;
  }
  record.jbg_size = static_cast<uint32_t>(jbgSize);
  return record;
}

int OutputConvertedPage(OutputSequence &sequence, printer_header &record, JbgData *jbg) {
  const JobLog &log = sequence.log;
  int status = OutputPage(sequence, record, jbg->data, jbg->size);
  ReleaseJbgData(jbg);
  LogLine(log, "DEBUG: print m_page %d write jbg done\n", sequence.m_page);
  if (status != 0) return status;
  if (ModeOf(sequence) != OutputMode::UncollatedTwoSided) {
    // Tell the scheduler's page accounting what the printer will print of this page.
    LogLine(log, "PAGE: %d %d\n", sequence.rasterPage, CopiesPrinted(sequence));
  }
  sequence.rasterPage += 1;

  if (sequence.blankBackSide) {
    status = AddBlankBackSide(sequence);
    if (status != 0) return status;
  }
  return OutputDuplexPair(sequence);
}

int OutputPage(OutputSequence &sequence, printer_header &record, const unsigned char *data,
               size_t size) {
  const JobLog &log = sequence.log;
  const int collate = sequence.collate;
  const int duplex = sequence.duplexMode;
  switch (ModeOf(sequence)) {
    case OutputMode::Collated:
      LogLine(log, "DEBUG: print m_page %d collate %d duplex %d copies %d\n", sequence.m_page,
              collate, duplex, sequence.copiesLeft);
      WriteRecord(sequence, record, record.lastpage, data, size);
      LogLine(log, "DEBUG: current lastpage is %d pageno is %d\n", record.lastpage,
              sequence.m_page);
      LogLine(log, "DEBUG: write page %d header done\n", record.pageno);
      LogLine(log, "DEBUG: write page data done\n");
      return 0;

    case OutputMode::UncollatedOneSided:
      LogLine(log, "DEBUG: m_page %d buff load collate %d duplex %d \n", sequence.m_page, collate,
              duplex);
      do {
        LogLine(log, "DEBUG: print m_page %d collate %d duplex %d copies %d\n", sequence.m_page,
                collate, duplex, sequence.copiesLeft);
        record.lastpage =
            sequence.lastPage == 1
                ? LastPageLoggedForCopy(sequence.lastPage, sequence.copiesLeft, sequence.log)
                : record.lastpage;
        WriteRecord(sequence, record, record.lastpage, data, size);
        LogLine(log, "DEBUG: current lastpage is %d pageno is %d\n", record.lastpage,
                sequence.m_page);
        LogLine(log, "DEBUG: write page %d header done\n", record.pageno);
        LogLine(log, "DEBUG: write page data done\n");
        sequence.copiesLeft -= 1;
      } while (sequence.copiesLeft > 0 && !sequence.streamFailed);
      return 0;

    case OutputMode::UncollatedTwoSided:
      LogLine(log, "DEBUG: m_page %d buff load collate %d duplex %d lastpage is %d\n",
              sequence.m_page, collate, duplex, record.lastpage);
      if (sequence.m_page % 2 == 1) {
        if (const int status = HoldSide(sequence.buff1, record, data, size, sequence.log);
            status != 0) {
          return status;
        }
        LogLine(log, "DEBUG: m_page %d buff1 load \n", sequence.m_page);
      } else {
        if (const int status = HoldSide(sequence.buff2, record, data, size, sequence.log);
            status != 0) {
          return status;
        }
        sequence.buff2HoldsBlank = false;
        LogLine(log, "DEBUG: m_page %d buff2 load \n", sequence.m_page);
      }
      return 0;
  }
  return 0;
}

int AddBlankBackSide(OutputSequence &sequence) {
  const JobLog &log = sequence.log;
  sequence.m_page += 1;
  JbgData jbg;
  if (sequence.blankSide.encode == nullptr) return 255;
  if (const int status = sequence.blankSide.encode(sequence.blankSide.context, sequence.m_page,
                                                   sequence.firstPageWidth,
                                                   sequence.firstPageHeight, &jbg);
      status != 0) {
    return status;
  }
  printer_header record;
  record.firstpage = 0;
  record.lastpage = 1;
  LogLine(log, "DEBUG: extra page %d lastpage to 1\n", sequence.m_page);
  record.jbg_size = static_cast<uint32_t>(jbg.size);

  int status = 0;
  if (ModeOf(sequence) == OutputMode::UncollatedTwoSided) {
    status = HoldSide(sequence.buff2, record, jbg.data, jbg.size, sequence.log);
    if (status == 0) {
      sequence.buff2HoldsBlank = true;
      LogLine(log, "DEBUG: extra_page m_page %d buff2 load lastpage is %d\n", sequence.m_page,
              sequence.buff2.header.lastpage);
    }
  } else {
    LogLine(log, "DEBUG: current lastpage is %d pageno %d\n", record.lastpage, sequence.m_page);
    // The printer repeats the collated set; only its final copy may end the job.
    const CopyLastPage copy = LastPageOfCopy(record.lastpage, sequence.copies);
    if (copy.value == 0) {
      LogLine(log, "DEBUG: force extra lastpage %d to 0 as the first print when copies is %d\n",
              record.lastpage, sequence.copies);
    }
    WriteRecord(sequence, record, copy.value, jbg.data, jbg.size);
    LogLine(log, "DEBUG: write page %d header done\n", record.pageno);
  }
  ReleaseJbgData(&jbg);
  if (status == 0) LogLine(log, "DEBUG: print extra m_page %d write jbg done\n", sequence.m_page);
  return status;
}

int OutputDuplexPair(OutputSequence &sequence) {
  const JobLog &log = sequence.log;
  if (ModeOf(sequence) != OutputMode::UncollatedTwoSided) return 0;
  if (sequence.m_page % 2 == 1) {
    LogLine(log, "DEBUG: not handle in even page %d, pass\n", sequence.m_page);
    return 0;
  }
  HeldSide &front = sequence.buff1;
  HeldSide &back = sequence.buff2;
  do {
    LogLine(log,
            "DEBUG: -----------------------------print m_page %d collate %d duplex %d copies %d\n",
            sequence.m_page, sequence.collate, sequence.duplexMode, sequence.copiesLeft);
    WriteRecord(sequence, front.header, front.header.lastpage, front.data,
                static_cast<size_t>(front.length));
    LogLine(log, "DEBUG: write page1 %d header done, m_page %d lastpage is %d\n",
            front.header.pageno, sequence.m_page - 1, front.header.lastpage);
    LogLine(log, "DEBUG: write page1 data done\n");

    LogLine(log, "DEBUG: page2 lastpage is %d,copies %d,pageno is %d\n", back.header.lastpage,
            sequence.copiesLeft, sequence.m_page);
    // The held value stays as it is, so every copy decides afresh.
    const int32_t lastpage =
        LastPageLoggedForCopy(back.header.lastpage, sequence.copiesLeft, sequence.log);
    LogLine(log, "DEBUG: current lastpage is %d,pageno is %d\n", lastpage, sequence.m_page);
    WriteRecord(sequence, back.header, lastpage, back.data, static_cast<size_t>(back.length));
    LogLine(log, "DEBUG: write page2 %d header done, m_page %d lastpage is %d\n",
            back.header.pageno, sequence.m_page, lastpage);
    LogLine(log, "DEBUG: write page2 data done\n");
    sequence.copiesLeft -= 1;
    LogLine(log, "DEBUG: #####################write 2pages duplex done\n");
  } while (sequence.copiesLeft > 0 && !sequence.streamFailed);

  // Page accounting: the sheet's raster pages, not its blank back side.
  LogLine(log, "PAGE: %d %d\n", sequence.m_page - 1, CopiesPrinted(sequence));
  if (!sequence.buff2HoldsBlank)
    LogLine(log, "PAGE: %d %d\n", sequence.m_page, CopiesPrinted(sequence));
  return 0;
}
