// Parsing and checking a printer stream as the printer would receive it: the job
// header, then page records back to back up to the last byte.

#include "StreamReader.h"

#include <cstring>

namespace {

constexpr char kJobMagic[16] = "kv7310_param";     // 12 characters and 4 NULs
constexpr char kRecordMagic[16] = "kv7310_printer";  // 14 characters and 2 NULs
constexpr uint64_t kJobHeaderSize = 20;
constexpr uint64_t kRecordHeaderSize = 32;

// Byte by byte, so the result does not depend on the host's byte order.
uint32_t LittleEndian32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int32_t LittleEndianSigned32(const unsigned char *p) {
  // Two's complement conversion without relying on implementation-defined narrowing.
  uint32_t u = LittleEndian32(p);
  return u <= 0x7fffffffu ? static_cast<int32_t>(u)
                          : -static_cast<int32_t>(~u) - 1;
}

std::string At(uint64_t offset) { return "at byte " + std::to_string(offset) + ": "; }

// A printable rendering of magic bytes for messages ("kv7310_printe\x00\x00\x00").
std::string ShowBytes(const unsigned char *p, size_t n) {
  std::string text;
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      text += static_cast<char>(c);
    } else {
      text += "\\x";
      text += hex[c >> 4];
      text += hex[c & 15];
    }
  }
  return text;
}

void SetError(std::string *error, const std::string &text) {
  if (error != nullptr) *error = text;
}

bool LooksLikeKey(const std::string &piece, size_t eq) {
  if (eq == 0) return false;
  for (size_t i = 0; i < eq; ++i) {
    unsigned char c = static_cast<unsigned char>(piece[i]);
    if (c <= 0x20 || c == ',' || c >= 0x7f) return false;
  }
  return true;
}

}  // namespace

bool ParsePrinterStream(const std::vector<unsigned char> &bytes, ParsedStream *stream,
                        std::string *error) {
  *stream = ParsedStream();
  const uint64_t total = bytes.size();
  if (total == 0) return true;  // a job without raster pages: nothing at all was written

  if (total < kJobHeaderSize) {
    SetError(error, At(0) + "truncated job header: " + std::to_string(total) + " of " +
                        std::to_string(kJobHeaderSize) + " bytes");
    return false;
  }
  if (memcmp(bytes.data(), kJobMagic, sizeof kJobMagic) != 0) {
    SetError(error, At(0) + "bad job header magic \"" + ShowBytes(bytes.data(), 16) +
                        "\", expected \"kv7310_param\" and 4 NUL bytes");
    return false;
  }
  const uint64_t paramLength = LittleEndian32(bytes.data() + 16);
  if (paramLength > total - kJobHeaderSize) {
    SetError(error, At(kJobHeaderSize) + "job parameter string truncated: " +
                        std::to_string(paramLength) + " bytes announced, " +
                        std::to_string(total - kJobHeaderSize) + " present");
    return false;
  }
  stream->hasJobHeader = true;
  stream->jobParams.assign(reinterpret_cast<const char *>(bytes.data()) + kJobHeaderSize,
                           paramLength);

  uint64_t offset = kJobHeaderSize + paramLength;
  while (offset < total) {
    const size_t number = stream->records.size() + 1;
    const std::string which = "page record " + std::to_string(number) + ": ";
    const uint64_t left = total - offset;
    const unsigned char *header = bytes.data() + offset;
    if (left < kRecordHeaderSize) {
      SetError(error, At(offset) + which + "truncated header: " + std::to_string(left) +
                          " of " + std::to_string(kRecordHeaderSize) + " bytes");
      return false;
    }
    if (memcmp(header, kRecordMagic, sizeof kRecordMagic) != 0) {
      SetError(error, At(offset) + which + "bad magic \"" + ShowBytes(header, 16) +
                          "\", expected \"kv7310_printer\" and 2 NUL bytes");
      return false;
    }
    StreamRecord record;
    record.offset = offset;
    record.firstpage = LittleEndianSigned32(header + 16);
    record.lastpage = LittleEndianSigned32(header + 20);
    record.jbg_size = LittleEndian32(header + 24);
    record.pageno = LittleEndianSigned32(header + 28);
    record.dataOffset = offset + kRecordHeaderSize;
    const uint64_t dataLeft = total - record.dataOffset;
    if (record.jbg_size > dataLeft) {
      SetError(error, At(offset) + which + "jbg_size " + std::to_string(record.jbg_size) +
                          " runs past the end of the stream: " + std::to_string(dataLeft) +
                          " bytes of JBIG data follow the header (data truncated at byte " +
                          std::to_string(total) + ")");
      return false;
    }
    stream->records.push_back(record);
    offset = record.dataOffset + record.jbg_size;
  }
  return true;
}

bool CheckRecordSequence(const ParsedStream &stream, std::string *error) {
  const size_t count = stream.records.size();
  for (size_t i = 0; i < count; ++i) {
    const StreamRecord &record = stream.records[i];
    const std::string where = "page record " + std::to_string(i + 1) + " (at byte " +
                              std::to_string(record.offset) + "): ";
    if (record.pageno < 0 || static_cast<uint64_t>(record.pageno) != i + 1) {
      SetError(error, where + "pageno " + std::to_string(record.pageno) + ", expected " +
                          std::to_string(i + 1));
      return false;
    }
    if (record.firstpage != 0 && record.firstpage != 1) {
      SetError(error, where + "firstpage " + std::to_string(record.firstpage) +
                          ", expected 0 or 1");
      return false;
    }
    // Every ordering of the sides starts with the job's first raster page.
    if (i == 0 && record.firstpage != 1) {
      SetError(error, where + "the first record has firstpage 0, expected 1");
      return false;
    }
    if (record.lastpage != 0 && record.lastpage != 1) {
      SetError(error, where + "lastpage " + std::to_string(record.lastpage) +
                          ", expected 0 or 1");
      return false;
    }
    if (record.lastpage == 1 && i + 1 != count) {
      SetError(error, where + "lastpage 1 on a record that is not the last (" +
                          std::to_string(count) + " records)");
      return false;
    }
  }
  return true;
}

std::vector<JobParamEntry> SplitJobParams(const std::string &jobParams) {
  std::vector<JobParamEntry> entries;
  static const std::string separator = ", ";
  size_t start = 0;
  while (start < jobParams.size()) {
    size_t end = jobParams.find(separator, start);
    const bool last = end == std::string::npos;
    if (last) end = jobParams.size();
    std::string piece = jobParams.substr(start, end - start);
    start = last ? end : end + separator.size();
    const size_t eq = piece.find('=');
    if (eq != std::string::npos && LooksLikeKey(piece, eq)) {
      entries.push_back({piece.substr(0, eq), piece.substr(eq + 1)});
    } else if (!entries.empty()) {
      // A document name such as "a, b.pdf" carries the separator inside its value.
      entries.back().value += separator + piece;
    } else {
      entries.push_back({"", piece});
    }
  }
  // The ", " after the last record ends the loop without leaving an empty piece.
  return entries;
}

bool FindJobParam(const std::string &jobParams, const std::string &key, std::string *value) {
  for (const JobParamEntry &entry : SplitJobParams(jobParams)) {
    if (entry.key == key) {
      if (value != nullptr) *value = entry.value;
      return true;
    }
  }
  return false;
}
