#include "QuenmarkDriver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "IppJobAttributes.h"
#include "RasterCallbacks.h"
#include "TestPage.h"

pappl_pr_driver_t QUENMARK_DRIVERS[QUENMARK_DRIVER_COUNT] = {
    {QUENMARK_DRIVER_NAME, QUENMARK_DRIVER_DESCRIPTION, QUENMARK_DEVICE_ID, nullptr},
};

namespace {

// A print file already in the printer's own stream (made with quenmark_convert, say)
// goes to the device as it is. The test page's request, which the driver's test-page
// callback spools, is drawn instead.
bool PrintStreamFile(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
  const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open the print file: %s", strerror(errno));
    return false;
  }
  char buffer[65536];
  ssize_t got = read(fd, buffer, sizeof buffer);
  if (got > 0 && IsTestPageRequest(buffer, static_cast<size_t>(got))) {
    close(fd);
    return PrintTestPage(job, options, device);
  }
  bool written = true;
  for (; written && got > 0; got = read(fd, buffer, sizeof buffer)) {
    written = papplDeviceWrite(device, buffer, static_cast<size_t>(got)) >= 0;
  }
  close(fd);
  if (!written) papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the print file to the printer.");
  return written;
}

// The printer has neither a light nor a sound: the request is noted in the log, where
// whoever stands at the printer's server can see it.
void Identify(pappl_printer_t *printer, pappl_identify_actions_t, const char *message) {
  papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s",
                  message != nullptr ? message : "(no message)");
}

// File and socket devices report nothing back; the printer's state is what its jobs show.
bool UpdateStatus(pappl_printer_t *) { return true; }

// The fields a media entry needs, from the core's table: the whole sheet, no margins.
void FillMedia(int media, int source, int type, pappl_media_col_t *col) {
  memset(col, 0, sizeof *col);
  const IppMediaSize &size = IPP_MEDIA_SIZES[media];
  snprintf(col->size_name, sizeof col->size_name, "%s", size.pwgName);
  col->size_width = size.width;
  col->size_length = size.length;
  snprintf(col->source, sizeof col->source, "%s", IPP_MEDIA_SOURCES[source].keyword);
  snprintf(col->type, sizeof col->type, "%s", IPP_MEDIA_TYPES[type].keyword);
}

}  // namespace

QuenmarkDriverContext *DriverContextOf(pappl_printer_t *printer) {
  const char *driver = papplPrinterGetDriverName(printer);
  if (driver == nullptr || strcmp(driver, QUENMARK_DRIVER_NAME) != 0) return nullptr;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  return static_cast<QuenmarkDriverContext *>(data.extension);
}

