#include "RegistrationSheet.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace {

// Where the document draws its marks, in millimetres from the sheet's edges.
constexpr double kFrameInsetMm = 10.0;
constexpr double kSquareCentreMm = 20.0;
constexpr double kSquareSideMm = 5.0;
constexpr double kBarLeftMm = 35.0;  // the bar's left end, from the left edge
constexpr double kBarLengthMm = 15.0;
constexpr double kBarThicknessMm = 3.0;
// Around each mark the window searched for its ink: wide enough to find a mark a few
// millimetres off its place, narrow enough to hold no other mark.
constexpr double kSearchMarginMm = 4.0;

// The drawing of one page; the mark geometry above in PostScript.
const char kDocumentProlog[] = R"(%%EndComments
%%BeginProlog
/mm { 72 mul 25.4 div } bind def
/square {  % x y square -   (a filled 5 mm square centred on x y)
  2.5 mm sub exch 2.5 mm sub exch 5 mm 5 mm rectfill
} bind def
/sheet {
  currentpagedevice /PageSize get aload pop /H exch def /W exch def
  0 setgray
  0.5 mm setlinewidth
  10 mm 10 mm W 20 mm sub H 20 mm sub rectstroke
  20 mm 20 mm square  W 20 mm sub 20 mm square
  20 mm H 20 mm sub square  W 20 mm sub H 20 mm sub square
  35 mm H 21.5 mm sub 15 mm 3 mm rectfill  % top left only
} bind def
%%EndProlog
)";

const std::vector<SheetSize> kSheetSizes = {
    {"A4", 595, 842},          {"A5", 420, 595},        {"B5", 516, 729},
    {"16k", 522, 737},         {"Letter", 612, 792},    {"Statement", 396, 612},
    {"Legal", 612, 1008},      {"Executive", 522, 756}, {"A6", 297, 420},
    {"B6", 363, 516},          {"B5ISO", 499, 709},     {"BANK1", 289, 556},
    {"BANK2", 340, 652},
};

struct Rect {  // pixels on the side: centre and extent
  double x;
  double y;
  double w;
  double h;
};

bool Black(const PageBitmap &side, int x, int y) {
  const uint64_t stride = PageBitmapStride(side.width);
  return (side.bits[static_cast<uint64_t>(y) * stride + static_cast<uint64_t>(x) / 8] &
          (0x80u >> (x % 8))) != 0;
}

__attribute__((format(printf, 1, 2))) std::string Format(const char *format, ...) {
  char text[200];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// The ink in the window around `expected`: its centre and its extent.
void MeasureMark(const PageBitmap &side, const Rect &expected, double marginPx, double tolerance,
                 MarkMeasure *mark, std::vector<std::string> *faults) {
  mark->expectedX = expected.x;
  mark->expectedY = expected.y;
  const int left = std::max(0, static_cast<int>(expected.x - expected.w / 2 - marginPx));
  const int right =
      std::min(side.width, static_cast<int>(expected.x + expected.w / 2 + marginPx));
  const int top = std::max(0, static_cast<int>(expected.y - expected.h / 2 - marginPx));
  const int bottom =
      std::min(side.height, static_cast<int>(expected.y + expected.h / 2 + marginPx));
  double sumX = 0, sumY = 0, count = 0;
  int minX = right, maxX = left - 1, minY = bottom, maxY = top - 1;
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) {
      if (!Black(side, x, y)) continue;
      sumX += x + 0.5;
      sumY += y + 0.5;
      ++count;
      minX = std::min(minX, x);
      maxX = std::max(maxX, x);
      minY = std::min(minY, y);
      maxY = std::max(maxY, y);
    }
  }
  if (count == 0) {
    faults->push_back(mark->name + Format(": no ink near (%.0f, %.0f)", expected.x, expected.y));
    return;
  }
  mark->found = true;
  mark->foundX = sumX / count;
  mark->foundY = sumY / count;
  mark->offset = std::hypot(mark->foundX - expected.x, mark->foundY - expected.y);
  if (mark->offset > tolerance) {
    faults->push_back(mark->name + Format(": centre at (%.1f, %.1f), expected (%.1f, %.1f)",
                                          mark->foundX, mark->foundY, expected.x, expected.y));
  }
  const double width = maxX - minX + 1, height = maxY - minY + 1;
  if (std::fabs(width - expected.w) > 2 * tolerance ||
      std::fabs(height - expected.h) > 2 * tolerance) {
    faults->push_back(mark->name + Format(": %.0f x %.0f pixels, expected %.0f x %.0f", width,
                                          height, expected.w, expected.h));
  }
}

// The centre of the first black run met walking from (x, y) by (dx, dy); -1 when none.
double FirstLineCentre(const PageBitmap &side, int x, int y, int dx, int dy) {
  while (x >= 0 && y >= 0 && x < side.width && y < side.height && !Black(side, x, y)) {
    x += dx;
    y += dy;
  }
  if (x < 0 || y < 0 || x >= side.width || y >= side.height) return -1;
  const int startX = x, startY = y;
  while (x >= 0 && y >= 0 && x < side.width && y < side.height && Black(side, x, y)) {
    x += dx;
    y += dy;
  }
  // The run covers first to last (pixel centres at index + 0.5).
  const int first = dx != 0 ? startX : startY;
  const int last = dx != 0 ? x - dx : y - dy;
  return (first + last) / 2.0 + 0.5;
}

}  // namespace

const std::vector<SheetSize> &PrinterSheetSizes() { return kSheetSizes; }

const SheetSize *FindSheetSize(const std::string &name) {
  for (const SheetSize &size : kSheetSizes) {
    if (name == size.name) return &size;
  }
  return nullptr;
}

