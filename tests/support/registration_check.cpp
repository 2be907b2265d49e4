// The registration sheet for the shell tests: writes the document, and measures the
// sides a printer received (PBM files, as the inspector decodes them) against the sheet.
//
//   registration_check document PAGES OUTPUT
//   registration_check sides SIZE DPI none|turned SIDE.pbm...
//
// Exit 0 when every side is the sheet as expected, 1 when one is not, 2 on bad usage.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "RegistrationSheet.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage: registration_check document PAGES OUTPUT\n"
          "       registration_check sides SIZE DPI none|turned SIDE.pbm...\n");
  return 2;
}

int WriteDocument(const char *pages, const char *output) {
  const int count = atoi(pages);
  if (count < 1) return Usage();
  FILE *file = fopen(output, "w");
  if (file == nullptr) {
    perror(output);
    return 1;
  }
  const std::string document = RegistrationDocument(count);
  const bool written = fwrite(document.data(), 1, document.size(), file) == document.size();
  if (fclose(file) != 0 || !written) {
    fprintf(stderr, "%s: cannot write the document\n", output);
    return 1;
  }
  return 0;
}

int CheckSides(int argc, char **argv) {
  const SheetSize *sheet = FindSheetSize(argv[2]);
  const int dpi = atoi(argv[3]);
  const bool turned = strcmp(argv[4], "turned") == 0;
  if (sheet == nullptr || dpi <= 0 || (!turned && strcmp(argv[4], "none") != 0)) return Usage();
  int status = 0;
  for (int i = 5; i < argc; ++i) {
    PageBitmap side;
    std::string error;
    if (!ReadPbmFile(argv[i], &side, &error)) {
      fprintf(stderr, "FAIL: %s: %s\n", argv[i], error.c_str());
      status = 1;
      continue;
    }
    const SideMeasure measure = MeasureRegistrationSide(
        side, *sheet, dpi, turned ? SideTurn::kQuarterCounterClockwise : SideTurn::kNone);
    printf("%s: %s\n", argv[i], DescribeSideMeasure(*sheet, dpi, measure).c_str());
    for (const std::string &fault : measure.faults) {
      fprintf(stderr, "FAIL: %s: %s\n", argv[i], fault.c_str());
      status = 1;
    }
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "document") == 0) return WriteDocument(argv[2], argv[3]);
  if (argc >= 6 && strcmp(argv[1], "sides") == 0) return CheckSides(argc, argv);
  return Usage();
}