bool QuenmarkDriverCallback(pappl_system_t *, const char *driverName, const char *,
                            const char *, pappl_pr_driver_data_t *data, ipp_t **attributes,
                            void *context) {
  if (driverName == nullptr || strcmp(driverName, QUENMARK_DRIVER_NAME) != 0) return false;
  auto *shared = static_cast<QuenmarkDriverContext *>(context);
  data->extension = shared;
  if (shared != nullptr) UsePrinterIcons(shared->icons, data->icons);

  data->printfile_cb = PrintStreamFile;
  data->rstartjob_cb = QuenmarkStartJob;
  data->rstartpage_cb = QuenmarkStartPage;
  data->rwriteline_cb = QuenmarkWriteLine;
  data->rendpage_cb = QuenmarkEndPage;
  data->rendjob_cb = QuenmarkEndJob;
  data->identify_cb = Identify;
  data->status_cb = UpdateStatus;
  data->testpage_cb = QuenmarkTestPageFile;
  data->format = QUENMARK_STREAM_FORMAT;

  snprintf(data->make_and_model, sizeof data->make_and_model, "%s", QUENMARK_DRIVER_DESCRIPTION);
  data->ppm = 20;
  data->kind = PAPPL_KIND_DOCUMENT | PAPPL_KIND_ENVELOPE;
  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  // The toner is reported, its level unknown: the printer does not say.
  data->has_supplies = true;

  // A monochrome printer: clients render raster pages in grey or black, and colour
  // documents (PDF, JPEG, PNG), which the printer takes all the same, are dithered to
  // black. PAPPL refuses colour raster pages from a printer that offers no colour mode,
  // so none is advertised.
  data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
  data->orient_default = IPP_ORIENT_PORTRAIT;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->content_default = PAPPL_CONTENT_AUTO;
  data->scaling_default = PAPPL_SCALING_AUTO;

  // The printer turns the back of a sheet itself: back sides go as the document has them.
  data->duplex = PAPPL_DUPLEX_NORMAL;
  data->sides_supported =
      PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;

  // Without a printer-resolution PAPPL picks the resolution by print-quality, the middle
  // entry for "normal": 600 dpi must stand there to be the default.
  data->num_resolution = IPP_RESOLUTION_COUNT;
  for (int i = 0; i < IPP_RESOLUTION_COUNT; ++i) {
    const int dpi = IPP_RESOLUTIONS[IPP_RESOLUTION_COUNT - 1 - i].setting;
    data->x_resolution[i] = dpi;
    data->y_resolution[i] = dpi;
  }
  data->x_default = IPP_RESOLUTIONS[IPP_DEFAULT_RESOLUTION].setting;
  data->y_default = data->x_default;

  // The whole sheet is printable: the engine's own border is the printer's business.
  data->borderless = false;
  data->left_right = 0;
  data->bottom_top = 0;
  data->num_media = IPP_MEDIA_SIZE_COUNT;
  for (int i = 0; i < IPP_MEDIA_SIZE_COUNT; ++i) data->media[i] = IPP_MEDIA_SIZES[i].pwgName;
  data->num_source = IPP_MEDIA_SOURCE_COUNT;
  for (int i = 0; i < IPP_MEDIA_SOURCE_COUNT; ++i) {
    data->source[i] = IPP_MEDIA_SOURCES[i].keyword;
    FillMedia(IPP_DEFAULT_MEDIA, i, IPP_DEFAULT_MEDIA_TYPE, &data->media_ready[i]);
  }
  data->num_type = IPP_MEDIA_TYPE_COUNT;
  for (int i = 0; i < IPP_MEDIA_TYPE_COUNT; ++i) data->type[i] = IPP_MEDIA_TYPES[i].keyword;
  FillMedia(IPP_DEFAULT_MEDIA, IPP_DEFAULT_MEDIA_SOURCE, IPP_DEFAULT_MEDIA_TYPE,
            &data->media_default);

  // The feed edge has no field of its own in PAPPL: a vendor attribute carries it.
  data->num_vendor = 1;
  data->vendor[0] = FEED_ORIENTATION_ATTRIBUTE;
  ipp_t *extra = ippNew();
  const char *orientations[IPP_FEED_ORIENTATION_COUNT];
  for (int i = 0; i < IPP_FEED_ORIENTATION_COUNT; ++i) orientations[i] = IPP_FEED_ORIENTATIONS[i].keyword;
  ippAddStrings(extra, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "feed-orientation-supported",
                IPP_FEED_ORIENTATION_COUNT, nullptr, orientations);
  ippAddString(extra, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "feed-orientation-default",
               nullptr, IPP_FEED_ORIENTATIONS[IPP_DEFAULT_FEED_ORIENTATION].keyword);
  // What every IPP Everywhere printer states; the printer renders with no colour
  // management, and per-page overrides are accepted as IPP Everywhere asks.
  ippAddBoolean(extra, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  ippAddString(extra, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "print-rendering-intent-default",
               nullptr, "auto");
  ippAddString(extra, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD),
               "print-rendering-intent-supported", nullptr, "auto");
  static const char *const overrides[] = {"document-number", "pages"};
  ippAddStrings(extra, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "overrides-supported", 2,
                nullptr, overrides);
  // The account a job is counted and released under (AuthID and AuthPassword).
  // A job that names no account is printed under its printer's default account, which
  // the administrator sets on the printer's web page: no account id for clients to send.
  ippAddBoolean(extra, IPP_TAG_PRINTER, "job-account-id-supported", 1);
  ippAddOutOfBand(extra, IPP_TAG_PRINTER, IPP_TAG_NOVALUE, "job-account-id-default");
  ippAddInteger(extra, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "job-password-supported",
                static_cast<int>(IPP_CREDENTIAL_MAX));
  ippAddString(extra, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD),
               "job-password-encryption-supported", nullptr, "none");
  *attributes = extra;
  return true;
}

void ReportSupplies(pappl_printer_t *printer) {
  pappl_supply_t toner = {};
  toner.color = PAPPL_SUPPLY_COLOR_BLACK;
  snprintf(toner.description, sizeof toner.description, "Black Toner");
  toner.is_consumed = true;
  toner.level = -1;
  toner.type = PAPPL_SUPPLY_TYPE_TONER;
  papplPrinterSetSupplies(printer, 1, &toner);
}

const char *QuenmarkAutoAdd(const char *, const char *, const char *deviceId, void *) {
  if (deviceId == nullptr) return nullptr;
  cups_option_t *pairs = nullptr;
  const int count = papplDeviceParseID(deviceId, &pairs);
  const char *maker = cupsGetOption("MANUFACTURER", count, pairs);
  if (maker == nullptr) maker = cupsGetOption("MFG", count, pairs);
  const char *model = cupsGetOption("MODEL", count, pairs);
  if (model == nullptr) model = cupsGetOption("MDL", count, pairs);
  const bool ours = maker != nullptr && model != nullptr && strcasecmp(maker, "Quenmark") == 0 &&
                    strcasestr(model, "Mono Laser") != nullptr;
  cupsFreeOptions(count, pairs);
  return ours ? QUENMARK_DRIVER_NAME : nullptr;
}
