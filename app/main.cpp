// quenmark-printer-app: the printer as an IPP Everywhere printer application on PAPPL.
// papplMainloop gives the standard sub-commands (server, add, delete, devices, drivers,
// printers, submit, jobs, cancel, status, shutdown...); the server's system, the driver
// and the auto-add rule are ours.

#include <pappl/pappl.h>

#include "QuenmarkDriver.h"
#include "ServerSetup.h"

int main(int argc, char *argv[]) {
  std::vector<std::string> aliases = ServerAliasesOfCommandLine(argc, argv);
  return papplMainloop(argc, argv, QUENMARK_VERSION, nullptr, QUENMARK_DRIVER_COUNT,
                       QUENMARK_DRIVERS, QuenmarkAutoAdd, QuenmarkDriverCallback, nullptr, nullptr,
                       CreateQuenmarkSystem, nullptr, &aliases);
}
