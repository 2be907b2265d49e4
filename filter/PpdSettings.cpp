// The job's print settings: the PPD's defaults and the job options are marked in the
// PPD, and the marks (plus the PageSize and InputSlot options read directly and the
// copies argument) settle the table values and the settings the rest of the job reads.

#include "PpdSettings.h"

#include <cups/cups.h>
// The PPD API is the printer's interface to CUPS here; libcups marks it deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "CredentialsFile.h"
#include "Log.h"

namespace {

// The page sizes the printer knows, probed in this order; the first marked one wins.
constexpr const char *PAGE_SIZE_PROBE_ORDER[] = {
    "A4",    "A5", "B5", "16k", "Letter", "Statement", "Legal",
    "Executive", "A6", "B6", "B5ISO", "BANK1", "BANK2",
};

bool IsMarked(ppd_file_t *ppd, const char *keyword, const char *choice) {
  return ppdIsMarked(ppd, keyword, choice) != 0;
}

// atoi's result for every number that fits an int; out-of-range numbers saturate
// instead of overflowing.
int32_t CopiesFromArgument(const char *text) {
  const long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(value);
}

void SettlePageSize(ppd_file_t *ppd, const JobOptions &options, PARAM_KEY_SPERATOR_VALUE *table,
                    const JobLog &log) {
  // An explicit PageSize option wins over any mark and is taken as it comes.
  const char *option = RecordOptionValue(options, "PageSize");
  if (option != nullptr) {
    LogLine(log, "DEBUG: option PageSize,value=%s\n", option);
    SetSubmittedJobParam("PageSize", option, table, log);
    return;
  }
  for (const char *size : PAGE_SIZE_PROBE_ORDER) {
    if (IsMarked(ppd, "PageSize", size)) {
      LogLine(log, "DEBUG: ppd PageSize,value=%s\n", size);
      SetJobParam("PageSize", size, table, log);
      return;
    }
  }
  // A size outside the printer's list leaves the table's earlier value in place.
}

void SettleInputSlot(ppd_file_t *ppd, const JobOptions &options, PARAM_KEY_SPERATOR_VALUE *table,
                     const JobLog &log) {
  const char *option = RecordOptionValue(options, "InputSlot");
  if (option != nullptr) {
    LogLine(log, "DEBUG: option PaperBox,value=%s\n", option);
    SetSubmittedJobParam("InputSlot", option, table, log);
  }
  if (IsMarked(ppd, "InputSlot", "ManualTray")) {
    SetJobParam("InputSlot", "ManualTray", table, log);
    LogLine(log, "DEBUG: InputSlot is ManualTray.\n");
  } else {
    LogLine(log, "DEBUG: InputSlot is Default(MainTray).\n");
  }
}

void SettleResolution(ppd_file_t *ppd, PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log) {
  if (IsMarked(ppd, "Resolution", "1200dpi")) {
    SetJobParam("Resolution", "1200dpi", table, log);
    LogLine(log, "DEBUG: Resolution is 1200dpi. \n");
  }
  // resX and resY come from the defaults and the options alone.
  LogLine(log, "DEBUG: resX is default(600dpi).\n");
}

void SettleDuplex(ppd_file_t *ppd, PARAM_KEY_SPERATOR_VALUE *table, PrintSettings *settings,
                  const JobLog &log) {
  // Anything but an explicit None or long-edge choice (a PPD without Duplex included)
  // counts as short-edge two-sided; the constraint check may still switch it off.
  if (IsMarked(ppd, "Duplex", "None")) {
    settings->duplexMode = 0;
    SetJobParam("Duplex", "None", table, log);
  } else if (IsMarked(ppd, "Duplex", "DuplexNoTumble")) {
    settings->duplexMode = 1;
    SetJobParam("Duplex", "DuplexNoTumble", table, log);
  } else {
    settings->duplexMode = 2;
    SetJobParam("Duplex", "DuplexTumble", table, log);
  }
  LogLine(log, "DEBUG: duplex is %d \n", settings->duplexMode);
}

void SettleMediaType(ppd_file_t *ppd, PARAM_KEY_SPERATOR_VALUE *table, PrintSettings *settings,
                     const JobLog &log) {
  // Recycled paper runs as plain paper; anything unknown, or no MediaType at all, is
  // treated as thick so that it is never turned in the duplex unit.
  if (IsMarked(ppd, "MediaType", "Plain") || IsMarked(ppd, "MediaType", "Recycled")) {
    settings->mediaClass = 0;
    SetJobParam("MediaType", "Plain", table, log);
  } else if (IsMarked(ppd, "MediaType", "Thin")) {
    settings->mediaClass = 1;
    SetJobParam("MediaType", "Thin", table, log);
  } else {
    settings->mediaClass = 2;
    SetJobParam("MediaType", "Thick", table, log);
  }
  LogLine(log, "DEBUG: ppdIsMarked MediaType,value=%d\n", settings->mediaClass);
}

// A queue whose default is Collate=True marks it in its PPD, and CUPS's PDF stage then
// leaves the copies to the printer, collated; the options carry nothing of it.
void SettleDefaultCollate(ppd_file_t *ppd, const JobOptions &options,
                          PARAM_KEY_SPERATOR_VALUE *table, unsigned char *collate,
                          const JobLog &log) {
  if (ReadCollateOption(options) >= 0 || !IsMarked(ppd, "Collate", "True")) return;
  LogLine(log, "DEBUG: ppd Collate,value=True\n");
  *collate = 1;
  SetJobParam("Collate", "True", table, log);
  LogLine(log, "DEBUG: collate is %d\n", *collate);
}

// The printer knows the two bank envelopes by its own size names.
void RenameCustomPageSizes(PARAM_KEY_SPERATOR_VALUE *table, const JobLog &log) {
  char *pageSize = nullptr;
  GetJobParam("PageSize", &pageSize, table, log);
  if (pageSize == nullptr) return;
  // pageSize points into the table, so the second test sees the first rewrite.
  if (strcmp(pageSize, "BANK1") == 0) SetJobParam("PageSize", "CUS_1", table, log);
  if (strcmp(pageSize, "BANK2") == 0) SetJobParam("PageSize", "CUS_2", table, log);
}

// A PPD that names no sheet or no resolution stands for this printer all the same: its
// largest sheet is Legal, its highest resolution 1200 dpi.
constexpr double FALLBACK_SHEET_WIDTH_POINTS = 612;
constexpr double FALLBACK_SHEET_HEIGHT_POINTS = 1008;
constexpr int FALLBACK_DPI = 1200;

// No printer resolves finer; a larger number in a PPD is a typing error, not a resolution.
constexpr long MAX_PLAUSIBLE_DPI = 100000;

// The larger number of a resolution choice: "1200dpi", "600x1200dpi"; 0 when it names none.
int ResolutionDpi(const char *choice) {
  char *end = nullptr;
  const long x = strtol(choice, &end, 10);
  long dpi = end != choice ? x : 0;
  if (end != choice && *end == 'x') {
    const long y = strtol(end + 1, nullptr, 10);
    if (y > dpi) dpi = y;
  }
  return dpi > 0 && dpi <= MAX_PLAUSIBLE_DPI ? static_cast<int>(dpi) : 0;
}

int HighestResolution(ppd_file_t *ppd) {
  int highest = 0;
  if (ppd_option_t *option = ppdFindOption(ppd, "Resolution"); option != nullptr) {
    for (int i = 0; i < option->num_choices; ++i) {
      const int dpi = ResolutionDpi(option->choices[i].choice);
      if (dpi > highest) highest = dpi;
    }
  }
  if (highest == 0) {
    if (ppd_attr_t *attr = ppdFindAttr(ppd, "DefaultResolution", nullptr);
        attr != nullptr && attr->value != nullptr) {
      highest = ResolutionDpi(attr->value);
    }
  }
  return highest > 0 ? highest : FALLBACK_DPI;
}

// Every sheet of the PPD, custom sizes up to their maximum included, at the highest
// resolution: a page may be as long as the longest of them and as large as the largest.
PageLimits PrinterPageLimits(ppd_file_t *ppd) {
  const int dpi = HighestResolution(ppd);
  PageLimits limits;
  bool sheetFound = false;
  for (int i = 0; i < ppd->num_sizes; ++i) {
    const ppd_size_t &size = ppd->sizes[i];
    if (size.width <= 0 || size.length <= 0) continue;  // the custom size's placeholder
    limits = LargerPageLimits(limits, PageLimitsForSheet(size.width, size.length, dpi));
    sheetFound = true;
  }
  if (ppd->variable_sizes && ppd->custom_max[0] > 0 && ppd->custom_max[1] > 0) {
    limits = LargerPageLimits(limits,
                              PageLimitsForSheet(ppd->custom_max[0], ppd->custom_max[1], dpi));
    sheetFound = true;
  }
  if (!sheetFound) {
    limits = PageLimitsForSheet(FALLBACK_SHEET_WIDTH_POINTS, FALLBACK_SHEET_HEIGHT_POINTS, dpi);
  }
  return limits;
}

}  // namespace

