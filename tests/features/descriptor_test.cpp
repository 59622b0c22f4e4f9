// What the descriptor features (HSV histogram, edge histogram, colour-edge,
// correlogram, HSV bands, colour difference, colour texture) share: byte strings, refused inputs, the distance statistics
// of their global information and the normalised distance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "colour_test_support.h"
#include "core/KvBytes.h"
#include "data/KvParameter.h"
#include "features/KvColorDifferenceFeature.h"
#include "features/KvColorEdgeFeature.h"
#include "features/KvColorFeature.h"
#include "features/KvColorTextureFeature.h"
#include "features/KvCorrelogramFeature.h"
#include "features/KvDescriptorFeature.h"
#include "features/KvEdgeHistogramFeature.h"
#include "features/KvHsvBandsFeature.h"
#include "features/KvHsvHistogramFeature.h"

namespace {

using colourtest::LastError;
using colourtest::Lcg;
using colourtest::SetDatum;
using colourtest::TestImage;

struct Kind {
  const char* name;
  const char* tag;
  unsigned long size;
  std::function<KvFeatureClass*()> make;
};

const Kind kKinds[] = {
    {"KvHsvHistogramFeatureClass", "KvHsvHst", 512, [] { return new KvHsvHistogramFeatureClass; }},
    {"KvEdgeHistogramFeatureClass", "KvEdgHst", 80, [] { return new KvEdgeHistogramFeatureClass; }},
    {"KvColorEdgeFeatureClass", "KvClrEdg", 144, [] { return new KvColorEdgeFeatureClass; }},
    {"KvCorrelogramFeatureClass", "KvCorrel", 256, [] { return new KvCorrelogramFeatureClass; }},
    {"KvHsvBandsFeatureClass", "KvHsvBnd", 1536, [] { return new KvHsvBandsFeatureClass; }},
    {"KvColorDifferenceFeatureClass", "KvClrDif", 292, [] { return new KvColorDifferenceFeatureClass; }},
    {"KvColorTextureFeatureClass", "KvClrTxt", 1824, [] { return new KvColorTextureFeatureClass; }},
};

std::vector<unsigned char> RandomBytes(Lcg& rng, unsigned long n) {
  std::vector<unsigned char> out(n);
  for (auto& b : out) b = static_cast<unsigned char>(rng.Below(256));
  return out;
}

std::vector<unsigned char> Bytes(KvFeatureClass& f) {
  KvDatumClass d;
  EXPECT_EQ(f.ToByteString(d), 0);
  return std::vector<unsigned char>(d.Data(), d.Data() + d.Size());
}

// A random image of a few colours, in patches so that it has edges.
void Paint(TestImage& im, Lcg& rng) {
  for (int i = 0; i < 6; ++i) im.SetColor(i, rng.Below(256), rng.Below(256), rng.Below(256));
  const int across = 2 + rng.Below(6), down = 2 + rng.Below(6);
  for (int y = 0; y < im.height; ++y) {
    for (int x = 0; x < im.width; ++x) {
      im.At(x, y) = static_cast<unsigned char>(((x / across) * 7 + (y / down) * 3) % 6);
    }
  }
}

TEST(Descriptor, ByteStringsRoundTripAndWrongSizesAreRefused) {
  Lcg rng(7);
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    std::unique_ptr<KvFeatureClass> f(k.make());
    ASSERT_TRUE(f->IsValid());
    EXPECT_STREQ(f->GetClassName(), k.name);
    EXPECT_EQ(f->GetByteStringSize(), k.size);
    EXPECT_EQ(f->GetGlobalInfoSize(), kKvDistanceSampleHeader + kKvDistanceSampleSlots * k.size);
    const std::vector<unsigned char> bytes = RandomBytes(rng, k.size);
    KvDatumClass d;
    SetDatum(d, bytes);
    ASSERT_EQ(f->FromByteString(d), 0);
    EXPECT_EQ(Bytes(*f), bytes);
    for (unsigned long size : {0ul, 1ul, k.size - 1, k.size + 1}) {
      SetDatum(d, RandomBytes(rng, size));
      EXPECT_EQ(f->FromByteString(d), -1);
      EXPECT_EQ(GetErrorMSGNumber(), KERR_ByteStringSize);
      EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal);
      EXPECT_EQ(LastError(), std::string(k.tag) + ": FromByteString read " + std::to_string(size) +
                                 " bytes, expected " + std::to_string(k.size) + ".");
      EXPECT_EQ(Bytes(*f), bytes);
    }
  }
}

