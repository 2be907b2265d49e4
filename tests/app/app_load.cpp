// app_load: a real server on loopback under concurrent IPP clients (README: "The
// printer application under load"): a socket: printer that reads slowly and a file:
// printer; PDF, PWG and Apple raster by Print-Job and by Create-Job + Send-Document;
// busy answers retried, uploads dropped halfway, jobs cancelled, jobs and web pages
// polled. A request not answered within the bound shows the server's threads (gdb).
// The server's memory is sampled at the start and once each quarter of the jobs has
// ended; --max-growth-kib bounds its growth from the first quarter to the last.
//
//   app_load [--clients N] [--jobs N] [--bound SECONDS] [--max-growth-kib N]

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "AppServer.h"
#include "TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Document {
  std::string path, format;
  size_t pages;
  std::string pbm;  // PREFIX of the pages' PBM files (PREFIX-N.pbm) when known exactly
};

enum class Fate { Print, Drop, Cancel };

struct Job {
  int index = 0;
  std::string printer;
  size_t document = 0;
  bool createJob = false;  // Create-Job + Send-Document rather than Print-Job
  Fate fate = Fate::Print;
  int id = 0;              // 0: the server gave none
  int state = 0;
  std::string reasons;     // job-state-reasons, as the server last gave them
};

struct Run {
  AppServer *server = nullptr;
  int bound = 60;
  std::vector<Document> documents;
  std::vector<Job> jobs;
  std::atomic<size_t> next{0}, sent{0}, limit{0};  // the clients take jobs up to limit
  std::atomic<bool> stop{false};
  std::atomic<int> busy{0};
  std::mutex mutex;
  std::vector<std::string> failures;
  std::string hang;  // the first request not answered in time

  void Fail(const std::string &what, bool hung = false) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!hung) failures.push_back(what);
    if (hung && hang.empty()) hang = what;
    stop = stop || hung;
  }
};

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A connection of its own for every request, which gives up after the bound.
http_t *Connect(const Run &run) {
  http_t *http = run.server->ConnectNetwork();
  if (http != nullptr) httpSetTimeout(http, run.bound, [](http_t *, void *) { return 0; }, nullptr);
  return http;
}

ipp_t *Request(Run &run, ipp_t *request, const char *file, const std::string &what) {
  http_t *http = Connect(run);
  const Clock::time_point start = Clock::now();
  ipp_t *response = http == nullptr ? nullptr : cupsDoFileRequest(http, request, "/ipp/print", file);
  if (http == nullptr) ippDelete(request);
  if (response == nullptr && Since(start) >= run.bound - 1) run.Fail(what, true);
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

// The request and half its document, then the connection is closed. With a length the
// body ends short of it; chunked, it ends after a whole chunk, as a whole body would but
// for the last, empty chunk.
void SendHalfAndDrop(const Run &run, ipp_t *request, const Document &doc, bool chunked) {
  const std::string document = ReadFileText(doc.path);
  http_t *http = Connect(run);
  if (http != nullptr &&
      cupsSendRequest(http, request, "/ipp/print", chunked ? 0 : document.size()) == HTTP_STATUS_CONTINUE) {
    cupsWriteRequestData(http, document.data(), document.size() / 2);
  }
  ippDelete(request);
  httpClose(http);
}

int StateOf(Run &run, const std::string &uri, int id, std::string *reasons = nullptr) {
  ipp_t *response = Request(run, JobRequest(IPP_OP_GET_JOB_ATTRIBUTES, uri, id), nullptr,
                            "Get-Job-Attributes " + std::to_string(id));
  const int state = ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0);
  if (reasons != nullptr) {
    char text[1024] = "";
    if (ipp_attribute_t *found = ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD)) {
      ippAttributeString(found, text, sizeof text);
    }
    *reasons = text;
  }
  ippDelete(response);
  return state;
}

