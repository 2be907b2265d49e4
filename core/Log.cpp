#include "Log.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The scheduler reads our standard error line by line and acts on some lines ("PAGE:",
// "ATTR:", "PPD:"); a title or an option carrying a line end must not start a line of
// its own. Every control character but the line's own final line feed becomes a space.
void WriteCleanLine(const JobLog &log, char *text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const unsigned char ch = static_cast<unsigned char>(text[i]);
    const bool finalLineFeed = ch == '\n' && i + 1 == length;
    if ((ch < 0x20 && !finalLineFeed) || ch == 0x7f) text[i] = ' ';
  }
  log.write(log.data, text, length);
}

}  // namespace

void LogLine(const JobLog &log, const char *format, ...) {
  if (log.write == nullptr) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length >= 0 && static_cast<size_t>(length) < sizeof line) {
    WriteCleanLine(log, line, static_cast<size_t>(length));
  } else if (length >= 0) {
    // Long lines (the job parameter string) are rare: they get a buffer of their own.
    char *longLine = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (longLine != nullptr) {
      vsnprintf(longLine, static_cast<size_t>(length) + 1, format, again);
      WriteCleanLine(log, longLine, static_cast<size_t>(length));
      free(longLine);
    }
  }
  va_end(again);
}

void WriteLineToStderr(void *, const char *line, size_t length) { fwrite(line, 1, length, stderr); }

bool IsSecretParamName(const char *name) {
  return name != nullptr && strcasecmp(name, "AuthPassword") == 0;
}

const char *LoggableParamValue(const char *key, const char *value) {
  if (value != nullptr && value[0] != '\0' && IsSecretParamName(key)) return SECRET_MASK;
  return value;
}
