// The duplex constraint check: two-sided printing is switched off where the paper path
// cannot turn the sheet, in the settings and in the table alike, so the printer, the
// page rotation and the output sequencing all see a one-sided job.

#include <cstring>

#include "Log.h"
#include "PrintSettings.h"

namespace {

// The sizes the duplex unit can turn.
constexpr const char *DUPLEX_PAGE_SIZES[] = {"A4", "Letter", "A5", "B5", "B5ISO", "16k"};

bool IsDuplexPageSize(const char *pageSize) {
  for (const char *size : DUPLEX_PAGE_SIZES) {
    if (strcmp(pageSize, size) == 0) return true;
  }
  return false;
}

void SwitchDuplexOff(const char *reason, PARAM_KEY_SPERATOR_VALUE *table, PrintSettings *settings,
                     const JobLog &log) {
  LogLine(log, "%s", reason);
  settings->duplexMode = 0;
  SetJobParam("Duplex", "None", table, log);
}

constexpr const char *REASON_LINES[] = {
    "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + ManualTray. \n",
    "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + No Plain. \n",
    "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + A5L. \n",
    "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + Unsupport Media Size. \n",
};

constexpr const char *REASON_TEXTS[] = {
    "the manual tray cannot feed two-sided jobs",
    "only plain paper can be printed on both sides",
    "an A5 sheet fed long edge first cannot be turned",
    "the duplex unit cannot turn sheets of this size",
};

// The first rule that keeps the sheet from the duplex unit, tested in this order;
// -1 when none holds. The page size is read only when the first three rules fail.
int DuplexOffRule(PARAM_KEY_SPERATOR_VALUE *table, const PrintSettings &settings, bool logPageSize,
                  const JobLog &log) {
  // Both keys are in every table; an empty text stands in should one ever be missing.
  char empty[1] = {};
  char *inputSlot = empty;
  GetJobParam("InputSlot", &inputSlot, table, log);
  if (strcmp(inputSlot, "ManualTray") == 0) return 0;
  if (settings.mediaClass != 0) return 1;
  if (IsLongEdgeA5(settings)) return 2;
  char *pageSize = empty;
  GetJobParam("PageSize", &pageSize, table, log);
  if (logPageSize) LogLine(log, "DEBUG: PageSize:%s. \n", pageSize);
  return IsDuplexPageSize(pageSize) ? -1 : 3;
}

}  // namespace

void VerifyParamsConstraint(PARAM_KEY_SPERATOR_VALUE *table, PrintSettings *settings,
                            const JobLog &log) {
  LogLine(log, "DEBUG: Verify the Params Constraint. \n");
  if (settings->duplexMode == 0) return;

  LogLine(log, "DEBUG: Verifying Duplex Constraint... \n");
  const int rule = DuplexOffRule(table, *settings, true, log);
  if (rule >= 0) SwitchDuplexOff(REASON_LINES[rule], table, settings, log);
}

const char *DuplexOffReason(PARAM_KEY_SPERATOR_VALUE *table, const PrintSettings &settings,
                            const JobLog &log) {
  const int rule = DuplexOffRule(table, settings, false, log);
  return rule >= 0 ? REASON_TEXTS[rule] : nullptr;
}
