// The printer application as a client sees it: a real server on a free loopback port,
// a printer on a file: device, jobs over IPP, and the printer stream that lands in the
// device decoded and compared with the pages sent and with what the CUPS filter writes.
// QUENMARK_USES_FIXED_PATHS: the filter's work directory and the credentials file.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <thread>

#include "AppServer.h"
#include "CredentialsFile.h"
#include "RegistrationSheet.h"
#include "TestSupport.h"

namespace {

using Kind = JobAttribute::Kind;

constexpr const char PRINTER[] = "office-laser";

// Defined with the tests that use them most.
void ExpectRegistered(const PageBitmap &side, const char *size, SideTurn turn = SideTurn::kNone);
std::string MakePdf(const TempDir &dir, const std::string &name, const std::string &postscript,
                    const char *size = "A4");
ipp_status_t SetPrinterDefault(http_t *http, const std::string &uri, const char *name,
                               const char *value);
void RestartServer(AppServer *server, http_t **local, http_t **network);

std::string NodeName() {
  utsname name;
  return uname(&name) == 0 ? name.nodename : "";
}

class PrinterAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nodeName_ = NodeName();
    ASSERT_EQ(mkdir(dir_.file("dev").c_str(), 0755), 0);
    ASSERT_TRUE(server_.Start()) << ReadFileText(dir_.file("server.out"));
    local_ = server_.ConnectLocal();
    ASSERT_NE(local_, nullptr);
    network_ = server_.ConnectNetwork();
    ASSERT_NE(network_, nullptr);
    ASSERT_EQ(CreatePrinter(local_, PRINTER, "file://" + dir_.file("dev")), IPP_STATUS_OK)
        << cupsLastErrorString();
    uri_ = server_.PrinterUri(PRINTER);
  }
  void TearDown() override {
    if (local_ != nullptr) httpClose(local_);
    if (network_ != nullptr) httpClose(network_);
    server_.Stop();
    // A clean shutdown (under the sanitizers: no error, no leak).
    EXPECT_EQ(server_.exitStatus(), 0) << server_.SanitizerReports();
    // PAPPL can rename the machine when asked to; the application never asks.
    EXPECT_EQ(NodeName(), nodeName_);
    if (HasFailure()) {
      const std::string log = server_.Log();
      std::cerr << "---- server log (last 6000 bytes)\n"
                << log.substr(log.size() > 6000 ? log.size() - 6000 : 0) << "----\n";
    }
  }

  // Prints over the network, as any client would, and waits for the job to end.
  DecodedStream PrintAndDecode(const std::string &file, const std::string &format,
                               const std::string &jobName, std::vector<JobAttribute> attributes,
                               int *jobId = nullptr, ipp_status_t *printStatus = nullptr) {
    attributes.push_back({Kind::Name, "job-name", jobName});
    ipp_status_t status = IPP_STATUS_OK;
    const int id = PrintFile(network_, uri_, file, format, attributes, &status);
    if (printStatus != nullptr) *printStatus = status;
    EXPECT_GT(id, 0) << ippErrorString(status) << " " << cupsLastErrorString();
    if (jobId != nullptr) *jobId = id;
    if (id <= 0) return {};
    EXPECT_EQ(WaitForJobEnd(network_, uri_, id, 120), IPP_JSTATE_COMPLETED);
    DecodedStream decoded = DecodeStreamFile(dir_.file("dev/" + jobName + ".prn"));
    EXPECT_TRUE(decoded.ok) << decoded.error;
    return decoded;
  }

  std::string Param(const DecodedStream &decoded, const std::string &key) {
    std::string value;
    EXPECT_TRUE(FindJobParam(decoded.stream.jobParams, key, &value)) << key;
    return value;
  }

  TempDir dir_;
  AppServer server_{dir_.path()};
  http_t *local_ = nullptr;
  http_t *network_ = nullptr;
  std::string uri_;
  std::string nodeName_;
};

std::string Flags(const DecodedStream &decoded, int32_t StreamRecord::*field) {
  std::string text;
  for (const StreamRecord &record : decoded.stream.records) {
    text += (text.empty() ? "" : " ") + std::to_string(record.*field);
  }
  return text;
}

// The raster types the printer advertises; colour rasters, which a monochrome printer
// does not offer, are refused (see CapabilitiesOfAMonochromePrinterWithAccounts).
TEST_F(PrinterAppTest, EachRasterTypeDecodesToThePagesSent) {
  for (const std::string type : {"black_1", "sgray_8"}) {
    SCOPED_TRACE(type);
    const std::string raster = dir_.file(type + ".pwg");
    ASSERT_TRUE(MakeRaster(raster, {"--pwg", type, "-n", "2", "--size", "A4", "--pbm",
                                    dir_.file(type)}));
    const DecodedStream decoded =
        PrintAndDecode(raster, "image/pwg-raster", "types-" + type,
                       {{Kind::Keyword, "media", "iso_a4_210x297mm"}});
    ASSERT_EQ(decoded.pages.size(), 2u);
    for (int page = 1; page <= 2; ++page) {
      EXPECT_TRUE(SamePixels(decoded.pages[page - 1],
                             LoadPbm(dir_.file(type + "-" + std::to_string(page) + ".pbm"))))
          << "page " << page;
    }
    EXPECT_EQ(Param(decoded, "PageSize"), "A4");
  }
}

