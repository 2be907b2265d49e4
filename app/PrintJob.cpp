#include "PrintJob.h"

#include <cstring>
#include <new>
#include <string>

#include "CoreLog.h"
#include "DeviceStream.h"
#include "QuenmarkDriver.h"

namespace {

const char *SidesKeyword(pappl_sides_t sides) {
  if (sides & PAPPL_SIDES_TWO_SIDED_LONG_EDGE) return "two-sided-long-edge";
  if (sides & PAPPL_SIDES_TWO_SIDED_SHORT_EDGE) return "two-sided-short-edge";
  return "one-sided";
}

const char *AttributeText(pappl_job_t *job, const char *name) {
  ipp_attribute_t *attribute = papplJobGetAttribute(job, name);
  return attribute != nullptr ? ippGetString(attribute, 0, nullptr) : nullptr;
}

// The feed edge the job asked for, else the one the printer is set to.
std::string FeedOrientation(pappl_job_t *job, const pappl_pr_options_t *options) {
  const char *value = cupsGetOption(FEED_ORIENTATION_ATTRIBUTE, options->num_vendor, options->vendor);
  if (value != nullptr) return value;
  std::string fallback;
  ipp_t *attributes = papplPrinterGetDriverAttributes(papplJobGetPrinter(job));
  const char *configured =
      ippGetString(ippFindAttribute(attributes, "feed-orientation-default", IPP_TAG_KEYWORD), 0,
                   nullptr);
  if (configured != nullptr) fallback = configured;
  ippDelete(attributes);
  return fallback;
}

struct AttributeSetter {
  pappl_job_t *job;
  IppJobAttributes *attributes;
  bool ok = true;

  void Set(const char *name, const char *value) {
    if (value == nullptr || value[0] == '\0') return;
    char error[256] = {};
    if (!SetIppJobAttribute(attributes, name, value, error, sizeof error)) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", error);
      ok = false;
    }
  }
  void SetNumber(const char *name, long long value) {
    char text[32];
    snprintf(text, sizeof text, "%lld", value);
    Set(name, text);
  }
};

// Why a two-sided job prints one-sided, for the job's log at INFO: the core says it at
// DEBUG only.
void LogDuplexSwitchedOff(pappl_job_t *job, JobSettings &settings) {
  const char *reason = DuplexOffReason(settings.table, settings.settings, JobLog());
  papplLogJob(job, PAPPL_LOGLEVEL_INFO,
              "Printing one-sided: the paper path cannot print these "
              "settings on two sides (%s)",
              reason != nullptr ? reason : "duplex check");
}

}  // namespace

void SheetPixels(int media, int dpi, int32_t *width, int32_t *height) {
  const IppMediaSize &size = IPP_MEDIA_SIZES[media];
  *width = static_cast<int32_t>(static_cast<int64_t>(size.width) * dpi / 2540);
  *height = static_cast<int32_t>(static_cast<int64_t>(size.length) * dpi / 2540);
}

PrintJob *BeginPrintJob(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device) {
  auto *print = new (std::nothrow) PrintJob;
  if (print == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Out of memory for the job.");
    return nullptr;
  }
  print->job = job;
  print->log.job = job;
  print->out = OpenDeviceStream(device);
  if (print->out == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open a stream to the printer.");
    delete print;
    return nullptr;
  }
  return print;
}

int SettleJobMedia(pappl_job_t *job, const pappl_pr_options_t *options, int32_t pageWidth,
                   int32_t pageLength) {
  const pappl_media_col_t &media = options->media;
  const bool asked = papplJobGetAttribute(job, "media") != nullptr ||
                     papplJobGetAttribute(job, "media-col") != nullptr;
  int index = -1;
  if (!asked && pageWidth > 0 && pageLength > 0) index = FindIppMediaBySize(pageWidth, pageLength);
  if (index < 0) index = FindIppMedia(media.size_name);
  if (index < 0) index = FindIppMediaBySize(media.size_width, media.size_length);
  if (index < 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer has no media \"%s\" (%dx%d).",
                media.size_name, media.size_width, media.size_length);
  }
  return index;
}

int JobResolution(pappl_job_t *job, const pappl_pr_options_t *options) {
  if (papplJobGetAttribute(job, "printer-resolution") != nullptr) {
    return options->printer_resolution[0];
  }
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &data);
  return data.x_default;
}

