// Colour coordinates, the colour tables built from the settings, clustering.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "colour_test_support.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "features/KvColorSpace.h"

namespace {

using colourtest::LastError;
using colourtest::Lcg;

struct Coordinates {
  double c[3];
};

Coordinates Mtm(int r, int g, int b) {
  const unsigned char R = r, G = g, B = b;
  Coordinates out;
  EXPECT_EQ(rgbLutToMTM(1, &R, &G, &B, &out.c[0], &out.c[1], &out.c[2]), 0);
  return out;
}

Coordinates Mtmv(int r, int g, int b) {
  const unsigned char R = r, G = g, B = b;
  Coordinates out;
  EXPECT_EQ(rgbLutToMTMV(1, &R, &G, &B, &out.c[0], &out.c[1], &out.c[2]), 0);
  return out;
}

Coordinates NewMtmv(int r, int g, int b) {
  const unsigned char R = r, G = g, B = b;
  Coordinates out;
  EXPECT_EQ(rgbLutToNewMTMV(1, &R, &G, &B, &out.c[0], &out.c[1], &out.c[2]), 0);
  return out;
}

// Settings are process-wide; every test that sets one clears them again.
class ColorSettings : public ::testing::Test {
 protected:
  void TearDown() override {
    KvClearSettings();
    ASSERT_EQ(KvColorInitialize(), 0);  // back to the default 256 colours
  }
};

KvColorRecord Point(double x, double y, double z, double weight, int pinned = 0) {
  KvColorRecord r = {};
  r.c[0] = x;
  r.c[1] = y;
  r.c[2] = z;
  r.weight = weight;
  r.pinned = static_cast<unsigned char>(pinned);
  return r;
}

}  // namespace

TEST(ColorSpace, GammaTableEndsAndMiddle) {
  const double* gamma = KvGammaTable();
  EXPECT_EQ(gamma[0], 0.0);
  EXPECT_EQ(gamma[255], 1.0);
  EXPECT_DOUBLE_EQ(gamma[128], std::pow(128 / 255.0, 2.22));
}

TEST(ColorSpace, MtmLightnessOfWhiteAndBlack) {
  EXPECT_NEAR(Mtm(255, 255, 255).c[2], 40.0, 1e-9);
  EXPECT_NEAR(Mtm(0, 0, 0).c[2], -6.4, 1e-12);
  // Matrix A is not balanced to white: grays lean slightly off the axis.
  const Coordinates gray = Mtm(248, 248, 248);
  EXPECT_NEAR(gray.c[0], -0.96, 0.01);
  EXPECT_NEAR(gray.c[1], -0.75, 0.01);
}

TEST(ColorSpace, ZeroOpponentsGiveZeroChroma) {
  // MTMV divides by its white point, so black and white have M1 = M2 = 0.
  const Coordinates black = Mtmv(0, 0, 0);
  EXPECT_EQ(black.c[0], 0.0);
  EXPECT_EQ(black.c[1], 0.0);
  EXPECT_EQ(black.c[2], 0.0);
  const Coordinates white = Mtmv(255, 255, 255);
  EXPECT_EQ(white.c[0], 0.0);
  EXPECT_EQ(white.c[1], 0.0);
  EXPECT_NEAR(white.c[2], 40.0, 1e-9);
}

TEST(ColorSpace, NewMtmvOfDarkGray) {
  const Coordinates c = NewMtmv(24, 24, 24);
  EXPECT_NEAR(c.c[0], 0.0, 1e-12);
  EXPECT_NEAR(c.c[1], 0.0, 1e-12);
  EXPECT_NEAR(c.c[2], 0.044, 0.0005);
}

TEST(ColorSpace, NewMtmvIsMapQOfMtmv) {
  const Coordinates v = Mtmv(200, 40, 90);
  const Coordinates n = NewMtmv(200, 40, 90);
  EXPECT_DOUBLE_EQ(n.c[0], 0.030291691574032 * v.c[0] - 0.019172885213392 * v.c[1]);
  EXPECT_DOUBLE_EQ(n.c[1], 0.00422545158637 * v.c[0] + 0.022327474928281 * v.c[1]);
  EXPECT_DOUBLE_EQ(n.c[2], 0.007358639021739 * v.c[0] + 0.004150767120055 * v.c[1] + 0.023025577354297 * v.c[2]);
}

