// app_load: the printer application under load. A real server on loopback, a printer on
// a socket: device (a listener of ours that reads slowly) and one on a file: device,
// and concurrent IPP clients sending PDF, PWG raster and Apple raster with Print-Job and
// with Create-Job + Send-Document. Among them: clients retry on server-error-busy as
// CUPS's ipp backend does, drop the connection halfway through the document, and cancel
// a job while it prints; pollers ask for the jobs and fetch the web pages meanwhile.
// Passes when every request is answered within the bound (else the server's threads
// are shown with gdb and the server is killed), the server never dies, and every
// accepted job ends: completed with its pages in the device's stream, or cancelled or
// aborted where the client made it so. Prints the figures, the server's memory included:
// resident at the start and once each half of the jobs has ended, and its peak;
// --max-growth-kib fails a run in which it grows by more than that from the first half's
// end to the second's (PAPPL keeps a history of 100 ended jobs a printer, for a minute).
//
//   app_load [--clients N] [--jobs N] [--bound SECONDS] [--max-growth-kib N]

#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppServer.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Document {
  std::string path;
  std::string format;
  int pages;
  std::string pbm;  // the pages' PBM files (PREFIX-N.pbm) when the pixels are known exactly
};

enum class Fate { Print, Drop, DropSendDocument, Cancel };

struct Job {
  int index = 0;
  std::string printer;
  int document = 0;
  bool createJob = false;  // Create-Job + Send-Document rather than Print-Job
  Fate fate = Fate::Print;
  int id = 0;              // 0: the server gave none
  int state = 0;
};

struct Run {
  AppServer *server = nullptr;
  int bound = 60;
  std::vector<Document> documents;
  std::vector<Job> jobs;
  std::atomic<size_t> next{0};
  std::atomic<size_t> sent{0};
  std::atomic<size_t> limit{0};  // the clients take jobs up to this one
  std::atomic<bool> stop{false};
  std::atomic<int> busy{0};
  std::mutex mutex;
  std::vector<std::string> failures;
  std::string hang;  // the first request that was not answered in time

  void Fail(const std::string &what) {
    std::lock_guard<std::mutex> lock(mutex);
    failures.push_back(what);
  }
  void Hung(const std::string &what) {
    std::lock_guard<std::mutex> lock(mutex);
    if (hang.empty()) hang = what;
    stop = true;
  }
};

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A connection whose every request gives up after the bound.
http_t *Connect(const Run &run) {
  http_t *http = run.server->ConnectNetwork();
  if (http != nullptr) httpSetTimeout(http, run.bound, [](http_t *, void *) { return 0; }, nullptr);
  return http;
}

// One request on a connection of its own; a request not answered in time is a hang.
ipp_t *Request(Run &run, ipp_t *request, const std::string &resource, const char *file,
               const std::string &what) {
  http_t *http = Connect(run);
  if (http == nullptr) {
    ippDelete(request);
    run.Fail(what + ": cannot connect");
    return nullptr;
  }
  const Clock::time_point start = Clock::now();
  ipp_t *response = file != nullptr ? cupsDoFileRequest(http, request, resource.c_str(), file)
                                    : cupsDoRequest(http, request, resource.c_str());
  if (response == nullptr && Since(start) >= run.bound - 1) run.Hung(what);
  httpClose(http);
  return response;
}

ipp_t *JobRequest(ipp_op_t op, const std::string &uri, int jobId) {
  ipp_t *request = ippNewRequest(op);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  if (jobId > 0) ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "load");
  return request;
}

// The job's document sent on a raw connection that is closed halfway through it.
void SendHalfAndDrop(const Run &run, ipp_t *request, const std::string &uri, const Document &doc) {
  std::string body;
  ippWriteIO(&body, [](void *data, ipp_uchar_t *buffer, size_t bytes) -> ssize_t {
    static_cast<std::string *>(data)->append(reinterpret_cast<char *>(buffer), bytes);
    return static_cast<ssize_t>(bytes);
  }, 1, nullptr, request);
  ippDelete(request);
  const std::string document = ReadFileText(doc.path);
  const std::string head = "POST " + uri.substr(uri.find("/ipp/")) + " HTTP/1.1\r\nHost: localhost:" +
                           std::to_string(run.server->port()) + "\r\nContent-Type: application/ipp\r\n" +
                           "Content-Length: " + std::to_string(body.size() + document.size()) + "\r\n\r\n";
  const std::string sent = head + body + document.substr(0, document.size() / 2);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(run.server->port()));
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
    (void)!write(fd, sent.data(), sent.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  close(fd);
}