// One job as its client sends it: busy answers are retried after a pause.
void SendJob(Run &run, Job &job) {
  const Document &doc = run.documents[job.document];
  const std::string uri = run.server->PrinterUri(job.printer);
  const std::string name = "load-" + std::to_string(job.index);
  const auto format = [&doc](ipp_t *request) {
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, doc.format.c_str());
    return request;
  };
  for (int attempt = 0; !run.stop && attempt < 600; ++attempt) {
    ipp_t *request = JobRequest(job.createJob ? IPP_OP_CREATE_JOB : IPP_OP_PRINT_JOB, uri, 0);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
    if (!job.createJob) format(request);
    if (job.fate == Fate::Drop && !job.createJob) return SendHalfAndDrop(run, request, doc, false);
    ipp_t *response = Request(run, request, job.createJob ? nullptr : doc.path.c_str(), name);
    ipp_status_t status = cupsLastError();
    job.id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
    ippDelete(response);
    if (job.createJob && status == IPP_STATUS_OK && job.id > 0) {
      ipp_t *send = format(JobRequest(IPP_OP_SEND_DOCUMENT, uri, job.id));
      ippAddBoolean(send, IPP_TAG_OPERATION, "last-document", 1);
      if (job.fate == Fate::Drop) return SendHalfAndDrop(run, send, doc, true);
      ippDelete(Request(run, send, doc.path.c_str(), name + " Send-Document"));
      status = cupsLastError();
    }
    if (status != IPP_STATUS_ERROR_BUSY) {
      if (status > IPP_STATUS_OK_EVENTS_COMPLETE && !run.stop) run.Fail(name + ": " + cupsLastErrorString());
      break;
    }
    ++run.busy;
    job.id = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + 100 * (attempt % 8)));
  }
  if (job.fate != Fate::Cancel || job.id <= 0) return;
  // Cancelled once it prints (a job that ends first is left as it ended), or at once.
  for (int tries = 0; !run.stop && job.index % 20 != 19 && tries < run.bound * 20; ++tries) {
    const int state = StateOf(run, uri, job.id);
    if (state >= IPP_JSTATE_CANCELED) return;
    if (state == IPP_JSTATE_PROCESSING) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ippDelete(Request(run, JobRequest(IPP_OP_CANCEL_JOB, uri, job.id), nullptr, name + " Cancel-Job"));
}

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

// Get-Jobs, or a web page (curl), until the run ends.
void Poller(Run &run, bool web) {
  const char *pages[] = {"/", "/sock/", "/file/", "/sock/jobs", "/file/media"};
  for (unsigned n = 0; !run.stop; ++n) {
    if (web) {
      const std::string page = pages[n % 5];
      const RunResult got = RunProgram({"curl", "-s", "-o", "/dev/null", "-m", std::to_string(run.bound),
                                        "http://localhost:" + std::to_string(run.server->port()) + page});
      if (got.exitStatus == 28) run.Fail("GET " + page, true);  // curl's time-out
    } else {
      const std::string printer = n % 2 ? "sock" : "file";
      ipp_t *request = JobRequest(IPP_OP_GET_JOBS, run.server->PrinterUri(printer), 0);
      ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, n % 3 ? "not-completed" : "all");
      ippDelete(Request(run, request, nullptr, "Get-Jobs " + printer));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// The socket: printer: accepts on loopback and reads slowly, keeping each connection's
// bytes, in which consecutive jobs follow each other.
struct SlowPrinter {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  std::thread thread;
  std::string bytes;

  // Its port, or 0.
  int Start() {
    const int port = ListenOnLoopback(fd);
    if (port == 0) return 0;
    thread = std::thread([this] {
      for (int client; (client = accept(fd, nullptr, nullptr)) >= 0; close(client)) {
        char buffer[16384];
        for (ssize_t got; (got = read(client, buffer, sizeof buffer)) > 0;) {
          bytes.append(buffer, static_cast<size_t>(got));
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
      }
    });
    return port;
  }
  // The jobs' streams, by job id, once the server has closed its connection.
  std::map<int, std::string> Streams() {
    shutdown(fd, SHUT_RDWR);
    close(fd);
    if (thread.joinable()) thread.join();
    std::map<int, std::string> streams;
    const std::string magic("kv7310_param\0\0\0\0", 16);
    for (size_t start = bytes.find(magic), end; start != std::string::npos; start = end) {
      end = bytes.find(magic, start + 1);
      const std::string stream = bytes.substr(start, end - start);
      std::string id;
      if (FindJobParam(stream.substr(20, stream.find("kv7310_printer") - 20), "jobId", &id)) {
        streams[atoi(id.c_str())] = stream;
      }
    }
    return streams;
  }
};

// "" when the stream holds the document's pages, else what is wrong.
std::string CheckStream(const std::string &file, const Document &doc) {
  const DecodedStream decoded = DecodeStreamFile(file);
  if (!decoded.ok) return decoded.error;
  if (decoded.pages.size() != doc.pages) return std::to_string(decoded.pages.size()) + " pages";
  for (size_t i = 0; i < doc.pages && !doc.pbm.empty(); ++i) {
    if (!SamePixels(decoded.pages[i], LoadPbm(doc.pbm + "-" + std::to_string(i + 1) + ".pbm"))) {
      return "page " + std::to_string(i + 1) + " differs from the page sent";
    }
  }
  return "";
}

// A memory figure of the process in KiB: "VmRSS:" resident now, "VmHWM:" its peak.
long MemoryKiB(int pid, const char *field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field));
  }
  return 0;
}

