#pragma once
// A real quenmark-printer-app server for the tests: a free loopback port, its own spool
// directory, state file, log and domain socket in a directory of its own, stopped by the
// destructor (and by the kernel when the test process dies). IPP helpers on top of libcups.

#include <cups/cups.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "StreamReader.h"

class AppServer {
 public:
  // dir: an existing directory the server may fill; options: further -o NAME=VALUE.
  explicit AppServer(std::string dir, std::vector<std::string> options = {});
  ~AppServer();
  AppServer(const AppServer &) = delete;
  AppServer &operator=(const AppServer &) = delete;

  // Starts the server (again, after Stop, on the same port, state and spool).
  bool Start();
  // Asks the server to shut down, then stops it by its process id.
  void Stop();
  bool running() const { return pid_ > 0; }
  // The peak resident memory of the server's last run, in KiB, once it has stopped.
  long peakMemoryKiB() const { return peakMemoryKiB_; }
  // How the last run ended: its exit status, 128 + the signal that killed it, -1 before.
  int exitStatus() const { return exitStatus_; }

  int port() const { return port_; }
  int pid() const { return pid_; }
  const std::string &dir() const { return dir_; }
  std::string socketPath() const { return dir_ + "/quenmark-printer-app.sock"; }
  std::string logPath() const { return dir_ + "/server.log"; }
  std::string Log() const;
  // What the sanitizers reported, when the server runs under them.
  std::string SanitizerReports() const;
  std::string PrinterUri(const std::string &printer) const;

  // The administrator's door (the domain socket) and a network client's (loopback TCP).
  http_t *ConnectLocal() const;
  http_t *ConnectNetwork() const;

 private:
  std::string dir_;
  std::vector<std::string> options_;
  int port_ = 0;
  pid_t pid_ = -1;
  long peakMemoryKiB_ = 0;
  int exitStatus_ = -1;
};

// An IPP attribute of a job request: the group is the job template group unless the name
// is an operation attribute. A MediaCol value is "SIZE-NAME SOURCE" (media-col with
// media-size-name and media-source).
struct JobAttribute {
  enum Kind { Keyword, Name, Integer, Resolution, Text, MediaCol, Octets } kind;
  std::string name;
  std::string value;
};

// Create-Printer with the quenmark driver; returns the IPP status.
ipp_status_t CreatePrinter(http_t *http, const std::string &name, const std::string &deviceUri);
ipp_status_t DeletePrinter(http_t *http, int printerId);
// Get-Printer-Attributes for one attribute (or group, "all"); the response, null when none.
ipp_t *GetPrinterAttribute(http_t *http, const std::string &printerUri, const char *name);
int PrinterId(http_t *http, const std::string &printerUri);
bool PrinterExists(http_t *http, const std::string &printerUri);

// Print-Job of a file; the job id, or 0 with *status set.
int PrintFile(http_t *http, const std::string &printerUri, const std::string &file,
              const std::string &format, const std::vector<JobAttribute> &attributes,
              ipp_status_t *status = nullptr);
// Validate-Job with the attributes; the IPP status.
ipp_status_t ValidateJob(http_t *http, const std::string &printerUri, const std::string &format,
                         const std::vector<JobAttribute> &attributes);
// The job's state, 0 when it cannot be asked.
int JobState(http_t *http, const std::string &printerUri, int jobId);
// Waits until the job has ended (completed, canceled or aborted), or the time is up;
// returns the last state seen.
int WaitForJobEnd(http_t *http, const std::string &printerUri, int jobId, int seconds);
// Waits until the job reaches the state; false when the time is up first.
bool WaitForJobState(http_t *http, const std::string &printerUri, int jobId, int state,
                     int seconds);
ipp_status_t PausePrinter(http_t *http, const std::string &printerUri);
ipp_status_t CancelJob(http_t *http, const std::string &printerUri, int jobId);

// A printer stream from a file: parsed, checked, every record decoded.
struct DecodedStream {
  bool ok = false;
  std::string error;
  ParsedStream stream;
  std::vector<PageBitmap> pages;
};
DecodedStream DecodeStreamFile(const std::string &path);
// The records of a well-formed stream file, its pages left encoded; 0 for a bad one.
std::size_t StreamRecordCount(const std::string &path);

// A free TCP port on the loopback interface (free when asked).
int FreeLoopbackPort();
// Binds the socket to a free loopback port and, if asked, listens on it; the port, or 0.
int ListenOnLoopback(int fd, bool listening = true);
