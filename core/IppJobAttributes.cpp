#include "IppJobAttributes.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CredentialsFile.h"
#include "DocumentName.h"
#include "Log.h"

// The PPD's page sizes, in the PPD's order. The points are the PPD's, the hundredths of
// millimetres the PWG sizes, so a client's media-size finds its entry either way.
const IppMediaSize IPP_MEDIA_SIZES[IPP_MEDIA_SIZE_COUNT] = {
    {"iso_a4_210x297mm", "A4", "A4", 595, 842, 21000, 29700},
    {"iso_a5_148x210mm", "A5", "A5", 420, 595, 14800, 21000},
    {"jis_b5_182x257mm", "B5", "B5", 516, 729, 18200, 25700},
    {"om_16k_184x260mm", "16k", "16k", 522, 737, 18400, 26000},
    {"na_letter_8.5x11in", "Letter", "Letter", 612, 792, 21590, 27940},
    {"na_invoice_5.5x8.5in", "Statement", "Statement", 396, 612, 13970, 21590},
    {"na_legal_8.5x14in", "Legal", "Legal", 612, 1008, 21590, 35560},
    {"na_executive_7.25x10.5in", "Executive", "Executive", 522, 756, 18415, 26670},
    {"iso_a6_105x148mm", "A6", "A6", 297, 420, 10500, 14800},
    {"jis_b6_128x182mm", "B6", "B6", 363, 516, 12800, 18200},
    {"iso_b5_176x250mm", "B5ISO", "B5ISO", 499, 709, 17600, 25000},
    {"om_bank1_102x196mm", "BANK1", "CUS_1", 289, 556, 10200, 19600},
    {"om_bank2_120x230mm", "BANK2", "CUS_2", 340, 652, 12000, 23000},
};

const IppKeyword IPP_MEDIA_SOURCES[IPP_MEDIA_SOURCE_COUNT] = {
    {"main", "MainTray", 0},
    {"manual", "ManualTray", 0},
    {"tray-2", "Tray2", 0},
};

// Recycled paper runs as plain paper, as the filter does for the PPD's Recycled choice.
const IppKeyword IPP_MEDIA_TYPES[IPP_MEDIA_TYPE_COUNT] = {
    {"stationery", "Plain", 0},
    {"stationery-recycled", "Plain", 0},
    {"stationery-lightweight", "Thin", 1},
    {"stationery-heavyweight", "Thick", 2},
};

const IppKeyword IPP_SIDES[IPP_SIDES_COUNT] = {
    {"one-sided", "None", 0},
    {"two-sided-long-edge", "DuplexNoTumble", 1},
    {"two-sided-short-edge", "DuplexTumble", 2},
};

const IppKeyword IPP_FEED_ORIENTATIONS[IPP_FEED_ORIENTATION_COUNT] = {
    {"short-edge-first", "0", 0},
    {"long-edge-first", "1", 1},
};

const IppKeyword IPP_DOCUMENT_HANDLINGS[IPP_DOCUMENT_HANDLING_COUNT] = {
    {"separate-documents-collated-copies", "True", 1},
    {"separate-documents-uncollated-copies", "False", 0},
};

const IppKeyword IPP_RESOLUTIONS[IPP_RESOLUTION_COUNT] = {
    {"600dpi", "600dpi", 600},
    {"1200dpi", "1200dpi", 1200},
};

