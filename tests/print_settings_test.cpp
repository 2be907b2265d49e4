// Print settings from the PPD and the job options, the duplex constraint check, and the
// PPD the project ships. Test PPDs are written per test; GetPrintSettings and
// VerifyParamsConstraint run in-process with $PPD pointing at them.
//
// QUENMARK_USES_FIXED_PATHS: the credentials file /tmp/auth/auth_config is moved aside
// for every test and put back afterwards.

#include <cups/cups.h>
#include <cups/raster.h>
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>
#pragma GCC diagnostic pop
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "CredentialsFile.h"
#include "JobParamsProc.h"
#include "PpdSettings.h"
#include "TestSupport.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

// ---------------------------------------------------------------------------------
// Test PPDs

struct PpdOption {
  std::string keyword;
  std::string defaultChoice;
  std::vector<std::string> choices;
};

const std::vector<std::string> kPrinterSizes = {"A4", "A5",  "B5", "16k",   "Letter",
                                                "Statement", "Legal", "Executive", "A6",
                                                "B6", "B5ISO", "BANK1", "BANK2"};

// A PPD with the options the filter reads; tests change defaults or drop options.
std::vector<PpdOption> PrinterOptions() {
  std::vector<std::string> sizes = kPrinterSizes;
  sizes.push_back("Tabloid");  // a size the filter does not know
  return {
      {"PageSize", "A4", sizes},
      {"InputSlot", "MainTray", {"MainTray", "Tray2", "ManualTray"}},
      {"Resolution", "600dpi", {"600dpi", "1200dpi"}},
      {"Duplex", "None", {"None", "DuplexNoTumble", "DuplexTumble", "Booklet"}},
      {"FeedEdge", "0", {"0", "1"}},
      {"Orientation", "Portrait", {"Portrait", "Landscape"}},
      {"MediaType", "Plain", {"Plain", "Recycled", "Thin", "Thick", "Glossy"}},
  };
}

std::vector<PpdOption> WithDefault(std::vector<PpdOption> options, const std::string &keyword,
                                   const std::string &choice) {
  for (auto &option : options) {
    if (option.keyword == keyword) option.defaultChoice = choice;
  }
  return options;
}

std::vector<PpdOption> Without(std::vector<PpdOption> options, const std::string &keyword) {
  std::erase_if(options, [&](const PpdOption &option) { return option.keyword == keyword; });
  return options;
}

std::vector<PpdOption> WithChoices(std::vector<PpdOption> options, const std::string &keyword,
                                   const std::string &defaultChoice,
                                   const std::vector<std::string> &choices) {
  for (auto &option : options) {
    if (option.keyword == keyword) option = {keyword, defaultChoice, choices};
  }
  return options;
}

std::string MakePpd(const std::vector<PpdOption> &options) {
  std::string ppd =
      "*PPD-Adobe: \"4.3\"\n"
      "*FormatVersion: \"4.3\"\n"
      "*FileVersion: \"1.0\"\n"
      "*LanguageVersion: English\n"
      "*LanguageEncoding: ISOLatin1\n"
      "*PCFileName: \"TEST.PPD\"\n"
      "*Manufacturer: \"Test\"\n"
      "*Product: \"(Test Printer)\"\n"
      "*ModelName: \"Test Printer\"\n"
      "*ShortNickName: \"Test Printer\"\n"
      "*NickName: \"Test Printer\"\n"
      "*PSVersion: \"(3010.000) 0\"\n"
      "*LanguageLevel: \"3\"\n"
      "*ColorDevice: False\n"
      "*DefaultColorSpace: Gray\n";
  for (const auto &option : options) {
    const bool isPageSize = option.keyword == "PageSize";
    for (const std::string &keyword :
         isPageSize ? std::vector<std::string>{"PageSize", "PageRegion"}
                    : std::vector<std::string>{option.keyword}) {
      ppd += "*OpenUI *" + keyword + ": PickOne\n";
      ppd += "*OrderDependency: 10 AnySetup *" + keyword + "\n";
      ppd += "*Default" + keyword + ": " + option.defaultChoice + "\n";
      for (const auto &choice : option.choices) {
        ppd += "*" + keyword + " " + choice + ": \"\"\n";
      }
      ppd += "*CloseUI: *" + keyword + "\n";
    }
    if (isPageSize) {
      ppd += "*DefaultImageableArea: " + option.defaultChoice + "\n";
      for (const auto &choice : option.choices) {
        ppd += "*ImageableArea " + choice + ": \"12 12 288 388\"\n";
      }
      ppd += "*DefaultPaperDimension: " + option.defaultChoice + "\n";
      for (const auto &choice : option.choices) {
        ppd += "*PaperDimension " + choice + ": \"300 400\"\n";
      }
    }
  }
  return ppd;
}

// ---------------------------------------------------------------------------------
// The credentials file: moved aside for each test, put back afterwards.

constexpr char kAuthDir[] = "/tmp/auth";

class CredentialsFileGuard {
 public:
  CredentialsFileGuard() {
    struct stat info;
    createdDir_ = stat(kAuthDir, &info) != 0;
    if (createdDir_) {
      mkdir(kAuthDir, 0755);
    } else if (lstat(AUTH_CONFIG_PATH, &info) == 0) {
      saved_ = std::string(AUTH_CONFIG_PATH) + ".print-settings-test." + std::to_string(getpid());
      if (rename(AUTH_CONFIG_PATH, saved_.c_str()) != 0) saved_.clear();
    }
  }
  ~CredentialsFileGuard() {
    unlink(AUTH_CONFIG_PATH);
    if (!saved_.empty()) rename(saved_.c_str(), AUTH_CONFIG_PATH);
    if (createdDir_) rmdir(kAuthDir);
  }
  CredentialsFileGuard(const CredentialsFileGuard &) = delete;
  CredentialsFileGuard &operator=(const CredentialsFileGuard &) = delete;

  void Write(const std::string &text) { WriteFileText(AUTH_CONFIG_PATH, text); }

 private:
  bool createdDir_ = false;
  std::string saved_;
};

// ---------------------------------------------------------------------------------
// $PPD, restored after each test.

class PpdEnvironmentGuard {
 public:
  PpdEnvironmentGuard() {
    if (const char *value = getenv("PPD")) saved_ = value;
  }
  ~PpdEnvironmentGuard() {
    if (saved_) {
      setenv("PPD", saved_->c_str(), 1);
    } else {
      unsetenv("PPD");
    }
  }
  PpdEnvironmentGuard(const PpdEnvironmentGuard &) = delete;
  PpdEnvironmentGuard &operator=(const PpdEnvironmentGuard &) = delete;

 private:
  std::optional<std::string> saved_;
};

class JobTableTest : public testing::Test {
 protected:
  JobTableTest() { memcpy(table, tblDefParam, sizeof table); }

  std::string Param(const char *key) const {
    for (const auto &record : table) {
      if (strcmp(record.key, key) == 0) return record.value;
    }
    ADD_FAILURE() << "no record " << key;
    return {};
  }

  // Sets a value without the trace line showing up in a captured log.
  void Preset(const char *key, const char *value) {
    testing::internal::CaptureStderr();
    SetJobParam(key, value, table, StderrLog());
    testing::internal::GetCapturedStderr();
  }

