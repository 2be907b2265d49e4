#include "JobParamsProc.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "Log.h"
#include "Utf8Prefix.h"

// Aggregate initialisation leaves zeros behind every text, as the printer expects.
const PARAM_KEY_SPERATOR_VALUE tblDefParam[JOB_PARAM_COUNT] = {
    {"PageSize", "=", "A4"},
    {"Resolution", "=", "600dpi"},
    {"resX", "=", "600dpi"},
    {"resY", "=", "600dpi"},
    {"FeedEdge", "=", "0"},
    {"Collate", "=", "False"},
    {"Duplex", "=", "None"},
    {"MediaType", "=", "Plain"},
    {"InputSlot", "=", "MainTray"},
    {"number-up", "=", "1"},
    {"job-uuid", "=", ""},
    {"job-originating-host-name", "=", ""},
    {"date-time-at-creation", "=", ""},
    {"date-time-at-processing", "=", ""},
    {"time-at-creation", "=", ""},
    {"time-at-processing", "=", ""},
    {"copies", "=", "1"},
    {"jobId", "=", ""},
    {"DocName", "=", ""},
    {"HostName", "=", ""},
    {"LoginName", "=", ""},
    {"AuthID", "=", ""},
    {"AuthPassword", "=", ""},
};

namespace {

// A record's texts are read with their array width as bound, so a table that a
// caller filled badly can never make us read past a field.
template <size_t N>
size_t FieldLength(const char (&field)[N]) {
  return strnlen(field, N);
}

// The printer splits the job parameter string at ", " and at line ends, so a value that
// a job's submitter chose (title, user, options) must not carry a comma or a control
// character: "a, AuthID=someone" as a title would otherwise add a record of its own.
enum class ValueSource { Trusted, Submitted };

void StoreValue(PARAM_KEY_SPERATOR_VALUE &record, const char *text,
                ValueSource source = ValueSource::Trusted) {
  const size_t length = Utf8PrefixLength(text, JOB_PARAM_VALUE_MAX);
  // The text may be the record's own value, handed out earlier by GetJobParam.
  char copy[JOB_PARAM_VALUE_MAX];
  memcpy(copy, text, length);
  if (source == ValueSource::Submitted) {
    for (size_t i = 0; i < length; ++i) {
      const unsigned char ch = static_cast<unsigned char>(copy[i]);
      if (ch == ',' || ch < 0x20 || ch == 0x7f) copy[i] = ' ';
    }
  }
  // Zeroing the whole field keeps no remnant of an earlier, longer value (an old
  // password, say) behind the new NUL.
  memset(record.value, 0, sizeof record.value);
  memcpy(record.value, copy, length);
}

// The first record that the token addresses: the token has to begin with the
// record's key directly followed by its separator, so "noCollate" or
// "number-up-layout=lrtb" do not reach Collate or number-up.
int FindTokenRecord(const char *token, const PARAM_KEY_SPERATOR_VALUE *table) {
  for (int i = 0; i < JOB_PARAM_COUNT; ++i) {
    const size_t keyLength = FieldLength(table[i].key);
    const size_t sepLength = FieldLength(table[i].separator);
    if (strncmp(token, table[i].key, keyLength) == 0 &&
        strncmp(token + keyLength, table[i].separator, sepLength) == 0) {
      return i;
    }
  }
  return -1;
}

int FindKeyRecord(const char *key, const PARAM_KEY_SPERATOR_VALUE *table) {
  for (int i = 0; i < JOB_PARAM_COUNT; ++i) {
    if (strncmp(key, table[i].key, sizeof table[i].key) == 0) return i;
  }
  return -1;
}

// What a value occupies in the token; raw records take the whole token.
const char *TokenValue(const char *token, const PARAM_KEY_SPERATOR_VALUE &record) {
  if (record.separator[0] == '\0') return token;
  return token + FieldLength(record.key) + FieldLength(record.separator);
}

// One option as the token "name=value", as the table sees it. A password handed in
// through the options must not reach the log: its token shows the mask as value.
void LogOptionToken(const cups_option_t &option, const char *token, const JobLog &log) {
  if (IsSecretParamName(option.name) && option.value[0] != '\0') {
    char shown[OPTION_TOKEN_MAX + 1] = {};
    snprintf(shown, sizeof shown, "%s=%s", option.name, SECRET_MASK);
    LogLine(log, "One_Param:%s , Len:%d\n", shown, static_cast<int>(strlen(shown)));
    return;
  }
  LogLine(log, "One_Param:%s , Len:%d\n", token, static_cast<int>(strlen(token)));
}

void ApplyOption(const cups_option_t &option, bool bare, PARAM_KEY_SPERATOR_VALUE *table,
                 const JobLog &log) {
  if (option.name == nullptr || option.value == nullptr) return;
  char token[OPTION_TOKEN_MAX + 1] = {};
  snprintf(token, sizeof token, "%s=%s", option.name, option.value);
  LogOptionToken(option, token, log);
  // The printer collates as it is told; it must be told what the collate flag
  // decided, which reads "collate", a bare "Collate" and "noCollate" as well.
  if (strcasecmp(option.name, "Collate") == 0) {
    SetJobParams(IsCollateOffValue(option.value) ? "Collate=False" : "Collate=True", table, log);
    return;
  }
  // A bare name says "true" or "false", not what the record holds: only "key=" sets it.
  if (bare) {
    if (FindTokenRecord(token, table) >= 0) {
      LogLine(log, "DEBUG: option %s has no value; its job parameter stays as it is\n",
              option.name);
    }
    return;
  }
  SetJobParams(token, table, log);
}

// Appends text to out while keeping room for the NUL; the string is cut at the end
// of the buffer rather than written past it.
void Append(char *out, size_t outSize, size_t &used, const char *text, size_t length) {
  if (used + 1 >= outSize) return;
  const size_t room = outSize - 1 - used;
  if (length > room) length = room;
  memcpy(out + used, text, length);
  used += length;
  out[used] = '\0';
}

void Serialise(char *out, size_t outSize, const PARAM_KEY_SPERATOR_VALUE *table, bool maskSecrets) {
  if (outSize == 0) return;
  size_t used = 0;
  out[0] = '\0';
  for (int i = 0; i < JOB_PARAM_COUNT; ++i) {
    const PARAM_KEY_SPERATOR_VALUE &record = table[i];
    const size_t sepLength = FieldLength(record.separator);
    if (sepLength > 0) {
      Append(out, outSize, used, record.key, FieldLength(record.key));
      Append(out, outSize, used, record.separator, sepLength);
    }
    if (maskSecrets && LoggableParamValue(record.key, record.value) != record.value) {
      Append(out, outSize, used, SECRET_MASK, strlen(SECRET_MASK));
    } else {
      Append(out, outSize, used, record.value, FieldLength(record.value));
    }
    Append(out, outSize, used, ", ", 2);
  }
}

}  // namespace

