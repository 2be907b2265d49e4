// The job's metadata sources: document name, credentials file, directory creation.
// One test reads the real credentials file, so:
// QUENMARK_USES_FIXED_PATHS

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "CredentialsFile.h"
#include "DirectoryCreation.h"
#include "DocumentName.h"
#include "Log.h"
#include "TestSupport.h"
#include "Utf8Prefix.h"

namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// ---------------------------------------------------------------- document name

struct DocNameResult {
  std::string name;
  std::string log;
};

DocNameResult DocName(const std::string &title) {
  // Heap buffer of the caller's exact size: the sanitizer catches any byte past it.
  std::vector<char> buffer(DOC_NAME_BUFFER_SIZE, '\0');
  char *out = buffer.data();
  CaptureStderr();
  getDocumenName(title.c_str(), &out, StderrLog());
  DocNameResult result{std::string(buffer.data()), GetCapturedStderr()};
  EXPECT_EQ(out, buffer.data());
  return result;
}

const char kEnter[] = "DEBUG: Enter getDocumenName!\n";
const char kExit[] = "DEBUG: Exit getDocumenName!\n";
const char kRemoveDir[] = "DEBUG: getDocumenName:remove dir.\n";
const char kNoDir[] = "DEBUG: getDocumenName:param not include dir.\n";
const char kExpanded[] = "DEBUG: getDocumenName:find expanded flag.\n";
const char kTerminal[] = "DEBUG: getDocumenName:set DocName string terminal.\n";

TEST(DocumentName, TitlesAndTheirLogs) {
  struct Case {
    const char *title;
    const char *name;
    std::string log;
  };
  const std::string e = kEnter, x = kExit;
  const Case cases[] = {
      {"report.pdf", "report.pdf", e + kNoDir + kExpanded + x},
      {"/home/user/report.pdf", "report.pdf", e + kRemoveDir + kExpanded + x},
      {"My Report.pdf - Viewer", "My Report.pdf", e + kNoDir + kExpanded + kTerminal + x},
      {"archive.tar.gz (2)", "archive.tar.gz", e + kNoDir + kExpanded + kTerminal + x},
      {"rev1.2 notes.txt", "rev1.2", e + kNoDir + kExpanded + kTerminal + x},
      {"Untitled Document", "Untitled Document", e + kNoDir + x},
      {"dir/sub/", "", e + kRemoveDir + x},
      {"", "", e + kNoDir + x},
      {"C:\\docs\\a.txt more", "C:\\docs\\a.txt", e + kNoDir + kExpanded + kTerminal + x},
      {"/a.b/c d", "c d", e + kRemoveDir + x},
  };
  for (const auto &c : cases) {
    const DocNameResult result = DocName(c.title);
    EXPECT_EQ(result.name, c.name) << c.title;
    EXPECT_EQ(result.log, c.log) << c.title;
  }
}

TEST(DocumentName, LongTitleIsCutTo255) {
  EXPECT_EQ(DocName(std::string(300, 't')).name, std::string(255, 't'));
  EXPECT_EQ(DocName("/spool/" + std::string(400, 'n') + ".pdf").name, std::string(255, 'n'));
  // The cut comes first; an extension behind it no longer counts.
  const DocNameResult cut = DocName(std::string(250, 'w') + " x.pdf y");
  EXPECT_EQ(cut.name, std::string(250, 'w') + " x.pd");
  const DocNameResult kept = DocName(std::string(240, 'w') + ".pdf tail" + std::string(50, 't'));
  EXPECT_EQ(kept.name, std::string(240, 'w') + ".pdf");
}

