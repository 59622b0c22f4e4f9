// Catalogs, feature classes, names and global information.
#include <cstring>
#include <string>

#include "CatalogFixture.h"

namespace {

using kvtest::CatalogTest;
using kvtest::kColor;
using kvtest::kHistogram;

std::string Counters(unsigned c0, unsigned c1 = 0, unsigned c2 = 0, unsigned c3 = 0) {
  char text[100];
  std::snprintf(text, sizeof text, "%010u %010u %010u %010u 0000000000 0000000000 0000000000", c0, c1, c2, c3);
  return std::string(text) + std::string(1, '\0');
}

TEST_F(CatalogTest, NamesStayInsideTheDatabase) {
  const struct {
    std::string name;
    KERR_Type code;
  } bad[] = {
      {"", KERR_CatNull},
      {"../outside", KERR_General},
      {"a/b", KERR_General},
      {"a\\b", KERR_General},
      {std::string(kKvMaxCatalogNameLength + 1, 'c'), KERR_General},
  };
  for (const auto& b : bad) {
    kvtest::ClearError();
    EXPECT_EQ(catalog_->CreateCatalog(b.name.c_str(), 0, 0), -1) << b.name;
    EXPECT_EQ(GetErrorMSGNumber(), b.code) << b.name;
    EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal) << b.name;
  }
  EXPECT_EQ(catalog_->Open(nullptr), -1);
  EXPECT_EQ(catalog_->CreateCatalog(std::string(kKvMaxCatalogNameLength, 'c').c_str(), 0, 0), 0);
  // Nothing was made beside the database directory.
  struct stat info;
  EXPECT_NE(::stat((dir_.path() + "/../outside").c_str(), &info), 0);
  EXPECT_NE(::stat((dir_.path() + "/FeatIdx..").c_str(), &info), 0);

  const char* badSamplers[] = {"", "sixteen_chars_xx", "a/b", "a\\b", "a b"};
  for (const char* s : badSamplers) {
    EXPECT_EQ(catalog_->AddSampler(s, kColor), -1) << s;
  }
  KvStringClass name(64ul);
  EXPECT_EQ(catalog_->GetSamplerTableName("fifteen_chars_x", name), 0);
  EXPECT_STREQ(name.c_str(), "fifteen_chars_x.sam");
}

TEST_F(CatalogTest, OperationsNeedAnOpenCatalog) {
  ASSERT_EQ(catalog_->Close(), 0);
  KvDatumClass out;
  kvtest::ClearError();
  EXPECT_EQ(catalog_->ListFeatures(out), -1);
  EXPECT_NE(std::strstr(GetErrorMSG(), "catalog not opened"), nullptr);
  EXPECT_EQ(catalog_->AddRecord("k", nullptr, nullptr, 0, nullptr), -1);
}

TEST_F(CatalogTest, TableNames) {
  KV_REQUIRE_FEATURE(kColor);
  KvStringClass name(64ul);
  EXPECT_EQ(catalog_->GetFeatureCatalogName("test", name), 0);
  EXPECT_STREQ(name.c_str(), "FeatIdx.test");
  EXPECT_EQ(catalog_->GetSubPartCatalogName("test", name), 0);
  EXPECT_STREQ(name.c_str(), "SubPIdx.test");
  EXPECT_EQ(catalog_->GetFeatureTableName(kColor, name), 0);
  EXPECT_STREQ(name.c_str(), "ColorFeF.test");
  EXPECT_EQ(catalog_->GetFeatureIndexTableName(kColor, name), 0);
  EXPECT_STREQ(name.c_str(), "ColorFFX.test");
  EXPECT_EQ(catalog_->GetFeatureDistTableName(kColor, name), 0);
  EXPECT_STREQ(name.c_str(), "ColorFFD.test");
  EXPECT_EQ(catalog_->GetSamplerIndexName(name), 0);
  EXPECT_STREQ(name.c_str(), "SampIdx");
  EXPECT_EQ(catalog_->GetFeatureTableName("NoSuchFeatureClass", name), -1);
}