TEST(Descriptor, RefusedOperandsAndDataObjects) {
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    std::unique_ptr<KvFeatureClass> f(k.make());
    KvColorFeatureClass other;
    EXPECT_EQ(f->Distance(&other, nullptr, 0.0f), -1.0f);
    EXPECT_EQ(GetErrorMSGNumber(), KERR_Coerce2);
    KvGenericImageDataClass image;
    image.SetType('x');
    EXPECT_EQ(f->ComputeFeature(&image, nullptr), -1);
    EXPECT_EQ(LastError(), std::string(k.tag) + ":ComputeFeature found unknown generic data type 120.");
    image.SetType('m');
    EXPECT_EQ(f->ComputeFeature(&image, nullptr), -1);
    EXPECT_EQ(GetErrorMSGNumber(), KERR_NoPixels);
    // All pixels masked: nothing to describe, and the values are cleared.
    TestImage masked(8, 8);
    std::fill(masked.mask.begin(), masked.mask.end(), 0);
    EXPECT_EQ(f->ComputeFeature(masked.Load(), nullptr), -1);
    EXPECT_EQ(GetErrorMSGNumber(), KERR_NoPixels);
    EXPECT_EQ(Bytes(*f), std::vector<unsigned char>(k.size, 0));
  }
}

TEST(Descriptor, StoredRecordsDecodeThroughComputeFeatureAndMeasureZeroToThemselves) {
  Lcg rng(11);
  TestImage im(40, 30);
  Paint(im, rng);
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    std::unique_ptr<KvFeatureClass> computed(k.make()), stored(k.make());
    ASSERT_EQ(computed->ComputeFeature(im.Load(), computed->GetParameters()), 0);
    const std::vector<unsigned char> bytes = Bytes(*computed);
    KvGenericImageDataClass record;
    record.SetType('e');
    SetDatum(record.GetFeatureDatum(), bytes);
    ASSERT_EQ(stored->ComputeFeature(&record, nullptr), 0);
    EXPECT_EQ(Bytes(*stored), bytes);
    EXPECT_EQ(computed->Distance(stored.get(), computed->GetParameters(), 0.0f), 0.0f);
  }
}

