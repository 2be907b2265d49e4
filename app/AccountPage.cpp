#include "AccountPage.h"

#include <cstring>
#include <string>

#include "QuenmarkDriver.h"

namespace {

// Takes the form of an administrator; the banner to show.
const char *SaveForm(pappl_client_t *client, pappl_printer_t *printer, PrinterAccounts *accounts) {
  cups_option_t *form = nullptr;
  const int count = papplClientGetForm(client, &form);
  const char *status = nullptr;
  if (count == 0 || !papplClientIsValidForm(client, count, form)) {
    status = "Invalid form submission.";
  } else {
    const int printerId = papplPrinterGetID(printer);
    Account current;
    const bool hadAccount = PrinterDefaultAccount(accounts, printerId, &current);
    const char *id = cupsGetOption("account-id", count, form);
    const char *password = cupsGetOption("account-password", count, form);
    Account account;
    account.id = id != nullptr ? id : "";
    // An empty password field keeps the password of the same account.
    if (password != nullptr && password[0] != '\0') {
      account.password = password;
    } else if (hadAccount && current.id == account.id &&
               cupsGetOption("forget-password", count, form) == nullptr) {
      account.password = current.password;
    }
    explicit_bzero(current.password.data(), current.password.size());
    std::string error;
    if (SetPrinterDefaultAccount(accounts, printerId, account, &error)) {
      status = account.id.empty() ? "The printer has no default account now." : "Changes saved.";
      papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Default account %s%s.",
                      account.id.empty() ? "removed" : "set to ",
                      account.id.empty() ? "" : account.id.c_str());
    } else {
      status = "The account was not saved: an account id and a password have at most 127 bytes "
               "each, and the server must be able to write its state directory.";
      papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unable to keep the default account: %s",
                      error.c_str());
    }
    explicit_bzero(account.password.data(), account.password.size());
  }
  for (int i = 0; i < count; ++i) {
    if (strcmp(form[i].name, "account-password") == 0) explicit_bzero(form[i].value, strlen(form[i].value));
  }
  cupsFreeOptions(count, form);
  return status;
}

bool ShowAccountPage(pappl_client_t *client, void *data) {
  auto *printer = static_cast<pappl_printer_t *>(data);
  QuenmarkDriverContext *context = DriverContextOf(printer);
  if (context == nullptr) return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  const char *status = nullptr;
  if (papplClientGetMethod(client) == HTTP_STATE_POST) {
    const http_status_t code = papplClientIsAuthorized(client);
    if (code != HTTP_STATUS_CONTINUE) return papplClientRespond(client, code, nullptr, nullptr, 0, 0);
    status = SaveForm(client, printer, &context->accounts);
  }
  Account account;
  const bool hasAccount = PrinterDefaultAccount(&context->accounts, papplPrinterGetID(printer), &account);

  papplClientHTMLPrinterHeader(client, printer, "Account", 0, nullptr, nullptr);
  if (status != nullptr) papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", status);
  papplClientHTMLPuts(client,
                      "          <p>Jobs that name no account of their own (job-account-id, "
                      "job-password) are counted under this account. Without one, the "
                      "credentials file decides.</p>\n");
  papplClientHTMLStartForm(client, papplClientGetURI(client), false);
  papplClientHTMLPuts(client,
                      "          <table class=\"form\">\n"
                      "            <tbody>\n"
                      "              <tr><th><label for=\"account-id\">Account ID:</label></th><td>"
                      "<input type=\"text\" name=\"account-id\" id=\"account-id\" maxlength=\"127\" value=\"");
  papplClientHTMLEscape(client, account.id.c_str(), 0);
  papplClientHTMLPrintf(client,
                        "\"> (empty: no default account)</td></tr>\n"
                        "              <tr><th><label for=\"account-password\">Password:</label></th><td>"
                        "<input type=\"password\" name=\"account-password\" id=\"account-password\" "
                        "maxlength=\"127\" autocomplete=\"new-password\"> %s</td></tr>\n"
                        "              <tr><th></th><td><label><input type=\"checkbox\" "
                        "name=\"forget-password\"> No password</label></td></tr>\n"
                        "              <tr><th></th><td><input type=\"submit\" value=\"Save Changes\">"
                        "</td></tr>\n"
                        "            </tbody>\n"
                        "          </table>\n"
                        "        </form>\n",
                        hasAccount && !account.password.empty()
                            ? "A password is set; a new one replaces it."
                            : "No password is set.");
  explicit_bzero(account.password.data(), account.password.size());
  papplClientHTMLPrinterFooter(client);
  return true;
}

}  // namespace

void AddAccountPage(pappl_printer_t *printer) {
  char path[1024];
  papplPrinterGetPath(printer, "account", path, sizeof path);
  papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html", ShowAccountPage,
                                 printer);
  papplPrinterAddLink(printer, "Account", path, PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_STATUS);
}
