#include "PrinterAccounts.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "IppJobAttributes.h"

namespace {

constexpr size_t ACCOUNTS_FILE_MAX = 1024 * 1024;

// The job-password of the request this thread handles, from the authorization callback
// to the job-created event of the same request. Per thread, because PAPPL serves each
// connection on a thread of its own and hands neither callback the other's data; it dies
// with the connection's thread, so no other connection can come upon it.
struct PasswordInHand {
  bool given = false;
  std::string password;
};
thread_local PasswordInHand inHand;

bool IsAccountText(const char *text) {
  return text != nullptr && strlen(text) <= IPP_CREDENTIAL_MAX;
}

std::string JobKeyText(const JobKey &key) {
  return std::to_string(key.first) + "-" + std::to_string(key.second);
}

// Keeps the defaults and the passwords of the jobs that have not ended: a new file of the
// server's user alone, put in the old one's place.
bool SaveAccounts(const std::string &path, const std::map<int, Account> &defaults,
                  const std::map<JobKey, std::string> &jobPasswords, std::string *error) {
  if (path.empty()) return true;
  cJSON *root = cJSON_CreateObject();
  for (const auto &[printerId, account] : defaults) {
    cJSON *entry = cJSON_CreateObject();
    cJSON_AddStringToObject(entry, "AuthID", account.id.c_str());
    cJSON_AddStringToObject(entry, "Password", account.password.c_str());
    cJSON_AddItemToObject(root, std::to_string(printerId).c_str(), entry);
  }
  cJSON *jobs = cJSON_AddObjectToObject(root, "jobs");
  for (const auto &[key, password] : jobPasswords) {
    cJSON_AddStringToObject(jobs, JobKeyText(key).c_str(), password.c_str());
  }
  char *text = cJSON_PrintUnformatted(root);
  cJSON_Delete(root);
  if (text == nullptr) {
    *error = "out of memory";
    return false;
  }
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot create " + temporary + ": " + strerror(errno);
    free(text);
    return false;
  }
  const size_t length = strlen(text);
  const bool written = write(fd, text, length) == static_cast<ssize_t>(length) && fsync(fd) == 0;
  explicit_bzero(text, length);
  free(text);
  if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool ReadAccounts(const std::string &path, std::map<int, Account> *defaults,
                  std::map<JobKey, std::string> *jobPasswords, std::string *error) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  struct stat info;
  std::vector<char> text;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0 &&
      static_cast<size_t>(info.st_size) <= ACCOUNTS_FILE_MAX) {
    text.resize(static_cast<size_t>(info.st_size) + 1);
    if (read(fd, text.data(), text.size() - 1) != static_cast<ssize_t>(text.size() - 1)) text.clear();
  }
  close(fd);
  cJSON *root = text.empty() ? nullptr : cJSON_Parse(text.data());
  explicit_bzero(text.data(), text.size());
  if (!cJSON_IsObject(root)) {
    cJSON_Delete(root);
    *error = path + " is not a file of default accounts";
    return false;
  }
  const cJSON *jobs = cJSON_GetObjectItemCaseSensitive(root, "jobs");
  for (const cJSON *entry = cJSON_IsObject(jobs) ? jobs->child : nullptr; entry != nullptr; entry = entry->next) {
    JobKey key;
    char end = '\0';
    const char *password = cJSON_GetStringValue(entry);
    if (sscanf(entry->string, "%d-%d%c", &key.first, &key.second, &end) == 2 && key.first > 0 &&
        key.second > 0 && IsAccountText(password)) {
      (*jobPasswords)[key] = password;
    }
  }
  for (const cJSON *entry = root->child; entry != nullptr; entry = entry->next) {
    const char *id = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(entry, "AuthID"));
    const char *password = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(entry, "Password"));
    const int printerId = atoi(entry->string);
    if (printerId > 0 && IsAccountText(id) && id[0] != '\0' && IsAccountText(password)) {
      (*defaults)[printerId] = Account{id, password};
    }
  }
  cJSON_Delete(root);
  return true;
}

