#include "CoreLog.h"

#include <cstring>

namespace {

void LogCoreLine(void *data, const char *line, size_t length) {
  const CoreLogTarget *target = static_cast<const CoreLogTarget *>(data);
  std::string text;
  const pappl_loglevel_t level = CoreLineLevel(line, length, &text);
  // The text is an argument, never the format: a title may hold "%".
  if (target->job != nullptr) {
    papplLogJob(target->job, level, "%s", text.c_str());
  } else if (target->printer != nullptr) {
    papplLogPrinter(target->printer, level, "%s", text.c_str());
  } else if (target->system != nullptr) {
    papplLog(target->system, level, "%s", text.c_str());
  }
}

}  // namespace

JobLog CoreLogFor(CoreLogTarget *target) { return JobLog{LogCoreLine, target}; }

pappl_loglevel_t CoreLineLevel(const char *line, size_t length, std::string *text) {
  struct Prefix {
    const char *text;
    pappl_loglevel_t level;
  };
  static const Prefix prefixes[] = {
      {"DEBUG: ", PAPPL_LOGLEVEL_DEBUG},
      {"INFO: ", PAPPL_LOGLEVEL_INFO},
      {"WARNING: ", PAPPL_LOGLEVEL_WARN},
      {"ERROR: ", PAPPL_LOGLEVEL_ERROR},
  };
  // PAPPL ends every line itself.
  if (length > 0 && line[length - 1] == '\n') --length;
  pappl_loglevel_t level = PAPPL_LOGLEVEL_DEBUG;
  size_t skip = 0;
  for (const Prefix &prefix : prefixes) {
    const size_t prefixLength = strlen(prefix.text);
    if (length >= prefixLength && strncmp(line, prefix.text, prefixLength) == 0) {
      level = prefix.level;
      skip = prefixLength;
      break;
    }
  }
  text->assign(line + skip, length - skip);
  return level;
}
