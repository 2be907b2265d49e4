#pragma once
// The account a job is counted and released under, which the printer is told as AuthID
// and AuthPassword: the job's own (job-account-id, job-password), else the default
// account an administrator set for the job's printer, else the credentials file, which
// the core reads for a job that names no account.
//
// PAPPL keeps a job's template attributes, job-account-id among them, but drops the
// operation attributes it does not know, job-password among them, before the job exists.
// The authorization callback, which sees every network request before PAPPL handles it,
// checks the request's job-password and takes it in hand for the thread; the job-created
// event, which follows in the same thread while PAPPL makes the job, hands it to the job,
// and it is kept with the default accounts until the job ends, so that a job that waits
// over a restart is still printed under its own account.
// Requests over the local domain socket pass no authorization callback: a job-password
// sent that way is not seen.

#include <pappl/pappl.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>

struct Account {
  std::string id;
  std::string password;
};

using JobKey = std::pair<int, int>;  // printer id, job id

// The server's accounts. They are kept in a file of their own, beside the state file and
// readable by the server's user alone: PAPPL makes its state file with the mode the umask
// leaves, and serves over IPP every value that it keeps there.
struct PrinterAccounts {
  std::mutex mutex;
  std::string path;                 // where they are kept; empty: nowhere
  std::map<int, Account> defaults;  // by printer id; every one with an id
  std::map<JobKey, std::string> jobPasswords;  // jobs that brought one and have not ended
};

// Reads the accounts kept at path (none when there is no file yet) and keeps them there
// from now on. False, with the reason in error, when the file cannot be read.
bool LoadPrinterAccounts(PrinterAccounts *accounts, const std::string &path, std::string *error);
// Forgets the default accounts of printers that the server no longer has, and the
// passwords of jobs that have ended or are gone.
void ForgetWhatIsGone(PrinterAccounts *accounts, pappl_system_t *system);

// The printer's default account; false when it has none.
bool PrinterDefaultAccount(PrinterAccounts *accounts, int printerId, Account *account);
// Sets the printer's default account, or removes it when the account has no id, and
// keeps the defaults. False, with the reason in error, when they cannot be kept.
bool SetPrinterDefaultAccount(PrinterAccounts *accounts, int printerId, const Account &account,
                              std::string *error);

// From the authorization callback, for every request it sees: checks the account
// attributes of a request that creates or validates a job, and takes its job-password in
// hand. A value the printer cannot take is refused by Validate-Job
// (client-error-attributes-or-values-not-supported) and ignored by Print-Job and
// Create-Job (successful-ok-ignored-or-substituted-attributes), as PAPPL treats the
// values it does not support.
void TakeRequestPassword(pappl_client_t *client, ipp_t *request);

// PAPPL's event callback (data: the PrinterAccounts): a new job takes the password in
// hand and keeps it, an ended job forgets its password.
void AccountEvent(pappl_system_t *system, pappl_printer_t *printer, pappl_job_t *job,
                  pappl_event_t event, void *data);

// The account the job is printed under: its own when it names one, else its printer's
// default. False when neither is there (the credentials file then decides).
bool FindJobAccount(PrinterAccounts *accounts, pappl_job_t *job, Account *account);