// The global information of five stored records holds every pair's
// distance; removing one takes its pairs away again, and Z=1 divides
// distances by the mean.
TEST(Descriptor, GlobalInfoKeepsTheMeanDistanceOfStoredRecords) {
  Lcg rng(23);
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    std::unique_ptr<KvFeatureClass> probe(k.make());
    std::vector<unsigned char> block(probe->GetGlobalInfoSize(), 0);
    KvDatumClass info;
    info.SetBytes(block.size(), block.data(), KvOwnNone);
    std::vector<std::unique_ptr<KvFeatureClass>> records;
    for (int i = 0; i < 5; ++i) {
      TestImage im(24 + 4 * i, 20);
      Paint(im, rng);
      records.emplace_back(k.make());
      ASSERT_EQ(records.back()->ComputeFeature(im.Load(), nullptr), 0);
      ASSERT_EQ(records.back()->UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD), 0);
    }
    auto meanOf = [&](int from) {
      double sum = 0;
      int n = 0;
      for (int i = from; i < 5; ++i) {
        for (int j = i + 1; j < 5; ++j, ++n) sum += records[i]->Distance(records[j].get(), nullptr, 0.0f);
      }
      return sum / n;
    };
    KvDistanceStatistics s = KvReadDistanceStatistics(info, k.size);
    EXPECT_EQ(s.pairs, 10u);
    EXPECT_EQ(s.filled, 5);
    EXPECT_NEAR(s.mean, meanOf(0), 1e-5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data()), 11), "0000000005 ");

    KvParameterClass parms;
    parms = *probe->GetParameters();
    ASSERT_EQ(parms.SetParameter("Z", "1"), 0);
    std::unique_ptr<KvFeatureClass> query(k.make());
    KvDatumClass bytes;
    ASSERT_EQ(records[0]->ToByteString(bytes), 0);
    ASSERT_EQ(query->FromByteString(bytes), 0);
    ASSERT_EQ(query->ParameterUpdateFromGlobalInfo(&parms, info), 0);
    const float plain = records[0]->Distance(records[1].get(), nullptr, 0.0f);
    EXPECT_NEAR(query->Distance(records[1].get(), &parms, 0.0f), plain / s.mean, 1e-5 * (1 + plain / s.mean));

    ASSERT_EQ(records[0]->UpdateGlobalInfo(info, KV_GLOBAL_REMOVE_RECORD), 0);
    s = KvReadDistanceStatistics(info, k.size);
    EXPECT_EQ(s.pairs, 6u);
    EXPECT_EQ(s.filled, 4);
    EXPECT_NEAR(s.mean, meanOf(1), 1e-5);
    for (int i = 1; i < 5; ++i) ASSERT_EQ(records[i]->UpdateGlobalInfo(info, KV_GLOBAL_REMOVE_RECORD), 0);
    s = KvReadDistanceStatistics(info, k.size);
    EXPECT_EQ(s.pairs, 0u);
    EXPECT_EQ(s.filled, 0);
    EXPECT_EQ(s.mean, 0.0);
    info.SetBytes(0, nullptr, KvOwnNone);
  }
}

TEST(Descriptor, NormalisationIsOffByDefaultAndWithoutStatistics) {
  Lcg rng(5);
  TestImage a(30, 30), b(30, 30);
  Paint(a, rng);
  Paint(b, rng);
  KvHsvHistogramFeatureClass fa, fb;
  ASSERT_EQ(fa.ComputeFeature(a.Load(), nullptr), 0);
  ASSERT_EQ(fb.ComputeFeature(b.Load(), nullptr), 0);
  const float plain = fa.Distance(&fb, nullptr, 0.0f);
  ASSERT_GT(plain, 0.0f);
  struct Case {
    const char* z;
    bool statistics;
  } cases[] = {{nullptr, true}, {"0", true}, {"1", false}};
  for (const Case& c : cases) {
    std::vector<unsigned char> block(fa.GetGlobalInfoSize(), 0);
    KvDatumClass info;
    info.SetBytes(block.size(), block.data(), KvOwnNone);
    if (c.statistics) {
      ASSERT_EQ(fa.UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD), 0);
      ASSERT_EQ(fb.UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD), 0);
    }
    KvParameterClass parms;
    if (c.z != nullptr) {
      ASSERT_EQ(parms.SetParameter("Z", c.z), 0);
    }
    KvHsvHistogramFeatureClass query;
    ASSERT_EQ(query.ComputeFeature(a.Load(), &parms), 0);
    ASSERT_EQ(query.ParameterUpdateFromGlobalInfo(&parms, info), 0);
    EXPECT_EQ(query.Distance(&fb, &parms, 0.0f), plain);
    info.SetBytes(0, nullptr, KvOwnNone);
  }
  KvDatumClass info;
  EXPECT_EQ(fa.ParameterUpdateFromGlobalInfo(nullptr, info), -1);
}

