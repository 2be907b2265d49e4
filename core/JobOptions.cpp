#include "JobOptions.h"

#include <strings.h>

#include <cstring>

#include "Log.h"

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

// One option of an options string as libcups splits it: its name, and its value's
// text (from value to valueEnd; value null for a bare name).
struct OptionToken {
  std::string name;
  const char *value = nullptr;
  const char *valueEnd = nullptr;
};

// Calls visit with every option of the text, in order, as cupsParseOptions reads them.
template <typename Visit>
void ForEachOptionToken(const char *begin, const char *end, Visit visit) {
  const char *p = begin;
  // libcups reads a string that is one {...} collection as the options inside it.
  if (end - begin > 1 && *begin == '{' && end[-1] == '}') {
    ++p;
    --end;
  }
  while (p < end && IsOptionSpace(*p)) ++p;
  while (p < end) {
    OptionToken token;
    const char *name = p;
    while (p < end && !IsOptionSpace(*p) && *p != '=') ++p;
    if (p == name) break;  // libcups stops at an empty name
    token.name.assign(name, p);
    while (p < end && IsOptionSpace(*p)) ++p;
    if (p == end || *p != '=') {
      visit(token);
      continue;
    }
    token.value = ++p;
    p = ValueEnd(p, end);
    token.valueEnd = p;
    visit(token);
    if (p < end) ++p;
    while (p < end && IsOptionSpace(*p)) ++p;
  }
}

}  // namespace

JobOptions ParseJobOptions(const char *text) {
  JobOptions parsed;
  AddJobOptions(&parsed, text);
  return parsed;
}

void AddJobOptions(JobOptions *options, const char *text) {
  if (options == nullptr || text == nullptr) return;
  options->count = cupsParseOptions(text, options->count, &options->options);
  // Of two options with one name the later decides, bare or not, as it decides the value.
  std::vector<std::string> &bare = options->bare;
  ForEachOptionToken(text, text + strlen(text), [&bare](const OptionToken &token) {
    const bool isBare = token.value == nullptr;
    const char *name = token.name.c_str();
    if (isBare && strncasecmp(name, "no", 2) == 0) name += 2;
    std::erase_if(bare,
                  [name](const std::string &seen) { return strcasecmp(seen.c_str(), name) == 0; });
    if (isBare) bare.emplace_back(name);
  });
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

bool IsBareJobOption(const JobOptions &options, const char *name) {
  if (name == nullptr) return false;
  for (const std::string &bare : options.bare) {
    if (strcasecmp(bare.c_str(), name) == 0) return true;
  }
  return false;
}

const char *RecordOptionValue(const JobOptions &options, const char *name) {
  return IsBareJobOption(options, name) ? nullptr : JobOptionValue(options, name);
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

std::string MaskSecretsInOptions(const char *options) {
  if (options == nullptr) return "";
  const std::string text = options;
  const char *begin = text.data();
  std::string shown;
  const char *copied = begin;  // text up to here is in `shown` already
  ForEachOptionToken(begin, begin + text.size(), [&](const OptionToken &token) {
    if (token.valueEnd > token.value && IsSecretParamName(token.name.c_str())) {
      shown.append(copied, token.value);
      shown += SECRET_MASK;
      copied = token.valueEnd;
    }
  });
  shown.append(copied, begin + text.size());
  return shown;
}
