#pragma once
// The printer's own icons, drawn when the server starts and kept as PNG data: a
// monochrome laser printer with a printed sheet, small (48 pixels), medium (128) and
// large (512), as the web pages and the IPP printer-icons show them.

#include <pappl/pappl.h>

#include <vector>

inline constexpr int PRINTER_ICON_COUNT = 3;
inline constexpr int PRINTER_ICON_SIZES[PRINTER_ICON_COUNT] = {48, 128, 512};

struct PrinterIcons {
  std::vector<unsigned char> png[PRINTER_ICON_COUNT];  // empty where drawing failed
};

// Draws the three icons. False when one could not be encoded (that one stays empty).
bool DrawPrinterIcons(PrinterIcons *icons);

// Points a driver's icons at the PNG data, which must outlive the printers; an icon that
// is empty leaves PAPPL's own in its place.
void UsePrinterIcons(const PrinterIcons &icons, pappl_icon_t (&driverIcons)[PRINTER_ICON_COUNT]);