int JobIdOf(ipp_t *response) {
  return ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
}

int StateOf(Run &run, const std::string &uri, int id) {
  ipp_t *response = Request(run, JobRequest(IPP_OP_GET_JOB_ATTRIBUTES, uri, id), "/ipp/print",
                            nullptr, "Get-Job-Attributes " + std::to_string(id));
  const int state = ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0);
  ippDelete(response);
  return state;
}

// One job as its client sends it: busy answers are retried after a pause, as CUPS's ipp
// backend does.
void SendJob(Run &run, Job &job) {
  const Document &doc = run.documents[static_cast<size_t>(job.document)];
  const std::string uri = run.server->PrinterUri(job.printer);
  const std::string name = "load-" + std::to_string(job.index);
  for (int attempt = 0; !run.stop && attempt < 600; ++attempt) {
    ipp_t *request = JobRequest(job.createJob ? IPP_OP_CREATE_JOB : IPP_OP_PRINT_JOB, uri, 0);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
    if (!job.createJob) {
      ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                   doc.format.c_str());
    }
    if (job.fate == Fate::Drop) return SendHalfAndDrop(run, request, uri, doc);
    ipp_t *response = Request(run, request, "/ipp/print", job.createJob ? nullptr : doc.path.c_str(),
                              name + (job.createJob ? " Create-Job" : " Print-Job"));
    ipp_status_t status = cupsLastError();
    job.id = JobIdOf(response);
    ippDelete(response);
    if (job.createJob && status == IPP_STATUS_OK && job.id > 0) {
      ipp_t *send = JobRequest(IPP_OP_SEND_DOCUMENT, uri, job.id);
      ippAddString(send, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                   doc.format.c_str());
      ippAddBoolean(send, IPP_TAG_OPERATION, "last-document", 1);
      if (job.fate == Fate::DropSendDocument) return SendHalfAndDrop(run, send, uri, doc);
      ippDelete(Request(run, send, "/ipp/print", doc.path.c_str(), name + " Send-Document"));
      status = cupsLastError();
    }
    if (status != IPP_STATUS_ERROR_BUSY) {
      if (status > IPP_STATUS_OK_EVENTS_COMPLETE && !run.stop) {
        run.Fail(name + ": " + ippErrorString(status) + " " + cupsLastErrorString());
      }
      break;
    }
    ++run.busy;
    job.id = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + 100 * (attempt % 8)));
  }
  if (job.fate != Fate::Cancel || job.id <= 0) return;
  // Cancelled once it prints (a job that ends first is left as it ended), every other
  // one at once, as it is about to start.
  for (int tries = 0; !run.stop && job.index % 20 != 19 && tries < run.bound * 20; ++tries) {
    const int state = StateOf(run, uri, job.id);
    if (state >= IPP_JSTATE_CANCELED) return;
    if (state == IPP_JSTATE_PROCESSING) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ippDelete(Request(run, JobRequest(IPP_OP_CANCEL_JOB, uri, job.id), "/ipp/print", nullptr,
                    name + " Cancel-Job"));
}