// The printer shows the name: a cut never leaves half a character behind.
TEST(DocumentName, LongTitleIsCutAfterAWholeUtf8Character) {
  std::string e130;
  for (int i = 0; i < 130; ++i) e130 += "\xc3\xa9";  // é, two bytes
  std::string e127;
  for (int i = 0; i < 127; ++i) e127 += "\xc3\xa9";
  EXPECT_EQ(DocName(e130).name, e127);
  EXPECT_EQ(DocName("/spool/" + e130).name, e127);
  // A four-byte character across the cut goes whole; one that ends at byte 255 stays.
  const std::string clef = "\xf0\x9d\x84\x9e";
  EXPECT_EQ(DocName(std::string(253, 'a') + clef + "b").name, std::string(253, 'a'));
  EXPECT_EQ(DocName(std::string(251, 'a') + clef + "b").name, std::string(251, 'a') + clef);
  EXPECT_EQ(DocName(std::string(254, 'a') + "\xe2\x82\xac").name, std::string(254, 'a'));
}

TEST(Utf8Prefix, CutsOnlyBetweenCharacters) {
  EXPECT_EQ(Utf8PrefixLength("", 5), 0u);
  EXPECT_EQ(Utf8PrefixLength("abc", 5), 3u);
  EXPECT_EQ(Utf8PrefixLength("abcdef", 5), 5u);
  EXPECT_EQ(Utf8PrefixLength("ab\xc3\xa9", 3), 2u);      // é cut after its first byte
  EXPECT_EQ(Utf8PrefixLength("ab\xc3\xa9", 4), 4u);      // é whole
  EXPECT_EQ(Utf8PrefixLength("a\xe2\x82\xacz", 3), 1u);  // € cut after two bytes
  EXPECT_EQ(Utf8PrefixLength("a\xe2\x82\xacz", 4), 4u);
  // Not UTF-8 (a run of continuation bytes): cut where the limit says.
  EXPECT_EQ(Utf8PrefixLength("\x80\x80\x80\x80\x80\x80", 5), 5u);
  EXPECT_EQ(Utf8PrefixLength(nullptr, 5), 0u);
}

// ---------------------------------------------------------------- mkdirs

mode_t ModeOf(const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode;
}

bool IsDirectory(const std::string &path) { return S_ISDIR(ModeOf(path)); }

size_t EntryCount(const std::string &dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// Runs a block in another working directory and always comes back.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string &to) : from_(fs::current_path()) { fs::current_path(to); }
  ~ScopedChdir() { fs::current_path(from_); }

 private:
  fs::path from_;
};

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
  ~ScopedUmask() { umask(old_); }

 private:
  mode_t old_;
};

// A path of exactly `length` characters below base, in components short enough
// for the file system.
std::string PathOfLength(const std::string &base, size_t length) {
  std::string path = base;
  while (path.size() < length) {
    const size_t left = length - path.size();
    const size_t component = left > 101 ? 100 : (left > 100 ? 50 : left - 1);
    path += "/" + std::string(component, 'p');
  }
  return path;
}

TEST(Mkdirs, CreatesMissingTreeWithTrailingSlash) {
  TempDir tmp;
  const ScopedUmask mask(022);
  const std::string target = tmp.file("quenmark/");
  EXPECT_EQ(mkdirs(target.c_str()), 0);
  EXPECT_TRUE(IsDirectory(tmp.file("quenmark")));
  EXPECT_EQ(ModeOf(tmp.file("quenmark")) & 07777, 0755u);
  // Again on the existing directory: nothing changes, its own mode stays.
  ASSERT_EQ(chmod(tmp.file("quenmark").c_str(), 0700), 0);
  EXPECT_EQ(mkdirs(target.c_str()), 0);
  EXPECT_EQ(ModeOf(tmp.file("quenmark")) & 07777, 0700u);
}

TEST(Mkdirs, RelativePathCreatesEveryLevel) {
  TempDir tmp;
  const ScopedUmask mask(022);
  {
    const ScopedChdir here(tmp.path());
    EXPECT_EQ(mkdirs("a/b/c"), 0);
    EXPECT_EQ(mkdirs("x//y"), 0);
  }
  for (const char *dir : {"a", "a/b", "a/b/c", "x", "x/y"}) {
    EXPECT_TRUE(IsDirectory(tmp.file(dir))) << dir;
    EXPECT_EQ(ModeOf(tmp.file(dir)) & 07777, 0755u) << dir;
  }
}

