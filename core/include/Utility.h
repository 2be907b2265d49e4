#pragma once
// Job metadata sources: the document name, the credentials file, directory creation.

#include <cstddef>
#include <cstdio>

#include "JobParamsProc.h"

inline constexpr size_t DOC_NAME_BUFFER_SIZE = 256;
inline constexpr size_t CREDENTIAL_BUFFER_SIZE = 128;
inline constexpr const char AUTH_CONFIG_PATH[] = "/tmp/auth/auth_config";
inline constexpr size_t AUTH_CONFIG_MAX_BYTES = 64 * 1024;
inline constexpr size_t MKDIRS_PATH_MAX = 511;

// Reduces a job title to the document name (directory dropped, words after the
// extension cut) in the caller's zero-filled DOC_NAME_BUFFER_SIZE buffer.
void getDocumenName(const char *title, char **docName);
// Reads AuthID and Password from the credentials file into the caller's zero-filled
// CREDENTIAL_BUFFER_SIZE buffers. 1 when the file was read and parsed, 0 otherwise.
int getAuthInfo(char **authId, char **password);
// Reads the credentials file into the table's AuthID and AuthPassword records; when it
// cannot be read, both keep what they had.
void ReadCredentialsInto(PARAM_KEY_SPERATOR_VALUE *table);
// The same, from another path (tests).
int getAuthInfoFromPath(const char *path, char **authId, char **password);
// Creates a directory and its missing parents (mode 0755). 0 when the path is a
// directory afterwards, 1 otherwise.
int mkdirs(const char *path);
// Opens a file like fopen with "rb" or "wb", but never through a symbolic link and
// only when it is a regular file; a file it creates gets mode 0600.
FILE *fopenNoFollow(const char *path, const char *mode);
