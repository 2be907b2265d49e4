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

void SwitchDuplexOff(const char *reason, PARAM_KEY_SPERATOR_VALUE *table, PrintSettings *settings) {
  LogLine("%s", reason);
  settings->duplexMode = 0;
  SetJobParam("Duplex", "None", table);
}

}  // namespace

void VerifyParamsConstraint(PARAM_KEY_SPERATOR_VALUE *table, PrintSettings *settings) {
  LogLine("DEBUG: Verify the Params Constraint. \n");
  if (settings->duplexMode == 0) return;

  LogLine("DEBUG: Verifying Duplex Constraint... \n");
  // Both keys are in every table; an empty text stands in should one ever be missing.
  char empty[1] = {};
  char *inputSlot = empty;
  GetJobParam("InputSlot", &inputSlot, table);

  // The reasons are tested in this order, and the first that holds decides.
  if (strcmp(inputSlot, "ManualTray") == 0) {
    SwitchDuplexOff("DEBUG: Duplex is amend to OFF. Cause of Duplex ON + ManualTray. \n", table,
                    settings);
    return;
  }
  if (settings->mediaClass != 0) {
    SwitchDuplexOff("DEBUG: Duplex is amend to OFF. Cause of Duplex ON + No Plain. \n", table,
                    settings);
    return;
  }
  if (settings->flagPageA5 == 1 && settings->feedEdge == 1) {
    SwitchDuplexOff("DEBUG: Duplex is amend to OFF. Cause of Duplex ON + A5L. \n", table, settings);
    return;
  }

  char *pageSize = empty;
  GetJobParam("PageSize", &pageSize, table);
  LogLine("DEBUG: PageSize:%s. \n", pageSize);
  if (!IsDuplexPageSize(pageSize)) {
    SwitchDuplexOff("DEBUG: Duplex is amend to OFF. Cause of Duplex ON + Unsupport Media Size. \n",
                    table, settings);
  }
}