bool MakeDocuments(const TempDir &dir, std::vector<Document> *documents) {
  const auto pdf = [&dir](const std::string &name, int pages) {
    WriteFileText(dir.file(name + ".ps"), "%!PS\n/Helvetica findfont 30 scalefont setfont 1 1 " +
                                              std::to_string(pages) + " { 72 700 moveto 3 string cvs show 0 1 30 { 72 "
                                              "exch 20 mul 80 add moveto (The quick brown fox) show } for showpage } for\n");
    return RunProgram({"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
                       "-sOutputFile=" + dir.file(name + ".pdf"), dir.file(name + ".ps")}).exitStatus == 0;
  };
  *documents = {{dir.file("black.pwg"), "image/pwg-raster", 2, dir.file("black")},
                {dir.file("text.pdf"), "application/pdf", 2, ""},
                {dir.file("gray.urf"), "image/urf", 2, ""},
                {dir.file("gray.pwg"), "image/pwg-raster", 1, ""},
                {dir.file("colour.urf"), "image/urf", 1, ""},
                {dir.file("long.pdf"), "application/pdf", 12, ""}};
  return MakeRaster(dir.file("black.pwg"), {"--pwg", "black_1", "-n", "2", "--size", "A5", "--pbm", dir.file("black")}) &&
         MakeRaster(dir.file("gray.urf"), {"--pwg", "sgray_8", "--urf", "-n", "2", "--size", "A5"}) &&
         MakeRaster(dir.file("gray.pwg"), {"--pwg", "sgray_8", "-n", "1", "--size", "A4"}) &&
         MakeRaster(dir.file("colour.urf"), {"--pwg", "srgb_8", "--urf", "-n", "1", "--size", "A6"}) &&
         pdf("text", 2) && pdf("long", 12);
}

// Job i: every tenth is cancelled, every tenth dropped halfway through its document
// (Print-Job or Send-Document); the others print, formats and operations taking turns
// on both printers.
Job PlanJob(int i) {
  const bool cancel = i % 10 == 9;
  return {i, cancel || (i / 10) % 2 == 0 ? "sock" : "file", cancel ? 5u : static_cast<size_t>(i % 5),
          i % 3 == 1, cancel ? Fate::Cancel : i % 10 == 7 ? Fate::Drop : Fate::Print, 0, 0, ""};
}

}  // namespace

