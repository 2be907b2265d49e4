#pragma once
// Output sequencing: which records reach the printer stream for each converted side, how
// often, in which order, and with which lastpage and pageno. The filter (sides encoded by
// the external encoder in its work directory) and the in-process job share it.
//
// Collated jobs send every side once (the printer makes the copies from the job
// parameters); uncollated one-sided jobs repeat each page copies times in a row;
// uncollated two-sided jobs hold the front of a sheet until its back has arrived and
// then repeat the pair.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "Log.h"
#include "PrinterStream.h"

inline constexpr size_t HOLD_BUFFER_SIZE = 4194304;

// A side's JBIG data, malloc'd.
struct JbgData {
  unsigned char *data = nullptr;
  size_t size = 0;
};
void ReleaseJbgData(JbgData *jbg);

// One side of a two-sided sheet, held until its partner has arrived.
struct HeldSide {
  unsigned char *data = nullptr;
  size_t capacity = 0;
  int64_t length = -1;  // -1: nothing held yet
  printer_header header;
};

// Returned by a step in place of an exit status: the encoder of the side in hand died
// after SIGTERM had come (CUPS cancels a job by signalling the filter's whole process
// group). Nothing of that side is sent, and the job ends as cancelled, with status 0.
inline constexpr int SIDE_CANCELLED = -1;

// How the blank back side of a two-sided job that ends on an odd page becomes JBIG: the
// filter writes its page file and runs the encoder, the in-process job encodes a white
// page. Returns 0, the exit status that ends the job, or SIDE_CANCELLED.
struct BlankSideEncoder {
  int (*encode)(void *context, int32_t m_page, int32_t width, int32_t height, JbgData *jbg) =
      nullptr;
  void *context = nullptr;
};

struct OutputSequence {
  FILE *out = stdout;  // the printer stream
  JobLog log;          // the job's log function
  unsigned char collate = 0;
  int32_t duplexMode = 0;
  int32_t copies = 0;  // the copies count; below 1 acts as 1
  HeldSide buff1;      // odd m_page: the front of a sheet
  HeldSide buff2;      // even m_page: the back
  BlankSideEncoder blankSide;

  int32_t rasterPage = 1;  // the raster page in hand
  int32_t m_page = 0;      // sides converted, the blank back side included
  int32_t recordCounter = 0;
  int32_t copiesLeft = 0;
  int32_t lastPage = 0;
  int32_t blankBackSide = 0;
  int32_t firstPageWidth = 0;   // cupsBytesPerLine * 8 of the first page
  int32_t firstPageHeight = 0;  // cupsHeight of the first page
  bool buff2HoldsBlank = false;  // the back side held is the blank one (not a raster page)
  bool streamFailed = false;
};

// The holding buffers, allocated once per job. False when memory runs out.
bool AllocateHoldBuffers(OutputSequence &sequence);
void ReleaseHoldBuffers(OutputSequence &sequence);

// The page in hand has been converted: counts the side (m_page), decides whether it ends
// the job (its own last-page flag, or a cancel seen now) and whether a blank back side
// has to follow, and gives its record. lastRasterPage: no raster page follows.
void StartConvertedSide(OutputSequence &sequence, bool lastRasterPage);
printer_header ConvertedSideRecord(OutputSequence &sequence, bool cancelled, size_t jbgSize);

// Everything that follows for a converted raster page: its records as the mode demands,
// the scheduler's page accounting, the blank back side and the two-sided pair. Returns 0,
// the exit status that ends the job, or SIDE_CANCELLED when the blank back side was not
// made because the job was cancelled.
int OutputConvertedPage(OutputSequence &sequence, printer_header &record, JbgData *jbg);

// The steps of OutputConvertedPage, one by one.
int OutputPage(OutputSequence &sequence, printer_header &record, const unsigned char *data,
               size_t size);
int AddBlankBackSide(OutputSequence &sequence);
int OutputDuplexPair(OutputSequence &sequence);

// The lastpage a record carries as it is written: a side that ends the job says so on
// its final copy only (every copy decides afresh; a copies count below 1 acts as 1).
// forced tells whether the copies changed the side's own value, for the log.
struct CopyLastPage {
  int32_t value = 0;
  bool forced = false;
};
CopyLastPage LastPageOfCopy(int32_t endsJob, int32_t copiesLeft);
