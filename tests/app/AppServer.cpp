#include "AppServer.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

void Sleep(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

ipp_t *NewRequest(ipp_op_t operation, const char *uriName, const std::string &uri) {
  ipp_t *request = ippNewRequest(operation);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, uriName, nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               "tester");
  return request;
}

std::string ResourceOf(const std::string &uri) {
  const size_t scheme = uri.find("://");
  const size_t slash = uri.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  return slash == std::string::npos ? "/" : uri.substr(slash);
}

bool IsOperationAttribute(const std::string &name) {
  return name == "job-name" || name == "document-format" || name == "document-name" ||
         name == "requesting-user-name" || name == "compression" || name == "job-password" ||
         name == "job-password-encryption";
}

}  // namespace

AppServer::AppServer(std::string dir, std::vector<std::string> options)
    : dir_(std::move(dir)), options_(std::move(options)) {}

AppServer::~AppServer() { Stop(); }

bool AppServer::Start() {
  if (pid_ > 0) return true;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (port_ == 0 || attempt > 0) port_ = FreeLoopbackPort();
    unlink(socketPath().c_str());
    std::vector<std::string> args = {
        QUENMARK_APP_PATH, "server",
        "-o", "server-port=" + std::to_string(port_),
        "-o", "listen-hostname=localhost",
        "-o", "spool-directory=" + dir_ + "/spool",
        "-o", "state-file=" + dir_ + "/state",
        "-o", "log-file=" + logPath(),
        "-o", "log-level=debug",
    };
    for (const std::string &option : options_) {
      args.push_back("-o");
      args.push_back(option);
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      // The server ends with the test, however the test ends.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      // The domain socket of a root server lies in SNAP_COMMON when that is set: a
      // private one, out of the way of an installed service and of other tests.
      setenv("SNAP_COMMON", dir_.c_str(), 1);
      // Under the sanitizers, PAPPL's own leaks are not the server's.
      const std::string suppressions =
          std::string("suppressions=") + QUENMARK_APP_LSAN_SUPPRESSIONS + ":print_suppressions=0";
      setenv("LSAN_OPTIONS", suppressions.c_str(), 1);
      // Their reports into files beside the log: the server's standard error is its log pipe.
      const char *asan = getenv("ASAN_OPTIONS");
      const std::string reports = std::string(asan != nullptr ? asan : "") +
                                  ":fast_unwind_on_malloc=0:log_path=" + dir_ + "/sanitizer";
      setenv("ASAN_OPTIONS", reports.c_str(), 1);
      const std::string out = dir_ + "/server.out";
      FILE *redirect = freopen(out.c_str(), "a", stdout);
      if (redirect != nullptr) dup2(STDOUT_FILENO, STDERR_FILENO);
      std::vector<char *> argv;
      for (std::string &arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    pid_ = pid;
    for (int tries = 0; tries < 200; ++tries) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      struct stat info;
      if (stat(socketPath().c_str(), &info) == 0) {
        http_t *http = ConnectNetwork();
        if (http != nullptr) {
          httpClose(http);
          return true;
        }
      }
      Sleep(50);
    }
    if (pid_ > 0) {
      Stop();
      return false;
    }
  }
  return false;
}

void AppServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  rusage usage = {};
  // The server stops within 10 seconds in every state; past that it is killed.
  for (int tries = 0; tries < 240; ++tries) {
    if (wait4(pid_, &status, WNOHANG, &usage) == pid_) {
      peakMemoryKiB_ = usage.ru_maxrss;
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return;
    }
    Sleep(50);
  }
  kill(pid_, SIGKILL);
  wait4(pid_, &status, 0, &usage);
  peakMemoryKiB_ = usage.ru_maxrss;
  exitStatus_ = 128 + SIGKILL;
  pid_ = -1;
}

// PAPPL starts a new log past its size limit and keeps the last one as LOG.O: a long job
// at debug level gets there.
std::string AppServer::Log() const {
  std::stringstream text;
  for (const std::string &path : {logPath() + ".O", logPath()}) {
    std::ifstream in(path);
    if (in) text << in.rdbuf();
  }
  return text.str();
}

std::string AppServer::SanitizerReports() const {
  std::string reports;
  std::error_code ignored;
  for (const auto &entry : std::filesystem::directory_iterator(dir_, ignored)) {
    if (entry.path().filename().string().rfind("sanitizer", 0) != 0) continue;
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    reports += text.str();
  }
  return reports;
}

