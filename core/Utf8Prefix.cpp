#include "Utf8Prefix.h"

#include <cstring>

size_t Utf8PrefixLength(const char *text, size_t maxBytes) {
  if (text == nullptr) return 0;
  const size_t length = strnlen(text, maxBytes);
  auto isContinuation = [](char ch) { return (static_cast<unsigned char>(ch) & 0xC0) == 0x80; };
  if (length < maxBytes || !isContinuation(text[length])) return length;
  // The cut falls inside a character: end before its first byte. A character has at
  // most three bytes after its first; more continuation bytes are no UTF-8 to keep whole.
  for (size_t back = 1; back <= 3 && back <= length; ++back) {
    if (!isContinuation(text[length - back])) return length - back;
  }
  return length;
}
