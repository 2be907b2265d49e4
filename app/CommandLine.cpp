#include "CommandLine.h"


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

}  // namespace

bool PrepareCommandLine(int argc, char *argv[], std::vector<std::string> *args, std::string *error) {
  args->assign(argv, argv + argc);
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
      ++i;
    }
  }
  return true;
}