void GetJobParamFromCups(const JobOptions &options, PARAM_KEY_SPERATOR_VALUE *table,
                         const JobLog &log) {
  if (table == nullptr) return;
  for (int i = 0; i < options.count; ++i) {
    const cups_option_t &option = options.options[i];
    ApplyOption(option, IsBareJobOption(options, option.name), table, log);
  }
}

void GetJobParamFromCups(const char *options, PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log) {
  JobOptions parsed = ParseJobOptions(options);
  GetJobParamFromCups(parsed, table, log);
  ReleaseJobOptions(&parsed);
}

void SetJobParams(const char *token, PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log) {
  if (token == nullptr || table == nullptr) return;
  const int index = FindTokenRecord(token, table);
  if (index < 0) return;
  PARAM_KEY_SPERATOR_VALUE &record = table[index];
  LogLine(log, "Key:%s , Length:%d\n", record.key, static_cast<int>(FieldLength(record.key)));

  // An option without a value cannot empty a record; only the driver can.
  const char *value = TokenValue(token, record);
  if (value[0] != '\0') StoreValue(record, value, ValueSource::Submitted);

  const char *shown = LoggableParamValue(record.key, record.value);
  LogLine(log, "Value:%s , Length:%d\n", shown, static_cast<int>(strlen(shown)));
}

namespace {

void SetJobParamFrom(const char *key, const char *value, PARAM_KEY_SPERATOR_VALUE *table,
                     ValueSource source, const JobLog &log) {
  if (key == nullptr || value == nullptr || table == nullptr) return;
  const int index = FindKeyRecord(key, table);
  if (index < 0) return;
  PARAM_KEY_SPERATOR_VALUE &record = table[index];
  StoreValue(record, value, source);
  LogLine(log, "SetJobParam:[%s , %s ]\n", record.key,
          LoggableParamValue(record.key, record.value));
}

}  // namespace

void SetJobParam(const char *key, const char *value, PARAM_KEY_SPERATOR_VALUE *table,
                 const JobLog &log) {
  SetJobParamFrom(key, value, table, ValueSource::Trusted, log);
}

void SetSubmittedJobParam(const char *key, const char *value, PARAM_KEY_SPERATOR_VALUE *table,
                          const JobLog &log) {
  SetJobParamFrom(key, value, table, ValueSource::Submitted, log);
}

void GetJobParam(const char *key, char **value, PARAM_KEY_SPERATOR_VALUE *table,
                 const JobLog &log) {
  if (key == nullptr || value == nullptr || table == nullptr) return;
  const int index = FindKeyRecord(key, table);
  if (index < 0) return;
  PARAM_KEY_SPERATOR_VALUE &record = table[index];
  *value = record.value;
  LogLine(log, "GetJobParam:[%s , %s ]\n", record.key,
          LoggableParamValue(record.key, record.value));
}

void BuildJobParams(char **out, PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log) {
  if (out == nullptr || *out == nullptr || table == nullptr) return;
  Serialise(*out, JOB_PARAMS_BUFFER_SIZE, table, false);
  char loggable[JOB_PARAMS_BUFFER_SIZE];
  Serialise(loggable, sizeof loggable, table, true);
  LogLine(log, "BuildJobParams:%s\n", loggable);
}

void BuildLoggableJobParams(char *out, size_t outSize, const PARAM_KEY_SPERATOR_VALUE *table) {
  if (out == nullptr || table == nullptr) return;
  Serialise(out, outSize, table, true);
}
