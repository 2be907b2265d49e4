#pragma once
// A directory and every missing directory above it.

#include <cstddef>

inline constexpr size_t MKDIRS_PATH_MAX = 511;

// Creates a directory and its missing parents (mode 0755). 0 when the path is a
// directory afterwards, 1 otherwise.
int mkdirs(const char *path);
