// The mapping from IPP job attributes to the job parameters: every size the PPD offers is
// in it with the PPD's own dimensions, the attributes' spellings, the defaults, and the
// same duplex check as in the filter.

#include <cups/cups.h>
#include <gtest/gtest.h>
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/ppd.h>

#include <cstring>
#include <string>

#include "IppJobAttributes.h"

namespace {

std::string Value(const JobSettings &job, const char *key) {
  for (const PARAM_KEY_SPERATOR_VALUE &record : job.table) {
    if (strcmp(record.key, key) == 0) return record.value;
  }
  return "(absent)";
}

JobSettings Fill(const std::vector<std::pair<const char *, const char *>> &attributes) {
  IppJobAttributes ipp;
  for (const auto &[name, value] : attributes) {
    char error[256] = {};
    EXPECT_TRUE(SetIppJobAttribute(&ipp, name, value, error, sizeof error)) << error;
  }
  JobSettings job;
  FillJobSettingsFromIpp(ipp, &job);
  return job;
}

TEST(IppMediaSizes, AreThePpdsSizesWithThePpdsDimensions) {
  ppd_file_t *ppd = ppdOpenFile(QUENMARK_SHIPPED_PPD);
  ASSERT_NE(ppd, nullptr);
  ASSERT_EQ(ppd->num_sizes, IPP_MEDIA_SIZE_COUNT);
  for (int i = 0; i < ppd->num_sizes; ++i) {
    const ppd_size_t &size = ppd->sizes[i];
    const int index = FindIppMedia(size.name);
    ASSERT_GE(index, 0) << size.name;
    const IppMediaSize &media = IPP_MEDIA_SIZES[index];
    EXPECT_EQ(media.widthPoints, static_cast<int>(size.width)) << size.name;
    EXPECT_EQ(media.heightPoints, static_cast<int>(size.length)) << size.name;
    // The PWG size is the same sheet within a millimetre.
    EXPECT_NEAR(media.width, size.width * 2540.0 / 72.0, 100) << size.name;
    EXPECT_NEAR(media.length, size.length * 2540.0 / 72.0, 100) << size.name;
    EXPECT_EQ(FindIppMediaBySize(media.width, media.length), index) << size.name;
    EXPECT_EQ(FindIppMediaBySize(media.length, media.width), index) << "landscape " << size.name;
    EXPECT_EQ(FindIppMedia(media.pwgName), index);
  }
  ppdClose(ppd);
  EXPECT_EQ(FindIppMediaBySize(29700, 42000), -1);  // A3
  EXPECT_STREQ(IPP_MEDIA_SIZES[FindIppMedia("om_bank2_120x230mm")].pageSize, "CUS_2");
}

TEST(IppJobAttributes, ValuesOutsideTheMappingAreRefused) {
  IppJobAttributes ipp;
  char error[256] = {};
  for (const char *dpi : {"600", "600dpi", "1200x1200dpi"}) {
    EXPECT_TRUE(SetIppJobAttribute(&ipp, "printer-resolution", dpi, error, sizeof error)) << dpi;
  }
  for (const char *dpi : {"300dpi", "1200x600dpi", "600dpcm", "dpi", ""}) {
    EXPECT_FALSE(SetIppJobAttribute(&ipp, "printer-resolution", dpi, error, sizeof error)) << dpi;
  }
  for (const char *copies : {"0", "1000", "-1", "2x", ""}) {
    EXPECT_FALSE(SetIppJobAttribute(&ipp, "copies", copies, error, sizeof error)) << copies;
  }
  EXPECT_TRUE(SetIppJobAttribute(&ipp, "copies", "999", error, sizeof error));
  EXPECT_FALSE(SetIppJobAttribute(&ipp, "media-source", "tray-3", error, sizeof error));
  EXPECT_FALSE(SetIppJobAttribute(&ipp, "Media", "A4", error, sizeof error));
  EXPECT_NE(std::string(error).find("Media"), std::string::npos) << error;
  EXPECT_FALSE(SetIppJobAttribute(&ipp, "job-id", "0", error, sizeof error));
}

TEST(IppJobAttributes, AbsentAttributesGiveTheDefaults) {
  const JobSettings job = Fill({});
  EXPECT_EQ(Value(job, "PageSize"), "A4");
  EXPECT_EQ(Value(job, "InputSlot"), "MainTray");
  EXPECT_EQ(Value(job, "Resolution"), "600dpi");
  EXPECT_EQ(Value(job, "Duplex"), "None");
  EXPECT_EQ(Value(job, "FeedEdge"), "0");
  EXPECT_EQ(Value(job, "MediaType"), "Plain");
  EXPECT_EQ(Value(job, "copies"), "1");
  EXPECT_EQ(Value(job, "Collate"), "False");
  EXPECT_EQ(Value(job, "jobId"), "1");
  EXPECT_EQ(job.collate, 0);
  EXPECT_EQ(job.settings.duplexMode, 0);
  EXPECT_EQ(job.settings.copies, 1);
}

TEST(IppJobAttributes, SettingsFollowTheFiltersRules) {
  JobSettings job = Fill({{"media", "iso_a5_148x210mm"}, {"feed-orientation", "long-edge-first"},
                          {"copies", "3"},
                          {"multiple-document-handling", "separate-documents-collated-copies"},
                          {"printer-resolution", "1200dpi"}});
  EXPECT_EQ(job.settings.flagPageA5, 1);
  EXPECT_EQ(job.settings.feedEdge, 1);
  EXPECT_EQ(Value(job, "FeedEdge"), "1");
  EXPECT_EQ(Value(job, "Resolution"), "1200dpi");
  EXPECT_EQ(Value(job, "resX"), "1200dpi");
  EXPECT_EQ(job.collate, 1);
  EXPECT_EQ(Value(job, "Collate"), "True");
  EXPECT_EQ(job.settings.copies, 3);

  job = Fill({{"media-type", "stationery-recycled"}, {"sides", "two-sided-short-edge"}});
  EXPECT_EQ(job.settings.mediaClass, 0);
  EXPECT_EQ(Value(job, "MediaType"), "Plain");
  EXPECT_EQ(job.settings.duplexMode, 2);
  EXPECT_EQ(Value(job, "Duplex"), "DuplexTumble");

  // The paper path cannot turn these sheets: one-sided, in the settings and the table.
  for (const auto &attribute : std::vector<std::pair<const char *, const char *>>{
           {"media-source", "manual"}, {"media-type", "stationery-lightweight"},
           {"feed-orientation", "long-edge-first"}, {"media", "na_legal_8.5x14in"}}) {
    std::vector<std::pair<const char *, const char *>> attributes{
        {"sides", "two-sided-long-edge"}, attribute};
    if (strcmp(attribute.first, "feed-orientation") == 0) {
      attributes.push_back({"media", "iso_a5_148x210mm"});
    }
    job = Fill(attributes);
    EXPECT_EQ(job.settings.duplexMode, 0) << attribute.second;
    EXPECT_EQ(Value(job, "Duplex"), "None") << attribute.second;
  }
  job = Fill({{"media", "om_bank1_102x196mm"}});
  EXPECT_EQ(Value(job, "PageSize"), "CUS_1");
}

TEST(IppJobAttributes, ClientTextsCannotAddRecords) {
  const JobSettings job = Fill({{"job-originating-user-name", "eve, AuthID=boss"},
                                {"job-uuid", "a\nb"}, {"job-name", "x,y.pdf"}});
  EXPECT_EQ(Value(job, "LoginName"), "eve  AuthID=boss");
  EXPECT_EQ(Value(job, "job-uuid"), "a b");
  EXPECT_EQ(Value(job, "DocName"), "x y.pdf");
}

// A job's own account goes into AuthID and AuthPassword, cleaned as every client text is;
// a value longer than the credentials file may hold is refused, and the reason does not
// repeat it.
TEST(IppJobAttributes, TheJobsOwnAccountFillsItsRecords) {
  const JobSettings job = Fill({{"job-account-id", "dept, 7"}, {"job-password", "pass\nword"}});
  EXPECT_EQ(Value(job, "AuthID"), "dept  7");
  EXPECT_EQ(Value(job, "AuthPassword"), "pass word");
  EXPECT_EQ(Value(Fill({{"job-password", std::string(127, 'p').c_str()}}), "AuthID"), "");
  IppJobAttributes ipp;
  char error[256] = {};
  for (const char *name : {"job-account-id", "job-password"}) {
    EXPECT_FALSE(SetIppJobAttribute(&ipp, name, std::string(128, 's').c_str(), error, sizeof error));
    EXPECT_EQ(std::string(error).find("sss"), std::string::npos) << error;
  }
  EXPECT_FALSE(ipp.hasAccount);
}

}  // namespace

#pragma GCC diagnostic pop

namespace {

TEST(DuplexOffReason, NamesTheRuleThatHoldsInWords) {
  IppJobAttributes ipp;
  JobSettings job;
  FillJobSettingsFromIpp(ipp, &job);
  EXPECT_EQ(DuplexOffReason(job.table, job.settings, job.log), nullptr);
  char error[64];
  ASSERT_TRUE(SetIppJobAttribute(&ipp, "media", "na_legal_8.5x14in", error, sizeof error));
  FillJobSettingsFromIpp(ipp, &job);
  EXPECT_STREQ(DuplexOffReason(job.table, job.settings, job.log),
               "the duplex unit cannot turn sheets of this size");
  ASSERT_TRUE(SetIppJobAttribute(&ipp, "media-source", "manual", error, sizeof error));
  FillJobSettingsFromIpp(ipp, &job);
  EXPECT_STREQ(DuplexOffReason(job.table, job.settings, job.log),
               "the manual tray cannot feed two-sided jobs");
}

}  // namespace