  PARAM_KEY_SPERATOR_VALUE table[JOB_PARAM_COUNT];
  PrintSettings settings;
  unsigned char collate = 0;
  CredentialsFileGuard credentials;
};

class PrintSettingsTest : public JobTableTest {
 protected:
  // Runs the step with a PPD built from the options; the log lands in `log`.
  int Run(const std::vector<PpdOption> &ppdOptions, const std::string &options,
          const std::string &copies = "1") {
    const std::string path = dir.file("printer.ppd");
    WriteFileText(path, MakePpd(ppdOptions));
    return RunWithPpdPath(path, options, copies);
  }

  int RunWithPpdPath(const std::string &path, const std::string &options,
                     const std::string &copies = "1") {
    setenv("PPD", path.c_str(), 1);
    return RunCapturing(options, copies);
  }

  int RunCapturing(const std::string &options, const std::string &copies) {
    JobOptions parsed = ParseJobOptions(options.c_str());
    testing::internal::CaptureStderr();
    const int result =
        GetPrintSettings(parsed, copies.c_str(), table, &settings, &collate, StderrLog());
    log = SplitLines(testing::internal::GetCapturedStderr());
    ReleaseJobOptions(&parsed);
    return result;
  }

  bool Logged(const std::string &line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  size_t CountWithPrefix(const std::string &prefix) const {
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
  }

  TempDir dir;
  PpdEnvironmentGuard ppdEnvironment;
  std::vector<std::string> log;
};

// The log of a plain job: defaults A4, MainTray, 600dpi, None, FeedEdge 0, Portrait,
// Plain; no options; one copy; no credentials file.
const std::vector<std::string> kPlainJobLog = {
    "DEBUG: ppd PageSize,value=A4",
    "SetJobParam:[PageSize , A4 ]",
    "DEBUG: InputSlot is Default(MainTray).",
    "DEBUG: resX is default(600dpi).",
    "SetJobParam:[Duplex , None ]",
    "DEBUG: duplex is 0 ",
    "DEBUG: ppdIsMarked FeedEdge,value=0",
    "DEBUG: ppdIsMarked Flag_Page_A5,value=0",
    "DEBUG: ppdIsMarked Orientation,value=0",
    "SetJobParam:[MediaType , Plain ]",
    "DEBUG: ppdIsMarked MediaType,value=0",
    "DEBUG: input copies is 1 ",
    "SetJobParam:[copies , 1 ]",
    "GetJobParam:[PageSize , A4 ]",
    "DEBUG: Enter getAuthInfo!",
    "DEBUG: auth_file is not found!",
};

TEST_F(PrintSettingsTest, PlainJobLogsEveryStepInOrder) {
  ASSERT_EQ(Run(PrinterOptions(), ""), 0);
  EXPECT_EQ(log, kPlainJobLog);
  EXPECT_EQ(settings.duplexMode, 0);
  EXPECT_EQ(settings.feedEdge, 0);
  EXPECT_EQ(settings.flagPageA5, 0);
  EXPECT_EQ(settings.orientation, 0);
  EXPECT_EQ(settings.mediaClass, 0);
  EXPECT_EQ(settings.copies, 1);
  // Only the values the step wrote differ from the defaults, and here none does.
  EXPECT_EQ(memcmp(table, tblDefParam, sizeof table), 0);
}

// A queue whose default is Collate=True marks it in its PPD, and the options say nothing
// of collation: the mark decides. Where the options say something, they decide.
TEST_F(PrintSettingsTest, QueueDefaultCollationCountsWhenTheOptionsSayNothing) {
  std::vector<PpdOption> ppd = PrinterOptions();
  ppd.push_back({"Collate", "True", {"False", "True"}});
  ASSERT_EQ(Run(ppd, ""), 0);
  EXPECT_EQ(collate, 1);
  EXPECT_EQ(Param("Collate"), "True");
  EXPECT_TRUE(Logged("DEBUG: ppd Collate,value=True"));
  memcpy(table, tblDefParam, sizeof table);
  collate = 0;
  ASSERT_EQ(Run(ppd, "noCollate"), 0);
  EXPECT_EQ(collate, 0);
  EXPECT_EQ(Param("Collate"), "False");
}

// ---------------------------------------------------------------------------------
// The PPD cannot be opened

class UnopenablePpdTest : public PrintSettingsTest {
 protected:
  void ExpectRefused() {
    EXPECT_EQ(log, std::vector<std::string>{"ERROR: Unable to open PPD file!"});
    EXPECT_EQ(memcmp(table, tblDefParam, sizeof table), 0);
    EXPECT_EQ(settings.duplexMode, 0);
    EXPECT_EQ(settings.copies, 0);
  }
};

TEST_F(UnopenablePpdTest, UnsetVariable) {
  unsetenv("PPD");
  EXPECT_EQ(RunCapturing("PageSize=A5 ", "2"), 1);
  ExpectRefused();
}

TEST_F(UnopenablePpdTest, MissingFile) {
  EXPECT_EQ(RunWithPpdPath(dir.file("absent.ppd"), ""), 1);
  ExpectRefused();
}

TEST_F(UnopenablePpdTest, FileThatIsNoPpd) {
  WriteFileText(dir.file("notes.txt"), "This is a shopping list, not a printer description.\n");
  EXPECT_EQ(RunWithPpdPath(dir.file("notes.txt"), ""), 1);
  ExpectRefused();
}

TEST_F(UnopenablePpdTest, EmptyPathAndDirectory) {
  EXPECT_EQ(RunWithPpdPath("", ""), 1);
  ExpectRefused();
  EXPECT_EQ(RunWithPpdPath(dir.path(), ""), 1);
  ExpectRefused();
}

// ---------------------------------------------------------------------------------
// Page size

TEST_F(PrintSettingsTest, PageSizeOptionWinsOverThePpdDefault) {
  ASSERT_EQ(Run(PrinterOptions(), "PageSize=Legal"), 0);
  EXPECT_EQ(Param("PageSize"), "Legal");
  EXPECT_EQ(log.at(0), "DEBUG: option PageSize,value=Legal");
  EXPECT_EQ(log.at(1), "SetJobParam:[PageSize , Legal ]");
  EXPECT_EQ(CountWithPrefix("DEBUG: ppd PageSize"), 0u);
}

TEST_F(PrintSettingsTest, PageSizeOptionIsTakenUnchecked) {
  // Neither a size the PPD lacks nor an empty value is compared with anything.
  ASSERT_EQ(Run(PrinterOptions(), "PageSize=Postcard9"), 0);
  EXPECT_EQ(Param("PageSize"), "Postcard9");
  EXPECT_TRUE(Logged("DEBUG: option PageSize,value=Postcard9"));

  memcpy(table, tblDefParam, sizeof table);
  ASSERT_EQ(Run(PrinterOptions(), "PageSize=''"), 0);
  EXPECT_EQ(Param("PageSize"), "");
  EXPECT_TRUE(Logged("DEBUG: option PageSize,value="));
  EXPECT_EQ(CountWithPrefix("DEBUG: ppd PageSize"), 0u);
}

TEST_F(PrintSettingsTest, EveryPrinterSizeMarkedInThePpdIsReportedAlone) {
  for (const auto &size : kPrinterSizes) {
    SCOPED_TRACE(size);
    memcpy(table, tblDefParam, sizeof table);
    ASSERT_EQ(Run(WithDefault(PrinterOptions(), "PageSize", size), ""), 0);
    // The probe stops at the marked size: one report, one write.
    EXPECT_EQ(CountWithPrefix("DEBUG: ppd PageSize"), 1u);
    EXPECT_EQ(log.at(0), "DEBUG: ppd PageSize,value=" + size);
    EXPECT_EQ(log.at(1), "SetJobParam:[PageSize , " + size + " ]");
    const std::string expected = size == "BANK1" ? "CUS_1" : size == "BANK2" ? "CUS_2" : size;
    EXPECT_EQ(Param("PageSize"), expected);
  }
}

TEST_F(PrintSettingsTest, SizesAreMatchedByExactName) {
  // "a4" is not A4 and "B5ISO" is not B5: no prefix or case-blind match.
  ASSERT_EQ(Run(WithChoices(PrinterOptions(), "PageSize", "a4", {"a4", "B5ISO"}), ""), 0);
  EXPECT_EQ(CountWithPrefix("DEBUG: ppd PageSize"), 0u);
  memcpy(table, tblDefParam, sizeof table);
  ASSERT_EQ(Run(WithChoices(PrinterOptions(), "PageSize", "B5ISO", {"a4", "B5ISO"}), ""), 0);
  EXPECT_EQ(log.at(0), "DEBUG: ppd PageSize,value=B5ISO");
}

TEST_F(PrintSettingsTest, SizeOutsideTheListLeavesTheEarlierValue) {
  Preset("PageSize", "FromOptions");
  ASSERT_EQ(Run(WithDefault(PrinterOptions(), "PageSize", "Tabloid"), ""), 0);
  EXPECT_EQ(Param("PageSize"), "FromOptions");
  EXPECT_EQ(CountWithPrefix("DEBUG: ppd PageSize"), 0u);
  EXPECT_EQ(CountWithPrefix("SetJobParam:[PageSize"), 0u);
  EXPECT_EQ(log.at(0), "DEBUG: InputSlot is Default(MainTray).");

  // A PPD without any PageSize keeps it too.
  ASSERT_EQ(Run(Without(PrinterOptions(), "PageSize"), ""), 0);
  EXPECT_EQ(Param("PageSize"), "FromOptions");
}

TEST_F(PrintSettingsTest, MediaOptionMarksThePpdSize) {
  // "media" is not read directly; it reaches the table through the PPD mark.
  ASSERT_EQ(Run(PrinterOptions(), "media=Letter"), 0);
  EXPECT_EQ(log.at(0), "DEBUG: ppd PageSize,value=Letter");
  EXPECT_EQ(Param("PageSize"), "Letter");
}

TEST_F(PrintSettingsTest, BankSizesBecomeThePrintersCustomSizes) {
  ASSERT_EQ(Run(WithDefault(PrinterOptions(), "PageSize", "BANK1"), ""), 0);
  EXPECT_EQ(Param("PageSize"), "CUS_1");
  const std::vector<std::string> tail = {"GetJobParam:[PageSize , BANK1 ]",
                                         "SetJobParam:[PageSize , CUS_1 ]",
                                         "DEBUG: Enter getAuthInfo!",
                                         "DEBUG: auth_file is not found!"};
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()), tail);

  memcpy(table, tblDefParam, sizeof table);
  ASSERT_EQ(Run(PrinterOptions(), "PageSize=BANK2"), 0);
  EXPECT_EQ(log.at(0), "DEBUG: option PageSize,value=BANK2");
  EXPECT_EQ(Param("PageSize"), "CUS_2");
  EXPECT_TRUE(Logged("SetJobParam:[PageSize , CUS_2 ]"));
}

