#pragma once
// The printer data stream: a job header carrying the job parameter string, then one
// page record (printer_header + JBIG data) per sheet side. All integers little-endian.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "Log.h"

inline constexpr char JOB_HEADER_MAGIC[16] = "kv7310_param";     // 12 characters, 4 NULs
inline constexpr char PAGE_RECORD_MAGIC[16] = "kv7310_printer";  // 14 characters, 2 NULs
inline constexpr size_t JOB_HEADER_FIXED_SIZE = 20;
inline constexpr size_t PAGE_RECORD_HEADER_SIZE = 32;

class printer_header {
 public:
  char magic[16];
  int32_t firstpage;
  int32_t lastpage;
  uint32_t jbg_size;
  int32_t pageno;

  printer_header();
};
static_assert(sizeof(printer_header) == PAGE_RECORD_HEADER_SIZE);

// Both writers return false once the stream has failed (a full disk, a closed pipe),
// so the job can stop instead of encoding pages that nobody receives.
bool WriteJobHeader(FILE *out, const char *jobParams, const char *loggableJobParams,
                    const JobLog &log);
bool WritePageRecord(FILE *out, const printer_header &record, int32_t lastpage,
                     const unsigned char *data, size_t size);
