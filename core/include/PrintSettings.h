#pragma once
// The job's print settings, the record that every front end fills (the filter from the
// PPD's marks and the job options) and the rest of the job reads.

#include <cstdint>

#include "JobParamsProc.h"
#include "PageLimits.h"

struct PrintSettings {
  int32_t duplexMode = 0;   // 0 none, 1 DuplexNoTumble, 2 DuplexTumble
  int32_t feedEdge = 0;     // 1: long edge first
  int32_t flagPageA5 = 0;
  int32_t orientation = 0;  // logged only
  int32_t mediaClass = 0;   // 0 plain, 1 Thin, 2 Thick
  int32_t copies = 0;       // atoi of the copies argument; below 1 acts as 1
  // The largest page the printer takes, from its largest sheet at its highest resolution.
  // Left at zero it takes no page at all: every front end must fill it.
  PageLimits pageLimits;
};

// An A5 sheet fed long edge first: its pages are turned by a quarter turn.
inline bool IsLongEdgeA5(const PrintSettings &settings) {
  return settings.flagPageA5 == 1 && settings.feedEdge == 1;
}

// Switches two-sided printing off where the paper path cannot do it.
void VerifyParamsConstraint(PARAM_KEY_SPERATOR_VALUE *table, PrintSettings *settings,
                            const JobLog &log);
// Why a two-sided job with this table and these settings prints one-sided, in words for a
// user; null when the sheet can be turned.
const char *DuplexOffReason(PARAM_KEY_SPERATOR_VALUE *table, const PrintSettings &settings,
                            const JobLog &log);
