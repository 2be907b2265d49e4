#include "JbigMemoryEncoder.h"

// The library's header declares C functions without saying so.
extern "C" {
#include <jbig.h>
}

#include <algorithm>
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
constexpr unsigned long kStripeLines = JBIG_STRIPE_LINES;
constexpr int kMaxAdaptiveOffsetX = 0;
constexpr int kLeaveAsIs = -1;

// The first block of the output; most pages need a few of these, doubled as they grow.
constexpr size_t kFirstOutputBlock = 64 * 1024;

// The bi-level image header at the start of the data, and where in it the height stands
// (32 bits, most significant byte first).
constexpr size_t kImageHeaderBytes = 20;
constexpr size_t kImageHeightOffset = 8;

struct OutputSink {
  JbigBytes bytes;
  uint64_t limit = 0;
  size_t skip = 0;  // leading bytes not kept: the header of a piece that does not start the page
  bool outOfMemory = false;
  bool pastLimit = false;
};

// libjbig cannot be told to stop, so once the data cannot be kept the rest is only counted
// away and the call fails when the library returns.
void Append(OutputSink *sink, const unsigned char *start, size_t length) {
  if (sink->outOfMemory || sink->pastLimit) return;
  if (sink->skip > 0) {
    const size_t skipped = std::min(sink->skip, length);
    sink->skip -= skipped;
    start += skipped;
    length -= skipped;
    if (length == 0) return;
  }
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

int32_t JbigStripeCount(int32_t height) {
  if (height < 1) return 0;
  return static_cast<int32_t>((static_cast<int64_t>(height) + JBIG_STRIPE_LINES - 1) /
                              JBIG_STRIPE_LINES);
}

bool EncodeJbigPiece(unsigned char *bits, int32_t width, int32_t height, int32_t firstStripe,
                     int32_t stripeCount, JbigBytes *out, char *error, size_t errorSize) {
  *out = JbigBytes();
  if (bits == nullptr || width < 1 || height < 1) {
    FormatJbigError(error, errorSize, "cannot encode a page of %" PRId32 "x%" PRId32 " pixels%s",
                    width, height, bits == nullptr ? " without pixels" : "");
    return false;
  }
  const uint64_t stride = static_cast<uint64_t>(PbmStride(width));
  const uint64_t bitmapBytes = stride * static_cast<uint64_t>(height);
  if (bitmapBytes > PBM_MAX_BITMAP_BYTES) {
    FormatJbigError(error, errorSize,
                    "a page of %" PRId32 "x%" PRId32 " pixels (%" PRIu64
                    " bytes) exceeds the limit of %" PRIu64 " bytes",
                    width, height, bitmapBytes, PBM_MAX_BITMAP_BYTES);
    return false;
  }
  const int32_t stripes = JbigStripeCount(height);
  if (firstStripe < 0 || stripeCount < 1 ||
      static_cast<int64_t>(firstStripe) + stripeCount > stripes) {
    FormatJbigError(error, errorSize,
                    "stripes %" PRId32 " to %" PRId64 " are not in a page of %" PRId32 " stripes",
                    firstStripe, static_cast<int64_t>(firstStripe) + stripeCount - 1, stripes);
    return false;
  }
  // The piece is encoded as an image of its own rows. Its first stripe starts from the
  // coder's initial state, which is the state every stripe after an SDRST starts from, so
  // its stripe data are the page's; only the header, if it is kept, must give the page's
  // height instead of the piece's.
  const uint64_t firstRow = static_cast<uint64_t>(firstStripe) * kStripeLines;
  const uint64_t endRow =
      std::min<uint64_t>(static_cast<uint64_t>(height),
                         (static_cast<uint64_t>(firstStripe) + stripeCount) * kStripeLines);
  const uint64_t rows = endRow - firstRow;

  OutputSink sink;
  sink.limit = JbigOutputLimit(stride * rows);
  sink.skip = firstStripe == 0 ? 0 : kImageHeaderBytes;
  unsigned char *planes[1] = {bits + firstRow * stride};
  jbg_enc_state state;
  jbg_enc_init(&state, static_cast<unsigned long>(width), static_cast<unsigned long>(rows), 1,
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
  if (firstStripe == 0) {
    if (sink.bytes.size < kImageHeaderBytes) {
      FormatJbigError(error, errorSize, "libjbig wrote no image header (%zu bytes)",
                      sink.bytes.size);
      ReleaseJbigBytes(&sink.bytes);
      return false;
    }
    unsigned char *pageHeight = sink.bytes.data + kImageHeightOffset;
    const uint32_t value = static_cast<uint32_t>(height);
    pageHeight[0] = static_cast<unsigned char>(value >> 24);
    pageHeight[1] = static_cast<unsigned char>(value >> 16);
    pageHeight[2] = static_cast<unsigned char>(value >> 8);
    pageHeight[3] = static_cast<unsigned char>(value);
  }
  *out = sink.bytes;
  return true;
}

bool EncodeJbigInMemory(unsigned char *bits, int32_t width, int32_t height, JbigBytes *out,
                        char *error, size_t errorSize) {
  return EncodeJbigPiece(bits, width, height, 0, std::max<int32_t>(1, JbigStripeCount(height)), out,
                         error, errorSize);
}