TEST(ColorSpace, ArrayConversionMatchesSingleEntries) {
  unsigned char r[256], g[256], b[256];
  for (int i = 0; i < 256; ++i) {
    r[i] = static_cast<unsigned char>(i);
    g[i] = static_cast<unsigned char>(255 - i);
    b[i] = static_cast<unsigned char>((i * 7) & 255);
  }
  double c1[256], c2[256], c3[256];
  ASSERT_EQ(rgbLutToNewMTMV(256, r, g, b, c1, c2, c3), 0);
  for (int i = 0; i < 256; i += 17) {
    const Coordinates one = NewMtmv(r[i], g[i], b[i]);
    EXPECT_EQ(c1[i], one.c[0]);
    EXPECT_EQ(c2[i], one.c[1]);
    EXPECT_EQ(c3[i], one.c[2]);
  }
}

TEST(ColorSpace, MtmToRgbRoundTripsWithinOneUnit) {
  std::vector<unsigned char> r, g, b;
  for (int x = 8; x <= 248; x += 15) {
    for (int y = 8; y <= 248; y += 15) {
      for (int z = 8; z <= 248; z += 15) {
        r.push_back(x);
        g.push_back(y);
        b.push_back(z);
      }
    }
  }
  const size_t n = r.size();
  std::vector<double> s1(n), s2(n), t(n);
  ASSERT_EQ(rgbLutToMTM(n, r.data(), g.data(), b.data(), s1.data(), s2.data(), t.data()), 0);
  std::vector<unsigned char> r2(n), g2(n), b2(n);
  ASSERT_EQ(MTMToRgbLut(n, s1.data(), s2.data(), t.data(), r2.data(), g2.data(), b2.data()), 0) << LastError();
  for (size_t i = 0; i < n; ++i) {
    EXPECT_LE(std::abs(r[i] - r2[i]), 1) << int(r[i]) << "," << int(g[i]) << "," << int(b[i]);
    EXPECT_LE(std::abs(g[i] - g2[i]), 1) << int(r[i]) << "," << int(g[i]) << "," << int(b[i]);
    EXPECT_LE(std::abs(b[i] - b2[i]), 1) << int(r[i]) << "," << int(g[i]) << "," << int(b[i]);
  }
}

TEST(ColorSpace, MtmOutsideTheCubeIsClampedAndReported) {
  // Far too light: every component above 1.01.
  const double s1[2] = {0.0, 0.0}, s2[2] = {0.0, 0.0}, t[2] = {20.0, 60.0};
  unsigned char r[2], g[2], b[2];
  KvInitializeErrorStructure();
  EXPECT_EQ(MTMToRgbLut(2, s1, s2, t, r, g, b), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_InvalidValue);
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  EXPECT_EQ(r[1], 255);
  EXPECT_EQ(g[1], 255);
  EXPECT_EQ(b[1], 255);
  EXPECT_EQ(LastError().rfind("kcUtil: Invalid B value to be converted. i=1  value=", 0), 0u) << LastError();
  // The first entry was converted normally.
  EXPECT_GT(r[0], 100);
  EXPECT_LT(r[0], 255);
}

TEST(ColorSpace, CountIndexHistogramHonoursMask) {
  const unsigned char pixels[6] = {1, 1, 2, 3, 3, 3};
  const unsigned char mask[6] = {0xFF, 0, 0xFF, 0xFF, 0, 0xFF};
  uint32_t bins[256];
  EXPECT_EQ(KvCountIndexHistogram(pixels, mask, 6, bins), 4u);
  EXPECT_EQ(bins[1], 1u);
  EXPECT_EQ(bins[2], 1u);
  EXPECT_EQ(bins[3], 2u);
  EXPECT_EQ(KvCountIndexHistogram(pixels, nullptr, 6, bins), 6u);
  EXPECT_EQ(bins[3], 3u);
  const unsigned char none[6] = {0, 0, 0, 0, 0, 0};
  KvInitializeErrorStructure();
  EXPECT_EQ(KvCountIndexHistogram(pixels, none, 6, bins), 0u);
  EXPECT_EQ(LastError(), "kcComp: Invalid object has no pixels in it.");
}

