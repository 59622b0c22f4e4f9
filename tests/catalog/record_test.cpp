// Records of images across feature classes: modes, prechecks, counters,
// deletion and the whole-image / sub-part split.
#include <cstring>
#include <string>

#include "CatalogFixture.h"
#include "data/KvParameter.h"

namespace {

using kvtest::kColor;
using kvtest::kColorSub;
using kvtest::kHistogram;
using kvtest::TestImage;

class RecordTest : public kvtest::CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    if (!kvtest::FeatureAvailable(kColor) || !kvtest::FeatureAvailable(kHistogram)) {
      GTEST_SKIP() << "colour features not available";
    }
    ASSERT_EQ(catalog_->AddFeatureClass(kColor, 0, 0, 0), 0);
    ASSERT_EQ(catalog_->AddFeatureClass(kHistogram, 0, 0, 0), 0);
  }
  bool Has(const char* table, const char* key) { return RawGet(table, key).has_value(); }
};

constexpr const char* kColorTable = "ColorFeF.test";
constexpr const char* kHistTable = "ColorHiF.test";

TEST_F(RecordTest, CounterFollowsInsertsAndDeletes) {
  TestImage a(6, 4, 200, 10, 10), b(6, 4, 10, 200, 10), c(6, 4, 10, 10, 200);
  EXPECT_EQ(catalog_->AddRecord("a", a.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  EXPECT_EQ(catalog_->AddRecord("b", b.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  EXPECT_EQ(catalog_->AddRecord("c", c.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 3u);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kHistogram), 3u);
  EXPECT_EQ(RawGet(kColorTable, "b"), kvtest::ComputeBytes(kColor, b.get()));
  EXPECT_EQ(catalog_->DeleteRecord("b", static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 2u);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kHistogram), 2u);
  EXPECT_FALSE(Has(kColorTable, "b"));
  EXPECT_FALSE(Has(kHistTable, "b"));
  EXPECT_EQ(catalog_->KeyExists("a"), True);
  EXPECT_EQ(catalog_->KeyExists("b"), False);
}

TEST_F(RecordTest, InsertStopsBeforeWritingWhenOneClassHasTheKey) {
  TestImage image(4, 4, 50, 60, 70);
  ASSERT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, kHistogram), 0);
  kvtest::ClearError();
  EXPECT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, nullptr), 4);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_CatPrecheck);
  EXPECT_STREQ(GetErrorMSG(), "KvCatCls AddRecord: precheck failed with key k for KvColorHistogramFeatureClass with rc 4.");
  EXPECT_FALSE(Has(kColorTable, "k"));  // the class listed first was not written
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 0u);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kHistogram), 1u);
}

TEST_F(RecordTest, IncrementalUpdate) {
  TestImage image(4, 4, 50, 60, 70);
  kvtest::ClearError();
  EXPECT_EQ(catalog_->AddRecord("new", image.get(), nullptr, KV_MODE_INCREMENTAL, nullptr), 6);
  EXPECT_STREQ(GetErrorMSG(), "KvCatCls AddRecord: precheck failed with key new for ALL features with rc 6.");
  EXPECT_FALSE(Has(kColorTable, "new"));

  ASSERT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, kColor), 0);
  TestImage other(4, 4, 1, 1, 1);
  EXPECT_EQ(catalog_->AddRecord("k", other.get(), nullptr, KV_MODE_INCREMENTAL, nullptr), 0);
  EXPECT_EQ(RawGet(kColorTable, "k"), kvtest::ComputeBytes(kColor, image.get()));  // left alone
  EXPECT_EQ(RawGet(kHistTable, "k"), kvtest::ComputeBytes(kHistogram, other.get()));
  // Present everywhere: nothing to do.
  EXPECT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INCREMENTAL, nullptr), 0);
  EXPECT_EQ(RawGet(kHistTable, "k"), kvtest::ComputeBytes(kHistogram, other.get()));
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 1u);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kHistogram), 1u);
}