TEST(Mkdirs, ModeFollowsTheCreationMask) {
  TempDir tmp;
  const ScopedUmask mask(077);
  EXPECT_EQ(mkdirs(tmp.file("p/q").c_str()), 0);
  EXPECT_EQ(ModeOf(tmp.file("p")) & 07777, 0700u);
  EXPECT_EQ(ModeOf(tmp.file("p/q")) & 07777, 0700u);
}

TEST(Mkdirs, FilesInTheWayAreLeftAlone) {
  TempDir tmp;
  WriteFileText(tmp.file("file"), "keep");
  EXPECT_EQ(mkdirs(tmp.file("file").c_str()), 1);
  EXPECT_EQ(mkdirs(tmp.file("file/sub/dir").c_str()), 1);
  EXPECT_EQ(ReadFileText(tmp.file("file")), "keep");
  EXPECT_EQ(EntryCount(tmp.path()), 1u);
}

TEST(Mkdirs, EmptyOrMissingPathCreatesNothing) {
  TempDir tmp;
  {
    const ScopedChdir here(tmp.path());
    EXPECT_EQ(mkdirs(""), 1);
  }
  EXPECT_EQ(mkdirs(nullptr), 1);
  EXPECT_EQ(EntryCount(tmp.path()), 0u);
}

TEST(Mkdirs, PathOf512CharactersIsRefused) {
  TempDir tmp;
  const std::string tooLong = PathOfLength(tmp.path(), 512);
  ASSERT_EQ(tooLong.size(), 512u);
  EXPECT_EQ(mkdirs(tooLong.c_str()), 1);
  EXPECT_EQ(EntryCount(tmp.path()), 0u);

  const std::string longest = PathOfLength(tmp.path(), 511);
  ASSERT_EQ(longest.size(), 511u);
  EXPECT_EQ(mkdirs(longest.c_str()), 0);
  EXPECT_TRUE(IsDirectory(longest));
}

// ---------------------------------------------------------------- credentials

struct AuthResult {
  int status = -1;
  std::string id;
  std::string password;
  bool terminated = false;  // both buffers end in a NUL within their 128 bytes
  std::string log;
};

AuthResult ReadAuth(const std::string &path) {
  std::vector<char> id(CREDENTIAL_BUFFER_SIZE, '\0');
  std::vector<char> password(CREDENTIAL_BUFFER_SIZE, '\0');
  char *idOut = id.data();
  char *passwordOut = password.data();
  CaptureStderr();
  AuthResult result;
  result.status = getAuthInfoFromPath(path.c_str(), &idOut, &passwordOut, StderrLog());
  result.log = GetCapturedStderr();
  EXPECT_EQ(idOut, id.data());
  EXPECT_EQ(passwordOut, password.data());
  result.terminated = id.back() == '\0' && password.back() == '\0';
  result.id.assign(id.data(), strnlen(id.data(), id.size()));
  result.password.assign(password.data(), strnlen(password.data(), password.size()));
  return result;
}

const std::string kAuthEnter = "DEBUG: Enter getAuthInfo!\n";
const std::string kParsed = kAuthEnter + "DEBUG: create  json_string!\nDEBUG: Parse  json_string!\n";
const std::string kAuthExit = "DEBUG: Exit  getAuthInfo!\n";
const std::string kBadJson = kAuthEnter +
                             "DEBUG: create  json_string!\nDEBUG: Error parsing JSON\n"
                             "DEBUG: Exit  getAuthInfo with error!\n";

TEST(Credentials, FilesThatGiveNothing) {
  TempDir tmp;
  struct Case {
    const char *name;
    const char *content;  // nullptr: no file
    std::string log;
  };
  const Case cases[] = {
      {"absent", nullptr, kAuthEnter + "DEBUG: auth_file is not found!\n"},
      {"empty", "", kBadJson},
      {"invalid", "{\"AuthID\": \"alice\",", kBadJson},
      {"text", "AuthID=alice", kBadJson},
  };
  for (const auto &c : cases) {
    if (c.content != nullptr) WriteFileText(tmp.file(c.name), c.content);
    const AuthResult result = ReadAuth(tmp.file(c.name));
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.id, "") << c.name;
    EXPECT_EQ(result.password, "") << c.name;
    EXPECT_EQ(result.log, c.log) << c.name;
  }
}

