// The converter's page loop: CUPS or PWG raster pages are read with libcups, checked as
// the filter checks them, and handed to the in-process job, which encodes them on its
// workers while the next page is read.

#include <cups/raster.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "ConvertJob.h"
#include "Log.h"
#include "PageBlockHeap.h"
#include "RasterPage.h"
#include "StreamJob.h"

namespace {

// libcups cannot tell the end of the stream from a header it cannot read; the reader
// can, by whether the input itself had ended.
struct RasterInput {
  int fd = -1;
  bool ended = false;
  bool failed = false;
  int error = 0;
};

ssize_t ReadRasterInput(void *context, unsigned char *buffer, size_t length) {
  RasterInput *input = static_cast<RasterInput *>(context);
  for (;;) {
    const ssize_t count = read(input->fd, buffer, length);
    if (count > 0) return count;
    if (count == 0) {
      input->ended = true;
      return 0;
    }
    if (errno == EINTR) continue;
    input->failed = true;
    input->error = errno;
    return -1;
  }
}

// The job's resolution should be the raster's; a mismatch prints the page at the wrong
// size, so it is said, though the job's word stands.
void CheckResolution(const cups_page_header2_t &header, const ConvertRequest &request) {
  const JobLog &log = request.log;
  const int32_t dpi =
      IPP_RESOLUTIONS[request.attributes.resolution >= 0 ? request.attributes.resolution
                                                         : IPP_DEFAULT_RESOLUTION]
          .setting;
  if (header.HWResolution[0] != static_cast<unsigned>(dpi) ||
      header.HWResolution[1] != static_cast<unsigned>(dpi)) {
    LogLine(log, "WARNING: The raster is %ux%u dpi, but the job is printed at %d dpi%s\n",
            header.HWResolution[0], header.HWResolution[1], dpi,
            request.resolutionGiven ? "" : " (give -o printer-resolution=...)");
  }
}

int Damaged(const RasterInput &input, int page, const JobLog &log) {
  if (input.failed) {
    LogLine(log, "ERROR: Unable to read the raster: %s\n", strerror(input.error));
  } else {
    LogLine(log, "ERROR: The raster is damaged or cut short at page %d\n", page);
  }
  return 1;
}

}  // namespace

int ConvertRaster(int inputFd, const ConvertRequest &request, FILE *out) {
  const JobLog &log = request.log;
  RasterInput input;
  input.fd = inputFd;
  cups_raster_t *raster = cupsRasterOpenIO(ReadRasterInput, &input, CUPS_RASTER_READ);
  if (raster == nullptr) {
    if (input.ended && !input.failed) {
      // An empty input is a job without pages: an empty stream, as from the filter.
      return 0;
    }
    LogLine(log, "ERROR: The input is not a CUPS or PWG raster\n");
    return 1;
  }

  JobSettings settings;
  settings.log = log;
  FillJobSettingsFromIpp(request.attributes, &settings);
  StreamJobConfig config;
  config.settings = settings;
  config.out = out;
  config.threads = request.threads;
  StreamJob *job = StartStreamJob(config);
  if (job == nullptr) {
    cupsRasterClose(raster);
    return 1;
  }

  int status = 0;
  cups_page_header2_t header;
  for (int page = 1; status == 0; ++page) {
    memset(&header, 0, sizeof header);
    if (!cupsRasterReadHeader2(raster, &header)) {
      if (!input.ended || input.failed) status = Damaged(input, page, log);
      break;
    }
    if (page == 1) CheckResolution(header, request);
    if (!AcceptRasterPage(header, page, settings.settings.pageLimits, log)) {
      status = 1;
      break;
    }
    const uint64_t pageBytes = static_cast<uint64_t>(header.cupsBytesPerLine) * header.cupsHeight;
    unsigned char *pixels = static_cast<unsigned char *>(malloc(pageBytes));
    if (pixels == nullptr) {
      LogLine(log, "ERROR: Unable to allocate %llu bytes for page %d\n",
              static_cast<unsigned long long>(pageBytes), page);
      status = 255;
      break;
    }
    if (cupsRasterReadPixels(raster, pixels, static_cast<unsigned>(pageBytes)) != pageBytes) {
      free(pixels);
      status = Damaged(input, page, log);
      break;
    }
    MakeSetBitsBlack(header, pixels);
    status = AddStreamJobPage(job, pixels, static_cast<int32_t>(header.cupsWidth),
                              static_cast<int32_t>(header.cupsHeight));
  }
  cupsRasterClose(raster);
  if (status != 0) {
    AbandonStreamJob(job);
    return status;
  }
  return FinishStreamJob(job);
}

int ConvertMain(int argc, char **argv) {
  // The stream goes wherever standard output goes; a reader that quits is a failed
  // write, not a reason to die without a word.
  signal(SIGPIPE, SIG_IGN);
  KeepPageBlocksInHeap();
  ConvertRequest request;
  request.log = StderrLog();
  const JobLog &log = request.log;
  const int parsed = ParseConvertArguments(argc, argv, &request);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;

  struct stat info;
  if (fstat(STDOUT_FILENO, &info) != 0) {
    LogLine(log, "ERROR: Standard output is closed: there is nowhere to write the print data\n");
    return 1;
  }
  int fd = STDIN_FILENO;
  if (!request.inputPath.empty()) {
    fd = open(request.inputPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      LogLine(log, "ERROR: Unable to open %s: %s\n", request.inputPath.c_str(), strerror(errno));
      return 1;
    }
  }
  const int status = ConvertRaster(fd, request, stdout);
  if (fd != STDIN_FILENO) close(fd);
  return status;
}
