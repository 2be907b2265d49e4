#pragma once
// The filter's print settings: the PPD's marks and the job options.

#include "JobParamsProc.h"
#include "PrintSettings.h"

// Opens the PPD named by $PPD, marks defaults and options and writes the settings into
// the table. 0 on success, 1 when the PPD cannot be opened.
int GetPrintSettings(const char *options, const char *copiesArg,
                     PARAM_KEY_SPERATOR_VALUE *table, PrintSettings *settings);
