#include "PbmFile.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "NoFollowOpen.h"

namespace {

constexpr const char UNSUPPORTED_FORMAT[] = "Unsupported format or not a PBM file.\n";

// Reads a decimal number the way a "%d" conversion does (leading white space, an
// optional sign, then digits, the first other byte pushed back), but refuses a value
// outside int where the conversion's behaviour would be undefined.
bool ReadHeaderNumber(FILE *file, int *value) {
  int ch = fgetc(file);
  while (ch != EOF && isspace(ch)) ch = fgetc(file);
  bool negative = false;
  if (ch == '+' || ch == '-') {
    negative = ch == '-';
    ch = fgetc(file);
  }
  if (ch == EOF || !isdigit(ch)) {
    if (ch != EOF) ungetc(ch, file);
    return false;
  }
  int64_t magnitude = 0;
  bool inRange = true;
  for (; ch != EOF && isdigit(ch); ch = fgetc(file)) {
    if (inRange) {
      magnitude = magnitude * 10 + (ch - '0');
      if (magnitude > static_cast<int64_t>(INT_MAX) + 1) inRange = false;
    }
  }
  if (ch != EOF) ungetc(ch, file);
  int64_t result = negative ? -magnitude : magnitude;
  if (!inRange || result > INT_MAX || result < INT_MIN) return false;
  *value = static_cast<int>(result);
  return true;
}

// Bytes of pixel data still in a regular file from the current position, or -1 when the
// stream is not a regular file and its length cannot be known before reading.
int64_t RemainingFileBytes(FILE *file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  long position = ftell(file);
  if (position < 0) return -1;
  return static_cast<int64_t>(info.st_size) - position;
}

}  // namespace

void skipPbmComments(FILE *file) {
  for (;;) {
    int ch = fgetc(file);
    if (ch == EOF) return;
    if (ch == '#') {
      do {
        ch = fgetc(file);
      } while (ch != EOF && ch != '\n' && ch != '\r');
      if (ch == EOF) return;
      continue;
    }
    if (ch == ' ' || ch == '\n' || ch == '\r') continue;
    ungetc(ch, file);
    return;
  }
}

bool ReadPbmHeader(FILE *file, char magic[3], int *width, int *height) {
  magic[0] = '\0';
  *width = 0;
  *height = 0;
  if (fscanf(file, "%2s", magic) != 1) {
    magic[0] = '\0';
    return false;
  }
  skipPbmComments(file);
  if (!ReadHeaderNumber(file, width)) return false;
  skipPbmComments(file);
  return ReadHeaderNumber(file, height);
}

int WritePbmAndClose(FILE *file, int64_t width, int64_t height, const unsigned char *rows,
                     uint64_t size) {
  errno = 0;
  const auto failed = [] { return errno != 0 ? errno : EIO; };
  int failure = 0;
  if (fprintf(file, "P4\n%lld %lld\n", static_cast<long long>(width),
              static_cast<long long>(height)) <= 0) {
    failure = failed();
  }
  if (failure == 0 && size > 0 && fwrite(rows, 1, size, file) != size) failure = failed();
  if (failure == 0 && fflush(file) != 0) failure = failed();
  if (fclose(file) != 0 && failure == 0) failure = failed();
  return failure;
}