// Takes the next job, up to the run's limit (the jobs are sent in two halves).
void Client(Run &run) {
  while (!run.stop) {
    size_t i = run.next;
    if (i >= run.jobs.size()) return;
    if (i >= run.limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else if (run.next.compare_exchange_weak(i, i + 1)) {
      SendJob(run, run.jobs[i]);
      ++run.sent;
    }
  }
}

// Asks for the jobs and fetches the web pages, each on a connection of its own, until
// the run ends.
void Poller(Run &run, int which) {
  const char *pages[] = {"/", "/sock/", "/file/", "/sock/jobs", "/file/media"};
  for (unsigned n = 0; !run.stop; ++n) {
    if (which == 0) {
      const std::string printer = n % 2 ? "sock" : "file";
      ipp_t *request = JobRequest(IPP_OP_GET_JOBS, run.server->PrinterUri(printer), 0);
      ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr,
                   n % 3 ? "not-completed" : "all");
      ippDelete(Request(run, request, "/ipp/print/" + printer, nullptr, "Get-Jobs " + printer));
    } else {
      http_t *http = Connect(run);
      if (http == nullptr) continue;
      const char *page = pages[n % 5];
      httpClearFields(http);
      httpSetField(http, HTTP_FIELD_HOST, "localhost");
      const Clock::time_point start = Clock::now();
      http_status_t status = HTTP_STATUS_ERROR;
      if (httpGet(http, page) == 0) {
        while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
        }
        char buffer[8192];
        while (httpRead2(http, buffer, sizeof buffer) > 0) {
        }
      }
      if (status != HTTP_STATUS_OK && Since(start) >= run.bound - 1) run.Hung(std::string("GET ") + page);
      httpClose(http);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// The socket: printer: accepts on loopback and reads slowly, keeping each connection's bytes.
struct SlowPrinter {
  int fd = -1;
  std::thread thread;
  std::mutex mutex;
  std::vector<std::string> connections;

  bool Start(int port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
      return false;
    }
    thread = std::thread([this] {
      int client;
      while ((client = accept(fd, nullptr, nullptr)) >= 0) {
        std::string bytes;
        char buffer[16384];
        ssize_t got;
        while ((got = read(client, buffer, sizeof buffer)) > 0) {
          bytes.append(buffer, static_cast<size_t>(got));
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(client);
        std::lock_guard<std::mutex> lock(mutex);
        connections.push_back(std::move(bytes));
      }
    });
    return true;
  }
  void Stop() {
    shutdown(fd, SHUT_RDWR);
    close(fd);
    if (thread.joinable()) thread.join();
  }
};

// The jobs' streams on the socket: consecutive jobs may share a connection, each stream
// starting with its job header. Keyed by the job's id.
std::map<int, std::string> SplitStreams(const std::vector<std::string> &connections) {
  std::map<int, std::string> streams;
  for (const std::string &bytes : connections) {
    size_t start = 0;
    while (start < bytes.size()) {
      size_t end = bytes.find(std::string("kv7310_param\0\0\0\0", 16), start + 1);
      if (end == std::string::npos) end = bytes.size();
      const std::string stream = bytes.substr(start, end - start);
      std::string id;
      if (stream.size() >= 20) {
        const auto *length = reinterpret_cast<const unsigned char *>(stream.data() + 16);
        const size_t size = length[0] | length[1] << 8 | length[2] << 16 | static_cast<size_t>(length[3]) << 24;
        if (FindJobParam(stream.substr(20, size), "jobId", &id)) streams[atoi(id.c_str())] = stream;
      }
      start = end;
    }
  }
  return streams;
}

std::string CheckStream(const std::string &bytes, const Document &doc) {
  DecodedStream decoded;
  std::vector<unsigned char> data(bytes.begin(), bytes.end());
  if (!ParsePrinterStream(data, &decoded.stream, &decoded.error) ||
      !CheckRecordSequence(decoded.stream, &decoded.error)) {
    return decoded.error;
  }
  if (decoded.stream.records.size() != static_cast<size_t>(doc.pages)) {
    return std::to_string(decoded.stream.records.size()) + " pages, not " + std::to_string(doc.pages);
  }
  for (size_t i = 0; i < decoded.stream.records.size(); ++i) {
    const StreamRecord &record = decoded.stream.records[i];
    PageBitmap page;
    if (!DecodeJbig(data.data() + record.dataOffset, record.jbg_size, &page, &decoded.error)) {
      return "page " + std::to_string(i + 1) + ": " + decoded.error;
    }
    if (!doc.pbm.empty() && !SamePixels(page, LoadPbm(doc.pbm + "-" + std::to_string(i + 1) + ".pbm"))) {
      return "page " + std::to_string(i + 1) + " differs from the page sent";
    }
  }
  return "";
}

// A memory figure of the process in KiB: "VmRSS:" resident now, "VmHWM:" its peak.
long ResidentKiB(int pid, const char *field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field));
  }
  return 0;
}

// The server's threads as gdb sees them, into the work directory and onto standard error.
void ShowThreads(int pid, const std::string &dir) {
  const std::string out = dir + "/hang-threads.txt";
  RunOptions options;
  options.stdoutPath = out;
  RunProgram({"timeout", "120", "gdb", "-p", std::to_string(pid), "-batch", "-nx", "-ex",
              "set pagination off", "-ex", "thread apply all bt"},
             options);
  std::cerr << "---- the server's threads (gdb, " << out << ")\n" << ReadFileText(out) << "----\n";
}

