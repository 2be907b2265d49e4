// Pages of fuzz-chosen size and pixels, encoded by our JBIG coder and by libjbig: the bytes
// must be the same, and so must the page encoded in two pieces and joined.

#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "JbigMemoryEncoder.h"
#include "JbigReference.h"
#include "PbmFile.h"

namespace {

// The first bytes choose a page of up to 1024 x 320 pixels and how the rest of the input
// fills it: as the rows themselves, repeated; or as the lengths of alternating white and
// black stretches, so that short inputs make pages of long white stretches and edges. A
// row is a copy of the row above when the input's next byte says so.
std::vector<unsigned char> MakePage(const uint8_t *data, size_t size, int *width, int *height) {
  *width = 1 + ((data[0] | data[1] << 8) & 0x3ff);
  *height = 1 + (data[2] | data[3] << 8) % 320;
  const bool runs = (data[4] & 1) != 0;
  const unsigned repeatBelow = data[4] >> 1;  // of 128: the share of rows that repeat
  const uint8_t *fill = data + 5;
  const size_t fillSize = size - 5;
  const int64_t stride = PbmStride(*width);
  std::vector<unsigned char> bits(static_cast<size_t>(stride * *height));
  size_t at = 0;
  auto next = [&]() { return fillSize == 0 ? uint8_t{0} : fill[at++ % fillSize]; };
  for (int y = 0; y < *height; ++y) {
    unsigned char *row = bits.data() + y * stride;
    if (y > 0 && next() % 128 < repeatBelow) {
      memcpy(row, row - stride, static_cast<size_t>(stride));
      continue;
    }
    if (!runs) {
      for (int64_t i = 0; i < stride; ++i) row[i] = next();
      continue;
    }
    bool black = false;
    for (int x = 0; x < *width;) {
      for (int length = 1 + next(); length > 0 && x < *width; --length, ++x) {
        if (black) row[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
      }
      black = !black;
    }
  }
  return bits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 5) return 0;
  int width = 0;
  int height = 0;
  std::vector<unsigned char> bits = MakePage(data, size, &width, &height);

  JbigBytes ours;
  FUZZ_CHECK(EncodeJbigInMemory(bits.data(), width, height, &ours, nullptr, 0));
  std::vector<unsigned char> copy = bits;
  std::vector<unsigned char> reference;
  FUZZ_CHECK(EncodeJbigWithLibjbig(copy.data(), width, height, &reference));
  FUZZ_CHECK(ours.size == reference.size());
  FUZZ_CHECK(memcmp(ours.data, reference.data(), ours.size) == 0);

  const int32_t stripes = JbigStripeCount(height);
  if (stripes > 1) {
    const int32_t first = 1 + data[0] % (stripes - 1);
    JbigBytes head;
    JbigBytes tail;
    FUZZ_CHECK(EncodeJbigPiece(bits.data(), width, height, 0, first, &head, nullptr, 0));
    FUZZ_CHECK(
        EncodeJbigPiece(bits.data(), width, height, first, stripes - first, &tail, nullptr, 0));
    FUZZ_CHECK(head.size + tail.size == ours.size);
    FUZZ_CHECK(memcmp(head.data, ours.data, head.size) == 0);
    FUZZ_CHECK(memcmp(tail.data, ours.data + head.size, tail.size) == 0);
    ReleaseJbigBytes(&head);
    ReleaseJbigBytes(&tail);
  }
  ReleaseJbigBytes(&ours);
  return 0;
}
