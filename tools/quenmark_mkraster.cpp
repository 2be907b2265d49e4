// quenmark_mkraster: writes a CUPS raster stream with libcups's own writer, for trying
// the filter by hand and for the tests. Pages carry recognisable content (a border, the
// page number in large block digits, lines of text-like strokes) and can be written as
// PBM files too, holding exactly the bits of the raster page in PBM layout.

#include <cups/raster.h>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "StreamReader.h"

namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
// Asked for the usage text: not an error, but nothing else to do.
constexpr int kExitHelp = -1;

const char kUsage[] =
    "usage: quenmark_mkraster [options] OUTPUT        (OUTPUT '-' = stdout)\n"
    "  -n, --pages N            number of pages (default 1)\n"
    "  -s, --size NAME[,NAME..] page size per page, cycling: A4 (default), A5, A6, B5, B5ISO,\n"
    "                           B6, Letter, Legal, Statement, Executive, 16k, or WxH in points\n"
    "  -r, --resolution DPI     600 (default) or XxY, e.g. 1200x600\n"
    "  --content KIND           text (default), blank, black, random\n"
    "  --seed N                 seed for the random parts of the content (default 1)\n"
    "  --pbm PREFIX             also write each page as PREFIX-<page>.pbm\n"
    "  --colorspace NAME        k (default), w, sw, black\n"
    "  --bits N                 bits per colour and per pixel (default 1)\n"
    "  --bytes-per-line N       override cupsBytesPerLine\n"
    "  --width-px W --height-px H   exact pixel size (overrides --size)\n"
    "  --compressed             write the compressed raster format\n"
    "  --pwg TYPE               write a PWG raster of TYPE (black_1, sgray_8, srgb_8) as IPP\n"
    "                           clients send it: the page size becomes the nearest PWG media\n"
    "  --urf                    with --pwg sgray_8 or srgb_8: write it as Apple raster (URF)\n"
    "  --header-only            write the page headers without pixel data\n";

struct NamedSize {
  const char *name;
  double width;   // points
  double height;  // points
};

// The printer's page sizes, portrait, in PostScript points.
constexpr NamedSize kSizes[] = {
    {"A4", 595, 842},     {"A5", 420, 595},     {"A6", 297, 420},
    {"B5", 516, 729},     {"B5ISO", 499, 709},  {"B6", 363, 516},
    {"Letter", 612, 792}, {"Legal", 612, 1008}, {"Statement", 396, 612},
    {"Executive", 522, 756}, {"16k", 522, 737},
};

enum class Content { Text, Blank, Black, Random };

struct PageSizeChoice {
  std::string name;
  double width = 0;   // points
  double height = 0;  // points
};

struct Options {
  int pages = 1;
  std::vector<PageSizeChoice> sizes;
  unsigned xdpi = 600;
  unsigned ydpi = 600;
  Content content = Content::Text;
  uint64_t seed = 1;
  std::string pbmPrefix;
  cups_cspace_t colorSpace = CUPS_CSPACE_K;
  unsigned bits = 1;
  int64_t bytesPerLine = -1;  // -1: computed from the width
  int64_t widthPx = 0;        // 0: from the page size
  int64_t heightPx = 0;
  bool compressed = false;
  bool headerOnly = false;
  std::string pwgType;  // empty: a CUPS raster
  bool urf = false;     // the PWG pages as Apple raster
  std::string output;
};

bool ParseUnsigned(const char *text, uint64_t max, uint64_t *value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long number = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || number > max) return false;
  *value = number;
  return true;
}

bool ParsePoints(const std::string &text, double *value) {
  if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) return false;
  char *end = nullptr;
  double number = strtod(text.c_str(), &end);
  if (*end != '\0' || !(number > 0) || number > 1e6) return false;
  *value = number;
  return true;
}

bool ParseSize(const std::string &text, PageSizeChoice *size) {
  for (const NamedSize &named : kSizes) {
    if (text == named.name) {
      *size = {named.name, named.width, named.height};
      return true;
    }
  }
  size_t x = text.find('x');
  if (x == std::string::npos) return false;
  if (!ParsePoints(text.substr(0, x), &size->width) ||
      !ParsePoints(text.substr(x + 1), &size->height)) {
    return false;
  }
  size->name = "Custom." + text;
  return true;
}

