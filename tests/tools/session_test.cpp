// Sessions of the command library: argument checks, pending catalogs and
// the feature list.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "KivoWrap.h"
#include "core/KvError.h"
#include "data/KvParameter.h"
#include "storage/KvCatalog.h"
#include "KvTestUtil.h"

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

namespace {

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Keyword features are always available from the factory.
constexpr const char* kText = "KvTextFeatureClass";
constexpr const char* kDraw = "KvDrawFeatureClass";

TEST(Tools, FeatureTableHoldsSixtyFourFeatures) {
  KivoWrapClass wrap;
  for (int i = 0; i < 64; ++i) ASSERT_EQ(wrap.AddFeature(kText), 0) << i;
  CaptureStderr();
  EXPECT_EQ(wrap.AddFeature(kText), 1);
  EXPECT_EQ(GetCapturedStderr(), "Exceed Max # (64) of features\n");
  EXPECT_EQ(wrap.GetFeatureCount(), 64);
  wrap.Close();
  EXPECT_EQ(wrap.GetFeatureCount(), 0);
}

TEST(Tools, FeatureParametersFromTheFeatureSpec) {
  KivoWrapClass wrap;
  ASSERT_EQ(wrap.AddFeature(kText), 0);
  ASSERT_EQ(wrap.AddFeature(std::string(kDraw).append(":W=2.5:O=3").c_str()), 0);
  CaptureStderr();
  // An unknown item keeps the feature with its class defaults.
  ASSERT_EQ(wrap.AddFeature(std::string(kDraw).append(":W=9:Zbad").c_str()), 0);
  EXPECT_EQ(GetCapturedStderr(),
            "Skipping bad parameter in string W=9:Zbad for feature KvDrawFeatureClass\n");
  ASSERT_EQ(wrap.GetFeatureCount(), 3);

  KvStringClass listing(64ul);
  EXPECT_EQ(wrap.ListParameters(listing), 0);
  const std::string text = listing.c_str();
  EXPECT_EQ(text.find("KvTextFeatureClass:W="), 0u) << text;
  EXPECT_NE(text.find("\nKvDrawFeatureClass:W=2.500000:F=0:O=3:C="), std::string::npos) << text;
  EXPECT_NE(text.find("\nKvDrawFeatureClass:W=1.000000:"), std::string::npos) << text;

  // The first KvDrawFeatureClass is the weighted one.
  ASSERT_NE(wrap.FindParameters(kDraw), nullptr);
  EXPECT_DOUBLE_EQ(wrap.FindParameters(kDraw)->GetW(), 2.5);

  // Removing moves the last feature into the freed place.
  EXPECT_EQ(wrap.RemoveFeature(kText), 0);
  ASSERT_EQ(wrap.GetFeatureCount(), 2);
  EXPECT_STREQ(wrap.GetFeatureName(0), kDraw);
  EXPECT_STREQ(wrap.GetFeatureName(1), kDraw);
  EXPECT_DOUBLE_EQ(wrap.FindParameters(kDraw)->GetW(), 1.0);
  EXPECT_EQ(wrap.RemoveFeature(kText), 1);
}

TEST(Tools, ListAllFeaturesEndsEveryNameWithABlank) {
  KivoWrapClass wrap;
  char* list = wrap.ListAllFeatures();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list,
               "KvColorHistogramFeatureClass KvDrawFeatureClass KvColorFeatureClass KvTextFeatureClass "
               "KvTextureFeatureClass KvColorHistogramSubPartFeatureClass KvColorSubPartFeatureClass "
               "KvTextureSubPartFeatureClass KvHsvHistogramFeatureClass KvEdgeHistogramFeatureClass "
               "KvColorEdgeFeatureClass KvCorrelogramFeatureClass KvHsvBandsFeatureClass "
               "KvColorDifferenceFeatureClass KvColorTextureFeatureClass ");
  KvDelete(list);
}

TEST(Tools, PendingCatalogAndFeaturesOpenWithTheConnection) {
  kvtest::TempDir dir("wrap");
  const std::string database = dir.File("db");
  KivoWrapClass wrap;
  EXPECT_EQ(wrap.OpenCatalog("pics"), 1);
  ASSERT_EQ(wrap.AddFeature(kText), 0);
  ASSERT_EQ(wrap.AddFeature(kDraw), 0);
  ASSERT_EQ(wrap.Connect(database.c_str(), "w"), 0);
  ASSERT_NE(wrap.GetCatalog(), nullptr);
  EXPECT_STREQ(wrap.GetCatalog()->GetName(), "pics");
  char* names = wrap.ListCatFeatures();
  ASSERT_NE(names, nullptr);
  EXPECT_STREQ(names, "KvDrawFeatureClass KvTextFeatureClass ");
  KvDelete(names);
  EXPECT_EQ(wrap.GetNumberOfRecords(kDraw), 0);
  EXPECT_TRUE(FileExists(dir.File("db/FeatIdx.pics")));
  wrap.Close();
  EXPECT_EQ(wrap.GetConnection(), nullptr);

  // Reading the catalog back with a read-only session.
  ASSERT_EQ(wrap.Open("pics", database.c_str(), "r"), 0);
  names = wrap.ListCatFeatures();
  ASSERT_NE(names, nullptr);
  EXPECT_STREQ(names, "KvDrawFeatureClass KvTextFeatureClass ");
  KvDelete(names);
  EXPECT_EQ(wrap.Reopen(), 0);
  EXPECT_STREQ(wrap.GetCatalogName(), "pics");
  wrap.Close();
}

TEST(Tools, OpenFromOptionsTakesItsOptions) {
  kvtest::TempDir dir("wrap");
  const std::string database = dir.File("db");
  std::vector<std::string> words = {"prog", "img", "-f", kText, "-c", "cat", "-d", database, "-x"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());
  char** v = argv.data();
  KivoWrapClass wrap;
  ASSERT_EQ(wrap.OpenFromOptions(argc, v, "w"), 0);
  ASSERT_EQ(argc, 3);
  EXPECT_STREQ(v[1], "img");
  EXPECT_STREQ(v[2], "-x");
  EXPECT_EQ(wrap.GetFeatureCount(), 1);
  EXPECT_STREQ(wrap.GetDatabaseName(), database.c_str());
  EXPECT_STREQ(wrap.GetCatalogName(), "cat");
  EXPECT_TRUE(FileExists(dir.File("db/TextFeaF.cat")));
  wrap.Close();

  // Without -c nothing is opened and the reason is recorded.
  std::vector<std::string> noCatalog = {"prog", "-d", database, "img"};
  argv.clear();
  for (auto& w : noCatalog) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  argc = static_cast<int>(noCatalog.size());
  v = argv.data();
  EXPECT_EQ(wrap.OpenFromOptions(argc, v, "w"), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal);
  wrap.Close();
}

}  // namespace
