// A raster made of fuzzed bytes through the whole filter run: set-up, print settings
// from the shipped PPD, the page loop with its page files, turns and output sequencing.
// A stand-in encoder keeps each page cheap. QUENMARK_USES_FIXED_PATHS: the run spools
// its pages in the work directory that every filter run on this machine shares.

#include <cups/raster.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "FilterJob.h"
#include "FuzzSupport.h"
#include "StreamReader.h"

namespace {

// The first byte picks the job around the raster: each mode of the output sequencing,
// and A5 fed long edge first for the quarter turns.
struct JobChoice {
  const char *copies;
  const char *options;
};
constexpr JobChoice kJobs[] = {
    {"1", ""},
    {"2", ""},
    {"2", "Duplex=DuplexNoTumble"},
    {"3", "Duplex=DuplexTumble Collate=True"},
    {"1", "PageSize=A5 FeedEdge=1"},
    {"2", "PageSize=A5 FeedEdge=1 Duplex=DuplexNoTumble noCollate"},
    {"2", "Duplex=DuplexNoTumble MediaType=Thick"},
    {"0", "Collate Duplex=DuplexNoTumble"},
};
constexpr size_t kJobCount = sizeof kJobs / sizeof kJobs[0];

// The filter takes pages up to the printer's largest sheet (Legal at 1200 dpi, some 25 MB),
// and never beyond 1 GiB; a fuzzed header announcing such a page, with no pixels behind
// it, would have every run allocate and spool that much. Pages the filter would take are
// kept to 1 MiB here, and jobs to a few pages; both refusals stay in reach, since a page
// beyond them is refused before anything is allocated.
constexpr uint64_t kMaxFuzzPageBytes = 1ull << 20;
constexpr int kMaxFuzzPages = 8;
constexpr uint64_t kFilterPageLimit = 1ull << 30;

struct MemoryRaster {
  const uint8_t *data;
  size_t size;
  size_t position;
};

ssize_t ReadMemoryRaster(void *context, unsigned char *buffer, size_t length) {
  auto *raster = static_cast<MemoryRaster *>(context);
  const size_t count = std::min(length, raster->size - raster->position);
  memcpy(buffer, raster->data + raster->position, count);
  raster->position += count;
  return static_cast<ssize_t>(count);
}

// Reads the raster as the page loop will, up to the first page the filter refuses.
bool WithinFuzzLimits(const uint8_t *data, size_t size) {
  MemoryRaster memory{data, size, 0};
  cups_raster_t *raster = cupsRasterOpenIO(ReadMemoryRaster, &memory, CUPS_RASTER_READ);
  if (raster == nullptr) return true;
  bool within = true;
  int pages = 0;
  cups_page_header2_t header;
  std::vector<unsigned char> row;
  while (within && cupsRasterReadHeader2(raster, &header)) {
    const uint64_t rowBytes = (static_cast<uint64_t>(header.cupsWidth) + 7) / 8;
    const uint64_t pageBytes = rowBytes * header.cupsHeight;
    const bool taken = header.cupsBitsPerPixel == 1 && header.cupsWidth > 0 &&
                       header.cupsHeight > 0 && header.cupsBytesPerLine == rowBytes &&
                       pageBytes <= kFilterPageLimit;
    if (!taken) break;
    if (++pages > kMaxFuzzPages || pageBytes > kMaxFuzzPageBytes) {
      within = false;
      break;
    }
    row.resize(rowBytes);
    for (uint32_t y = 0; y < header.cupsHeight; ++y) {
      if (cupsRasterReadPixels(raster, row.data(), static_cast<unsigned>(rowBytes)) == 0) break;
    }
  }
  cupsRasterClose(raster);
  return within;
}

// The stand-in writes a few bytes where the encoder would write the JBIG file: the page
// loop measures, reads and forwards whatever it finds there.
void WriteEncoderStandIn(const std::string &dir) {
  const std::string path = dir + "/pbmtojbg";
  const std::string script =
      "#!/bin/sh\n"
      "for last in \"$@\"; do :; done\n"
      "printf 'JBIG stand-in\\n' > \"$last\"\n";
  WriteScratchFile(path, reinterpret_cast<const uint8_t *>(script.data()), script.size());
  FUZZ_CHECK(chmod(path.c_str(), 0755) == 0);
}

std::vector<unsigned char> ReadStream(const std::string &path) {
  std::vector<unsigned char> bytes;
  std::string error;
  FUZZ_CHECK(ReadWholeFile(path, &bytes, &error));
  return bytes;
}

}  // namespace

// libcups allocates a line buffer of cupsBytesPerLine bytes (up to 4 GiB) as soon as it
// reads the header of a compressed raster, before the filter can look at the page. On a
// real machine that memory is never touched; under AddressSanitizer its shadow is, which
// makes every such input take seconds. Here such an allocation fails, as it may on a
// machine without overcommit, and libcups reports the header unreadable. The filter's
// own allocations stay below the limit (pages up to 1 GiB).
extern "C" const char *__asan_default_options() {
  return "max_allocation_size_mb=2048:allocator_may_return_null=1";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  WriteEncoderStandIn(ScratchDir());
  const char *path = getenv("PATH");
  setenv("PATH", (ScratchDir() + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
  setenv("PPD", QUENMARK_FUZZ_PPD, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const JobChoice &job = kJobs[data[0] % kJobCount];
  const uint8_t *rasterBytes = data + 1;
  const size_t rasterSize = size - 1;
  // Not worth keeping in the corpus either.
  if (!WithinFuzzLimits(rasterBytes, rasterSize)) return -1;

  static const std::string rasterPath = ScratchDir() + "/job.ras";
  static const std::string streamPath = ScratchDir() + "/job.prn";
  WriteScratchFile(rasterPath, rasterBytes, rasterSize);
  const int rasterFd = open(rasterPath.c_str(), O_RDONLY | O_CLOEXEC);
  const int streamFd = open(streamPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(rasterFd >= 0 && streamFd >= 0);
  // The filter reads its raster from standard input and writes the stream to standard
  // output, as under CUPS.
  fflush(stdout);
  const int savedStdin = dup(STDIN_FILENO);
  const int savedStdout = dup(STDOUT_FILENO);
  FUZZ_CHECK(dup2(rasterFd, STDIN_FILENO) == STDIN_FILENO);
  FUZZ_CHECK(dup2(streamFd, STDOUT_FILENO) == STDOUT_FILENO);
  close(rasterFd);
  close(streamFd);
  clearerr(stdout);

  char program[] = "tavrel_quenbrisk";
  char jobId[] = "345";
  char user[] = "fuzz";
  char title[] = "fuzz.pdf";
  std::string copies = job.copies;
  std::string options = job.options;
  char *argv[] = {program, jobId, user, title, copies.data(), options.data(), nullptr};
  const int status = FilterMain(6, argv);

  fflush(stdout);
  dup2(savedStdin, STDIN_FILENO);
  dup2(savedStdout, STDOUT_FILENO);
  close(savedStdin);
  close(savedStdout);

  FUZZ_CHECK(status == 0 || status == 1 || status == 255);
  if (status == 0) {
    // A run that ends well leaves a stream the printer can take whole.
    ParsedStream stream;
    std::string error;
    FUZZ_CHECK(ParsePrinterStream(ReadStream(streamPath), &stream, &error));
    FUZZ_CHECK(CheckRecordSequence(stream, &error));
  }
  return 0;
}
