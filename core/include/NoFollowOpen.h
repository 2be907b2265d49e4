#pragma once
// Page and JBIG files opened where other users can plant links: never through one.

#include <cstdio>

// Opens a file like fopen with "rb" or "wb", but never through a symbolic link and
// only when it is a regular file; a file it creates gets mode 0600.
FILE *fopenNoFollow(const char *path, const char *mode);