TEST_F(PrintSettingsTest, BankRenameIsCaseSensitiveAndAppliesToEarlierValues) {
  ASSERT_EQ(Run(PrinterOptions(), "PageSize=bank1"), 0);
  EXPECT_EQ(Param("PageSize"), "bank1");
  EXPECT_EQ(CountWithPrefix("SetJobParam:[PageSize , CUS"), 0u);

  // A value left by the options string is renamed as well.
  memcpy(table, tblDefParam, sizeof table);
  Preset("PageSize", "BANK2");
  ASSERT_EQ(Run(WithDefault(PrinterOptions(), "PageSize", "Tabloid"), ""), 0);
  EXPECT_EQ(Param("PageSize"), "CUS_2");
}

// ---------------------------------------------------------------------------------
// Input slot and resolution

TEST_F(PrintSettingsTest, InputSlotOptionNamesAnyTray) {
  ASSERT_EQ(Run(PrinterOptions(), "InputSlot=Tray2"), 0);
  EXPECT_EQ(Param("InputSlot"), "Tray2");
  const std::vector<std::string> expected = {"DEBUG: option PaperBox,value=Tray2",
                                             "SetJobParam:[InputSlot , Tray2 ]",
                                             "DEBUG: InputSlot is Default(MainTray)."};
  EXPECT_EQ(std::vector<std::string>(log.begin() + 2, log.begin() + 5), expected);

  // A tray the PPD does not have is still taken as given.
  memcpy(table, tblDefParam, sizeof table);
  ASSERT_EQ(Run(PrinterOptions(), "InputSlot=Cassette9"), 0);
  EXPECT_EQ(Param("InputSlot"), "Cassette9");
  EXPECT_TRUE(Logged("DEBUG: InputSlot is Default(MainTray)."));
}

TEST_F(PrintSettingsTest, ManualTrayMarkedInThePpd) {
  ASSERT_EQ(Run(WithDefault(PrinterOptions(), "InputSlot", "ManualTray"), ""), 0);
  EXPECT_EQ(Param("InputSlot"), "ManualTray");
  const std::vector<std::string> expected = {"SetJobParam:[InputSlot , ManualTray ]",
                                             "DEBUG: InputSlot is ManualTray."};
  EXPECT_EQ(std::vector<std::string>(log.begin() + 2, log.begin() + 4), expected);
  EXPECT_FALSE(Logged("DEBUG: InputSlot is Default(MainTray)."));
}

TEST_F(PrintSettingsTest, ManualTrayFromTheOptionIsWrittenTwice) {
  ASSERT_EQ(Run(PrinterOptions(), "InputSlot=ManualTray"), 0);
  const std::vector<std::string> expected = {"DEBUG: option PaperBox,value=ManualTray",
                                             "SetJobParam:[InputSlot , ManualTray ]",
                                             "SetJobParam:[InputSlot , ManualTray ]",
                                             "DEBUG: InputSlot is ManualTray."};
  EXPECT_EQ(std::vector<std::string>(log.begin() + 2, log.begin() + 6), expected);
}

TEST_F(PrintSettingsTest, Resolution1200LeavesResXAndResYAlone) {
  Preset("resX", "300dpi");
  Preset("resY", "200dpi");
  ASSERT_EQ(Run(WithDefault(PrinterOptions(), "Resolution", "1200dpi"), ""), 0);
  EXPECT_EQ(Param("Resolution"), "1200dpi");
  EXPECT_EQ(Param("resX"), "300dpi");
  EXPECT_EQ(Param("resY"), "200dpi");
  const std::vector<std::string> expected = {"DEBUG: InputSlot is Default(MainTray).",
                                             "SetJobParam:[Resolution , 1200dpi ]",
                                             "DEBUG: Resolution is 1200dpi. ",
                                             "DEBUG: resX is default(600dpi)."};
  EXPECT_EQ(std::vector<std::string>(log.begin() + 2, log.begin() + 6), expected);

  // Through the job's options as well.
  memcpy(table, tblDefParam, sizeof table);
  ASSERT_EQ(Run(PrinterOptions(), "Resolution=1200dpi"), 0);
  EXPECT_EQ(Param("Resolution"), "1200dpi");
}

