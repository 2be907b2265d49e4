// The filter on a shared machine: the fixed work directory in /tmp against links and
// directories other users plant there, jobs of two queues at once, and values a job's
// submitter chose.
// QUENMARK_USES_FIXED_PATHS: the work directory /tmp/quenmark and its lock file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "TestSupport.h"

extern char **environ;

namespace {

const std::string kWorkDir = "/tmp/quenmark";
const std::string kLockFile = "/tmp/quenmark.lock";
const char kWaitLine[] = "INFO: Waiting for another print job to finish with the work directory";

namespace fs = std::filesystem;

struct Job {
  std::string raster;
  std::vector<PageBitmap> sources;
};

class HardeningTest : public testing::Test {
 protected:
  // The fixed paths are cleared for each test and left cleared: the next run of the
  // filter makes them anew.
  void SetUp() override { ClearFixedPaths(); }
  void TearDown() override { ClearFixedPaths(); }

  static void ClearFixedPaths() { ClearFilterFixedPaths(); }

  Job MakeJob(const std::string &name, int pages, const std::string &content) {
    Job job;
    job.raster = dir_.file(name + ".ras");
    EXPECT_TRUE(MakeRaster(job.raster, {"--pages", std::to_string(pages), "--size", "A6",
                                        "--content", content, "--pbm", dir_.file(name)}));
    for (int page = 1; page <= pages; ++page) {
      job.sources.push_back(LoadPbm(dir_.file(name + "-" + std::to_string(page) + ".pbm")));
    }
    return job;
  }

  FilterJobRequest Request(const Job &job) {
    FilterJobRequest request;
    request.rasterPath = job.raster;
    request.ppdPath = WriteTestPpd(dir_.path());
    return request;
  }

  static void ExpectPages(const FilterJobOutcome &outcome, const Job &job) {
    ASSERT_EQ(outcome.run.exitStatus, 0) << outcome.run.err;
    ASSERT_TRUE(outcome.parsed) << outcome.streamError;
    ASSERT_EQ(outcome.pages.size(), job.sources.size());
    for (size_t i = 0; i < job.sources.size(); ++i) {
      EXPECT_TRUE(SamePixels(outcome.pages[i], job.sources[i])) << "page " << i + 1;
    }
  }

  // An encoder that takes its time, so that two jobs surely overlap.
  void WriteSlowEncoder() {
    WriteFileText(dir_.file("pbmtojbg"), "#!/bin/sh\nsleep 0.3\nexec /usr/bin/pbmtojbg \"$@\"\n");
    chmod(dir_.file("pbmtojbg").c_str(), 0755);
  }