TEST(Descriptor, DamagedGlobalInfoReadsAsNoStatistics) {
  const unsigned long size = KvHsvHistogramFeatureClass::kRecordSize;
  struct Case {
    const char* what;
    std::vector<unsigned char> block;
  };
  std::vector<unsigned char> counts(kKvDistanceSampleHeader, 0);
  std::vector<unsigned char> wrongFormat = counts;
  wrongFormat[77] = 2;
  std::vector<unsigned char> tooMany(kKvDistanceSampleHeader + 16 * size, 0);
  tooMany[77] = 1;
  Encode16BE(tooMany.data() + 78, 500);  // more records than slots
  const Case cases[] = {{"empty", {}}, {"short", {1, 2, 3}}, {"format", wrongFormat}};
  for (const Case& c : cases) {
    KvDatumClass info;
    SetDatum(info, c.block);
    const KvDistanceStatistics s = KvReadDistanceStatistics(info, size);
    EXPECT_EQ(s.pairs, 0u) << c.what;
    EXPECT_EQ(s.mean, 0.0) << c.what;
  }
  KvDatumClass info;
  SetDatum(info, tooMany);
  EXPECT_EQ(KvReadDistanceStatistics(info, size).filled, 16);
  // A record added to such a block measures only the slots there are.
  KvHsvHistogramFeatureClass f;
  TestImage im(10, 10);
  ASSERT_EQ(f.ComputeFeature(im.Load(), nullptr), 0);
  EXPECT_EQ(f.UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD), 0);
  EXPECT_EQ(KvReadDistanceStatistics(info, size).pairs, 16u);
  KvDatumClass small;
  SetDatum(small, counts);
  EXPECT_EQ(f.UpdateGlobalInfo(small, KV_GLOBAL_ADD_RECORD), -1);
}

// Past the sample's sixteen slots records join by chance; the sample stays
// full and every added record is measured against all of it.
TEST(Descriptor, SampleStaysFullPastItsSlots) {
  Lcg rng(3);
  KvEdgeHistogramFeatureClass probe;
  std::vector<unsigned char> block(probe.GetGlobalInfoSize(), 0);
  KvDatumClass info;
  info.SetBytes(block.size(), block.data(), KvOwnNone);
  uint32_t pairs = 0;
  for (int i = 0; i < 40; ++i) {
    KvEdgeHistogramFeatureClass f;
    KvDatumClass d;
    SetDatum(d, RandomBytes(rng, KvEdgeHistogramFeatureClass::kRecordSize));
    ASSERT_EQ(f.FromByteString(d), 0);
    ASSERT_EQ(f.UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD), 0);
    pairs += static_cast<uint32_t>(std::min(i, kKvDistanceSampleSlots));
  }
  const KvDistanceStatistics s = KvReadDistanceStatistics(info, KvEdgeHistogramFeatureClass::kRecordSize);
  EXPECT_EQ(s.filled, kKvDistanceSampleSlots);
  EXPECT_EQ(s.seen, 40u);
  EXPECT_EQ(s.pairs, pairs);
  EXPECT_GT(s.mean, 0.0);
  info.SetBytes(0, nullptr, KvOwnNone);
}

TEST(Descriptor, AsciiFormListsTheElements) {
  KvEdgeHistogramFeatureClass f;
  std::vector<unsigned char> bytes(80);
  for (int i = 0; i < 80; ++i) bytes[i] = static_cast<unsigned char>(i * 3);
  KvDatumClass d;
  SetDatum(d, bytes);
  ASSERT_EQ(f.FromByteString(d), 0);
  KvDatumClass text;
  ASSERT_EQ(f.ToAsciiString(text), 0);
  const std::string s(reinterpret_cast<const char*>(text.Data()), text.Size());
  EXPECT_EQ(s.substr(0, 17), "   0   3   6   9 ");
  EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 5);
  EXPECT_EQ(s.substr(s.size() - 5), " 237\n");
}

}  // namespace
