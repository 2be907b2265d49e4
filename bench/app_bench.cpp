// app_bench: a job printed through the printer application, IPP in and device file out,
// against the JBIG encoder alone on the same pages.
//
// A real server (quenmark-printer-app) runs on a free loopback port with a printer on a
// file: device. Each round sends one PWG raster job (black_1, 600 dpi, made by the raster
// maker) with Print-Job and times it from the request to the job's completed state; the
// encoder alone is the core's in-process encoder run serially over the same pages, and
// beside it libjbig, which the core used before its own coder. Every
// round's output is decoded and compared with the pages sent. Prints one table, with the
// server's peak resident memory.
//
//   app_bench [--rounds N] [--pages N]

#include <getopt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AppServer.h"
#include "JbigMemoryEncoder.h"
#include "JbigReference.h"
#include "StreamReader.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

int Fail(const std::string &message) {
  fprintf(stderr, "app_bench: %s\n", message.c_str());
  return 1;
}

// The encoder alone: every page encoded once, in turn, in this process, by the core's
// coder or by libjbig.
bool EncodeAlone(const std::vector<PageBitmap> &pages, bool libjbig, double *seconds) {
  const Clock::time_point start = Clock::now();
  for (const PageBitmap &page : pages) {
    std::vector<unsigned char> bits = page.bits;
    JbigBytes out;
    std::vector<unsigned char> reference;
    char error[JBIG_ERROR_TEXT_SIZE] = "libjbig failed";
    if (libjbig ? !EncodeJbigWithLibjbig(bits.data(), page.width, page.height, &reference)
                : !EncodeJbigInMemory(bits.data(), page.width, page.height, &out, error,
                                      sizeof error)) {
      fprintf(stderr, "app_bench: encoder: %s\n", error);
      return false;
    }
    ReleaseJbigBytes(&out);
  }
  *seconds = Seconds(start);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 5;
  int pageCount = 24;
  static const option options[] = {{"rounds", required_argument, nullptr, 'r'},
                                   {"pages", required_argument, nullptr, 'p'},
                                   {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "r:p:", options, nullptr)) != -1) {
    if (c == 'r') rounds = std::max(1, atoi(optarg));
    else if (c == 'p') pageCount = std::max(1, atoi(optarg));
    else return Fail("usage: app_bench [--rounds N] [--pages N]");
  }

  char dirTemplate[] = "/tmp/quenmark-app-bench.XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) return Fail("cannot make a work directory");
  const std::string dir = dirTemplate;
  // The server is started before this process holds any page: a child inherits its
  // parent's peak memory as the floor of its own.
  if (std::system(("mkdir -p " + dir + "/dev").c_str()) != 0) return Fail("no device directory");
  AppServer server(dir, {"log-level=warn"});
  if (!server.Start()) return Fail("the server did not start");
  http_t *local = server.ConnectLocal();
  http_t *network = server.ConnectNetwork();
  if (local == nullptr || network == nullptr) return Fail("cannot connect to the server");
  if (CreatePrinter(local, "bench", "file://" + dir + "/dev") != IPP_STATUS_OK) {
    return Fail("cannot add the printer");
  }
  const std::string raster = dir + "/job.pwg";
  const std::string command = std::string(QUENMARK_MKRASTER_PATH) + " --pwg black_1 -n " +
                              std::to_string(pageCount) + " --size A4 --pbm " + dir +
                              "/page " + raster;
  if (std::system(command.c_str()) != 0) return Fail("the raster maker failed");
  std::vector<PageBitmap> pages(static_cast<size_t>(pageCount));
  for (int i = 0; i < pageCount; ++i) {
    std::string error;
    if (!ReadPbmFile(dir + "/page-" + std::to_string(i + 1) + ".pbm", &pages[i], &error)) {
      return Fail(error);
    }
  }

  const std::string uri = server.PrinterUri("bench");

  std::vector<double> encoder;
  std::vector<double> libjbig;
  std::vector<double> app;
  // An untimed first round of each brings the programs and pages into memory.
  for (int round = 0; round <= rounds; ++round) {
    double seconds = 0;
    if (!EncodeAlone(pages, false, &seconds)) return 1;
    if (round > 0) encoder.push_back(seconds / pageCount);
    if (!EncodeAlone(pages, true, &seconds)) return 1;
    if (round > 0) libjbig.push_back(seconds / pageCount);

    const std::string name = "round" + std::to_string(round);
    const Clock::time_point start = Clock::now();
    const int job = PrintFile(network, uri, raster, "image/pwg-raster",
                              {{JobAttribute::Name, "job-name", name},
                               {JobAttribute::Keyword, "media", "iso_a4_210x297mm"}});
    if (job <= 0) return Fail("Print-Job failed");
    if (WaitForJobEnd(network, uri, job, 600) != IPP_JSTATE_COMPLETED) return Fail("job failed");
    if (round > 0) app.push_back(Seconds(start) / pageCount);

    const DecodedStream decoded = DecodeStreamFile(dir + "/dev/" + name + ".prn");
    if (!decoded.ok) return Fail(name + ": " + decoded.error);
    if (decoded.pages.size() != pages.size()) return Fail(name + ": pages missing");
    for (size_t i = 0; i < pages.size(); ++i) {
      if (!SamePixels(decoded.pages[i], pages[i])) return Fail(name + ": a page differs");
    }
    std::remove((dir + "/dev/" + name + ".prn").c_str());
  }
  httpClose(local);
  httpClose(network);
  server.Stop();

  const double encoderMedian = Median(encoder);
  const double appMedian = Median(app);
  printf("%d A4 pages (text, black_1, 600 dpi), %d rounds, medians\n\n", pageCount, rounds);
  printf("| job | run | s/page | pages/s | / encoder alone | peak RSS |\n");
  printf("|---|---|---:|---:|---:|---:|\n");
  printf("| A4 one-sided | encoder alone (in process, serial) | %.4f | %.1f | 1.00 | |\n",
         encoderMedian, 1 / encoderMedian);
  printf("| A4 one-sided | libjbig alone (in process, serial) | %.4f | %.1f | %.2f | |\n",
         Median(libjbig), 1 / Median(libjbig), Median(libjbig) / encoderMedian);
  printf("| A4 one-sided | printer application (IPP in, device file out) | %.4f | %.1f | %.2f | "
         "%.1f MiB |\n",
         appMedian, 1 / appMedian, appMedian / encoderMedian, server.peakMemoryKiB() / 1024.0);
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