  TempDir dir_;
};

struct stat LinkStatus(const std::string &path) {
  struct stat info = {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return info;
}

TEST_F(HardeningTest, PlantedLinksAreReplacedNotFollowed) {
  // Another user's links in our names: to a directory of theirs, and to a file of theirs
  // where the lock file belongs.
  const std::string victimDir = dir_.file("victim");
  fs::create_directory(victimDir);
  WriteFileText(victimDir + "/345_1_gs.pbm", "someone's file");
  WriteFileText(dir_.file("victim-lock"), "someone's other file");
  ASSERT_EQ(symlink(victimDir.c_str(), kWorkDir.c_str()), 0);
  ASSERT_EQ(symlink(dir_.file("victim-lock").c_str(), kLockFile.c_str()), 0);

  const Job job = MakeJob("doc", 2, "text");
  ExpectPages(RunFilterJob(Request(job)), job);

  EXPECT_EQ(ReadFileText(victimDir + "/345_1_gs.pbm"), "someone's file");
  EXPECT_EQ(ReadFileText(dir_.file("victim-lock")), "someone's other file");
  const struct stat dir = LinkStatus(kWorkDir);
  EXPECT_TRUE(S_ISDIR(dir.st_mode));
  EXPECT_EQ(dir.st_mode & 07777, 0700u);
  EXPECT_EQ(dir.st_uid, geteuid());
  const struct stat lock = LinkStatus(kLockFile);
  EXPECT_TRUE(S_ISREG(lock.st_mode));
  EXPECT_EQ(lock.st_mode & 07777, 0600u);
  for (const char *name : {"345_1_gs.pbm", "345_2_gs.pbm"}) {
    const struct stat page = LinkStatus(kWorkDir + "/" + name);
    EXPECT_TRUE(S_ISREG(page.st_mode)) << name;
    EXPECT_EQ(page.st_mode & 0077, 0u) << name << " is readable by others";
  }
}

TEST_F(HardeningTest, LeftoversOfEarlierJobsAreCleared) {
  // The private directory an earlier job left, once with page files only and once with a
  // subdirectory that only a full removal takes away.
  for (bool withSubdirectory : {false, true}) {
    fs::create_directory(kWorkDir);
    chmod(kWorkDir.c_str(), 0700);
    WriteFileText(kWorkDir + "/9_1_gs.pbm", "old page");
    if (withSubdirectory) {
      fs::create_directory(kWorkDir + "/sub");
      WriteFileText(kWorkDir + "/sub/9-1.jbg", "old data");
    }
    const Job job = MakeJob("doc", 1, "text");
    ExpectPages(RunFilterJob(Request(job)), job);
    EXPECT_FALSE(FileExists(kWorkDir + "/9_1_gs.pbm"));
    EXPECT_FALSE(FileExists(kWorkDir + "/sub"));
    EXPECT_TRUE(FileExists(kWorkDir + "/345_1_gs.pbm"));
    ClearFixedPaths();
  }
}

// The scheduler runs its filters as lp, with a TMPDIR of theirs (here dir, or none).
std::vector<std::string> AsUser(const char *name, const std::string &tmpDir = "") {
  const struct passwd *user = getpwnam(name);
  std::vector<std::string> launcher = {"setpriv",
                                       "--reuid=" + std::to_string(user->pw_uid),
                                       "--regid=" + std::to_string(user->pw_gid),
                                       "--clear-groups",
                                       "env",
                                       "-u",
                                       "TMPDIR"};
  if (!tmpDir.empty()) launcher.push_back("TMPDIR=" + tmpDir);
  return launcher;
}

bool HaveUsers() {
  return geteuid() == 0 && getpwnam("nobody") != nullptr && getpwnam("lp") != nullptr;
}

std::string Uid(const char *name) { return std::to_string(getpwnam(name)->pw_uid); }

// A request as lp runs it: a copy of the filter and files that lp can reach (the build
// tree may lie where lp cannot go).
FilterJobRequest AsLp(FilterJobRequest request, const std::string &dir,
                      const std::string &tmpDir = "") {
  const std::string filter = dir + "/filter";
  if (!FileExists(filter)) fs::copy_file(QUENMARK_FILTER_PATH, filter);
  chmod(filter.c_str(), 0755);
  chmod(dir.c_str(), 0755);
  chmod(request.rasterPath.c_str(), 0644);
  chmod(request.ppdPath.c_str(), 0644);
  request.program = filter;
  request.launcher = AsUser("lp", tmpDir);
  return request;
}

// Where the job says it went instead of the fixed work directory, from its WARNING line.
std::string WorkedIn(const std::string &log) {
  static const std::string marker = "; this job works in ";
  const size_t at = log.find(marker);
  if (at == std::string::npos) return "";
  const size_t start = at + marker.size();
  return log.substr(start, log.find(" instead", start) - start);
}

TEST_F(HardeningTest, PlantedNamesAreLeftAloneAndTheJobPrints) {
  if (!HaveUsers()) GTEST_SKIP() << "needs root and the users nobody and lp";
  const Job job = MakeJob("doc", 1, "text");

  // Root may remove another user's directory, and does.
  const std::vector<std::string> nobody = AsUser("nobody");
  fs::create_directory(kWorkDir);
  WriteFileText(kWorkDir + "/345_1_gs.pbm", "planted page");
  ASSERT_EQ(chown(kWorkDir.c_str(), getpwnam("nobody")->pw_uid, 0), 0);
  ExpectPages(RunFilterJob(Request(job)), job);
  EXPECT_EQ(LinkStatus(kWorkDir).st_uid, 0u);

  // lp may remove none of what follows: root's leftovers of that run, and names that
  // nobody planted. The job prints elsewhere, and what is in the way stays as it was.
  const std::string tmpDir = dir_.file("lp-tmp");
  fs::create_directory(tmpDir);
  ASSERT_EQ(chown(tmpDir.c_str(), getpwnam("lp")->pw_uid, 0), 0);
  struct Case {
    const char *plant;  // run as nobody; empty: root's leftovers
    std::string planted;
    std::string tmpDir;
  };
  const Case cases[] = {
      {"", kLockFile + " is a regular file of user 0 (root)", tmpDir},
      {"touch /tmp/quenmark.lock", kLockFile + " is a regular file of user " + Uid("nobody"), ""},
      {"mkdir -m 0777 /tmp/quenmark", kWorkDir + " is a directory of user " + Uid("nobody"),
       tmpDir},
  };
  for (const Case &each : cases) {
    SCOPED_TRACE(each.planted);
    if (each.plant[0] != '\0') {
      ClearFixedPaths();
      std::vector<std::string> plant = nobody;
      plant.insert(plant.end(), {"sh", "-c", each.plant});
      ASSERT_EQ(RunProgram(plant).exitStatus, 0);
    }
    const std::string path = each.planted.substr(0, each.planted.find(' '));
    const struct stat before = LinkStatus(path);
    FilterJobRequest request = AsLp(Request(job), dir_.path(), each.tmpDir);
    // Bare names say nothing of what their job parameters hold.
    request.options = "job-uuid nonumber-up";
    const FilterJobOutcome outcome = RunFilterJob(request);
    ExpectPages(outcome, job);
    EXPECT_NE(outcome.run.err.find("WARNING: " + each.planted), std::string::npos)
        << outcome.run.err;
    const std::string place = WorkedIn(outcome.run.err);
    if (each.tmpDir.empty()) {
      EXPECT_EQ(place.rfind("/tmp/quenmark-", 0), 0u) << place;
      EXPECT_FALSE(place.empty() || FileExists(place)) << "a place of its own stays behind";
    } else {
      EXPECT_EQ(place, each.tmpDir + "/quenmark/");
      EXPECT_TRUE(FileExists(place + "345_1_gs.pbm"));
    }
    const struct stat after = LinkStatus(path);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    std::string value;
    EXPECT_TRUE(FindJobParam(outcome.stream.jobParams, "job-uuid", &value) && value.empty());
    EXPECT_TRUE(FindJobParam(outcome.stream.jobParams, "number-up", &value) && value == "1");
  }
  EXPECT_TRUE(fs::is_empty(kWorkDir));  // nobody's directory got nothing of ours
}

// Starts the filter as lp on a raster, its output to outFd, its log to errPath.
pid_t StartFilterAsLp(const std::vector<std::string> &launcher, const std::string &args0,
                      const std::string &raster, int outFd, const std::string &errPath,
                      const std::string &ppd, const char *jobId) {
  std::vector<std::string> argv = launcher;
  argv.insert(argv.end(), {args0, jobId, "alice", "report.pdf", "1", ""});
  std::vector<char *> pointers;
  for (std::string &arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, raster.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  setenv("PPD", ppd.c_str(), 1);
  pid_t pid = -1;
  if (posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) pid = -1;
  unsetenv("PPD");
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits at most seconds for the process; false, with its threads' stacks in *stuck, when
// it is still running then.
bool WaitWithin(pid_t pid, int seconds, int *status, std::string *stuck) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  *stuck =
      RunProgram({"gdb", "-p", std::to_string(pid), "-batch", "-ex", "thread apply all bt"}).out;
  return false;
}

TEST_F(HardeningTest, JobBlockedOnItsOutputHoldsUpNoOther) {
  if (!HaveUsers()) GTEST_SKIP() << "needs root and the users nobody and lp";
  // Pages of noise do not compress: a page is far more than a pipe holds.
  const Job blocked = MakeJob("blocked", 2, "random");
  const Job other = MakeJob("other", 2, "text");
  const FilterJobRequest request = AsLp(Request(other), dir_.path());
  chmod(blocked.raster.c_str(), 0644);

  // The first job's printer does not read: its output is a pipe that nobody drains.
  int printer[2];
  ASSERT_EQ(pipe2(printer, O_CLOEXEC), 0);
  const pid_t first = StartFilterAsLp(request.launcher, request.program, blocked.raster, printer[1],
                                      dir_.file("first.err"), request.ppdPath, "101");
  close(printer[1]);
  ASSERT_GT(first, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadFileText(dir_.file("first.err")).find("DEBUG: print m_page 1 ") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  const int out =
      open(dir_.file("second.prn").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t second = StartFilterAsLp(request.launcher, request.program, other.raster, out,
                                       dir_.file("second.err"), request.ppdPath, "202");
  close(out);
  ASSERT_GT(second, 0);
  int status = 0;
  std::string stuck;
  if (!WaitWithin(second, 60, &status, &stuck)) {
    ADD_FAILURE() << "the second job is held up:\n"
                  << stuck << ReadFileText(dir_.file("second.err"));
    kill(second, SIGKILL);
    waitpid(second, &status, 0);
  }
  // The printer goes away: the first job's write fails and it ends.
  close(printer[0]);
  int firstStatus = 0;
  if (!WaitWithin(first, 60, &firstStatus, &stuck)) {
    ADD_FAILURE() << "the first job does not end:\n" << stuck;
    kill(first, SIGKILL);
    waitpid(first, &firstStatus, 0);
  }
  EXPECT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 1);
  RunResult run;
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadFileText(dir_.file("second.prn"));
  run.err = ReadFileText(dir_.file("second.err"));
  ExpectPages(ParseFilterOutcome(run), other);
}

TEST_F(HardeningTest, TwoJobsAtOnceKeepTheirOwnPages) {
  WriteSlowEncoder();
  const Job first = MakeJob("first", 3, "random");
  const Job second = MakeJob("second", 3, "text");
  FilterJobRequest firstRequest = Request(first);
  FilterJobRequest secondRequest = Request(second);
  firstRequest.pathPrefix = secondRequest.pathPrefix = dir_.path();
  firstRequest.jobId = "101";
  secondRequest.jobId = "202";

  FilterJobOutcome firstOutcome;
  FilterJobOutcome secondOutcome;
  std::thread other([&] { secondOutcome = RunFilterJob(secondRequest); });
  firstOutcome = RunFilterJob(firstRequest);
  other.join();

  ExpectPages(firstOutcome, first);
  ExpectPages(secondOutcome, second);
  // They take turns page by page, so one of them waited at least once.
  const bool firstWaited = firstOutcome.run.err.find(kWaitLine) != std::string::npos;
  const bool secondWaited = secondOutcome.run.err.find(kWaitLine) != std::string::npos;
  EXPECT_TRUE(firstWaited || secondWaited);
}

TEST_F(HardeningTest, CancelWhileWaitingEndsCleanly) {
  // We hold the lock as a running job would, with a page of its in the directory.
  fs::create_directory(kWorkDir);
  WriteFileText(kWorkDir + "/7_1_gs.pbm", "page of the running job");
  const int lock = open(kLockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);

  const Job job = MakeJob("doc", 1, "text");
  const std::string ppd = WriteTestPpd(dir_.path());
  const std::string out = dir_.file("out.prn");
  const std::string err = dir_.file("err.log");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, job.raster.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  setenv("PPD", ppd.c_str(), 1);
  const char *argv[] = {QUENMARK_FILTER_PATH, "8", "alice", "report.pdf", "1", "", nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  unsetenv("PPD");

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadFileText(err).find(kWaitLine) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(lock);

  EXPECT_NE(ReadFileText(err).find(kWaitLine), std::string::npos) << ReadFileText(err);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFileText(err);
  EXPECT_EQ(ReadFileText(out), "");
  EXPECT_EQ(ReadFileText(kWorkDir + "/7_1_gs.pbm"), "page of the running job");
}

TEST_F(HardeningTest, SubmittedValuesCannotAddRecordsOrLogLines) {
  const Job job = MakeJob("doc", 1, "text");
  FilterJobRequest request = Request(job);
  request.title = "a, AuthID=someone";
  request.user = "eve\nPAGE: 7 99";
  request.options = "job-uuid=x,AuthPassword=guess PageSize=A6";
  const FilterJobOutcome outcome = RunFilterJob(request);
  ExpectPages(outcome, job);

  const std::vector<JobParamEntry> entries = SplitJobParams(outcome.stream.jobParams);
  EXPECT_EQ(entries.size(), 23u) << outcome.stream.jobParams;
  std::string value;
  ASSERT_TRUE(FindJobParam(outcome.stream.jobParams, "DocName", &value));
  EXPECT_EQ(value, "a  AuthID=someone");
  ASSERT_TRUE(FindJobParam(outcome.stream.jobParams, "LoginName", &value));
  EXPECT_EQ(value, "eve PAGE: 7 99");
  ASSERT_TRUE(FindJobParam(outcome.stream.jobParams, "job-uuid", &value));
  EXPECT_EQ(value, "x AuthPassword=guess");
  for (const std::string &line : SplitLines(outcome.run.err)) {
    EXPECT_NE(line.rfind("PAGE: 7", 0), 0u) << "a log line of the submitter's making";
  }
}

}  // namespace
