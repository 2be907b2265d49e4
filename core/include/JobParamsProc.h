#pragma once
// The job parameter table: 23 key/separator/value records in a fixed order that the
// printer receives, serialised, in the job header. The operations log through the job's
// log function, given last.

#include <cstddef>

#include "JobOptions.h"
#include "Log.h"

struct PARAM_KEY_SPERATOR_VALUE {
  char key[256];
  char separator[8];  // empty separator: a raw record (whole token stored, value serialised alone)
  char value[256];    // at most 255 characters
};

inline constexpr int JOB_PARAM_COUNT = 23;
inline constexpr size_t JOB_PARAM_VALUE_MAX = 255;       // bytes, NUL not counted; longer values
                                                         // are cut after a whole UTF-8 character
inline constexpr size_t OPTION_TOKEN_MAX = 511;          // characters, NUL not counted
inline constexpr size_t JOB_PARAMS_BUFFER_SIZE = 6173;   // longest serialised table and its NUL

extern const PARAM_KEY_SPERATOR_VALUE tblDefParam[JOB_PARAM_COUNT];

// Applies every option to the table as the token "name=value": an option reaches the
// record whose key is its name, letter case included ("pagesize" reaches none). A bare
// name ("job-uuid", "nojob-uuid") reaches no record. The Collate record is the exception:
// it follows the collate reading of the options (ReadCollateOption), as "True" or
// "False", whatever the spelling of the option, bare ones included.
void GetJobParamFromCups(const JobOptions &options, PARAM_KEY_SPERATOR_VALUE *table,
                         const JobLog &log);
// The same for an options string, parsed with ParseJobOptions.
void GetJobParamFromCups(const char *options, PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log);
// Applies one option token "key<sep>value" to the first record whose key and separator
// begin the token.
void SetJobParams(const char *token, PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log);
// Stores a value as it is: for values of the driver and the PPD.
void SetJobParam(const char *key, const char *value, PARAM_KEY_SPERATOR_VALUE *table,
                 const JobLog &log);
// Stores a value from outside the filter's control (the job's arguments and options,
// the credentials file) with every comma and control character made a space, so that
// it cannot add records of its own. Option tokens through SetJobParams are cleaned the
// same way.
void SetSubmittedJobParam(const char *key, const char *value, PARAM_KEY_SPERATOR_VALUE *table,
                          const JobLog &log);
// Points *value at the record's value inside the table; an unknown key leaves it alone.
void GetJobParam(const char *key, char **value, PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log);
// Writes the job parameter string into the caller's buffer (JOB_PARAMS_BUFFER_SIZE bytes).
void BuildJobParams(char **out, PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log);
// The job parameter string with secrets masked, for log lines.
void BuildLoggableJobParams(char *out, size_t outSize, const PARAM_KEY_SPERATOR_VALUE *table);