int GetPrintSettings(const JobOptions &options, const char *copiesArg,
                     PARAM_KEY_SPERATOR_VALUE *table, PrintSettings *settings,
                     unsigned char *collate, const JobLog &log) {
  const char *ppdPath = getenv("PPD");
  ppd_file_t *ppd = ppdPath != nullptr ? ppdOpenFile(ppdPath) : nullptr;
  if (ppd == nullptr) {
    LogLine(log, "ERROR: Unable to open PPD file!\n");
    return 1;
  }

  ppdMarkDefaults(ppd);
  // Conflicts between the options are not ours to resolve: the marks stand as marked.
  cupsMarkOptions(ppd, options.count, options.options);

  SettlePageSize(ppd, options, table, log);
  SettleInputSlot(ppd, options, table, log);
  SettleResolution(ppd, table, log);
  SettleDuplex(ppd, table, settings, log);

  settings->feedEdge = IsMarked(ppd, "FeedEdge", "1") ? 1 : 0;
  if (settings->feedEdge == 1) SetJobParam("FeedEdge", "1", table, log);
  LogLine(log, "DEBUG: ppdIsMarked FeedEdge,value=%d\n", settings->feedEdge);

  // The A5 flag follows the mark alone: a PageSize option counts through the mark that
  // cupsMarkOptions made for it, never through the table's text.
  settings->flagPageA5 = IsMarked(ppd, "PageSize", "A5") ? 1 : 0;
  LogLine(log, "DEBUG: ppdIsMarked Flag_Page_A5,value=%d\n", settings->flagPageA5);

  settings->orientation = IsMarked(ppd, "Orientation", "Landscape") ? 1 : 0;
  LogLine(log, "DEBUG: ppdIsMarked Orientation,value=%d\n", settings->orientation);

  SettleMediaType(ppd, table, settings, log);
  SettleDefaultCollate(ppd, options, table, collate, log);
  settings->pageLimits = PrinterPageLimits(ppd);

  // The marks are all read; nothing later needs the PPD.
  ppdClose(ppd);

  settings->copies = CopiesFromArgument(copiesArg);
  LogLine(log, "DEBUG: input copies is %d \n", settings->copies);
  SetSubmittedJobParam("copies", copiesArg, table, log);

  RenameCustomPageSizes(table, log);
  ReadCredentialsInto(table, log);
  return 0;
}

#pragma GCC diagnostic pop