// Three pages, two-sided, two uncollated copies: each sheet twice in a row, the last
// sheet with a blank back, in the filter's order.
TEST_F(PrinterAppTest, TwoSidedUncollatedCopiesComeInTheFiltersOrder) {
  const std::string raster = dir_.file("three.pwg");
  ASSERT_TRUE(MakeRaster(raster, {"--pwg", "black_1", "-n", "3", "--pbm", dir_.file("three")}));
  int jobId = 0;
  const DecodedStream decoded = PrintAndDecode(
      raster, "image/pwg-raster", "report-duplex",
      {{Kind::Keyword, "media", "iso_a4_210x297mm"},
       {Kind::Keyword, "sides", "two-sided-long-edge"},
       {Kind::Integer, "copies", "2"},
       {Kind::Keyword, "multiple-document-handling", "separate-documents-uncollated-copies"}},
      &jobId);
  ASSERT_EQ(decoded.pages.size(), 8u);
  EXPECT_EQ(Flags(decoded, &StreamRecord::firstpage), "1 0 1 0 0 0 0 0");
  EXPECT_EQ(Flags(decoded, &StreamRecord::lastpage), "0 0 0 0 0 0 0 1");
  EXPECT_EQ(Flags(decoded, &StreamRecord::pageno), "1 2 3 4 5 6 7 8");
  const PageBitmap pages[] = {LoadPbm(dir_.file("three-1.pbm")), LoadPbm(dir_.file("three-2.pbm")),
                              LoadPbm(dir_.file("three-3.pbm"))};
  const int order[] = {0, 1, 0, 1, 2, -1, 2, -1};  // -1: the blank back side
  for (int i = 0; i < 8; ++i) {
    if (order[i] < 0) {
      EXPECT_TRUE(IsAllWhite(decoded.pages[i])) << "record " << i + 1;
      EXPECT_EQ(decoded.pages[i].height, pages[0].height);
    } else {
      EXPECT_TRUE(SamePixels(decoded.pages[i], pages[order[i]])) << "record " << i + 1;
    }
  }
  EXPECT_EQ(Param(decoded, "PageSize"), "A4");
  EXPECT_EQ(Param(decoded, "Duplex"), "DuplexNoTumble");
  EXPECT_EQ(Param(decoded, "copies"), "2");
  EXPECT_EQ(Param(decoded, "Collate"), "False");
  EXPECT_EQ(Param(decoded, "DocName"), "report-duplex");
  EXPECT_EQ(Param(decoded, "LoginName"), "tester");
  EXPECT_EQ(Param(decoded, "jobId"), std::to_string(jobId));
  EXPECT_EQ(Param(decoded, "Resolution"), "600dpi");
  EXPECT_EQ(Param(decoded, "InputSlot"), "MainTray");
  EXPECT_EQ(Param(decoded, "MediaType"), "Plain");
}

// The same pixels and the matching settings through the CUPS filter (shipped PPD) and
// through the application give the same page records, JBIG data included.
TEST_F(PrinterAppTest, SamePixelsGiveTheFiltersRecords) {
  struct Case {
    const char *name;
    const char *size;
    const char *media;
    std::vector<JobAttribute> attributes;
    std::string filterOptions;
    std::string copies;
  };
  const Case cases[] = {
      {"duplex-copies", "A4", "iso_a4_210x297mm",
       {{Kind::Keyword, "sides", "two-sided-long-edge"},
        {Kind::Integer, "copies", "2"},
        {Kind::Keyword, "multiple-document-handling", "separate-documents-uncollated-copies"}},
       "PageSize=A4 Duplex=DuplexNoTumble ", "2"},
      {"a5-long-edge", "A5", "iso_a5_148x210mm",
       {{Kind::Keyword, "feed-orientation", "long-edge-first"}},
       "PageSize=A5 FeedEdge=1 ", "1"},
  };
  for (const Case &test : cases) {
    SCOPED_TRACE(test.name);
    const std::string pwg = dir_.file(std::string(test.name) + ".pwg");
    ASSERT_TRUE(MakeRaster(pwg, {"--pwg", "black_1", "-n", "3", "--size", test.size, "--pbm",
                                 dir_.file(test.name)}));
    // The filter gets a CUPS raster of exactly those pixels.
    const PageBitmap first = LoadPbm(dir_.file(std::string(test.name) + "-1.pbm"));
    const std::string cups = dir_.file(std::string(test.name) + ".ras");
    ASSERT_TRUE(MakeRaster(cups, {"-n", "3", "--width-px", std::to_string(first.width),
                                  "--height-px", std::to_string(first.height)}));
    FilterJobRequest request;
    request.rasterPath = cups;
    request.ppdPath = QUENMARK_SHIPPED_PPD;
    request.options = test.filterOptions;
    request.copies = test.copies;
    const FilterJobOutcome filter = RunFilterJob(request);
    ASSERT_TRUE(filter.parsed) << filter.streamError << filter.run.err;

    std::vector<JobAttribute> attributes = test.attributes;
    attributes.push_back({Kind::Keyword, "media", test.media});
    const std::string jobName = std::string("same-") + test.name;
    const DecodedStream app = PrintAndDecode(pwg, "image/pwg-raster", jobName, attributes);
    ASSERT_EQ(app.stream.records.size(), filter.stream.records.size());
    std::vector<unsigned char> appBytes;
    std::vector<unsigned char> filterBytes(filter.run.out.begin(), filter.run.out.end());
    std::string error;
    ASSERT_TRUE(ReadWholeFile(dir_.file("dev/" + jobName + ".prn"), &appBytes, &error));
    for (size_t i = 0; i < app.stream.records.size(); ++i) {
      const StreamRecord &a = app.stream.records[i];
      const StreamRecord &b = filter.stream.records[i];
      EXPECT_EQ(a.firstpage, b.firstpage) << "record " << i + 1;
      EXPECT_EQ(a.lastpage, b.lastpage) << "record " << i + 1;
      EXPECT_EQ(a.pageno, b.pageno) << "record " << i + 1;
      ASSERT_EQ(a.jbg_size, b.jbg_size) << "record " << i + 1;
      EXPECT_TRUE(std::equal(appBytes.begin() + static_cast<long>(a.offset),
                             appBytes.begin() + static_cast<long>(a.dataOffset + a.jbg_size),
                             filterBytes.begin() + static_cast<long>(b.offset)))
          << "record " << i + 1 << " differs";
    }
    for (const char *key : {"PageSize", "Duplex", "FeedEdge", "copies", "Resolution"}) {
      std::string filterValue;
      FindJobParam(filter.stream.jobParams, key, &filterValue);
      EXPECT_EQ(Param(app, key), filterValue) << key;
    }
  }
}

// The duplex check of the core runs for the application's jobs too, and the job's log
// says why the job printed one-sided.
TEST_F(PrinterAppTest, JobLogSaysWhyTheJobPrintedOneSided) {
  const std::string raster = dir_.file("manual.pwg");
  ASSERT_TRUE(MakeRaster(raster, {"--pwg", "black_1", "-n", "2"}));
  int jobId = 0;
  const DecodedStream decoded = PrintAndDecode(
      raster, "image/pwg-raster", "manual-feed",
      {{Kind::Keyword, "sides", "two-sided-long-edge"},
       {Kind::MediaCol, "media-col", "iso_a4_210x297mm manual"}},
      &jobId);
  EXPECT_EQ(Param(decoded, "Duplex"), "None");
  EXPECT_EQ(Param(decoded, "InputSlot"), "ManualTray");
  EXPECT_EQ(decoded.stream.records.size(), 2u);
  const std::string log = server_.Log();
  const std::string job = "[Job " + std::to_string(jobId) + "] ";
  EXPECT_NE(log.find(job + "Printing one-sided"), std::string::npos);
  EXPECT_NE(log.find(job + "Duplex is amend to OFF. Cause of Duplex ON + ManualTray."),
            std::string::npos);
}

