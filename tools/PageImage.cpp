// Page images on disk and in memory: PBM files (read and written), PNG files (written,
// so a person can look at a page), and pixel comparisons that ignore row padding.

#include <png.h>

#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "StreamReader.h"

namespace {

void SetError(std::string *error, const std::string &text) {
  if (error != nullptr) *error = text;
}

std::string SystemError(const std::string &what, const std::string &path) {
  return what + " " + path + ": " + strerror(errno);
}

bool IsPbmSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Skips white space and '#' comments (up to the line end) between two header tokens.
void SkipSpaceAndComments(const std::vector<unsigned char> &bytes, size_t *pos) {
  while (*pos < bytes.size()) {
    unsigned char c = bytes[*pos];
    if (IsPbmSpace(c)) {
      ++*pos;
    } else if (c == '#') {
      while (*pos < bytes.size() && bytes[*pos] != '\n' && bytes[*pos] != '\r') ++*pos;
    } else {
      return;
    }
  }
}

bool ReadHeaderNumber(const std::vector<unsigned char> &bytes, size_t *pos, int *value) {
  int64_t number = 0;
  size_t start = *pos;
  while (*pos < bytes.size() && bytes[*pos] >= '0' && bytes[*pos] <= '9') {
    number = number * 10 + (bytes[*pos] - '0');
    if (number > INT_MAX) return false;
    ++*pos;
  }
  if (*pos == start) return false;
  *value = static_cast<int>(number);
  return true;
}

// The bitmap holds at least height rows of its stride: the precondition of every
// pixel loop below.
bool HasAllRows(const PageBitmap &page) {
  if (page.width <= 0 || page.height <= 0) return false;
  return page.bits.size() >= PageBitmapStride(page.width) * static_cast<uint64_t>(page.height);
}

// The bits of a row's last byte that are pixels; the rest is padding.
unsigned char LastByteMask(int width) {
  int used = width % 8;
  return used == 0 ? 0xff : static_cast<unsigned char>(0xff << (8 - used));
}

struct PngErrorSink {
  char message[256];
};

void PngError(png_structp png, png_const_charp message) {
  auto *sink = static_cast<PngErrorSink *>(png_get_error_ptr(png));
  snprintf(sink->message, sizeof sink->message, "%s", message);
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// libpng leaves this function by longjmp on an error, so it holds nothing that needs a
// destructor; the caller owns the row buffer and the file.
bool WritePngImage(FILE *file, const PageBitmap &page, unsigned char *row, PngErrorSink *sink) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, sink, PngError, PngWarning);
  if (png == nullptr) {
    snprintf(sink->message, sizeof sink->message, "cannot create the PNG writer");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    snprintf(sink->message, sizeof sink->message, "cannot create the PNG header");
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(page.width),
               static_cast<png_uint_32>(page.height), 1, PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const size_t stride = PageBitmapStride(page.width);
  for (int y = 0; y < page.height; ++y) {
    // A 1-bit grey PNG shows 0 as black, the opposite of PBM's set bit.
    const unsigned char *source = page.bits.data() + static_cast<size_t>(y) * stride;
    for (size_t i = 0; i < stride; ++i) row[i] = static_cast<unsigned char>(~source[i]);
    png_write_row(png, row);
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string &path, std::vector<unsigned char> *bytes,
                   std::string *error) {
  bytes->clear();
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) {
    SetError(error, SystemError("cannot open", path));
    return false;
  }
  unsigned char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes->insert(bytes->end(), buffer, buffer + n);
  }
  const bool failed = ferror(file) != 0;
  if (failed) SetError(error, SystemError("cannot read", path));
  fclose(file);
  return !failed;
}

