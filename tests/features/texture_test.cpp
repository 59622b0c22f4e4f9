// The texture feature class: byte string, catalog statistics, weights and
// distance.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "KvTestUtil.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeatureFactories.h"
#include "features/KvTextFeature.h"
#include "features/KvTextureFeature.h"

namespace {

KvTextureValues Values(int32_t flags, int32_t coarseness, int32_t contrast, int32_t directionality) {
  KvTextureValues v;
  v.flags = flags;
  v.coarseness = coarseness;
  v.contrast = contrast;
  v.directionality = directionality;
  return v;
}

// A fresh 260-byte global information block (all NUL, as the catalog makes it).
struct Info {
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kKvTextureGlobalInfoSize, 0);
  KvDatumClass datum;
  Info() { datum.SetBytes(bytes.size(), bytes.data(), KvOwnNone); }
  std::string Text() const { return std::string(reinterpret_cast<const char*>(bytes.data())); }
  void SetPart(const std::string& part) {
    std::fill(bytes.begin() + 77, bytes.end(), 0);
    std::copy(part.begin(), part.begin() + std::min<size_t>(part.size(), 182), bytes.begin() + 77);
  }
};

void Apply(Info& info, const KvTextureValues& v, int action) {
  KvTextureFeatureClass f;
  f.SetValues(v);
  ASSERT_EQ(f.UpdateGlobalInfo(info.datum, action), 0);
}

TEST(TextureFeature, ClassValues) {
  std::unique_ptr<KvFeatureClass> f(NewKvTextureFeatureClass());
  std::unique_ptr<KvFeatureClass> s(NewKvTextureSubPartFeatureClass());
  ASSERT_NE(f, nullptr);
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(f->IsValid());
  ASSERT_TRUE(s->IsValid());
  EXPECT_EQ(f->GetByteStringSize(), 16u);
  EXPECT_EQ(f->GetNumberOfElements(), 3u);
  EXPECT_EQ(f->GetGlobalInfoSize(), 260u);
  EXPECT_EQ(f->IsSubPartFeature(), False);
  EXPECT_EQ(s->IsSubPartFeature(), True);
  EXPECT_FALSE(s->IsClass("KvTextureFeatureClass"));
  EXPECT_EQ(f->GetParameters(), s->GetParameters());
  const KvParameterClass* parms = f->GetParameters();
  ASSERT_EQ(parms->GetCount(), 3u);
  EXPECT_STREQ(parms->GetName(0), "Coarseness");
  EXPECT_STREQ(parms->GetName(1), "Contrast");
  EXPECT_STREQ(parms->GetName(2), "Directionality");
  for (uint32_t i = 0; i < 3; ++i) EXPECT_STREQ(parms->GetValue(i), "v");
}

TEST(TextureFeature, UniformGrayImage) {
  std::vector<unsigned char> pixels(40 * 30, 7), palette(768, 0), mask(40 * 30, 0xFF);
  palette[7] = palette[263] = palette[519] = 90;
  KvGenericImageDataClass image;
  ASSERT_EQ(image.GetImageDataFromMemory(40, 30, pixels.data(), palette.data(), mask.data(), False, False), 0);
  KvTextureFeatureClass f;
  ASSERT_EQ(f.ComputeFeature(&image, nullptr), 0);
  EXPECT_EQ(f.GetValues().contrast, 100);
  EXPECT_EQ(f.GetValues().directionality, 900);
  EXPECT_EQ(f.GetValues().coarseness, 100);
  KvDatumClass ascii;
  ASSERT_EQ(f.ToAsciiString(ascii), 0);
  EXPECT_EQ(kvtest::Bytes(ascii), "      100       100       900");

  std::fill(mask.begin(), mask.end(), 0);
  kvtest::ClearError();
  EXPECT_EQ(f.ComputeFeature(&image, nullptr), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_NoPixels);
  EXPECT_EQ(f.GetValues().contrast, 0);  // computing clears the values first
}

