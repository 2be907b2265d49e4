// The job parameter table: how options reach it, how it is read and written, and
// the exact string the printer receives.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "JobParamsProc.h"
#include "Log.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const char kDefaultString[] =
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, "
    "Duplex=None, MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, "
    "job-originating-host-name=, date-time-at-creation=, date-time-at-processing=, "
    "time-at-creation=, time-at-processing=, copies=1, jobId=, DocName=, HostName=, "
    "LoginName=, AuthID=, AuthPassword=, ";

struct Table {
  PARAM_KEY_SPERATOR_VALUE records[JOB_PARAM_COUNT];
  Table() { memcpy(records, tblDefParam, sizeof records); }

  std::string Value(const char *key) const {
    for (const auto &record : records) {
      if (strcmp(record.key, key) == 0) return record.value;
    }
    ADD_FAILURE() << "no record " << key;
    return {};
  }
  // The serialised string, built into a heap buffer of exactly the size the
  // callers reserve, so the sanitizer sees any byte written past it.
  std::string Build() {
    std::vector<char> buffer(JOB_PARAMS_BUFFER_SIZE, 'X');
    char *out = buffer.data();
    BuildJobParams(&out, records, StderrLog());
    EXPECT_EQ(out, buffer.data()) << "the caller's pointer must not move";
    return std::string(buffer.data());
  }
};

// A table whose first records are the caller's own, the rest copied from the defaults.
Table CustomTable(std::initializer_list<PARAM_KEY_SPERATOR_VALUE> head) {
  Table table;
  int i = 0;
  for (const auto &record : head) table.records[i++] = record;
  return table;
}

std::string ApplyOptions(Table &table, const char *options) {
  CaptureStderr();
  GetJobParamFromCups(options, table.records, StderrLog());
  return GetCapturedStderr();
}

std::string ApplyToken(Table &table, const char *token) {
  CaptureStderr();
  SetJobParams(token, table.records, StderrLog());
  return GetCapturedStderr();
}

// ---------------------------------------------------------------- defaults

TEST(DefaultTable, SerialisesToTheFixedString) {
  Table table;
  CaptureStderr();
  const std::string built = table.Build();
  const std::string log = GetCapturedStderr();
  EXPECT_EQ(built, kDefaultString);
  EXPECT_EQ(built.size(), 352u);
  EXPECT_EQ(log, std::string("BuildJobParams:") + kDefaultString + "\n");
}

TEST(DefaultTable, EveryByteBehindTheTextsIsZero) {
  auto zeroTail = [](const char *field, size_t width) {
    return std::all_of(field + strlen(field), field + width, [](char c) { return c == 0; });
  };
  for (const auto &record : tblDefParam) {
    EXPECT_TRUE(zeroTail(record.key, sizeof record.key)) << record.key;
    EXPECT_TRUE(zeroTail(record.separator, sizeof record.separator)) << record.key;
    EXPECT_TRUE(zeroTail(record.value, sizeof record.value)) << record.key;
    EXPECT_STREQ(record.separator, "=");
  }
}

// ---------------------------------------------------------------- reading the options

// The options are read as libcups reads them; each option reaches the table as the
// token "name=value", in libcups's order (by name, letter case ignored).
TEST(ReadingOptions, EveryOptionCountsTheLastOneIncluded) {
  Table table;
  const std::string log = ApplyOptions(table, "PageSize=A5 Duplex=DuplexNoTumble");
  EXPECT_EQ(table.Value("PageSize"), "A5");
  EXPECT_EQ(table.Value("Duplex"), "DuplexNoTumble");
  EXPECT_EQ(log,
            "One_Param:Duplex=DuplexNoTumble , Len:21\n"
            "Key:Duplex , Length:6\n"
            "Value:DuplexNoTumble , Length:14\n"
            "One_Param:PageSize=A5 , Len:11\n"
            "Key:PageSize , Length:8\n"
            "Value:A5 , Length:2\n");
}