int SheetPixels(int points, int dpi) {
  return static_cast<int>(std::lround(static_cast<double>(points) * dpi / 72.0));
}

std::string RegistrationDocument(int pages) {
  std::string document = "%!PS-Adobe-3.0\n%%Title: Quenmark registration sheet\n%%Pages: " +
                         std::to_string(pages) + "\n" + kDocumentProlog;
  for (int page = 1; page <= pages; ++page) {
    const std::string number = std::to_string(page);
    document += "%%Page: " + number + " " + number + "\nsheet showpage\n";
  }
  return document + "%%EOF\n";
}

SideMeasure MeasureRegistrationSide(const PageBitmap &side, const SheetSize &sheet, int dpi,
                                    SideTurn turn) {
  SideMeasure measure;
  const bool turned = turn == SideTurn::kQuarterCounterClockwise;
  const double pxPerMm = dpi / 25.4;
  const double tolerance = 3.0 * dpi / 600.0;
  // The page as the rasterizer draws it: a point p lies at pixel p * dpi / 72.
  const double pageWidth = sheet.widthPt * dpi / 72.0;
  const double pageHeight = sheet.heightPt * dpi / 72.0;
  const int rasterWidth = SheetPixels(sheet.widthPt, dpi);
  const int rasterHeight = SheetPixels(sheet.heightPt, dpi);
  measure.expectedWidth = turned ? rasterHeight : rasterWidth;
  measure.expectedHeight = turned ? rasterWidth : rasterHeight;
  measure.width = side.width;
  measure.height = side.height;
  if (std::abs(side.width - measure.expectedWidth) > 1 ||
      std::abs(side.height - measure.expectedHeight) > 1) {
    measure.faults.push_back(Format("side is %d x %d pixels, the sheet %d x %d",
                                    side.width, side.height, measure.expectedWidth,
                                    measure.expectedHeight));
  }
  if (side.width <= 0 || side.height <= 0 ||
      side.bits.size() < PageBitmapStride(side.width) * static_cast<uint64_t>(side.height)) {
    measure.faults.push_back("side holds no complete bitmap");
    return measure;
  }

  // A -90 turn takes page pixel (x, y) to (y, rasterWidth - x).
  auto onSide = [&](Rect page) {
    return turned ? Rect{page.y, rasterWidth - page.x, page.h, page.w} : page;
  };
  const double square = kSquareSideMm * pxPerMm;
  const double near = kSquareCentreMm * pxPerMm;
  const Rect marks[] = {
      {near, near, square, square},
      {pageWidth - near, near, square, square},
      {near, pageHeight - near, square, square},
      {pageWidth - near, pageHeight - near, square, square},
      {(kBarLeftMm + kBarLengthMm / 2) * pxPerMm, near, kBarLengthMm * pxPerMm,
       kBarThicknessMm * pxPerMm},
  };
  const char *names[] = {"top-left square", "top-right square", "bottom-left square",
                         "bottom-right square", "top-left bar"};
  for (size_t i = 0; i < std::size(marks); ++i) {
    MarkMeasure mark;
    mark.name = names[i];
    MeasureMark(side, onSide(marks[i]), kSearchMarginMm * pxPerMm, tolerance, &mark,
                &measure.faults);
    measure.marks.push_back(mark);
  }

  // The frame, 10 mm inside every edge of the side, met along its middle row and column.
  const double sideWidth = turned ? pageHeight : pageWidth;
  const double sideHeight = turned ? rasterWidth : pageHeight;
  const double inset = kFrameInsetMm * pxPerMm;
  const int middleRow = side.height / 2, middleColumn = side.width / 2;
  struct FrameLine {
    const char *name;
    bool vertical;  // a vertical line, met along the middle row
    double expected;
    double found;
  } lines[] = {
      {"frame left", true, inset, FirstLineCentre(side, 0, middleRow, 1, 0)},
      {"frame right", true, sideWidth - inset,
       FirstLineCentre(side, side.width - 1, middleRow, -1, 0)},
      {"frame top", false, inset, FirstLineCentre(side, middleColumn, 0, 0, 1)},
      {"frame bottom", false, sideHeight - inset,
       FirstLineCentre(side, middleColumn, side.height - 1, 0, -1)},
  };
  for (const FrameLine &line : lines) {
    MarkMeasure mark;
    mark.name = line.name;
    const double across = (line.vertical ? middleRow : middleColumn) + 0.5;
    mark.expectedX = line.vertical ? line.expected : across;
    mark.expectedY = line.vertical ? across : line.expected;
    if (line.found < 0) {
      measure.faults.push_back(mark.name + ": no line");
    } else {
      mark.found = true;
      mark.foundX = line.vertical ? line.found : across;
      mark.foundY = line.vertical ? across : line.found;
      mark.offset = std::fabs(line.found - line.expected);
      if (mark.offset > tolerance) {
        measure.faults.push_back(
            mark.name + Format(" at %.1f, expected %.1f", line.found, line.expected));
      }
    }
    measure.marks.push_back(mark);
  }

  for (const MarkMeasure &mark : measure.marks) {
    if (mark.found) measure.largestOffset = std::max(measure.largestOffset, mark.offset);
  }
  return measure;
}

std::string DescribeSideMeasure(const SheetSize &sheet, int dpi, const SideMeasure &measure) {
  char text[200];
  snprintf(text, sizeof text,
           "%s %d dpi: expected %dx%d, delivered %dx%d, largest mark offset %.1f px", sheet.name,
           dpi, measure.expectedWidth, measure.expectedHeight, measure.width, measure.height,
           measure.largestOffset);
  return text;
}
