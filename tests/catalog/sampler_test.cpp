// Samplers: the database-wide index, sampler tables and their records.
#include <cstring>
#include <string>

#include "CatalogFixture.h"

namespace {

using kvtest::kColor;
using kvtest::kHistogram;
using kvtest::TestImage;

class SamplerTest : public kvtest::CatalogTest {
 protected:
  std::string Samplers() {
    KvDatumClass out;
    EXPECT_EQ(catalog_->ListSamplers(out), 0);
    return kvtest::Bytes(out);
  }
};

TEST_F(SamplerTest, IndexListsAndForgetsSamplers) {
  KV_REQUIRE_FEATURE(kColor);
  KV_REQUIRE_FEATURE(kHistogram);
  EXPECT_EQ(Samplers(), "");
  ASSERT_EQ(catalog_->AddSampler("zeta", kHistogram), 0);
  ASSERT_EQ(catalog_->AddSampler("alpha", kColor), 0);
  EXPECT_TRUE(Exists("alpha.sam"));
  EXPECT_EQ(Samplers(), "alpha:KvColorFeatureClass zeta:KvColorHistogramFeatureClass ");
  kvtest::ClearError();
  EXPECT_EQ(catalog_->AddSampler("alpha", kHistogram), 1);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  EXPECT_EQ(catalog_->AddSampler("beta", ""), -1);
  EXPECT_EQ(catalog_->AddSampler("beta", "NoSuchFeatureClass"), -1);

  KvStringClass feature(64ul);
  std::unique_ptr<KvDatabaseClass> table(connection_->NewDatabase());
  ASSERT_EQ(catalog_->GetSamplerFeatureName("zeta", table.get(), feature), 0);
  EXPECT_STREQ(feature.c_str(), kHistogram);

  EXPECT_EQ(catalog_->DeleteSampler("zeta"), 0);
  EXPECT_FALSE(Exists("zeta.sam"));
  EXPECT_EQ(catalog_->DeleteSampler("alpha"), 0);
  EXPECT_EQ(Samplers(), "");
  EXPECT_FALSE(Exists("SampIdx"));
  kvtest::ClearError();
  EXPECT_EQ(catalog_->DeleteSampler("alpha"), 1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_SamplerGet);
  EXPECT_EQ(catalog_->GetSamplerFeatureName("alpha", table.get(), feature), 1);
  TestImage image(4, 4, 1, 2, 3);
  EXPECT_EQ(catalog_->AddSamplerRecords("k", "alpha", image.get(), nullptr, KV_MODE_INSERT), -1);
  EXPECT_FALSE(Exists("SampIdx"));  // looking for samplers makes no files
}

TEST_F(SamplerTest, RecordsByMode) {
  KV_REQUIRE_FEATURE(kColor);
  KV_REQUIRE_FEATURE(kHistogram);
  ASSERT_EQ(catalog_->AddSampler("sa", kColor), 0);
  ASSERT_EQ(catalog_->AddSampler("sb", kHistogram), 0);
  TestImage first(4, 4, 100, 0, 0), second(4, 4, 0, 0, 100);
  ASSERT_EQ(catalog_->AddSamplerRecords("k", "sa sb", first.get(), nullptr, KV_MODE_INSERT), 0);
  EXPECT_EQ(RawGet("sa.sam", "k"), kvtest::ComputeBytes(kColor, first.get()));
  EXPECT_EQ(RawGet("sb.sam", "k"), kvtest::ComputeBytes(kHistogram, first.get()));
  kvtest::ClearError();
  EXPECT_EQ(catalog_->AddSamplerRecords("k", "sa", second.get(), nullptr, KV_MODE_INSERT), 1);
  EXPECT_STREQ(GetErrorMSG(), "KvCatCls: Insert in sampler sa with key k failed with rc 1.");
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  ASSERT_EQ(catalog_->AddSamplerRecords("k", "sa", second.get(), nullptr, KV_MODE_UPDATE), 0);
  EXPECT_EQ(RawGet("sa.sam", "k"), kvtest::ComputeBytes(kColor, second.get()));
  EXPECT_EQ(catalog_->AddSamplerRecords("k", nullptr, second.get(), nullptr, KV_MODE_UPDATE), 0);
  EXPECT_EQ(catalog_->AddSamplerRecords("k", "nosuch", second.get(), nullptr, KV_MODE_UPDATE), -1);
  EXPECT_FALSE(Exists("nosuch.sam"));

  KvDatumClass bytes;
  ASSERT_EQ(catalog_->GetSamplerRecord("k", "sa", bytes), 0);
  EXPECT_EQ(kvtest::Bytes(bytes), kvtest::ComputeBytes(kColor, second.get()));
  EXPECT_EQ(catalog_->GetSamplerRecord("absent", "sa", bytes), 1);
  EXPECT_NE(catalog_->GetSamplerRecord("k", "nosuch", bytes), 0);
  EXPECT_FALSE(Exists("nosuch.sam"));

  std::unique_ptr<KvFeatureClass> color(KvCreateFeatureClass(kColor));
  ASSERT_EQ(catalog_->GetSamplerFeature("k", "sa", color.get()), 0);
  KvDatumClass decoded;
  ASSERT_EQ(color->ToByteString(decoded), 0);
  EXPECT_EQ(kvtest::Bytes(decoded), kvtest::ComputeBytes(kColor, second.get()));
  EXPECT_EQ(catalog_->GetSamplerFeature("k", "sb", color.get()), -1);  // holds another class

  // Sampler records leave the catalog's global information alone.
  ASSERT_EQ(catalog_->AddFeatureClass(kColor, 0, 0, 0), 0);
  ASSERT_EQ(catalog_->AddSamplerRecords("k2", "sa", first.get(), nullptr, KV_MODE_INSERT), 0);
  EXPECT_EQ(catalog_->GetGlobalCounter1(kColor), 0u);

  EXPECT_EQ(catalog_->DeleteSamplerRecords("k", "sa sb"), 0);
  EXPECT_FALSE(RawGet("sa.sam", "k").has_value());
  EXPECT_FALSE(RawGet("sb.sam", "k").has_value());
  kvtest::ClearError();
  EXPECT_EQ(catalog_->DeleteSamplerRecords("k", "sa"), -1);
  EXPECT_STREQ(GetErrorMSG(), "KvCatCls: Delete from sampler sa with key k failed with rc 1.");
  EXPECT_EQ(catalog_->DeleteSamplerRecords("k", "nosuch"), -1);
  EXPECT_FALSE(Exists("nosuch.sam"));
}

}  // namespace
