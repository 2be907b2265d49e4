#pragma once
// Helpers shared by the test programs: running the built executables, temporary
// directories, files.

#include <map>
#include <string>
#include <vector>

struct RunResult {
  int exitStatus = -1;   // exit status, or 128 + signal when the process was killed
  std::string out;       // standard output, byte for byte
  std::string err;       // standard error
};

struct RunOptions {
  std::string stdinPath;                      // empty: /dev/null
  std::map<std::string, std::string> setEnv;  // added to (or replacing in) the environment
  std::vector<std::string> unsetEnv;
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

std::string ReadFileText(const std::string &path);
void WriteFileText(const std::string &path, const std::string &text);
bool FileExists(const std::string &path);
// Lines of text split at '\n' (the last line kept even without its line feed).
std::vector<std::string> SplitLines(const std::string &text);