TEST(ReadingOptions, TrailingSpaceAddsNoEmptyToken) {
  Table table;
  const std::string log = ApplyOptions(table, "PageSize=A5 Duplex=DuplexNoTumble ");
  EXPECT_EQ(table.Value("Duplex"), "DuplexNoTumble");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6);
  EXPECT_EQ(log.find("Len:0"), std::string::npos);
}

TEST(ReadingOptions, StringWithoutSpaceIsOneToken) {
  Table table;
  EXPECT_EQ(ApplyOptions(table, "copies=3"),
            "One_Param:copies=3 , Len:8\nKey:copies , Length:6\nValue:3 , Length:1\n");
  EXPECT_EQ(table.Value("copies"), "3");
}

TEST(ReadingOptions, RunsOfWhiteSpaceGiveNoEmptyOptions) {
  Table table;
  EXPECT_EQ(ApplyOptions(table, "A=1  B=2 "), "One_Param:A=1 , Len:3\nOne_Param:B=2 , Len:3\n");
  EXPECT_EQ(ApplyOptions(table, " copies=2"),
            "One_Param:copies=2 , Len:8\nKey:copies , Length:6\nValue:2 , Length:1\n");
  EXPECT_EQ(ApplyOptions(table, ""), "");
  EXPECT_EQ(ApplyOptions(table, nullptr), "");
  EXPECT_EQ(table.Value("copies"), "2");
}

TEST(ReadingOptions, WhiteSpaceSeparatesQuotesAndEscapesGroup) {
  Table table;
  ApplyOptions(table, "PageSize=A5\tDuplex=DuplexTumble job-uuid=\"a b\" DocName='it''s' "
                      "LoginName=x\\ y\\\\z");
  EXPECT_EQ(table.Value("PageSize"), "A5");
  EXPECT_EQ(table.Value("Duplex"), "DuplexTumble");
  EXPECT_EQ(table.Value("job-uuid"), "a b");
  EXPECT_EQ(table.Value("DocName"), "its");
  EXPECT_EQ(table.Value("LoginName"), "x y\\z");
}

// What the scheduler sends for a password with a space, a quote and a backslash, in the
// three spellings libcups knows: the printer gets the password itself, the log no part.
TEST(ReadingOptions, EscapedAndQuotedPasswordsArriveWholeAndStayOutOfTheLog) {
  for (const char *options : {"AuthPassword=Zq7Rt\\ Wx9Pk\\\"Kv3Ld\\\\Jm5Hs copies=2",
                              "copies=2 AuthPassword='Zq7Rt Wx9Pk\"Kv3Ld\\\\Jm5Hs'",
                              "AuthPassword=\"Zq7Rt Wx9Pk\\\"Kv3Ld\\\\Jm5Hs\" copies=2"}) {
    SCOPED_TRACE(options);
    Table table;
    CaptureStderr();
    GetJobParamFromCups(options, table.records, StderrLog());
    const std::string built = table.Build();
    const std::string log = GetCapturedStderr();
    EXPECT_EQ(table.Value("AuthPassword"), "Zq7Rt Wx9Pk\"Kv3Ld\\Jm5Hs");
    EXPECT_EQ(table.Value("copies"), "2");
    EXPECT_NE(built.find(", AuthPassword=Zq7Rt Wx9Pk\"Kv3Ld\\Jm5Hs, "), std::string::npos) << built;
    for (const char *part : {"Zq7Rt", "Wx9Pk", "Kv3Ld", "Jm5Hs"}) {
      EXPECT_EQ(log.find(part), std::string::npos) << part << "\n" << log;
    }
    EXPECT_NE(log.find("One_Param:AuthPassword=******** , Len:21\n"), std::string::npos) << log;
  }
}

TEST(ReadingOptions, TheLastOptionOfANameWins) {
  Table table;
  ApplyOptions(table, "PageSize=A5 copies=2 PageSize=B5 copies=3");
  EXPECT_EQ(table.Value("PageSize"), "B5");
  EXPECT_EQ(table.Value("copies"), "3");
}

