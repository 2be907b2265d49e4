#include "JbigMemoryEncoder.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "JbigStripeCoder.h"
#include "PbmFile.h"

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

bool EncodeJbigPiece(const unsigned char *bits, int32_t width, int32_t height, int32_t firstStripe,
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
  // Every stripe ends in SDRST, which starts the next one from the coder's first state, so
  // a piece's stripes are coded from its own rows alone.
  const uint64_t firstRow = static_cast<uint64_t>(firstStripe) * JBIG_STRIPE_LINES;
  const uint64_t endRow =
      std::min<uint64_t>(static_cast<uint64_t>(height),
                         (static_cast<uint64_t>(firstStripe) + stripeCount) * JBIG_STRIPE_LINES);
  const uint64_t limit = JbigOutputLimit(stride * (endRow - firstRow));
  JbigBytes bytes;
  JbigCodeResult result = JbigCodeResult::Ok;
  if (firstStripe == 0) result = AppendJbigImageHeader(width, height, &bytes, limit);
  if (result == JbigCodeResult::Ok) {
    result = AppendJbigStripes(bits + firstRow * stride, width,
                               static_cast<int32_t>(endRow - firstRow), &bytes, limit);
  }
  if (result == JbigCodeResult::NoMemory) {
    FormatJbigError(error, errorSize,
                    "no memory for the JBIG data of a page of %" PRId32 "x%" PRId32
                    " pixels (%zu bytes kept)",
                    width, height, bytes.size);
  } else if (result == JbigCodeResult::PastLimit) {
    FormatJbigError(error, errorSize,
                    "the JBIG data of a page of %" PRId32 "x%" PRId32
                    " pixels exceeds the limit of %" PRIu64 " bytes",
                    width, height, limit);
  }
  if (result != JbigCodeResult::Ok) {
    ReleaseJbigBytes(&bytes);
    return false;
  }
  *out = bytes;
  return true;
}

bool EncodeJbigInMemory(const unsigned char *bits, int32_t width, int32_t height, JbigBytes *out,
                        char *error, size_t errorSize) {
  return EncodeJbigPiece(bits, width, height, 0, std::max<int32_t>(1, JbigStripeCount(height)), out,
                         error, errorSize);
}
