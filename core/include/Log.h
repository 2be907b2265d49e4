#pragma once
// How the core's lines leave it. The front end hands the core a log function and its
// context in the job's record, and every line the core writes goes through them: the
// CUPS filter and the converter put it on standard error, where CUPS collects it into its
// error log, and the printer application into PAPPL's log. Callers write the CUPS prefix
// ("DEBUG: ", "INFO: ", "WARNING: ", "ERROR: ") themselves, because a few established
// lines carry none.

#include <cstddef>

// Receives one finished line: its prefix where it has one, every control character but
// a final line feed made a space, secrets already masked. length excludes the NUL.
using LogFunction = void (*)(void *data, const char *line, size_t length);

struct JobLog {
  LogFunction write = nullptr;  // null: the lines go nowhere
  void *data = nullptr;
};

void LogLine(const JobLog &log, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The CUPS filter's log function: every line to standard error, byte for byte.
void WriteLineToStderr(void *data, const char *line, size_t length);
inline JobLog StderrLog() { return JobLog{WriteLineToStderr, nullptr}; }

// Text shown in the log in place of a secret (the account password).
inline constexpr const char SECRET_MASK[] = "********";

// Whether a job parameter or option of this name holds a secret (the account
// password, AuthPassword in any letter case).
bool IsSecretParamName(const char *name);

// The text to log for a job parameter value: the mask for secret keys with a
// non-empty value, the value itself otherwise.
const char *LoggableParamValue(const char *key, const char *value);