TEST(Credentials, ParsedFilesAndTheMembersTheyGive) {
  TempDir tmp;
  struct Case {
    const char *name;
    const char *content;
    const char *id;
    const char *password;
  };
  const Case cases[] = {
      {"both", R"({"AuthID": "alice", "Password": "hunter2", "Other": 1})", "alice", "hunter2"},
      {"only-id", R"({"AuthID": "alice"})", "alice", ""},
      {"only-password", R"({"Password": "hunter2"})", "", "hunter2"},
      {"empty-object", "{}", "", ""},
      {"array-root", R"([{"AuthID": "alice"}, "Password"])", "", ""},
      {"string-root", R"("alice")", "", ""},
      {"number-root", "42", "", ""},
      {"number-member", R"({"AuthID": 42, "Password": "hunter2"})", "", "hunter2"},
      {"wrong-case", R"({"authid": "alice", "password": "hunter2", "AUTHID": "x"})", "", ""},
      {"null-members", R"({"AuthID": null, "Password": ["hunter2"]})", "", ""},
  };
  for (const auto &c : cases) {
    WriteFileText(tmp.file(c.name), c.content);
    const AuthResult result = ReadAuth(tmp.file(c.name));
    EXPECT_EQ(result.status, 1) << c.name;
    EXPECT_EQ(result.id, c.id) << c.name;
    EXPECT_EQ(result.password, c.password) << c.name;
    std::string log = kParsed;
    if (*c.id != '\0') log += std::string("DEBUG: AuthID: ") + c.id + "\n";
    if (*c.password != '\0') log += "DEBUG: Password: ********\n";
    log += kAuthExit;
    EXPECT_EQ(result.log, log) << c.name;
    EXPECT_EQ(result.log.find("hunter2"), std::string::npos) << c.name;
  }
}

TEST(Credentials, LongCredentialsAreCutTo127) {
  TempDir tmp;
  const std::string id127(127, 'i');
  const std::string password127(127, 'p');
  WriteFileText(tmp.file("127"), "{\"AuthID\": \"" + id127 + "\", \"Password\": \"" + password127 + "\"}");
  const AuthResult whole = ReadAuth(tmp.file("127"));
  EXPECT_EQ(whole.status, 1);
  EXPECT_EQ(whole.id, id127);
  EXPECT_EQ(whole.password, password127);
  EXPECT_TRUE(whole.terminated);

  WriteFileText(tmp.file("200"), "{\"AuthID\": \"" + std::string(200, 'i') + "\", \"Password\": \"" +
                                     std::string(200, 'p') + "\"}");
  const AuthResult cut = ReadAuth(tmp.file("200"));
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.id, id127);
  EXPECT_EQ(cut.password, password127);
  EXPECT_TRUE(cut.terminated);
  EXPECT_EQ(cut.log, kParsed + "DEBUG: AuthID: " + id127 + "\nDEBUG: Password: ********\n" + kAuthExit);
}

std::string Ignored(const std::string &path, const std::string &reason) {
  return kAuthEnter + "WARNING: The credentials file " + path + " is ignored: " + reason + "\n";
}

