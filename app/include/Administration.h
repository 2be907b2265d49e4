#pragma once
// Who may do what: anyone may print and follow their jobs; only an administrator may
// change printers or the system. Administration goes over the local domain socket, or
// over the network with a user name and password checked by PAM, when a PAM service was
// named (-o auth-service=SERVICE), for root or a member of the administrators' group.

#include <pappl/pappl.h>

#include <string>

inline constexpr const char DEFAULT_ADMIN_GROUP[] = "lpadmin";

struct AccessPolicy {
  std::string authService;  // empty: no administration over the network
  std::string adminGroup = DEFAULT_ADMIN_GROUP;
};

// PAPPL's authorization callback. It sees every request that is not on the domain socket.
http_status_t AuthorizeRequest(pappl_client_t *client, const char *group, gid_t groupId,
                               void *policy);

// Guards the actions of a printer's web page (pause, hold, default printer...) as the
// other settings pages are guarded. Called while the printer is made, before PAPPL adds
// its pages.
void GuardPrinterPages(pappl_printer_t *printer);

// Whether an operation is one of printing and of following one's jobs.
bool IsPrintingOperation(ipp_op_t operation);