std::string AppServer::PrinterUri(const std::string &printer) const {
  return "ipp://localhost:" + std::to_string(port_) + "/ipp/print/" + printer;
}

http_t *AppServer::ConnectLocal() const {
  return httpConnect2(socketPath().c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                      30000, nullptr);
}

http_t *AppServer::ConnectNetwork() const {
  return httpConnect2("localhost", port_, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1,
                      30000, nullptr);
}

ipp_status_t CreatePrinter(http_t *http, const std::string &name, const std::string &deviceUri) {
  ipp_t *request = NewRequest(IPP_OP_CREATE_PRINTER, "system-uri", "ipp://localhost/ipp/system");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "printer-service-type", nullptr, "print");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "smi55357-driver", nullptr, "quenmark");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "smi55357-device-uri", nullptr,
               deviceUri.c_str());
  ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr, name.c_str());
  ippDelete(cupsDoRequest(http, request, "/ipp/system"));
  return cupsLastError();
}

ipp_status_t DeletePrinter(http_t *http, int printerId) {
  ipp_t *request = NewRequest(IPP_OP_DELETE_PRINTER, "system-uri", "ipp://localhost/ipp/system");
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "printer-id", printerId);
  ippDelete(cupsDoRequest(http, request, "/ipp/system"));
  return cupsLastError();
}

// Get-Printer-Attributes for one attribute; the response, null when none came.
ipp_t *GetPrinterAttribute(http_t *http, const std::string &printerUri, const char *name) {
  ipp_t *request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, "printer-uri", printerUri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, name);
  return cupsDoRequest(http, request, ResourceOf(printerUri).c_str());
}

int PrinterId(http_t *http, const std::string &printerUri) {
  ipp_t *response = GetPrinterAttribute(http, printerUri, "printer-id");
  const int id = ippGetInteger(ippFindAttribute(response, "printer-id", IPP_TAG_INTEGER), 0);
  ippDelete(response);
  return id;
}

bool PrinterExists(http_t *http, const std::string &printerUri) {
  ippDelete(GetPrinterAttribute(http, printerUri, "printer-name"));
  return cupsLastError() == IPP_STATUS_OK;
}

namespace {

ipp_t *JobRequest(ipp_op_t operation, const std::string &printerUri, const std::string &format,
                  const std::vector<JobAttribute> &attributes) {
  ipp_t *request = NewRequest(operation, "printer-uri", printerUri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
               format.c_str());
  // IPP wants the operation attributes first, then the job's.
  std::vector<JobAttribute> ordered;
  for (const JobAttribute &attribute : attributes) {
    if (IsOperationAttribute(attribute.name)) ordered.push_back(attribute);
  }
  for (const JobAttribute &attribute : attributes) {
    if (!IsOperationAttribute(attribute.name)) ordered.push_back(attribute);
  }
  for (const JobAttribute &attribute : ordered) {
    const ipp_tag_t group = IsOperationAttribute(attribute.name) ? IPP_TAG_OPERATION : IPP_TAG_JOB;
    const char *name = attribute.name.c_str();
    const char *value = attribute.value.c_str();
    switch (attribute.kind) {
      case JobAttribute::Keyword:
        ippAddString(request, group, IPP_TAG_KEYWORD, name, nullptr, value);
        break;
      case JobAttribute::Name:
        ippAddString(request, group, IPP_TAG_NAME, name, nullptr, value);
        break;
      case JobAttribute::Octets:
        ippAddOctetString(request, group, name, value, static_cast<int>(attribute.value.size()));
        break;
      case JobAttribute::Text:
        ippAddString(request, group, IPP_TAG_TEXT, name, nullptr, value);
        break;
      case JobAttribute::Integer:
        ippAddInteger(request, group, IPP_TAG_INTEGER, name, atoi(value));
        break;
      case JobAttribute::MediaCol: {
        const size_t space = attribute.value.find(' ');
        ipp_t *col = ippNew();
        ippAddString(col, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-size-name", nullptr,
                     attribute.value.substr(0, space).c_str());
        if (space != std::string::npos) {
          ippAddString(col, IPP_TAG_ZERO, IPP_TAG_KEYWORD, "media-source", nullptr,
                       attribute.value.substr(space + 1).c_str());
        }
        ippAddCollection(request, group, name, col);
        ippDelete(col);
        break;
      }
      case JobAttribute::Resolution: {
        const int dpi = atoi(value);
        ippAddResolution(request, group, name, IPP_RES_PER_INCH, dpi, dpi);
        break;
      }
    }
  }
  return request;
}

}  // namespace

