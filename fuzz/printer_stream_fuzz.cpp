// The stream inspector's reader on any bytes: structure, record sequence, job
// parameters and the JBIG data of every record.

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "StreamReader.h"

namespace {

// Splitting the job parameter string loses nothing: the entries joined again give the
// string back (the ", " that ends the last record aside).
void CheckJobParamsSplit(const std::string &jobParams) {
  const std::vector<JobParamEntry> entries = SplitJobParams(jobParams);
  std::string joined;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) joined += ", ";
    joined += entries[i].key.empty() ? entries[i].value : entries[i].key + "=" + entries[i].value;
  }
  if (jobParams.size() >= 2 && jobParams.compare(jobParams.size() - 2, 2, ", ") == 0) joined += ", ";
  FUZZ_CHECK(joined == jobParams);
  std::string value;
  if (FindJobParam(jobParams, "DocName", &value)) FUZZ_CHECK(jobParams.find(value) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::vector<unsigned char> bytes(data, data + size);
  ParsedStream stream;
  std::string error;
  const bool parsed = ParsePrinterStream(bytes, &stream, &error);
  FUZZ_CHECK(parsed || !error.empty());

  // Records, even those read before damage, lie whole inside the stream, back to back.
  uint64_t expectedOffset = 20 + stream.jobParams.size();
  for (const StreamRecord &record : stream.records) {
    FUZZ_CHECK(record.offset == expectedOffset);
    FUZZ_CHECK(record.dataOffset == record.offset + 32);
    FUZZ_CHECK(record.dataOffset + record.jbg_size <= size);
    expectedOffset = record.dataOffset + record.jbg_size;
  }
  if (parsed) {
    FUZZ_CHECK(!stream.hasJobHeader || expectedOffset == size);
    std::string sequenceError;
    if (!CheckRecordSequence(stream, &sequenceError)) FUZZ_CHECK(!sequenceError.empty());
  }
  if (stream.hasJobHeader) CheckJobParamsSplit(stream.jobParams);

  for (const StreamRecord &record : stream.records) {
    PageBitmap page;
    std::string decodeError;
    if (DecodeJbig(data + record.dataOffset, record.jbg_size, &page, &decodeError)) {
      FUZZ_CHECK(page.width > 0 && page.height > 0);
      FUZZ_CHECK(page.bits.size() == PageBitmapStride(page.width) * static_cast<uint64_t>(page.height));
    } else {
      FUZZ_CHECK(!decodeError.empty());
    }
  }
  return 0;
}
