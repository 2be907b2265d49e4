#pragma once
// The printer's one driver: what the printer can do, as PAPPL advertises it over IPP, and
// how a device that announces itself is recognised.

#include <pappl/pappl.h>

#include "PrinterAccounts.h"
#include "PrinterIcons.h"

inline constexpr const char QUENMARK_DRIVER_NAME[] = "quenmark";
inline constexpr const char QUENMARK_DRIVER_DESCRIPTION[] = "Quenmark Mono Laser";
// The IEEE 1284 device ID the printer reports over USB (and the one a new printer is
// given when none was seen).
inline constexpr const char QUENMARK_DEVICE_ID[] = "MFG:Quenmark;MDL:Mono Laser;CMD:KV7310;";
// The printer's own data stream, the format of a job sent "raw".
inline constexpr const char QUENMARK_STREAM_FORMAT[] = "application/vnd.quenmark-kv7310";
// The vendor attribute that carries the feed edge (there is no PAPPL field for it).
inline constexpr const char FEED_ORIENTATION_ATTRIBUTE[] = "feed-orientation";

inline constexpr int QUENMARK_DRIVER_COUNT = 1;
extern pappl_pr_driver_t QUENMARK_DRIVERS[QUENMARK_DRIVER_COUNT];

// What every printer of a server shares with its driver: the icons it shows and the
// accounts its jobs are printed under. It lives as long as the server; the driver
// callback takes it as its context and hands it to each printer as the driver's
// extension.
struct QuenmarkDriverContext {
  PrinterIcons icons;
  PrinterAccounts accounts;
};

// The context of a printer made by the driver; null for any other.
QuenmarkDriverContext *DriverContextOf(pappl_printer_t *printer);

bool QuenmarkDriverCallback(pappl_system_t *system, const char *driverName, const char *deviceUri,
                            const char *deviceId, pappl_pr_driver_data_t *data, ipp_t **attributes,
                            void *context);

// Sets the supplies a new printer reports (the toner, level unknown).
void ReportSupplies(pappl_printer_t *printer);

// The driver for a device whose IEEE 1284 ID names this printer; null for any other.
const char *QuenmarkAutoAdd(const char *deviceInfo, const char *deviceUri, const char *deviceId,
                            void *context);
