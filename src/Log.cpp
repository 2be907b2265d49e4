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

std::string MaskSecretsInOptions(const char *options) {
  static constexpr char secretKey[] = "AuthPassword=";
  const std::string text = options != nullptr ? options : "";
  std::string shown;
  size_t position = 0;
  while (position < text.size()) {
    const size_t found = text.find(secretKey, position);
    if (found == std::string::npos) break;
    size_t valueStart = found + sizeof secretKey - 1;
    shown.append(text, position, valueStart - position);
    size_t valueEnd = text.find(' ', valueStart);
    if (valueStart < text.size() && (text[valueStart] == '\'' || text[valueStart] == '"')) {
      const size_t closing = text.find(text[valueStart], valueStart + 1);
      if (closing != std::string::npos) valueEnd = closing + 1;
    }
    if (valueEnd == std::string::npos) valueEnd = text.size();
    if (valueEnd > valueStart) shown += SECRET_MASK;
    position = valueEnd;
  }
  if (position < text.size()) shown.append(text, position, std::string::npos);
  return shown;
}
