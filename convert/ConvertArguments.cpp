// The converter's command line: -o NAME=VALUE job attributes, the number of encoding
// threads, and the input file.

#include <cups/cups.h>
#include <getopt.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ConvertJob.h"
#include "JobOptions.h"

namespace {

const char USAGE[] =
    "usage: quenmark_convert [-o NAME=VALUE]... [--threads N] [INPUT]\n"
    "Reads a CUPS or PWG raster of 1-bit pages (INPUT, or standard input) and writes the\n"
    "printer stream to standard output. Job attributes, as IPP names them (quote values\n"
    "with spaces as for lp: -o 'job-name=\"My report\"'):\n"
    "  media (or media-size-name)  iso_a4_210x297mm (default), na_letter_8.5x11in,\n"
    "                              iso_a5_148x210mm, ... or the PPD's names (A4, A5, ...)\n"
    "  media-source                main (default), manual, tray-2\n"
    "  media-type                  stationery (default), stationery-recycled,\n"
    "                              stationery-lightweight, stationery-heavyweight\n"
    "  printer-resolution          600dpi (default), 1200dpi\n"
    "  sides                       one-sided (default), two-sided-long-edge,\n"
    "                              two-sided-short-edge\n"
    "  feed-orientation            short-edge-first (default), long-edge-first\n"
    "  copies                      1 (default) to 999\n"
    "  multiple-document-handling  separate-documents-uncollated-copies (default),\n"
    "                              separate-documents-collated-copies\n"
    "  job-name, job-originating-user-name, job-uuid, job-originating-host-name,\n"
    "  date-time-at-creation, date-time-at-processing, time-at-creation,\n"
    "  time-at-processing, job-id   the job's identity (defaults: the input's name, you, 1)\n"
    "  -t, --threads N             encoding threads (default: one per core)\n";

// The attributes are read from the -o texts by the job options' one reader, as lp reads
// its own -o options: quotes and backslashes as in CUPS, the last of two alike names wins.
bool TakeAttributes(const JobOptions &options, ConvertRequest *request) {
  for (int i = 0; i < options.count; ++i) {
    const cups_option_t &option = options.options[i];
    char error[256] = {};
    if (!SetIppJobAttribute(&request->attributes, option.name, option.value, error, sizeof error)) {
      fprintf(stderr, "quenmark_convert: %s\n", error);
      return false;
    }
    if (strcmp(option.name, "printer-resolution") == 0) request->resolutionGiven = true;
  }
  return true;
}

bool ParseThreads(const char *text, int *threads) {
  char *end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 64) return false;
  *threads = static_cast<int>(value);
  return true;
}

void SetDefault(char (&field)[IPP_TEXT_SIZE], const char *value) {
  if (field[0] == '\0' && value != nullptr) snprintf(field, sizeof field, "%s", value);
}

}  // namespace

int ParseConvertArguments(int argc, char **argv, ConvertRequest *request) {
  static const struct option longOptions[] = {
      {"option", required_argument, nullptr, 'o'},
      {"threads", required_argument, nullptr, 't'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  optind = 1;
  JobOptions options;
  int choice = 0;
  while ((choice = getopt_long(argc, argv, "o:t:h", longOptions, nullptr)) != -1) {
    switch (choice) {
      case 'o':
        if (strchr(optarg, '=') == nullptr) {
          fprintf(stderr, "quenmark_convert: -o %s: expected NAME=VALUE\n", optarg);
          ReleaseJobOptions(&options);
          return 1;
        }
        AddJobOptions(&options, optarg);
        break;
      case 't':
        if (!ParseThreads(optarg, &request->threads)) {
          fprintf(stderr, "quenmark_convert: --threads %s: expected a number from 0 to 64\n",
                  optarg);
          ReleaseJobOptions(&options);
          return 1;
        }
        break;
      case 'h':
        fputs(USAGE, stdout);
        ReleaseJobOptions(&options);
        return -1;
      default:
        fputs(USAGE, stderr);
        ReleaseJobOptions(&options);
        return 1;
    }
  }
  const bool taken = TakeAttributes(options, request);
  ReleaseJobOptions(&options);
  if (!taken) return 1;
  if (argc - optind > 1) {
    fputs(USAGE, stderr);
    return 1;
  }
  if (optind < argc) request->inputPath = argv[optind];

  // Who and what, unless the options said so: the user running us and the input's name.
  if (request->attributes.userName[0] == '\0') {
    const struct passwd *user = getpwuid(geteuid());
    SetDefault(request->attributes.userName, user != nullptr ? user->pw_name : "");
  }
  SetDefault(request->attributes.jobName,
             request->inputPath.empty() ? "(stdin)" : request->inputPath.c_str());
  return 0;
}
