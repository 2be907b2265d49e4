// The job options string, as whoever submits the job may write it, through the job
// parameter table and the two serialisations of the table, and the masked copy of it
// that the log shows.

#include <strings.h>

#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "JobOptions.h"
#include "JobParamsProc.h"
#include "Log.h"

namespace {

// The job header's format: "key<sep>value, " per record, raw records by value alone.
std::string Serialised(const PARAM_KEY_SPERATOR_VALUE *table, bool masked) {
  std::string text;
  for (int i = 0; i < JOB_PARAM_COUNT; ++i) {
    const PARAM_KEY_SPERATOR_VALUE &record = table[i];
    if (record.separator[0] != '\0') text += std::string(record.key) + record.separator;
    text += masked ? LoggableParamValue(record.key, record.value) : record.value;
    text += ", ";
  }
  return text;
}

// The mask finds each value's end by libcups's rules; libcups itself is the judge. The
// masked string must read as the same options, with the mask as the only new value.
void CheckMaskAgainstLibcups(const char *options, const std::string &shown) {
  JobOptions original = ParseJobOptions(options);
  JobOptions masked = ParseJobOptions(shown.c_str());
  FUZZ_CHECK(original.count == masked.count);
  for (int i = 0; i < original.count && i < masked.count; ++i) {
    const cups_option_t &before = original.options[i];
    const cups_option_t &after = masked.options[i];
    FUZZ_CHECK(strcmp(before.name, after.name) == 0);
    if (IsSecretParamName(before.name)) {
      FUZZ_CHECK(strcmp(before.value, after.value) == 0 || strcmp(after.value, SECRET_MASK) == 0);
    } else {
      FUZZ_CHECK(strcmp(before.value, after.value) == 0);
    }
  }
  ReleaseJobOptions(&masked);
  ReleaseJobOptions(&original);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // CUPS hands the options over as a C string: everything up to the first NUL counts.
  char *options = static_cast<char *>(malloc(size + 1));
  memcpy(options, data, size);
  options[size] = '\0';

  // On the heap and exactly as large as the job's, so a write past the table is caught.
  auto *table = new PARAM_KEY_SPERATOR_VALUE[JOB_PARAM_COUNT];
  memcpy(table, tblDefParam, sizeof tblDefParam);
  GetJobParamFromCups(options, table, StderrLog());

  for (int i = 0; i < JOB_PARAM_COUNT; ++i) {
    // Options change values only, and a value never loses its NUL nor keeps the
    // remnant of an earlier, longer value behind it.
    FUZZ_CHECK(memcmp(table[i].key, tblDefParam[i].key, sizeof table[i].key) == 0);
    FUZZ_CHECK(memcmp(table[i].separator, tblDefParam[i].separator, sizeof table[i].separator) == 0);
    const size_t length = strnlen(table[i].value, sizeof table[i].value);
    FUZZ_CHECK(length <= JOB_PARAM_VALUE_MAX);
    for (size_t j = length; j < sizeof table[i].value; ++j) FUZZ_CHECK(table[i].value[j] == '\0');
  }

  // Whatever the values, the longest table fits the job's buffer uncut.
  char *params = static_cast<char *>(malloc(JOB_PARAMS_BUFFER_SIZE));
  BuildJobParams(&params, table, StderrLog());
  FUZZ_CHECK(strnlen(params, JOB_PARAMS_BUFFER_SIZE) < JOB_PARAMS_BUFFER_SIZE);
  FUZZ_CHECK(Serialised(table, false) == params);

  char *loggable = static_cast<char *>(malloc(JOB_PARAMS_BUFFER_SIZE));
  BuildLoggableJobParams(loggable, JOB_PARAMS_BUFFER_SIZE, table);
  const std::string maskedText = Serialised(table, true);
  FUZZ_CHECK(maskedText == loggable);
  const char *password = table[JOB_PARAM_COUNT - 1].value;
  FUZZ_CHECK(strcmp(table[JOB_PARAM_COUNT - 1].key, "AuthPassword") == 0);
  if (password[0] != '\0') FUZZ_CHECK(maskedText.find(std::string("AuthPassword=") + SECRET_MASK + ", ") !=
                                      std::string::npos);

  // A buffer shorter than the string gets a cut string, never a write past its end.
  const size_t shortSize = size > 0 ? data[0] : 0;
  char *cut = static_cast<char *>(malloc(shortSize > 0 ? shortSize : 1));
  BuildLoggableJobParams(cut, shortSize, table);
  if (shortSize > 0) {
    const size_t cutLength = strnlen(cut, shortSize);
    FUZZ_CHECK(cutLength < shortSize);
    FUZZ_CHECK(maskedText.compare(0, cutLength, cut) == 0);
  }

  // The masking of the options for the argument log line.
  const std::string shown = MaskSecretsInOptions(options);
  if (strcasestr(options, "AuthPassword") == nullptr) FUZZ_CHECK(shown == options);
  CheckMaskAgainstLibcups(options, shown);

  free(cut);
  free(loggable);
  free(params);
  delete[] table;
  free(options);
  return 0;
}
