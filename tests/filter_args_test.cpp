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
  for (const auto &args : {std::vector<std::string>{"1", "u", "t", "1", ""},
                           std::vector<std::string>{"1", "u", "t", "1", "", "/no/such/file"}}) {
    RunResult run = RunWithoutPpd(args);
    EXPECT_EQ(run.err.find("Usage: "), std::string::npos);
    // The set-up ran to its end; the missing PPD is what stops the job.
    EXPECT_NE(run.err.find("ERROR: Unable to open PPD file!\n"), std::string::npos);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.out.empty());
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

}  // namespace
