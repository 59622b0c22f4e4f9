// The average colour feature and the framework behaviour it shares.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "colour_test_support.h"
#include "core/KvBytes.h"
#include "data/KvParameter.h"
#include "features/KvColorFeature.h"
#include "features/KvColorHistogramFeature.h"
#include "features/KvColorSpace.h"
#include "features/KvFeatureFactories.h"

namespace {

using colourtest::DatumText;
using colourtest::LastError;
using colourtest::Lcg;
using colourtest::SetDatum;
using colourtest::TestImage;

// A data object that is not an image.
class PlainData : public KvGenericDataClass {
 public:
  int EncodeSubPartDef(KvDatumClass&) const override { return -1; }
  int DecodeSubPartDef(const KvDatumClass&) override { return -1; }
};

std::vector<unsigned char> ValueBytes(int32_t a, int32_t b, int32_t c) {
  std::vector<unsigned char> bytes(12);
  Encode32BE(bytes.data(), static_cast<uint32_t>(a));
  Encode32BE(bytes.data() + 4, static_cast<uint32_t>(b));
  Encode32BE(bytes.data() + 8, static_cast<uint32_t>(c));
  return bytes;
}

void SetValues(KvColorFeatureClass& f, int32_t a, int32_t b, int32_t c) {
  KvDatumClass d;
  SetDatum(d, ValueBytes(a, b, c));
  ASSERT_EQ(f.FromByteString(d), 0);
}

// Reference: the mean NewMTMV of the unmasked pixels, pixel by pixel.
void ReferenceMean(const TestImage& image, int32_t out[3]) {
  double sum[3] = {0, 0, 0};
  long count = 0;
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    if (image.mask[i] == 0) continue;
    const int p = image.pixels[i];
    const unsigned char r = image.palette[p], g = image.palette[256 + p], b = image.palette[512 + p];
    double c[3];
    rgbLutToNewMTMV(1, &r, &g, &b, &c[0], &c[1], &c[2]);
    for (int k = 0; k < 3; ++k) sum[k] += c[k];
    ++count;
  }
  for (int k = 0; k < 3; ++k) out[k] = static_cast<int32_t>(sum[k] / count * 16384);
}

}  // namespace

TEST(FeatureFramework, FactoriesMakeValidObjectsOfTheRightClass) {
  struct Case {
    KvFeatureClass* (*factory)();
    const char* name;
    unsigned long size;
    unsigned long elements;
    Boolean subPart;
  };
  const Case cases[] = {
      {NewKvColorFeatureClass, "KvColorFeatureClass", 12, 3, False},
      {NewKvColorSubPartFeatureClass, "KvColorSubPartFeatureClass", 12, 3, True},
      {NewKvColorHistogramFeatureClass, "KvColorHistogramFeatureClass", 516, 256, False},
      {NewKvColorHistogramSubPartFeatureClass, "KvColorHistogramSubPartFeatureClass", 516, 256, True},
  };
  for (const Case& c : cases) {
    std::unique_ptr<KvFeatureClass> f(c.factory());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->IsValid(), 1u);
    EXPECT_EQ(f->GetClassId(), 331007u);
    EXPECT_STREQ(f->GetClassName(), c.name);
    EXPECT_EQ(f->IsClass(c.name), 1);
    EXPECT_EQ(f->GetByteStringSize(), c.size);
    EXPECT_EQ(f->GetNumberOfElements(), c.elements);
    EXPECT_EQ(f->IsSubPartFeature(), c.subPart);
    EXPECT_EQ(f->GetGlobalInfoSize(), 77u);
    EXPECT_STREQ(f->GetDataClassName(), "KvGenericImageDataClass");
    EXPECT_STREQ(f->GetParameterClassName(), "KvParameterClass");
    EXPECT_EQ(f->GetDistanceHintForParameters(f.get(), nullptr, 1.0f), -1.0f);
    EXPECT_EQ(f->GetDistanceHintForTable(nullptr, nullptr, 0, "c", nullptr), -1.0f);
    EXPECT_EQ(f->SearchTable(nullptr, nullptr, 0, "c", nullptr, nullptr), -1);
  }
  KvColorSubPartFeatureClass sub;
  EXPECT_EQ(sub.IsClass("KvColorFeatureClass"), 0);
}

TEST(FeatureFramework, ClassWideDefaultsAddedOnceInOrder) {
  // Construct from several threads at once; the defaults appear once.
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 20; ++i) {
        std::unique_ptr<KvFeatureClass> a(NewKvColorHistogramFeatureClass());
        std::unique_ptr<KvFeatureClass> b(NewKvColorSubPartFeatureClass());
        ASSERT_EQ(a->IsValid(), 1u);
        ASSERT_EQ(b->IsValid(), 1u);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  KvColorHistogramFeatureClass h;
  KvColorHistogramSubPartFeatureClass hs;
  KvParameterClass* p = h.GetParameters();
  EXPECT_EQ(p, hs.GetParameters());
  ASSERT_EQ(p->GetCount(), 5u);
  const char* names[5] = {"HiLoCut", "LoMult", "HiMult", "MinPnltyPct", "Excess"};
  const char* texts[5] = {".05", "2.0", "1.0", ".05", ".15"};
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_STREQ(p->GetName(i), names[i]);
    EXPECT_STREQ(p->GetValue(i), texts[i]);
  }
  KvColorFeatureClass c;
  ASSERT_EQ(c.GetParameters()->GetCount(), 1u);
  EXPECT_STREQ(c.GetParameters()->GetName(0), "Noop");
  EXPECT_STREQ(c.GetParameters()->GetValue(0), ".");
}