// ---------------------------------------------------------------------------------
// Duplex, FeedEdge, A5, orientation

TEST_F(PrintSettingsTest, DuplexModeFollowsTheMark) {
  struct Case {
    std::string ppdDefault;
    std::string options;
    int mode;
    std::string value;
  };
  const Case cases[] = {
      {"None", "", 0, "None"},
      {"DuplexNoTumble", "", 1, "DuplexNoTumble"},
      {"DuplexTumble", "", 2, "DuplexTumble"},
      {"None", "Duplex=DuplexNoTumble", 1, "DuplexNoTumble"},
      {"None", "sides=two-sided-short-edge", 2, "DuplexTumble"},
      // A choice the filter does not know counts as short-edge two-sided.
      {"Booklet", "", 2, "DuplexTumble"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.ppdDefault + " / " + c.options);
    memcpy(table, tblDefParam, sizeof table);
    settings = {};
    ASSERT_EQ(Run(WithDefault(PrinterOptions(), "Duplex", c.ppdDefault), c.options), 0);
    EXPECT_EQ(settings.duplexMode, c.mode);
    EXPECT_EQ(Param("Duplex"), c.value);
    const auto write = std::find(log.begin(), log.end(), "SetJobParam:[Duplex , " + c.value + " ]");
    ASSERT_NE(write, log.end());
    ASSERT_NE(write + 1, log.end());
    EXPECT_EQ(*(write + 1), "DEBUG: duplex is " + std::to_string(c.mode) + " ");
  }
}

TEST_F(PrintSettingsTest, PpdWithoutDuplexGivesShortEdge) {
  ASSERT_EQ(Run(Without(PrinterOptions(), "Duplex"), ""), 0);
  EXPECT_EQ(settings.duplexMode, 2);
  EXPECT_EQ(Param("Duplex"), "DuplexTumble");
  EXPECT_TRUE(Logged("DEBUG: duplex is 2 "));
}

TEST_F(PrintSettingsTest, FeedEdgeOneIsWrittenZeroIsNot) {
  ASSERT_EQ(Run(WithDefault(PrinterOptions(), "FeedEdge", "1"), ""), 0);
  EXPECT_EQ(settings.feedEdge, 1);
  EXPECT_EQ(Param("FeedEdge"), "1");
  const auto write = std::find(log.begin(), log.end(), "SetJobParam:[FeedEdge , 1 ]");
  ASSERT_NE(write, log.end());
  EXPECT_EQ(*(write + 1), "DEBUG: ppdIsMarked FeedEdge,value=1");

  memcpy(table, tblDefParam, sizeof table);
  Preset("FeedEdge", "left-by-options");
  ASSERT_EQ(Run(PrinterOptions(), ""), 0);
  EXPECT_EQ(settings.feedEdge, 0);
  EXPECT_EQ(Param("FeedEdge"), "left-by-options");
  EXPECT_EQ(CountWithPrefix("SetJobParam:[FeedEdge"), 0u);

  // The job option marks it too; a PPD without FeedEdge gives 0.
  ASSERT_EQ(Run(PrinterOptions(), "FeedEdge=1"), 0);
  EXPECT_EQ(settings.feedEdge, 1);
  ASSERT_EQ(Run(Without(PrinterOptions(), "FeedEdge"), "FeedEdge=1"), 0);
  EXPECT_EQ(settings.feedEdge, 0);
}

TEST_F(PrintSettingsTest, A5FlagFollowsTheMarkNotTheTable) {
  ASSERT_EQ(Run(WithDefault(PrinterOptions(), "PageSize", "A5"), ""), 0);
  EXPECT_EQ(settings.flagPageA5, 1);
  EXPECT_TRUE(Logged("DEBUG: ppdIsMarked Flag_Page_A5,value=1"));

  // The option marks A5 in the PPD.
  settings = {};
  ASSERT_EQ(Run(PrinterOptions(), "PageSize=A5"), 0);
  EXPECT_EQ(settings.flagPageA5, 1);

  // Without an A5 choice the option cannot mark it: the table says A5, the flag 0.
  settings = {};
  ASSERT_EQ(Run(WithChoices(PrinterOptions(), "PageSize", "A4", {"A4", "Letter"}), "PageSize=A5"),
            0);
  EXPECT_EQ(Param("PageSize"), "A5");
  EXPECT_EQ(settings.flagPageA5, 0);
  EXPECT_TRUE(Logged("DEBUG: ppdIsMarked Flag_Page_A5,value=0"));

  // And a table value of A5 left by the options string counts for nothing.
  settings = {};
  Preset("PageSize", "A5");
  ASSERT_EQ(Run(WithDefault(PrinterOptions(), "PageSize", "Tabloid"), ""), 0);
  EXPECT_EQ(settings.flagPageA5, 0);
}

TEST_F(PrintSettingsTest, LandscapeChangesOnlyItsOwnLine) {
  ASSERT_EQ(Run(PrinterOptions(), ""), 0);
  PARAM_KEY_SPERATOR_VALUE portraitTable[JOB_PARAM_COUNT];
  memcpy(portraitTable, table, sizeof table);
  const PrintSettings portrait = settings;
  std::vector<std::string> expectedLog = log;
  std::replace(expectedLog.begin(), expectedLog.end(),
               std::string("DEBUG: ppdIsMarked Orientation,value=0"),
               std::string("DEBUG: ppdIsMarked Orientation,value=1"));

  memcpy(table, tblDefParam, sizeof table);
  settings = {};
  ASSERT_EQ(Run(WithDefault(PrinterOptions(), "Orientation", "Landscape"), ""), 0);
  EXPECT_EQ(settings.orientation, 1);
  EXPECT_EQ(log, expectedLog);
  EXPECT_EQ(memcmp(table, portraitTable, sizeof table), 0);
  EXPECT_EQ(settings.duplexMode, portrait.duplexMode);
  EXPECT_EQ(settings.mediaClass, portrait.mediaClass);
}

// ---------------------------------------------------------------------------------
// Media type and copies

TEST_F(PrintSettingsTest, MediaClassFollowsTheMark) {
  struct Case {
    std::string ppdDefault;
    int mediaClass;
    std::string value;
  };
  const Case cases[] = {{"Plain", 0, "Plain"},
                        {"Recycled", 0, "Plain"},
                        {"Thin", 1, "Thin"},
                        {"Thick", 2, "Thick"},
                        {"Glossy", 2, "Thick"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.ppdDefault);
    memcpy(table, tblDefParam, sizeof table);
    settings = {};
    ASSERT_EQ(Run(WithDefault(PrinterOptions(), "MediaType", c.ppdDefault), ""), 0);
    EXPECT_EQ(settings.mediaClass, c.mediaClass);
    EXPECT_EQ(Param("MediaType"), c.value);
    const auto write = std::find(log.begin(), log.end(), "SetJobParam:[MediaType , " + c.value + " ]");
    ASSERT_NE(write, log.end());
    EXPECT_EQ(*(write + 1), "DEBUG: ppdIsMarked MediaType,value=" + std::to_string(c.mediaClass));
  }
  // The job option marks it too.
  settings = {};
  ASSERT_EQ(Run(PrinterOptions(), "MediaType=Thin"), 0);
  EXPECT_EQ(settings.mediaClass, 1);
}