TEST(ColorSpace, CoordinateWeightsFromTexts) {
  struct Case {
    const char* text;
    double variance;
    double weight;
  };
  const Case cases[] = {
      {"v", 4.0, 0.25}, {"V2", 4.0, 0.5}, {"v0", 4.0, 0.25}, {"v3", 0.0, 3.0},
      {"2.5", 4.0, 2.5}, {"0", 4.0, 0.0}, {"abc", 4.0, 0.0},
  };
  for (const Case& c : cases) {
    const char* texts[3] = {c.text, c.text, c.text};
    const double variances[3] = {c.variance, c.variance, c.variance};
    double weights[3];
    KvCoordinateWeights(texts, variances, weights);
    EXPECT_DOUBLE_EQ(weights[0], c.weight) << c.text;
    EXPECT_DOUBLE_EQ(weights[2], c.weight) << c.text;
  }
}

TEST(ColorSpace, ClusterMergesCheapestPairs) {
  const KvColorRecord points[4] = {Point(0, 0, 0, 1), Point(1, 0, 0, 1), Point(10, 0, 0, 1), Point(12, 0, 0, 3)};
  KvColorRecord clusters[2];
  ASSERT_EQ(KvCluster(points, 4, clusters, 2), 0);
  EXPECT_DOUBLE_EQ(clusters[0].c[0], 0.5);
  EXPECT_DOUBLE_EQ(clusters[0].weight, 2.0);
  EXPECT_DOUBLE_EQ(clusters[1].c[0], 11.5);
  EXPECT_DOUBLE_EQ(clusters[1].weight, 4.0);
}

TEST(ColorSpace, ClusterKeepsPinnedPointsInPlace) {
  const KvColorRecord points[3] = {Point(0, 0, 0, 1), Point(1, 0, 0, 5, 1), Point(10, 0, 0, 1, 1)};
  KvColorRecord clusters[2];
  ASSERT_EQ(KvCluster(points, 3, clusters, 2), 0);
  EXPECT_DOUBLE_EQ(clusters[0].c[0], 1.0);  // absorbed point 0, did not move
  EXPECT_DOUBLE_EQ(clusters[0].weight, 6.0);
  EXPECT_EQ(clusters[0].pinned, 1);
  EXPECT_DOUBLE_EQ(clusters[1].c[0], 10.0);
}

TEST(ColorSpace, ClusterRefusesImpossibleCounts) {
  const KvColorRecord points[3] = {Point(0, 0, 0, 1, 1), Point(1, 0, 0, 1, 1), Point(2, 0, 0, 1)};
  KvColorRecord clusters[4];
  EXPECT_EQ(KvCluster(points, 3, clusters, 4), -1);
  EXPECT_EQ(LastError(), "kuClust: Can't convert 3 clusters (with 2 pinned) to 4 clusters.");
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal);
  EXPECT_EQ(KvCluster(points, 3, clusters, 1), -1);
  EXPECT_EQ(LastError(), "kuClust: Can't convert 3 clusters (with 2 pinned) to 1 clusters.");
}

// Reference clustering: every step merges the globally cheapest pair.
std::vector<KvColorRecord> ReferenceCluster(std::vector<KvColorRecord> points, int k) {
  auto cost = [](const KvColorRecord& a, const KvColorRecord& b) {
    double d = 0;
    for (int c = 0; c < 3; ++c) d += (a.c[c] - b.c[c]) * (a.c[c] - b.c[c]);
    if (a.pinned && b.pinned) return HUGE_VAL;
    if (a.pinned) return d * b.weight;
    if (b.pinned) return d * a.weight;
    return d * a.weight * b.weight / (a.weight + b.weight);
  };
  while (static_cast<int>(points.size()) > k) {
    size_t bi = 0, bj = 1;
    double best = HUGE_VAL;
    for (size_t i = 0; i < points.size(); ++i) {
      for (size_t j = i + 1; j < points.size(); ++j) {
        if (cost(points[i], points[j]) < best) {
          best = cost(points[i], points[j]);
          bi = i;
          bj = j;
        }
      }
    }
    KvColorRecord& s = points[bj].pinned ? points[bj] : points[bi];
    const KvColorRecord& a = points[bj].pinned ? points[bi] : points[bj];
    const double w = s.weight + a.weight;
    if (!s.pinned) {
      for (int c = 0; c < 3; ++c) s.c[c] = (s.weight * s.c[c] + a.weight * a.c[c]) / w;
    }
    s.weight = w;
    points.erase(points[bj].pinned ? points.begin() + bi : points.begin() + bj);
  }
  return points;
}

