// Sessions of the command library: argument checks, pending catalogs and
// the feature list.
#include <gtest/gtest.h>

#include <string>

#include "KivoWrap.h"
#include "core/KvError.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(Tools, MissingNamesAreRefusedWithTheirMessages) {
  KivoWrapClass wrap;
  CaptureStderr();
  EXPECT_EQ(wrap.Connect(nullptr, "r"), -1);
  EXPECT_EQ(GetCapturedStderr(), "database name is not specified\n");

  CaptureStderr();
  EXPECT_EQ(wrap.Open(nullptr, "db", "r"), -1);
  EXPECT_EQ(GetCapturedStderr(),
            "catalog name or database name unspecified catalogName=(null) databaseName=db\n");
  CaptureStderr();
  EXPECT_EQ(wrap.Open("cat", nullptr, "r"), -1);
  EXPECT_EQ(GetCapturedStderr(),
            "catalog name or database name unspecified catalogName=cat databaseName=(null)\n");
  EXPECT_EQ(wrap.GetConnection(), nullptr);
}

TEST(Tools, OverlongSessionNamesAreRefused) {
  KivoWrapClass wrap;
  const std::string longName(300, 'x');
  EXPECT_EQ(wrap.Connect(longName.c_str(), "r"), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
  EXPECT_STREQ(wrap.GetDatabaseName(), "KivoData");
  EXPECT_EQ(wrap.OpenCatalog(longName.c_str()), -1);
  EXPECT_STREQ(wrap.GetCatalogName(), "orv33");
  EXPECT_EQ(wrap.Open(longName.c_str(), "db", "r"), -1);
  EXPECT_EQ(wrap.GetConnection(), nullptr);
}

TEST(Tools, OpenCatalogWithoutConnectionIsPending) {
  KivoWrapClass wrap;
  EXPECT_EQ(wrap.OpenCatalog("pics"), 1);
  EXPECT_STREQ(wrap.GetCatalogName(), "pics");
  EXPECT_EQ(wrap.GetCatalog(), nullptr);
  EXPECT_EQ(wrap.GetNumberOfRecords("KvColorFeatureClass"), -1);
  EXPECT_EQ(wrap.ListCatFeatures(), nullptr);
}

TEST(Tools, UnknownFeatureIsNotAdded) {
  KivoWrapClass wrap;
  CaptureStderr();
  EXPECT_EQ(wrap.AddFeature("KvNoSuchFeatureClass:W=2"), -1);
  EXPECT_EQ(GetCapturedStderr(), "feature KvNoSuchFeatureClass was not created\n");
  EXPECT_EQ(wrap.GetFeatureCount(), 0);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_UnknownFeatureClass);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  EXPECT_EQ(wrap.RemoveFeature("KvNoSuchFeatureClass"), 1);
  EXPECT_EQ(wrap.FindParameters("KvNoSuchFeatureClass"), nullptr);
}

}  // namespace
