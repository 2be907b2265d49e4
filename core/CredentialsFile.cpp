#include "CredentialsFile.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "Utf8Prefix.h"

namespace {

// Copies a credential to the start of the caller's buffer, cut (after a whole UTF-8
// character) so that its NUL still fits.
void StoreCredential(char **buffer, const char *text) {
  if (buffer == nullptr || *buffer == nullptr) return;
  const size_t length = Utf8PrefixLength(text, CREDENTIAL_BUFFER_SIZE - 1);
  memcpy(*buffer, text, length);
  (*buffer)[length] = '\0';
}

void IgnoreCredentials(const JobLog &log, const char *path, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

void IgnoreCredentials(const JobLog &log, const char *path, const char *format, ...) {
  char reason[512];
  va_list args;
  va_start(args, format);
  vsnprintf(reason, sizeof reason, format, args);
  va_end(args);
  LogLine(log, "WARNING: The credentials file %s is ignored: %s\n", path, reason);
}

// Whoever may write the file or its directory decides whose account the printer is
// told: only root and the filter's own user may.
bool OnlyTrustedCanWrite(const struct stat &info, const char *path, const char *what,
                         const JobLog &log) {
  const uid_t self = geteuid();
  if (info.st_uid != 0 && info.st_uid != self) {
    IgnoreCredentials(log, path,
                      "%s belongs to user %u; only root and user %u, who runs the filter, "
                      "may own it",
                      what, static_cast<unsigned>(info.st_uid), static_cast<unsigned>(self));
    return false;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    IgnoreCredentials(log, path, "%s is writable by its group or by others (mode %04o)", what,
                      static_cast<unsigned>(info.st_mode & 07777));
    return false;
  }
  return true;
}

// Opens the directory that holds the credentials file, when it is one we can trust.
// Opened without following a link, so the checks hold for the directory read from.
int OpenCredentialsDirectory(const char *path, const std::string &directory, const JobLog &log) {
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat link;
    if (error == ENOENT) {
      LogLine(log, "DEBUG: auth_file is not found!\n");
    } else if (lstat(directory.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      IgnoreCredentials(log, path, "%s is a symbolic link", directory.c_str());
    } else if (error == ENOTDIR) {
      IgnoreCredentials(log, path, "%s is not a directory", directory.c_str());
    } else {
      IgnoreCredentials(log, path, "%s cannot be opened: %s", directory.c_str(), strerror(error));
    }
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !OnlyTrustedCanWrite(info, path, directory.c_str(), log)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Opens the credentials file for reading and measures it. Anything but a regular
// file of sane size counts as unusable: a FIFO or a device would block the job or
// feed it without end. O_NONBLOCK keeps even the open of a FIFO from waiting for a
// writer.
FILE *OpenCredentialsFile(const char *path, size_t *size, const JobLog &log) {
  const char *slash = strrchr(path, '/');
  const std::string directory = slash == nullptr ? "."
                                : slash == path  ? "/"
                                                 : std::string(path, slash);
  const char *name = slash == nullptr ? path : slash + 1;
  const int directoryFd = OpenCredentialsDirectory(path, directory, log);
  if (directoryFd < 0) return nullptr;
  const int fd = openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  const int error = errno;
  close(directoryFd);
  if (fd < 0) {
    if (error == ENOENT) {
      LogLine(log, "DEBUG: auth_file is not found!\n");
    } else if (error == ELOOP) {
      IgnoreCredentials(log, path, "it is a symbolic link");
    } else {
      IgnoreCredentials(log, path, "it cannot be opened: %s", strerror(error));
    }
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    IgnoreCredentials(log, path, "it is not a regular file");
    close(fd);
    return nullptr;
  }
  if (!OnlyTrustedCanWrite(info, path, "it", log)) {
    close(fd);
    return nullptr;
  }
  if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) > AUTH_CONFIG_MAX_BYTES) {
    IgnoreCredentials(log, path, "it is larger than %zu bytes", AUTH_CONFIG_MAX_BYTES);
    close(fd);
    return nullptr;
  }
  FILE *file = fdopen(fd, "rb");
  if (file == nullptr) {
    IgnoreCredentials(log, path, "it cannot be read: %s", strerror(errno));
    close(fd);
    return nullptr;
  }
  *size = static_cast<size_t>(info.st_size);
  return file;
}

}  // namespace

int getAuthInfoFromPath(const char *path, char **authId, char **password, const JobLog &log) {
  LogLine(log, "DEBUG: Enter getAuthInfo!\n");
  if (path == nullptr) {
    LogLine(log, "DEBUG: auth_file is not found!\n");
    return 0;
  }
  size_t size = 0;
  FILE *file = OpenCredentialsFile(path, &size, log);
  if (file == nullptr) return 0;

  char *text = static_cast<char *>(malloc(size + 1));
  if (text == nullptr) {
    LogLine(log, "DEBUG: Error allocating memory\n");
    fclose(file);
    LogLine(log, "DEBUG: Exit  getAuthInfo with error!\n");
    return 0;
  }
  LogLine(log, "DEBUG: create  json_string!\n");
  const size_t count = fread(text, 1, size, file);
  fclose(file);
  // A file that shrank while we read it is not the file we measured.
  if (count != size) {
    LogLine(log, "DEBUG: auth_file could not be read whole!\n");
    free(text);
    LogLine(log, "DEBUG: Exit  getAuthInfo with error!\n");
    return 0;
  }
  text[size] = '\0';

  cJSON *root = cJSON_Parse(text);
  free(text);
  if (root == nullptr) {
    LogLine(log, "DEBUG: Error parsing JSON\n");
    LogLine(log, "DEBUG: Exit  getAuthInfo with error!\n");
    return 0;
  }
  LogLine(log, "DEBUG: Parse  json_string!\n");

  const cJSON *id = cJSON_GetObjectItemCaseSensitive(root, "AuthID");
  if (cJSON_IsString(id) && id->valuestring != nullptr) {
    StoreCredential(authId, id->valuestring);
    const size_t stored = Utf8PrefixLength(id->valuestring, CREDENTIAL_BUFFER_SIZE - 1);
    LogLine(log, "DEBUG: AuthID: %.*s\n", static_cast<int>(stored), id->valuestring);
  }
  const cJSON *secret = cJSON_GetObjectItemCaseSensitive(root, "Password");
  if (cJSON_IsString(secret) && secret->valuestring != nullptr) {
    StoreCredential(password, secret->valuestring);
    LogLine(log, "DEBUG: Password: %s\n", SECRET_MASK);
  }
  cJSON_Delete(root);
  LogLine(log, "DEBUG: Exit  getAuthInfo!\n");
  return 1;
}

int getAuthInfo(char **authId, char **password, const JobLog &log) {
  return getAuthInfoFromPath(AUTH_CONFIG_PATH, authId, password, log);
}

void ReadCredentialsInto(PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log) {
  char authId[CREDENTIAL_BUFFER_SIZE] = {};
  char password[CREDENTIAL_BUFFER_SIZE] = {};
  char *authIdPointer = authId;
  char *passwordPointer = password;
  if (getAuthInfo(&authIdPointer, &passwordPointer, log) == 1) {
    SetSubmittedJobParam("AuthID", authId, table, log);
    SetSubmittedJobParam("AuthPassword", password, table, log);
  }
}
