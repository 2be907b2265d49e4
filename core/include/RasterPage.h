#pragma once
// Raster pages from libcups (CUPS or PWG raster) as the printer can take them.

#include <cups/raster.h>

#include "Log.h"
#include "PageLimits.h"

// Only 1-bit rasters whose rows are PBM rows can be spooled byte for byte, and only pages
// that the printer's largest sheet can hold are worth spooling at all. False, with the
// reason logged as an ERROR line, for any other page.
bool AcceptRasterPage(const cups_page_header2_t &header, int rasterPage, const PageLimits &limits,
                      const JobLog &log);

// Colour spaces in which a set bit is white are turned round, so that the page is black
// on white as the printer expects; the padding past the width stays clear.
void MakeSetBitsBlack(const cups_page_header2_t &header, unsigned char *pixels);
