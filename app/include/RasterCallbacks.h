#pragma once
// PAPPL's raster callbacks: the lines of each page gathered into a 1-bit page (grey and
// colour dithered), every page handed to the core's in-process job.

#include <pappl/pappl.h>

bool QuenmarkStartJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool QuenmarkStartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned page);
bool QuenmarkWriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned y, const unsigned char *line);
bool QuenmarkEndPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                     unsigned page);
bool QuenmarkEndJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
