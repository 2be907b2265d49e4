#pragma once
// JBIG encoding of a bi-level page held in memory, in process, with the parameters of the
// filter's pbmtojbg command line and the bytes that command writes for the same page. No
// child process, no files; the coder is our own (JbigStripeCoder.h).

#include <cstddef>
#include <cstdint>

// JBIG data in a malloc'd buffer that the record owns; ReleaseJbigBytes frees it and
// leaves the record empty. A record that was never filled is empty too.
struct JbigBytes {
  unsigned char *data = nullptr;
  size_t size = 0;
  size_t capacity = 0;
};

void ReleaseJbigBytes(JbigBytes *bytes);

// Room for any error text of the encoder and the parallel encoding pool.
inline constexpr size_t JBIG_ERROR_TEXT_SIZE = 256;

// Writes an error text into the caller's buffer of errorSize bytes (cut to fit; nothing
// when error is null or errorSize is 0).
void FormatJbigError(char *error, size_t errorSize, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// The largest JBIG data accepted for a page of bitmapBytes bytes of pixels. Arithmetic
// coding of a random page comes out about 5 % larger than the pixels, so twice their size
// is never reached by a real page; a page past it is refused rather than grown without end.
uint64_t JbigOutputLimit(uint64_t bitmapBytes);

// Encodes height rows of PbmStride(width) bytes (MSB leftmost, set bit black) as a single
// JBIG bi-level image entity: one plane, one layer at full size, 128-line stripes each
// ending in SDRST, no order flags, typical prediction only with the three-line template,
// the adaptive pixel kept in place.
//
// The padding bits past the width are not part of the page (pbmtojbg ignores whatever a PBM
// file carries there), and the page is only read. Safe to call from several threads at once,
// for the same page too: all encoder state lives in the call.
//
// On success *out holds the data (the caller releases it) and error is untouched. On
// failure *out is empty and error (errorSize bytes, may be null) says why: a size below 1,
// a bitmap past PBM_MAX_BITMAP_BYTES, memory that cannot be had, data past the limit.
bool EncodeJbigInMemory(const unsigned char *bits, int32_t width, int32_t height, JbigBytes *out,
                        char *error, size_t errorSize);

// Lines per stripe, the unit in which a page can be encoded piece by piece.
inline constexpr int32_t JBIG_STRIPE_LINES = 128;

// The stripes of a page of that height (0 below 1).
int32_t JbigStripeCount(int32_t height);

// Encodes stripes firstStripe to firstStripe + stripeCount - 1 of the page alone. Every
// stripe ends in SDRST, which resets the coder, so a stripe's data depend on its own rows
// only: the pieces of a page, concatenated in stripe order, are byte for byte what
// EncodeJbigInMemory gives for the whole page. The piece that starts at stripe 0 carries the
// image header (with the page's height), the others stripe data alone. Pieces of one page
// may be encoded on several threads at once. Fails as EncodeJbigInMemory does, and for
// stripes not in the page.
bool EncodeJbigPiece(const unsigned char *bits, int32_t width, int32_t height, int32_t firstStripe,
                     int32_t stripeCount, JbigBytes *out, char *error, size_t errorSize);