int main(int argc, char **argv) {
  std::map<std::string, long> option = {{"--clients", 8}, {"--jobs", 60}, {"--bound", 60}, {"--max-growth-kib", -1}};
  for (int i = 1; i < argc; i += 2) {
    if (!option.count(argv[i]) || i + 1 == argc) return 2;
    option[argv[i]] = atol(argv[i + 1]);  // the last of each counts
  }
  const int clients = std::max(1L, option["--clients"]), jobCount = std::max(4L, option["--jobs"]);
  const int bound = std::max(5L, option["--bound"]);
  const long maxGrowthKiB = option["--max-growth-kib"];
  signal(SIGPIPE, SIG_IGN);
  TempDir dir;
  Run run;
  run.bound = bound;
  SlowPrinter printer;
  AppServer server(dir.path(), {"log-level=info"});
  run.server = &server;
  http_t *local = nullptr;
  int printerPort = 0;
  if (!MakeDocuments(dir, &run.documents) || mkdir(dir.file("dev").c_str(), 0755) != 0 ||
      (printerPort = printer.Start()) == 0 || !server.Start() || (local = server.ConnectLocal()) == nullptr ||
      CreatePrinter(local, "sock", "socket://127.0.0.1:" + std::to_string(printerPort)) != IPP_STATUS_OK ||
      CreatePrinter(local, "file", "file://" + dir.file("dev")) != IPP_STATUS_OK) {
    std::cerr << "app_load: cannot set up the documents, the server and its printers\n";
    return 1;
  }
  httpClose(local);
  for (int i = 0; i < jobCount; ++i) run.jobs.push_back(PlanJob(i));

  const Clock::time_point start = Clock::now();
  std::vector<long> memory = {MemoryKiB(server.pid(), "VmRSS:")};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) threads.emplace_back(Client, std::ref(run));
  threads.emplace_back(Poller, std::ref(run), false);
  threads.emplace_back(Poller, std::ref(run), true);
  // Watches the server while the clients send: a crash or a hang ends the run. Once a
  // quarter is sent, waits until each job of it that the server took has ended.
  for (size_t quarter = 1; quarter <= 4 && !run.stop; ++quarter) {
    run.limit = run.jobs.size() * quarter / 4;
    for (bool ended = false; !run.stop && !ended;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      siginfo_t info = {};
      if (waitid(P_PID, static_cast<id_t>(server.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          info.si_pid == server.pid()) {
        run.Fail("the server died: " + std::string(info.si_code == CLD_EXITED ? "it exited" : strsignal(info.si_status)));
        run.stop = true;
      }
      if (run.stop || run.sent < run.limit) continue;
      ended = true;
      for (Job &job : run.jobs) {
        if (job.id > 0 && job.state < IPP_JSTATE_CANCELED) {
          job.state = StateOf(run, server.PrinterUri(job.printer), job.id, &job.reasons);
          ended = ended && job.state >= IPP_JSTATE_CANCELED;
        }
      }
      if (Since(start) > 60.0 * 60) run.Fail("jobs that never end", true);
    }
    memory.push_back(MemoryKiB(server.pid(), "VmRSS:"));
  }
  if (!run.hang.empty()) {
    std::cerr << "app_load: HANG: " << run.hang << " not answered within " << bound << " s\n";
    RunOptions gdb;
    gdb.stdoutPath = dir.file("threads.txt");
    RunProgram({"timeout", "120", "gdb", "-p", std::to_string(server.pid()), "-batch", "-nx", "-ex",
                "set pagination off", "-ex", "thread apply all bt"}, gdb);
    std::cerr << "---- the server's threads (gdb)\n" << ReadFileText(gdb.stdoutPath) << "----\n";
    kill(server.pid(), SIGKILL);
  }
  run.stop = true;
  for (std::thread &thread : threads) thread.join();
  const double minutes = Since(start) / 60;
  const long peakKiB = MemoryKiB(server.pid(), "VmHWM:");

  // Every job the server took ended as its client made it end, and every printed job's
  // stream holds its pages. The server goes first: it closes the printer's connection.
  server.Stop();
  const std::map<int, std::string> streams = printer.Streams();
  int ended[IPP_JSTATE_COMPLETED + 1] = {};
  for (const Job &job : run.jobs) {
    if (job.id <= 0 || !run.hang.empty()) continue;
    const std::string name = "load-" + std::to_string(job.index);
    const bool expected = job.fate == Fate::Print    ? job.state == IPP_JSTATE_COMPLETED
                          : job.fate == Fate::Cancel ? job.state == IPP_JSTATE_CANCELED || job.state == IPP_JSTATE_COMPLETED
                                                     : job.state == IPP_JSTATE_ABORTED;
    if (!expected) run.Fail(name + " (job " + std::to_string(job.id) + ") ended in state " + std::to_string(job.state));
    // A job that did not print says why.
    const char *reason = job.state == IPP_JSTATE_CANCELED  ? "job-canceled-by-user"
                         : job.state == IPP_JSTATE_ABORTED ? "aborted-by-system"
                                                           : "job-completed-successfully";
    if (job.reasons.find(reason) == std::string::npos) {
      run.Fail(name + " (job " + std::to_string(job.id) + ") ended in state " + std::to_string(job.state) +
               " with the reasons \"" + job.reasons + "\"");
    }
    ++ended[std::min(std::max(job.state, 0), static_cast<int>(IPP_JSTATE_COMPLETED))];
    if (job.state != IPP_JSTATE_COMPLETED) continue;
    std::string file = dir.file("dev/" + name + ".prn");
    if (job.printer == "sock") {
      file = dir.file(name + ".prn");
      WriteFileText(file, streams.count(job.id) ? streams.at(job.id) : "");
    }
    const std::string fault = CheckStream(file, run.documents[job.document]);
    if (!fault.empty()) run.Fail(name + " (job " + std::to_string(job.id) + " on " + job.printer + "): " + fault);
  }
  if (server.exitStatus() != 0) run.Fail("the server's exit status " + std::to_string(server.exitStatus()) + server.SanitizerReports());
  const long growth = memory.size() == 5 ? memory[4] - memory[1] : 0;
  if (maxGrowthKiB >= 0 && growth > maxGrowthKiB) run.Fail("the server grew by " + std::to_string(growth) + " KiB");
  std::string quarters;
  for (size_t i = 1; i < memory.size(); ++i) quarters += (i > 1 ? ", " : "") + std::to_string(memory[i]);
  printf("app_load: %d jobs (%d completed, %d canceled, %d aborted; %d busy answers retried), %d clients, "
         "%.1f minutes, %.0f jobs per minute; server memory %ld KiB at the start, %s KiB after each quarter "
         "of the jobs (%+ld KiB from the first), %ld KiB at its peak; %zu failures\n",
         jobCount, ended[IPP_JSTATE_COMPLETED], ended[IPP_JSTATE_CANCELED], ended[IPP_JSTATE_ABORTED],
         run.busy.load(), clients, minutes, jobCount / std::max(minutes, 1e-6), memory[0], quarters.c_str(),
         growth, peakKiB, run.failures.size() + !run.hang.empty());
  for (const std::string &failure : run.failures) std::cerr << "FAIL: " << failure << "\n";
  if (run.failures.empty() && run.hang.empty()) return 0;
  const std::string log = server.Log();
  std::cerr << "---- server log (end)\n" << log.substr(log.size() > 4000 ? log.size() - 4000 : 0) << "----\n";
  return 1;
}