bool ReadPbmFile(const std::string &path, PageBitmap *page, std::string *error) {
  *page = PageBitmap();
  std::vector<unsigned char> bytes;
  if (!ReadWholeFile(path, &bytes, error)) return false;
  if (bytes.size() < 2 || bytes[0] != 'P' || bytes[1] != '4') {
    SetError(error, path + ": not a raw PBM file (magic P4)");
    return false;
  }
  size_t pos = 2;
  int width = 0;
  int height = 0;
  SkipSpaceAndComments(bytes, &pos);
  if (!ReadHeaderNumber(bytes, &pos, &width)) {
    SetError(error, path + ": PBM width missing or too large");
    return false;
  }
  SkipSpaceAndComments(bytes, &pos);
  if (!ReadHeaderNumber(bytes, &pos, &height)) {
    SetError(error, path + ": PBM height missing or too large");
    return false;
  }
  if (pos >= bytes.size() || !IsPbmSpace(bytes[pos])) {
    SetError(error, path + ": PBM header does not end with a white-space byte");
    return false;
  }
  ++pos;
  if (width <= 0 || height <= 0) {
    SetError(error, path + ": empty PBM image (" + std::to_string(width) + "x" +
                        std::to_string(height) + ")");
    return false;
  }
  const uint64_t size = PageBitmapStride(width) * static_cast<uint64_t>(height);
  if (size > MAX_PAGE_BITMAP_BYTES) {
    SetError(error, path + ": PBM image of " + std::to_string(width) + "x" +
                        std::to_string(height) + " pixels exceeds the limit of " +
                        std::to_string(MAX_PAGE_BITMAP_BYTES) + " bytes");
    return false;
  }
  const uint64_t present = bytes.size() - pos;
  if (present != size) {
    SetError(error, path + ": PBM pixel data has " + std::to_string(present) +
                        " bytes, the header announces " + std::to_string(size));
    return false;
  }
  page->width = width;
  page->height = height;
  page->bits.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos), bytes.end());
  return true;
}

bool WritePbmFile(const std::string &path, const PageBitmap &page, std::string *error) {
  if (!HasAllRows(page)) {
    SetError(error, path + ": the page has no pixels or fewer bytes than its size needs");
    return false;
  }
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    SetError(error, SystemError("cannot create", path));
    return false;
  }
  const size_t size = PageBitmapStride(page.width) * static_cast<size_t>(page.height);
  bool written = fprintf(file, "P4\n%d %d\n", page.width, page.height) > 0 &&
                 fwrite(page.bits.data(), 1, size, file) == size;
  if (!written) SetError(error, SystemError("cannot write", path));
  if (fclose(file) != 0 && written) {
    SetError(error, SystemError("cannot write", path));
    written = false;
  }
  return written;
}

bool WritePngFile(const std::string &path, const PageBitmap &page, std::string *error) {
  if (!HasAllRows(page)) {
    SetError(error, path + ": the page has no pixels or fewer bytes than its size needs");
    return false;
  }
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr) {
    SetError(error, SystemError("cannot create", path));
    return false;
  }
  std::vector<unsigned char> row(PageBitmapStride(page.width));
  PngErrorSink sink{};
  bool written = WritePngImage(file, page, row.data(), &sink);
  if (!written) SetError(error, path + ": " + sink.message);
  if (fclose(file) != 0 && written) {
    SetError(error, SystemError("cannot write", path));
    written = false;
  }
  return written;
}

bool SamePixels(const PageBitmap &a, const PageBitmap &b) {
  if (a.width != b.width || a.height != b.height) return false;
  if (!HasAllRows(a) || !HasAllRows(b)) return false;
  const size_t stride = PageBitmapStride(a.width);
  const size_t whole = static_cast<size_t>(a.width / 8);
  const unsigned char mask = LastByteMask(a.width);
  for (int y = 0; y < a.height; ++y) {
    const unsigned char *rowA = a.bits.data() + static_cast<size_t>(y) * stride;
    const unsigned char *rowB = b.bits.data() + static_cast<size_t>(y) * stride;
    if (memcmp(rowA, rowB, whole) != 0) return false;
    if (whole < stride && ((rowA[stride - 1] ^ rowB[stride - 1]) & mask) != 0) return false;
  }
  return true;
}

bool IsAllWhite(const PageBitmap &page) {
  if (page.width <= 0 || page.height <= 0) return true;  // no pixels, none black
  if (!HasAllRows(page)) return false;
  const size_t stride = PageBitmapStride(page.width);
  const unsigned char mask = LastByteMask(page.width);
  for (int y = 0; y < page.height; ++y) {
    const unsigned char *row = page.bits.data() + static_cast<size_t>(y) * stride;
    for (size_t i = 0; i + 1 < stride; ++i) {
      if (row[i] != 0) return false;
    }
    if ((row[stride - 1] & mask) != 0) return false;
  }
  return true;
}
