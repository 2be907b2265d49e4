#include "TestPage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "IppJobAttributes.h"
#include "PageDrawing.h"
#include "PbmFile.h"
#include "PrintJob.h"

namespace {

constexpr char REQUEST[] = "quenmark-test-page\n";

constexpr double MM_PER_POINT = 25.4 / 72;
constexpr double FRAME_INSET_MM = 10;
constexpr double FRAME_LINE_MM = 0.5;
constexpr double SQUARE_CENTRE_MM = 20;
constexpr double SQUARE_SIDE_MM = 5;
constexpr double BAR_LEFT_MM = 35;
constexpr double BAR_LENGTH_MM = 15;
constexpr double BAR_THICKNESS_MM = 3;
// The text stays clear of the marks and of the windows in which they are measured.
constexpr double TEXT_LEFT_MM = 20;
constexpr double TEXT_TOP_MM = 35;
constexpr double TEXT_BOTTOM_MARGIN_MM = 30;
constexpr double DOT_MM = 0.25;

// The sheet in millimetres and the pixels of its millimetres at the job's resolution, as
// ghostscript renders the sheet from the PPD's points.
struct Sheet {
  PageCanvas page;
  double widthMm;
  double heightMm;
  double pixelsPerMm;

  int32_t Pixels(double mm) const { return static_cast<int32_t>(std::lround(mm * pixelsPerMm)); }
  void Fill(double leftMm, double topMm, double rightMm, double bottomMm) const {
    FillBlack(page, Pixels(leftMm), Pixels(topMm), Pixels(rightMm), Pixels(bottomMm));
  }
  void Square(double centreXMm, double centreYMm) const {
    const double half = SQUARE_SIDE_MM / 2;
    Fill(centreXMm - half, centreYMm - half, centreXMm + half, centreYMm + half);
  }
};

void DrawMarks(const Sheet &sheet) {
  const double w = sheet.widthMm;
  const double h = sheet.heightMm;
  const double near = FRAME_INSET_MM - FRAME_LINE_MM / 2;
  const double far = FRAME_INSET_MM + FRAME_LINE_MM / 2;
  sheet.Fill(near, near, w - near, far);          // top
  sheet.Fill(near, h - far, w - near, h - near);  // bottom
  sheet.Fill(near, near, far, h - near);          // left
  sheet.Fill(w - far, near, w - near, h - near);  // right
  sheet.Square(SQUARE_CENTRE_MM, SQUARE_CENTRE_MM);
  sheet.Square(w - SQUARE_CENTRE_MM, SQUARE_CENTRE_MM);
  sheet.Square(SQUARE_CENTRE_MM, h - SQUARE_CENTRE_MM);
  sheet.Square(w - SQUARE_CENTRE_MM, h - SQUARE_CENTRE_MM);
  sheet.Fill(BAR_LEFT_MM, SQUARE_CENTRE_MM - BAR_THICKNESS_MM / 2, BAR_LEFT_MM + BAR_LENGTH_MM,
             SQUARE_CENTRE_MM + BAR_THICKNESS_MM / 2);
}

// The lines of text, wrapped to the width between the marks; what does not fit above
// the bottom marks is left out.
void DrawLines(const Sheet &sheet, const std::vector<std::string> &lines) {
  const int32_t dot = std::max<int32_t>(1, sheet.Pixels(DOT_MM));
  const int32_t lineHeight = (GLYPH_HEIGHT + 4) * dot;
  const int32_t left = sheet.Pixels(TEXT_LEFT_MM);
  const int32_t bottom = sheet.Pixels(sheet.heightMm - TEXT_BOTTOM_MARGIN_MM);
  const int32_t columns = (sheet.Pixels(sheet.widthMm - TEXT_LEFT_MM) - left) / (GLYPH_ADVANCE * dot);
  int32_t y = sheet.Pixels(TEXT_TOP_MM);
  for (size_t i = 0; i < lines.size(); ++i) {
    // The first line is the title, twice the size.
    const int32_t scale = i == 0 ? 2 : 1;
    const size_t width = static_cast<size_t>(std::max<int32_t>(1, columns / scale));
    std::string rest = lines[i];
    do {
      if (y + lineHeight * scale > bottom) return;
      // Cut at the last space that fits, else before a byte that continues a character.
      size_t cut = std::min(width, rest.size());
      if (cut < rest.size()) {
        const size_t space = rest.rfind(' ', cut);
        if (space != std::string::npos && space > 0) cut = space;
      }
      while (cut > 0 && cut < rest.size() && (static_cast<unsigned char>(rest[cut]) & 0xC0) == 0x80) --cut;
      if (cut == 0) cut = rest.size();
      DrawText(sheet.page, left, y, dot * scale, rest.substr(0, cut).c_str());
      const size_t next = rest.find_first_not_of(' ', cut);
      rest.erase(0, next == std::string::npos ? rest.size() : next);
      y += lineHeight * scale;
    } while (!rest.empty());
  }
}

const char *Keyword(const IppKeyword *table, int index, int fallback) {
  return table[index >= 0 ? index : fallback].keyword;
}

std::vector<std::string> PageLines(pappl_job_t *job, const IppJobAttributes &a,
                                   int media, int dpi) {
  pappl_printer_t *printer = papplJobGetPrinter(job);
  char date[64] = "";
  const time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) != nullptr) strftime(date, sizeof date, "%Y-%m-%d %H:%M %Z", &local);
  const IppMediaSize &size = IPP_MEDIA_SIZES[media];
  const char *device = papplPrinterGetDeviceURI(printer);
  return {
      "Quenmark Mono Laser test page",
      "",
      std::string("Printer: ") + papplPrinterGetName(printer),
      std::string("Device: ") + (device != nullptr ? device : "none"),
      std::string("Date: ") + date,
      std::string("Media: ") + size.ppdName + " (" + size.pwgName + "), tray " +
          Keyword(IPP_MEDIA_SOURCES, a.mediaSource, IPP_DEFAULT_MEDIA_SOURCE) + ", type " +
          Keyword(IPP_MEDIA_TYPES, a.mediaType, IPP_DEFAULT_MEDIA_TYPE),
      "Resolution: " + std::to_string(dpi) + " dpi",
      std::string("Sides: ") + Keyword(IPP_SIDES, a.sides, IPP_DEFAULT_SIDES) + ", feed edge " +
          Keyword(IPP_FEED_ORIENTATIONS, a.feedOrientation, IPP_DEFAULT_FEED_ORIENTATION),
      "",
      "The frame lies 10 mm inside every edge of the sheet, the squares 20 mm from each "
      "corner, and the bar marks the top left. On a sheet placed right every mark shows "
      "whole at its place.",
  };
}

