#include "Utility.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"

void getDocumenName(const char *title, char **docName) {
  LogLine("DEBUG: Enter getDocumenName!\n");
  if (title == nullptr) title = "";
  const char *name = title;
  if (const char *slash = strrchr(title, '/'); slash != nullptr) {
    name = slash + 1;
    LogLine("DEBUG: getDocumenName:remove dir.\n");
  } else {
    LogLine("DEBUG: getDocumenName:param not include dir.\n");
  }
  if (docName != nullptr && *docName != nullptr) {
    char *out = *docName;
    // A longer title is cut rather than spilled past the caller's buffer.
    const size_t length = strnlen(name, DOC_NAME_BUFFER_SIZE - 1);
    memcpy(out, name, length);
    out[length] = '\0';
    // Words behind the file name's extension ("report.pdf - Viewer") are dropped;
    // the first "." decides, so spaces before it stay.
    if (char *dot = strchr(out, '.'); dot != nullptr) {
      LogLine("DEBUG: getDocumenName:find expanded flag.\n");
      if (char *space = strchr(dot, ' '); space != nullptr) {
        *space = '\0';
        LogLine("DEBUG: getDocumenName:set DocName string terminal.\n");
      }
    }
  }
  LogLine("DEBUG: Exit getDocumenName!\n");
}

namespace {

// Copies a credential to the start of the caller's buffer, cut so that its NUL
// still fits.
void StoreCredential(char **buffer, const char *text) {
  if (buffer == nullptr || *buffer == nullptr) return;
  const size_t length = strnlen(text, CREDENTIAL_BUFFER_SIZE - 1);
  memcpy(*buffer, text, length);
  (*buffer)[length] = '\0';
}

// Opens the credentials file for reading and measures it. Anything but a regular
// file of sane size counts as unreadable: a FIFO or a device would block the job
// or feed it without end. O_NONBLOCK keeps even the open of a FIFO from waiting
// for a writer.
FILE *OpenCredentialsFile(const char *path, size_t *size) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    LogLine("DEBUG: auth_file is not found!\n");
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    LogLine("DEBUG: auth_file is not a regular file!\n");
    close(fd);
    return nullptr;
  }
  if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) > AUTH_CONFIG_MAX_BYTES) {
    LogLine("DEBUG: auth_file is larger than %zu bytes!\n", AUTH_CONFIG_MAX_BYTES);
    close(fd);
    return nullptr;
  }
  FILE *file = fdopen(fd, "rb");
  if (file == nullptr) {
    LogLine("DEBUG: auth_file is not found!\n");
    close(fd);
    return nullptr;
  }
  *size = static_cast<size_t>(info.st_size);
  return file;
}

}  // namespace

int getAuthInfoFromPath(const char *path, char **authId, char **password) {
  LogLine("DEBUG: Enter getAuthInfo!\n");
  if (path == nullptr) {
    LogLine("DEBUG: auth_file is not found!\n");
    return 0;
  }
  size_t size = 0;
  FILE *file = OpenCredentialsFile(path, &size);
  if (file == nullptr) return 0;

  char *text = static_cast<char *>(malloc(size + 1));
  if (text == nullptr) {
    LogLine("DEBUG: Error allocating memory\n");
    fclose(file);
    LogLine("DEBUG: Exit  getAuthInfo with error!\n");
    return 0;
  }
  LogLine("DEBUG: create  json_string!\n");
  const size_t count = fread(text, 1, size, file);
  fclose(file);
  // A file that shrank while we read it is not the file we measured.
  if (count != size) {
    LogLine("DEBUG: auth_file could not be read whole!\n");
    free(text);
    LogLine("DEBUG: Exit  getAuthInfo with error!\n");
    return 0;
  }
  text[size] = '\0';

  cJSON *root = cJSON_Parse(text);
  free(text);
  if (root == nullptr) {
    LogLine("DEBUG: Error parsing JSON\n");
    LogLine("DEBUG: Exit  getAuthInfo with error!\n");
    return 0;
  }
  LogLine("DEBUG: Parse  json_string!\n");

  const cJSON *id = cJSON_GetObjectItemCaseSensitive(root, "AuthID");
  if (cJSON_IsString(id) && id->valuestring != nullptr) {
    StoreCredential(authId, id->valuestring);
    LogLine("DEBUG: AuthID: %.*s\n", static_cast<int>(strnlen(id->valuestring, CREDENTIAL_BUFFER_SIZE - 1)),
            id->valuestring);
  }
  const cJSON *secret = cJSON_GetObjectItemCaseSensitive(root, "Password");
  if (cJSON_IsString(secret) && secret->valuestring != nullptr) {
    StoreCredential(password, secret->valuestring);
    LogLine("DEBUG: Password: %s\n", SECRET_MASK);
  }
  cJSON_Delete(root);
  LogLine("DEBUG: Exit  getAuthInfo!\n");
  return 1;
}

int getAuthInfo(char **authId, char **password) {
  return getAuthInfoFromPath(AUTH_CONFIG_PATH, authId, password);
}

int mkdirs(const char *path) {
  if (path == nullptr) return 1;
  const size_t length = strnlen(path, MKDIRS_PATH_MAX + 1);
  // A path the working copy cannot hold whole is refused before anything is created.
  if (length > MKDIRS_PATH_MAX) return 1;
  char copy[MKDIRS_PATH_MAX + 1];
  memcpy(copy, path, length);
  copy[length] = '\0';

  struct stat info;
  for (size_t i = 0; i < length; ++i) {
    if (copy[i] != '/') continue;
    copy[i] = '\0';
    // Whatever already stands under a prefix is left alone; a file in the way
    // simply makes the directories below it fail.
    if (copy[0] != '\0' && lstat(copy, &info) != 0) mkdir(copy, 0755);
    copy[i] = '/';
  }
  if (length > 0 && lstat(copy, &info) != 0) mkdir(copy, 0755);

  if (stat(path, &info) != 0) return 1;
  return S_ISDIR(info.st_mode) ? 0 : 1;
}

FILE *fopenNoFollow(const char *path, const char *mode) {
  const bool writing = mode != nullptr && mode[0] == 'w';
  const int flags = writing ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY;
  // O_NONBLOCK keeps a FIFO in the way from stalling the open; it means nothing for the
  // regular files that are accepted.
  const int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  FILE *file = fdopen(fd, writing ? "wb" : "rb");
  if (file == nullptr) {
    const int savedErrno = errno;
    close(fd);
    errno = savedErrno;
  }
  return file;
}

void ReadCredentialsInto(PARAM_KEY_SPERATOR_VALUE *table) {
  char authId[CREDENTIAL_BUFFER_SIZE] = {};
  char password[CREDENTIAL_BUFFER_SIZE] = {};
  char *authIdPointer = authId;
  char *passwordPointer = password;
  if (getAuthInfo(&authIdPointer, &passwordPointer) == 1) {
    SetJobParam("AuthID", authId, table);
    SetJobParam("AuthPassword", password, table);
  }
}
