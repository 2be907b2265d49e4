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

// The length of text cut to at most maxBytes bytes without splitting a UTF-8 character:
// a cut that would fall inside one ends before it. text is NUL-terminated.
size_t Utf8PrefixLength(const char *text, size_t maxBytes);
// Reduces a job title to the document name (directory dropped, words after the
// extension cut) in the caller's zero-filled DOC_NAME_BUFFER_SIZE buffer.
void getDocumenName(const char *title, char **docName);
// Reads AuthID and Password from the credentials file into the caller's zero-filled
// CREDENTIAL_BUFFER_SIZE buffers. 1 when the file was read and parsed, 0 otherwise.
// Anyone can make /tmp/auth, so the file is used only when neither it nor its
// directory is a symbolic link, both belong to root or to the filter's user and are
// writable by nobody else, and the file is a regular file; otherwise a log line says
// why it is ignored.
int getAuthInfo(char **authId, char **password);
// Reads the credentials file into the table's AuthID and AuthPassword records, cleaned of
// commas and control characters like the job's own values; when it cannot be used, both
// keep what they had.
void ReadCredentialsInto(PARAM_KEY_SPERATOR_VALUE *table);
// The same, from another path (tests); its directory is checked as /tmp/auth is.
int getAuthInfoFromPath(const char *path, char **authId, char **password);
// Creates a directory and its missing parents (mode 0755). 0 when the path is a
// directory afterwards, 1 otherwise.
int mkdirs(const char *path);
// Opens a file like fopen with "rb" or "wb", but never through a symbolic link and
// only when it is a regular file; a file it creates gets mode 0600.
FILE *fopenNoFollow(const char *path, const char *mode);

// Every page takes the same few large blocks again (its pixels, a turned copy, the JBIG
// data). Kept in the heap once freed, they serve the next page; handed back to the system,
// they are faulted in and cleared again page by page. The peak stays what the pages in
// hand need. Called once, at the start of a program that converts pages.
void KeepPageBlocksInHeap();
