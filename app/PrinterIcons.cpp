#include "PrinterIcons.h"

#include <png.h>

#include <csetjmp>
#include <cstdint>

namespace {

// A shape of the picture, in fractions of the icon's side; later shapes cover earlier ones.
struct Shape {
  double left, top, right, bottom;
  double radius;  // of the corners; a circle when it is half the side
  uint8_t red, green, blue;
};

constexpr uint8_t INK = 0x1e;
constexpr Shape PICTURE[] = {
    {0.26, 0.06, 0.74, 0.42, 0.0, 0x8a, 0x8f, 0x96},    // the sheet waiting in the tray
    {0.28, 0.08, 0.72, 0.42, 0.0, 0xff, 0xff, 0xff},
    {0.06, 0.34, 0.94, 0.76, 0.07, 0x3a, 0x3f, 0x46},   // the printer
    {0.14, 0.42, 0.60, 0.47, 0.02, 0x22, 0x25, 0x2a},   // its paper slot
    {0.745, 0.41, 0.835, 0.50, 0.045, 0x3d, 0xd1, 0x6b},  // the ready light
    {0.22, 0.60, 0.78, 0.96, 0.0, 0x8a, 0x8f, 0x96},    // the sheet it printed
    {0.24, 0.62, 0.76, 0.96, 0.0, 0xff, 0xff, 0xff},
    {0.31, 0.69, 0.69, 0.72, 0.0, INK, INK, INK},       // black lines of text on it
    {0.31, 0.76, 0.69, 0.79, 0.0, INK, INK, INK},
    {0.31, 0.83, 0.56, 0.86, 0.0, INK, INK, INK},
};

bool Covers(const Shape &shape, double x, double y) {
  if (x < shape.left || x >= shape.right || y < shape.top || y >= shape.bottom) return false;
  // Inside the rectangle: only the corners are cut round.
  const double cx = x < shape.left + shape.radius    ? shape.left + shape.radius
                    : x > shape.right - shape.radius ? shape.right - shape.radius
                                                     : x;
  const double cy = y < shape.top + shape.radius       ? shape.top + shape.radius
                    : y > shape.bottom - shape.radius ? shape.bottom - shape.radius
                                                       : y;
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= shape.radius * shape.radius;
}

// RGBA pixels, each averaged over 4 x 4 samples so that the edges are smooth.
std::vector<unsigned char> Render(int side) {
  constexpr int SAMPLES = 4;
  std::vector<unsigned char> pixels(static_cast<size_t>(side) * side * 4);
  for (int py = 0; py < side; ++py) {
    for (int px = 0; px < side; ++px) {
      unsigned sum[4] = {0, 0, 0, 0};
      for (int sy = 0; sy < SAMPLES; ++sy) {
        for (int sx = 0; sx < SAMPLES; ++sx) {
          const double x = (px + (sx + 0.5) / SAMPLES) / side;
          const double y = (py + (sy + 0.5) / SAMPLES) / side;
          const Shape *top = nullptr;
          for (const Shape &shape : PICTURE) {
            if (Covers(shape, x, y)) top = &shape;
          }
          if (top == nullptr) continue;
          sum[0] += top->red;
          sum[1] += top->green;
          sum[2] += top->blue;
          sum[3] += 1;
        }
      }
      unsigned char *pixel = pixels.data() + (static_cast<size_t>(py) * side + px) * 4;
      for (int c = 0; c < 3; ++c) pixel[c] = sum[3] > 0 ? static_cast<unsigned char>(sum[c] / sum[3]) : 0;
      pixel[3] = static_cast<unsigned char>(sum[3] * 255 / (SAMPLES * SAMPLES));
    }
  }
  return pixels;
}

void AppendPng(png_structp png, png_bytep data, png_size_t length) {
  auto *out = static_cast<std::vector<unsigned char> *>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void IgnoreWarning(png_structp, png_const_charp) {}

// libpng leaves this function by longjmp on an error, so it holds nothing that needs a
// destructor; the caller owns the pixels and the output.
bool EncodePng(const unsigned char *pixels, int side, std::vector<unsigned char> *out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, IgnoreWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, AppendPng, nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(side), static_cast<png_uint_32>(side), 8,
               PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < side; ++y) {
    png_write_row(png, pixels + static_cast<size_t>(y) * side * 4);
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool DrawPrinterIcons(PrinterIcons *icons) {
  bool ok = true;
  for (int i = 0; i < PRINTER_ICON_COUNT; ++i) {
    const std::vector<unsigned char> pixels = Render(PRINTER_ICON_SIZES[i]);
    icons->png[i].clear();
    if (!EncodePng(pixels.data(), PRINTER_ICON_SIZES[i], &icons->png[i])) {
      icons->png[i].clear();
      ok = false;
    }
  }
  return ok;
}

void UsePrinterIcons(const PrinterIcons &icons, pappl_icon_t (&driverIcons)[PRINTER_ICON_COUNT]) {
  for (int i = 0; i < PRINTER_ICON_COUNT; ++i) {
    if (icons.png[i].empty()) continue;
    driverIcons[i].filename[0] = '\0';
    driverIcons[i].data = icons.png[i].data();
    driverIcons[i].datalen = icons.png[i].size();
  }
}
