#pragma once
// The server's system: its listeners, spool directory, state file, log, access policy,
// drivers and document filters, from the server's -o options.

#include <pappl/pappl.h>

inline constexpr const char APP_NAME[] = "quenmark-printer-app";
inline constexpr const char APP_SYSTEM_NAME[] = "Quenmark Printer Application";
inline constexpr const char APP_FOOTER_HTML[] =
    "Quenmark printer application for the Quenmark Mono Laser.";

// papplMainloop's system callback.
pappl_system_t *CreateQuenmarkSystem(int optionCount, cups_option_t *options, void *context);