// Refuses or ignores account attributes of the request, as PAPPL does with values it does
// not support. A password is never sent back.
void Unsupported(pappl_client_t *client, ipp_t *request, const char *reason,
                 std::initializer_list<ipp_attribute_t *> attributes) {
  const bool validating = ippGetOperation(request) == IPP_OP_VALIDATE_JOB;
  ipp_t *response = papplClientRespondIPP(
      client, validating ? IPP_STATUS_ERROR_ATTRIBUTES_OR_VALUES : IPP_STATUS_OK_IGNORED_OR_SUBSTITUTED,
      "%s %s: %s.", validating ? "Unsupported" : "Ignoring", ippGetName(*attributes.begin()), reason);
  for (ipp_attribute_t *attribute : attributes) {
    ippAddOutOfBand(response, IPP_TAG_UNSUPPORTED_GROUP, IPP_TAG_UNSUPPORTED_VALUE, ippGetName(attribute));
    ippDeleteAttribute(request, attribute);
  }
}

}  // namespace

bool LoadPrinterAccounts(PrinterAccounts *accounts, const std::string &path, std::string *error) {
  std::map<int, Account> defaults;
  std::map<JobKey, std::string> jobPasswords;
  if (!ReadAccounts(path, &defaults, &jobPasswords, error)) return false;
  std::lock_guard<std::mutex> lock(accounts->mutex);
  accounts->path = path;
  accounts->defaults.swap(defaults);
  accounts->jobPasswords.swap(jobPasswords);
  return true;
}

void ForgetWhatIsGone(PrinterAccounts *accounts, pappl_system_t *system) {
  std::map<int, Account> defaults;
  std::map<JobKey, std::string> jobPasswords;
  std::lock_guard<std::mutex> lock(accounts->mutex);
  // Called before the server runs: no other thread holds a lock of PAPPL's.
  for (const auto &[printerId, account] : accounts->defaults) {
    if (papplSystemFindPrinter(system, nullptr, printerId, nullptr) != nullptr) defaults[printerId] = account;
  }
  for (const auto &[key, password] : accounts->jobPasswords) {
    pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, key.first, nullptr);
    pappl_job_t *job = printer != nullptr ? papplPrinterFindJob(printer, key.second) : nullptr;
    if (job != nullptr && papplJobGetState(job) < IPP_JSTATE_CANCELED) jobPasswords[key] = password;
  }
  std::string error;
  if ((defaults.size() != accounts->defaults.size() ||
       jobPasswords.size() != accounts->jobPasswords.size()) &&
      SaveAccounts(accounts->path, defaults, jobPasswords, &error)) {
    accounts->defaults.swap(defaults);
    accounts->jobPasswords.swap(jobPasswords);
  }
}

bool PrinterDefaultAccount(PrinterAccounts *accounts, int printerId, Account *account) {
  std::lock_guard<std::mutex> lock(accounts->mutex);
  const auto found = accounts->defaults.find(printerId);
  if (found == accounts->defaults.end()) return false;
  *account = found->second;
  return true;
}

bool SetPrinterDefaultAccount(PrinterAccounts *accounts, int printerId, const Account &account,
                              std::string *error) {
  if (!IsAccountText(account.id.c_str()) || !IsAccountText(account.password.c_str())) {
    *error = "an account id and a password have at most 127 bytes each";
    return false;
  }
  std::lock_guard<std::mutex> lock(accounts->mutex);
  std::map<int, Account> defaults = accounts->defaults;
  if (account.id.empty()) {
    defaults.erase(printerId);
  } else {
    defaults[printerId] = account;
  }
  if (!SaveAccounts(accounts->path, defaults, accounts->jobPasswords, error)) return false;
  accounts->defaults.swap(defaults);
  return true;
}

