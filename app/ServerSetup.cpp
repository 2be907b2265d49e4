#include "ServerSetup.h"

#include <netdb.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AccountPage.h"
#include "Administration.h"
#include "DirectoryCreation.h"
#include "PdfDocument.h"
#include "QuenmarkDriver.h"
#include "RasterCallbacks.h"
#include "WebLabels.h"

namespace {

// What the server was started with; it lives as long as the process.
struct ServerConfig {
  std::string stateFile;
  AccessPolicy policy;
  QuenmarkDriverContext driver;
};

struct LogLevelName {
  const char *name;
  pappl_loglevel_t level;
};
constexpr LogLevelName LOG_LEVELS[] = {
    {"debug", PAPPL_LOGLEVEL_DEBUG}, {"info", PAPPL_LOGLEVEL_INFO}, {"warn", PAPPL_LOGLEVEL_WARN},
    {"error", PAPPL_LOGLEVEL_ERROR}, {"fatal", PAPPL_LOGLEVEL_FATAL},
};

const char *Option(const char *name, int count, cups_option_t *options) {
  const char *value = cupsGetOption(name, count, options);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// Where a server keeps its files unless told otherwise: the system's directories for
// root (the service), the user's configuration directory for anyone else.
std::string DefaultPath(const char *systemPath, const char *userName) {
  if (getuid() == 0) return systemPath;
  const char *home = getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config/" + userName;
  const char *tmp = getenv("TMPDIR");
  return std::string(tmp != nullptr ? tmp : "/tmp") + "/" + userName + std::to_string(getuid());
}

// Every printer, made now or loaded from the state file.
void PrinterCreated(pappl_printer_t *printer, void *) {
  GuardPrinterPages(printer);
  AddAccountPage(printer);
  ReportSupplies(printer);
}

// A server that only this machine can reach needs no certificates: TLS is left off, and
// with it the ipps addresses PAPPL would otherwise list beside the ipp ones.
bool LoopbackOnly(const char *host) {
  if (host == nullptr || strcmp(host, "*") == 0) return false;
  http_addrlist_t *addresses = httpAddrGetList(host, AF_UNSPEC, "0");
  bool loopback = addresses != nullptr;
  for (http_addrlist_t *entry = addresses; entry != nullptr; entry = entry->next) {
    if (!httpAddrLocalhost(&entry->addr)) loopback = false;
  }
  httpAddrFreeList(addresses);
  return loopback;
}

bool SaveState(pappl_system_t *system, void *data) {
  const auto *config = static_cast<const ServerConfig *>(data);
  return papplSystemSaveState(system, config->stateFile.c_str());
}

bool ParseLogLevel(const char *value, pappl_loglevel_t *level) {
  for (const LogLevelName &entry : LOG_LEVELS) {
    if (strcmp(value, entry.name) == 0) {
      *level = entry.level;
      return true;
    }
  }
  return false;
}

bool ParsePort(const char *value, int *port) {
  char *end = nullptr;
  errno = 0;
  const long number = strtol(value, &end, 10);
  if (errno != 0 || end == value || *end != '\0' || number < 0 || number > 65535) return false;
  *port = static_cast<int>(number);
  return true;
}

void AddName(std::vector<std::string> *names, const std::string &name) {
  if (name.empty()) return;
  for (const std::string &known : *names) {
    if (strcasecmp(known.c_str(), name.c_str()) == 0) return;
  }
  names->push_back(name);
}

// The names this machine goes by: its host name, short and fully qualified, and the
// short one in .local. Clients may use any of them, and its addresses, in the Host
// header; a name that resolves here but is none of them is refused, so that a web page
// elsewhere cannot reach the server through a name of its own (DNS rebinding).
std::vector<std::string> MachineNames() {
  std::vector<std::string> names;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return names;
  const std::string full = host;
  const std::string shortName = full.substr(0, full.find('.'));
  AddName(&names, full);
  AddName(&names, shortName);
  AddName(&names, shortName + ".local");
  addrinfo hints = {};
  hints.ai_flags = AI_CANONNAME;
  addrinfo *found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) == 0) {
    if (found != nullptr && found->ai_canonname != nullptr && strchr(found->ai_canonname, '.')) {
      AddName(&names, found->ai_canonname);
    }
    freeaddrinfo(found);
  }
  return names;
}