TEST(FeatureFramework, GlobalInfoCounters) {
  KvColorFeatureClass f;
  std::vector<unsigned char> block(77, 0);
  KvDatumClass info;
  info.SetBytes(77, block.data(), KvOwnNone);
  ASSERT_EQ(f.UpdateGlobalInfo(info, 0), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(block.data()),
               "0000000001 0000000000 0000000000 0000000000 0000000000 0000000000 0000000000");
  ASSERT_EQ(f.UpdateGlobalInfo(info, 6), 0);  // c1 is 0: no change
  EXPECT_STREQ(reinterpret_cast<const char*>(block.data()),
               "0000000001 0000000000 0000000000 0000000000 0000000000 0000000000 0000000000");
}

TEST(ColorFeature, OnePixelGrayAndItsStoredCopy) {
  TestImage image(1, 1);
  image.SetColor(0, 128, 128, 128);
  KvColorFeatureClass f;
  ASSERT_EQ(f.ComputeFeature(image.Load(), nullptr), 0);
  const unsigned char v = 128;
  double c[3];
  rgbLutToNewMTMV(1, &v, &v, &v, &c[0], &c[1], &c[2]);
  EXPECT_EQ(f.GetValues()[0], static_cast<int32_t>(c[0] * 16384));
  EXPECT_EQ(f.GetValues()[1], static_cast<int32_t>(c[1] * 16384));
  EXPECT_EQ(f.GetValues()[2], static_cast<int32_t>(c[2] * 16384));
  EXPECT_GT(f.GetValues()[2], 0);
  // Stored and read back through a catalog record data object.
  KvDatumClass bytes;
  ASSERT_EQ(f.ToByteString(bytes), 0);
  KvGenericImageDataClass record;
  record.SetType('e');
  record.GetFeatureDatum().CopyBytes(bytes.Data(), bytes.Size(), "test");
  KvColorSubPartFeatureClass stored;
  ASSERT_EQ(stored.ComputeFeature(&record, nullptr), 0);
  EXPECT_EQ(f.Distance(&stored, nullptr, 0.0f), 0.0f);
  EXPECT_EQ(stored.Distance(&f, nullptr, 0.0f), 0.0f);
}

TEST(ColorFeature, MatchesReferenceOnRandomMaskedImages) {
  Lcg rng(11);
  for (int trial = 0; trial < 30; ++trial) {
    TestImage image(1 + rng.Below(17), 1 + rng.Below(13));
    for (int i = 0; i < 256; ++i) image.SetColor(i, rng.Below(256), rng.Below(256), rng.Below(256));
    for (auto& p : image.pixels) p = static_cast<unsigned char>(rng.Below(256));
    for (auto& m : image.mask) m = rng.Below(4) == 0 ? 0 : 0xFF;
    image.mask[0] = 0xFF;
    KvColorFeatureClass f;
    ASSERT_EQ(f.ComputeFeature(image.Load(True), nullptr), 0);
    int32_t expected[3];
    ReferenceMean(image, expected);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(f.GetValues()[k], expected[k], 1) << trial;
  }
}

TEST(ColorFeature, ArrangementDoesNotMatter) {
  TestImage a(4, 2), b(4, 2);
  for (TestImage* image : {&a, &b}) {
    image->SetColor(1, 250, 10, 10);
    image->SetColor(2, 10, 10, 250);
  }
  const unsigned char first[8] = {1, 1, 2, 2, 1, 2, 1, 2};
  const unsigned char second[8] = {2, 2, 2, 2, 1, 1, 1, 1};
  std::copy(first, first + 8, a.pixels.begin());
  std::copy(second, second + 8, b.pixels.begin());
  KvColorFeatureClass fa, fb;
  ASSERT_EQ(fa.ComputeFeature(a.Load(), nullptr), 0);
  ASSERT_EQ(fb.ComputeFeature(b.Load(), nullptr), 0);
  EXPECT_EQ(fa.Distance(&fb, nullptr, 0.0f), 0.0f);
}

TEST(ColorFeature, FullyMaskedImageFailsWithClearedValues) {
  TestImage image(3, 3);
  image.SetColor(0, 200, 100, 50);
  for (auto& m : image.mask) m = 0;
  KvColorFeatureClass f;
  SetValues(f, 5, 6, 7);
  EXPECT_EQ(f.ComputeFeature(image.Load(True), nullptr), -1);
  EXPECT_EQ(LastError(), "kcComp: Invalid object has no pixels in it.");
  EXPECT_EQ(f.GetValues()[0], 0);
  EXPECT_EQ(f.GetValues()[1], 0);
  EXPECT_EQ(f.GetValues()[2], 0);
}

