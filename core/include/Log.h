#pragma once
// One logger for the whole filter. Every line goes to standard error, where CUPS
// collects it into its error log; standard output carries only the printer stream.
// Callers write the CUPS prefix ("DEBUG: ", "INFO: ", "ERROR: ") themselves, because
// a few established lines carry none.

// Text shown in the log in place of a secret (the account password).
inline constexpr const char SECRET_MASK[] = "********";

void LogLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Whether a job parameter or option of this name holds a secret (the account
// password, AuthPassword in any letter case).
bool IsSecretParamName(const char *name);

// The text to log for a job parameter value: the mask for secret keys with a
// non-empty value, the value itself otherwise.
const char *LoggableParamValue(const char *key, const char *value);
