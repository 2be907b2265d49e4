// quenmark-printer-app: the printer as an IPP Everywhere printer application on PAPPL.
// papplMainloop gives the standard sub-commands (server, add, delete, devices, drivers,
// printers, submit, jobs, cancel, status, shutdown...); the server's system, the driver
// and the auto-add rule are ours.

#include <malloc.h>
#include <pappl/pappl.h>

#include <cstdio>

#include "CommandLine.h"
#include "QuenmarkDriver.h"
#include "ServerSetup.h"

int main(int argc, char *argv[]) {
  // A page's bitmap is megabytes: it is mapped and given back whole when the page is
  // done. glibc would otherwise raise its threshold after the first such page and keep
  // the pages in the heap, where the server stays at the size of its busiest moment.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  std::vector<std::string> args;
  std::string error;
  if (!PrepareCommandLine(argc, argv, &args, &error)) {
    fprintf(stderr, "%s: %s\n", APP_NAME, error.c_str());
    return 1;
  }
  std::vector<char *> mended;
  for (std::string &arg : args) mended.push_back(arg.data());
  mended.push_back(nullptr);
  const int mendedCount = static_cast<int>(args.size());
  std::vector<std::string> aliases = ServerAliasesOfCommandLine(mendedCount, mended.data());
  return papplMainloop(mendedCount, mended.data(), QUENMARK_VERSION, nullptr,
                       QUENMARK_DRIVER_COUNT, QUENMARK_DRIVERS, QuenmarkAutoAdd,
                       QuenmarkDriverCallback, nullptr, nullptr, CreateQuenmarkSystem, nullptr,
                       &aliases);
}
