#pragma once
// The server's system: its listeners, spool directory, state file, log, access policy,
// drivers and document filters, from the server's -o options.

#include <pappl/pappl.h>

#include <string>
#include <vector>

inline constexpr const char APP_NAME[] = "quenmark-printer-app";
inline constexpr const char APP_SYSTEM_NAME[] = "Quenmark Printer Application";
inline constexpr const char APP_FOOTER_HTML[] =
    "Quenmark printer application for the Quenmark Mono Laser.";

// Every server-alias value of the command line (-o server-alias=NAME, repeatable, or a
// comma-separated list): PAPPL's options keep only the last value of a name.
std::vector<std::string> ServerAliasesOfCommandLine(int argc, char *argv[]);

// papplMainloop's system callback; context: the server aliases (a std::vector<std::string>),
// or null.
pappl_system_t *CreateQuenmarkSystem(int optionCount, cups_option_t *options, void *context);
