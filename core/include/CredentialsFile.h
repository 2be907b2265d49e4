#pragma once
// The printer account (AuthID and password) from the credentials file.

#include <cstddef>

#include "JobParamsProc.h"
#include "Log.h"

inline constexpr size_t CREDENTIAL_BUFFER_SIZE = 128;
inline constexpr const char AUTH_CONFIG_PATH[] = "/tmp/auth/auth_config";
inline constexpr size_t AUTH_CONFIG_MAX_BYTES = 64 * 1024;

// Reads AuthID and Password from the credentials file into the caller's zero-filled
// CREDENTIAL_BUFFER_SIZE buffers. 1 when the file was read and parsed, 0 otherwise.
// Anyone can make /tmp/auth, so the file is used only when neither it nor its
// directory is a symbolic link, both belong to root or to the filter's user and are
// writable by nobody else, and the file is a regular file; otherwise a log line says
// why it is ignored.
int getAuthInfo(char **authId, char **password, const JobLog &log);
// The same, from another path (tests); its directory is checked as /tmp/auth is.
int getAuthInfoFromPath(const char *path, char **authId, char **password, const JobLog &log);
// Reads the credentials file into the table's AuthID and AuthPassword records, cleaned of
// commas and control characters like the job's own values; when it cannot be used, both
// keep what they had.
void ReadCredentialsInto(PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log);