void TakeRequestPassword(pappl_client_t *client, ipp_t *request) {
  inHand = PasswordInHand();
  const ipp_op_t operation = request != nullptr ? ippGetOperation(request) : IPP_OP_CUPS_NONE;
  if (operation != IPP_OP_PRINT_JOB && operation != IPP_OP_CREATE_JOB &&
      operation != IPP_OP_VALIDATE_JOB) {
    return;
  }
  ipp_attribute_t *id = ippFindAttribute(request, "job-account-id", IPP_TAG_ZERO);
  if (id != nullptr && (ippGetCount(id) != 1 || !IsAccountText(ippGetString(id, 0, nullptr)) ||
                        (ippGetValueTag(id) != IPP_TAG_NAME && ippGetValueTag(id) != IPP_TAG_NAMELANG))) {
    Unsupported(client, request, "an account id is one name of at most 127 bytes", {id});
  }
  ipp_attribute_t *encryption = ippFindAttribute(request, "job-password-encryption", IPP_TAG_ZERO);
  ipp_attribute_t *password = ippFindAttribute(request, "job-password", IPP_TAG_ZERO);
  if (encryption != nullptr && (ippGetCount(encryption) != 1 || ippGetValueTag(encryption) != IPP_TAG_KEYWORD ||
                                strcmp(ippGetString(encryption, 0, nullptr), "none") != 0)) {
    const char *reason = "the printer takes passwords unencrypted (job-password-encryption none)";
    if (password != nullptr) {
      Unsupported(client, request, reason, {password, encryption});
    } else {
      Unsupported(client, request, reason, {encryption});
    }
    return;
  }
  if (password == nullptr) return;
  int length = 0;
  const void *data = ippGetOctetString(password, 0, &length);
  if (ippGetCount(password) != 1 || ippGetValueTag(password) != IPP_TAG_STRING || length < 0 ||
      static_cast<size_t>(length) > IPP_CREDENTIAL_MAX ||
      (length > 0 && memchr(data, '\0', static_cast<size_t>(length)) != nullptr)) {
    Unsupported(client, request, "a password is one octetString of at most 127 bytes", {password});
    return;
  }
  inHand.given = true;
  inHand.password.assign(static_cast<const char *>(data), static_cast<size_t>(length));
}

void AccountEvent(pappl_system_t *, pappl_printer_t *printer, pappl_job_t *job,
                  pappl_event_t event, void *data) {
  auto *accounts = static_cast<PrinterAccounts *>(data);
  if (accounts == nullptr || job == nullptr) return;
  // A job is known by its printer's id and its own, neither of which is given twice: a job
  // loaded from the spool at the start is created again without a password in hand and
  // keeps the one that was kept for it.
  const JobKey key{papplPrinterGetID(printer), papplJobGetID(job)};
  std::string error;
  if (event == PAPPL_EVENT_JOB_CREATED && inHand.given) {
    std::lock_guard<std::mutex> lock(accounts->mutex);
    accounts->jobPasswords[key] = inHand.password;
    inHand = PasswordInHand();
    if (!SaveAccounts(accounts->path, accounts->defaults, accounts->jobPasswords, &error)) {
      papplLogJob(job, PAPPL_LOGLEVEL_WARN, "The job's password is not kept over a restart: %s",
                  error.c_str());
    }
  } else if (event == PAPPL_EVENT_JOB_COMPLETED) {
    std::lock_guard<std::mutex> lock(accounts->mutex);
    if (accounts->jobPasswords.erase(key) != 0) {
      SaveAccounts(accounts->path, accounts->defaults, accounts->jobPasswords, &error);
    }
  }
}

bool FindJobAccount(PrinterAccounts *accounts, pappl_job_t *job, Account *account) {
  *account = Account();
  bool own = false;
  if (ipp_attribute_t *id = papplJobGetAttribute(job, "job-account-id"); id != nullptr) {
    const char *text = ippGetString(id, 0, nullptr);
    account->id = text != nullptr ? text : "";
    own = true;
  }
  if (accounts == nullptr) return own;
  // PAPPL calls the event callback holding its locks of the printer and the job: none of
  // them is asked for while the accounts are locked.
  const int printerId = papplPrinterGetID(papplJobGetPrinter(job));
  std::lock_guard<std::mutex> lock(accounts->mutex);
  if (const auto found = accounts->jobPasswords.find(JobKey{printerId, papplJobGetID(job)});
      found != accounts->jobPasswords.end()) {
    account->password = found->second;
    own = true;
  }
  if (own) return true;
  const auto found = accounts->defaults.find(printerId);
  if (found == accounts->defaults.end()) return false;
  *account = found->second;
  return true;
}
