// quenmark_inspect: shows what the printer would receive. Reads a printer stream,
// checks its structure and record sequence, prints the job parameters and a table of
// the page records, and decodes every page to a PBM and a PNG file.

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Log.h"
#include "StreamReader.h"

namespace {

constexpr int kExitDamaged = 1;
constexpr int kExitUsage = 2;
// Asked for the usage text: not an error, but nothing else to do.
constexpr int kExitHelp = -1;

const char kUsage[] =
    "usage: quenmark_inspect [--out-dir DIR] [--no-decode] [--quiet] [FILE|-]\n"
    "  Reads a printer stream from FILE, or from standard input for '-' or no FILE,\n"
    "  checks it, prints its job parameters and page records, and decodes every page\n"
    "  to DIR/page-NNN.pbm and DIR/page-NNN.png. DIR is --out-dir, else FILE.pages\n"
    "  next to FILE; a stream on standard input needs --out-dir (or --no-decode).\n"
    "  --no-decode   check and list only, write no files\n"
    "  --quiet       print nothing but problems\n";

struct Options {
  std::string input = "-";
  std::string outDir;  // empty: FILE.pages
  bool decode = true;
  bool quiet = false;
};

struct PageResult {
  bool decoded = false;
  int width = 0;
  int height = 0;
  bool blank = false;
};

int ParseOptions(int argc, char **argv, Options *options) {
  enum { kOutDir = 256, kNoDecode, kQuiet, kHelp };
  static const option longOptions[] = {
      {"out-dir", required_argument, nullptr, kOutDir},
      {"no-decode", no_argument, nullptr, kNoDecode},
      {"quiet", no_argument, nullptr, kQuiet},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+h", longOptions, nullptr)) != -1) {
    switch (c) {
      case kOutDir:
        if (*optarg == '\0') {
          fprintf(stderr, "quenmark_inspect: empty output directory\n");
          return kExitUsage;
        }
        options->outDir = optarg;
        break;
      case kNoDecode:
        options->decode = false;
        break;
      case kQuiet:
        options->quiet = true;
        break;
      case 'h':
      case kHelp:
        fputs(kUsage, stdout);
        return kExitHelp;
      default:
        fprintf(stderr, "quenmark_inspect: unknown option or missing value: %s\n",
                argv[optind - 1]);
        fputs(kUsage, stderr);
        return kExitUsage;
    }
  }
  if (argc - optind > 1) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (optind < argc) options->input = argv[optind];
  // Page images land beside the stream they come from, never among other files by
  // chance (the current directory).
  if (options->decode && options->outDir.empty()) {
    if (options->input == "-") {
      fprintf(stderr, "quenmark_inspect: a stream on standard input needs --out-dir DIR "
                      "(or --no-decode)\n");
      return kExitUsage;
    }
    options->outDir = options->input + ".pages";
  }
  return 0;
}

// A job whose stream never says "last page" leaves the printer waiting for more. That is
// how a cancelled job ends, and how collated two-sided copies of an odd page count end by
// design (their last record is a front side), so it is worth a warning, not an error.
bool EndsWithoutLastPage(const ParsedStream &stream) {
  if (!stream.hasJobHeader) return false;
  for (const StreamRecord &record : stream.records) {
    if (record.lastpage == 1) return false;
  }
  return true;
}

bool ReadStandardInput(std::vector<unsigned char> *bytes, std::string *error) {
  unsigned char buffer[65536];
  while (true) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) {
      bytes->insert(bytes->end(), buffer, buffer + n);
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      *error = std::string("cannot read standard input: ") + strerror(errno);
      return false;
    }
  }
}

std::string PageFileName(size_t number, const char *extension) {
  char name[32];
  snprintf(name, sizeof name, "page-%03zu.%s", number, extension);
  return name;
}

std::string RecordName(size_t index, const StreamRecord &record) {
  return "page record " + std::to_string(index + 1) + " (at byte " +
         std::to_string(record.offset) + ")";
}

