#pragma once
// The one mapping from IPP job attributes onto the job parameter table and the print
// settings. The converter takes the attributes as -o NAME=VALUE options, the printer
// application from its IPP jobs; both then run the same core as the filter does from the
// PPD and the CUPS options.

#include <cstddef>
#include <cstdint>

#include "JobParamsProc.h"
#include "PrintSettings.h"

// A page size the printer takes, under its IPP (PWG) name, the PPD's choice name and the
// name the printer is told in the job parameters.
struct IppMediaSize {
  const char *pwgName;   // PWG self-describing name, e.g. "iso_a4_210x297mm"
  const char *ppdName;   // the PPD's PageSize choice, e.g. "BANK1"
  const char *pageSize;  // the job parameter PageSize, e.g. "CUS_1"
  int32_t widthPoints;   // portrait, PostScript points, as in the PPD
  int32_t heightPoints;
  int32_t width;         // portrait, hundredths of millimetres, as IPP gives media-size
  int32_t length;
};

inline constexpr int IPP_MEDIA_SIZE_COUNT = 13;
extern const IppMediaSize IPP_MEDIA_SIZES[IPP_MEDIA_SIZE_COUNT];

// One IPP keyword and what it becomes: its job parameter text and the print setting's
// number (duplex mode, media class, ...).
struct IppKeyword {
  const char *keyword;
  const char *jobParam;
  int32_t setting;
};

inline constexpr int IPP_MEDIA_SOURCE_COUNT = 3;
extern const IppKeyword IPP_MEDIA_SOURCES[IPP_MEDIA_SOURCE_COUNT];  // InputSlot
inline constexpr int IPP_MEDIA_TYPE_COUNT = 4;
extern const IppKeyword IPP_MEDIA_TYPES[IPP_MEDIA_TYPE_COUNT];  // MediaType, media class
inline constexpr int IPP_SIDES_COUNT = 3;
extern const IppKeyword IPP_SIDES[IPP_SIDES_COUNT];  // Duplex, duplex mode
inline constexpr int IPP_FEED_ORIENTATION_COUNT = 2;
extern const IppKeyword IPP_FEED_ORIENTATIONS[IPP_FEED_ORIENTATION_COUNT];  // FeedEdge
inline constexpr int IPP_DOCUMENT_HANDLING_COUNT = 2;
extern const IppKeyword IPP_DOCUMENT_HANDLINGS[IPP_DOCUMENT_HANDLING_COUNT];  // Collate
inline constexpr int IPP_RESOLUTION_COUNT = 2;
extern const IppKeyword IPP_RESOLUTIONS[IPP_RESOLUTION_COUNT];  // Resolution, dpi

inline constexpr int32_t IPP_COPIES_MAX = 999;

// The defaults where a job leaves an attribute out: A4, the main tray, 600 dpi,
// one-sided, short edge first, plain paper, 1 copy, uncollated.
inline constexpr int IPP_DEFAULT_MEDIA = 0;
inline constexpr int IPP_DEFAULT_MEDIA_SOURCE = 0;
inline constexpr int IPP_DEFAULT_MEDIA_TYPE = 0;
inline constexpr int IPP_DEFAULT_SIDES = 0;
inline constexpr int IPP_DEFAULT_FEED_ORIENTATION = 0;
inline constexpr int IPP_DEFAULT_DOCUMENT_HANDLING = 1;  // uncollated: the filter's default
inline constexpr int IPP_DEFAULT_RESOLUTION = 0;

inline constexpr size_t IPP_TEXT_SIZE = 256;  // a job parameter value and its NUL
// The longest account id or password, in bytes: what the credentials file's may hold.
inline constexpr size_t IPP_CREDENTIAL_MAX = 127;

// A job's attributes as the client gave them. Keyword attributes are kept as the index
// of their entry in the tables above, -1 where the client left them out; texts are kept
// as they came (cleaned when they reach the table), empty where absent.
struct IppJobAttributes {
  int media = -1;
  int mediaSource = -1;
  int mediaType = -1;
  int sides = -1;
  int feedOrientation = -1;
  int documentHandling = -1;
  int resolution = -1;
  int32_t copies = 0;  // 0: absent
  int32_t jobId = 0;   // 0: absent
  char jobName[IPP_TEXT_SIZE] = {};
  char userName[IPP_TEXT_SIZE] = {};
  char jobUuid[IPP_TEXT_SIZE] = {};
  char originatingHost[IPP_TEXT_SIZE] = {};
  char dateTimeAtCreation[IPP_TEXT_SIZE] = {};
  char dateTimeAtProcessing[IPP_TEXT_SIZE] = {};
  char timeAtCreation[IPP_TEXT_SIZE] = {};
  char timeAtProcessing[IPP_TEXT_SIZE] = {};
  // The job's account (job-account-id, job-password). A job that names either is
  // printed under its own account and the credentials file is not read.
  bool hasAccount = false;
  char accountId[IPP_CREDENTIAL_MAX + 1] = {};
  char password[IPP_CREDENTIAL_MAX + 1] = {};
};

// Everything the core needs to know of a job, whichever front end filled it.
struct JobSettings {
  JobLog log;  // how the core logs for this job: the front end's function and its context
  PARAM_KEY_SPERATOR_VALUE table[JOB_PARAM_COUNT];
  PrintSettings settings;
  unsigned char collate = 0;
  int32_t jobId = 0;
};

// Takes one attribute, NAME=VALUE style. The names are the IPP attribute names of the
// mapping (media, media-size-name, media-source, media-type, printer-resolution, sides,
// feed-orientation, copies, multiple-document-handling, job-name,
// job-originating-user-name, job-uuid, job-originating-host-name, date-time-at-creation,
// date-time-at-processing, time-at-creation, time-at-processing, job-id, job-account-id,
// job-password). False, with the reason in error, for an unknown name or a value the
// printer cannot take; the reason never holds a password.
bool SetIppJobAttribute(IppJobAttributes *attributes, const char *name, const char *value,
                        char *error, size_t errorSize);

// The page size of a media-size in hundredths of millimetres (either orientation),
// within 1 mm; -1 when the printer has no such size.
int FindIppMediaBySize(int32_t width, int32_t length);
// The entry of a media name: a PWG name, the PPD's choice name or the printer's own; -1
// when unknown.
int FindIppMedia(const char *name);

// Fills the job's table and settings from its attributes, with the defaults where an
// attribute is absent, the machine's host name and, for a job that names no account of
// its own, the credentials file, and then the duplex check, as the filter does. Values
// from the client are cleaned of commas and control characters.
void FillJobSettingsFromIpp(const IppJobAttributes &attributes, JobSettings *job);