bool MakeDocuments(const TempDir &dir, std::vector<Document> *documents) {
  const auto pdf = [&dir](const std::string &name, int pages) {
    const std::string ps = dir.file(name + ".ps");
    WriteFileText(ps, "%!PS\n<< /PageSize [595 842] >> setpagedevice /Helvetica findfont 30 "
                      "scalefont setfont 1 1 " + std::to_string(pages) +
                      " { 72 700 moveto (Page ) show 3 string cvs show 0 1 30 { 72 exch 20 mul "
                      "80 add moveto (The quick brown fox) show } for showpage } for\n");
    return RunProgram({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
                       "-sOutputFile=" + dir.file(name + ".pdf"), ps}).exitStatus == 0;
  };
  *documents = {
      {dir.file("black.pwg"), "image/pwg-raster", 2, dir.file("black")},
      {dir.file("text.pdf"), "application/pdf", 2, ""},
      {dir.file("gray.urf"), "image/urf", 2, ""},
      {dir.file("gray.pwg"), "image/pwg-raster", 1, ""},
      {dir.file("colour.urf"), "image/urf", 1, ""},
      {dir.file("long.pdf"), "application/pdf", 12, ""},
  };
  return MakeRaster(dir.file("black.pwg"), {"--pwg", "black_1", "-n", "2", "--size", "A5", "--pbm", dir.file("black")}) &&
         MakeRaster(dir.file("gray.urf"), {"--pwg", "sgray_8", "--urf", "-n", "2", "--size", "A5"}) &&
         MakeRaster(dir.file("gray.pwg"), {"--pwg", "sgray_8", "-n", "1", "--size", "A4"}) &&
         MakeRaster(dir.file("colour.urf"), {"--pwg", "srgb_8", "--urf", "-n", "1", "--size", "A6"}) &&
         pdf("text", 2) && pdf("long", 12);
}

// Job i: every tenth is cancelled (while it prints, or at once), every tenth dropped
// halfway through its document (Print-Job or Send-Document); the others print, the
// formats and operations taking turns on both printers.
Job PlanJob(int i) {
  Job job;
  job.index = i;
  job.printer = (i / 10) % 2 ? "file" : "sock";
  job.document = i % 5;
  job.createJob = i % 3 == 1;
  if (i % 10 == 9) {
    job.fate = Fate::Cancel;
    job.document = 5;
    job.printer = "sock";
  } else if (i % 10 == 7) {
    job.fate = job.createJob ? Fate::DropSendDocument : Fate::Drop;
  }
  return job;
}

}  // namespace

