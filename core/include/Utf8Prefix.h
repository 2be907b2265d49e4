#pragma once
// Texts cut to a byte limit without splitting a UTF-8 character: the printer shows the
// names it is told, and half a character is no character.

#include <cstddef>

// The length of text cut to at most maxBytes bytes without splitting a UTF-8 character:
// a cut that would fall inside one ends before it. text is NUL-terminated.
size_t Utf8PrefixLength(const char *text, size_t maxBytes);