TEST(TextureFeature, ComputeFrontRefusals) {
  KvTextureFeatureClass f;
  KvTextFeatureClass text;
  KvGenericImageDataClass odd;
  odd.SetType('x');
  kvtest::ClearError();
  EXPECT_EQ(f.ComputeFeature(&odd, nullptr), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_UnknownDataType);
  EXPECT_STREQ(GetErrorMSG(), "KvTextureFeatureClass::ComputeFeature found unknown generic data type 120.");
  kvtest::ClearError();
  EXPECT_EQ(f.ComputeFeature(nullptr, nullptr), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_Coerce);
  EXPECT_STREQ(GetErrorMSG(),
               "KvTextureFeatureClass::ComputeFeature coerce failed from type KvGenericDataClass to type "
               "KvGenericImageDataClass.");

  KvTextureFeatureClass stored;
  stored.SetValues(Values(0, 250, 3000, 420));
  KvGenericImageDataClass record;
  record.SetType(KV_DATA_SAMPLER);
  ASSERT_EQ(stored.ToByteString(record.GetFeatureDatum()), 0);
  ASSERT_EQ(f.ComputeFeature(&record, nullptr), 0);
  EXPECT_EQ(f.GetValues().contrast, 3000);
}

TEST(TextureFeature, ByteStringRoundTripAndBadLengths) {
  const KvTextureValues cases[] = {Values(0, 0, 0, 0), Values(1, -1, INT32_MAX, INT32_MIN), Values(0, 800, 12750, 464)};
  for (const KvTextureValues& v : cases) {
    KvTextureFeatureClass f;
    f.SetValues(v);
    KvDatumClass bytes;
    ASSERT_EQ(f.ToByteString(bytes), 0);
    ASSERT_EQ(bytes.Size(), 16u);
    KvTextureFeatureClass back;
    ASSERT_EQ(back.FromByteString(bytes), 0);
    EXPECT_EQ(back.GetValues().flags, v.flags);
    EXPECT_EQ(back.GetValues().coarseness, v.coarseness);
    EXPECT_EQ(back.GetValues().contrast, v.contrast);
    EXPECT_EQ(back.GetValues().directionality, v.directionality);
  }
  KvTextureFeatureClass f;
  f.SetValues(Values(0, -1, 2, 3));
  KvDatumClass bytes;
  ASSERT_EQ(f.ToByteString(bytes), 0);
  EXPECT_EQ(kvtest::Bytes(bytes), std::string("\0\0\0\0\xff\xff\xff\xff\0\0\0\2\0\0\0\3", 16));
  const std::string good = kvtest::Bytes(bytes);
  for (size_t n = 0; n <= 20; ++n) {
    if (n == 16) continue;
    KvDatumClass bad;
    kvtest::SetText(bad, n <= 16 ? good.substr(0, n) : good + std::string(n - 16, '\0'));
    kvtest::ClearError();
    EXPECT_EQ(f.FromByteString(bad), -1) << n;
    EXPECT_EQ(GetErrorMSGNumber(), KERR_ByteStringSize);
    EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal);
    EXPECT_EQ(f.GetValues().coarseness, -1);
  }
  char expected[64];
  std::snprintf(expected, sizeof expected, "KvTxture: FromByteString read %d bytes, expected 16.", 20);
  EXPECT_STREQ(GetErrorMSG(), expected);
}