// With its log on standard error at info level, as the systemd unit runs it, the server
// writes only PAPPL's lines: each with its level and time, the core's page lines under
// the job, no debug line (the accounts test holds every level free of passwords).
TEST(PrinterAppLogTest, CoreLinesJoinPapplsLogAtTheirLevel) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("dev").c_str(), 0755), 0);
  AppServer server(dir.path(), {"log-file=-", "log-level=info"});
  ASSERT_TRUE(server.Start());
  http_t *local = server.ConnectLocal();
  ASSERT_EQ(CreatePrinter(local, PRINTER, "file://" + dir.file("dev")), IPP_STATUS_OK);
  httpClose(local);
  const std::string raster = dir.file("two.pwg");
  ASSERT_TRUE(MakeRaster(raster, {"--pwg", "black_1", "-n", "2"}));
  http_t *network = server.ConnectNetwork();
  const std::string uri = server.PrinterUri(PRINTER);
  const int jobId = PrintFile(network, uri, raster, "image/pwg-raster", {});
  EXPECT_EQ(WaitForJobEnd(network, uri, jobId, 120), IPP_JSTATE_COMPLETED);
  httpClose(network);
  server.Stop();

  const std::string out = ReadFileText(dir.file("server.out"));
  const std::regex papplLine(R"([IWEF] \[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\] .*)");
  for (const std::string &line : SplitLines(out)) {
    if (line.empty()) continue;
    EXPECT_TRUE(std::regex_match(line, papplLine)) << line;
  }
  const std::string job = "] [Job " + std::to_string(jobId) + "] ";
  for (const char *text : {"Printing page 1", "Printing page 2"}) {
    EXPECT_NE(out.find(job + text + "\n"), std::string::npos) << text << " in\n" << out;
  }
  for (const char *hidden : {"job_params", "SetJobParam", "PAGE:", "DEBUG"}) {
    EXPECT_EQ(out.find(hidden), std::string::npos) << hidden;
  }
}

// A PostScript document made into a PDF of pages of one of the printer's sizes.
std::string MakePdf(const TempDir &dir, const std::string &name, const std::string &postscript,
                    const char *size) {
  const std::string ps = dir.file(name + ".ps");
  const std::string pdf = dir.file(name + ".pdf");
  WriteFileText(ps, postscript);
  const SheetSize *sheet = FindSheetSize(size);
  if (sheet == nullptr) return "";
  const RunResult run = RunProgram(
      {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
       "-dDEVICEWIDTHPOINTS=" + std::to_string(sheet->widthPt),
       "-dDEVICEHEIGHTPOINTS=" + std::to_string(sheet->heightPt), "-dFIXEDMEDIA",
       "-sOutputFile=" + pdf, ps});
  return run.exitStatus == 0 ? pdf : "";
}

std::string ManyPagesPostScript(int pages) {
  return "%!PS\n<< /PageSize [595 842] >> setpagedevice\n/Helvetica findfont 48 scalefont setfont\n"
         "1 1 " + std::to_string(pages) +
         " { 72 700 moveto (Page ) show 3 string cvs show\n"
         "    0 1 40 { 72 exch 14 mul 60 add moveto (The quick brown fox jumps over the lazy dog) show } for\n"
         "    showpage } for\n";
}

// A job cancelled while it prints is not reported completed, and the next job prints.
TEST_F(PrinterAppTest, CancelledJobIsNotCompletedAndTheNextJobPrints) {
  const std::string pdf = MakePdf(dir_, "long", ManyPagesPostScript(30));
  ASSERT_FALSE(pdf.empty());
  const int jobId = PrintFile(network_, uri_, pdf, "application/pdf",
                              {{Kind::Name, "job-name", "long"},
                               {Kind::Resolution, "printer-resolution", "1200"}});
  ASSERT_GT(jobId, 0) << cupsLastErrorString();
  ASSERT_TRUE(WaitForJobState(network_, uri_, jobId, IPP_JSTATE_PROCESSING, 30));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(CancelJob(network_, uri_, jobId), IPP_STATUS_OK) << cupsLastErrorString();
  EXPECT_EQ(WaitForJobEnd(network_, uri_, jobId, 60), IPP_JSTATE_CANCELED);
  // What reached the device before the cancel is a sound stream of fewer pages.
  const DecodedStream partial = DecodeStreamFile(dir_.file("dev/long.prn"));
  if (partial.ok) {
    EXPECT_LT(partial.pages.size(), 30u);
  }

  const std::string raster = dir_.file("after.pwg");
  ASSERT_TRUE(MakeRaster(raster, {"--pwg", "black_1", "-n", "1", "--pbm", dir_.file("after")}));
  const DecodedStream next = PrintAndDecode(raster, "image/pwg-raster", "after-cancel", {});
  ASSERT_EQ(next.pages.size(), 1u);
  EXPECT_TRUE(SamePixels(next.pages[0], LoadPbm(dir_.file("after-1.pbm"))));
}