bool ValidHostName(const std::string &name) {
  if (name.empty() || name.size() > 253) return false;
  for (const char c : name) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return false;
  }
  return true;
}

// The directory a file goes into must be there before PAPPL writes the file.
void MakeParentDirectory(const std::string &file) {
  const size_t slash = file.find_last_of('/');
  if (slash != std::string::npos && slash > 0) mkdirs(file.substr(0, slash).c_str());
}

}  // namespace

std::vector<std::string> ServerAliasesOfCommandLine(int argc, char *argv[]) {
  std::vector<std::string> aliases;
  for (int i = 1; i + 1 < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) {
      ++i;
      continue;
    }
    if (strcmp(argv[i], "-o") != 0) continue;
    cups_option_t *options = nullptr;
    const int count = cupsParseOptions(argv[++i], 0, &options);
    const char *value = cupsGetOption("server-alias", count, options);
    std::string list = value != nullptr ? value : "";
    for (char &c : list) {
      if (c == ',') c = ' ';
    }
    size_t start = 0;
    while ((start = list.find_first_not_of(' ', start)) != std::string::npos) {
      const size_t end = list.find(' ', start);
      aliases.push_back(list.substr(start, end == std::string::npos ? end : end - start));
      start = end;
    }
    cupsFreeOptions(count, options);
  }
  return aliases;
}

