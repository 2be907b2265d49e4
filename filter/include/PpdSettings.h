#pragma once
// The filter's print settings: the PPD's marks and the job options.

#include "JobOptions.h"
#include "JobParamsProc.h"
#include "PrintSettings.h"

// Opens the PPD named by $PPD, marks its defaults and the job's options and writes the
// settings into the table. When the options say nothing of collation, the collate flag
// and the Collate record follow the PPD's marked Collate (a queue's default). 0 on
// success, 1 when the PPD cannot be opened.
int GetPrintSettings(const JobOptions &options, const char *copiesArg,
                     PARAM_KEY_SPERATOR_VALUE *table, PrintSettings *settings,
                     unsigned char *collate, const JobLog &log);