TEST_F(RecordTest, UpdateNeedsTheRecord) {
  TestImage image(4, 4, 50, 60, 70), other(4, 4, 90, 0, 0);
  ASSERT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, kColor), 0);
  kvtest::ClearError();
  EXPECT_EQ(catalog_->AddRecord("k", other.get(), nullptr, KV_MODE_UPDATE, nullptr), 5);
  EXPECT_STREQ(GetErrorMSG(), "KvCatCls AddRecord: precheck failed with key k for KvColorHistogramFeatureClass with rc 5.");
  EXPECT_EQ(RawGet(kColorTable, "k"), kvtest::ComputeBytes(kColor, image.get()));
  EXPECT_EQ(catalog_->AddRecord("k", other.get(), nullptr, KV_MODE_UPDATE, kColor), 0);
  EXPECT_EQ(RawGet(kColorTable, "k"), kvtest::ComputeBytes(kColor, other.get()));
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 1u);
}

TEST_F(RecordTest, ForceUpdateReplacesAndInserts) {
  TestImage image(4, 4, 50, 60, 70), other(4, 4, 90, 0, 0);
  ASSERT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, kColor), 0);
  EXPECT_EQ(catalog_->AddRecord("k", other.get(), nullptr, KV_MODE_FORCE_UPDATE, nullptr), 0);
  EXPECT_EQ(RawGet(kColorTable, "k"), kvtest::ComputeBytes(kColor, other.get()));
  EXPECT_EQ(RawGet(kHistTable, "k"), kvtest::ComputeBytes(kHistogram, other.get()));
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 1u);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kHistogram), 1u);
}

TEST_F(RecordTest, UndecodableOldRecordFailsTheUpdate) {
  TestImage image(4, 4, 50, 60, 70);
  ASSERT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  RawPut(kColorTable, "k", "short");
  kvtest::ClearError();
  EXPECT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_UPDATE, nullptr), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_CatAddRecord);
  EXPECT_NE(std::strstr(GetErrorMSG(), "Update with key k for KvColorFeatureClass failed"), nullptr);
  EXPECT_EQ(RawGet(kColorTable, "k"), "short");
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 1u);
  EXPECT_EQ(RawGet(kHistTable, "k"), kvtest::ComputeBytes(kHistogram, image.get()));
  // Deletion cannot account for it either, and says so.
  EXPECT_EQ(catalog_->DeleteRecord("k", kColor), -1);
}

TEST_F(RecordTest, RefusesBadArguments) {
  TestImage image(4, 4, 1, 2, 3);
  std::string many;
  for (int i = 0; i < 65; ++i) many += std::string(kColor) + " ";
  kvtest::ClearError();
  EXPECT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, many.c_str()), -1);
  EXPECT_NE(std::strstr(GetErrorMSG(), "at most 64"), nullptr);
  EXPECT_EQ(catalog_->AddRecord("k", image.get(), nullptr, 4, nullptr), -1);
  EXPECT_EQ(catalog_->AddRecord("", image.get(), nullptr, KV_MODE_INSERT, nullptr), -1);
  EXPECT_EQ(catalog_->AddRecord("k", nullptr, nullptr, KV_MODE_INSERT, nullptr), -1);
  EXPECT_FALSE(Has(kColorTable, "k"));
  // A class named twice takes part once.
  EXPECT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, "KvColorFeatureClass KvColorFeatureClass"), 0);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 1u);
  // An unknown name is skipped (non-fatal in the factory).
  EXPECT_EQ(catalog_->AddRecord("j", image.get(), nullptr, KV_MODE_INSERT, "NoSuchClass KvColorFeatureClass"), 0);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 2u);
  // A class that is not in the catalog stops the precheck with 2.
  ASSERT_EQ(catalog_->DeleteFeatureClass(kHistogram), 0);
  EXPECT_EQ(catalog_->AddRecord("h", image.get(), nullptr, KV_MODE_INSERT, kHistogram), 2);
}