TEST(ColorSpace, ClusterMatchesGlobalGreedyReference) {
  Lcg rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    const int n = 20 + rng.Below(40);
    const int k = 3 + rng.Below(10);
    std::vector<KvColorRecord> points;
    for (int i = 0; i < n; ++i) {
      points.push_back(Point(rng.Below(10000) / 100.0, rng.Below(10000) / 100.0, rng.Below(10000) / 100.0,
                             1 + rng.Below(9), i < 3 ? 1 : 0));
    }
    std::vector<KvColorRecord> clusters(k);
    ASSERT_EQ(KvCluster(points.data(), n, clusters.data(), k), 0);
    std::vector<KvColorRecord> expected = ReferenceCluster(points, k);
    auto less = [](const KvColorRecord& a, const KvColorRecord& b) { return a.c[0] < b.c[0]; };
    std::sort(clusters.begin(), clusters.end(), less);
    std::sort(expected.begin(), expected.end(), less);
    for (int i = 0; i < k; ++i) {
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(clusters[i].c[c], expected[i].c[c], 1e-9) << trial;
      EXPECT_EQ(clusters[i].weight, expected[i].weight) << trial;
      EXPECT_EQ(clusters[i].pinned, expected[i].pinned) << trial;
    }
  }
}

TEST(ColorSpace, NearestClusterMap) {
  const KvColorRecord clusters[3] = {Point(0, 0, 0, 1), Point(10, 0, 0, 1), Point(10, 0, 0, 1)};
  const KvColorRecord points[3] = {Point(9, 0, 0, 1), Point(5, 0, 0, 1), Point(11, 0, 0, 1)};
  int map[3];
  ASSERT_EQ(KvNnClustMap(points, 3, clusters, 3, 0, map), 0);
  EXPECT_EQ(map[0], 1);
  EXPECT_EQ(map[1], 0);  // a tie goes to the first cluster
  EXPECT_EQ(map[2], 1);
  ASSERT_EQ(KvNnClustMap(points, 3, clusters, 3, 1, map), 0);
  EXPECT_EQ(map[0], 1);
  EXPECT_EQ(map[1], 0);
  EXPECT_EQ(map[2], 2);  // cluster 1 is taken
  EXPECT_EQ(KvNnClustMap(points, 3, clusters, 2, 1, map), -1);
  EXPECT_EQ(LastError(), "kuClust: Can't find a unique map from 3 entries to 2 entries.");
}

TEST_F(ColorSettings, DefaultInitialisationFillsEveryPaletteSlot) {
  KvClearSettings();
  ASSERT_EQ(KvColorInitialize(), 0) << LastError();
  int n = 0;
  const KvColorRecord* merged = KvGetMergedColorTable(&n);
  ASSERT_EQ(n, 256);
  EXPECT_EQ(KvGetMTMMetricType(), 1);
  EXPECT_DOUBLE_EQ(KvGetMTMMetricScale(), 0.000283421);
  EXPECT_DOUBLE_EQ(KvGetColorDistSigma(), 7.0);
  // No merge at 256 colours: pinned rows keep their bytes, the others come
  // back from their coordinates within one unit.
  for (int i = 0; i < 256; ++i) {
    if (i == 32 || i == 255) continue;  // rows with given, rounded coordinates
    EXPECT_LE(std::abs(merged[i].red - kKvBaseColorTable[i].red), 1) << i;
    EXPECT_LE(std::abs(merged[i].green - kKvBaseColorTable[i].green), 1) << i;
    EXPECT_LE(std::abs(merged[i].blue - kKvBaseColorTable[i].blue), 1) << i;
  }
  const unsigned char* lut = KvGetRGBHistogramLut();
  ASSERT_NE(lut, nullptr);
  std::vector<int> used(256, 0);
  for (int slot = 0; slot < 256; ++slot) {
    bool found = false;
    for (int c = 0; c < 256 && !found; ++c) {
      if (!used[c] && merged[c].red == lut[slot] && merged[c].green == lut[256 + slot] &&
          merged[c].blue == lut[512 + slot]) {
        used[c] = 1;
        found = true;
      }
    }
    EXPECT_TRUE(found) << slot;
  }
}

