#pragma once
// The core's log function for the server: each line the core writes for a job (a CUPS
// filter line such as "INFO: Printing page 1") becomes a line of PAPPL's log at the level
// of its prefix, in the job's lines when there is a job, else the printer's or the
// system's. Lines without a prefix (the job parameter traces, "PAGE:") are debug lines.

#include <pappl/pappl.h>

#include <cstddef>
#include <string>

#include "Log.h"

// Where the core's lines go: the job when it is set, else the printer, else the system.
struct CoreLogTarget {
  pappl_system_t *system = nullptr;
  pappl_printer_t *printer = nullptr;
  pappl_job_t *job = nullptr;
};

// The log function and context to hand the core; the target must outlive the job.
JobLog CoreLogFor(CoreLogTarget *target);

// The PAPPL log level of a core line by its CUPS prefix, and its text without the prefix
// and the line feed.
pappl_loglevel_t CoreLineLevel(const char *line, size_t length, std::string *text);