pappl_system_t *CreateQuenmarkSystem(int count, cups_option_t *options, void *context) {
  static ServerConfig config;
  const auto *aliases = static_cast<const std::vector<std::string> *>(context);
  if (aliases != nullptr) {
    for (const std::string &alias : *aliases) {
      if (!ValidHostName(alias)) {
        fprintf(stderr, "%s: bad server-alias \"%s\" (a host name)\n", APP_NAME, alias.c_str());
        return nullptr;
      }
    }
  }

  int port = 0;
  const char *portText = Option("server-port", count, options);
  if (portText != nullptr && !ParsePort(portText, &port)) {
    fprintf(stderr, "%s: bad server-port \"%s\"\n", APP_NAME, portText);
    return nullptr;
  }
  pappl_loglevel_t logLevel = PAPPL_LOGLEVEL_WARN;
  const char *levelText = Option("log-level", count, options);
  if (levelText != nullptr && !ParseLogLevel(levelText, &logLevel)) {
    fprintf(stderr, "%s: bad log-level \"%s\" (debug, info, warn, error or fatal)\n", APP_NAME,
            levelText);
    return nullptr;
  }
  const char *logFile = Option("log-file", count, options);
  if (logFile == nullptr) logFile = "-";
  const char *listenHost = Option("listen-hostname", count, options);
  const char *spoolOption = Option("spool-directory", count, options);
  const std::string spool = spoolOption != nullptr
                                ? spoolOption
                                : DefaultPath("/var/spool/quenmark-printer-app", "quenmark-printer-app.d");
  const char *stateOption = Option("state-file", count, options);
  config.stateFile = stateOption != nullptr
                         ? stateOption
                         : DefaultPath("/var/lib/quenmark-printer-app.state", "quenmark-printer-app.state");
  const char *authService = Option("auth-service", count, options);
  config.policy.authService = authService != nullptr ? authService : "";
  const char *adminGroup = Option("admin-group", count, options);
  if (adminGroup != nullptr) config.policy.adminGroup = adminGroup;
  const char *privateServer = Option("private-server", count, options);
  const bool networkListeners = privateServer == nullptr || strcmp(privateServer, "true") != 0;

  if (mkdirs(spool.c_str()) != 0) {
    fprintf(stderr, "%s: cannot make the spool directory %s\n", APP_NAME, spool.c_str());
    return nullptr;
  }
  chmod(spool.c_str(), 0700);
  MakeParentDirectory(config.stateFile);
  if (strcmp(logFile, "-") != 0 && strcmp(logFile, "syslog") != 0) MakeParentDirectory(logFile);

  pappl_soptions_t systemOptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
  if (!networkListeners || LoopbackOnly(listenHost)) systemOptions |= PAPPL_SOPTIONS_NO_TLS;
  pappl_system_t *system = papplSystemCreate(
      systemOptions, APP_SYSTEM_NAME, port,
      "_print,_universal", spool.c_str(), logFile, logLevel,
      config.policy.authService.empty() ? nullptr : config.policy.authService.c_str(), false);
  if (system == nullptr) return nullptr;

  // The access policy decides for every request that does not come over the domain
  // socket, the network's and this machine's alike.
  papplSystemSetAuthCallback(system, "Basic", AuthorizeRequest, &config.policy);
  if (adminGroup != nullptr) papplSystemSetAdminGroup(system, adminGroup);

  // PAPPL's web pages need a footer: without one they fail on the first page shown.
  papplSystemSetFooterHTML(system, APP_FOOTER_HTML);
  AddWebLabels(system);
  if (!DrawPrinterIcons(&config.driver.icons)) {
    papplLog(system, PAPPL_LOGLEVEL_WARN, "Unable to draw the printer's icons: PAPPL's are shown.");
  }
  std::string error;
  if (!LoadPrinterAccounts(&config.driver.accounts, config.stateFile + ".accounts", &error)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Default accounts not loaded: %s", error.c_str());
  }
  papplSystemSetEventCallback(system, AccountEvent, &config.driver.accounts);
  papplSystemSetPrinterDrivers(system, QUENMARK_DRIVER_COUNT, QUENMARK_DRIVERS, QuenmarkAutoAdd,
                               PrinterCreated, QuenmarkDriverCallback, &config.driver);
  papplSystemAddMIMEFilter(system, PDF_FORMAT, "image/pwg-raster", PrintPdfDocument, nullptr);
  // PWG and Apple raster are read from the spool file like any other document: PAPPL
  // then queues them rather than refusing them while another job prints.
  papplSystemAddMIMEFilter(system, "image/pwg-raster", QUENMARK_STREAM_FORMAT, PrintRasterDocument,
                           nullptr);
  papplSystemAddMIMEFilter(system, "image/urf", QUENMARK_STREAM_FORMAT, PrintRasterDocument, nullptr);

  // The names clients may use in the Host header, besides PAPPL's own (its host name,
  // localhost, .local names) and addresses.
  std::vector<std::string> names = MachineNames();
  if (aliases != nullptr) names.insert(names.end(), aliases->begin(), aliases->end());
  std::string served;
  for (const std::string &name : names) {
    papplSystemAddHostAlias(system, name.c_str());
    served += (served.empty() ? "" : ", ") + name;
  }
  papplLog(system, PAPPL_LOGLEVEL_INFO, "Serving the names %s, localhost and this machine's "
           "addresses.", served.c_str());

  if (networkListeners) {
    // Never papplSystemSetHostName here: PAPPL would rename the machine (/etc/hostname).
    if (!papplSystemAddListeners(system, listenHost)) {
      fprintf(stderr, "%s: cannot listen on %s port %d\n", APP_NAME,
              listenHost != nullptr ? listenHost : "all addresses", port);
      papplSystemDelete(system);
      return nullptr;
    }
  }

  papplSystemSetSaveCallback(system, SaveState, &config);
  if (access(config.stateFile.c_str(), F_OK) == 0) papplSystemLoadState(system, config.stateFile.c_str());
  ForgetWhatIsGone(&config.driver.accounts, system);
  return system;
}
