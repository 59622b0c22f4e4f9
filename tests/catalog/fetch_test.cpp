// Data objects of kinds 'e' and 's' fetch their stored feature through the
// process-wide connection and a catalog.
#include <string>

#include "CatalogFixture.h"
#include "core/KvEnv.h"

namespace {

using kvtest::kColor;
using kvtest::TestImage;

class PlainData : public KvGenericDataClass {
 public:
  int EncodeSubPartDef(KvDatumClass&) const override { return -1; }
  int DecodeSubPartDef(const KvDatumClass&) override { return -1; }
};

std::string QueryText(int type, const char* catalog, const char* key, const char* sampler = nullptr) {
  PlainData d;
  d.SetType(type);
  d.SetCatalogName(catalog);
  d.SetKey(key);
  d.SetSamplerName(sampler);
  KvDatumClass out;
  EXPECT_EQ(d.ToQueryString(out), 0);
  return kvtest::Bytes(out);
}

int Parse(PlainData& d, const std::string& text, const char* feature) {
  KvDatumClass in;
  kvtest::SetText(in, text);
  return d.FromQueryString(in, feature);
}

TEST(CatalogFetch, RecordAndSamplerObjectsReadStoredBytes) {
  KV_REQUIRE_FEATURE(kColor);
  kvtest::TempDir dir("fetch");
  const KvConnectClass* connection = KvGetConnection("w", dir.path().c_str(), nullptr);
  ASSERT_NE(connection, nullptr);
  ASSERT_STREQ(connection->GetDirectory(), dir.path().c_str());
  std::unique_ptr<KvCatalogClass> catalog(connection->NewCatalog());
  ASSERT_EQ(catalog->CreateCatalog("fcat", 0, 0), 0);
  ASSERT_EQ(catalog->AddFeatureClass(kColor, 0, 0, 0), 0);
  TestImage image(4, 4, 120, 30, 200), other(4, 4, 1, 2, 3);
  ASSERT_EQ(catalog->AddRecord("img01", image.get(), nullptr, KV_MODE_INSERT, nullptr), 0);
  ASSERT_EQ(catalog->AddSampler("samp", kColor), 0);
  ASSERT_EQ(catalog->AddSamplerRecords("img01", "samp", other.get(), nullptr, KV_MODE_INSERT), 0);
  const std::string stored = kvtest::ComputeBytes(kColor, image.get());
  const std::string sampled = kvtest::ComputeBytes(kColor, other.get());

  PlainData e;
  ASSERT_EQ(Parse(e, QueryText(KV_DATA_RECORD, "fcat", "img01"), kColor), 0);
  EXPECT_EQ(e.GetType(), KV_DATA_RECORD);
  EXPECT_STREQ(e.GetKey(), "img01");
  EXPECT_EQ(kvtest::Bytes(e.GetFeatureDatum()), stored);
  EXPECT_EQ(e.GetCatalogName(), nullptr);  // the catalog name is not kept
  std::unique_ptr<KvFeatureClass> decoded(KvCreateFeatureClass(kColor));
  EXPECT_EQ(decoded->FromByteString(e.GetFeatureDatum()), 0);

  // The image data object, as query evaluation uses it: the feature decodes
  // the fetched bytes instead of computing from pixels.
  KvGenericImageDataClass query;
  KvDatumClass text;
  kvtest::SetText(text, QueryText(KV_DATA_RECORD, "fcat", "img01"));
  ASSERT_EQ(query.FromQueryString(text, kColor), 0);
  std::unique_ptr<KvFeatureClass> fromQuery(KvCreateFeatureClass(kColor));
  ASSERT_EQ(fromQuery->ComputeFeature(&query, fromQuery->GetParameters()), 0);
  KvDatumClass again;
  ASSERT_EQ(fromQuery->ToByteString(again), 0);
  EXPECT_EQ(kvtest::Bytes(again), stored);

  // Re-fetch once the catalog name is set.
  e.GetFeatureDatum().Clear();
  e.SetCatalogName("fcat");
  ASSERT_EQ(e.FromQueryString(kColor), 0);
  EXPECT_EQ(kvtest::Bytes(e.GetFeatureDatum()), stored);

  PlainData s;
  ASSERT_EQ(Parse(s, QueryText(KV_DATA_SAMPLER, "fcat", "img01", "samp"), kColor), 0);
  EXPECT_EQ(s.GetType(), KV_DATA_SAMPLER);
  EXPECT_STREQ(s.GetKey(), "img01");
  EXPECT_EQ(kvtest::Bytes(s.GetFeatureDatum()), sampled);
  s.GetFeatureDatum().Clear();
  s.SetCatalogName("fcat");
  ASSERT_EQ(s.FromQueryString("samp"), 0);  // the argument names the sampler
  EXPECT_EQ(kvtest::Bytes(s.GetFeatureDatum()), sampled);

  // Failures pass the catalog's code through and keep the key unset.
  const struct {
    std::string text;
    const char* feature;
    int expected;
    KERR_Type code;
  } bad[] = {
      {QueryText(KV_DATA_RECORD, "fcat", "nokey"), kColor, 1, KERR_FeatTableGet},
      {QueryText(KV_DATA_RECORD, "nocat", "img01"), kColor, -1, KERR_FeatTableOpen},
      {QueryText(KV_DATA_RECORD, "a/b", "img01"), kColor, -1, KERR_General},
      {QueryText(KV_DATA_RECORD, "fcat", "img01"), "NoSuchFeatureClass", -1, KERR_UnknownFeatureClass},
      {QueryText(KV_DATA_RECORD, "fcat", "img01"), nullptr, -1, KERR_UnknownFeatureClass},
      {QueryText(KV_DATA_SAMPLER, "fcat", "nokey", "samp"), kColor, 1, KERR_SamplerGet},
      {QueryText(KV_DATA_SAMPLER, "fcat", "img01", "nosamp"), kColor, -1, KERR_SamplerOpen},
  };
  for (const auto& b : bad) {
    PlainData d;
    kvtest::ClearError();
    EXPECT_EQ(Parse(d, b.text, b.feature), b.expected) << b.text;
    EXPECT_EQ(GetErrorMSGNumber(), b.code) << b.text;
    EXPECT_EQ(d.GetKey(), nullptr) << b.text;
    EXPECT_EQ(d.GetFeatureDatum().Size(), 0u) << b.text;
  }
  struct stat info;
  EXPECT_NE(::stat(dir.File("nosamp.sam").c_str(), &info), 0);

  catalog.reset();
  EXPECT_EQ(KvDestroyConnection(connection), 0);
}

}  // namespace
