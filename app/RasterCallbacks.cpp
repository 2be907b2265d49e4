#include "RasterCallbacks.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "IppJobAttributes.h"
#include "LineConversion.h"
#include "PbmFile.h"
#include "PrintJob.h"

namespace {

// The page being gathered, and the job it belongs to: the driver's data of the job.
struct PageAssembly {
  PrintJob *print = nullptr;
  unsigned char *bits = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int64_t stride = 0;
  int32_t linePixels = 0;  // pixels taken from each line
  LineFormat format = LineFormat::Black1;
  unsigned lastPage = 0;   // the highest page number gathered so far
  bool repeat = false;     // PAPPL hands an image once per copy; the core makes the copies
};

PageAssembly *AssemblyOf(pappl_job_t *job) { return static_cast<PageAssembly *>(papplJobGetData(job)); }

bool IsStreamedRaster(pappl_job_t *job) {
  const char *format = papplJobGetFormat(job);
  return format != nullptr &&
         (strcmp(format, "image/pwg-raster") == 0 || strcmp(format, "image/urf") == 0);
}

// How the lines of this page arrive. PAPPL 1.3 passes a client's raster page on in the
// client's own header when it is 8 or 24 bits deep, recognisable by the class libcups
// gives every page it reads ("PwgRaster"); a 1-bit page it passes on as it came (set bit
// black), under a header it made itself for the job's media and resolution.
bool LineFormatOfPage(pappl_job_t *job, const cups_page_header2_t &header, LineFormat *format) {
  const bool clientHeader = strcmp(header.MediaClass, "PwgRaster") == 0;
  if (IsStreamedRaster(job) && !clientHeader) {
    *format = LineFormat::Black1;
    return true;
  }
  return LineFormatOf(header, format);
}

bool AcceptResolution(pappl_job_t *job, const cups_page_header2_t &header, unsigned page) {
  const unsigned x = header.HWResolution[0];
  const unsigned y = header.HWResolution[1];
  for (int i = 0; i < IPP_RESOLUTION_COUNT; ++i) {
    if (x == y && static_cast<int>(x) == IPP_RESOLUTIONS[i].setting) return true;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR,
              "Page %u is at %ux%u dpi; the printer prints at 600 or 1200 dpi.", page, x, y);
  return false;
}

}  // namespace

bool QuenmarkStartJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
  auto *assembly = new (std::nothrow) PageAssembly;
  if (assembly == nullptr) return false;
  assembly->print = BeginPrintJob(job, options, device);
  if (assembly->print == nullptr) {
    delete assembly;
    return false;
  }
  papplJobSetData(job, assembly);
  return true;
}

bool QuenmarkStartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *,
                       unsigned page) {
  PageAssembly *assembly = AssemblyOf(job);
  if (assembly == nullptr) return false;
  assembly->repeat = page <= assembly->lastPage;
  if (assembly->repeat) return true;
  assembly->lastPage = page;

  const cups_page_header2_t &header = options->header;
  if (!LineFormatOfPage(job, header, &assembly->format)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u: the printer cannot take %u-bit pages of "
                "colour space %u.", page, header.cupsBitsPerPixel,
                static_cast<unsigned>(header.cupsColorSpace));
    return false;
  }
  if (!AcceptResolution(job, header, page)) return false;
  const int dpi = static_cast<int>(header.HWResolution[0]);
  // The page's own size, in hundredths of millimetres, as the client rendered it.
  const int32_t pageWidth = static_cast<int32_t>(int64_t{header.cupsWidth} * 2540 / dpi);
  const int32_t pageLength = static_cast<int32_t>(int64_t{header.cupsHeight} * 2540 / dpi);

  PrintJob *print = assembly->print;
  if (print->stream == nullptr) {
    const int media = SettleJobMedia(job, options, pageWidth, pageLength);
    if (media < 0 || !StartPrintStream(print, options, media, dpi)) return false;
  } else if (dpi != print->dpi) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u is at %d dpi, the job's first page at %d dpi.",
                page, dpi, print->dpi);
    return false;
  }

  // A page of the job's media is taken as the client made it; any other page is put on
  // the job's sheet at its top left corner, cut where it is larger.
  int32_t width = static_cast<int32_t>(header.cupsWidth);
  int32_t height = static_cast<int32_t>(header.cupsHeight);
  if (FindIppMediaBySize(pageWidth, pageLength) != print->media) {
    SheetPixels(print->media, dpi, &width, &height);
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "Page %u is %ux%u pixels, not the size of %s: it goes on the %dx%d sheet as it is.",
                page, header.cupsWidth, header.cupsHeight, IPP_MEDIA_SIZES[print->media].pwgName,
                width, height);
  }
  const int64_t stride = PbmStride(width);
  const uint64_t bytes = static_cast<uint64_t>(stride) * static_cast<uint64_t>(height);
  if (width <= 0 || height <= 0 || bytes > PBM_MAX_BITMAP_BYTES) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u of %dx%d pixels is too large.", page, width,
                height);
    return false;
  }
  assembly->bits = static_cast<unsigned char *>(calloc(bytes, 1));
  if (assembly->bits == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Out of memory for page %u.", page);
    return false;
  }
  assembly->width = width;
  assembly->height = height;
  assembly->stride = stride;
  assembly->linePixels =
      static_cast<int32_t>(header.cupsWidth) < width ? static_cast<int32_t>(header.cupsWidth) : width;
  return true;
}

bool QuenmarkWriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned y,
                       const unsigned char *line) {
  PageAssembly *assembly = AssemblyOf(job);
  if (assembly == nullptr) return false;
  if (assembly->repeat || assembly->bits == nullptr || y >= static_cast<unsigned>(assembly->height)) {
    return true;
  }
  ConvertLine(assembly->format, line, assembly->linePixels, options->dither, y,
              assembly->bits + static_cast<uint64_t>(assembly->stride) * y);
  return true;
}

bool QuenmarkEndPage(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *, unsigned) {
  PageAssembly *assembly = AssemblyOf(job);
  if (assembly == nullptr) return false;
  if (assembly->repeat) return true;
  unsigned char *bits = assembly->bits;
  assembly->bits = nullptr;
  if (bits == nullptr) return false;
  return AddPrintPage(assembly->print, bits, assembly->width, assembly->height);
}

bool QuenmarkEndJob(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *) {
  PageAssembly *assembly = AssemblyOf(job);
  if (assembly == nullptr) return false;
  free(assembly->bits);
  const bool ok = EndPrintJob(assembly->print);
  delete assembly;
  papplJobSetData(job, nullptr);
  return ok;
}