TEST(ColorFeature, ByteStringRoundTripsAtBoundaryValues) {
  const int32_t values[][3] = {{0, 0, 0}, {-1, 1, -1}, {INT32_MIN, INT32_MAX, 0}, {1, -2, 300}};
  for (const auto& v : values) {
    KvColorFeatureClass f, g;
    SetValues(f, v[0], v[1], v[2]);
    KvDatumClass bytes;
    ASSERT_EQ(f.ToByteString(bytes), 0);
    ASSERT_EQ(bytes.Size(), 12u);
    EXPECT_EQ(std::vector<unsigned char>(bytes.Data(), bytes.Data() + 12), ValueBytes(v[0], v[1], v[2]));
    ASSERT_EQ(g.FromByteString(bytes), 0);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(g.GetValues()[k], v[k]);
  }
  KvColorFeatureClass minus;
  SetValues(minus, -1, 0, 0);
  KvDatumClass bytes;
  ASSERT_EQ(minus.ToByteString(bytes), 0);
  EXPECT_EQ(bytes.Data()[0], 0xFF);
  EXPECT_EQ(bytes.Data()[3], 0xFF);
}

TEST(ColorFeature, WrongByteStringSizesAreRefused) {
  const std::vector<unsigned char> full = ValueBytes(9, 8, 7);
  for (size_t size = 0; size <= 13; ++size) {
    if (size == 12) continue;
    std::vector<unsigned char> bytes(full.begin(), full.begin() + std::min<size_t>(size, 12));
    bytes.resize(size, 0);
    KvColorFeatureClass f;
    SetValues(f, 1, 2, 3);
    KvDatumClass d;
    SetDatum(d, bytes);
    EXPECT_EQ(f.FromByteString(d), -1);
    EXPECT_EQ(GetErrorMSGNumber(), KERR_ByteStringSize);
    EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal);
    EXPECT_EQ(LastError(), "KvColor: FromByteString read " + std::to_string(size) + " bytes, expected 12.");
    EXPECT_EQ(f.GetValues()[0], 1);
    EXPECT_EQ(f.GetValues()[2], 3);
  }
}

TEST(ColorFeature, AsciiForm) {
  KvColorFeatureClass f;
  SetValues(f, 1, -2, 300);
  KvDatumClass text;
  ASSERT_EQ(f.ToAsciiString(text), 0);
  EXPECT_EQ(DatumText(text), "        1        -2       300");
}

TEST(ColorFeature, DistanceIsSquaredDifferenceOfMeans) {
  KvColorFeatureClass a, b;
  SetValues(a, 16384, 0, -16384);
  SetValues(b, 0, 32768, 16384);
  EXPECT_FLOAT_EQ(a.Distance(&b, nullptr, 0.0f), 1.0f + 4.0f + 4.0f);
  // Far beyond any real colour: no 32-bit overflow, no wrap.
  SetValues(a, INT32_MIN, INT32_MIN, INT32_MIN);
  SetValues(b, INT32_MAX, INT32_MAX, INT32_MAX);
  const double d = 4294967295.0 / 16384;
  EXPECT_FLOAT_EQ(a.Distance(&b, nullptr, 0.0f), static_cast<float>(3 * d * d));
  SetValues(a, 40000, 40000, 40000);
  SetValues(b, -40000, -40000, -40000);
  EXPECT_FLOAT_EQ(a.Distance(&b, nullptr, 0.0f), static_cast<float>(3.0 * 80000.0 * 80000.0 / 16384 / 16384));
}

TEST(ColorFeature, RefusedOperandsAndDataObjects) {
  KvColorFeatureClass f;
  KvColorHistogramFeatureClass other;
  EXPECT_EQ(f.Distance(&other, nullptr, 0.0f), -1.0f);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_Coerce2);
  EXPECT_EQ(LastError(),
            "KvColorFeatureClass:Distance coerce failed from type KvFeatureClass to type KvColorFeatureClass and "
            "type KvColorSubPartFeatureClass.");
  PlainData plain;
  plain.SetType('m');
  EXPECT_EQ(f.ComputeFeature(&plain, nullptr), -1);
  EXPECT_EQ(LastError(),
            "KvColorFeatureClass::ComputeFeature coerce failed from type KvGenericDataClass to type "
            "KvGenericImageDataClass.");
  EXPECT_EQ(f.ComputeColorFeatures(&plain), -1);
  EXPECT_EQ(LastError(),
            "KvColorFeatureClass::ComputeColorFeatures coerce failed from type KvGenericDataClass to type "
            "KvGenericImageDataClass.");
  KvGenericImageDataClass image;
  image.SetType('x');
  EXPECT_EQ(f.ComputeFeature(&image, nullptr), -1);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  EXPECT_EQ(LastError(), "KvColor:ComputeFeature found unknown generic data type 120.");
  // An image object without planes has no pixels.
  image.SetType('m');
  EXPECT_EQ(f.ComputeFeature(&image, nullptr), -1);
  EXPECT_EQ(LastError(), "kcComp: Invalid object has no pixels in it.");
}