TEST(TextureFeature, GlobalInformationKeepsRunningSums) {
  Info info;
  Apply(info, Values(0, 200, 3000, 400), 0);
  const std::string afterFirst = info.Text();
  EXPECT_EQ(afterFirst.size(), 259u);
  EXPECT_EQ(afterFirst,
            "0000000001 0000000000 0000000000 0000000000 0000000000 0000000000 0000000000 "
            "  2.0000000000000000e+02   3.0000000000000000e+03   4.0000000000000000e+02 "
            "  4.0000000000000000e+04   9.0000000000000000e+06   1.6000000000000000e+05 "
            "0000000001 0000000001 0000000001");

  // Adding and deleting a second feature leaves the block as it was.
  Apply(info, Values(0, 123, 4567, 891), 0);
  EXPECT_NE(info.Text(), afterFirst);
  Apply(info, Values(0, 123, 4567, 891), 1);
  EXPECT_EQ(info.Text(), afterFirst);

  // A feature marked as left out changes the record count only.
  Apply(info, Values(1, 999, 999, 999), 0);
  EXPECT_EQ(info.Text().substr(0, 10), "0000000002");
  EXPECT_EQ(info.Text().substr(76), afterFirst.substr(76));

  // Other actions keep the texture part.
  Apply(info, Values(0, 5, 5, 5), 2);
  EXPECT_EQ(info.Text().substr(11, 10), "0000000001");
  EXPECT_EQ(info.Text().substr(76), afterFirst.substr(76));

  // Deleting from an empty block wraps the 32-bit counts.
  Info empty;
  Apply(empty, Values(0, 1, 1, 1), 1);
  EXPECT_EQ(empty.Text().substr(0, 10), "4294967295");
  EXPECT_EQ(empty.Text().substr(227), "4294967295 4294967295 4294967295");
}

TEST(TextureFeature, GarbledGlobalInformationReadsAsZero) {
  const struct {
    const char* part;
    double sum0;
    uint32_t count0;
  } cases[] = {
      {"garbage", 0, 0},
      {"1.5 two 3", 1.5, 0},
      {"nan inf -inf 1 2 3 4 5 6", 0, 4},
      {"1e999 1 1 1 1 1 7 7 7", 0, 7},
      {"1 2 3 4 5 6 -1 8 9", 1, 4294967295u},
      {"   ", 0, 0},
      {"1 2 3 4 5 6 99999999999999999999 1 1", 1, 4294967295u},
  };
  for (const auto& c : cases) {
    Info info;
    info.SetPart(c.part);
    const KvTextureStatistics s = KvReadTextureStatistics(info.datum);
    EXPECT_EQ(s.sum[0], c.sum0) << c.part;
    EXPECT_EQ(s.count[0], c.count0) << c.part;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isfinite(s.sum[i]) && std::isfinite(s.square[i])) << c.part;
    // Updating repairs the block into its fixed layout.
    Apply(info, Values(0, 1, 2, 3), 0);
    EXPECT_EQ(info.Text().size(), 259u) << c.part;
    KvParameterClass parms;
    KvTextureFeatureClass f;
    EXPECT_EQ(f.ParameterUpdateFromGlobalInfo(&parms, info.datum), 0);
  }
  // A block with the texture part cut off, or none at all.
  const unsigned char shortBlock[] = "0000000001";
  KvDatumClass cut;
  cut.SetBytes(sizeof shortBlock, const_cast<unsigned char*>(shortBlock), KvOwnNone);
  EXPECT_EQ(KvReadTextureStatistics(cut).count[0], 0u);
  KvTextureFeatureClass f;
  kvtest::ClearError();
  EXPECT_EQ(f.UpdateGlobalInfo(cut, 0), -1);
  KvDatumClass none;
  EXPECT_EQ(f.UpdateGlobalInfo(none, 0), -1);
}