TEST_F(CatalogTest, FeatureClassesComeAndGo) {
  KV_REQUIRE_FEATURE(kColor);
  KV_REQUIRE_FEATURE(kHistogram);
  EXPECT_EQ(Listed(), "");
  ASSERT_EQ(catalog_->AddFeatureClass(kHistogram, 0, 0, 0), 0);
  ASSERT_EQ(catalog_->AddFeatureClass(kColor, 0, 0, 0), 0);
  EXPECT_EQ(Listed(), "KvColorFeatureClass KvColorHistogramFeatureClass ");
  EXPECT_TRUE(Exists("ColorFeF.test"));
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 0u);
  EXPECT_EQ(RawGet("FeatIdx.test", kColor), std::string(77, '\0'));

  // A second registration is harmless: severity 0, entry and table kept.
  kvtest::TestImage image(4, 4, 10, 20, 30);
  ASSERT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, kColor), 0);
  kvtest::ClearError();
  EXPECT_EQ(catalog_->AddFeatureClass(kColor, 0, 0, 0), 1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_CatInsert);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 1u);
  EXPECT_TRUE(RawGet("ColorFeF.test", "k").has_value());

  EXPECT_EQ(catalog_->DeleteFeatureClass(kColor), 0);
  EXPECT_EQ(Listed(), "KvColorHistogramFeatureClass ");
  EXPECT_FALSE(Exists("ColorFeF.test"));
  kvtest::ClearError();
  EXPECT_NE(catalog_->DeleteFeatureClass(kColor), 0);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_CatDeleteFeature);
}

// A build makes its catalog and registers its classes as one change: a
// failure (or a kill) before the end leaves no catalog at all.
TEST_F(CatalogTest, MakingACatalogWithItsClassesIsOneChange) {
  KV_REQUIRE_FEATURE(kColor);
  KV_REQUIRE_FEATURE(kHistogram);
  auto make = [&](int result) {
    return catalog_->AsOneChange([&]() -> int {
      if (catalog_->CreateCatalog("two", 0, 0) != 0 || catalog_->AddFeatureClass(kColor, 0, 0, 0) != 0 ||
          catalog_->AddFeatureClass(kHistogram, 0, 0, 0) != 0) {
        return -1;
      }
      // A class registered twice fails alone (severity 0): the others stay.
      EXPECT_EQ(catalog_->AddFeatureClass(kColor, 0, 0, 0), 1);
      return result;
    });
  };
  EXPECT_EQ(make(-1), -1);
  EXPECT_FALSE(Exists("FeatIdx.two"));
  EXPECT_FALSE(Exists("ColorFeF.two"));
  EXPECT_FALSE(Exists("ColorHiF.two"));
  EXPECT_EQ(make(0), 0);
  EXPECT_EQ(Listed(), "KvColorFeatureClass KvColorHistogramFeatureClass ");
  EXPECT_TRUE(Exists("ColorFeF.two"));
  EXPECT_TRUE(Exists("ColorHiF.two"));
  EXPECT_EQ(catalog_->GetGlobalCounter1(kHistogram), 0u);
}

TEST_F(CatalogTest, DeleteCatalogRemovesItsFiles) {
  KV_REQUIRE_FEATURE(kColor);
  ASSERT_EQ(catalog_->AddFeatureClass(kColor, 0, 0, 0), 0);
  kvtest::TestImage image(4, 4, 1, 2, 3);
  ASSERT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  ASSERT_EQ(catalog_->AddSampler("samp", kColor), 0);
  EXPECT_EQ(catalog_->DeleteCatalog("test"), 0);
  EXPECT_FALSE(Exists("FeatIdx.test"));
  EXPECT_FALSE(Exists("SubPIdx.test"));
  EXPECT_FALSE(Exists("ColorFeF.test"));
  EXPECT_TRUE(Exists("samp.sam"));  // samplers belong to the database
  kvtest::ClearError();
  KvDatumClass out;
  EXPECT_NE(catalog_->ListFeatures(out), 0);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_CatOpen);
}

TEST_F(CatalogTest, MissingClassHasNoGlobalInformation) {
  KV_REQUIRE_FEATURE(kColor);
  KvDatumClass out;
  out.CopyBytes("old", 3, "test");
  kvtest::ClearError();
  EXPECT_EQ(catalog_->GetGlobalFeatureInfo(kColor, out), 1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_CatNoFeature);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  EXPECT_STREQ(GetErrorMSG(), "KvCatCls: Feature KvColorFeatureClass not in catalog test.");
  EXPECT_EQ(out.Size(), 0u);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 0u);
  EXPECT_EQ(catalog_->GetGlobalFeatureInfo("NoSuchFeatureClass", out), -1);
}