TEST(Credentials, OnlyRegularFilesOfBoundedSizeAreRead) {
  TempDir tmp;
  ASSERT_EQ(mkdir(tmp.file("dir").c_str(), 0755), 0);
  EXPECT_EQ(ReadAuth(tmp.file("dir")).log, Ignored(tmp.file("dir"), "it is not a regular file"));
  EXPECT_EQ(ReadAuth(tmp.file("dir")).status, 0);
  EXPECT_EQ(ReadAuth("/dev/null").log, Ignored("/dev/null", "it is not a regular file"));

  // Padding keeps the JSON valid, so only the size can turn it down.
  const std::string object = R"({"AuthID": "alice"})";
  WriteFileText(tmp.file("limit"), object + std::string(AUTH_CONFIG_MAX_BYTES - object.size(), ' '));
  EXPECT_EQ(ReadAuth(tmp.file("limit")).status, 1);
  WriteFileText(tmp.file("over"), object + std::string(AUTH_CONFIG_MAX_BYTES + 1 - object.size(), ' '));
  const AuthResult over = ReadAuth(tmp.file("over"));
  EXPECT_EQ(over.status, 0);
  EXPECT_EQ(over.id, "");
  EXPECT_EQ(over.log, Ignored(tmp.file("over"), "it is larger than 65536 bytes"));
}

TEST(Credentials, FifoIsRefusedWithoutBlocking) {
  TempDir tmp;
  const std::string fifo = tmp.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A child makes the attempt, so a read that waits for a writer shows up as a
  // timeout here instead of a hung test program.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char id[CREDENTIAL_BUFFER_SIZE] = {};
    char password[CREDENTIAL_BUFFER_SIZE] = {};
    char *idOut = id;
    char *passwordOut = password;
    _exit(getAuthInfoFromPath(fifo.c_str(), &idOut, &passwordOut, StderrLog()) == 0 ? 0 : 1);
  }
  int status = 0;
  pid_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "reading a FIFO as the credentials file blocked";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadAuth(fifo).log, Ignored(fifo, "it is not a regular file"));
}

// Anyone may create /tmp/auth: a file or directory that someone other than root or the
// filter's user could have put there, or could change, is not used, and the log says why.
TEST(Credentials, FilesOthersCouldPlantAreIgnored) {
  TempDir tmp;
  const std::string good = R"({"AuthID": "admin-set", "Password": "pw"})";
  const uid_t self = geteuid();
  auto directory = [&](const std::string &name, mode_t mode) {
    const std::string dir = tmp.file(name);
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(chmod(dir.c_str(), mode), 0);
    return dir;
  };
  auto file = [&](const std::string &dir, mode_t mode) {
    const std::string path = dir + "/auth_config";
    WriteFileText(path, good);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  };
  auto expectIgnored = [&](const std::string &path, const std::string &reason) {
    const AuthResult result = ReadAuth(path);
    EXPECT_EQ(result.status, 0) << path;
    EXPECT_EQ(result.id, "") << path;
    EXPECT_EQ(result.password, "") << path;
    EXPECT_EQ(result.log, Ignored(path, reason)) << path;
  };

  // As an administrator installs it (root:lp 0640 in a 0755 directory) it is used.
  const std::string proper = file(directory("proper", 0755), 0640);
  EXPECT_EQ(ReadAuth(proper).status, 1);
  EXPECT_EQ(ReadAuth(proper).id, "admin-set");

  const std::string groupWritable = file(directory("group-writable-file", 0755), 0660);
  expectIgnored(groupWritable, "it is writable by its group or by others (mode 0660)");
  const std::string worldWritable = file(directory("world-writable-file", 0755), 0646);
  expectIgnored(worldWritable, "it is writable by its group or by others (mode 0646)");

  const std::string openDir = directory("open-directory", 0777);
  const std::string inOpenDir = file(openDir, 0644);
  expectIgnored(inOpenDir, openDir + " is writable by its group or by others (mode 0777)");
  const std::string stickyDir = directory("sticky-directory", 01777);
  const std::string inStickyDir = file(stickyDir, 0644);
  expectIgnored(inStickyDir, stickyDir + " is writable by its group or by others (mode 1777)");

  // Links: neither the file nor its directory may be one, whatever they point at.
  const std::string linkedFileDir = directory("linked-file", 0755);
  ASSERT_EQ(symlink(proper.c_str(), (linkedFileDir + "/auth_config").c_str()), 0);
  expectIgnored(linkedFileDir + "/auth_config", "it is a symbolic link");
  ASSERT_EQ(symlink(tmp.file("proper").c_str(), tmp.file("linked-dir").c_str()), 0);
  expectIgnored(tmp.file("linked-dir/auth_config"), tmp.file("linked-dir") + " is a symbolic link");

  WriteFileText(tmp.file("plain-file"), "x");
  expectIgnored(tmp.file("plain-file/auth_config"), tmp.file("plain-file") + " is not a directory");

  if (self != 0) GTEST_SKIP() << "the ownership cases need root";
  const uid_t other = 65534;  // nobody
  const std::string foreignFile = file(directory("foreign-file", 0755), 0644);
  ASSERT_EQ(chown(foreignFile.c_str(), other, 0), 0);
  expectIgnored(foreignFile, "it belongs to user 65534; only root and user 0, who runs the filter, may own it");
  const std::string foreignDir = directory("foreign-directory", 0755);
  const std::string inForeignDir = file(foreignDir, 0644);
  ASSERT_EQ(chown(foreignDir.c_str(), other, 0), 0);
  expectIgnored(inForeignDir,
                foreignDir + " belongs to user 65534; only root and user 0, who runs the filter, may own it");
}

