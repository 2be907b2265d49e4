// A PBM page file of any content turned by each of the three angles, and the fast
// in-memory turn against its pixel-by-pixel definition on small fuzz-chosen pages.

#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "PbmFile.h"

namespace {

constexpr int kAngles[] = {-90, 90, 180};

std::vector<unsigned char> ReadAll(const std::string &path) {
  std::vector<unsigned char> bytes;
  FILE *file = fopen(path.c_str(), "rb");
  FUZZ_CHECK(file != nullptr);
  unsigned char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
  fclose(file);
  return bytes;
}

int64_t TurnedBytes(int width, int height, int angle) {
  return angle == 180 ? PbmStride(width) * height : PbmStride(height) * width;
}

// A turned page file must hold the header for the turned size and exactly the bits
// of the pixel-by-pixel turn of the pixels the input file carries.
void CheckTurnedFile(const std::string &inPath, const std::string &outPath, int angle) {
  FILE *input = fopen(inPath.c_str(), "rb");
  FUZZ_CHECK(input != nullptr);
  char magic[3];
  int width = 0;
  int height = 0;
  FUZZ_CHECK(ReadPbmHeader(input, magic, &width, &height));
  FUZZ_CHECK(width > 0 && height > 0);
  (void)fgetc(input);
  std::vector<unsigned char> src(static_cast<size_t>(PbmStride(width) * height));
  FUZZ_CHECK(fread(src.data(), 1, src.size(), input) == src.size());
  fclose(input);

  std::vector<unsigned char> expected(static_cast<size_t>(TurnedBytes(width, height, angle)));
  TurnBitmapPixelByPixel(src.data(), width, height, angle, expected.data());
  const bool quarter = angle != 180;
  const std::string header = "P4\n" + std::to_string(quarter ? height : width) + " " +
                             std::to_string(quarter ? width : height) + "\n";
  const std::vector<unsigned char> turned = ReadAll(outPath);
  FUZZ_CHECK(turned.size() == header.size() + expected.size());
  FUZZ_CHECK(memcmp(turned.data(), header.data(), header.size()) == 0);
  FUZZ_CHECK(memcmp(turned.data() + header.size(), expected.data(), expected.size()) == 0);
}

// The first two bytes choose a page of up to 256 x 256 pixels, the third the angle; the
// rest are its pixels, repeated, padding bits included (the turn must ignore them).
void CompareInMemoryTurns(const uint8_t *data, size_t size) {
  if (size < 3) return;
  const int width = 1 + data[0];
  const int height = 1 + data[1];
  const int angle = kAngles[data[2] % 3];
  std::vector<unsigned char> src(static_cast<size_t>(PbmStride(width) * height));
  for (size_t i = 0; i < src.size(); ++i) src[i] = size > 3 ? data[3 + i % (size - 3)] : 0;
  const size_t turnedSize = static_cast<size_t>(TurnedBytes(width, height, angle));
  std::vector<unsigned char> fast(turnedSize);
  std::vector<unsigned char> reference(turnedSize);
  TurnBitmap(src.data(), width, height, angle, fast.data());
  TurnBitmapPixelByPixel(src.data(), width, height, angle, reference.data());
  FUZZ_CHECK(fast == reference);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string inPath = ScratchDir() + "/page.pbm";
  static const std::string outPath = ScratchDir() + "/page_rotated.pbm";
  WriteScratchFile(inPath, data, size);
  for (const int angle : kAngles) {
    unlink(outPath.c_str());
    if (rotatePbm(inPath.c_str(), outPath.c_str(), angle, StderrLog()) == 0)
      CheckTurnedFile(inPath, outPath, angle);
  }
  // An angle the turn does not know is refused, not guessed.
  FUZZ_CHECK(rotatePbm(inPath.c_str(), outPath.c_str(), 45, StderrLog()) == 1);
  CompareInMemoryTurns(data, size);
  return 0;
}
