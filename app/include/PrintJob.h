#pragma once
// One print job of the application on its way to the device: its IPP attributes mapped
// onto the core's job settings by the core's one mapping, the core's in-process job, and
// the printer stream written to the device. The raster callbacks and the PDF filter both
// feed their pages through here.

#include <pappl/pappl.h>

#include <cstdint>
#include <cstdio>

#include "CoreLog.h"
#include "IppJobAttributes.h"
#include "StreamJob.h"

struct PrintJob {
  pappl_job_t *job = nullptr;
  CoreLogTarget log;            // where the core's lines for the job go: the job's log
  FILE *out = nullptr;          // the printer stream, written to the device
  StreamJob *stream = nullptr;  // started with the first page
  int media = -1;               // entry of IPP_MEDIA_SIZES, settled with the first page
  int dpi = 0;
  int32_t pages = 0;            // pages handed to the core
  bool failed = false;
};

// The sheet of a media at a resolution, in pixels, as PWG rasters size it.
void SheetPixels(int media, int dpi, int32_t *width, int32_t *height);

// Starts a job on the device. Null, with the reason in the job's log, when it cannot.
PrintJob *BeginPrintJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// The media the job prints on: the client's media or media-col when it gave one, else the
// size of the first page when the printer has that size (pageWidth and pageLength in
// hundredths of millimetres, 0 when unknown), else the printer's default. -1, with the
// reason in the job's log, when the printer has no such media.
int SettleJobMedia(pappl_job_t *job, const pappl_pr_options_t *options, int32_t pageWidth,
                   int32_t pageLength);

// The resolution the client asked for, or the printer's default.
int JobResolution(pappl_job_t *job, const pappl_pr_options_t *options);

// Fills the core's job settings from the job's attributes and starts the core's job, which
// logs into the job's log; the reason when two-sided printing was switched off goes there
// too. False when the job cannot go on.
bool StartPrintStream(PrintJob *print, const pappl_pr_options_t *options, int media, int dpi);

// Hands one page (PBM layout, malloc'd; the core takes it) to the core. False when the job
// cannot go on.
bool AddPrintPage(PrintJob *print, unsigned char *bits, int32_t width, int32_t height);

// Ends the job: the core writes every page handed over (after a cancel too), the stream
// reaches the device, and the job is freed. A job that failed writes nothing more. False
// when any of it failed.
bool EndPrintJob(PrintJob *print);

// The job's attributes as the core's mapping takes them (exposed for tests).
bool CollectIppJobAttributes(pappl_job_t *job, const pappl_pr_options_t *options, int media,
                             int dpi, IppJobAttributes *attributes);
