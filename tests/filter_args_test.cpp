// The built filter's start-up: argument checks, exit statuses, the collate flag and the
// lines it logs before the print settings.

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

namespace {

// Without a PPD the filter stops right after its set-up, which is all these tests need.
RunResult RunWithoutPpd(const std::vector<std::string> &args) {
  RunOptions options;
  options.unsetEnv.push_back("PPD");
  return RunFilter(args, options);
}

TEST(FilterArguments, WrongCountGivesUsageAndStatusOneAfterLoggingEveryArgument) {
  for (const auto &args : {std::vector<std::string>{"1", "u", "t", "1"},
                           std::vector<std::string>{"1", "u", "t", "1", "", "f", "extra"}}) {
    RunResult run = RunWithoutPpd(args);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.out.empty());
    for (size_t i = 0; i < args.size(); ++i) {
      EXPECT_NE(run.err.find("DEBUG: tavrel_quenbrisk argv[" + std::to_string(i + 1) + "]=" +
                             args[i] + " \n"),
                std::string::npos);
    }
    EXPECT_NE(run.err.find(std::string("Usage: ") + QUENMARK_FILTER_PATH +
                           " job user title copies options [file]\n"),
              std::string::npos)
        << run.err;
  }
}

TEST(FilterArguments, SixAndSevenArgumentsAreAccepted) {
  TempDir dir;
  WriteFileText(dir.file("job.ras"), "");
  for (const auto &args : {std::vector<std::string>{"1", "u", "t", "1", ""},
                           std::vector<std::string>{"1", "u", "t", "1", "", dir.file("job.ras")}}) {
    RunResult run = RunWithoutPpd(args);
    EXPECT_EQ(run.err.find("Usage: "), std::string::npos);
    // The set-up ran to its end; the missing PPD is what stops the job.
    EXPECT_NE(run.err.find("ERROR: Unable to open PPD file!\n"), std::string::npos);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.out.empty());
  }
}