TEST(ReadingOptions, LongTokenIsCutAndTheNextOneStillApplies) {
  Table table;
  const std::string longToken = "job-uuid=" + std::string(591, 'u');  // 600 characters
  const std::string log = ApplyOptions(table, (longToken + " copies=4").c_str());
  const std::string cut = longToken.substr(0, OPTION_TOKEN_MAX);
  EXPECT_NE(log.find("One_Param:" + cut + " , Len:511\n"), std::string::npos);
  EXPECT_EQ(table.Value("job-uuid"), std::string(255, 'u'));
  EXPECT_EQ(table.Value("copies"), "4");
}

// A name that is not a record's key, letter for letter, reaches no record.
TEST(ReadingOptions, AnOptionReachesOnlyTheRecordOfItsName) {
  Table table;
  const std::string log = ApplyOptions(
      table, "number-up-layout=lrtb pagesize=A5 PageSize:A5 xPageSize=A5 Page=A5 jobid=7");
  EXPECT_EQ(log.find("Key:"), std::string::npos) << log;
  EXPECT_EQ(table.Build(), kDefaultString);
}

// The Collate record says what the collate flag decided, in the printer's words, for
// every spelling of the option: "collate" as lp sends it, and the bare booleans.
TEST(ReadingOptions, CollateRecordFollowsTheCollateReading) {
  struct Case {
    const char *options;
    const char *record;
    int reading;
  };
  const Case cases[] = {
      {"", "False", -1},
      {"number-up=2", "False", -1},
      {"Collate", "True", 1},
      {"collate", "True", 1},
      {"sides=two-sided Collate finishings=3", "True", 1},
      {"Collate=True", "True", 1},
      {"Collate=true", "True", 1},
      {"Collate=yes", "True", 1},
      {"Collate=on", "True", 1},
      {"noCollate", "False", 0},
      {"nocollate", "False", 0},
      {"Collate=False", "False", 0},
      {"Collate=false", "False", 0},
      {"Collate=no", "False", 0},
      {"Collate=off", "False", 0},
      {"Collate=OFF", "False", 0},
      {"Collate noCollate", "False", 0},
      {"noCollate Collate=yes", "True", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options);
    Table table;
    const std::string log = ApplyOptions(table, c.options);
    EXPECT_EQ(table.Value("Collate"), c.record);
    JobOptions parsed = ParseJobOptions(c.options);
    EXPECT_EQ(ReadCollateOption(parsed), c.reading);
    ReleaseJobOptions(&parsed);
    if (c.reading >= 0) {
      EXPECT_NE(log.find(std::string("Key:Collate , Length:7\nValue:") + c.record), std::string::npos)
          << log;
    }
  }
}

// libcups reads a bare name as name=true and "noname" as name=false; such an option
// reaches its record with that value, like the same option written out.
TEST(ReadingOptions, BareNamesReachNoRecordButCollate) {
  Table table;
  // libcups reads them as job-uuid=true and number-up=false; the later option decides.
  ApplyOptions(table, "job-uuid nonumber-up resX=1200dpi resX noCollate");
  EXPECT_EQ(table.Build(), kDefaultString);
  ApplyOptions(table, "job-uuid=urn:uuid:1 Collate");
  EXPECT_EQ(table.Value("job-uuid"), "urn:uuid:1");
  EXPECT_EQ(table.Value("Collate"), "True");
}

