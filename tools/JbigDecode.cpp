// Decoding one page's JBIG data (a bi-level image entity) in process with libjbig.
// The data comes from a stream that may be damaged, so everything the decoder would
// allocate is bounded from the image header first, and every decoder result is checked.

// The library's header declares C functions without saying so.
extern "C" {
#include <jbig.h>
}

#include <climits>
#include <cstring>

#include "StreamReader.h"

namespace {

constexpr size_t kBihSize = 20;  // the bi-level image header at the start of the data

uint32_t BigEndian32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// Owns the decoder state so that every return path frees it.
class JbigDecoder {
 public:
  JbigDecoder() { jbg_dec_init(&state_); }
  ~JbigDecoder() { jbg_dec_free(&state_); }
  JbigDecoder(const JbigDecoder &) = delete;
  JbigDecoder &operator=(const JbigDecoder &) = delete;
  jbg_dec_state *get() { return &state_; }

 private:
  jbg_dec_state state_;
};

std::string DecoderError(int result) {
  return std::string(jbg_strerror(result)) + " (libjbig code " + std::to_string(result) + ")";
}

// After the last stripe an image may still carry marker segments: the stripe ends and
// NEWLEN of an image whose height was announced as variable, comments, AT moves. They
// hold no pixels; anything else after the image is damage.
bool OnlyMarkerSegments(const unsigned char *p, size_t size) {
  constexpr unsigned char kEsc = 0xff;
  size_t pos = 0;
  while (pos < size) {
    if (p[pos] != kEsc || pos + 1 >= size) return false;
    size_t length = 0;
    switch (p[pos + 1]) {
      case 0x02:  // SDNORM
      case 0x03:  // SDRST
        length = 2;
        break;
      case 0x05:  // NEWLEN
        length = 6;
        break;
      case 0x06:  // ATMOVE
        length = 8;
        break;
      case 0x07:  // COMMENT: a 32-bit length, then the text
        if (pos + 6 > size) return false;
        length = 6 + BigEndian32(p + pos + 2);
        break;
      default:
        return false;
    }
    if (length > size - pos) return false;
    pos += length;
  }
  return true;
}

void SetError(std::string *error, const std::string &text) {
  if (error != nullptr) *error = text;
}

}  // namespace

bool DecodeJbig(const unsigned char *data, size_t size, PageBitmap *page, std::string *error) {
  *page = PageBitmap();
  if (size < kBihSize) {
    SetError(error, "JBIG data too short for an image header: " + std::to_string(size) +
                        " of " + std::to_string(kBihSize) + " bytes");
    return false;
  }
  // The decoder takes non-const data, and a height announced as variable is settled
  // by writing the NEWLEN value into the header, so it works on its own copy.
  std::vector<unsigned char> bie(data, data + size);
  // Only the image's final height matters here; a stream without NEWLEN is left as it is.
  (void)jbg_newlen(bie.data(), bie.size());

  const unsigned planes = bie[2];
  const uint64_t width = BigEndian32(bie.data() + 4);
  const uint64_t height = BigEndian32(bie.data() + 8);
  if (planes != 1) {
    SetError(error, "JBIG image has " + std::to_string(planes) +
                        " bit planes; a bi-level page has 1");
    return false;
  }
  if (width == 0 || height == 0) {
    SetError(error, "JBIG image header gives an empty image (" + std::to_string(width) + "x" +
                        std::to_string(height) + ")");
    return false;
  }
  const uint64_t stride = PageBitmapStride(static_cast<int64_t>(width));
  if (width > INT_MAX || height > INT_MAX || stride * height > MAX_PAGE_BITMAP_BYTES) {
    SetError(error, "JBIG image of " + std::to_string(width) + "x" + std::to_string(height) +
                        " pixels exceeds the limit of " +
                        std::to_string(MAX_PAGE_BITMAP_BYTES) + " bytes");
    return false;
  }

  JbigDecoder decoder;
  jbg_dec_maxsize(decoder.get(), static_cast<unsigned long>(width),
                  static_cast<unsigned long>(height));
  size_t position = 0;
  int result = JBG_EAGAIN;
  while (position < bie.size()) {
    size_t used = 0;
    result = jbg_dec_in(decoder.get(), bie.data() + position, bie.size() - position, &used);
    position += used;
    if (result == JBG_EOK) break;
    if (result == JBG_EOK_INTR) {
      // A resolution layer short of the full image is done; the rest of the data
      // carries the higher layers.
      if (used == 0) break;
      continue;
    }
    if (result != JBG_EAGAIN) {
      SetError(error, "JBIG data does not decode at byte " + std::to_string(position) +
                          " of " + std::to_string(size) + ": " + DecoderError(result));
      return false;
    }
    if (used == 0) break;
  }
  if (result != JBG_EOK) {
    SetError(error, "JBIG data ends before the image is complete (" + std::to_string(size) +
                        " bytes)");
    return false;
  }
  if (!OnlyMarkerSegments(bie.data() + position, bie.size() - position)) {
    SetError(error, std::to_string(bie.size() - position) +
                        " bytes follow the end of the JBIG image at byte " +
                        std::to_string(position));
    return false;
  }
  const unsigned char *image = jbg_dec_getimage(decoder.get(), 0);
  const uint64_t decodedWidth = jbg_dec_getwidth(decoder.get());
  const uint64_t decodedHeight = jbg_dec_getheight(decoder.get());
  const uint64_t decodedSize = jbg_dec_getsize(decoder.get());
  if (image == nullptr || decodedWidth != width || decodedHeight != height ||
      decodedSize != stride * height) {
    SetError(error, "JBIG decoder gave a " + std::to_string(decodedWidth) + "x" +
                        std::to_string(decodedHeight) + " image, header announced " +
                        std::to_string(width) + "x" + std::to_string(height));
    return false;
  }
  page->width = static_cast<int>(width);
  page->height = static_cast<int>(height);
  page->bits.assign(image, image + decodedSize);
  return true;
}
