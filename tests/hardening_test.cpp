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

// Runs the filter as the user nobody; the directory must let nobody read the copies.
RunResult RunFilterAsNobody(const std::string &dir, const std::string &raster,
                            const std::string &ppd) {
  const struct passwd *nobody = getpwnam("nobody");
  const std::string filter = dir + "/filter";
  fs::copy_file(QUENMARK_FILTER_PATH, filter);
  chmod(filter.c_str(), 0755);
  chmod(dir.c_str(), 0755);
  chmod(raster.c_str(), 0644);
  chmod(ppd.c_str(), 0644);
  RunOptions options;
  options.stdinPath = raster;
  options.setEnv["PPD"] = ppd;
  return RunProgram({"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                     "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups", filter, "345",
                     "alice", "report.pdf", "1", ""},
                    options);
}

TEST_F(HardeningTest, ForeignDirectoryIsRemovedOrTheJobStops) {
  if (geteuid() != 0 || getpwnam("nobody") == nullptr) {
    GTEST_SKIP() << "needs root and the user nobody";
  }
  const struct passwd *nobody = getpwnam("nobody");
  const Job job = MakeJob("doc", 1, "text");

  // A directory of another user that we may remove (we are root here) goes.
  fs::create_directory(kWorkDir);
  WriteFileText(kWorkDir + "/345_1_gs.pbm", "planted page");
  ASSERT_EQ(chown(kWorkDir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(chown((kWorkDir + "/345_1_gs.pbm").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ExpectPages(RunFilterJob(Request(job)), job);
  EXPECT_EQ(LinkStatus(kWorkDir).st_uid, 0u);

  // For nobody, root's directory can be neither removed nor used: the job stops before
  // anything reaches the printer, and root's files stay as they were.
  fs::remove(kLockFile);
  const RunResult run = RunFilterAsNobody(dir_.path(), job.raster, WriteTestPpd(dir_.path()));
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  EXPECT_TRUE(run.out.empty());
  EXPECT_NE(run.err.find("ERROR: /tmp/quenmark is not a directory of this filter's user"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(FileExists(kWorkDir + "/345_1_gs.pbm"));
  EXPECT_EQ(LinkStatus(kWorkDir).st_uid, 0u);
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
  const bool firstWaited = firstOutcome.run.err.find(kWaitLine) != std::string::npos;
  const bool secondWaited = secondOutcome.run.err.find(kWaitLine) != std::string::npos;
  EXPECT_TRUE(firstWaited != secondWaited) << "exactly one of the jobs waits for the other";
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