// Reference palette: the corner groups filled round by round.
std::vector<unsigned char> ReferencePalette(const KvColorRecord* table, int n) {
  std::vector<unsigned char> lut(768, 0);
  std::vector<bool> placed(n, false);
  for (int row = 0; row < 32; ++row) {
    for (int k = 0; k < 8; ++k) {
      const int corner[3] = {k & 4 ? 255 : 0, k & 2 ? 255 : 0, k & 1 ? 255 : 0};
      int best = -1;
      long bestD = 0;
      for (int c = 0; c < n; ++c) {
        if (placed[c]) continue;
        const long d = (table[c].red - corner[0]) * (table[c].red - corner[0]) +
                       (table[c].green - corner[1]) * (table[c].green - corner[1]) +
                       (table[c].blue - corner[2]) * (table[c].blue - corner[2]);
        if (best < 0 || d < bestD) {
          best = c;
          bestD = d;
        }
      }
      if (best < 0) return lut;
      placed[best] = true;
      lut[k * 32 + row] = table[best].red;
      lut[256 + k * 32 + row] = table[best].green;
      lut[512 + k * 32 + row] = table[best].blue;
    }
  }
  return lut;
}

TEST_F(ColorSettings, SixtyFourColoursFillEightSlotsPerCorner) {
  ASSERT_EQ(Kvsetenv("KivoColorHistString", "64"), 0);
  ASSERT_EQ(KvColorInitialize(), 0) << LastError();
  int n = 0;
  const KvColorRecord* merged = KvGetMergedColorTable(&n);
  ASSERT_EQ(n, 64);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(merged[i].pinned, 1);
    EXPECT_EQ(merged[i].red, kKvBaseColorTable[i].red);
    EXPECT_EQ(merged[i].c[2], kKvBaseColorTable[i].c[2]);
  }
  double weight = 0;
  for (int i = 0; i < n; ++i) weight += merged[i].weight;
  double baseWeight = 0;
  for (int i = 0; i < 256; ++i) baseWeight += kKvBaseColorTable[i].weight;
  EXPECT_DOUBLE_EQ(weight, baseWeight);
  const unsigned char* lut = KvGetRGBHistogramLut();
  const std::vector<unsigned char> expected = ReferencePalette(merged, n);
  for (int i = 0; i < 768; ++i) EXPECT_EQ(lut[i], expected[i]) << i;
  for (int k = 0; k < 8; ++k) {
    for (int row = 8; row < 32; ++row) {
      const int slot = k * 32 + row;
      EXPECT_EQ(lut[slot] | lut[256 + slot] | lut[512 + slot], 0) << slot;
    }
  }
  // The same count again keeps the tables.
  ASSERT_EQ(KvColorInitialize(), 0);
  EXPECT_EQ(KvGetRGBHistogramLut(), lut);
}

TEST_F(ColorSettings, SettingsChooseMetricAndSigma) {
  struct Case {
    const char* text;
    int type;
    double scale;
    bool message;
  };
  const Case cases[] = {
      {"MTMQFM", 1, 0.000283421, false}, {"MTMEUC", 0, 0.000376446, false}, {"MTMHUE", 2, 0.000399469, false},
      {"mtmeuc", 1, 0.000283421, true},  {"", 1, 0.000283421, true},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Kvsetenv("KivoMTMmetricType", c.text), 0);
    ASSERT_EQ(Kvsetenv("KivoColorDistSigma", "3.5"), 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(KvColorInitialize(), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(KvGetMTMMetricType(), c.type) << c.text;
    EXPECT_DOUBLE_EQ(KvGetMTMMetricScale(), c.scale) << c.text;
    EXPECT_DOUBLE_EQ(KvGetColorDistSigma(), 3.5);
    if (c.message) {
      EXPECT_EQ(out, std::string("Unknown MTM metric type \"") + c.text +
                         "\" specified in env KivoMTMmetricType, defaulting to special Quadratic form\n");
    } else {
      EXPECT_EQ(out, "");
    }
  }
}

TEST_F(ColorSettings, ImpossibleColourCountKeepsPreviousTables) {
  ASSERT_EQ(KvColorInitialize(), 0);
  const unsigned char* before = KvGetRGBHistogramLut();
  for (const char* text : {"8", "300", "0", "abc"}) {
    ASSERT_EQ(Kvsetenv("KivoColorHistString", text), 0);
    EXPECT_EQ(KvColorInitialize(), -1) << text;
    EXPECT_EQ(GetErrorMSGNumber(), KERR_ClusterCount) << text;
    EXPECT_EQ(KvGetRGBHistogramLut(), before);
  }
  ASSERT_EQ(Kvsetenv("KivoColorHistString", "256M7"), 0);
  EXPECT_EQ(KvColorInitialize(), 0);
  EXPECT_EQ(KvGetRGBHistogramLut(), before);
}