TEST_F(RecordTest, DeleteOfUnknownKey) {
  kvtest::ClearError();
  EXPECT_EQ(catalog_->DeleteRecord("nokey", static_cast<const char*>(nullptr)), 2);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  EXPECT_STREQ(GetErrorMSG(), "KIVO error: Key nokey not found in catalog\n");
  EXPECT_EQ(catalog_->DeleteRecord("nokey", kColor), 1);

  std::unique_ptr<KvFeatureClass> color(KvCreateFeatureClass(kColor));
  KvFeatureClass* objects[] = {color.get(), nullptr};
  EXPECT_EQ(catalog_->DeleteRecord("nokey", objects, 2), 1);
  TestImage image(4, 4, 1, 2, 3);
  ASSERT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  EXPECT_EQ(catalog_->DeleteRecord("k", objects, 1), 0);
  EXPECT_FALSE(Has(kColorTable, "k"));
  EXPECT_TRUE(Has(kHistTable, "k"));
}

TEST_F(RecordTest, WholeImagesAndSubPartsKeepToTheirTables) {
  KV_REQUIRE_FEATURE(kColorSub);
  ASSERT_EQ(catalog_->AddFeatureClass(kColorSub, 0, 0, 0), 0);
  const std::string subTable = TableOf(kColorSub);
  EXPECT_EQ(subTable, "ColorSuP.test");
  TestImage whole(6, 4, 10, 20, 30), part(6, 4, 10, 20, 30, true);
  ASSERT_EQ(catalog_->AddRecord("w", whole.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  ASSERT_EQ(catalog_->AddRecord("p", part.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  EXPECT_TRUE(Has(kColorTable, "w"));
  EXPECT_FALSE(Has(subTable.c_str(), "w"));
  EXPECT_TRUE(Has(subTable.c_str(), "p"));
  EXPECT_FALSE(Has(kColorTable, "p"));
  EXPECT_FALSE(Has(kHistTable, "p"));
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColorSub), 1u);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 1u);
  // Whole-image deletion does not look at sub-part tables.
  EXPECT_EQ(catalog_->DeleteRecord("p", static_cast<const char*>(nullptr)), 2);
  EXPECT_TRUE(Has(subTable.c_str(), "p"));
}

TEST_F(RecordTest, GetFeatureHandsOutOwnedCopies) {
  TestImage a(4, 4, 200, 0, 0), b(4, 4, 0, 200, 0);
  ASSERT_EQ(catalog_->AddRecord("a", a.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  ASSERT_EQ(catalog_->AddRecord("b", b.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  KvDatumClass first, second;
  ASSERT_EQ(catalog_->GetFeature("a", kColor, first), 0);
  ASSERT_EQ(catalog_->GetFeature("b", kColor, second), 0);
  EXPECT_EQ(first.BytesOwnership(), KvOwnKvDelete);
  EXPECT_EQ(kvtest::Bytes(first), kvtest::ComputeBytes(kColor, a.get()));
  EXPECT_EQ(kvtest::Bytes(second), kvtest::ComputeBytes(kColor, b.get()));

  kvtest::ClearError();
  EXPECT_EQ(catalog_->GetFeature("zz", kColor, first), 1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_FeatTableGet);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);

  std::unique_ptr<KvFeatureClass> decoded(KvCreateFeatureClass(kColor));
  ASSERT_EQ(catalog_->GetFeature("b", decoded.get()), 0);
  KvDatumClass bytes;
  ASSERT_EQ(decoded->ToByteString(bytes), 0);
  EXPECT_EQ(kvtest::Bytes(bytes), kvtest::ComputeBytes(kColor, b.get()));
  ASSERT_EQ(catalog_->DeleteFeatureClass(kHistogram), 0);
  std::unique_ptr<KvFeatureClass> histogram(KvCreateFeatureClass(kHistogram));
  EXPECT_NE(catalog_->GetFeature("b", histogram.get()), 0);
  EXPECT_FALSE(Exists(kHistTable));
}

TEST_F(RecordTest, AddFeatureRecordsFillsTheCallersArrays) {
  // A fresh catalog gets every whole-image class of the factory.
  for (const char* name : {"KvDrawFeatureClass", kvtest::kText, kvtest::kTexture}) KV_REQUIRE_FEATURE(name);
  ASSERT_EQ(catalog_->CreateCatalog("fresh", 0, 0), 0);
  KvFeatureClass* features[kKvCatalogMaxClasses] = {};
  KvParameterClass* parameters[kKvCatalogMaxClasses] = {};
  int count = 0;
  TestImage image(32, 32, 9, 8, 7);
  image.get()->SetKeywordText("red car");
  ASSERT_EQ(catalog_->AddFeatureRecords("k", image.get(), features, parameters, &count, KV_MODE_INSERT), 0);
  ASSERT_GT(count, 0);
  std::string listed;
  for (int i = 0; i < count; ++i) {
    ASSERT_NE(features[i], nullptr);
    EXPECT_EQ(std::strstr(features[i]->GetClassName(), "SubPart"), nullptr);
    ASSERT_NE(parameters[i], nullptr);
    EXPECT_NE(parameters[i], features[i]->GetParameters());  // the caller's own copy
    listed += std::string(features[i]->GetClassName()) + " ";
  }
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 1u);
  // Inserting again names the first class that has the record.
  kvtest::ClearError();
  EXPECT_EQ(catalog_->AddFeatureRecords("k", image.get(), features, parameters, &count, KV_MODE_INSERT), 1);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  EXPECT_STREQ(GetErrorMSG(), (std::string("KIVO error: ") + features[0]->GetClassName() + " record is present").c_str());
  // Update and force update keep one record per class.
  EXPECT_EQ(catalog_->AddFeatureRecords("k", image.get(), features, parameters, &count, KV_MODE_UPDATE), 0);
  EXPECT_EQ(catalog_->AddFeatureRecords("k", image.get(), features, parameters, &count, KV_MODE_FORCE_UPDATE), 0);
  EXPECT_EQ(catalog_->AddFeatureRecords("k", image.get(), features, parameters, &count, KV_MODE_INCREMENTAL), 0);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 1u);
  kvtest::ClearError();
  EXPECT_EQ(catalog_->AddFeatureRecords("new", image.get(), features, parameters, &count, KV_MODE_UPDATE), 1);
  EXPECT_NE(std::strstr(GetErrorMSG(), "record is missing"), nullptr);
  EXPECT_EQ(catalog_->DeleteRecord("k", features, count), 0);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 0u);
  for (int i = 0; i < count; ++i) {
    delete features[i];
    delete parameters[i];
  }
}

// An image without keywords has no text record: every mode leaves the text
// class out instead of failing on it.
TEST_F(RecordTest, ImagesWithoutKeywordsSkipTheTextFeature) {
  KV_REQUIRE_FEATURE(kvtest::kText);
  ASSERT_EQ(catalog_->AddFeatureClass(kvtest::kText, 0, 0, 0), 0);
  const std::string textTable = TableOf(kvtest::kText);
  TestImage bare(4, 4, 1, 2, 3), worded(4, 4, 1, 2, 3);
  worded.get()->SetKeywordText("red car");
  for (int mode : {KV_MODE_INSERT, KV_MODE_UPDATE, KV_MODE_FORCE_UPDATE, KV_MODE_INCREMENTAL}) {
    EXPECT_EQ(catalog_->AddRecord("bare", bare.get(), nullptr, mode, nullptr), 0) << mode;
  }
  EXPECT_FALSE(Has(textTable.c_str(), "bare"));
  EXPECT_TRUE(Has(kColorTable, "bare"));
  EXPECT_EQ(catalog_->GetGlobalCounter1(kvtest::kText), 0u);

  KvFeatureClass* features[kKvCatalogMaxClasses] = {};
  int count = 0;
  for (int mode : {KV_MODE_UPDATE, KV_MODE_FORCE_UPDATE, KV_MODE_INCREMENTAL}) {
    EXPECT_EQ(catalog_->AddFeatureRecords("bare", bare.get(), features, nullptr, &count, mode), 0) << mode;
  }
  EXPECT_EQ(catalog_->DeleteRecord("bare", static_cast<const char*>(nullptr)), 0);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 0u);
  for (int i = 0; i < count; ++i) delete features[i];

  ASSERT_EQ(catalog_->AddRecord("worded", worded.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  EXPECT_TRUE(Has(textTable.c_str(), "worded"));
  EXPECT_EQ(catalog_->GetGlobalCounter1(kvtest::kText), 1u);
}

}  // namespace
