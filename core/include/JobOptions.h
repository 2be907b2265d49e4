#pragma once
// The job's options, read once, the way libcups reads an options string: quotes and
// backslash escapes removed, a bare "name" taken as name=true and "noname" as
// name=false, and of two options with one name (in any letter case) the later one.
// Every consumer (the job parameter table, the collate flag, the PPD marks) gets this
// one reading, so that none of them can see a value the others do not.

#include <cups/cups.h>

#include <string>
#include <vector>

struct JobOptions {
  int count = 0;
  cups_option_t *options = nullptr;
  // The options whose value came from a bare name ("name", "noname"), not from "name=".
  std::vector<std::string> bare;
};

// Parses the options argument of a filter, or "name=value ..." options of any other
// front end. A null text gives no options.
JobOptions ParseJobOptions(const char *text);
// Adds the options of another text (one -o argument, say), later ones replacing
// earlier ones of the same name, as lp does with its -o options.
void AddJobOptions(JobOptions *options, const char *text);
void ReleaseJobOptions(JobOptions *options);
// The value of the named option (letter case ignored, as in libcups), or null.
const char *JobOptionValue(const JobOptions &options, const char *name);
// Whether the named option was given as a bare name: "job-uuid" reads as job-uuid=true
// and "nojob-uuid" as job-uuid=false, but neither says what the job's uuid is.
bool IsBareJobOption(const JobOptions &options, const char *name);
// The value an option gives a job parameter: only "name=value" gives one; null for an
// option that is absent or bare.
const char *RecordOptionValue(const JobOptions &options, const char *name);

// Collation as the options ask for it: -1 when no Collate option is given, 0 for the
// words false, no and off (in any letter case; a bare "noCollate" reads as false), 1
// for any other value (a bare "Collate" reads as true).
int ReadCollateOption(const JobOptions &options);
bool IsCollateOffValue(const char *value);

// An options string as it may be logged: the whole value of every AuthPassword option,
// quoted, escaped or bare of quotes, replaced by the mask; everything else unchanged.
std::string MaskSecretsInOptions(const char *options);