TEST_F(PrintSettingsTest, PpdWithoutMediaTypeCountsAsThick) {
  ASSERT_EQ(Run(Without(PrinterOptions(), "MediaType"), ""), 0);
  EXPECT_EQ(settings.mediaClass, 2);
  EXPECT_EQ(Param("MediaType"), "Thick");
}

TEST_F(PrintSettingsTest, CopiesCountAndText) {
  ASSERT_EQ(Run(PrinterOptions(), "", "3"), 0);
  EXPECT_EQ(settings.copies, 3);
  EXPECT_EQ(Param("copies"), "3");
  const auto line = std::find(log.begin(), log.end(), "DEBUG: input copies is 3 ");
  ASSERT_NE(line, log.end());
  EXPECT_EQ(*(line + 1), "SetJobParam:[copies , 3 ]");

  ASSERT_EQ(Run(PrinterOptions(), "", "abc"), 0);
  EXPECT_EQ(settings.copies, 0);
  EXPECT_EQ(Param("copies"), "abc");
  EXPECT_TRUE(Logged("DEBUG: input copies is 0 "));

  ASSERT_EQ(Run(PrinterOptions(), "", "-2"), 0);
  EXPECT_EQ(settings.copies, -2);
}

TEST_F(PrintSettingsTest, OverlongValuesAreCutTo255) {
  const std::string longSize(300, 'S');
  const std::string longTray(400, 'T');
  const std::string longCopies(300, '7');
  ASSERT_EQ(Run(PrinterOptions(), "PageSize=" + longSize + " InputSlot=" + longTray, longCopies),
            0);
  EXPECT_EQ(Param("PageSize"), longSize.substr(0, 255));
  EXPECT_EQ(Param("InputSlot"), longTray.substr(0, 255));
  EXPECT_EQ(Param("copies"), longCopies.substr(0, 255));
  // A number too large for an int saturates instead of wrapping.
  EXPECT_EQ(settings.copies, INT_MAX);
  // The table's neighbours are intact.
  EXPECT_EQ(Param("Resolution"), "600dpi");
  EXPECT_EQ(Param("jobId"), "");
}

// ---------------------------------------------------------------------------------
// Credentials

TEST_F(PrintSettingsTest, CredentialsFileFillsBothRecords) {
  credentials.Write(R"({"AuthID": "alice", "Password": "s3cret"})");
  ASSERT_EQ(Run(PrinterOptions(), ""), 0);
  EXPECT_EQ(Param("AuthID"), "alice");
  EXPECT_EQ(Param("AuthPassword"), "s3cret");
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "SetJobParam:[AuthID , alice ]");
  // The password never reaches the log.
  EXPECT_EQ(log.back(), "SetJobParam:[AuthPassword , ******** ]");
  for (const auto &line : log) EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
}

TEST_F(PrintSettingsTest, CredentialsFileWithoutPasswordEmptiesIt) {
  Preset("AuthPassword", "earlier");
  credentials.Write(R"({"AuthID": "bob"})");
  ASSERT_EQ(Run(PrinterOptions(), ""), 0);
  EXPECT_EQ(Param("AuthID"), "bob");
  EXPECT_EQ(Param("AuthPassword"), "");
  EXPECT_EQ(log.back(), "SetJobParam:[AuthPassword ,  ]");
}

// The printer reads the job parameters as a comma-separated list: what the file says
// cannot add records of its own.
TEST_F(PrintSettingsTest, CredentialValuesLoseCommasAndControlCharacters) {
  credentials.Write(R"({"AuthID":"eve, copies=999, PageSize=A5","Password":"x\ny, Duplex=DuplexTumble"})");
  ASSERT_EQ(Run(PrinterOptions(), ""), 0);
  EXPECT_EQ(Param("AuthID"), "eve  copies=999  PageSize=A5");
  EXPECT_EQ(Param("AuthPassword"), "x y  Duplex=DuplexTumble");
  char buffer[JOB_PARAMS_BUFFER_SIZE] = {};
  char *params = buffer;
  testing::internal::CaptureStderr();
  BuildJobParams(&params, table, StderrLog());
  testing::internal::GetCapturedStderr();
  const std::string built = buffer;
  EXPECT_EQ(built.find(", copies=999, "), std::string::npos) << built;
  EXPECT_EQ(built.find(", PageSize=A5, "), std::string::npos) << built;
  EXPECT_EQ(built.find(", Duplex=DuplexTumble, "), std::string::npos) << built;
  EXPECT_NE(built.find("PageSize=A4, "), std::string::npos) << built;
}

// A file that another user planted at the fixed path gives the job nothing.
TEST_F(PrintSettingsTest, PlantedCredentialsFileIsIgnored) {
  if (geteuid() != 0) GTEST_SKIP() << "planting a file of another user needs root";
  Preset("AuthID", "from-options");
  credentials.Write(R"({"AuthID": "eve", "Password": "planted"})");
  ASSERT_EQ(chown(AUTH_CONFIG_PATH, 65534, 65534), 0);
  ASSERT_EQ(Run(PrinterOptions(), ""), 0);
  EXPECT_EQ(Param("AuthID"), "from-options");
  EXPECT_EQ(Param("AuthPassword"), "");
  EXPECT_EQ(log.back(), std::string("WARNING: The credentials file ") + AUTH_CONFIG_PATH +
                            " is ignored: it belongs to user 65534; only root and user 0, who "
                            "runs the filter, may own it");
}

TEST_F(PrintSettingsTest, UnreadableCredentialsKeepEarlierValues) {
  Preset("AuthID", "from-options");
  credentials.Write("{not json");
  ASSERT_EQ(Run(PrinterOptions(), ""), 0);
  EXPECT_EQ(Param("AuthID"), "from-options");
  EXPECT_EQ(Param("AuthPassword"), "");
  EXPECT_EQ(CountWithPrefix("SetJobParam:[Auth"), 0u);
  EXPECT_EQ(log.back(), "DEBUG: Exit  getAuthInfo with error!");
}

// ---------------------------------------------------------------------------------
// Duplex constraint check

class DuplexConstraintTest : public JobTableTest {
 protected:
  // A two-sided job on the main tray, plain A4 paper.
  DuplexConstraintTest() {
    Preset("Duplex", "DuplexTumble");
    settings.duplexMode = 2;
  }

  void Check() {
    testing::internal::CaptureStderr();
    VerifyParamsConstraint(table, &settings, StderrLog());
    log = SplitLines(testing::internal::GetCapturedStderr());
  }

  void ExpectSwitchedOff(const std::vector<std::string> &expectedLog) {
    EXPECT_EQ(log, expectedLog);
    EXPECT_EQ(settings.duplexMode, 0);
    EXPECT_EQ(Param("Duplex"), "None");
  }

  void ExpectStillOn(int mode, const char *value) {
    EXPECT_EQ(settings.duplexMode, mode);
    EXPECT_EQ(Param("Duplex"), value);
  }

  std::vector<std::string> log;
};

