#pragma once
// The job parameter table: 23 key/separator/value records in a fixed order that the
// printer receives, serialised, in the job header.

#include <cstddef>

struct PARAM_KEY_SPERATOR_VALUE {
  char key[256];
  char separator[8];  // empty separator: a raw record (whole token stored, value serialised alone)
  char value[256];    // at most 255 characters
};

inline constexpr int JOB_PARAM_COUNT = 23;
inline constexpr size_t JOB_PARAM_VALUE_MAX = 255;       // characters, NUL not counted
inline constexpr size_t OPTION_TOKEN_MAX = 511;          // characters, NUL not counted
inline constexpr size_t JOB_PARAMS_BUFFER_SIZE = 6173;   // longest serialised table and its NUL

extern const PARAM_KEY_SPERATOR_VALUE tblDefParam[JOB_PARAM_COUNT];

// Splits the options string at spaces and applies every token, the last one included.
void GetJobParamFromCups(const char *options, PARAM_KEY_SPERATOR_VALUE *table);
// Applies one option token "key<sep>value" to the first record whose key and separator
// begin the token.
void SetJobParams(const char *token, PARAM_KEY_SPERATOR_VALUE *table);
// Stores a value as it is: for values of the driver, the PPD and the credentials file.
void SetJobParam(const char *key, const char *value, PARAM_KEY_SPERATOR_VALUE *table);
// Stores a value that the job's submitter chose (arguments, options) with every comma and
// control character made a space, so that it cannot add records of its own. Option
// tokens through SetJobParams are cleaned the same way.
void SetSubmittedJobParam(const char *key, const char *value, PARAM_KEY_SPERATOR_VALUE *table);
// Points *value at the record's value inside the table; an unknown key leaves it alone.
void GetJobParam(const char *key, char **value, PARAM_KEY_SPERATOR_VALUE *table);
// Writes the job parameter string into the caller's buffer (JOB_PARAMS_BUFFER_SIZE bytes).
void BuildJobParams(char **out, PARAM_KEY_SPERATOR_VALUE *table);
// The job parameter string with secrets masked, for log lines.
void BuildLoggableJobParams(char *out, size_t outSize, const PARAM_KEY_SPERATOR_VALUE *table);