bool CollectIppJobAttributes(pappl_job_t *job, const pappl_pr_options_t *options, int media,
                             int dpi, IppJobAttributes *attributes) {
  *attributes = IppJobAttributes();
  AttributeSetter set{job, attributes};
  set.Set("media", IPP_MEDIA_SIZES[media].pwgName);
  // PAPPL offers "auto" besides the printer's trays: the job's tray is then the default.
  if (strcmp(options->media.source, "auto") != 0) set.Set("media-source", options->media.source);
  set.Set("media-type", options->media.type);
  char resolution[32];
  snprintf(resolution, sizeof resolution, "%ddpi", dpi);
  set.Set("printer-resolution", resolution);
  set.Set("sides", SidesKeyword(options->sides));
  set.Set("feed-orientation", FeedOrientation(job, options).c_str());
  set.SetNumber("copies", options->copies > 0 ? options->copies : 1);
  set.Set("multiple-document-handling", AttributeText(job, "multiple-document-handling"));
  set.Set("job-name", papplJobGetName(job));
  set.Set("job-originating-user-name", papplJobGetUsername(job));
  set.Set("job-uuid", AttributeText(job, "job-uuid"));
  set.Set("job-originating-host-name", AttributeText(job, "job-originating-host-name"));
  if (papplJobGetTimeCreated(job) > 0) set.SetNumber("time-at-creation", papplJobGetTimeCreated(job));
  if (papplJobGetTimeProcessed(job) > 0) {
    set.SetNumber("time-at-processing", papplJobGetTimeProcessed(job));
  }
  set.SetNumber("job-id", papplJobGetID(job));
  // The job's own account, else its printer's default; with neither, the core reads the
  // credentials file.
  Account account;
  QuenmarkDriverContext *context = DriverContextOf(papplJobGetPrinter(job));
  if (FindJobAccount(context != nullptr ? &context->accounts : nullptr, job, &account)) {
    attributes->hasAccount = true;
    set.Set("job-account-id", account.id.c_str());
    set.Set("job-password", account.password.c_str());
    explicit_bzero(account.password.data(), account.password.size());
  }
  return set.ok;
}

bool StartPrintStream(PrintJob *print, const pappl_pr_options_t *options, int media, int dpi) {
  pappl_job_t *job = print->job;
  IppJobAttributes attributes;
  if (!CollectIppJobAttributes(job, options, media, dpi, &attributes)) {
    print->failed = true;
    return false;
  }
  StreamJobConfig config;
  config.out = print->out;
  config.settings.log = CoreLogFor(&print->log);
  FillJobSettingsFromIpp(attributes, &config.settings);
  if (attributes.sides > 0 && config.settings.settings.duplexMode == 0) {
    LogDuplexSwitchedOff(job, config.settings);
  }

  print->stream = StartStreamJob(config);
  if (print->stream == nullptr) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Out of memory for the job.");
    print->failed = true;
    return false;
  }
  print->media = media;
  print->dpi = dpi;
  return true;
}

bool AddPrintPage(PrintJob *print, unsigned char *bits, int32_t width, int32_t height) {
  if (print->stream == nullptr || print->failed) {
    free(bits);
    print->failed = true;
    return false;
  }
  const int status = AddStreamJobPage(print->stream, bits, width, height);
  if (status != 0) {
    papplLogJob(print->job, PAPPL_LOGLEVEL_ERROR, "Page %d could not be printed (status %d).",
                print->pages + 1, status);
    print->failed = true;
    return false;
  }
  print->pages += 1;
  return true;
}

bool EndPrintJob(PrintJob *print) {
  if (print == nullptr) return false;
  bool ok = !print->failed;
  // A job that the server's shutdown stops prints again from its start at the next one.
  const bool stopped = papplJobIsCanceled(print->job) &&
                       papplSystemIsShutdown(papplPrinterGetSystem(papplJobGetPrinter(print->job)));
  if (print->stream != nullptr && (print->failed || stopped)) {
    // A page that could not be read or printed: what was written stays, nothing more.
    AbandonStreamJob(print->stream);
  } else if (print->stream != nullptr) {
    const int status = FinishStreamJob(print->stream);
    if (status != 0) {
      papplLogJob(print->job, PAPPL_LOGLEVEL_ERROR, "The job could not be finished (status %d).",
                  status);
      ok = false;
    }
  }
  if (fclose(print->out) != 0) {
    papplLogJob(print->job, PAPPL_LOGLEVEL_ERROR, "Unable to send the job to the printer.");
    ok = false;
  }
  if (ok) {
    papplLogJob(print->job, PAPPL_LOGLEVEL_INFO, "%d page(s) sent to the printer.", print->pages);
  }
  delete print;
  return ok;
}