namespace {

void SetError(char *error, size_t errorSize, const char *format, const char *name,
              const char *value) {
  if (error != nullptr && errorSize > 0) snprintf(error, errorSize, format, name, value);
}

// "600", "600dpi" and "600x600dpi" all name 600 dpi; the printer has no unequal
// resolutions.
int FindResolution(const char *value) {
  char *end = nullptr;
  errno = 0;
  const long x = strtol(value, &end, 10);
  if (errno != 0 || end == value) return -1;
  long y = x;
  if (*end == 'x') {
    const char *start = end + 1;
    y = strtol(start, &end, 10);
    if (errno != 0 || end == start) return -1;
  }
  if (*end != '\0' && strcmp(end, "dpi") != 0) return -1;
  if (x != y) return -1;
  for (int i = 0; i < IPP_RESOLUTION_COUNT; ++i) {
    if (IPP_RESOLUTIONS[i].setting == x) return i;
  }
  return -1;
}

bool ParseCopies(const char *value, int32_t *copies) {
  char *end = nullptr;
  errno = 0;
  const long number = strtol(value, &end, 10);
  if (errno != 0 || end == value || *end != '\0' || number < 1 || number > IPP_COPIES_MAX) {
    return false;
  }
  *copies = static_cast<int32_t>(number);
  return true;
}

bool ParseJobId(const char *value, int32_t *jobId) {
  char *end = nullptr;
  errno = 0;
  const long number = strtol(value, &end, 10);
  if (errno != 0 || end == value || *end != '\0' || number < 1 || number > INT32_MAX) return false;
  *jobId = static_cast<int32_t>(number);
  return true;
}

void CopyText(char (&to)[IPP_TEXT_SIZE], const char *value) {
  snprintf(to, sizeof to, "%s", value);
}

// A value that names one of the entries of a keyword table.
struct KeywordAttribute {
  const char *name;
  int IppJobAttributes::*field;
  const IppKeyword *table;
  int count;
};

const KeywordAttribute KEYWORD_ATTRIBUTES[] = {
    {"media-source", &IppJobAttributes::mediaSource, IPP_MEDIA_SOURCES, IPP_MEDIA_SOURCE_COUNT},
    {"media-type", &IppJobAttributes::mediaType, IPP_MEDIA_TYPES, IPP_MEDIA_TYPE_COUNT},
    {"sides", &IppJobAttributes::sides, IPP_SIDES, IPP_SIDES_COUNT},
    {"feed-orientation", &IppJobAttributes::feedOrientation, IPP_FEED_ORIENTATIONS,
     IPP_FEED_ORIENTATION_COUNT},
    {"multiple-document-handling", &IppJobAttributes::documentHandling, IPP_DOCUMENT_HANDLINGS,
     IPP_DOCUMENT_HANDLING_COUNT},
};

struct TextAttribute {
  const char *name;
  char (IppJobAttributes::*field)[IPP_TEXT_SIZE];
};

const TextAttribute TEXT_ATTRIBUTES[] = {
    {"job-name", &IppJobAttributes::jobName},
    {"job-originating-user-name", &IppJobAttributes::userName},
    {"job-uuid", &IppJobAttributes::jobUuid},
    {"job-originating-host-name", &IppJobAttributes::originatingHost},
    {"date-time-at-creation", &IppJobAttributes::dateTimeAtCreation},
    {"date-time-at-processing", &IppJobAttributes::dateTimeAtProcessing},
    {"time-at-creation", &IppJobAttributes::timeAtCreation},
    {"time-at-processing", &IppJobAttributes::timeAtProcessing},
};

int KeywordSetting(const IppKeyword *table, int index, int fallback) {
  return table[index >= 0 ? index : fallback].setting;
}

const char *KeywordParam(const IppKeyword *table, int index, int fallback) {
  return table[index >= 0 ? index : fallback].jobParam;
}

}  // namespace

int FindIppMedia(const char *name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < IPP_MEDIA_SIZE_COUNT; ++i) {
    const IppMediaSize &size = IPP_MEDIA_SIZES[i];
    if (strcmp(name, size.pwgName) == 0 || strcmp(name, size.ppdName) == 0 ||
        strcmp(name, size.pageSize) == 0) {
      return i;
    }
  }
  return -1;
}

int FindIppMediaBySize(int32_t width, int32_t length) {
  if (width > length) {
    const int32_t swapped = width;
    width = length;
    length = swapped;
  }
  constexpr int32_t tolerance = 100;  // 1 mm, in hundredths
  for (int i = 0; i < IPP_MEDIA_SIZE_COUNT; ++i) {
    const IppMediaSize &size = IPP_MEDIA_SIZES[i];
    if (abs(size.width - width) <= tolerance && abs(size.length - length) <= tolerance) return i;
  }
  return -1;
}

