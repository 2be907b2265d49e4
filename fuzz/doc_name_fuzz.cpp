// A job title of any length and content reduced to the document name.

#include <algorithm>
#include <cstring>
#include <string>

#include "DocumentName.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Exactly as long as the title, so a read past its NUL is caught.
  char *title = static_cast<char *>(malloc(size + 1));
  memcpy(title, data, size);
  title[size] = '\0';
  // The caller's buffer as the header documents it: zero-filled, DOC_NAME_BUFFER_SIZE bytes.
  char *docName = static_cast<char *>(calloc(DOC_NAME_BUFFER_SIZE, 1));
  char *docNamePointer = docName;
  getDocumenName(title, &docNamePointer, StderrLog());

  // The name is what follows the last '/', cut to the buffer (never inside a UTF-8
  // character: a character that would stand across the cut goes whole), and cut at the
  // first space after the first '.'.
  const char *slash = strrchr(title, '/');
  const std::string name = slash != nullptr ? slash + 1 : title;
  size_t cut = std::min(name.size(), DOC_NAME_BUFFER_SIZE - 1);
  auto continuation = [&](size_t i) { return (static_cast<unsigned char>(name[i]) & 0xC0) == 0x80; };
  if (cut < name.size() && continuation(cut)) {
    size_t start = cut;
    while (start > 0 && cut - start < 3 && continuation(start)) --start;
    if (!continuation(start)) cut = start;
  }
  FUZZ_CHECK(cut >= DOC_NAME_BUFFER_SIZE - 4 || cut == name.size());
  std::string expected = name.substr(0, cut);
  if (const size_t dot = expected.find('.'); dot != std::string::npos) {
    if (const size_t space = expected.find(' ', dot); space != std::string::npos) expected.resize(space);
  }
  FUZZ_CHECK(strnlen(docName, DOC_NAME_BUFFER_SIZE) < DOC_NAME_BUFFER_SIZE);
  FUZZ_CHECK(expected == docName);

  free(docName);
  free(title);
  return 0;
}