// The page's pixels (malloc'd, PBM layout), null when there is no memory for them.
unsigned char *DrawPage(const std::vector<std::string> &lines, const IppMediaSize &media, int dpi,
                        int32_t *width, int32_t *height) {
  *width = static_cast<int32_t>(std::lround(media.widthPoints * dpi / 72.0));
  *height = static_cast<int32_t>(std::lround(media.heightPoints * dpi / 72.0));
  const int64_t stride = PbmStride(*width);
  auto *bits = static_cast<unsigned char *>(calloc(static_cast<size_t>(stride) * *height, 1));
  if (bits == nullptr) return nullptr;
  const Sheet sheet{{bits, stride, *width, *height},
                    media.widthPoints * MM_PER_POINT,
                    media.heightPoints * MM_PER_POINT,
                    dpi / 25.4};
  DrawMarks(sheet);
  DrawLines(sheet, lines);
  return bits;
}

}  // namespace

const char *QuenmarkTestPageFile(pappl_printer_t *printer, char *buffer, size_t bufferSize) {
  // No extension: PAPPL then takes the file to be in the printer's own format.
  snprintf(buffer, bufferSize, "%s/quenmark-test-page-XXXXXX", papplGetTempDir());
  const int fd = mkostemp(buffer, O_CLOEXEC);
  if (fd < 0) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to spool the test page: %s",
                    strerror(errno));
    return nullptr;
  }
  const bool written = write(fd, REQUEST, sizeof REQUEST - 1) == static_cast<ssize_t>(sizeof REQUEST - 1);
  if (close(fd) != 0 || !written) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to spool the test page.");
    unlink(buffer);
    return nullptr;
  }
  return buffer;
}

bool IsTestPageRequest(const char *data, size_t size) {
  return size >= sizeof REQUEST - 1 && memcmp(data, REQUEST, sizeof REQUEST - 1) == 0;
}

bool PrintTestPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
  const int media = SettleJobMedia(job, options, 0, 0);
  const int dpi = JobResolution(job, options);
  IppJobAttributes attributes;
  if (media < 0 || !CollectIppJobAttributes(job, options, media, dpi, &attributes)) return false;
  PrintJob *print = BeginPrintJob(job, options, device);
  if (print == nullptr) return false;
  bool ok = StartPrintStream(print, options, media, dpi);
  if (ok) {
    int32_t width = 0;
    int32_t height = 0;
    unsigned char *bits =
        DrawPage(PageLines(job, attributes, media, dpi), IPP_MEDIA_SIZES[media], dpi, &width, &height);
    if (bits == nullptr) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Out of memory for the test page.");
      print->failed = true;
      ok = false;
    } else {
      ok = AddPrintPage(print, bits, width, height);
    }
  }
  return EndPrintJob(print) && ok;
}