TEST(ReadingOptions, ParsedOptionsAnswerLikeLibcups) {
  JobOptions parsed = ParseJobOptions("PageSize=A5 InputSlot='Tray 2' noDuplex");
  EXPECT_EQ(parsed.count, 3);
  EXPECT_STREQ(JobOptionValue(parsed, "pagesize"), "A5");
  EXPECT_STREQ(JobOptionValue(parsed, "InputSlot"), "Tray 2");
  EXPECT_STREQ(JobOptionValue(parsed, "Duplex"), "false");
  EXPECT_EQ(JobOptionValue(parsed, "MediaType"), nullptr);
  EXPECT_EQ(JobOptionValue(parsed, nullptr), nullptr);
  ReleaseJobOptions(&parsed);
  EXPECT_EQ(parsed.count, 0);
  EXPECT_EQ(parsed.options, nullptr);
  EXPECT_EQ(ParseJobOptions(nullptr).count, 0);

  // Options given one by one (-o after -o) add up; a later one replaces its name.
  JobOptions added = ParseJobOptions("PageSize=A5");
  AddJobOptions(&added, "pagesize=B5 Collate");
  AddJobOptions(&added, nullptr);
  AddJobOptions(nullptr, "x=1");
  EXPECT_EQ(added.count, 2);
  EXPECT_STREQ(JobOptionValue(added, "PageSize"), "B5");
  EXPECT_EQ(ReadCollateOption(added), 1);
  ReleaseJobOptions(&added);
}

// ---------------------------------------------------------------- matching

TEST(Matching, TokenMustBeginWithKeyAndSeparator) {
  Table table;
  for (const char *token : {"noCollate", "noCollate=True", "number-up-layout=lrtb", "pagesize=A5",
                            "PageSize:A5", "xPageSize=A5", "Page=A5"}) {
    EXPECT_EQ(ApplyToken(table, token), "") << token;
  }
  EXPECT_EQ(table.Build(), kDefaultString);
}

TEST(Matching, DateTimeTokensReachTheirOwnRecords) {
  Table table;
  ApplyToken(table, "date-time-at-creation=1");
  ApplyToken(table, "time-at-processing=2");
  EXPECT_EQ(table.Value("date-time-at-creation"), "1");
  EXPECT_EQ(table.Value("time-at-creation"), "");
  EXPECT_EQ(table.Value("time-at-processing"), "2");
  EXPECT_EQ(table.Value("date-time-at-processing"), "");
}

TEST(Matching, FirstRecordInTableOrderWins) {
  Table table = CustomTable({{"a", "=", "0"}, {"a=b", "=", "0"}});
  ApplyToken(table, "a=b=c");
  EXPECT_EQ(table.Value("a"), "b=c");
  EXPECT_EQ(table.Value("a=b"), "0");
}

TEST(Matching, LongerSeparatorMustFollowWhole) {
  Table table = CustomTable({{"Speed", "::", "slow"}});
  ApplyToken(table, "Speed:fast");
  EXPECT_EQ(table.Value("Speed"), "slow");
  ApplyToken(table, "Speed::fast");
  EXPECT_EQ(table.Value("Speed"), "fast");
}

// ---------------------------------------------------------------- the value rule

TEST(ValueRule, EmptyValueLeavesRecordButIsLogged) {
  Table table;
  EXPECT_EQ(ApplyToken(table, "Collate"), "");
  EXPECT_EQ(ApplyToken(table, "Collate="), "Key:Collate , Length:7\nValue:False , Length:5\n");
  EXPECT_EQ(table.Value("Collate"), "False");
  EXPECT_EQ(ApplyToken(table, "Collate=True"), "Key:Collate , Length:7\nValue:True , Length:4\n");
  EXPECT_EQ(table.Value("Collate"), "True");
}

TEST(ValueRule, ValueIsEverythingAfterKeyAndSeparator) {
  Table table;
  ApplyToken(table, "job-uuid=urn:uuid:1=2:3");
  EXPECT_EQ(table.Value("job-uuid"), "urn:uuid:1=2:3");
  // A shorter value leaves no trace of the longer one before it.
  ApplyToken(table, "job-uuid=x");
  const auto &record = table.records[10];
  EXPECT_STREQ(record.value, "x");
  EXPECT_TRUE(std::all_of(record.value + 1, record.value + sizeof record.value,
                          [](char c) { return c == 0; }));
}

