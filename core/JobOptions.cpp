#include "JobOptions.h"

#include <strings.h>

#include <cstring>

#include "Log.h"

JobOptions ParseJobOptions(const char *text) {
  JobOptions parsed;
  AddJobOptions(&parsed, text);
  return parsed;
}

void AddJobOptions(JobOptions *options, const char *text) {
  if (options == nullptr || text == nullptr) return;
  options->count = cupsParseOptions(text, options->count, &options->options);
}

void ReleaseJobOptions(JobOptions *options) {
  if (options == nullptr) return;
  cupsFreeOptions(options->count, options->options);
  *options = JobOptions();
}

const char *JobOptionValue(const JobOptions &options, const char *name) {
  if (name == nullptr) return nullptr;
  return cupsGetOption(name, options.count, options.options);
}

bool IsCollateOffValue(const char *value) {
  static const char *const offWords[] = {"false", "no", "off"};
  if (value == nullptr) return false;
  for (const char *word : offWords) {
    if (strcasecmp(value, word) == 0) return true;
  }
  return false;
}

int ReadCollateOption(const JobOptions &options) {
  const char *value = JobOptionValue(options, "Collate");
  if (value == nullptr) return -1;
  return IsCollateOffValue(value) ? 0 : 1;
}

namespace {

// libcups's own separators: an option name ends at white space or "=", a value at
// white space (in the C locale, which is how libcups tests it).
bool IsOptionSpace(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// Where a value that starts at `p` ends, by the rules cupsParseOptions applies: quoted
// parts ('...' or "...") and collections ({...}, nested) may hold white space, a
// backslash takes the character after it literally, and a comma before a quote or a
// brace does not end the value.
const char *ValueEnd(const char *p, const char *end) {
  while (p < end && !IsOptionSpace(*p)) {
    if (*p == ',') {
      ++p;
    } else if (*p == '\'' || *p == '"') {
      const char quote = *p++;
      while (p < end && *p != quote) {
        if (*p == '\\' && p + 1 < end) ++p;
        ++p;
      }
      if (p < end) ++p;
    } else if (*p == '{') {
      int depth = 0;
      for (; p < end; ++p) {
        if (*p == '{') {
          ++depth;
        } else if (*p == '}') {
          if (--depth == 0) {
            ++p;
            break;
          }
        } else if (*p == '\\' && p + 1 < end) {
          ++p;
        }
      }
    } else {
      while (p < end && !IsOptionSpace(*p)) {
        if (*p == '\\' && p + 1 < end) ++p;
        ++p;
      }
    }
  }
  return p;
}

}  // namespace

std::string MaskSecretsInOptions(const char *options) {
  if (options == nullptr) return "";
  const std::string text = options;
  const char *begin = text.data();
  const char *p = begin;
  const char *end = begin + text.size();
  // libcups reads a string that is one {...} collection as the options inside it.
  if (text.size() > 1 && text.front() == '{' && text.back() == '}') {
    ++p;
    --end;
  }
  std::string shown;
  const char *copied = begin;  // text up to here is in `shown` already
  while (p < end && IsOptionSpace(*p)) ++p;
  while (p < end) {
    const char *name = p;
    while (p < end && !IsOptionSpace(*p) && *p != '=') ++p;
    if (p == name) break;  // libcups stops at an empty name, and so does the mask
    const std::string optionName(name, p);
    while (p < end && IsOptionSpace(*p)) ++p;
    if (p == end || *p != '=') continue;  // a bare boolean carries no value
    const char *value = ++p;
    p = ValueEnd(p, end);
    if (p > value && IsSecretParamName(optionName.c_str())) {
      shown.append(copied, value);
      shown += SECRET_MASK;
      copied = p;
    }
    if (p < end) ++p;
    while (p < end && IsOptionSpace(*p)) ++p;
  }
  shown.append(copied, begin + text.size());
  return shown;
}
