#pragma once
// Raster pages to the core's in-process job: the lines of each page gathered into a
// 1-bit page (grey and colour dithered). PAPPL's raster callbacks take the pages of the
// images PAPPL renders (JPEG, PNG); PWG and Apple raster documents are read from the
// spool file by the application itself, each page once (the core makes the copies).

#include <pappl/pappl.h>

bool QuenmarkStartJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool QuenmarkStartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned page);
bool QuenmarkWriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned y, const unsigned char *line);
bool QuenmarkEndPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                     unsigned page);
bool QuenmarkEndJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// PAPPL's filter callback for image/pwg-raster and image/urf. With it PAPPL spools these
// documents like any other, rather than printing them as they come in.
bool PrintRasterDocument(pappl_job_t *job, pappl_device_t *device, void *context);