const std::string kVerify = "DEBUG: Verify the Params Constraint. ";
const std::string kVerifying = "DEBUG: Verifying Duplex Constraint... ";

TEST_F(DuplexConstraintTest, OneSidedJobIsNotExamined) {
  settings.duplexMode = 0;
  Preset("InputSlot", "ManualTray");
  settings.mediaClass = 2;
  PARAM_KEY_SPERATOR_VALUE before[JOB_PARAM_COUNT];
  memcpy(before, table, sizeof table);
  Check();
  EXPECT_EQ(log, std::vector<std::string>{kVerify});
  EXPECT_EQ(settings.duplexMode, 0);
  EXPECT_EQ(memcmp(table, before, sizeof table), 0);
}

TEST_F(DuplexConstraintTest, PlainA4FromTheMainTrayStaysTwoSided) {
  Check();
  const std::vector<std::string> expected = {kVerify, kVerifying,
                                             "GetJobParam:[InputSlot , MainTray ]",
                                             "GetJobParam:[PageSize , A4 ]", "DEBUG: PageSize:A4. "};
  EXPECT_EQ(log, expected);
  ExpectStillOn(2, "DuplexTumble");

  Preset("Duplex", "DuplexNoTumble");
  settings.duplexMode = 1;
  Check();
  ExpectStillOn(1, "DuplexNoTumble");
}

TEST_F(DuplexConstraintTest, ManualTrayComesFirst) {
  Preset("InputSlot", "ManualTray");
  settings.mediaClass = 2;
  settings.flagPageA5 = 1;
  settings.feedEdge = 1;
  Preset("PageSize", "Legal");
  Check();
  ExpectSwitchedOff({kVerify, kVerifying, "GetJobParam:[InputSlot , ManualTray ]",
                     "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + ManualTray. ",
                     "SetJobParam:[Duplex , None ]"});
}

TEST_F(DuplexConstraintTest, ManualTrayIsMatchedExactly) {
  Preset("InputSlot", "manualtray");
  Check();
  ExpectStillOn(2, "DuplexTumble");
}

TEST_F(DuplexConstraintTest, MediaOtherThanPlainComesSecond) {
  for (int mediaClass : {1, 2}) {
    SCOPED_TRACE(mediaClass);
    Preset("Duplex", "DuplexNoTumble");
    settings.duplexMode = 1;
    settings.mediaClass = mediaClass;
    settings.flagPageA5 = 1;
    settings.feedEdge = 1;
    Check();
    ExpectSwitchedOff({kVerify, kVerifying, "GetJobParam:[InputSlot , MainTray ]",
                       "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + No Plain. ",
                       "SetJobParam:[Duplex , None ]"});
  }
}

TEST_F(DuplexConstraintTest, A5LongEdgeComesThird) {
  Preset("PageSize", "A5");
  settings.flagPageA5 = 1;
  settings.feedEdge = 1;
  Check();
  ExpectSwitchedOff({kVerify, kVerifying, "GetJobParam:[InputSlot , MainTray ]",
                     "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + A5L. ",
                     "SetJobParam:[Duplex , None ]"});
}

TEST_F(DuplexConstraintTest, A5ShortEdgeOrLongEdgeOfAnotherSizeStaysTwoSided) {
  Preset("PageSize", "A5");
  settings.flagPageA5 = 1;
  settings.feedEdge = 0;
  Check();
  ExpectStillOn(2, "DuplexTumble");

  Preset("PageSize", "A4");
  settings.flagPageA5 = 0;
  settings.feedEdge = 1;
  Check();
  ExpectStillOn(2, "DuplexTumble");
}

TEST_F(DuplexConstraintTest, SizesTheDuplexUnitCannotTurn) {
  // Case matters: "a4" is not a duplex size.
  for (const char *size :
       {"Legal", "Statement", "Executive", "A6", "B6", "CUS_1", "CUS_2", "a4", "Tabloid", ""}) {
    SCOPED_TRACE(size);
    Preset("Duplex", "DuplexTumble");
    settings.duplexMode = 2;
    Preset("PageSize", size);
    Check();
    ExpectSwitchedOff({kVerify, kVerifying, "GetJobParam:[InputSlot , MainTray ]",
                       std::string("GetJobParam:[PageSize , ") + size + " ]",
                       std::string("DEBUG: PageSize:") + size + ". ",
                       "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + Unsupport Media Size. ",
                       "SetJobParam:[Duplex , None ]"});
  }
}

TEST_F(DuplexConstraintTest, SizesTheDuplexUnitCanTurn) {
  for (const char *size : {"A4", "Letter", "A5", "B5", "B5ISO", "16k"}) {
    SCOPED_TRACE(size);
    Preset("PageSize", size);
    Check();
    ExpectStillOn(2, "DuplexTumble");
    EXPECT_EQ(log.back(), std::string("DEBUG: PageSize:") + size + ". ");
  }
}

// The two steps together, as the job runs them: the settings, the check, the string.
class SettingsAndConstraintTest : public PrintSettingsTest {
 protected:
  std::string JobParams() {
    char buffer[JOB_PARAMS_BUFFER_SIZE] = {};
    char *out = buffer;
    testing::internal::CaptureStderr();
    VerifyParamsConstraint(table, &settings, StderrLog());
    BuildJobParams(&out, table, StderrLog());
    testing::internal::GetCapturedStderr();
    return buffer;
  }
};

TEST_F(SettingsAndConstraintTest, ManualTrayOptionSwitchesOffEvenWithoutSuchChoice) {
  const auto ppd = WithChoices(WithDefault(PrinterOptions(), "Duplex", "DuplexNoTumble"),
                               "InputSlot", "MainTray", {"MainTray", "Tray2"});
  ASSERT_EQ(Run(ppd, "InputSlot=ManualTray"), 0);
  EXPECT_EQ(settings.duplexMode, 1);
  EXPECT_TRUE(Logged("DEBUG: InputSlot is Default(MainTray)."));
  const std::string params = JobParams();
  EXPECT_EQ(settings.duplexMode, 0);
  EXPECT_NE(params.find("Duplex=None, "), std::string::npos) << params;
  EXPECT_NE(params.find("InputSlot=ManualTray, "), std::string::npos) << params;
}

TEST_F(SettingsAndConstraintTest, PpdWithoutMediaTypeEndsOneSided) {
  ASSERT_EQ(Run(Without(WithDefault(PrinterOptions(), "Duplex", "DuplexTumble"), "MediaType"), ""),
            0);
  const std::string params = JobParams();
  EXPECT_EQ(settings.duplexMode, 0);
  EXPECT_NE(params.find("Duplex=None, MediaType=Thick, "), std::string::npos) << params;
}

TEST_F(SettingsAndConstraintTest, TwoSidedA4JobKeepsItsDuplex) {
  ASSERT_EQ(Run(PrinterOptions(), "Duplex=DuplexNoTumble"), 0);
  const std::string params = JobParams();
  EXPECT_EQ(settings.duplexMode, 1);
  EXPECT_NE(params.find("Duplex=DuplexNoTumble, "), std::string::npos) << params;
}

