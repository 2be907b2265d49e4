#pragma once
// The printer's test page: one sheet of the printer's default media with the marks of
// the registration sheet (a frame 10 mm inside every edge, a 5 mm square 20 mm from each
// corner, a 15 x 3 mm bar at the top left), so that a technician sees at once whether
// the sheet is placed right, and the printer's name, its settings and the date.
//
// PAPPL prints a test page as a file of the job's own: the driver's callback spools a
// short request, and the print-file callback, which gets it as a file in the printer's
// own format, draws the page with the job's settings in its place.

#include <pappl/pappl.h>

#include <cstddef>

// The driver's test-page callback: the request file's name in buffer, or null when it
// cannot be written.
const char *QuenmarkTestPageFile(pappl_printer_t *printer, char *buffer, size_t bufferSize);

// Whether the first bytes of a print file are a test page request.
bool IsTestPageRequest(const char *data, size_t size);

// Draws the test page and prints it as the job's only page.
bool PrintTestPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
