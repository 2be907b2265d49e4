#include "CommandLine.h"

#include <cups/cups.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "IppJobAttributes.h"

namespace {

// The options of papplMainloop that take a value in the next argument.
bool TakesValue(const std::string &arg) {
  return arg.size() == 2 && arg[0] == '-' && strchr("dhjmnotuv", arg[1]) != nullptr;
}

bool CopiesOption(const std::string &count, std::string *option, std::string *error) {
  char *end = nullptr;
  errno = 0;
  const long copies = strtol(count.c_str(), &end, 10);
  if (errno != 0 || end == count.c_str() || *end != '\0' || copies < 1 || copies > IPP_COPIES_MAX) {
    *error = "-n takes a number of copies from 1 to 999, not \"" + count + "\"";
    return false;
  }
  *option = "copies=" + std::to_string(copies);
  return true;
}

// A file: device is a directory the server writes one file per job into, or a file it
// appends to; either must be there.
bool CheckFileDevice(const std::string &uri, std::string *error) {
  char scheme[32], user[256], host[256], resource[1024];
  int port = 0;
  if (httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, user, sizeof user,
                      host, sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK ||
      strcmp(scheme, "file") != 0) {
    return true;
  }
  if (char *options = strchr(resource, '?'); options != nullptr) *options = '\0';
  struct stat info;
  if (stat(resource, &info) == 0) return true;
  const int cause = errno;
  *error = "the device " + uri + " cannot be used: " + resource +
           (cause == ENOENT ? " does not exist" : std::string(": ") + strerror(cause)) +
           ". A file: device names a directory, which gets one file per job, or a file; "
           "make it first, writable by the server.";
  return false;
}

}  // namespace

bool PrepareCommandLine(int argc, char *argv[], std::vector<std::string> *args, std::string *error) {
  args->assign(argv, argv + argc);
  bool remoteServer = false;
  std::string fileDevice;
  for (size_t i = 1; i + 1 < args->size(); ++i) {
    std::string &arg = (*args)[i];
    if (arg == "--") {
      ++i;
    } else if (arg == "-n") {
      std::string option;
      if (!CopiesOption((*args)[i + 1], &option, error)) return false;
      arg = "-o";
      (*args)[++i] = option;
    } else if (TakesValue(arg)) {
      if (arg == "-u") remoteServer = true;
      if (arg == "-v") fileDevice = (*args)[i + 1];
      ++i;
    }
  }
  // Through -u the server may be on another machine, where the path means something else.
  return remoteServer || fileDevice.empty() || CheckFileDevice(fileDevice, error);
}
