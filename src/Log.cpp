#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void LogLine(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

const char *LoggableParamValue(const char *key, const char *value) {
  if (key != nullptr && value != nullptr && value[0] != '\0' && strcmp(key, "AuthPassword") == 0) {
    return SECRET_MASK;
  }
  return value;
}
