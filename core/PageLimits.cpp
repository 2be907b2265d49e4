#include "PageLimits.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double POINTS_PER_INCH = 72.0;

// A sheet edge in whole pixels, rounded up so that the sheet's own raster always fits.
uint64_t EdgePixels(double points, int dpi) {
  if (!(points > 0) || dpi <= 0) return 0;
  const double pixels = std::ceil(points * dpi / POINTS_PER_INCH);
  return pixels < static_cast<double>(UINT32_MAX) ? static_cast<uint64_t>(pixels) : UINT32_MAX;
}

}  // namespace

PageLimits PageLimitsForSheet(double widthPoints, double heightPoints, int dpi) {
  const uint64_t width = EdgePixels(widthPoints, dpi);
  const uint64_t height = EdgePixels(heightPoints, dpi);
  const uint64_t longEdge = std::max(width, height);
  PageLimits limits;
  // Whole pixels: an edge e is more than 10 % over the long edge exactly when it is more
  // than floor(1.1 x long edge), and the same holds for the count.
  limits.maxEdgePixels = static_cast<uint32_t>(std::min<uint64_t>(longEdge * 11 / 10, UINT32_MAX));
  const uint64_t count = width * height;  // both edges fit 32 bits
  limits.maxPixels = count > UINT64_MAX / 6 ? UINT64_MAX : count * 6 / 5;
  return limits;
}

PageLimits LargerPageLimits(const PageLimits &a, const PageLimits &b) {
  PageLimits larger;
  larger.maxEdgePixels = std::max(a.maxEdgePixels, b.maxEdgePixels);
  larger.maxPixels = std::max(a.maxPixels, b.maxPixels);
  return larger;
}

bool PageWithinLimits(const PageLimits &limits, uint64_t width, uint64_t height) {
  // Both edges are bounded to 32 bits before they are multiplied.
  return width <= limits.maxEdgePixels && height <= limits.maxEdgePixels &&
         width * height <= limits.maxPixels;
}