TEST_F(SettingsAndConstraintTest, A5LongEdgeFromOptionsEndsOneSided) {
  ASSERT_EQ(Run(PrinterOptions(), "PageSize=A5 FeedEdge=1 Duplex=DuplexTumble"), 0);
  EXPECT_EQ(settings.flagPageA5, 1);
  EXPECT_EQ(settings.feedEdge, 1);
  const std::string params = JobParams();
  EXPECT_EQ(settings.duplexMode, 0);
  EXPECT_NE(params.find("FeedEdge=1, "), std::string::npos) << params;
  EXPECT_NE(params.find("Duplex=None, "), std::string::npos) << params;
}

// ---------------------------------------------------------------------------------
// The PPD the project ships

class ShippedPpdTest : public testing::Test {
 protected:
  void SetUp() override {
    ppd = ppdOpenFile(QUENMARK_SHIPPED_PPD);
    ASSERT_NE(ppd, nullptr) << QUENMARK_SHIPPED_PPD;
    ppdMarkDefaults(ppd);
  }
  void TearDown() override {
    if (ppd != nullptr) ppdClose(ppd);
  }

  std::vector<std::string> Choices(const char *keyword) {
    std::vector<std::string> names;
    ppd_option_t *option = ppdFindOption(ppd, keyword);
    if (option == nullptr) return names;
    for (int i = 0; i < option->num_choices; ++i) names.push_back(option->choices[i].choice);
    return names;
  }

  std::string Default(const char *keyword) {
    ppd_option_t *option = ppdFindOption(ppd, keyword);
    return option != nullptr ? option->defchoice : "";
  }

  std::string ChoiceCode(const char *keyword, const char *choice) {
    ppd_choice_t *found = ppdFindChoice(ppdFindOption(ppd, keyword), choice);
    return found != nullptr && found->code != nullptr ? found->code : "";
  }

  // Marks the defaults and then the given choices; true when libcups reports a conflict.
  bool Conflicts(const std::vector<std::pair<const char *, const char *>> &marks) {
    ppdMarkDefaults(ppd);
    for (const auto &[keyword, choice] : marks) ppdMarkOption(ppd, keyword, choice);
    return ppdConflicts(ppd) > 0;
  }

  ppd_file_t *ppd = nullptr;
};