void PrintTable(const ParsedStream &stream, const std::vector<PageResult> &results,
                bool decoded) {
  printf("Page records: %zu\n", stream.records.size());
  if (stream.records.empty()) return;
  printf("%5s %10s %9s %8s %10s %7s  %-12s %s\n", "#", "offset", "firstpage", "lastpage",
         "jbg_size", "pageno", "decoded", "blank");
  for (size_t i = 0; i < stream.records.size(); ++i) {
    const StreamRecord &record = stream.records[i];
    std::string size = "-";
    std::string blank = "-";
    if (!decoded) {
      size = "-";
    } else if (!results[i].decoded) {
      size = "FAILED";
    } else {
      size = std::to_string(results[i].width) + "x" + std::to_string(results[i].height);
      blank = results[i].blank ? "yes" : "no";
    }
    printf("%5zu %10" PRIu64 " %9" PRId32 " %8" PRId32 " %10" PRIu32 " %7" PRId32 "  %-12s %s\n",
           i + 1, record.offset, record.firstpage, record.lastpage, record.jbg_size,
           record.pageno, size.c_str(), blank.c_str());
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  int usage = ParseOptions(argc, argv, &options);
  if (usage == kExitHelp) return 0;
  if (usage != 0) return usage;

  std::vector<unsigned char> bytes;
  std::string error;
  const bool fromStdin = options.input == "-";
  const std::string source = fromStdin ? "standard input" : options.input;
  if (!(fromStdin ? ReadStandardInput(&bytes, &error)
                  : ReadWholeFile(options.input, &bytes, &error))) {
    fprintf(stderr, "quenmark_inspect: %s\n", error.c_str());
    return kExitDamaged;
  }

  int status = 0;
  ParsedStream stream;
  std::string structureError;
  const bool wellFormed = ParsePrinterStream(bytes, &stream, &structureError);
  if (!options.quiet) {
    printf("Stream: %s, %zu bytes\n", source.c_str(), bytes.size());
    if (bytes.empty()) {
      printf("Empty stream: no job header and no page records (a job without raster pages)\n");
    }
    if (stream.hasJobHeader) {
      printf("Job parameters (%zu bytes):\n", stream.jobParams.size());
      for (const JobParamEntry &entry : SplitJobParams(stream.jobParams)) {
        // The listing ends up in bug reports: the account password stays masked.
        const char *shown = LoggableParamValue(entry.key.c_str(), entry.value.c_str());
        printf("  %s = %s\n", entry.key.c_str(), shown);
      }
    }
  }

  std::vector<PageResult> results(stream.records.size());
  bool directoryReady = false;
  std::string directory = options.outDir;
  if (options.decode && !stream.records.empty()) {
    std::error_code code;
    std::filesystem::create_directories(options.outDir, code);
    if (!std::filesystem::is_directory(options.outDir, code)) {
      fprintf(stderr, "quenmark_inspect: cannot create the directory %s: %s\n",
              options.outDir.c_str(), code ? code.message().c_str() : "not a directory");
      status = kExitDamaged;
    } else {
      directoryReady = true;
      std::filesystem::path absolute = std::filesystem::absolute(options.outDir, code);
      if (!code) directory = absolute.lexically_normal().string();
    }
  }
  if (directoryReady) {
    for (size_t i = 0; i < stream.records.size(); ++i) {
      const StreamRecord &record = stream.records[i];
      PageBitmap page;
      std::string decodeError;
      if (!DecodeJbig(bytes.data() + record.dataOffset, record.jbg_size, &page, &decodeError)) {
        fprintf(stderr, "quenmark_inspect: %s: JBIG data at byte %" PRIu64 ": %s\n",
                RecordName(i, record).c_str(), record.dataOffset, decodeError.c_str());
        status = kExitDamaged;
        continue;
      }
      results[i] = {true, page.width, page.height, IsAllWhite(page)};
      const std::string base = options.outDir + "/";
      std::string writeError;
      if (!WritePbmFile(base + PageFileName(i + 1, "pbm"), page, &writeError) ||
          !WritePngFile(base + PageFileName(i + 1, "png"), page, &writeError)) {
        fprintf(stderr, "quenmark_inspect: %s\n", writeError.c_str());
        status = kExitDamaged;
      }
    }
  }

  if (!options.quiet && stream.hasJobHeader) PrintTable(stream, results, directoryReady);

  if (!wellFormed) {
    fprintf(stderr, "quenmark_inspect: damaged stream: %s\n", structureError.c_str());
    status = kExitDamaged;
  }
  std::string sequenceError;
  if (!CheckRecordSequence(stream, &sequenceError)) {
    fprintf(stderr, "quenmark_inspect: bad record sequence: %s\n", sequenceError.c_str());
    status = kExitDamaged;
  }
  const bool noLastPage = status == 0 && EndsWithoutLastPage(stream);
  if (noLastPage) {
    fprintf(stderr,
            "quenmark_inspect: warning: no page record has lastpage 1 (a cancelled job, or "
            "collated two-sided copies of an odd page count)\n");
  }
  if (!options.quiet) {
    if (directoryReady) {
      const size_t count = stream.records.size();
      std::string names = "page-NNN.pbm and page-NNN.png, NNN from " +
                           PageFileName(1, "").substr(5, 3) + " to " +
                           PageFileName(count, "").substr(5, PageFileName(count, "").size() - 6);
      printf("Pages written to %s: %s\n", directory.c_str(), names.c_str());
    }
    if (status == 0) {
      printf("Stream OK: %zu page records, %zu bytes%s\n", stream.records.size(), bytes.size(),
             noLastPage ? "; warning: no record has lastpage 1" : "");
    } else {
      printf("Stream has problems (see the messages on standard error)\n");
    }
  }
  fflush(stdout);
  return status;
}
