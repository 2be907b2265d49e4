#include "DocumentName.h"

#include <cstring>

#include "Log.h"
#include "Utf8Prefix.h"

void getDocumenName(const char *title, char **docName, const JobLog &log) {
  LogLine(log, "DEBUG: Enter getDocumenName!\n");
  if (title == nullptr) title = "";
  const char *name = title;
  if (const char *slash = strrchr(title, '/'); slash != nullptr) {
    name = slash + 1;
    LogLine(log, "DEBUG: getDocumenName:remove dir.\n");
  } else {
    LogLine(log, "DEBUG: getDocumenName:param not include dir.\n");
  }
  if (docName != nullptr && *docName != nullptr) {
    char *out = *docName;
    // A longer title is cut rather than spilled past the caller's buffer, and never
    // inside a character: the printer shows the name.
    const size_t length = Utf8PrefixLength(name, DOC_NAME_BUFFER_SIZE - 1);
    memcpy(out, name, length);
    out[length] = '\0';
    // Words behind the file name's extension ("report.pdf - Viewer") are dropped;
    // the first "." decides, so spaces before it stay.
    if (char *dot = strchr(out, '.'); dot != nullptr) {
      LogLine(log, "DEBUG: getDocumenName:find expanded flag.\n");
      if (char *space = strchr(dot, ' '); space != nullptr) {
        *space = '\0';
        LogLine(log, "DEBUG: getDocumenName:set DocName string terminal.\n");
      }
    }
  }
  LogLine(log, "DEBUG: Exit getDocumenName!\n");
}
