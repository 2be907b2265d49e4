#pragma once
// Reading the printer stream back: parsing and checking its records, decoding the
// JBIG pages. Used by the stream inspector and the tests; not part of the filter.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A bi-level page in PBM layout: rows of (width + 7) / 8 bytes, set bit black.
struct PageBitmap {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> bits;
};

// The largest page the readers accept: a page of pixel data beyond this is refused
// rather than allocated, whatever its header claims.
inline constexpr uint64_t MAX_PAGE_BITMAP_BYTES = 1ull << 30;

inline uint64_t PageBitmapStride(int64_t width) { return static_cast<uint64_t>(width + 7) / 8; }

struct StreamRecord {
  uint64_t offset = 0;      // byte offset of the record's header in the stream
  int32_t firstpage = 0;
  int32_t lastpage = 0;
  uint32_t jbg_size = 0;
  int32_t pageno = 0;
  uint64_t dataOffset = 0;  // byte offset of the JBIG data
};

struct ParsedStream {
  // False only for the empty stream (0 bytes), which a job without raster pages gives.
  bool hasJobHeader = false;
  std::string jobParams;  // the job parameter string
  std::vector<StreamRecord> records;
};

// Structure: magics, lengths, nothing left over. On failure *error names the byte offset,
// and *stream keeps what was read before the damage (the job header, complete records).
bool ParsePrinterStream(const std::vector<unsigned char> &bytes, ParsedStream *stream,
                        std::string *error);
// Sequence rules: pageno 1, 2, 3 ... without gaps, lastpage only on the last record.
bool CheckRecordSequence(const ParsedStream &stream, std::string *error);
// The value of one key of a job parameter string; false when the key is absent.
bool FindJobParam(const std::string &jobParams, const std::string &key, std::string *value);

struct JobParamEntry {
  std::string key;
  std::string value;
};
// Splits "k=v, k=v, ..." into its entries. Values are not escaped in the string, so a
// piece that does not look like "key=" continues the value before it.
std::vector<JobParamEntry> SplitJobParams(const std::string &jobParams);

bool DecodeJbig(const unsigned char *data, size_t size, PageBitmap *page, std::string *error);
bool ReadPbmFile(const std::string &path, PageBitmap *page, std::string *error);
bool WritePbmFile(const std::string &path, const PageBitmap &page, std::string *error);
bool WritePngFile(const std::string &path, const PageBitmap &page, std::string *error);
bool ReadWholeFile(const std::string &path, std::vector<unsigned char> *bytes, std::string *error);
// Compares the visible pixels (padding bits past the width ignored).
bool SamePixels(const PageBitmap &a, const PageBitmap &b);
bool IsAllWhite(const PageBitmap &page);
