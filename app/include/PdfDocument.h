#pragma once
// PDF documents: ghostscript renders each page as a 1-bit bitmap of the whole sheet at
// the job's resolution, and the pages take the same road to the core as raster pages.

#include <pappl/pappl.h>

inline constexpr const char PDF_FORMAT[] = "application/pdf";

// PAPPL's filter callback for application/pdf.
bool PrintPdfDocument(pappl_job_t *job, pappl_device_t *device, void *context);