// A credential too long for its buffer ends after a whole character.
TEST(Credentials, LongMultibyteCredentialsAreCutAfterAWholeCharacter) {
  TempDir tmp;
  std::string e70;
  for (int i = 0; i < 70; ++i) e70 += "\xc3\xa9";
  WriteFileText(tmp.file("auth_config"), "{\"AuthID\": \"" + e70 + "\", \"Password\": \"x" + e70 + "\"}");
  const AuthResult result = ReadAuth(tmp.file("auth_config"));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.id, e70.substr(0, 126));
  EXPECT_EQ(result.password, "x" + e70.substr(0, 126));
}

// The real credentials path, put back as it was whatever the test does.
class SavedAuthConfig {
 public:
  SavedAuthConfig() {
    hadDir_ = fs::exists(dir_);
    hadFile_ = fs::exists(AUTH_CONFIG_PATH);
    if (hadFile_) {
      content_ = ReadFileText(AUTH_CONFIG_PATH);
      mode_ = ModeOf(AUTH_CONFIG_PATH) & 07777;
    }
  }
  ~SavedAuthConfig() {
    std::error_code ignored;
    if (hadFile_) {
      WriteFileText(AUTH_CONFIG_PATH, content_);
      chmod(AUTH_CONFIG_PATH, mode_);
    } else {
      fs::remove(AUTH_CONFIG_PATH, ignored);
    }
    if (!hadDir_) fs::remove(dir_, ignored);
  }
  bool usable() const { return !hadFile_ || fs::is_regular_file(AUTH_CONFIG_PATH); }

 private:
  const fs::path dir_ = fs::path(AUTH_CONFIG_PATH).parent_path();
  bool hadDir_ = false;
  bool hadFile_ = false;
  std::string content_;
  mode_t mode_ = 0600;
};

TEST(Credentials, ReadsTheFixedPath) {
  const SavedAuthConfig saved;
  if (!saved.usable()) GTEST_SKIP() << AUTH_CONFIG_PATH << " is not a regular file";
  fs::create_directories(fs::path(AUTH_CONFIG_PATH).parent_path());
  WriteFileText(AUTH_CONFIG_PATH, R"({"AuthID": "fixed-id", "Password": "fixed-secret"})");

  std::vector<char> id(CREDENTIAL_BUFFER_SIZE, '\0');
  std::vector<char> password(CREDENTIAL_BUFFER_SIZE, '\0');
  char *idOut = id.data();
  char *passwordOut = password.data();
  CaptureStderr();
  const int status = getAuthInfo(&idOut, &passwordOut, StderrLog());
  const std::string log = GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_STREQ(id.data(), "fixed-id");
  EXPECT_STREQ(password.data(), "fixed-secret");
  EXPECT_EQ(log, kParsed + "DEBUG: AuthID: fixed-id\nDEBUG: Password: ********\n" + kAuthExit);
}

}  // namespace
