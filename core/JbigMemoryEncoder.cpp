#include "JbigMemoryEncoder.h"

// The library's header declares C functions without saying so.
extern "C" {
#include <jbig.h>
}

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PbmFile.h"

namespace {

// The filter's command line, "pbmtojbg -q -x W -y H -r -s 128 -o 0 -p 8 -m 0", as the
// library calls that pbmtojbg makes for it: -q asks for no differential layer (and so
// overrides -x and -y), -r adds SDRST to the options that -p gives, -s is the stripe
// height, -o the order byte, -m the largest horizontal offset of the adaptive pixel. The
// lowest and highest layer to write and the vertical offset are left as they are (-1).
constexpr int kDifferentialLayers = 0;
constexpr int kOrder = 0;
constexpr int kOptions = JBG_TPBON | JBG_SDRST;
constexpr unsigned long kStripeLines = 128;
constexpr int kMaxAdaptiveOffsetX = 0;
constexpr int kLeaveAsIs = -1;

// The first block of the output; most pages need a few of these, doubled as they grow.
constexpr size_t kFirstOutputBlock = 64 * 1024;

struct OutputSink {
  JbigBytes bytes;
  uint64_t limit = 0;
  bool outOfMemory = false;
  bool pastLimit = false;
};

// libjbig cannot be told to stop, so once the data cannot be kept the rest is only counted
// away and the call fails when the library returns.
void Append(OutputSink *sink, const unsigned char *start, size_t length) {
  if (sink->outOfMemory || sink->pastLimit) return;
  JbigBytes &bytes = sink->bytes;
  if (length > sink->limit - bytes.size) {
    sink->pastLimit = true;
    return;
  }
  const size_t needed = bytes.size + length;
  if (needed > bytes.capacity) {
    size_t capacity = bytes.capacity == 0 ? kFirstOutputBlock : bytes.capacity;
    while (capacity < needed) capacity *= 2;
    if (capacity > sink->limit) capacity = static_cast<size_t>(sink->limit);
    unsigned char *grown = static_cast<unsigned char *>(realloc(bytes.data, capacity));
    if (grown == nullptr) {
      sink->outOfMemory = true;
      return;
    }
    bytes.data = grown;
    bytes.capacity = capacity;
  }
  memcpy(bytes.data + bytes.size, start, length);
  bytes.size = needed;
}

extern "C" void AppendJbigOutput(unsigned char *start, size_t length, void *sink) {
  Append(static_cast<OutputSink *>(sink), start, length);
}

}  // namespace

void FormatJbigError(char *error, size_t errorSize, const char *format, ...) {
  if (error == nullptr || errorSize == 0) return;
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(error, errorSize, format, arguments);
  va_end(arguments);
}

void ReleaseJbigBytes(JbigBytes *bytes) {
  free(bytes->data);
  *bytes = JbigBytes();
}

uint64_t JbigOutputLimit(uint64_t bitmapBytes) { return 2 * bitmapBytes + 64 * 1024; }

bool EncodeJbigInMemory(unsigned char *bits, int32_t width, int32_t height, JbigBytes *out,
                        char *error, size_t errorSize) {
  *out = JbigBytes();
  if (bits == nullptr || width < 1 || height < 1) {
    FormatJbigError(error, errorSize, "cannot encode a page of %" PRId32 "x%" PRId32 " pixels%s",
                    width, height, bits == nullptr ? " without pixels" : "");
    return false;
  }
  const uint64_t bitmapBytes =
      static_cast<uint64_t>(PbmStride(width)) * static_cast<uint64_t>(height);
  if (bitmapBytes > PBM_MAX_BITMAP_BYTES) {
    FormatJbigError(error, errorSize,
                    "a page of %" PRId32 "x%" PRId32 " pixels (%" PRIu64
                    " bytes) exceeds the limit of %" PRIu64 " bytes",
                    width, height, bitmapBytes, PBM_MAX_BITMAP_BYTES);
    return false;
  }

  OutputSink sink;
  sink.limit = JbigOutputLimit(bitmapBytes);
  unsigned char *planes[1] = {bits};
  jbg_enc_state state;
  jbg_enc_init(&state, static_cast<unsigned long>(width), static_cast<unsigned long>(height), 1,
               planes, AppendJbigOutput, &sink);
  jbg_enc_layers(&state, kDifferentialLayers);
  jbg_enc_lrange(&state, kLeaveAsIs, kLeaveAsIs);
  jbg_enc_options(&state, kOrder, kOptions, kStripeLines, kMaxAdaptiveOffsetX, kLeaveAsIs);
  jbg_enc_out(&state);
  jbg_enc_free(&state);

  if (sink.outOfMemory || sink.pastLimit) {
    if (sink.outOfMemory) {
      FormatJbigError(error, errorSize,
                      "no memory for the JBIG data of a page of %" PRId32 "x%" PRId32
                      " pixels (%zu bytes kept)",
                      width, height, sink.bytes.size);
    } else {
      FormatJbigError(error, errorSize,
                      "the JBIG data of a page of %" PRId32 "x%" PRId32
                      " pixels exceeds the limit of %" PRIu64 " bytes",
                      width, height, sink.limit);
    }
    ReleaseJbigBytes(&sink.bytes);
    return false;
  }
  *out = sink.bytes;
  return true;
}