// Commas and control characters would let a submitter's value split into records of
// its own; values of the driver, the PPD and the credentials file are kept as they are.
TEST(ValueRule, SubmittedValuesLoseCommasAndControlCharacters) {
  Table table;
  testing::internal::CaptureStderr();
  SetJobParams("DocName=a, AuthID=x\x7f\ty", table.records, StderrLog());
  SetSubmittedJobParam("LoginName", "eve\r\nbob,", table.records, StderrLog());
  SetJobParam("AuthID", "dept,42", table.records, StderrLog());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(table.Value("DocName"), "a  AuthID=x  y");
  EXPECT_EQ(table.Value("LoginName"), "eve  bob ");
  EXPECT_EQ(table.Value("AuthID"), "dept,42");
}

TEST(ValueRule, OptionValueIsCutTo255) {
  Table table;
  ApplyToken(table, ("DocName=" + std::string(300, 'd')).c_str());
  EXPECT_EQ(table.Value("DocName"), std::string(255, 'd'));
}

// ---------------------------------------------------------------- raw records

TEST(RawRecord, StoresWholeTokenAndSerialisesValueAlone) {
  Table table = CustomTable({{"raw", "", ""}});
  EXPECT_EQ(ApplyToken(table, "xraw=1"), "");
  EXPECT_EQ(ApplyToken(table, "rawmode=5"), "Key:raw , Length:3\nValue:rawmode=5 , Length:9\n");
  EXPECT_EQ(table.records[0].value, std::string("rawmode=5"));
  EXPECT_EQ(table.Build().substr(0, 24), "rawmode=5, Resolution=60");
}

TEST(RawRecord, LongTokenIsCutTo255) {
  Table table = CustomTable({{"raw", "", ""}});
  const std::string token = "raw" + std::string(400, 'r');
  ApplyToken(table, token.c_str());
  EXPECT_EQ(std::string(table.records[0].value), token.substr(0, 255));
}

// ---------------------------------------------------------------- by key

TEST(ByKey, SetJobParamReplacesAndLogs) {
  Table table;
  CaptureStderr();
  SetJobParam("PageSize", "CUS_1", table.records, StderrLog());
  SetJobParam("pagesize", "A3", table.records, StderrLog());
  SetJobParam("Nothing", "x", table.records, StderrLog());
  EXPECT_EQ(GetCapturedStderr(), "SetJobParam:[PageSize , CUS_1 ]\n");
  EXPECT_EQ(table.Value("PageSize"), "CUS_1");
}

TEST(ByKey, SetJobParamCutsTo255AndCanEmpty) {
  Table table;
  const std::string longValue(300, 'v');
  CaptureStderr();
  SetJobParam("LoginName", longValue.c_str(), table.records, StderrLog());
  EXPECT_EQ(GetCapturedStderr(), "SetJobParam:[LoginName , " + std::string(255, 'v') + " ]\n");
  EXPECT_EQ(table.Value("LoginName"), std::string(255, 'v'));
  SetJobParam("copies", "", table.records, StderrLog());
  const std::string built = table.Build();
  EXPECT_NE(built.find(", copies=, jobId=, "), std::string::npos);
}

TEST(ByKey, GetJobParamPointsIntoTheTable) {
  Table table;
  char fallback[] = "unset";
  char *value = fallback;
  CaptureStderr();
  GetJobParam("NoSuchKey", &value, table.records, StderrLog());
  GetJobParam("PageSize", &value, table.records, StderrLog());
  EXPECT_EQ(GetCapturedStderr(), "GetJobParam:[PageSize , A4 ]\n");
  EXPECT_EQ(value, table.records[0].value);
  SetJobParam("PageSize", "CUS_1", table.records, StderrLog());
  EXPECT_STREQ(value, "CUS_1");

  char *untouched = fallback;
  GetJobParam("pagesize", &untouched, table.records, StderrLog());
  EXPECT_EQ(untouched, fallback);
}

TEST(ByKey, SetJobParamFromItsOwnValue) {
  Table table;
  char *value = nullptr;
  GetJobParam("InputSlot", &value, table.records, StderrLog());
  ASSERT_NE(value, nullptr);
  SetJobParam("InputSlot", value, table.records, StderrLog());
  EXPECT_EQ(table.Value("InputSlot"), "MainTray");
}

