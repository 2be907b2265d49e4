#include "Administration.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "PrinterAccounts.h"

// PAPPL's own printer page. PAPPL 1.3 does not authorize the actions its printer page
// offers (pause, resume, hold new jobs, set as default, identify, test page); the
// application puts its guard in front and then lets PAPPL's page do the rest.
extern "C" bool _papplPrinterWebHome(pappl_client_t *client, pappl_printer_t *printer);

namespace {

struct Credentials {
  const char *user;
  const char *password;
};

int Converse(int count, const pam_message **messages, pam_response **responses, void *data) {
  const auto *credentials = static_cast<const Credentials *>(data);
  auto *replies = static_cast<pam_response *>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (replies == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const char *answer = nullptr;
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON) answer = credentials->user;
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF) answer = credentials->password;
    if (answer != nullptr) replies[i].resp = strdup(answer);
  }
  *responses = replies;
  return PAM_SUCCESS;
}

bool Authenticate(const std::string &service, const char *user, const char *password,
                  const char *remoteHost) {
  Credentials credentials{user, password};
  pam_conv conversation{Converse, &credentials};
  pam_handle_t *handle = nullptr;
  if (pam_start(service.c_str(), user, &conversation, &handle) != PAM_SUCCESS) return false;
  if (remoteHost != nullptr) pam_set_item(handle, PAM_RHOST, remoteHost);
  int result = pam_authenticate(handle, PAM_SILENT);
  if (result == PAM_SUCCESS) result = pam_acct_mgmt(handle, PAM_SILENT);
  pam_end(handle, result);
  return result == PAM_SUCCESS;
}

bool IsAdministrator(const char *user, const std::string &adminGroup) {
  char buffer[16384];
  passwd entry;
  passwd *found = nullptr;
  if (getpwnam_r(user, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
  if (found->pw_uid == 0) return true;
  if (adminGroup.empty()) return false;
  char groupBuffer[16384];
  struct group groupEntry;
  struct group *groupFound = nullptr;
  if (getgrnam_r(adminGroup.c_str(), &groupEntry, groupBuffer, sizeof groupBuffer, &groupFound) != 0 ||
      groupFound == nullptr) {
    return false;
  }
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(user, found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(user, found->pw_gid, groups.data(), &count) < 0) return false;
  }
  for (int i = 0; i < count; ++i) {
    if (groups[static_cast<size_t>(i)] == groupFound->gr_gid) return true;
  }
  return false;
}

// HTTP Basic credentials checked by PAM.
http_status_t AuthorizeAdministrator(pappl_client_t *client, const AccessPolicy &policy) {
  if (policy.authService.empty()) return HTTP_STATUS_FORBIDDEN;
  const char *header = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
  if (header == nullptr || strncmp(header, "Basic ", 6) != 0) return HTTP_STATUS_UNAUTHORIZED;
  header += 6;
  while (*header == ' ') ++header;
  char decoded[512] = {};
  int length = sizeof decoded - 1;
  httpDecode64_2(decoded, &length, header);
  decoded[sizeof decoded - 1] = '\0';
  char *colon = strchr(decoded, ':');
  if (colon == nullptr) return HTTP_STATUS_BAD_REQUEST;
  *colon = '\0';
  const char *user = decoded;
  const char *password = colon + 1;
  const bool authenticated =
      Authenticate(policy.authService, user, password, papplClientGetHostName(client));
  explicit_bzero(colon + 1, strlen(colon + 1));
  if (!authenticated) {
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Authentication of \"%s\" failed.", user);
    return HTTP_STATUS_UNAUTHORIZED;
  }
  if (!IsAdministrator(user, policy.adminGroup)) {
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "\"%s\" is not an administrator.", user);
    return HTTP_STATUS_FORBIDDEN;
  }
  papplClientSetUsername(client, user);
  return HTTP_STATUS_CONTINUE;
}

bool GuardedPrinterHome(pappl_client_t *client, void *data) {
  auto *printer = static_cast<pappl_printer_t *>(data);
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    const http_status_t code = papplClientIsAuthorized(client);
    if (code != HTTP_STATUS_CONTINUE) return papplClientRespond(client, code, nullptr, nullptr, 0, 0);
  }
  return _papplPrinterWebHome(client, printer);
}

// The page for adding a printer searches the USB ports and the network for printers as
// it is shown: the administrator's alone.
bool LooksForDevices(pappl_client_t *client) {
  const char *uri = papplClientGetURI(client);
  return uri != nullptr && strncmp(uri, "/addprinter", 11) == 0;
}

}  // namespace

bool IsPrintingOperation(ipp_op_t operation) {
  switch (operation) {
    case IPP_OP_PRINT_JOB:
    case IPP_OP_VALIDATE_JOB:
    case IPP_OP_CREATE_JOB:
    case IPP_OP_SEND_DOCUMENT:
    case IPP_OP_CLOSE_JOB:
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_GET_JOB_ATTRIBUTES:
    case IPP_OP_GET_JOBS:
    case IPP_OP_HOLD_JOB:
    case IPP_OP_RELEASE_JOB:
    case IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS:
    case IPP_OP_CREATE_JOB_SUBSCRIPTIONS:
    case IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES:
    case IPP_OP_GET_SUBSCRIPTIONS:
    case IPP_OP_RENEW_SUBSCRIPTION:
    case IPP_OP_CANCEL_SUBSCRIPTION:
    case IPP_OP_GET_NOTIFICATIONS:
      return true;
    default:
      return false;
  }
}

http_status_t AuthorizeRequest(pappl_client_t *client, const char *, gid_t, void *data) {
  const auto *policy = static_cast<const AccessPolicy *>(data);
  ipp_t *request = papplClientGetRequest(client);
  TakeRequestPassword(client, request);
  if (request != nullptr) {
    if (IsPrintingOperation(ippGetOperation(request))) return HTTP_STATUS_CONTINUE;
  } else if (papplClientGetMethod(client) == HTTP_STATE_GET && !LooksForDevices(client)) {
    // Looking at the web pages changes nothing; every change is a POST.
    return HTTP_STATUS_CONTINUE;
  }
  return AuthorizeAdministrator(client, *policy);
}

void GuardPrinterPages(pappl_printer_t *printer) {
  char path[1024];
  papplPrinterGetPath(printer, nullptr, path, sizeof path);
  strncat(path, "/", sizeof path - strlen(path) - 1);
  // Added before PAPPL adds its own page at the same path, which is then left out.
  papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html",
                                 GuardedPrinterHome, printer);
}