bool SetIppJobAttribute(IppJobAttributes *attributes, const char *name, const char *value,
                        char *error, size_t errorSize) {
  if (attributes == nullptr || name == nullptr || value == nullptr) return false;
  if (strcmp(name, "media") == 0 || strcmp(name, "media-size-name") == 0) {
    const int index = FindIppMedia(value);
    if (index < 0) {
      SetError(error, errorSize, "%s: the printer has no media \"%s\"", name, value);
      return false;
    }
    attributes->media = index;
    return true;
  }
  for (const KeywordAttribute &attribute : KEYWORD_ATTRIBUTES) {
    if (strcmp(name, attribute.name) != 0) continue;
    int index = -1;
    for (int i = 0; i < attribute.count; ++i) {
      if (strcmp(attribute.table[i].keyword, value) == 0) index = i;
    }
    if (index < 0) {
      SetError(error, errorSize, "%s: the printer does not support \"%s\"", name, value);
      return false;
    }
    attributes->*attribute.field = index;
    return true;
  }
  if (strcmp(name, "printer-resolution") == 0) {
    const int index = FindResolution(value);
    if (index < 0) {
      SetError(error, errorSize, "%s: the printer prints at 600 or 1200 dpi, not \"%s\"", name,
               value);
      return false;
    }
    attributes->resolution = index;
    return true;
  }
  if (strcmp(name, "copies") == 0) {
    if (!ParseCopies(value, &attributes->copies)) {
      SetError(error, errorSize, "%s: \"%s\" is not a number of copies from 1 to 999", name, value);
      return false;
    }
    return true;
  }
  if (strcmp(name, "job-account-id") == 0 || strcmp(name, "job-password") == 0) {
    const bool password = strcmp(name, "job-password") == 0;
    if (strlen(value) > IPP_CREDENTIAL_MAX) {
      SetError(error, errorSize, "%s: longer than 127 bytes%s", name, "");
      return false;
    }
    char *to = password ? attributes->password : attributes->accountId;
    snprintf(to, IPP_CREDENTIAL_MAX + 1, "%s", value);
    attributes->hasAccount = true;
    return true;
  }
  if (strcmp(name, "job-id") == 0) {
    if (!ParseJobId(value, &attributes->jobId)) {
      SetError(error, errorSize, "%s: \"%s\" is not a job number", name, value);
      return false;
    }
    return true;
  }
  for (const TextAttribute &attribute : TEXT_ATTRIBUTES) {
    if (strcmp(name, attribute.name) != 0) continue;
    CopyText(attributes->*attribute.field, value);
    return true;
  }
  SetError(error, errorSize, "%s: not a job attribute the printer takes%s", name, "");
  return false;
}

