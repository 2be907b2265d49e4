// Raster pages as the printer can take them: one bit per pixel in rows that are PBM
// rows, black on white.

#include "RasterPage.h"

#include <cstdint>
#include <cstring>

#include "Log.h"

namespace {

constexpr uint64_t MAX_PAGE_BYTES = 1ull << 30;

}  // namespace

bool AcceptRasterPage(const cups_page_header2_t &header, int rasterPage, const PageLimits &limits,
                      const JobLog &log) {
  if (header.cupsBitsPerPixel != 1) {
    LogLine(log, "ERROR: Page %d has %u bits per pixel; the printer needs a 1-bit raster\n",
            rasterPage, header.cupsBitsPerPixel);
    return false;
  }
  if (header.cupsWidth == 0 || header.cupsHeight == 0) {
    LogLine(log, "ERROR: Page %d is empty (%ux%u pixels)\n", rasterPage, header.cupsWidth,
            header.cupsHeight);
    return false;
  }
  // Page files and the encoder's command line carry sizes as ints, and the blank back
  // side is as wide as the first page's rows in bits.
  if (header.cupsBytesPerLine > INT32_MAX / 8 || header.cupsHeight > INT32_MAX) {
    LogLine(log, "ERROR: Page %d is too large (%ux%u pixels)\n", rasterPage, header.cupsWidth,
            header.cupsHeight);
    return false;
  }
  const uint64_t rowBytes = (static_cast<uint64_t>(header.cupsWidth) + 7) / 8;
  if (header.cupsBytesPerLine != rowBytes) {
    LogLine(log, "ERROR: Page %d has %u bytes per line, but %u pixels need %llu\n", rasterPage,
            header.cupsBytesPerLine, header.cupsWidth, static_cast<unsigned long long>(rowBytes));
    return false;
  }
  const uint64_t pageBytes = rowBytes * header.cupsHeight;
  if (pageBytes > MAX_PAGE_BYTES) {
    LogLine(log, "ERROR: Page %d needs %llu bytes of pixel data, more than the limit of %llu\n",
            rasterPage, static_cast<unsigned long long>(pageBytes),
            static_cast<unsigned long long>(MAX_PAGE_BYTES));
    return false;
  }
  if (!PageWithinLimits(limits, header.cupsWidth, header.cupsHeight)) {
    LogLine(log,
            "ERROR: Page %d is %ux%u pixels, larger than the printer's largest sheet allows (%u "
            "pixels on an edge, %llu in all)\n",
            rasterPage, header.cupsWidth, header.cupsHeight, limits.maxEdgePixels,
            static_cast<unsigned long long>(limits.maxPixels));
    return false;
  }
  return true;
}

// Colour spaces in which a set bit is white are turned round, so the page file is
// black on white as the printer expects; the padding past the width stays clear.
void MakeSetBitsBlack(const cups_page_header2_t &header, unsigned char *pixels) {
  // The header comes from the network: its colour space may hold any 32-bit value, and
  // reading one outside the enumeration through the enum type is undefined, so the
  // field is read as the number it is.
  static_assert(sizeof header.cupsColorSpace == sizeof(uint32_t));
  uint32_t colorSpace = 0;
  memcpy(&colorSpace, &header.cupsColorSpace, sizeof colorSpace);
  if (colorSpace != CUPS_CSPACE_W && colorSpace != CUPS_CSPACE_SW) return;
  const uint64_t rowBytes = header.cupsBytesPerLine;
  const unsigned padding = static_cast<unsigned>(rowBytes * 8 - header.cupsWidth);
  const unsigned char lastByteMask = static_cast<unsigned char>(0xFFu << padding);
  for (uint64_t row = 0; row < header.cupsHeight; ++row) {
    unsigned char *line = pixels + row * rowBytes;
    for (uint64_t i = 0; i < rowBytes; ++i) line[i] = static_cast<unsigned char>(~line[i]);
    line[rowBytes - 1] &= lastByteMask;
  }
}

