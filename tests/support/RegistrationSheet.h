#pragma once
// The registration sheet: a test document whose marks lie at fixed distances from the
// edges of whatever sheet it is printed on, and the measuring of a delivered side
// against the geometry of that sheet. A side that CUPS rendered smaller than the sheet,
// shifted, scaled, turned the wrong way or mirrored shows in the measures.

#include <string>
#include <vector>

#include "StreamReader.h"

// A sheet as the printer's PPD declares it, in whole points.
struct SheetSize {
  const char *name;  // the PPD's PageSize choice
  int widthPt;
  int heightPt;
};

// The printer's 13 page sizes.
const std::vector<SheetSize> &PrinterSheetSizes();
// nullptr for a name that is not one of them.
const SheetSize *FindSheetSize(const std::string &name);

// The pixels that `points` make at `dpi`: round(points * dpi / 72).
int SheetPixels(int points, int dpi);

// PostScript of `pages` registration pages. Every page takes the sheet's size from the
// page device, so one document serves every page size: a 0.5 mm frame 10 mm inside
// every edge, a filled 5 mm square centred 20 mm from each corner, and in the top-left
// corner only a bar of 15 x 3 mm along the top edge, which shows a turn or a mirror.
std::string RegistrationDocument(int pages);

// How the side is expected to lie relative to the page as the document draws it.
enum class SideTurn {
  kNone,
  kQuarterCounterClockwise,  // -90 degrees: the page's right-hand column is the top row
};

struct MarkMeasure {
  std::string name;
  double expectedX = 0;  // pixel coordinates on the side, x to the right, y downwards
  double expectedY = 0;
  double foundX = 0;
  double foundY = 0;
  bool found = false;
  double offset = 0;  // distance between the expected and the found position, pixels
};

struct SideMeasure {
  int expectedWidth = 0;
  int expectedHeight = 0;
  int width = 0;
  int height = 0;
  std::vector<MarkMeasure> marks;
  double largestOffset = 0;         // over the marks that were found
  std::vector<std::string> faults;  // empty when the side is the sheet as expected
};

// Measures one side of a registration page printed on `sheet` at `dpi`. The side must
// have the sheet's size within the one pixel of CUPS's rounding, and every mark must lie
// within 3 pixels at 600 dpi (in proportion at other resolutions) of its place.
SideMeasure MeasureRegistrationSide(const PageBitmap &side, const SheetSize &sheet, int dpi,
                                    SideTurn turn);

// "A4 600 dpi: expected 4958x7017, delivered 4958x7017, largest mark offset 0.5 px".
std::string DescribeSideMeasure(const SheetSize &sheet, int dpi, const SideMeasure &measure);