ipp_status_t ValidateJob(http_t *http, const std::string &printerUri, const std::string &format,
                         const std::vector<JobAttribute> &attributes) {
  ipp_t *request = JobRequest(IPP_OP_VALIDATE_JOB, printerUri, format, attributes);
  ippDelete(cupsDoRequest(http, request, ResourceOf(printerUri).c_str()));
  return cupsLastError();
}

int PrintFile(http_t *http, const std::string &printerUri, const std::string &file,
              const std::string &format, const std::vector<JobAttribute> &attributes,
              ipp_status_t *status) {
  ipp_t *request = JobRequest(IPP_OP_PRINT_JOB, printerUri, format, attributes);
  ipp_t *response = cupsDoFileRequest(http, request, ResourceOf(printerUri).c_str(), file.c_str());
  if (status != nullptr) *status = cupsLastError();
  const int id = ippGetInteger(ippFindAttribute(response, "job-id", IPP_TAG_INTEGER), 0);
  ippDelete(response);
  return id;
}

int JobState(http_t *http, const std::string &printerUri, int jobId) {
  ipp_t *request = NewRequest(IPP_OP_GET_JOB_ATTRIBUTES, "printer-uri", printerUri);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "job-state");
  ipp_t *response = cupsDoRequest(http, request, ResourceOf(printerUri).c_str());
  const int state = ippGetInteger(ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0);
  ippDelete(response);
  return state;
}

int WaitForJobEnd(http_t *http, const std::string &printerUri, int jobId, int seconds) {
  int state = 0;
  for (int tries = 0; tries < seconds * 10; ++tries) {
    state = JobState(http, printerUri, jobId);
    if (state >= IPP_JSTATE_CANCELED) return state;
    Sleep(100);
  }
  return state;
}

bool WaitForJobState(http_t *http, const std::string &printerUri, int jobId, int wanted,
                     int seconds) {
  for (int tries = 0; tries < seconds * 10; ++tries) {
    if (JobState(http, printerUri, jobId) == wanted) return true;
    Sleep(100);
  }
  return false;
}

ipp_status_t PausePrinter(http_t *http, const std::string &printerUri) {
  ippDelete(cupsDoRequest(http, NewRequest(IPP_OP_PAUSE_PRINTER, "printer-uri", printerUri),
                          ResourceOf(printerUri).c_str()));
  return cupsLastError();
}

ipp_status_t CancelJob(http_t *http, const std::string &printerUri, int jobId) {
  ipp_t *request = NewRequest(IPP_OP_CANCEL_JOB, "printer-uri", printerUri);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
  ippDelete(cupsDoRequest(http, request, ResourceOf(printerUri).c_str()));
  return cupsLastError();
}

DecodedStream DecodeStreamFile(const std::string &path) {
  DecodedStream decoded;
  std::vector<unsigned char> bytes;
  if (!ReadWholeFile(path, &bytes, &decoded.error)) return decoded;
  if (!ParsePrinterStream(bytes, &decoded.stream, &decoded.error) ||
      !CheckRecordSequence(decoded.stream, &decoded.error)) {
    return decoded;
  }
  for (const StreamRecord &record : decoded.stream.records) {
    PageBitmap page;
    if (!DecodeJbig(bytes.data() + record.dataOffset, record.jbg_size, &page, &decoded.error)) {
      return decoded;
    }
    decoded.pages.push_back(std::move(page));
  }
  decoded.ok = true;
  return decoded;
}

std::size_t StreamRecordCount(const std::string &path) {
  std::vector<unsigned char> bytes;
  ParsedStream stream;
  std::string error;
  if (!ReadWholeFile(path, &bytes, &error) || !ParsePrinterStream(bytes, &stream, &error) ||
      !CheckRecordSequence(stream, &error)) {
    return 0;
  }
  return stream.records.size();
}

int ListenOnLoopback(int fd, bool listening) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                     (!listening || listen(fd, 4) == 0) &&
                     getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0;
  return bound ? ntohs(address.sin_port) : 0;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int port = ListenOnLoopback(fd, false);
  if (fd >= 0) close(fd);
  return port;
}