TEST(ShippedPpdConformanceTest, CupstestppdFindsNoErrors) {
  // Strict checks, except that the filter is not installed in the CUPS filter
  // directory at build time; that its name is the program we build is checked below.
  const RunResult result =
      RunProgram({"cupstestppd", "-W", "none", "-I", "filters", QUENMARK_SHIPPED_PPD});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_EQ(result.out.find("FAIL"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("PASS"), std::string::npos) << result.out;
}

TEST(ShippedPpdConformanceTest, NamesTheFilterWeBuild) {
  const std::string text = ReadFileText(QUENMARK_SHIPPED_PPD);
  const std::string filter = std::filesystem::path(QUENMARK_FILTER_PATH).filename().string();
  EXPECT_NE(text.find("*cupsFilter2: \"application/vnd.cups-raster application/vnd.quenmark-jbig 0 " +
                      filter + "\"\n"),
            std::string::npos)
      << text;
}

TEST_F(ShippedPpdTest, IdentifiesThePrinter) {
  EXPECT_STREQ(ppd->manufacturer, "Quenmark");
  EXPECT_STREQ(ppd->modelname, "Quenmark Mono Laser");
  EXPECT_EQ(ppd->color_device, 0);
}

TEST_F(ShippedPpdTest, OffersThePrintersPageSizes) {
  EXPECT_EQ(Choices("PageSize"), kPrinterSizes);
  EXPECT_EQ(Default("PageSize"), "A4");
  for (const auto &name : kPrinterSizes) {
    SCOPED_TRACE(name);
    ppd_size_t *size = ppdPageSize(ppd, name.c_str());
    ASSERT_NE(size, nullptr);
    // The imageable area is the whole sheet: the printer stream has no offset for a
    // margin, so CUPS must render the sheet from its corner.
    EXPECT_EQ(size->left, 0.0f);
    EXPECT_EQ(size->bottom, 0.0f);
    EXPECT_EQ(size->right, size->width);
    EXPECT_EQ(size->top, size->length);
    EXPECT_GT(size->right - size->left, 100.0f);
    EXPECT_GT(size->top - size->bottom, 100.0f);
  }
  // Spot checks of the dimensions in points.
  EXPECT_FLOAT_EQ(ppdPageWidth(ppd, "A4"), 595.0f);
  EXPECT_FLOAT_EQ(ppdPageLength(ppd, "A4"), 842.0f);
  EXPECT_FLOAT_EQ(ppdPageWidth(ppd, "Legal"), 612.0f);
  EXPECT_FLOAT_EQ(ppdPageLength(ppd, "Legal"), 1008.0f);
  // The bank envelopes are narrow, tall sheets of their own sizes.
  for (const char *bank : {"BANK1", "BANK2"}) {
    SCOPED_TRACE(bank);
    EXPECT_LT(ppdPageWidth(ppd, bank), ppdPageLength(ppd, bank) * 0.6f);
    EXPECT_LT(ppdPageWidth(ppd, bank), ppdPageWidth(ppd, "A5"));
  }
  EXPECT_NE(ppdPageWidth(ppd, "BANK1"), ppdPageWidth(ppd, "BANK2"));
}

TEST_F(ShippedPpdTest, OffersTheChoicesTheFilterReads) {
  const auto trays = Choices("InputSlot");
  EXPECT_EQ(Default("InputSlot"), "MainTray");
  EXPECT_NE(std::find(trays.begin(), trays.end(), "ManualTray"), trays.end());
  EXPECT_GE(trays.size(), 3u);

  EXPECT_EQ(Choices("Resolution"), (std::vector<std::string>{"600dpi", "1200dpi"}));
  EXPECT_EQ(Default("Resolution"), "600dpi");
  EXPECT_EQ(Choices("Duplex"), (std::vector<std::string>{"None", "DuplexNoTumble", "DuplexTumble"}));
  EXPECT_EQ(Default("Duplex"), "None");
  EXPECT_EQ(Choices("FeedEdge"), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(Default("FeedEdge"), "0");
  ppd_option_t *feedEdge = ppdFindOption(ppd, "FeedEdge");
  ASSERT_NE(feedEdge, nullptr);
  EXPECT_STREQ(feedEdge->choices[0].text, "Short edge first");
  EXPECT_STREQ(feedEdge->choices[1].text, "Long edge first");
  EXPECT_EQ(Choices("MediaType"),
            (std::vector<std::string>{"Plain", "Recycled", "Thin", "Thick"}));
  EXPECT_EQ(Default("MediaType"), "Plain");
}

TEST_F(ShippedPpdTest, AsksForOneBitBlackRasterForTheFilter) {
  EXPECT_NE(ChoiceCode("ColorModel", Default("ColorModel").c_str()).find("/cupsColorSpace 3"),
            std::string::npos);
  for (const char *resolution : {"600dpi", "1200dpi"}) {
    const std::string code = ChoiceCode("Resolution", resolution);
    EXPECT_NE(code.find("/cupsBitsPerColor 1"), std::string::npos) << code;
    EXPECT_NE(code.find("/cupsColorSpace 3"), std::string::npos) << code;
  }
  ppd_attr_t *filter = ppdFindAttr(ppd, "cupsFilter2", nullptr);
  ASSERT_NE(filter, nullptr);
  EXPECT_STREQ(filter->value,
               "application/vnd.cups-raster application/vnd.quenmark-jbig 0 tavrel_quenbrisk");
}

TEST_F(ShippedPpdTest, DuplexConflictsWithWhatTheCheckSwitchesOff) {
  for (const char *duplex : {"DuplexNoTumble", "DuplexTumble"}) {
    SCOPED_TRACE(duplex);
    EXPECT_FALSE(Conflicts({{"Duplex", duplex}}));
    EXPECT_TRUE(Conflicts({{"Duplex", duplex}, {"InputSlot", "ManualTray"}}));
    EXPECT_FALSE(Conflicts({{"Duplex", duplex}, {"InputSlot", "Tray2"}}));
    EXPECT_TRUE(Conflicts({{"Duplex", duplex}, {"MediaType", "Thin"}}));
    EXPECT_TRUE(Conflicts({{"Duplex", duplex}, {"MediaType", "Thick"}}));
    EXPECT_FALSE(Conflicts({{"Duplex", duplex}, {"MediaType", "Recycled"}}));
    for (const char *size : {"Statement", "Legal", "Executive", "A6", "B6", "BANK1", "BANK2"}) {
      EXPECT_TRUE(Conflicts({{"Duplex", duplex}, {"PageSize", size}})) << size;
    }
    for (const char *size : {"A4", "Letter", "A5", "B5", "B5ISO", "16k"}) {
      EXPECT_FALSE(Conflicts({{"Duplex", duplex}, {"PageSize", size}})) << size;
    }
    // A5 conflicts only when fed long edge first.
    EXPECT_TRUE(Conflicts({{"Duplex", duplex}, {"PageSize", "A5"}, {"FeedEdge", "1"}}));
    EXPECT_FALSE(Conflicts({{"Duplex", duplex}, {"PageSize", "A5"}, {"FeedEdge", "0"}}));
    EXPECT_FALSE(Conflicts({{"Duplex", duplex}, {"PageSize", "A4"}, {"FeedEdge", "1"}}));
  }
  // One-sided printing never conflicts.
  EXPECT_FALSE(Conflicts({{"InputSlot", "ManualTray"}, {"MediaType", "Thick"}, {"PageSize", "BANK1"}}));
  EXPECT_FALSE(Conflicts({{"PageSize", "A5"}, {"FeedEdge", "1"}}));
}

class ShippedPpdSettingsTest : public PrintSettingsTest {};

TEST_F(ShippedPpdSettingsTest, PlainJobMatchesTheReferenceLog) {
  ASSERT_EQ(RunWithPpdPath(QUENMARK_SHIPPED_PPD, ""), 0);
  EXPECT_EQ(log, kPlainJobLog);
}

TEST_F(ShippedPpdSettingsTest, EveryChoiceReachesTheTable) {
  ASSERT_EQ(RunWithPpdPath(QUENMARK_SHIPPED_PPD,
                           "PageSize=BANK2 InputSlot=ManualTray Resolution=1200dpi "
                           "Duplex=DuplexNoTumble FeedEdge=1 MediaType=Thin",
                           "2"),
            0);
  EXPECT_EQ(Param("PageSize"), "CUS_2");
  EXPECT_EQ(Param("InputSlot"), "ManualTray");
  EXPECT_EQ(Param("Resolution"), "1200dpi");
  EXPECT_EQ(Param("Duplex"), "DuplexNoTumble");
  EXPECT_EQ(Param("FeedEdge"), "1");
  EXPECT_EQ(Param("MediaType"), "Thin");
  EXPECT_EQ(settings.duplexMode, 1);
  EXPECT_EQ(settings.feedEdge, 1);
  EXPECT_EQ(settings.mediaClass, 1);
  EXPECT_EQ(settings.copies, 2);
}

// The page headers of what CUPS's own filters make of a file with the shipped PPD.
std::vector<cups_page_header2_t> CupsRasterPages(const TempDir &dir, const std::string &input,
                                                 const std::vector<std::string> &lpOptions) {
  std::vector<std::string> command = {"cupsfilter", "-p", QUENMARK_SHIPPED_PPD, "-m",
                                      "application/vnd.cups-raster"};
  command.insert(command.end(), lpOptions.begin(), lpOptions.end());
  command.push_back(input);
  std::vector<cups_page_header2_t> pages;
  const RunResult result = RunProgram(command);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  if (result.exitStatus != 0) return pages;
  WriteFileText(dir.file("cupsfilter.ras"), result.out);
  const int fd = open(dir.file("cupsfilter.ras").c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  if (fd < 0) return pages;
  cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
  EXPECT_NE(raster, nullptr);
  cups_page_header2_t header;
  std::vector<unsigned char> row;
  while (raster != nullptr && cupsRasterReadHeader2(raster, &header)) {
    pages.push_back(header);
    row.resize(header.cupsBytesPerLine);
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
      cupsRasterReadPixels(raster, row.data(), header.cupsBytesPerLine);
    }
  }
  if (raster != nullptr) cupsRasterClose(raster);
  close(fd);
  return pages;
}

// CUPS's own filters, driven by the shipped PPD, hand our filter 1-bit black raster.
TEST(ShippedPpdRasterTest, CupsRendersOneBitBlackRaster) {
  TempDir dir;
  WriteFileText(dir.file("page.txt"), "Quenmark raster check\n");
  for (const char *resolution : {"600dpi", "1200dpi"}) {
    SCOPED_TRACE(resolution);
    const std::vector<cups_page_header2_t> pages = CupsRasterPages(
        dir, dir.file("page.txt"),
        {"-o", std::string("Resolution=") + resolution, "-o", "PageSize=A6"});
    ASSERT_FALSE(pages.empty());
    const cups_page_header2_t &header = pages[0];
    EXPECT_EQ(header.cupsColorSpace, CUPS_CSPACE_K);
    EXPECT_EQ(header.cupsBitsPerColor, 1u);
    EXPECT_EQ(header.cupsBitsPerPixel, 1u);
    const unsigned dpi = strcmp(resolution, "600dpi") == 0 ? 600 : 1200;
    EXPECT_EQ(header.HWResolution[0], dpi);
    EXPECT_EQ(header.HWResolution[1], dpi);
    EXPECT_STREQ(header.cupsPageSizeName, "A6");
  }
}

// With a Collate option in the PPD, CUPS's PDF stage leaves collated copies to the
// printer: the filter gets each page once and makes the copies itself. Without one, the
// stage made the copies and the filter, told the copies count too, multiplied them again.
TEST(ShippedPpdRasterTest, CollatedCopiesReachTheFilterAsOnePassOfThePages) {
  TempDir dir;
  WriteFileText(dir.file("three.txt"), "page one\fpage two\fpage three\n");
  for (const char *collate : {"collate=true", "Collate=True", "collate=false"}) {
    SCOPED_TRACE(collate);
    const std::vector<cups_page_header2_t> pages = CupsRasterPages(
        dir, dir.file("three.txt"), {"-n", "2", "-o", collate, "-o", "PageSize=A6"});
    EXPECT_EQ(pages.size(), 3u);
    for (const auto &header : pages) EXPECT_EQ(header.NumCopies, 2u);
  }
}

TEST_F(ShippedPpdTest, OffersCollationThatIsOffByDefault) {
  EXPECT_EQ(Choices("Collate"), (std::vector<std::string>{"False", "True"}));
  EXPECT_EQ(Default("Collate"), "False");
}

}  // namespace