TEST(TextureFeature, WeightsFromTheCatalogVariances) {
  KvTextureFeatureClass f;
  double w[3];
  auto weights = [&](KvParameterClass& parms) {
    for (int i = 0; i < 3; ++i) parms.GetParameterNumber(i == 0 ? "Coarseness" : i == 1 ? "Contrast" : "Directionality", &w[i]);
  };
  // A fresh catalog: counts 0, variances 1.
  {
    Info info;
    KvParameterClass parms;
    parms = *f.GetParameters();
    ASSERT_EQ(f.ParameterUpdateFromGlobalInfo(&parms, info.datum), 0);
    weights(parms);
    EXPECT_DOUBLE_EQ(w[0], 1.0);
    EXPECT_DOUBLE_EQ(w[1], 1.0);
    EXPECT_DOUBLE_EQ(w[2], 1.0);
    parms.SetParameter("Contrast", "2");
    parms.SetParameter("Directionality", "v3");
    ASSERT_EQ(f.ParameterUpdateFromGlobalInfo(&parms, info.datum), 0);
    weights(parms);
    EXPECT_DOUBLE_EQ(w[1], 2.0);
    EXPECT_DOUBLE_EQ(w[2], 3.0);
  }
  // Two stored features: variances (d / 2)^2 of each measure.
  {
    Info info;
    Apply(info, Values(0, 100, 1000, 300), 0);
    Apply(info, Values(0, 300, 1400, 300), 0);
    KvParameterClass parms;  // no texture parameters: "v" is assumed
    ASSERT_EQ(f.ParameterUpdateFromGlobalInfo(&parms, info.datum), 0);
    weights(parms);
    EXPECT_DOUBLE_EQ(w[0], 1.0 / 10000.0);
    EXPECT_DOUBLE_EQ(w[1], 1.0 / 40000.0);
    EXPECT_DOUBLE_EQ(w[2], 1.0);  // no spread: the factor itself
  }
  EXPECT_EQ(f.ParameterUpdateFromGlobalInfo(nullptr, KvDatumClass()), -1);
}

TEST(TextureFeature, DistanceIsWeightedAndFallsBackToDefaultWeights) {
  KvTextureFeatureClass q;
  KvTextureSubPartFeatureClass t;
  q.SetValues(Values(0, 100, 2000, 300));
  t.SetValues(Values(0, 500, 1000, 900));
  KvParameterClass parms;
  for (const char* name : {"Coarseness", "Contrast", "Directionality"}) parms.SetParameter(name, "0");
  Info info;
  ASSERT_EQ(q.ParameterUpdateFromGlobalInfo(&parms, info.datum), 0);
  const double expected = (400.0 * 400 / (800.0 * 800) + 1000.0 * 1000 / (12800.0 * 12800) +
                           600.0 * 600 / (1000.0 * 1000)) / 3;
  EXPECT_FLOAT_EQ(q.Distance(&t, &parms, -1), static_cast<float>(expected));
  double w = 0;
  parms.GetParameterNumber("Contrast", &w);
  EXPECT_DOUBLE_EQ(w, 1.0 / (12800.0 * 12800.0));  // written back
  // Either class of the pair on either side.
  EXPECT_FLOAT_EQ(t.Distance(&q, &parms, -1), static_cast<float>(expected));

  parms.SetParameterNumber("Coarseness", 1.0);
  parms.SetParameterNumber("Contrast", 0.0);
  parms.SetParameterNumber("Directionality", 0.0);
  EXPECT_FLOAT_EQ(q.Distance(&t, &parms, -1), 400.0f * 400.0f / 3.0f);

  // The weights are found by name whatever their order, from one set to the next.
  KvParameterClass reordered;
  reordered.SetParameter("Other", "1");
  reordered.SetParameter("Directionality", "x");
  reordered.SetParameter("Coarseness", "x");
  reordered.SetParameterNumber("Other", 5.0);
  reordered.SetParameterNumber("Directionality", 2.0);
  EXPECT_FLOAT_EQ(q.Distance(&t, &reordered, -1), 2.0f * 600.0f * 600.0f / 3.0f);
  EXPECT_FLOAT_EQ(q.Distance(&t, &parms, -1), 400.0f * 400.0f / 3.0f);

  // Extreme values do not overflow.
  q.SetValues(Values(0, INT32_MIN, 0, 0));
  t.SetValues(Values(0, INT32_MAX, 0, 0));
  EXPECT_FLOAT_EQ(q.Distance(&t, &parms, -1), static_cast<float>(4294967295.0 * 4294967295.0 / 3.0));

  KvTextFeatureClass text;
  kvtest::ClearError();
  EXPECT_FLOAT_EQ(q.Distance(&text, &parms, -1), -1.0f);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_Coerce2);
  EXPECT_STREQ(GetErrorMSG(),
               "KvTextureFeatureClass::Distance coerce failed from type KvFeatureClass to type "
               "KvTextureFeatureClass and type KvTextureSubPartFeatureClass.");
}

}  // namespace