int rotatePbm(const char *inPath, const char *outPath, int angle, const JobLog &log) {
  if (angle != -90 && angle != 90 && angle != 180) {
    LogLine(log, "ERROR: rotatePbm: cannot turn by %d degrees, only by -90, 90 or 180\n", angle);
    return 1;
  }

  FILE *input = fopenNoFollow(inPath, "rb");
  if (input == nullptr) {
    LogLine(log, "Error opening input file: %s\n", strerror(errno));
    return 1;
  }
  char magic[3];
  int width = 0;
  int height = 0;
  bool readable = ReadPbmHeader(input, magic, &width, &height);
  const bool quarterTurn = angle != 180;
  const int64_t srcStride = PbmStride(width);
  const int64_t srcBytes = srcStride * height;
  const int64_t dstStride = quarterTurn ? PbmStride(height) : srcStride;
  const int64_t dstBytes = dstStride * (quarterTurn ? width : height);
  // Sizes are checked before anything is allocated: a damaged header must not make the
  // filter ask for gigabytes.
  if (!readable || strcmp(magic, "P4") != 0 || width < 1 || height < 1 ||
      static_cast<uint64_t>(srcBytes) > PBM_MAX_BITMAP_BYTES ||
      static_cast<uint64_t>(dstBytes) > PBM_MAX_BITMAP_BYTES) {
    LogLine(log, "%s", UNSUPPORTED_FORMAT);
    fclose(input);
    return 1;
  }
  // The single white-space byte that ends the header; the rows start after it.
  (void)fgetc(input);

  const int64_t available = RemainingFileBytes(input);
  if (available >= 0 && available < srcBytes) {
    LogLine(log, "ERROR: rotatePbm: %s holds %lld bytes of pixel data, %lld expected\n", inPath,
            static_cast<long long>(available), static_cast<long long>(srcBytes));
    fclose(input);
    return 1;
  }
  unsigned char *src = static_cast<unsigned char *>(malloc(static_cast<size_t>(srcBytes)));
  if (src == nullptr) {
    LogLine(log, "ERROR: rotatePbm: no memory for a %d x %d page\n", width, height);
    fclose(input);
    return 1;
  }
  const size_t arrived = fread(src, 1, static_cast<size_t>(srcBytes), input);
  // Closed before the output is created, so that a file can be turned in place.
  fclose(input);
  if (static_cast<int64_t>(arrived) < srcBytes) {
    LogLine(log, "ERROR: rotatePbm: %s holds %lld bytes of pixel data, %lld expected\n", inPath,
            static_cast<long long>(arrived), static_cast<long long>(srcBytes));
    free(src);
    return 1;
  }

  const int result = WriteTurnedPbm(src, width, height, angle, outPath, log);
  free(src);
  return result;
}

int WriteTurnedPbm(const unsigned char *src, int width, int height, int angle, const char *outPath,
                   const JobLog &log) {
  const bool quarterTurn = angle != 180;
  const int64_t srcStride = PbmStride(width);
  const int64_t dstStride = quarterTurn ? PbmStride(height) : srcStride;
  const int64_t dstBytes = dstStride * (quarterTurn ? width : height);
  // The turned page is held whole like every other page, so it is bounded like them: a
  // single row of two billion pixels turns into two billion rows.
  if (width < 1 || height < 1) {
    LogLine(log, "ERROR: rotatePbm: a %d x %d page has nothing to turn\n", width, height);
    errno = EINVAL;
    return 1;
  }
  if (static_cast<uint64_t>(dstBytes) > PBM_MAX_BITMAP_BYTES) {
    LogLine(log, "ERROR: rotatePbm: a %d x %d page is too large to turn\n", width, height);
    errno = EFBIG;
    return 1;
  }
  // Zero-filled: the turn writes only the blocks that hold black.
  unsigned char *dst = static_cast<unsigned char *>(calloc(static_cast<size_t>(dstBytes), 1));
  if (dst == nullptr) {
    LogLine(log, "ERROR: rotatePbm: no memory for a %d x %d page\n", width, height);
    errno = ENOMEM;
    return 1;
  }
  TurnBitmap(src, width, height, angle, dst);

  if (angle == 180) {
    // The trace of the top-left corner of a half turn; with the byte counts bounded to
    // 1 GiB every index fits an int.
    const int rows = height < 100 ? height : 100;
    const int cols = width < 100 ? width : 100;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        const int64_t originalByte = r * srcStride + c / 8;
        const int64_t rotatedByte = (height - 1 - r) * dstStride + (width - 1 - c) / 8;
        LogLine(log, "col = %d, originalByte = %d, rotatedByte = %d\n", c,
                static_cast<int>(originalByte), static_cast<int>(rotatedByte));
      }
    }
  }

  FILE *output = fopenNoFollow(outPath, "wb");
  if (output == nullptr) {
    const int openError = errno;
    LogLine(log, "Error opening output file: %s\n", strerror(openError));
    free(dst);
    errno = openError;
    return 1;
  }
  const int outWidth = quarterTurn ? height : width;
  const int outHeight = quarterTurn ? width : height;
  const int failure =
      WritePbmAndClose(output, outWidth, outHeight, dst, static_cast<uint64_t>(dstBytes));
  free(dst);
  if (failure != 0) {
    LogLine(log, "ERROR: rotatePbm: cannot write %s: %s\n", outPath, strerror(failure));
    errno = failure;
    return 1;
  }
  return 0;
}
