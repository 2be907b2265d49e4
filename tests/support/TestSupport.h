#pragma once
// Helpers shared by the test programs: running the built executables, temporary
// directories, files.

#include <map>

#include "StreamReader.h"
#include <string>
#include <vector>

struct RunResult {
  int exitStatus = -1;   // exit status, or 128 + signal when the process was killed
  std::string out;       // standard output, byte for byte
  std::string err;       // standard error
};

struct RunOptions {
  std::string stdinPath;                      // empty: /dev/null
  std::string stdoutPath;                     // empty: captured into RunResult::out
  std::map<std::string, std::string> setEnv;  // added to (or replacing in) the environment
  std::vector<std::string> unsetEnv;
  std::vector<int> closedFds;    // standard descriptors (0, 1, 2) the program starts without
  bool ownProcessGroup = false;  // a process group of its own, as the scheduler starts filters
  int umask = -1;                // the umask the program starts with; -1: ours
};

// Runs argv[0] with the given arguments and waits for it.
RunResult RunProgram(const std::vector<std::string> &argv, const RunOptions &options = {});

// The filter with the six standard arguments (and an optional seventh).
RunResult RunFilter(const std::vector<std::string> &args, const RunOptions &options = {});

// A fresh directory under the system's temporary directory, removed by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Removes the filter's work directory /tmp/quenmark and its lock file; the next run of the
// filter makes them anew.
void ClearFilterFixedPaths();

std::string ReadFileText(const std::string &path);
void WriteFileText(const std::string &path, const std::string &text);
bool FileExists(const std::string &path);
// Lines of text split at '\n' (the last line kept even without its line feed).
std::vector<std::string> SplitLines(const std::string &text);

// A small, valid PPD for the filter's tests, written into dir. The defaults name the
// PPD's default choice per main keyword (PageSize, InputSlot, Resolution, Duplex,
// FeedEdge, MediaType); a keyword given an empty default is left out of the PPD.
std::string WriteTestPpd(const std::string &dir,
                         const std::map<std::string, std::string> &defaults = {});

// What a stand-in encoder does at its side.
enum class EncoderFault {
  CancelFilter,        // SIGTERM to the filter alone; then the real encoder runs
  CancelProcessGroup,  // half the real output, then SIGTERM to the filter's whole process
                       // group, itself included, as the scheduler cancels a job
  HalfOutputExit1,     // half the real output, then exit status 1
  HalfOutputSigkill,   // half the real output, then killed by SIGKILL
  StaleFileExit2,      // an 11-byte file, "premature end of file" on stderr, exit status 2
};

// An executable stand-in for the encoder, named pbmtojbg, in dir; put dir first in PATH.
// It runs the real encoder for every side but side (0: none), where it does fault.
std::string WriteEncoderStandIn(const std::string &dir, int side,
                                EncoderFault fault = EncoderFault::CancelFilter);

// Makes a raster file with the raster maker; the arguments follow its command line.
bool MakeRaster(const std::string &output, const std::vector<std::string> &args);

// PATH with dir in front.
std::string PathWith(const std::string &dir);

// One run of the filter on a raster file, with its stream parsed and checked.
struct FilterJobOutcome {
  RunResult run;
  ParsedStream stream;
  bool parsed = false;        // structure and record sequence are sound
  std::string streamError;
  std::vector<PageBitmap> pages;  // every record's JBIG data, decoded
};

struct FilterJobRequest {
  std::string rasterPath;
  std::string ppdPath;            // empty: PPD unset
  std::string jobId = "345";
  std::string user = "alice";
  std::string title = "report.pdf";
  std::string copies = "1";
  std::string options;
  std::string seventhArgument;    // empty: six arguments
  std::string pathPrefix;         // a directory put first in PATH (a stand-in encoder)
  std::vector<std::string> launcher;  // runs the filter: launcher..., filter, arguments...
  std::string program;                // empty: the filter of the build
  std::vector<int> closedFds;     // as in RunOptions
  bool ownProcessGroup = false;
  int umask = -1;
};

FilterJobOutcome RunFilterJob(const FilterJobRequest &request);
// quenmark_convert with the given arguments on a raster read from standard input.
FilterJobOutcome RunConvertJob(const std::string &rasterPath, const std::vector<std::string> &args);
// A finished run whose standard output is a printer stream: the stream parsed and
// checked, every record decoded.
FilterJobOutcome ParseFilterOutcome(RunResult run);

// The page as the filter turns it by angle (the in-memory turn of the library).
PageBitmap TurnedPage(const PageBitmap &page, int angle);
PageBitmap LoadPbm(const std::string &path);