int main(int argc, char **argv) {
  int clients = 8;
  int jobCount = 60;
  int bound = 60;
  long maxGrowthKiB = -1;
  static const option options[] = {{"clients", required_argument, nullptr, 'c'},
                                   {"jobs", required_argument, nullptr, 'j'},
                                   {"bound", required_argument, nullptr, 'b'},
                                   {"max-growth-kib", required_argument, nullptr, 'm'},
                                   {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "c:j:b:m:", options, nullptr)) != -1;) {
    if (c == 'c') clients = std::max(1, atoi(optarg));
    else if (c == 'j') jobCount = std::max(1, atoi(optarg));
    else if (c == 'b') bound = std::max(5, atoi(optarg));
    else if (c == 'm') maxGrowthKiB = atol(optarg);
    else return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  TempDir dir;
  Run run;
  run.bound = bound;
  if (!MakeDocuments(dir, &run.documents)) {
    std::cerr << "app_load: cannot make the documents\n";
    return 1;
  }
  SlowPrinter printer;
  const int printerPort = FreeLoopbackPort();
  AppServer server(dir.path(), {"log-level=info"});
  run.server = &server;
  RunProgram({"mkdir", "-p", dir.file("dev")});
  if (!printer.Start(printerPort) || !server.Start()) {
    std::cerr << "app_load: the server or the printer's listener did not start\n";
    return 1;
  }
  http_t *local = server.ConnectLocal();
  const bool created = CreatePrinter(local, "sock", "socket://127.0.0.1:" + std::to_string(printerPort)) == IPP_STATUS_OK &&
                       CreatePrinter(local, "file", "file://" + dir.file("dev")) == IPP_STATUS_OK;
  httpClose(local);
  if (!created) {
    std::cerr << "app_load: cannot add the printers\n";
    return 1;
  }
  for (int i = 0; i < jobCount; ++i) run.jobs.push_back(PlanJob(i));

  const Clock::time_point start = Clock::now();
  std::vector<long> memoryKiB = {ResidentKiB(server.pid(), "VmRSS:")};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) threads.emplace_back(Client, std::ref(run));
  threads.emplace_back(Poller, std::ref(run), 0);
  threads.emplace_back(Poller, std::ref(run), 1);
  // Watches the server while the clients send: a crash or a hang ends the run. Once a
  // half is sent, waits until each job of it that the server took has ended.
  for (size_t half = 1; half <= 2 && !run.stop; ++half) {
    run.limit = run.jobs.size() * half / 2;
    for (bool ended = false; !run.stop && !ended;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      siginfo_t info = {};
      if (waitid(P_PID, static_cast<id_t>(server.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          info.si_pid == server.pid()) {
        run.Fail("the server died: " + std::string(info.si_code == CLD_EXITED ? "exit status " + std::to_string(info.si_status)
                                                                              : strsignal(info.si_status)));
        run.stop = true;
      }
      if (run.stop || run.sent < run.limit) continue;
      ended = true;
      for (Job &job : run.jobs) {
        if (job.id > 0 && job.state < IPP_JSTATE_CANCELED) {
          job.state = StateOf(run, run.server->PrinterUri(job.printer), job.id);
          ended = ended && job.state >= IPP_JSTATE_CANCELED;
        }
      }
      if (Since(start) > 60.0 * 60) run.Hung("jobs that never end");
    }
    memoryKiB.push_back(ResidentKiB(server.pid(), "VmRSS:"));
  }
  if (!run.hang.empty()) {
    std::cerr << "app_load: HANG: " << run.hang << " not answered within " << bound << " s\n";
    ShowThreads(server.pid(), dir.path());
    kill(server.pid(), SIGKILL);
  }
  run.stop = true;
  for (std::thread &thread : threads) thread.join();
  const double minutes = Since(start) / 60;
  const long peakKiB = ResidentKiB(server.pid(), "VmHWM:");

  // Every job the server took ended as its client made it end, and every printed job's
  // stream holds its pages. The server goes first: it closes the printer's connection.
  server.Stop();
  printer.Stop();
  const std::map<int, std::string> streams = SplitStreams(printer.connections);
  int completed = 0, canceled = 0, aborted = 0;
  for (const Job &job : run.jobs) {
    if (job.id <= 0 || !run.hang.empty()) continue;
    const std::string name = "load-" + std::to_string(job.index);
    const bool expected = job.fate == Fate::Print ? job.state == IPP_JSTATE_COMPLETED
                          : job.fate == Fate::Cancel ? job.state >= IPP_JSTATE_CANCELED && job.state != IPP_JSTATE_ABORTED
                                                     : job.state == IPP_JSTATE_ABORTED;
    if (!expected) run.Fail(name + " (job " + std::to_string(job.id) + ") ended in state " + std::to_string(job.state));
    completed += job.state == IPP_JSTATE_COMPLETED;
    canceled += job.state == IPP_JSTATE_CANCELED;
    aborted += job.state == IPP_JSTATE_ABORTED;
    if (job.state != IPP_JSTATE_COMPLETED) continue;
    std::string bytes;
    if (job.printer == "file") {
      bytes = ReadFileText(dir.file("dev/" + name + ".prn"));
    } else if (streams.count(job.id)) {
      bytes = streams.at(job.id);
    }
    const std::string fault = CheckStream(bytes, run.documents[static_cast<size_t>(job.document)]);
    if (!fault.empty()) run.Fail(name + " (job " + std::to_string(job.id) + " on " + job.printer + "): " + fault);
  }
  if (server.exitStatus() != 0) run.Fail("the server's exit status: " + std::to_string(server.exitStatus()) + " " + server.SanitizerReports());
  const long growth = memoryKiB.size() == 3 ? memoryKiB[2] - memoryKiB[1] : 0;
  if (maxGrowthKiB >= 0 && growth > maxGrowthKiB) {
    run.Fail("the server grew by " + std::to_string(growth) + " KiB from the first half of the jobs to the second");
  }
  printf("app_load: %d jobs (%d completed, %d canceled, %d aborted; %d busy answers retried), %d clients, "
         "%.1f minutes, %.0f jobs per minute; server memory %ld KiB at the start, %ld KiB after the first "
         "half of the jobs, %ld KiB after the second (%+ld KiB), %ld KiB at its peak; %zu failures\n",
         jobCount, completed, canceled, aborted, run.busy.load(), clients, minutes,
         jobCount / std::max(minutes, 1e-6), memoryKiB[0], memoryKiB.size() > 1 ? memoryKiB[1] : 0,
         memoryKiB.size() > 2 ? memoryKiB[2] : 0, growth, peakKiB, run.failures.size() + !run.hang.empty());
  for (const std::string &failure : run.failures) std::cerr << "FAIL: " << failure << "\n";
  if (!run.failures.empty() || !run.hang.empty()) {
    const std::string log = server.Log();
    std::cerr << "---- server log (last 4000 bytes)\n" << log.substr(log.size() > 4000 ? log.size() - 4000 : 0) << "----\n";
    return 1;
  }
  return 0;
}
