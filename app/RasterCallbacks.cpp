#include "RasterCallbacks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "IppJobAttributes.h"
#include "LineConversion.h"
#include "PageLimits.h"
#include "PbmFile.h"
#include "PrintJob.h"

namespace {

// A page gathered line by line, as the printer takes it.
struct PageBuffer {
  unsigned char *bits = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int64_t stride = 0;
  int32_t linePixels = 0;  // pixels taken from each line
  LineFormat format = LineFormat::Black1;
};

// The page being gathered from PAPPL's callbacks, and the job it belongs to: the
// driver's data of the job.
struct PageAssembly {
  PrintJob *print = nullptr;
  PageBuffer page;
  unsigned lastPage = 0;   // the highest page number gathered so far
  bool repeat = false;     // PAPPL hands an image once per copy; the core makes the copies
};

PageAssembly *AssemblyOf(pappl_job_t *job) { return static_cast<PageAssembly *>(papplJobGetData(job)); }

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

// No page larger than the printer's largest sheet is read, so that its lines stay small.
bool AcceptSize(pappl_job_t *job, const cups_page_header2_t &header, unsigned page) {
  const int dpi = static_cast<int>(header.HWResolution[0]);
  PageLimits limits;
  for (const IppMediaSize &size : IPP_MEDIA_SIZES) {
    limits = LargerPageLimits(limits, PageLimitsForSheet(size.widthPoints, size.heightPoints, dpi));
  }
  const uint64_t lineBytes = (uint64_t{header.cupsWidth} * header.cupsBitsPerPixel + 7) / 8;
  if (PageWithinLimits(limits, header.cupsWidth, header.cupsHeight) && header.cupsWidth > 0 &&
      header.cupsHeight > 0 && header.cupsBytesPerLine == lineBytes) {
    return true;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u of %ux%u pixels (%u bytes a line) is not one "
              "the printer can print.", page, header.cupsWidth, header.cupsHeight,
              header.cupsBytesPerLine);
  return false;
}

// Checks a page against the job, starts the core's job with the first page, and makes
// the page's white bitmap. False, with the reason in the job's log, for a page that
// cannot be printed.
bool StartPage(pappl_job_t *job, const pappl_pr_options_t *options,
               const cups_page_header2_t &header, unsigned page, PrintJob *print,
               PageBuffer *buffer) {
  if (!LineFormatOf(header, &buffer->format)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u: the printer cannot take %u-bit pages of "
                "colour space %u.", page, header.cupsBitsPerPixel,
                static_cast<unsigned>(header.cupsColorSpace));
    return false;
  }
  if (!AcceptResolution(job, header, page) || !AcceptSize(job, header, page)) return false;
  const int dpi = static_cast<int>(header.HWResolution[0]);
  // The page's own size, in hundredths of millimetres, as the client rendered it.
  const int32_t pageWidth = static_cast<int32_t>(int64_t{header.cupsWidth} * 2540 / dpi);
  const int32_t pageLength = static_cast<int32_t>(int64_t{header.cupsHeight} * 2540 / dpi);

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
  buffer->bits = static_cast<unsigned char *>(calloc(bytes, 1));
  if (buffer->bits == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Out of memory for page %u.", page);
    return false;
  }
  buffer->width = width;
  buffer->height = height;
  buffer->stride = stride;
  buffer->linePixels =
      static_cast<int32_t>(header.cupsWidth) < width ? static_cast<int32_t>(header.cupsWidth) : width;
  return true;
}

void AddLine(PageBuffer *buffer, const pappl_pr_options_t *options, unsigned y,
             const unsigned char *line) {
  if (buffer->bits == nullptr || y >= static_cast<unsigned>(buffer->height)) return;
  ConvertLine(buffer->format, line, buffer->linePixels, options->dither, y,
              buffer->bits + static_cast<uint64_t>(buffer->stride) * y);
}

// Hands the page to the core, which takes its bits.
bool EndPage(PrintJob *print, PageBuffer *buffer) {
  unsigned char *bits = buffer->bits;
  buffer->bits = nullptr;
  return bits != nullptr && AddPrintPage(print, bits, buffer->width, buffer->height);
}

// One page of a raster document, read whole (so that the next page's header follows)
// and printed. False when the job cannot go on.
bool PrintRasterPage(pappl_job_t *job, const pappl_pr_options_t *options, cups_raster_t *raster,
                     const cups_page_header2_t &header, unsigned page, PrintJob *print) {
  PageBuffer buffer;
  if (!StartPage(job, options, header, page, print, &buffer)) return false;
  std::vector<unsigned char> line(header.cupsBytesPerLine);
  for (unsigned y = 0; y < header.cupsHeight; ++y) {
    if (cupsRasterReadPixels(raster, line.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u is cut short at line %u.", page, y);
      free(buffer.bits);
      return false;
    }
    AddLine(&buffer, options, y, line.data());
  }
  return EndPage(print, &buffer);
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
  return StartPage(job, options, options->header, page, assembly->print, &assembly->page);
}

bool QuenmarkWriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned y,
                       const unsigned char *line) {
  PageAssembly *assembly = AssemblyOf(job);
  if (assembly == nullptr) return false;
  if (!assembly->repeat) AddLine(&assembly->page, options, y, line);
  return true;
}

bool QuenmarkEndPage(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *, unsigned) {
  PageAssembly *assembly = AssemblyOf(job);
  if (assembly == nullptr) return false;
  return assembly->repeat || EndPage(assembly->print, &assembly->page);
}

bool QuenmarkEndJob(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *) {
  PageAssembly *assembly = AssemblyOf(job);
  if (assembly == nullptr) return false;
  free(assembly->page.bits);
  const bool ok = EndPrintJob(assembly->print);
  delete assembly;
  papplJobSetData(job, nullptr);
  return ok;
}

bool PrintRasterDocument(pappl_job_t *job, pappl_device_t *device, void *) {
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
  if (options == nullptr) return false;
  const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
  cups_raster_t *raster = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_READ) : nullptr;
  if (raster == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read the document: %s",
                fd < 0 ? strerror(errno) : cupsLastErrorString());
  }
  PrintJob *print = raster != nullptr ? BeginPrintJob(job, options, device) : nullptr;
  bool ok = print != nullptr;
  // A page the printer cannot take, or one cut short; not a failure of the core's or
  // of the device.
  bool damaged = raster == nullptr;
  cups_page_header2_t header;
  unsigned page = 0;
  while (ok && !papplJobIsCanceled(job) && cupsRasterReadHeader2(raster, &header)) {
    ++page;
    ok = PrintRasterPage(job, options, raster, header, page, print);
    damaged = !ok && !print->failed;
    if (ok) papplJobSetImpressionsCompleted(job, 1);
  }
  if (ok && page == 0 && !papplJobIsCanceled(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The document holds no page.");
    ok = false;
    damaged = true;
  }
  if (damaged) papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
  if (print != nullptr) ok = EndPrintJob(print) && ok;
  if (raster != nullptr) cupsRasterClose(raster);
  if (fd >= 0) close(fd);
  papplJobDeletePrintOptions(options);
  return ok;
}
