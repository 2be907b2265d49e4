#pragma once
// How large a page a job may ask for. The printer prints nothing larger than its largest
// sheet at its highest resolution, so a raster page well beyond that is refused before
// anything of it is written: a few kilobytes of compressed raster must not fill the disk
// with page files or keep the encoder busy for minutes. The margin leaves room for a
// rasterizer's rounding and bleed.

#include <cstdint>

struct PageLimits {
  uint32_t maxEdgePixels = 0;  // the most pixels either edge of a page may have
  uint64_t maxPixels = 0;      // the most pixels a page may have in all
};

// The limits for a sheet of widthPoints x heightPoints (1/72 inch) printed at dpi: 10 %
// over the sheet's long edge in pixels, 20 % over its pixel count.
PageLimits PageLimitsForSheet(double widthPoints, double heightPoints, int dpi);

// Limits that take every page that either takes: the longer edge and the larger count.
PageLimits LargerPageLimits(const PageLimits &a, const PageLimits &b);

bool PageWithinLimits(const PageLimits &limits, uint64_t width, uint64_t height);