bool ParseSizeList(const char *text, std::vector<PageSizeChoice> *sizes) {
  sizes->clear();
  std::string list = text;
  size_t start = 0;
  while (true) {
    size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? comma : comma - start);
    PageSizeChoice size;
    if (!ParseSize(item, &size)) return false;
    sizes->push_back(size);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool ParseResolution(const char *text, unsigned *xdpi, unsigned *ydpi) {
  std::string value = text;
  size_t x = value.find('x');
  uint64_t first = 0;
  uint64_t second = 0;
  if (x == std::string::npos) {
    if (!ParseUnsigned(text, 100000, &first)) return false;
    second = first;
  } else if (!ParseUnsigned(value.substr(0, x).c_str(), 100000, &first) ||
             !ParseUnsigned(value.substr(x + 1).c_str(), 100000, &second)) {
    return false;
  }
  if (first == 0 || second == 0) return false;
  *xdpi = static_cast<unsigned>(first);
  *ydpi = static_cast<unsigned>(second);
  return true;
}

// 0 when the options are fine, kExitHelp after --help, otherwise kExitUsage.
int ParseOptions(int argc, char **argv, Options *options) {
  enum {
    kContent = 256, kSeed, kPbm, kColorSpace, kBits, kBytesPerLine, kWidthPx, kHeightPx,
    kCompressed, kHeaderOnly, kHelp, kPwg, kUrf,
  };
  static const option longOptions[] = {
      {"pages", required_argument, nullptr, 'n'},
      {"size", required_argument, nullptr, 's'},
      {"resolution", required_argument, nullptr, 'r'},
      {"content", required_argument, nullptr, kContent},
      {"seed", required_argument, nullptr, kSeed},
      {"pbm", required_argument, nullptr, kPbm},
      {"colorspace", required_argument, nullptr, kColorSpace},
      {"bits", required_argument, nullptr, kBits},
      {"bytes-per-line", required_argument, nullptr, kBytesPerLine},
      {"width-px", required_argument, nullptr, kWidthPx},
      {"height-px", required_argument, nullptr, kHeightPx},
      {"compressed", no_argument, nullptr, kCompressed},
      {"header-only", no_argument, nullptr, kHeaderOnly},
      {"pwg", required_argument, nullptr, kPwg},
      {"urf", no_argument, nullptr, kUrf},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  options->sizes = {{"A4", 595, 842}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+n:s:r:h", longOptions, nullptr)) != -1) {
    uint64_t number = 0;
    std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case 'n':
        if (!ParseUnsigned(optarg, 100000, &number) || number == 0) {
          fprintf(stderr, "quenmark_mkraster: bad page count \"%s\"\n", optarg);
          return kExitUsage;
        }
        options->pages = static_cast<int>(number);
        break;
      case 's':
        if (!ParseSizeList(optarg, &options->sizes)) {
          fprintf(stderr, "quenmark_mkraster: bad page size list \"%s\"\n", optarg);
          return kExitUsage;
        }
        break;
      case 'r':
        if (!ParseResolution(optarg, &options->xdpi, &options->ydpi)) {
          fprintf(stderr, "quenmark_mkraster: bad resolution \"%s\"\n", optarg);
          return kExitUsage;
        }
        break;
      case kContent:
        if (value == "text") {
          options->content = Content::Text;
        } else if (value == "blank") {
          options->content = Content::Blank;
        } else if (value == "black") {
          options->content = Content::Black;
        } else if (value == "random") {
          options->content = Content::Random;
        } else {
          fprintf(stderr, "quenmark_mkraster: unknown content \"%s\"\n", optarg);
          return kExitUsage;
        }
        break;
      case kSeed:
        if (!ParseUnsigned(optarg, UINT64_MAX, &options->seed)) {
          fprintf(stderr, "quenmark_mkraster: bad seed \"%s\"\n", optarg);
          return kExitUsage;
        }
        break;
      case kPbm:
        if (value.empty()) {
          fprintf(stderr, "quenmark_mkraster: empty PBM prefix\n");
          return kExitUsage;
        }
        options->pbmPrefix = value;
        break;
      case kColorSpace:
        if (value == "k" || value == "black") {
          options->colorSpace = CUPS_CSPACE_K;
        } else if (value == "w") {
          options->colorSpace = CUPS_CSPACE_W;
        } else if (value == "sw") {
          options->colorSpace = CUPS_CSPACE_SW;
        } else {
          fprintf(stderr, "quenmark_mkraster: unknown colour space \"%s\"\n", optarg);
          return kExitUsage;
        }
        break;
      case kBits:
        if (!ParseUnsigned(optarg, 16, &number) ||
            (number != 1 && number != 2 && number != 4 && number != 8 && number != 16)) {
          fprintf(stderr, "quenmark_mkraster: bits must be 1, 2, 4, 8 or 16, not \"%s\"\n",
                  optarg);
          return kExitUsage;
        }
        options->bits = static_cast<unsigned>(number);
        break;
      case kBytesPerLine:
        if (!ParseUnsigned(optarg, UINT_MAX, &number)) {
          fprintf(stderr, "quenmark_mkraster: bad bytes per line \"%s\"\n", optarg);
          return kExitUsage;
        }
        options->bytesPerLine = static_cast<int64_t>(number);
        break;
      case kWidthPx:
      case kHeightPx:
        if (!ParseUnsigned(optarg, INT_MAX, &number) || number == 0) {
          fprintf(stderr, "quenmark_mkraster: bad pixel size \"%s\"\n", optarg);
          return kExitUsage;
        }
        (c == kWidthPx ? options->widthPx : options->heightPx) = static_cast<int64_t>(number);
        break;
      case kCompressed:
        options->compressed = true;
        break;
      case kHeaderOnly:
        options->headerOnly = true;
        break;
      case kPwg:
        if (value != "black_1" && value != "sgray_8" && value != "srgb_8") {
          fprintf(stderr, "quenmark_mkraster: PWG raster type must be black_1, sgray_8 or srgb_8\n");
          return kExitUsage;
        }
        options->pwgType = value;
        break;
      case kUrf:
        options->urf = true;
        break;
      case 'h':
      case kHelp:
        fputs(kUsage, stdout);
        return kExitHelp;
      default:
        fprintf(stderr, "quenmark_mkraster: unknown option or missing value: %s\n",
                argv[optind - 1]);
        fputs(kUsage, stderr);
        return kExitUsage;
    }
  }
  // Apple raster has 8-bit pages only.
  if (options->urf && options->pwgType != "sgray_8" && options->pwgType != "srgb_8") {
    fprintf(stderr, "quenmark_mkraster: --urf needs --pwg sgray_8 or srgb_8\n");
    return kExitUsage;
  }
  if ((options->widthPx == 0) != (options->heightPx == 0)) {
    fprintf(stderr, "quenmark_mkraster: --width-px and --height-px go together\n");
    return kExitUsage;
  }
  if (options->headerOnly && !options->pbmPrefix.empty()) {
    fprintf(stderr, "quenmark_mkraster: --header-only writes no pixels, so no PBM files\n");
    return kExitUsage;
  }
  if (optind + 1 != argc) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  options->output = argv[optind];
  return 0;
}

// splitmix64: small, fast and the same on every host, so a seed always gives the
// same pages.
struct Random {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // A value in [0, bound), bound > 0.
  int64_t Below(int64_t bound) {
    return static_cast<int64_t>(Next() % static_cast<uint64_t>(bound));
  }
};

// A page under construction, in PBM layout; drawing is clipped to the page.
class Canvas {
 public:
  explicit Canvas(PageBitmap *page) : page_(page), stride_(PageBitmapStride(page->width)) {}

  // Blackens the rectangle [x0, x1) x [y0, y1).
  void Fill(int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    x0 = Clamp(x0, page_->width);
    x1 = Clamp(x1, page_->width);
    y0 = Clamp(y0, page_->height);
    y1 = Clamp(y1, page_->height);
    if (x0 >= x1 || y0 >= y1) return;
    const int64_t firstByte = x0 / 8;
    const int64_t lastByte = (x1 - 1) / 8;
    const unsigned char firstMask = static_cast<unsigned char>(0xff >> (x0 % 8));
    const unsigned char lastMask = static_cast<unsigned char>(0xff << (7 - (x1 - 1) % 8));
    for (int64_t y = y0; y < y1; ++y) {
      unsigned char *row = page_->bits.data() + static_cast<uint64_t>(y) * stride_;
      if (firstByte == lastByte) {
        row[firstByte] |= firstMask & lastMask;
        continue;
      }
      row[firstByte] |= firstMask;
      if (lastByte > firstByte + 1) {
        memset(row + firstByte + 1, 0xff, static_cast<size_t>(lastByte - firstByte - 1));
      }
      row[lastByte] |= lastMask;
    }
  }

 private:
  static int64_t Clamp(int64_t value, int64_t limit) {
    return value < 0 ? 0 : (value > limit ? limit : value);
  }

  PageBitmap *page_;
  uint64_t stride_;
};

// 5 x 7 block digits, one row per byte, the leftmost cell in bit 4.
constexpr unsigned char kDigits[10][7] = {
    {0x0e, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0e}, {0x04, 0x0c, 0x04, 0x04, 0x04, 0x04, 0x0e},
    {0x0e, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1f}, {0x1f, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0e},
    {0x02, 0x06, 0x0a, 0x12, 0x1f, 0x02, 0x02}, {0x1f, 0x10, 0x1e, 0x01, 0x01, 0x11, 0x0e},
    {0x06, 0x08, 0x10, 0x1e, 0x11, 0x11, 0x0e}, {0x1f, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0e, 0x11, 0x11, 0x0e, 0x11, 0x11, 0x0e}, {0x0e, 0x11, 0x11, 0x0f, 0x01, 0x02, 0x0c},
};

int64_t Scaled(double points, unsigned dpi) {
  return static_cast<int64_t>(std::lround(points * dpi / 72.0));
}

int64_t AtLeastOne(int64_t value) { return value < 1 ? 1 : value; }

// A border, the page number large in the top left corner, then lines of "words" made
// of stems and bars at text sizes, so the page looks and compresses like a printed one.
void DrawTextPage(PageBitmap *page, int pageNumber, unsigned xdpi, unsigned ydpi,
                  Random *random) {
  Canvas canvas(page);
  const int64_t w = page->width;
  const int64_t h = page->height;
  const int64_t insetX = std::min(Scaled(18, xdpi), w / 8);
  const int64_t insetY = std::min(Scaled(18, ydpi), h / 8);
  const int64_t lineX = AtLeastOne(std::min(Scaled(2, xdpi), w / 64));
  const int64_t lineY = AtLeastOne(std::min(Scaled(2, ydpi), h / 64));
  canvas.Fill(insetX, insetY, w - insetX, insetY + lineY);
  canvas.Fill(insetX, h - insetY - lineY, w - insetX, h - insetY);
  canvas.Fill(insetX, insetY, insetX + lineX, h - insetY);
  canvas.Fill(w - insetX - lineX, insetY, w - insetX, h - insetY);

  const int64_t left = insetX + 3 * lineX;
  const int64_t right = w - insetX - 3 * lineX;
  const int64_t top = insetY + 3 * lineY;
  const int64_t bottom = h - insetY - 3 * lineY;

  // Digits a fifth of the inner height tall, at most 1.5 inches.
  const int64_t cellY = AtLeastOne(std::min((bottom - top) / 35, Scaled(108, ydpi) / 7));
  const int64_t cellX = AtLeastOne(cellY * xdpi / ydpi);
  const std::string number = std::to_string(pageNumber);
  for (size_t i = 0; i < number.size(); ++i) {
    const unsigned char *glyph = kDigits[number[i] - '0'];
    const int64_t glyphLeft = left + static_cast<int64_t>(i) * 6 * cellX;
    for (int row = 0; row < 7; ++row) {
      for (int col = 0; col < 5; ++col) {
        if ((glyph[row] >> (4 - col) & 1) == 0) continue;
        canvas.Fill(glyphLeft + col * cellX, top + row * cellY, glyphLeft + (col + 1) * cellX,
                    top + (row + 1) * cellY);
      }
    }
  }

  // Text at about 10 points: x-height 5, ascenders 7, descenders 2, lines 14 apart.
  const int64_t pitch = AtLeastOne(Scaled(14, ydpi));
  const int64_t xHeight = AtLeastOne(Scaled(5, ydpi));
  const int64_t ascender = AtLeastOne(Scaled(7, ydpi));
  const int64_t descender = Scaled(2, ydpi);
  const int64_t stroke = AtLeastOne(Scaled(0.8, xdpi));
  const int64_t strokeY = AtLeastOne(Scaled(0.8, ydpi));
  const int64_t letter = AtLeastOne(Scaled(4.5, xdpi));
  const int64_t space = AtLeastOne(Scaled(3, xdpi));
  for (int64_t base = top + 8 * cellY + pitch; base + descender <= bottom; base += pitch) {
    // Now and then a short line ends a paragraph.
    const int64_t lineEnd = random->Below(6) == 0
                                ? left + (right - left) * (20 + random->Below(60)) / 100
                                : right;
    int64_t x = left;
    while (true) {
      const int64_t letters = 1 + random->Below(9);
      if (x + letters * letter > lineEnd) break;
      for (int64_t i = 0; i < letters; ++i, x += letter) {
        const int64_t kind = random->Below(8);
        const int64_t stemTop = kind == 0 ? base - ascender : base - xHeight;
        const int64_t stemBottom = kind == 1 ? base + descender : base;
        const int64_t glyphRight = x + letter - stroke;
        canvas.Fill(x, stemTop, x + stroke, stemBottom);
        if (kind != 2) canvas.Fill(x, base - xHeight, glyphRight, base - xHeight + strokeY);
        if (kind >= 3) canvas.Fill(glyphRight - stroke, base - xHeight, glyphRight, base);
        if (kind >= 5) canvas.Fill(x, base - strokeY, glyphRight, base);
      }
      x += space;
    }
  }
}

void ClearPadding(PageBitmap *page) {
  if (page->width % 8 == 0) return;
  const uint64_t stride = PageBitmapStride(page->width);
  const unsigned char mask = static_cast<unsigned char>(0xff << (8 - page->width % 8));
  for (int y = 0; y < page->height; ++y) {
    page->bits[static_cast<uint64_t>(y) * stride + stride - 1] &= mask;
  }
}

void DrawPage(const Options &options, int pageNumber, PageBitmap *page) {
  std::fill(page->bits.begin(), page->bits.end(), 0);
  Random random{options.seed * 0x100000001b3ull + static_cast<uint64_t>(pageNumber)};
  switch (options.content) {
    case Content::Blank:
      break;
    case Content::Black:
      std::fill(page->bits.begin(), page->bits.end(), 0xff);
      break;
    case Content::Random:
      for (size_t i = 0; i < page->bits.size(); i += 8) {
        uint64_t value = random.Next();
        for (size_t k = 0; k < 8 && i + k < page->bits.size(); ++k) {
          page->bits[i + k] = static_cast<unsigned char>(value >> (8 * k));
        }
      }
      break;
    case Content::Text:
      DrawTextPage(page, pageNumber, options.xdpi, options.ydpi, &random);
      break;
  }
  // The bits past the width are not pixels; the raster carries them white.
  ClearPadding(page);
}

bool SetBitsWhite(cups_cspace_t colorSpace) {
  return colorSpace == CUPS_CSPACE_W || colorSpace == CUPS_CSPACE_SW ||
         colorSpace == CUPS_CSPACE_RGB || colorSpace == CUPS_CSPACE_SRGB;
}

// A PWG raster header as IPP clients make one: the media nearest the page size, the
// type's colour space and depth, the width and height PWG computes for that media.
bool InitPwgHeader(const Options &options, double pointsX, double pointsY,
                   cups_page_header2_t *header) {
  pwg_media_t *media = pwgMediaForSize(static_cast<int>(std::lround(pointsX * 2540.0 / 72.0)),
                                       static_cast<int>(std::lround(pointsY * 2540.0 / 72.0)));
  if (media == nullptr) return false;
  return cupsRasterInitPWGHeader(header, media, options.pwgType.c_str(),
                                 static_cast<int>(options.xdpi), static_cast<int>(options.ydpi),
                                 "one-sided", "normal") != 0;
}

// One raster line from a PBM row: the colour space's polarity, the bit depth, and the
// line length of the header (shorter or longer than the pixels need, for refusal tests).
void MakeRasterLine(const unsigned char *pbmRow, int width, unsigned bits, bool setIsWhite,
                    std::vector<unsigned char> *line) {
  const unsigned char white = setIsWhite ? 0xff : 0x00;
  std::fill(line->begin(), line->end(), white);
  const uint64_t lineBytes = line->size();
  if (bits == 1) {
    const uint64_t stride = PageBitmapStride(width);
    const uint64_t n = std::min(stride, lineBytes);
    for (uint64_t i = 0; i < n; ++i) {
      (*line)[i] = setIsWhite ? static_cast<unsigned char>(~pbmRow[i]) : pbmRow[i];
    }
    return;
  }
  // Deeper pixels: black is every bit of the pixel set (K) or clear (W, SW).
  for (int64_t x = 0; x < width; ++x) {
    const bool black = (pbmRow[x / 8] >> (7 - x % 8) & 1) != 0;
    const uint64_t bitOffset = static_cast<uint64_t>(x) * bits;
    if (bitOffset / 8 >= lineBytes) break;
    unsigned char &target = (*line)[bitOffset / 8];
    if (bits >= 8) {
      const unsigned char value = black != setIsWhite ? 0xff : 0x00;
      const uint64_t n = std::min<uint64_t>(bits / 8, lineBytes - bitOffset / 8);
      memset(&target, value, n);
    } else {
      const unsigned char mask =
          static_cast<unsigned char>(((1u << bits) - 1) << (8 - bits - bitOffset % 8));
      if (black != setIsWhite) {
        target |= mask;
      } else {
        target &= static_cast<unsigned char>(~mask);
      }
    }
  }
}

int WriteRaster(const Options &options) {
  int fd = STDOUT_FILENO;
  if (options.output != "-") {
    fd = open(options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      fprintf(stderr, "quenmark_mkraster: cannot create %s: %s\n", options.output.c_str(),
              strerror(errno));
      return kExitError;
    }
  }
  const bool pwg = !options.pwgType.empty();
  cups_raster_t *raster =
      cupsRasterOpen(fd, options.urf ? CUPS_RASTER_WRITE_APPLE
                         : pwg       ? CUPS_RASTER_WRITE_PWG
                         : options.compressed ? CUPS_RASTER_WRITE_COMPRESSED
                                              : CUPS_RASTER_WRITE);
  if (raster == nullptr) {
    fprintf(stderr, "quenmark_mkraster: cannot start the raster stream\n");
    if (fd != STDOUT_FILENO) close(fd);
    return kExitError;
  }
  int status = 0;
  PageBitmap page;
  std::vector<unsigned char> line;
  for (int number = 1; number <= options.pages && status == 0; ++number) {
    const PageSizeChoice &size = options.sizes[static_cast<size_t>(number - 1) %
                                               options.sizes.size()];
    int64_t width = options.widthPx;
    int64_t height = options.heightPx;
    double pointsX = size.width;
    double pointsY = size.height;
    std::string sizeName = size.name;
    if (width == 0) {
      width = AtLeastOne(std::llround(size.width * options.xdpi / 72.0));
      height = AtLeastOne(std::llround(size.height * options.ydpi / 72.0));
    } else {
      pointsX = static_cast<double>(width) * 72.0 / options.xdpi;
      pointsY = static_cast<double>(height) * 72.0 / options.ydpi;
      sizeName = "Custom";
    }
    const uint64_t naturalLine = (static_cast<uint64_t>(width) * options.bits + 7) / 8;
    const uint64_t lineBytes =
        options.bytesPerLine >= 0 ? static_cast<uint64_t>(options.bytesPerLine) : naturalLine;
    if (width > INT_MAX || height > INT_MAX || lineBytes > UINT_MAX) {
      fprintf(stderr, "quenmark_mkraster: page %d: %lldx%lld pixels is too large\n", number,
              static_cast<long long>(width), static_cast<long long>(height));
      status = kExitError;
      break;
    }
    if (!options.headerOnly &&
        (PageBitmapStride(width) * static_cast<uint64_t>(height) > MAX_PAGE_BITMAP_BYTES ||
         lineBytes * static_cast<uint64_t>(height) > MAX_PAGE_BITMAP_BYTES)) {
      fprintf(stderr,
              "quenmark_mkraster: page %d: %lldx%lld pixels needs more than %llu bytes "
              "(--header-only writes the header alone)\n",
              number, static_cast<long long>(width), static_cast<long long>(height),
              static_cast<unsigned long long>(MAX_PAGE_BITMAP_BYTES));
      status = kExitError;
      break;
    }

    cups_page_header2_t header;
    memset(&header, 0, sizeof header);
    header.HWResolution[0] = options.xdpi;
    header.HWResolution[1] = options.ydpi;
    header.PageSize[0] = static_cast<unsigned>(std::lround(pointsX));
    header.PageSize[1] = static_cast<unsigned>(std::lround(pointsY));
    header.ImagingBoundingBox[2] = header.PageSize[0];
    header.ImagingBoundingBox[3] = header.PageSize[1];
    header.NumCopies = 1;
    header.cupsWidth = static_cast<unsigned>(width);
    header.cupsHeight = static_cast<unsigned>(height);
    header.cupsBitsPerColor = options.bits;
    header.cupsBitsPerPixel = options.bits;
    header.cupsBytesPerLine = static_cast<unsigned>(lineBytes);
    header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    header.cupsColorSpace = options.colorSpace;
    header.cupsNumColors = 1;
    header.cupsBorderlessScalingFactor = 1.0f;
    header.cupsPageSize[0] = static_cast<float>(pointsX);
    header.cupsPageSize[1] = static_cast<float>(pointsY);
    snprintf(header.cupsPageSizeName, sizeof header.cupsPageSizeName, "%s", sizeName.c_str());
    if (pwg) {
      if (!InitPwgHeader(options, pointsX, pointsY, &header)) {
        fprintf(stderr, "quenmark_mkraster: page %d: no PWG media of %gx%g points\n", number,
                pointsX, pointsY);
        status = kExitError;
        break;
      }
      width = header.cupsWidth;
      height = header.cupsHeight;
    }
    if (!cupsRasterWriteHeader2(raster, &header)) {
      fprintf(stderr, "quenmark_mkraster: cannot write the header of page %d\n", number);
      status = kExitError;
      break;
    }
    if (options.headerOnly) continue;

    page.width = static_cast<int>(width);
    page.height = static_cast<int>(height);
    page.bits.assign(PageBitmapStride(width) * static_cast<uint64_t>(height), 0);
    DrawPage(options, number, &page);
    if (!options.pbmPrefix.empty()) {
      std::string path = options.pbmPrefix + "-" + std::to_string(number) + ".pbm";
      std::string error;
      if (!WritePbmFile(path, page, &error)) {
        fprintf(stderr, "quenmark_mkraster: %s\n", error.c_str());
        status = kExitError;
        break;
      }
    }
    const uint64_t rasterLine = pwg ? header.cupsBytesPerLine : lineBytes;
    const unsigned rasterBits = pwg ? header.cupsBitsPerPixel : options.bits;
    const cups_cspace_t rasterSpace = pwg ? header.cupsColorSpace : options.colorSpace;
    line.assign(rasterLine, 0);
    const uint64_t stride = PageBitmapStride(width);
    for (int64_t y = 0; y < height && rasterLine > 0; ++y) {
      MakeRasterLine(page.bits.data() + static_cast<uint64_t>(y) * stride, page.width,
                     rasterBits, SetBitsWhite(rasterSpace), &line);
      if (cupsRasterWritePixels(raster, line.data(), static_cast<unsigned>(rasterLine)) !=
          rasterLine) {
        fprintf(stderr, "quenmark_mkraster: cannot write page %d to %s: %s\n", number,
                options.output.c_str(), strerror(errno));
        status = kExitError;
        break;
      }
    }
  }
  cupsRasterClose(raster);
  if (fd != STDOUT_FILENO && close(fd) != 0 && status == 0) {
    fprintf(stderr, "quenmark_mkraster: cannot write %s: %s\n", options.output.c_str(),
            strerror(errno));
    status = kExitError;
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  int usage = ParseOptions(argc, argv, &options);
  if (usage == kExitHelp) return 0;
  if (usage != 0) return usage;
  return WriteRaster(options);
}
