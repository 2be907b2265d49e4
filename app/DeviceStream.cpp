#include "DeviceStream.h"

#include <cerrno>

namespace {

// The printer stream is written in large pieces; the device has its own buffer too.
constexpr size_t STREAM_BUFFER_SIZE = 64 * 1024;

// A failed write returns 0, never -1: glibc's cookie streams take a negative count for a
// byte count and then overrun their buffer.
ssize_t WriteToDevice(void *cookie, const char *data, size_t size) {
  auto *device = static_cast<pappl_device_t *>(cookie);
  if (papplDeviceWrite(device, data, size) < 0) {
    errno = EIO;
    return 0;
  }
  return static_cast<ssize_t>(size);
}

int CloseDeviceStream(void *cookie) {
  papplDeviceFlush(static_cast<pappl_device_t *>(cookie));
  return 0;
}

}  // namespace

FILE *OpenDeviceStream(pappl_device_t *device) {
  if (device == nullptr) return nullptr;
  cookie_io_functions_t functions = {};
  functions.write = WriteToDevice;
  functions.close = CloseDeviceStream;
  FILE *stream = fopencookie(device, "w", functions);
  if (stream != nullptr) setvbuf(stream, nullptr, _IOFBF, STREAM_BUFFER_SIZE);
  return stream;
}