// Accepts connections on a loopback port and keeps what each one sent.
class StreamSink {
 public:
  explicit StreamSink(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    listening_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                 listen(fd_, 4) == 0;
    if (listening_) thread_ = std::thread([this] { Serve(); });
  }
  ~StreamSink() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    if (thread_.joinable()) thread_.join();
  }
  bool listening() const { return listening_; }
  // The bytes of connection n (0 first), once that connection has ended.
  bool Received(size_t n, std::vector<unsigned char> *bytes, int seconds) {
    for (int tries = 0; tries < seconds * 10; ++tries) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (done_.size() > n) {
          *bytes = done_[n];
          return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

 private:
  void Serve() {
    while (!stop_) {
      const int client = accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      std::vector<unsigned char> bytes;
      unsigned char buffer[65536];
      ssize_t got;
      while ((got = read(client, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
      close(client);
      std::lock_guard<std::mutex> lock(mutex_);
      done_.push_back(std::move(bytes));
    }
  }

  int fd_ = -1;
  bool listening_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::vector<unsigned char>> done_;
};

bool DecodeBytes(const std::vector<unsigned char> &bytes, DecodedStream *decoded) {
  if (!ParsePrinterStream(bytes, &decoded->stream, &decoded->error) ||
      !CheckRecordSequence(decoded->stream, &decoded->error)) {
    return false;
  }
  for (const StreamRecord &record : decoded->stream.records) {
    PageBitmap page;
    if (!DecodeJbig(bytes.data() + record.dataOffset, record.jbg_size, &page, &decoded->error)) return false;
    decoded->pages.push_back(std::move(page));
  }
  return true;
}

// A socket: printer that refuses connections keeps the job (it is not completed); once
// the printer listens, the job prints, and so does the next one.
TEST_F(PrinterAppTest, RefusedSocketDeviceKeepsTheJobUntilThePrinterAnswers) {
  const int port = FreeLoopbackPort();
  ASSERT_EQ(CreatePrinter(local_, "net", "socket://127.0.0.1:" + std::to_string(port)),
            IPP_STATUS_OK);
  const std::string netUri = server_.PrinterUri("net");
  // A spooled format: a raster job would hold the client's request until the device opens.
  const std::string pdf = MakePdf(dir_, "net", RegistrationDocument(2));
  ASSERT_FALSE(pdf.empty());
  const int first = PrintFile(network_, netUri, pdf, "application/pdf", {});
  ASSERT_GT(first, 0);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const int waiting = JobState(network_, netUri, first);
  EXPECT_NE(waiting, IPP_JSTATE_COMPLETED);
  EXPECT_TRUE(waiting == IPP_JSTATE_PENDING || waiting == IPP_JSTATE_PROCESSING) << waiting;

  StreamSink sink(port);
  ASSERT_TRUE(sink.listening());
  EXPECT_EQ(WaitForJobEnd(network_, netUri, first, 60), IPP_JSTATE_COMPLETED);
  const int second = PrintFile(network_, netUri, pdf, "application/pdf", {});
  ASSERT_GT(second, 0);
  EXPECT_EQ(WaitForJobEnd(network_, netUri, second, 60), IPP_JSTATE_COMPLETED);
  for (size_t n = 0; n < 2; ++n) {
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(sink.Received(n, &bytes, 30)) << "connection " << n;
    DecodedStream decoded;
    ASSERT_TRUE(DecodeBytes(bytes, &decoded)) << decoded.error;
    ASSERT_EQ(decoded.pages.size(), 2u);
    ExpectRegistered(decoded.pages[1], "A4");
  }
}

ipp_status_t SetPrinterDefault(http_t *http, const std::string &uri, const char *name,
                               const char *value) {
  ipp_t *request = ippNewRequest(IPP_OP_SET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, name, nullptr, value);
  const std::string resource = uri.substr(uri.find("/ipp/"));
  ippDelete(cupsDoRequest(http, request, resource.c_str()));
  return cupsLastError();
}

// Printers and their settings live in the state file: after a restart the printer is
// there, and its default still applies to the jobs that do not say.
TEST_F(PrinterAppTest, PrinterAndItsDefaultsSurviveARestart) {
  ASSERT_EQ(SetPrinterDefault(local_, uri_, "media-default", "iso_a5_148x210mm"), IPP_STATUS_OK)
      << cupsLastErrorString();
  ASSERT_EQ(SetPrinterDefault(local_, uri_, "feed-orientation-default", "long-edge-first"),
            IPP_STATUS_OK)
      << cupsLastErrorString();
  RestartServer(&server_, &local_, &network_);
  uri_ = server_.PrinterUri(PRINTER);
  EXPECT_TRUE(PrinterExists(network_, uri_));
  EXPECT_EQ(PrinterId(network_, uri_), 1);
  const std::string pdf = MakePdf(dir_, "restart", RegistrationDocument(1), "A5");
  ASSERT_FALSE(pdf.empty());
  const DecodedStream decoded = PrintAndDecode(pdf, "application/pdf", "after-restart", {});
  EXPECT_EQ(Param(decoded, "PageSize"), "A5");
  EXPECT_EQ(Param(decoded, "FeedEdge"), "1");
}

void RestartServer(AppServer *server, http_t **local, http_t **network) {
  httpClose(*local);
  httpClose(*network);
  server->Stop();
  ASSERT_TRUE(server->Start());
  *local = server->ConnectLocal();
  *network = server->ConnectNetwork();
  ASSERT_NE(*network, nullptr);
}

// Anyone may print; only the administrator changes printers. A network client (here on
// loopback TCP) is refused Create-Printer, Delete-Printer and the printer's settings;
// the domain socket is the administrator's.
TEST_F(PrinterAppTest, NetworkClientsCannotAdministerPrinters) {
  // PAPPL 1.3 answers a refused operation with the HTTP refusal and then a stray IPP
  // answer on the same connection: every attempt gets a connection of its own.
  auto refused = [this](auto attempt) {
    http_t *http = server_.ConnectNetwork();
    const ipp_status_t status = attempt(http);
    httpClose(http);
    return status;
  };
  // PAPPL 1.3 reports printer-id 0 for a new printer until the server restarts; it
  // numbers the printers it makes from 1.
  const int id = 1;
  EXPECT_EQ(refused([this](http_t *http) {
              return CreatePrinter(http, "intruder", "file://" + dir_.file("dev"));
            }),
            IPP_STATUS_ERROR_FORBIDDEN);
  EXPECT_EQ(refused([id](http_t *http) { return DeletePrinter(http, id); }),
            IPP_STATUS_ERROR_FORBIDDEN);
  EXPECT_EQ(refused([this](http_t *http) {
              return SetPrinterDefault(http, uri_, "media-default", "iso_a5_148x210mm");
            }),
            IPP_STATUS_ERROR_FORBIDDEN);
  http_t *check = server_.ConnectNetwork();
  EXPECT_TRUE(PrinterExists(check, uri_));
  EXPECT_FALSE(PrinterExists(check, server_.PrinterUri("intruder")));
  httpClose(check);

  EXPECT_EQ(CreatePrinter(local_, "second", "file://" + dir_.file("dev")), IPP_STATUS_OK);
  EXPECT_TRUE(PrinterExists(local_, server_.PrinterUri("second")));
  EXPECT_EQ(DeletePrinter(local_, 2), IPP_STATUS_OK);
  EXPECT_FALSE(PrinterExists(local_, server_.PrinterUri("second")));
}

// With a PAM service named, network administration asks for a user name and password.
TEST(PrinterAppAuthTest, NetworkAdministrationWithAuthServiceNeedsCredentials) {
  TempDir dir;
  AppServer server(dir.path(), {"auth-service=login"});
  ASSERT_TRUE(server.Start());
  http_t *network = server.ConnectNetwork();
  ASSERT_NE(network, nullptr);
  cupsSetPasswordCB2([](const char *, http_t *, const char *, const char *, void *) -> const char * {
    return nullptr;
  }, nullptr);
  // The server asks for credentials (401); without any, libcups gives up.
  EXPECT_EQ(CreatePrinter(network, "intruder", "file:///dev/null"),
            IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED)
      << cupsLastErrorString();
  cupsSetUser("no-such-user-here");
  // One wrong password; libcups asks again after a refusal, and then gets none.
  static int asked = 0;
  cupsSetPasswordCB2([](const char *, http_t *, const char *, const char *, void *) -> const char * {
    return asked++ == 0 ? "wrong" : nullptr;
  }, nullptr);
  EXPECT_NE(CreatePrinter(network, "intruder", "file:///dev/null"), IPP_STATUS_OK);
  EXPECT_EQ(asked, 2);
  httpClose(network);
  http_t *local = server.ConnectLocal();
  EXPECT_FALSE(PrinterExists(local, server.PrinterUri("intruder")));
  httpClose(local);
  cupsSetPasswordCB2(nullptr, nullptr);
  server.Stop();
  EXPECT_EQ(server.exitStatus(), 0) << server.SanitizerReports();
}

struct HttpAnswer {
  http_status_t status = HTTP_STATUS_ERROR;
  std::string body;
};

// One request on a connection of its own, as a browser that does not keep connections
// (PAPPL 1.3 does not answer a second request on a connection that served a page).
HttpAnswer HttpRequest(http_t *http, http_state_t method, const std::string &path,
                       const std::string &form = "", const char *language = nullptr) {
  HttpAnswer answer;
  if (http == nullptr) return answer;
  httpClearFields(http);
  httpSetField(http, HTTP_FIELD_HOST, "localhost");
  if (language != nullptr) httpSetField(http, HTTP_FIELD_ACCEPT_LANGUAGE, language);
  bool sent = false;
  if (method == HTTP_STATE_POST) {
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
    httpSetLength(http, form.size());
    sent = httpPost(http, path.c_str()) == 0 &&
           httpWrite2(http, form.data(), form.size()) >= 0;
  } else {
    sent = httpGet(http, path.c_str()) == 0;
  }
  if (sent) {
    while ((answer.status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
    }
    char buffer[8192];
    ssize_t got;
    while ((got = httpRead2(http, buffer, sizeof buffer)) > 0) {
      answer.body.append(buffer, static_cast<size_t>(got));
    }
  }
  httpClose(http);
  return answer;
}

std::string FormSession(const std::string &html) {
  const std::string marker = "name=\"session\" value=\"";
  const size_t start = html.find(marker);
  if (start == std::string::npos) return "";
  const size_t end = html.find('"', start + marker.size());
  return html.substr(start + marker.size(), end - start - marker.size());
}

// The web interface shows the printer, its media and defaults; its forms change nothing
// for a network client, and the account password shows on no page.
TEST_F(PrinterAppTest, WebPagesShowThePrinterAndRefuseChanges) {
  // The credentials file of the filter and the core, planted for the job below.
  const bool hadAuth = FileExists(AUTH_CONFIG_PATH);
  if (!hadAuth) {
    mkdir("/tmp/auth", 0755);
    WriteFileText(AUTH_CONFIG_PATH, "{\"AuthID\": \"webuser\", \"Password\": \"s3cretPw0rd\"}");
  }
  const std::string raster = dir_.file("web.pwg");
  ASSERT_TRUE(MakeRaster(raster, {"--pwg", "black_1", "-n", "1"}));
  const DecodedStream decoded = PrintAndDecode(raster, "image/pwg-raster", "web-job", {});
  if (!hadAuth) {
    EXPECT_EQ(Param(decoded, "AuthPassword"), "s3cretPw0rd");
    unlink(AUTH_CONFIG_PATH);
    rmdir("/tmp/auth");
  }

  const std::string base = std::string("/") + PRINTER;
  for (const std::string &path : std::vector<std::string>{"/", base + "/", base + "/media",
                                                         base + "/printing", base + "/jobs"}) {
    SCOPED_TRACE(path);
    const HttpAnswer page = HttpRequest(server_.ConnectNetwork(), HTTP_STATE_GET, path);
    EXPECT_EQ(page.status, HTTP_STATUS_OK);
    EXPECT_NE(page.body.find(PRINTER), std::string::npos) << "the page does not name the printer";
    EXPECT_EQ(page.body.find("s3cretPw0rd"), std::string::npos);
  }
  const HttpAnswer media = HttpRequest(server_.ConnectNetwork(), HTTP_STATE_GET, base + "/media");
  EXPECT_NE(media.body.find("iso_a4_210x297mm"), std::string::npos);
  EXPECT_NE(media.body.find("Tray 2"), std::string::npos);  // the trays loaded
  const std::string session = FormSession(media.body);
  ASSERT_FALSE(session.empty());
  // A complete, valid form: the network client is refused what the administrator may do.
  const std::string a5 = "&ready0-size=iso_a5_148x210mm&ready0-type=stationery";
  const HttpAnswer changed =
      HttpRequest(server_.ConnectNetwork(), HTTP_STATE_POST, base + "/media", "session=" + session + a5);
  EXPECT_EQ(changed.status, HTTP_STATUS_FORBIDDEN);
  const HttpAnswer home = HttpRequest(server_.ConnectNetwork(), HTTP_STATE_GET, base + "/");
  const HttpAnswer paused =
      HttpRequest(server_.ConnectNetwork(), HTTP_STATE_POST, base + "/",
                  "session=" + FormSession(home.body) + "&action=pause-printer");
  EXPECT_EQ(paused.status, HTTP_STATUS_FORBIDDEN);
  EXPECT_NE(HttpRequest(server_.ConnectNetwork(), HTTP_STATE_GET, base + "/").body.find("Pause"),
            std::string::npos);
  // The page that searches for printers to add is not shown to the network.
  EXPECT_EQ(HttpRequest(server_.ConnectNetwork(), HTTP_STATE_GET, "/addprinter").status,
            HTTP_STATUS_FORBIDDEN);
  // Nor is the password in the server's log.
  EXPECT_EQ(server_.Log().find("s3cretPw0rd"), std::string::npos);

  // Nothing changed: the printer is idle and prints on A4.
  const std::string again = dir_.file("again.pwg");
  ASSERT_TRUE(MakeRaster(again, {"--pwg", "black_1", "-n", "1"}));
  const DecodedStream after = PrintAndDecode(again, "image/pwg-raster", "web-after", {});
  EXPECT_EQ(Param(after, "PageSize"), "A4");

  // The same form over the domain socket, the administrator's door, loads A5.
  const HttpAnswer adminForm = HttpRequest(server_.ConnectLocal(), HTTP_STATE_GET, base + "/media");
  const HttpAnswer loaded = HttpRequest(server_.ConnectLocal(), HTTP_STATE_POST, base + "/media",
                                        "session=" + FormSession(adminForm.body) + a5);
  EXPECT_EQ(loaded.status, HTTP_STATUS_OK);
  const HttpAnswer now = HttpRequest(server_.ConnectNetwork(), HTTP_STATE_GET, base + "/media");
  EXPECT_NE(now.body.find("iso_a5_148x210mm\" selected"), std::string::npos);
}

// The side is the registration page on the whole sheet.
void ExpectRegistered(const PageBitmap &side, const char *size, SideTurn turn) {
  const SheetSize *sheet = FindSheetSize(size);
  ASSERT_NE(sheet, nullptr);
  const SideMeasure measure = MeasureRegistrationSide(side, *sheet, 600, turn);
  printf("registration: %s\n", DescribeSideMeasure(*sheet, 600, measure).c_str());
  for (const std::string &fault : measure.faults) ADD_FAILURE() << fault;
}

// JPEG takes PAPPL's own image path, which hands the page over once per copy: the core
// makes the copies, in the filter's order, and only once.
TEST_F(PrinterAppTest, JpegCopiesComeFromTheCoreOnce) {
  const std::string jpeg = dir_.file("photo.jpg");
  const RunResult made = RunProgram({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE",
                                     "-sDEVICE=jpeggray", "-r72", "-g595x842",
                                     "-sOutputFile=" + jpeg, "-c",
                                     "0.2 setgray 100 300 395 300 rectfill showpage"});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  const DecodedStream decoded =
      PrintAndDecode(jpeg, "image/jpeg", "photo",
                     {{Kind::Integer, "copies", "2"},
                      {Kind::Keyword, "multiple-document-handling",
                       "separate-documents-uncollated-copies"}});
  ASSERT_EQ(decoded.pages.size(), 2u);
  EXPECT_EQ(Flags(decoded, &StreamRecord::firstpage), "1 1");
  EXPECT_EQ(Flags(decoded, &StreamRecord::lastpage), "0 1");
  EXPECT_TRUE(SamePixels(decoded.pages[0], decoded.pages[1]));
  EXPECT_FALSE(IsAllWhite(decoded.pages[0]));
  EXPECT_EQ(Param(decoded, "copies"), "2");
  EXPECT_EQ(Param(decoded, "PageSize"), "A4");
}

// A PDF is rendered onto the whole sheet at the job's resolution, the marks where the
// document puts them; A5 fed long edge first reaches the printer turned as the filter
// turns it.
TEST_F(PrinterAppTest, PdfPrintsOnTheFullSheetWithTheMarksInPlace) {
  struct Case {
    const char *size;
    const char *media;
    bool longEdge;
  };
  const Case cases[] = {{"A4", "iso_a4_210x297mm", false}, {"A5", "iso_a5_148x210mm", true}};
  for (const Case &test : cases) {
    SCOPED_TRACE(test.size);
    const std::string name = std::string("registration-") + test.size;
    const std::string pdf = MakePdf(dir_, name, RegistrationDocument(2), test.size);
    ASSERT_FALSE(pdf.empty());
    std::vector<JobAttribute> attributes = {{Kind::Keyword, "media", test.media}};
    if (test.longEdge) attributes.push_back({Kind::Keyword, "feed-orientation", "long-edge-first"});
    const DecodedStream decoded = PrintAndDecode(pdf, "application/pdf", name, attributes);
    ASSERT_EQ(decoded.pages.size(), 2u);
    for (const PageBitmap &side : decoded.pages) {
      ExpectRegistered(side, test.size,
                       test.longEdge ? SideTurn::kQuarterCounterClockwise : SideTurn::kNone);
    }
    EXPECT_EQ(Param(decoded, "PageSize"), test.size);
    EXPECT_EQ(Param(decoded, "FeedEdge"), test.longEdge ? "1" : "0");
  }
}

// What a client learns of the printer and gets from it: monochrome only, raster pages
// in black or grey (a colour raster page is printed in dots all the same),
// accounts, labels in words on the web pages and the printer's own icons.
TEST_F(PrinterAppTest, CapabilitiesOfAMonochromePrinterWithAccounts) {
  ipp_t *response = GetPrinterAttribute(network_, uri_, "all");
  auto text = [response](const char *name) {
    char value[1024] = "";
    ippAttributeString(ippFindAttribute(response, name, IPP_TAG_ZERO), value, sizeof value);
    return std::string(value);
  };
  EXPECT_EQ(text("print-color-mode-supported"), "auto,monochrome");
  EXPECT_EQ(text("pwg-raster-document-type-supported"), "black_1,sgray_8");
  EXPECT_EQ(text("job-account-id-supported"), "true");
  EXPECT_EQ(text("job-password-supported"), "127");
  EXPECT_EQ(text("job-password-encryption-supported"), "none");
  ippDelete(response);

  // A colour raster page, though not offered, is taken like a colour photo (ipptool's
  // tests send one): in dots.
  const std::string colour = dir_.file("colour.pwg");
  ASSERT_TRUE(MakeRaster(colour, {"--pwg", "srgb_8", "-n", "1"}));
  const DecodedStream colourRaster = PrintAndDecode(colour, "image/pwg-raster", "colour-raster", {});
  ASSERT_EQ(colourRaster.pages.size(), 1u);
  EXPECT_FALSE(IsAllWhite(colourRaster.pages[0]));

  const std::string base = std::string("/") + PRINTER;
  const HttpAnswer printing = HttpRequest(server_.ConnectNetwork(), HTTP_STATE_GET, base + "/printing");
  for (const char *label : {"Feed Orientation:", ">Short Edge First<", ">Long Edge First<"}) {
    EXPECT_NE(printing.body.find(label), std::string::npos) << label;
  }
  EXPECT_EQ(printing.body.find("value=\"color\""), std::string::npos);
  for (const auto &[icon, side] : {std::pair{"icon-sm.png", 48}, {"icon-md.png", 128}, {"icon-lg.png", 512}}) {
    const HttpAnswer png = HttpRequest(server_.ConnectNetwork(), HTTP_STATE_GET, base + "/" + icon);
    ASSERT_GE(png.body.size(), 24u) << icon;
    const auto *header = reinterpret_cast<const unsigned char *>(png.body.data());
    EXPECT_EQ(png.body.substr(1, 3), "PNG");
    EXPECT_EQ((header[18] << 8) | header[19], side) << icon;  // the width, in IHDR
  }
  // The labels come in other languages' pages too, and PAPPL is left no strings file that
  // it would list in the printer's attributes once more on every request.
  EXPECT_NE(HttpRequest(server_.ConnectNetwork(), HTTP_STATE_GET, base + "/printing", "", "de")
                .body.find("Feed Orientation:"),
            std::string::npos);
  ippDelete(GetPrinterAttribute(network_, uri_, "all"));
  response = GetPrinterAttribute(network_, uri_, "all");
  int languages = 0;
  for (ipp_attribute_t *a = ippFirstAttribute(response); a; a = ippNextAttribute(response)) {
    languages += ippGetName(a) != nullptr && strcmp(ippGetName(a), "printer-strings-languages-supported") == 0;
  }
  EXPECT_LE(languages, 1);
  ippDelete(response);
  const std::string log = server_.Log();
  EXPECT_EQ(log.find("Driver does not provide printer icons"), std::string::npos);
  EXPECT_EQ(log.find("self-test page"), std::string::npos);
}

// The command line: submit -n gives the job's copies, and the server refuses a file:
// device on a directory that does not exist in words.
TEST_F(PrinterAppTest, CommandLineCopiesAndFileDevices) {
  const std::string raster = dir_.file("cli.pwg");
  ASSERT_TRUE(MakeRaster(raster, {"--pwg", "black_1", "-n", "1"}));
  RunOptions options;
  options.setEnv["SNAP_COMMON"] = dir_.path();  // the test server's domain socket
  // Under the sanitizers, what papplMainloop leaks is PAPPL's, as in the server.
  const char *asan = getenv("ASAN_OPTIONS");
  options.setEnv["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":fast_unwind_on_malloc=0";
  options.setEnv["LSAN_OPTIONS"] = std::string("suppressions=") + QUENMARK_APP_LSAN_SUPPRESSIONS;
  const RunResult submitted = RunProgram(
      {QUENMARK_APP_PATH, "submit", "-u", uri_, "-n", "2", "-t", "cli-copies", raster}, options);
  ASSERT_EQ(submitted.exitStatus, 0) << submitted.err;
  EXPECT_EQ(WaitForJobEnd(network_, uri_, atoi(submitted.out.c_str()), 60), IPP_JSTATE_COMPLETED);
  const DecodedStream decoded = DecodeStreamFile(dir_.file("dev/cli-copies.prn"));
  EXPECT_EQ(Param(decoded, "copies"), "2");
  EXPECT_EQ(decoded.pages.size(), 2u);
  const RunResult none = RunProgram({QUENMARK_APP_PATH, "submit", "-u", uri_, "-n", "0", raster}, options);
  EXPECT_EQ(none.exitStatus, 1);
  EXPECT_NE(none.err.find("copies from 1 to 999"), std::string::npos) << none.err;
  const std::string missing = dir_.file("no/such/dir");
  const RunResult added = RunProgram(
      {QUENMARK_APP_PATH, "add", "-d", "lost", "-m", "quenmark", "-v", "file://" + missing}, options);
  EXPECT_EQ(added.exitStatus, 1);
  EXPECT_NE(added.err.find(missing + " does not exist"), std::string::npos) << added.err;
}

// A job is printed under its own account (job-account-id, job-password), else under the
// default account the administrator set on the printer's account page (kept across a
// restart), else under the credentials file's. No page shows a password, and no line of
// the application's logs one.
TEST_F(PrinterAppTest, AccountsComeFromTheJobThenThePrinterThenTheFile) {
  const bool hadAuth = FileExists(AUTH_CONFIG_PATH);
  if (!hadAuth) {
    mkdir("/tmp/auth", 0755);
    WriteFileText(AUTH_CONFIG_PATH, "{\"AuthID\": \"file-acct\", \"Password\": \"filePw0rd\"}");
  }
  const std::string raster = dir_.file("account.pwg");
  ASSERT_TRUE(MakeRaster(raster, {"--pwg", "black_1", "-n", "1"}));
  ipp_status_t status = IPP_STATUS_OK;
  auto account = [&](const std::string &job, const std::vector<JobAttribute> &attributes) {
    const DecodedStream decoded =
        PrintAndDecode(raster, "image/pwg-raster", job, attributes, nullptr, &status);
    return Param(decoded, "AuthID") + "/" + Param(decoded, "AuthPassword");
  };
  const std::vector<JobAttribute> own = {{Kind::Name, "job-account-id", "dept-7"},
                                         {Kind::Octets, "job-password", "jobPw0rd"},
                                         {Kind::Keyword, "job-password-encryption", "none"}};
  if (!hadAuth) {
    EXPECT_EQ(account("file", {}), "file-acct/filePw0rd");
  }
  EXPECT_EQ(account("own", own), "dept-7/jobPw0rd");

  const std::string page = std::string("/") + PRINTER + "/account";
  const std::string session = FormSession(HttpRequest(server_.ConnectLocal(), HTTP_STATE_GET, page).body);
  const std::string form = "session=" + session + "&account-id=office-default&account-password=defPw0rd";
  EXPECT_EQ(HttpRequest(server_.ConnectNetwork(), HTTP_STATE_POST, page, form).status,
            HTTP_STATUS_FORBIDDEN);
  const HttpAnswer saved = HttpRequest(server_.ConnectLocal(), HTTP_STATE_POST, page, form);
  EXPECT_NE(saved.body.find("Changes saved."), std::string::npos);
  EXPECT_NE(saved.body.find("A password is set"), std::string::npos);
  EXPECT_EQ(account("own-over-default", own), "dept-7/jobPw0rd");
  RestartServer(&server_, &local_, &network_);
  EXPECT_EQ(account("default", {}), "office-default/defPw0rd");
  // A job that waits over a restart keeps its own account, until it has printed.
  ASSERT_EQ(PausePrinter(local_, uri_), IPP_STATUS_OK);
  std::vector<JobAttribute> waiting = own;
  waiting.push_back({Kind::Name, "job-name", "waited"});
  const int waited = PrintFile(network_, uri_, raster, "image/pwg-raster", waiting);
  ASSERT_GT(waited, 0) << cupsLastErrorString();
  RestartServer(&server_, &local_, &network_);  // PAPPL 1.3 does not keep the pause
  EXPECT_EQ(WaitForJobEnd(network_, uri_, waited, 60), IPP_JSTATE_COMPLETED);
  const DecodedStream afterRestart = DecodeStreamFile(dir_.file("dev/waited.prn"));
  EXPECT_EQ(Param(afterRestart, "AuthID") + "/" + Param(afterRestart, "AuthPassword"), "dept-7/jobPw0rd");
  EXPECT_EQ(ReadFileText(dir_.file("state.accounts")).find("jobPw0rd"), std::string::npos);
  struct stat kept;
  ASSERT_EQ(stat(dir_.file("state.accounts").c_str(), &kept), 0);
  EXPECT_EQ(kept.st_mode & 077, 0u) << "the default accounts are the server user's alone";

  // Values the printer cannot take: Validate-Job refuses them, Print-Job ignores them.
  const std::string tooLong(128, 'p');
  EXPECT_EQ(ValidateJob(network_, uri_, "image/pwg-raster", {{Kind::Octets, "job-password", tooLong}}),
            IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES);
  EXPECT_EQ(ValidateJob(network_, uri_, "image/pwg-raster",
                        {{Kind::Octets, "job-password", "x"},
                         {Kind::Keyword, "job-password-encryption", "md5"}}),
            IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES);
  EXPECT_EQ(ValidateJob(network_, uri_, "image/pwg-raster", own), IPP_STATUS_OK);
  EXPECT_EQ(account("too-long", {{Kind::Name, "job-account-id", "dept-9"},
                                 {Kind::Octets, "job-password", tooLong}}),
            "dept-9/");
  EXPECT_EQ(status, IPP_STATUS_OK_IGNORED_OR_SUBSTITUTED);

  const std::vector<std::string> passwords = {"jobPw0rd", "defPw0rd", "filePw0rd", tooLong};
  for (const std::string &path : {page, std::string("/") + PRINTER + "/"}) {
    const std::string body = HttpRequest(server_.ConnectNetwork(), HTTP_STATE_GET, path).body;
    for (const std::string &password : passwords) EXPECT_EQ(body.find(password), std::string::npos);
  }
  // Not even the debug level's list of a request's attributes shows one.
  const std::string log = server_.Log();
  EXPECT_NE(log.find("request:   job-password octetString (hidden)"), std::string::npos);
  for (const std::string &password : passwords) EXPECT_EQ(log.find(password), std::string::npos) << password;
  // A printer deleted takes its default account along, at the latest on the next start.
  ASSERT_EQ(DeletePrinter(local_, PrinterId(local_, uri_)), IPP_STATUS_OK);
  RestartServer(&server_, &local_, &network_);
  EXPECT_EQ(ReadFileText(dir_.file("state.accounts")).find("office-default"), std::string::npos);
  // A damaged file of default accounts is reported, and the server runs without them.
  WriteFileText(dir_.file("state.accounts"), "{\"1\": ");
  RestartServer(&server_, &local_, &network_);
  EXPECT_NE(server_.Log().find("Default accounts not loaded"), std::string::npos);
  if (!hadAuth) {
    unlink(AUTH_CONFIG_PATH);
    rmdir("/tmp/auth");
  }
}

// The test page, printed as PAPPL offers it on the printer's web page: one sheet whose
// registration marks are in place, and the printer's name and settings in the text
// between them.
TEST_F(PrinterAppTest, TestPageFromTheWebPageHasTheRegistrationMarks) {
  const std::string home = std::string("/") + PRINTER + "/";
  const HttpAnswer page = HttpRequest(server_.ConnectLocal(), HTTP_STATE_GET, home);
  ASSERT_NE(page.body.find("Print Test Page"), std::string::npos);
  const HttpAnswer printed = HttpRequest(server_.ConnectLocal(), HTTP_STATE_POST, home,
                                         "session=" + FormSession(page.body) + "&action=print-test-page");
  EXPECT_NE(printed.body.find("Test page printed."), std::string::npos);
  EXPECT_EQ(WaitForJobEnd(network_, uri_, 1, 60), IPP_JSTATE_COMPLETED);
  const DecodedStream decoded = DecodeStreamFile(dir_.file("dev/Test Page.prn"));
  ASSERT_TRUE(decoded.ok) << decoded.error;
  ASSERT_EQ(decoded.pages.size(), 1u);
  ExpectRegistered(decoded.pages[0], "A4");
  const PageBitmap &side = decoded.pages[0];
  const uint64_t stride = PageBitmapStride(side.width);
  int inked = 0;  // bytes with ink from 35 to 60 mm below the top edge, at 600 dpi
  for (uint64_t i = 827 * stride; i < 1417 * stride; ++i) inked += side.bits[i] != 0;
  EXPECT_GT(inked, 1000);

  // On the narrowest sheet at the highest resolution the text wraps clear of the marks.
  ASSERT_EQ(SetPrinterDefault(local_, uri_, "media-default", "om_bank1_102x196mm"), IPP_STATUS_OK);
  ipp_t *request = ippNewRequest(IPP_OP_SET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri_.c_str());
  ippAddResolution(request, IPP_TAG_PRINTER, "printer-resolution-default", IPP_RES_PER_INCH, 1200, 1200);
  ippDelete(cupsDoRequest(local_, request, uri_.substr(uri_.find("/ipp/")).c_str()));
  ASSERT_EQ(cupsLastError(), IPP_STATUS_OK) << cupsLastErrorString();
  EXPECT_EQ(HttpRequest(server_.ConnectLocal(), HTTP_STATE_POST, home,
                        "session=" + FormSession(page.body) + "&action=print-test-page")
                .status,
            HTTP_STATUS_OK);
  EXPECT_EQ(WaitForJobEnd(network_, uri_, 2, 60), IPP_JSTATE_COMPLETED);
  const DecodedStream bank = DecodeStreamFile(dir_.file("dev/Test Page.prn"));
  ASSERT_EQ(bank.pages.size(), 1u) << bank.error;
  EXPECT_EQ(Param(bank, "PageSize"), "CUS_1");
  const SideMeasure measure =
      MeasureRegistrationSide(bank.pages[0], *FindSheetSize("BANK1"), 1200, SideTurn::kNone);
  for (const std::string &fault : measure.faults) ADD_FAILURE() << fault;
}

}  // namespace
