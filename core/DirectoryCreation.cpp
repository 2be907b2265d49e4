#include "DirectoryCreation.h"

#include <sys/stat.h>

#include <cstring>

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
