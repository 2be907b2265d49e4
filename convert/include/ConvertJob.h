#pragma once
// quenmark_convert: the core as a command. A CUPS or PWG raster of 1-bit pages in, the
// printer stream out, with the job's settings given as IPP attributes.

#include <cstdio>
#include <string>

#include "IppJobAttributes.h"

struct ConvertRequest {
  JobLog log;  // the job's lines: standard error
  IppJobAttributes attributes;
  bool resolutionGiven = false;
  std::string inputPath;  // empty: standard input
  int threads = 0;        // 0: one per core
};

// Reads the command line. 0 to go on; otherwise the exit status (usage text or error
// already written to standard error; -1 for --help, which is not an error).
int ParseConvertArguments(int argc, char **argv, ConvertRequest *request);

// Converts the raster read from inputFd into the printer stream on out. Exit status: 0,
// or 1 for bad input (a raster that is not one, not 1-bit or damaged) and for a stream
// that cannot be written, 255 for a page that cannot be encoded.
int ConvertRaster(int inputFd, const ConvertRequest &request, FILE *out);

// The whole command: arguments, input, conversion. Exit status.
int ConvertMain(int argc, char **argv);
