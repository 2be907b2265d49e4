#include "PrinterStream.h"

#include <cstring>

#include "Log.h"

namespace {

// The printer reads little-endian integers whatever host the filter runs on.
void PutLittleEndian32(unsigned char *to, uint32_t value) {
  to[0] = static_cast<unsigned char>(value);
  to[1] = static_cast<unsigned char>(value >> 8);
  to[2] = static_cast<unsigned char>(value >> 16);
  to[3] = static_cast<unsigned char>(value >> 24);
}

bool WriteAll(FILE *out, const void *data, size_t size) {
  if (size == 0) return ferror(out) == 0;
  return fwrite(data, 1, size, out) == size && ferror(out) == 0;
}

}  // namespace

printer_header::printer_header() : firstpage(0), lastpage(0), jbg_size(0), pageno(1) {
  memcpy(magic, PAGE_RECORD_MAGIC, sizeof magic);
}

bool WriteJobHeader(FILE *out, const char *jobParams, const char *loggableJobParams,
                    const JobLog &log) {
  const size_t length = strlen(jobParams);
  unsigned char header[JOB_HEADER_FIXED_SIZE];
  memcpy(header, JOB_HEADER_MAGIC, sizeof JOB_HEADER_MAGIC);
  PutLittleEndian32(header + 16, static_cast<uint32_t>(length));
  const bool written = WriteAll(out, header, sizeof header) && WriteAll(out, jobParams, length);
  LogLine(log, "DEBUG: job_params=%s \n", loggableJobParams);
  LogLine(log, "DEBUG: job_params_size=%d \n", static_cast<int>(length));
  return written;
}

bool WritePageRecord(FILE *out, const printer_header &record, int32_t lastpage,
                     const unsigned char *data, size_t size) {
  unsigned char header[PAGE_RECORD_HEADER_SIZE];
  memcpy(header, record.magic, sizeof record.magic);
  PutLittleEndian32(header + 16, static_cast<uint32_t>(record.firstpage));
  PutLittleEndian32(header + 20, static_cast<uint32_t>(lastpage));
  PutLittleEndian32(header + 24, record.jbg_size);
  PutLittleEndian32(header + 28, static_cast<uint32_t>(record.pageno));
  return WriteAll(out, header, sizeof header) && WriteAll(out, data, size);
}