// The seventh argument is the job's file: one that cannot be read ends the job before
// anything is printed, where reading nothing would report an empty job as done.
TEST(FilterArguments, RasterFileThatCannotBeOpenedIsAnError) {
  TempDir dir;
  const std::string missing = dir.file("d00001-001");
  struct Case {
    std::string path;
    std::string line;
  };
  const Case cases[] = {
      {missing, "ERROR: Unable to open the raster file " + missing + ": No such file or directory\n"},
      {dir.path(), "ERROR: Unable to read the raster file " + dir.path() + ": Is a directory\n"},
  };
  for (const Case &c : cases) {
    RunOptions options;
    options.setEnv["PPD"] = WriteTestPpd(dir.path());
    RunResult run = RunFilter({"1", "u", "t", "1", "", c.path}, options);
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_TRUE(run.out.empty());
    EXPECT_NE(run.err.find(c.line), std::string::npos) << run.err;
    // Nothing of the job runs after it: no settings, no pages.
    EXPECT_EQ(run.err.find("SetJobParam:"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("First page header"), std::string::npos) << run.err;
  }
}

TEST(FilterArguments, SetUpFillsTheTableInOrder) {
  RunResult run = RunWithoutPpd({"42", "bob", "/tmp/My Report.pdf - Viewer", "3", "PageSize=A5"});
  const std::string expected =
      "One_Param:PageSize=A5 , Len:11\n"
      "Key:PageSize , Length:8\n"
      "Value:A5 , Length:2\n"
      "SetJobParam:[jobId , 42 ]\n"
      "SetJobParam:[LoginName , bob ]\n"
      "DEBUG: Enter getDocumenName!\n"
      "DEBUG: getDocumenName:remove dir.\n"
      "DEBUG: getDocumenName:find expanded flag.\n"
      "DEBUG: getDocumenName:set DocName string terminal.\n"
      "DEBUG: Exit getDocumenName!\n"
      "SetJobParam:[DocName , My Report.pdf ]\n"
      "SetJobParam:[copies , 3 ]\n"
      "HostName: ";
  EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
}

TEST(FilterArguments, CollateFlagFollowsTheCollateOption) {
  struct Case {
    const char *options;
    const char *found;  // the "option ... found" line, or nullptr
    int flag;
  };
  const Case cases[] = {
      {"", nullptr, 0},
      {"noCollate", "DEBUG: option nocollate found\n", 0},
      {"Collate=False", "DEBUG: option nocollate found\n", 0},
      {"Collate=off media=a4", "DEBUG: option nocollate found\n", 0},
      {"Collate", "DEBUG: option collate found\n", 1},
      {"Collate=True", "DEBUG: option collate found\n", 1},
      {"sides=two-sided Collate=yes", "DEBUG: option collate found\n", 1},
      {"collate finishings=3", "DEBUG: option collate found\n", 1},
      {"Collate=FALSE", "DEBUG: option nocollate found\n", 0},
      {"nocollate", "DEBUG: option nocollate found\n", 0},
      {"number-up=2", nullptr, 0},
  };
  for (const Case &c : cases) {
    RunResult run = RunWithoutPpd({"1", "u", "t", "1", c.options});
    const std::string flagLine = "DEBUG: collate is " + std::to_string(c.flag) + "\n";
    EXPECT_NE(run.err.find(flagLine), std::string::npos) << c.options << "\n" << run.err;
    if (c.found != nullptr) {
      EXPECT_NE(run.err.find(std::string(c.found) + flagLine), std::string::npos) << c.options;
    } else {
      EXPECT_EQ(run.err.find("DEBUG: option "), std::string::npos) << c.options;
    }
  }
}

TEST(FilterArguments, PasswordFromTheOptionsNeverReachesTheLog) {
  RunResult run = RunWithoutPpd({"1", "u", "t", "1", "AuthPassword=hunter2 copies=1"});
  EXPECT_EQ(run.err.find("hunter2"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("argv[5]=AuthPassword=******** copies=1 \n"), std::string::npos) << run.err;
}

// The scheduler escapes a space, a quote or a backslash in a value, or a user quotes it:
// the mask covers the whole value as libcups reads it, and the rest stays as it came.
TEST(FilterArguments, PasswordIsMaskedWhateverItsQuoting) {
  struct Case {
    const char *options;
    const char *shown;
  };
  const Case cases[] = {
      {"AuthPassword=Hq4Zu\\ Nx8Tw\\\"Er2Wk\\\\ copies=1", "AuthPassword=******** copies=1"},
      {"AuthPassword='Hq4Zu Nx8Tw\"Er2Wk\\\\' copies=1", "AuthPassword=******** copies=1"},
      {"AuthPassword=\"Hq4Zu Nx8Tw'Er2Wk\\\\\" copies=1", "AuthPassword=******** copies=1"},
      {"copies=1 AuthPassword={Hq4Zu {Nx8Tw} Er2Wk}", "copies=1 AuthPassword=********"},
      // Control characters become spaces in every log line.
      {"Collate authpassword=Hq4Zu\\ Nx8Tw\tEr2Wk=1", "Collate authpassword=******** Er2Wk=1"},
      {"x=AuthPassword=shown AuthPassword= y", "x=AuthPassword=shown AuthPassword= y"},
  };
  for (const Case &c : cases) {
    RunResult run = RunWithoutPpd({"1", "u", "t", "1", c.options});
    for (const char *part : {"Hq4Zu", "Nx8Tw"}) {
      EXPECT_EQ(run.err.find(part), std::string::npos)
          << part << " of " << c.options << "\n" << run.err;
    }
    EXPECT_NE(run.err.find(std::string("argv[5]=") + c.shown + " \n"), std::string::npos)
        << c.options << "\n" << run.err;
  }
}

}  // namespace