// ---------------------------------------------------------------- serialising

TEST(Serialising, FullValuesFillTheBufferExactly) {
  Table table;
  CaptureStderr();
  for (auto &record : table.records)
    SetJobParam(record.key, std::string(255, 'z').c_str(), table.records, StderrLog());
  const std::string built = table.Build();
  GetCapturedStderr();
  EXPECT_EQ(built.size(), JOB_PARAMS_BUFFER_SIZE - 1);
  EXPECT_EQ(built.substr(0, 9 + 255 + 2), "PageSize=" + std::string(255, 'z') + ", ");
  EXPECT_EQ(built.substr(built.size() - 2), ", ");
}

TEST(Serialising, OversizedRecordsAreCutAtTheBuffer) {
  // Keys and separators of full width give far more than the buffer holds.
  Table table;
  for (auto &record : table.records) {
    memset(record.key, 'k', sizeof record.key - 1);
    memset(record.separator, ':', sizeof record.separator - 1);
    memset(record.value, 'v', sizeof record.value - 1);
  }
  CaptureStderr();
  const std::string built = table.Build();
  GetCapturedStderr();
  EXPECT_EQ(built.size(), JOB_PARAMS_BUFFER_SIZE - 1);

  std::vector<char> small(20, 'X');
  BuildLoggableJobParams(small.data(), small.size(), tblDefParam);
  EXPECT_STREQ(small.data(), "PageSize=A4, Resolu");
}

// ---------------------------------------------------------------- masking

TEST(Masking, PasswordNeverLoggedButSentToThePrinter) {
  Table table;
  CaptureStderr();
  GetJobParamFromCups("AuthPassword=hunter2 copies=2", table.records, StderrLog());
  char *value = nullptr;
  GetJobParam("AuthPassword", &value, table.records, StderrLog());
  SetJobParam("AuthPassword", "swordfish", table.records, StderrLog());
  const std::string built = table.Build();
  const std::string log = GetCapturedStderr();

  EXPECT_EQ(log.find("hunter2"), std::string::npos) << log;
  EXPECT_EQ(log.find("swordfish"), std::string::npos) << log;
  EXPECT_NE(log.find("One_Param:AuthPassword=******** , Len:21\n"
                     "Key:AuthPassword , Length:12\n"
                     "Value:******** , Length:8\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("GetJobParam:[AuthPassword , ******** ]\n"), std::string::npos);
  EXPECT_NE(log.find("SetJobParam:[AuthPassword , ******** ]\n"), std::string::npos);
  EXPECT_NE(log.find("BuildJobParams:" + std::string(kDefaultString, 277) + "copies=2, "), std::string::npos);
  EXPECT_NE(log.find(", AuthPassword=********, \n"), std::string::npos);

  EXPECT_NE(built.find(", AuthPassword=swordfish, "), std::string::npos);
  std::vector<char> loggable(JOB_PARAMS_BUFFER_SIZE);
  BuildLoggableJobParams(loggable.data(), loggable.size(), table.records);
  EXPECT_EQ(std::string(loggable.data()),
            built.substr(0, built.size() - 11) + "********, ");
}

TEST(Masking, EmptyPasswordAndOtherKeysStayAsTheyAre) {
  Table table;
  CaptureStderr();
  SetJobParam("AuthPassword", "", table.records, StderrLog());
  SetJobParam("AuthID", "alice", table.records, StderrLog());
  EXPECT_EQ(GetCapturedStderr(), "SetJobParam:[AuthPassword ,  ]\nSetJobParam:[AuthID , alice ]\n");
  std::vector<char> loggable(JOB_PARAMS_BUFFER_SIZE);
  BuildLoggableJobParams(loggable.data(), loggable.size(), table.records);
  EXPECT_EQ(std::string(loggable.data()), table.Build());
}

}  // namespace