TEST_F(CatalogTest, CounterReaders) {
  KV_REQUIRE_FEATURE(kColor);
  ASSERT_EQ(catalog_->AddFeatureClass(kColor, 0, 0, 0), 0);
  KvDatumClass block;
  kvtest::SetText(block, Counters(5, 6, 7, 4294967295u), false);
  ASSERT_EQ(block.Size(), 77u);
  ASSERT_EQ(catalog_->PutGlobalFeatureInfo(kColor, block), 0);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 5u);
  EXPECT_EQ(catalog_->GetGlobalCounter2(kColor), 6u);
  EXPECT_EQ(catalog_->GetGlobalCounter3(kColor), 7u);
  EXPECT_EQ(catalog_->GetGlobalCounter4(kColor), 4294967295u);
  // An empty block stores the zeroed block of the class.
  KvDatumClass empty;
  ASSERT_EQ(catalog_->PutGlobalFeatureInfo(kColor, empty), 0);
  EXPECT_EQ(RawGet("FeatIdx.test", kColor), std::string(77, '\0'));
  // A block of another size is refused and the stored one kept.
  KvDatumClass shortBlock;
  kvtest::SetText(shortBlock, "0000000001", true);
  EXPECT_EQ(catalog_->PutGlobalFeatureInfo(kColor, shortBlock), -1);
  EXPECT_EQ(RawGet("FeatIdx.test", kColor), std::string(77, '\0'));
}

TEST_F(CatalogTest, WidensOldGlobalBlocks) {
  KV_REQUIRE_FEATURE(kColor);
  ASSERT_EQ(catalog_->AddFeatureClass(kColor, 0, 0, 0), 0);
  RawPut("FeatIdx.test", kColor, std::string("0000000009 0000000002") + std::string(1, '\0'));
  KvDatumClass out;
  ASSERT_EQ(catalog_->GetGlobalFeatureInfo(kColor, out), 0);
  EXPECT_EQ(kvtest::Bytes(out), Counters(9, 2));
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 9u);
  EXPECT_EQ(catalog_->GetGlobalCounter2(kColor), 2u);
}

TEST_F(CatalogTest, WidensOldBlocksKeepingClassData) {
  KV_REQUIRE_FEATURE(kvtest::kTexture);
  ASSERT_EQ(catalog_->AddFeatureClass(kvtest::kTexture, 0, 0, 0), 0);
  std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(kvtest::kTexture));
  const size_t size = f->GetGlobalInfoSize();
  ASSERT_GT(size, 77u);
  std::string classData(size - 77, '\0');
  for (size_t i = 0; i < classData.size(); ++i) classData[i] = static_cast<char>('a' + i % 26);
  RawPut("FeatIdx.test", kvtest::kTexture, std::string("0000000004 0000000001") + std::string(1, '\0') + classData);
  KvDatumClass out;
  ASSERT_EQ(catalog_->GetGlobalFeatureInfo(kvtest::kTexture, out), 0);
  EXPECT_EQ(kvtest::Bytes(out), Counters(4, 1) + classData);
}

TEST_F(CatalogTest, GarbledGlobalBlocksAreRefused) {
  KV_REQUIRE_FEATURE(kColor);
  ASSERT_EQ(catalog_->AddFeatureClass(kColor, 0, 0, 0), 0);
  const struct {
    std::string stored;
    int expected;  // 0: read as a zeroed block
  } cases[] = {
      {std::string("0000000001"), -1},
      {std::string(50, '7'), -1},
      {std::string(76, '1'), -1},
      {std::string(78, '1'), -1},
      {std::string(400, '1'), -1},
      {std::string(1, '\0') + "garbage", 0},
  };
  for (const auto& c : cases) {
    RawPut("FeatIdx.test", kColor, c.stored);
    KvDatumClass out;
    kvtest::ClearError();
    EXPECT_EQ(catalog_->GetGlobalFeatureInfo(kColor, out), c.expected) << c.stored.size();
    if (c.expected == 0) {
      EXPECT_EQ(kvtest::Bytes(out), std::string(77, '\0'));
    } else {
      EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
      EXPECT_EQ(out.Size(), 0u);
      EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 0u);
    }
  }
  // A record cannot be added on top of a garbled block.
  RawPut("FeatIdx.test", kColor, std::string(30, '1'));
  kvtest::TestImage image(4, 4, 1, 2, 3);
  EXPECT_EQ(catalog_->AddRecord("k", image.get(), nullptr, KV_MODE_INSERT, nullptr), -1);
  EXPECT_FALSE(RawGet("ColorFeF.test", "k").has_value());
}

}  // namespace