void FillJobSettingsFromIpp(const IppJobAttributes &attributes, JobSettings *job) {
  const JobLog &log = job->log;
  PARAM_KEY_SPERATOR_VALUE *table = job->table;
  PrintSettings &settings = job->settings;
  memcpy(table, tblDefParam, sizeof job->table);
  settings = PrintSettings();

  // The job's identity first, as the filter takes it from its arguments.
  job->jobId = attributes.jobId > 0 ? attributes.jobId : 1;
  char jobId[16];
  snprintf(jobId, sizeof jobId, "%d", job->jobId);
  SetSubmittedJobParam("jobId", jobId, table, log);
  SetSubmittedJobParam("LoginName", attributes.userName, table, log);
  char docName[DOC_NAME_BUFFER_SIZE] = {};
  char *docNamePointer = docName;
  getDocumenName(attributes.jobName, &docNamePointer, log);
  SetSubmittedJobParam("DocName", docName, table, log);
  const TextAttribute *const texts = TEXT_ATTRIBUTES;
  for (size_t i = 2; i < sizeof TEXT_ATTRIBUTES / sizeof TEXT_ATTRIBUTES[0]; ++i) {
    const char *value = attributes.*texts[i].field;
    if (value[0] != '\0') SetSubmittedJobParam(texts[i].name, value, table, log);
  }
  char hostName[66] = {};
  gethostname(hostName, sizeof hostName - 1);
  LogLine(log, "HostName: %s\n", hostName);
  SetJobParam("HostName", hostName, table, log);

  const IppMediaSize &media =
      IPP_MEDIA_SIZES[attributes.media >= 0 ? attributes.media : IPP_DEFAULT_MEDIA];
  SetJobParam("PageSize", media.pageSize, table, log);
  SetJobParam("InputSlot",
              KeywordParam(IPP_MEDIA_SOURCES, attributes.mediaSource, IPP_DEFAULT_MEDIA_SOURCE),
              table, log);
  const char *resolution =
      KeywordParam(IPP_RESOLUTIONS, attributes.resolution, IPP_DEFAULT_RESOLUTION);
  SetJobParam("Resolution", resolution, table, log);
  SetJobParam("resX", resolution, table, log);
  SetJobParam("resY", resolution, table, log);

  settings.duplexMode = KeywordSetting(IPP_SIDES, attributes.sides, IPP_DEFAULT_SIDES);
  SetJobParam("Duplex", KeywordParam(IPP_SIDES, attributes.sides, IPP_DEFAULT_SIDES), table, log);
  LogLine(log, "DEBUG: duplex is %d \n", settings.duplexMode);
  settings.feedEdge = KeywordSetting(IPP_FEED_ORIENTATIONS, attributes.feedOrientation,
                                     IPP_DEFAULT_FEED_ORIENTATION);
  SetJobParam(
      "FeedEdge",
      KeywordParam(IPP_FEED_ORIENTATIONS, attributes.feedOrientation, IPP_DEFAULT_FEED_ORIENTATION),
      table, log);
  settings.flagPageA5 = strcmp(media.ppdName, "A5") == 0 ? 1 : 0;
  settings.mediaClass = KeywordSetting(IPP_MEDIA_TYPES, attributes.mediaType, IPP_DEFAULT_MEDIA_TYPE);
  SetJobParam("MediaType",
              KeywordParam(IPP_MEDIA_TYPES, attributes.mediaType, IPP_DEFAULT_MEDIA_TYPE), table,
              log);

  // The largest page the printer takes: its largest sheet at its highest resolution.
  const int32_t highestDpi = IPP_RESOLUTIONS[IPP_RESOLUTION_COUNT - 1].setting;
  for (const IppMediaSize &size : IPP_MEDIA_SIZES) {
    settings.pageLimits = LargerPageLimits(
        settings.pageLimits, PageLimitsForSheet(size.widthPoints, size.heightPoints, highestDpi));
  }

  settings.copies = attributes.copies > 0 ? attributes.copies : 1;
  char copies[16];
  snprintf(copies, sizeof copies, "%d", settings.copies);
  SetJobParam("copies", copies, table, log);
  job->collate = static_cast<unsigned char>(KeywordSetting(
      IPP_DOCUMENT_HANDLINGS, attributes.documentHandling, IPP_DEFAULT_DOCUMENT_HANDLING));
  SetJobParam("Collate",
              KeywordParam(IPP_DOCUMENT_HANDLINGS, attributes.documentHandling,
                           IPP_DEFAULT_DOCUMENT_HANDLING),
              table, log);
  LogLine(log, "DEBUG: collate is %d\n", job->collate);

  if (attributes.hasAccount) {
    SetSubmittedJobParam("AuthID", attributes.accountId, table, log);
    SetSubmittedJobParam("AuthPassword", attributes.password, table, log);
  } else {
    ReadCredentialsInto(table, log);
  }
  VerifyParamsConstraint(table, &settings, log);
}
