// quenmark-printer-app: the printer as an IPP Everywhere printer application on PAPPL.
// papplMainloop gives the standard sub-commands (server, add, delete, devices, drivers,
// printers, submit, jobs, cancel, status, shutdown...); the server's system, the driver
// and the auto-add rule are ours.

#include <pappl/pappl.h>

#include <cstdio>

#include "CommandLine.h"
#include "QuenmarkDriver.h"
#include "ServerSetup.h"

int main(int argc, char *argv[]) {
  std::vector<std::string> args;
  std::string error;
  if (!PrepareCommandLine(argc, argv, &args, &error)) {
    fprintf(stderr, "%s: %s\n", APP_NAME, error.c_str());
    return 1;
  }
  std::vector<char *> mended;
  for (std::string &arg : args) mended.push_back(arg.data());
  mended.push_back(nullptr);
  return papplMainloop(static_cast<int>(args.size()), mended.data(), QUENMARK_VERSION, nullptr,
                       QUENMARK_DRIVER_COUNT, QUENMARK_DRIVERS, QuenmarkAutoAdd,
                       QuenmarkDriverCallback, nullptr, nullptr, CreateQuenmarkSystem, nullptr,
                       nullptr);
}
