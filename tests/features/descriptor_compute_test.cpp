// The descriptor features' computations and distances against slow,
// obviously correct references on small images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "colour_test_support.h"
#include "data/KvParameter.h"
#include "features/KvColorEdgeFeature.h"
#include "features/KvCorrelogramFeature.h"
#include "features/KvEdgeHistogramFeature.h"
#include "features/KvHsvHistogramFeature.h"
#include "features/KvWorkingImage.h"

namespace {

using colourtest::Lcg;
using colourtest::SetDatum;
using colourtest::TestImage;

void RandomImage(TestImage& im, Lcg& rng, int colours, bool masked) {
  for (int i = 0; i < colours; ++i) im.SetColor(i, rng.Below(256), rng.Below(256), rng.Below(256));
  for (auto& p : im.pixels) p = static_cast<unsigned char>(rng.Below(colours));
  if (masked) {
    for (auto& m : im.mask) m = rng.Below(4) == 0 ? 0 : 0xFF;
  }
}

template <class F>
std::vector<unsigned char> Record(F& f) {
  KvDatumClass d;
  EXPECT_EQ(f.ToByteString(d), 0);
  return std::vector<unsigned char>(d.Data(), d.Data() + d.Size());
}

template <class F>
void Load(F& f, const std::vector<unsigned char>& bytes) {
  KvDatumClass d;
  SetDatum(d, bytes);
  ASSERT_EQ(f.FromByteString(d), 0);
}

// ---- working image ----

TEST(WorkingImage, CellsAreMeansOfTheUnmaskedPixelsTheyCover) {
  struct Case {
    int w, h, area;
  } cases[] = {{7, 5, 100}, {40, 30, 100}, {31, 17, 60}, {1, 50, 10}, {64, 3, 20}};
  Lcg rng(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " to " << c.area);
    TestImage im(c.w, c.h);
    RandomImage(im, rng, 20, true);
    KvWorkingImage work;
    ASSERT_TRUE(KvMakeWorkingImage(*im.Load(), c.area, &work));
    // About area cells; a side never shrinks below one cell.
    ASSERT_LE(work.Cells(), static_cast<size_t>(c.area) * 11 / 10 + std::max(work.width, work.height));
    if (c.w * c.h <= c.area) {
      EXPECT_EQ(work.width, c.w);
      EXPECT_EQ(work.height, c.h);
    }
    // A pixel (x, y) belongs to cell (x * tw / w, y * th / h).
    const int tw = work.width, th = work.height;
    std::vector<long> sum(work.Cells() * 3, 0), count(work.Cells(), 0);
    for (int y = 0; y < c.h; ++y) {
      for (int x = 0; x < c.w; ++x) {
        if (im.MaskAt(x, y) == 0) continue;
        const size_t cell = static_cast<size_t>(y * th / c.h) * tw + static_cast<size_t>(x * tw / c.w);
        for (int k = 0; k < 3; ++k) sum[cell * 3 + k] += im.palette[k * 256 + im.At(x, y)];
        ++count[cell];
      }
    }
    for (size_t i = 0; i < work.Cells(); ++i) {
      ASSERT_EQ(work.valid[i], count[i] > 0 ? 1 : 0) << i;
      if (count[i] == 0) continue;
      const uint8_t* got[3] = {work.red.data(), work.green.data(), work.blue.data()};
      for (int k = 0; k < 3; ++k) {
        const double mean = static_cast<double>(sum[i * 3 + k]) / count[i];
        EXPECT_LE(std::fabs(got[k][i] - mean), 0.5 + 1e-9) << i;
      }
    }
  }
}

// ---- HSV histogram ----

TEST(HsvHistogram, ColourConversion) {
  struct Case {
    int r, g, b;
    float h, s, v;
  } cases[] = {
      {255, 0, 0, 0, 1, 1},         {0, 255, 0, 120, 1, 1},    {0, 0, 255, 240, 1, 1},
      {255, 255, 0, 60, 1, 1},      {255, 0, 255, 300, 1, 1},  {255, 0, 1, 359.7647f, 1, 1},
      {128, 128, 128, 0, 0, 0.50196f}, {0, 0, 0, 0, 0, 0},     {100, 50, 0, 30, 1, 0.39216f},
  };
  for (const Case& c : cases) {
    const KvHsv got = KvRgbToHsv(c.r, c.g, c.b);
    EXPECT_NEAR(got.h, c.h, 1e-3) << c.r << " " << c.g << " " << c.b;
    EXPECT_NEAR(got.s, c.s, 1e-4);
    EXPECT_NEAR(got.v, c.v, 1e-4);
  }
}

// Weight of bin k of n (centres at (k + 0.5) / n) for position p in [0, 1]:
// a tent one bin wide, the outer bins taking everything beyond their centre.
double Tent(double p, int k, int n) {
  const double centre = (k + 0.5) / n;
  if ((k == 0 && p <= centre) || (k == n - 1 && p >= centre)) return 1.0;
  return std::max(0.0, 1.0 - std::fabs(p - centre) * n);
}

// The same on a circle of n bins (hue).
double CircularTent(double p, int k, int n) {
  double d = std::fabs(p - (k + 0.5) / n);
  d = std::min(d, 1.0 - d);
  return std::max(0.0, 1.0 - d * n);
}

TEST(HsvHistogram, MatchesSoftBinningReference) {
  using H = KvHsvHistogramFeatureClass;
  Lcg rng(2);
  for (int round = 0; round < 6; ++round) {
    TestImage im(13 + round, 9);
    RandomImage(im, rng, 40, round % 2 == 1);
    if (round == 0) {
      im.SetColor(0, 0, 0, 0);  // gray axis and pure hues at bin edges
      im.SetColor(1, 255, 255, 255);
      im.SetColor(2, 255, 0, 0);
    }
    std::vector<double> share(H::kBins, 0.0);
    double total = 0;
    for (int y = 0; y < im.height; ++y) {
      for (int x = 0; x < im.width; ++x) {
        if (im.MaskAt(x, y) == 0) continue;
        const int i = im.At(x, y);
        const KvHsv c = KvRgbToHsv(im.palette[i], im.palette[256 + i], im.palette[512 + i]);
        for (int h = 0; h < H::kHues; ++h) {
          for (int s = 0; s < H::kSaturations; ++s) {
            for (int v = 0; v < H::kValues; ++v) {
              // Grey and dark bins do not tell hues (dark ones not even
              // saturations) apart.
              const double hue = s == 0 || v == 0 ? 1.0 / H::kHues : CircularTent(c.h / 360.0, h, H::kHues);
              const double sat = v == 0 ? 1.0 / H::kSaturations : Tent(c.s, s, H::kSaturations);
              share[H::Bin(h, s, v)] += hue * sat * Tent(c.v, v, H::kValues);
            }
          }
        }
        total += 1;
      }
    }
    H f;
    ASSERT_EQ(f.ComputeFeature(im.Load(), nullptr), 0);
    EXPECT_NEAR(std::accumulate(share.begin(), share.end(), 0.0), total, 1e-6 * total);
    for (int b = 0; b < H::kBins; ++b) {
      EXPECT_NEAR(f.GetRoots()[b], std::sqrt(share[b] / total) * H::kScale, 1.0) << "bin " << b;
    }
  }
}

TEST(HsvHistogram, GreysAndDarkColoursDoNotDependOnTheirHue) {
  // Compression noise gives a grey or a near-black pixel an arbitrary hue;
  // the record must not follow it. Pairs of colours of one value that differ
  // only so.
  struct Case {
    int a[3], b[3];
  } cases[] = {{{128, 128, 128}, {128, 126, 125}},   // grey, slightly warm
               {{200, 200, 203}, {203, 201, 200}},   // light grey, two tints
               {{20, 5, 5}, {5, 5, 20}},             // near black, red or blue cast
               {{30, 24, 0}, {0, 24, 30}}};
  using H = KvHsvHistogramFeatureClass;
  for (const Case& c : cases) {
    TestImage ia(6, 4), ib(6, 4);
    ia.SetColor(0, c.a[0], c.a[1], c.a[2]);
    ib.SetColor(0, c.b[0], c.b[1], c.b[2]);
    H fa, fb;
    ASSERT_EQ(fa.ComputeFeature(ia.Load(), nullptr), 0);
    ASSERT_EQ(fb.ComputeFeature(ib.Load(), nullptr), 0);
    EXPECT_EQ(Record(fa), Record(fb)) << c.a[0] << "," << c.a[1] << "," << c.a[2];
    EXPECT_EQ(fa.Distance(&fb, nullptr, 0.0f), 0.0f);
  }
  // A saturated colour still tells its hue.
  TestImage red(6, 4), blue(6, 4);
  red.SetColor(0, 220, 20, 20);
  blue.SetColor(0, 20, 20, 220);
  H fr, fb;
  ASSERT_EQ(fr.ComputeFeature(red.Load(), nullptr), 0);
  ASSERT_EQ(fb.ComputeFeature(blue.Load(), nullptr), 0);
  EXPECT_GT(fr.Distance(&fb, nullptr, 0.0f), 0.9f);
}

TEST(HsvHistogram, DistanceIsTheHellingerDistanceOfTheShares) {
  using H = KvHsvHistogramFeatureClass;
  Lcg rng(3);
  auto bytesOf = [](const std::vector<int>& roots) {
    std::vector<unsigned char> out(2 * H::kBins);
    for (int i = 0; i < H::kBins; ++i) {
      out[2 * i] = static_cast<unsigned char>(roots[i] >> 8);
      out[2 * i + 1] = static_cast<unsigned char>(roots[i]);
    }
    return out;
  };
  auto reference = [](const std::vector<int>& a, const std::vector<int>& b) {
    double na = 0, nb = 0, dot = 0;
    for (int i = 0; i < H::kBins; ++i) {
      na += static_cast<double>(a[i]) * a[i];
      nb += static_cast<double>(b[i]) * b[i];
    }
    if (na == 0 || nb == 0) return na == nb ? 0.0 : 1.0;
    for (int i = 0; i < H::kBins; ++i) dot += (a[i] / std::sqrt(na)) * (b[i] / std::sqrt(nb));
    return std::sqrt(std::max(0.0, 1.0 - dot));
  };
  std::vector<int> zero(H::kBins, 0), one(H::kBins, 0), other(H::kBins, 0);
  one[5] = 32767;
  other[6] = 32767;
  struct Case {
    std::vector<int> a, b;
    double expected;
  } cases[] = {{one, one, 0.0}, {one, other, 1.0}, {zero, zero, 0.0}, {zero, one, 1.0}};
  for (const Case& c : cases) {
    H fa, fb;
    Load(fa, bytesOf(c.a));
    Load(fb, bytesOf(c.b));
    EXPECT_EQ(fa.Distance(&fb, nullptr, 0.0f), static_cast<float>(c.expected));
  }
  for (int round = 0; round < 20; ++round) {
    std::vector<int> a(H::kBins), b(H::kBins);
    for (int i = 0; i < H::kBins; ++i) {
      a[i] = rng.Below(4) == 0 ? rng.Below(65536) : 0;
      b[i] = rng.Below(4) == 0 ? rng.Below(65536) : 0;
    }
    H fa, fb;
    Load(fa, bytesOf(a));
    Load(fb, bytesOf(b));
    EXPECT_NEAR(fa.Distance(&fb, nullptr, 0.0f), reference(a, b), 1e-6);
    EXPECT_EQ(fa.Distance(&fb, nullptr, 0.0f), fb.Distance(&fa, nullptr, 0.0f));
    // Scaling a histogram does not change its shares: exactly 0 apart.
    std::vector<int> half(a);
    for (int& v : half) v /= 2;
    for (int& v : a) v = (v / 2) * 2;
    Load(fa, bytesOf(a));
    Load(fb, bytesOf(half));
    EXPECT_EQ(fa.Distance(&fb, nullptr, 0.0f), 0.0f);
  }
}

// ---- edge histogram ----

TEST(EdgeHistogram, BlockKinds) {
  struct Case {
    float a, b, c, d;
    int kind;
  } cases[] = {
      {200, 0, 200, 0, 0},     {200, 200, 0, 0, 1},   {200, 100, 100, 0, 2}, {100, 200, 0, 100, 3},
      {200, 0, 0, 200, 4},     {90, 90, 90, 90, -1},  {5, 0, 5, 0, -1},      {6, 0, 6, 0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(KvEdgeKind(c.a, c.b, c.c, c.d), c.kind) << c.a << c.b << c.c << c.d;
}

// Stripes one pixel wide put the same edge into every 2 x 2 block.
TEST(EdgeHistogram, PatternsFillTheirKindInEveryRegion) {
  struct Case {
    const char* what;
    int (*paint)(int x, int y);
    int kind;
  } cases[] = {
      {"vertical stripes", [](int x, int) { return x % 2; }, 0},
      {"horizontal stripes", [](int, int y) { return y % 2; }, 1},
      {"checkerboard", [](int x, int y) { return (x + y) % 2; }, 4},
      {"flat", [](int, int) { return 0; }, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestImage im(48, 32);
    im.SetColor(1, 255, 255, 255);
    for (int y = 0; y < im.height; ++y) {
      for (int x = 0; x < im.width; ++x) im.At(x, y) = static_cast<unsigned char>(c.paint(x, y));
    }
    KvEdgeHistogramFeatureClass f;
    ASSERT_EQ(f.ComputeFeature(im.Load(), nullptr), 0);
    for (int i = 0; i < KvEdgeHistogramFeatureClass::kBins; ++i) {
      EXPECT_EQ(f.GetBins()[i], i % 5 == c.kind ? 255 : 0) << i;
    }
  }
}

// Local bins, the whole image's bins (weight 5) and the bins of 13 region
// groups, each the mean of its regions, in units of 255.
double ReferenceEdgeDistance(const uint8_t* a, const uint8_t* b) {
  static const int groups[13][4] = {{0, 1, 2, 3},   {4, 5, 6, 7},   {8, 9, 10, 11}, {12, 13, 14, 15}, {0, 4, 8, 12},
                                    {1, 5, 9, 13},  {2, 6, 10, 14}, {3, 7, 11, 15}, {0, 1, 4, 5},     {2, 3, 6, 7},
                                    {8, 9, 12, 13}, {10, 11, 14, 15}, {5, 6, 9, 10}};
  double d = 0;
  for (int i = 0; i < 80; ++i) d += std::fabs(double(a[i]) - b[i]);
  for (int k = 0; k < 5; ++k) {
    double ga = 0, gb = 0;
    for (int r = 0; r < 16; ++r) {
      ga += a[r * 5 + k] / 16.0;
      gb += b[r * 5 + k] / 16.0;
    }
    d += 5 * std::fabs(ga - gb);
  }
  for (const auto& g : groups) {
    for (int k = 0; k < 5; ++k) {
      double ga = 0, gb = 0;
      for (int r : g) {
        ga += a[r * 5 + k] / 4.0;
        gb += b[r * 5 + k] / 4.0;
      }
      d += std::fabs(ga - gb);
    }
  }
  return d / 255.0;
}

TEST(EdgeHistogram, DistanceMatchesReference) {
  Lcg rng(4);
  for (int round = 0; round < 30; ++round) {
    uint8_t a[80], b[80];
    for (int i = 0; i < 80; ++i) {
      a[i] = static_cast<uint8_t>(rng.Below(256));
      b[i] = static_cast<uint8_t>(round == 0 ? a[i] : rng.Below(256));
    }
    EXPECT_NEAR(KvEdgeHistogramFeatureClass::BinDistance(a, b), ReferenceEdgeDistance(a, b), 1e-9);
  }
}

TEST(EdgeHistogram, MirrorMatchesTheMirroredImage) {
  Lcg rng(5);
  TestImage im(64, 48), flipped(64, 48);
  for (int i = 0; i < 4; ++i) {
    const int r = rng.Below(256), g = rng.Below(256), b = rng.Below(256);
    im.SetColor(i, r, g, b);
    flipped.SetColor(i, r, g, b);
  }
  // Diagonal bands and blobs, so that the two diagonal kinds both occur.
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) {
      const int c = x < 32 ? ((x + y) / 3) % 4 : ((x * x + y) / 7) % 4;
      im.At(x, y) = static_cast<unsigned char>(c);
      flipped.At(63 - x, y) = static_cast<unsigned char>(c);
    }
  }
  KvEdgeHistogramFeatureClass f, g, mirrored;
  ASSERT_EQ(f.ComputeFeature(im.Load(), nullptr), 0);
  ASSERT_EQ(g.ComputeFeature(flipped.Load(), nullptr), 0);
  uint8_t twice[80], once[80];
  KvEdgeHistogramFeatureClass::Mirror(f.GetBins(), once);
  KvEdgeHistogramFeatureClass::Mirror(once, twice);
  EXPECT_TRUE(std::equal(twice, twice + 80, f.GetBins()));
  EXPECT_TRUE(std::equal(once, once + 80, g.GetBins()));

  KvParameterClass plain, tolerant;
  plain = *f.GetParameters();
  tolerant = plain;
  ASSERT_EQ(tolerant.SetParameter("Mirror", "T"), 0);
  KvEdgeHistogramFeatureClass q1, q2;
  Load(q1, Record(f));
  Load(q2, Record(f));
  EXPECT_GT(q1.Distance(&g, &plain, 0.0f), 0.0f);
  EXPECT_EQ(q2.Distance(&g, &tolerant, 0.0f), 0.0f);
  // The unmirrored comparison still counts: never farther than without.
  EXPECT_EQ(q2.Distance(&f, &tolerant, 0.0f), 0.0f);
}

// ---- colour-edge descriptor ----

TEST(ColorEdge, FuzzyColours) {
  struct Case {
    int r, g, b;
    int colour;  // holding (nearly) all of the membership
  } cases[] = {{0, 0, 0, 0}, {255, 255, 255, 2}, {128, 128, 128, 1}, {255, 0, 0, 4}, {0, 255, 0, 13},
               {0, 0, 255, 19}, {255, 255, 0, 10}, {0, 255, 255, 16}, {255, 0, 255, 22}, {60, 0, 0, 3}};
  for (const Case& c : cases) {
    float m[KvColorEdgeFeatureClass::kColors];
    KvFuzzyColors(c.r, c.g, c.b, m);
    EXPECT_GT(m[c.colour], 0.95f) << c.r << " " << c.g << " " << c.b;
  }
  Lcg rng(6);
  for (int i = 0; i < 200; ++i) {
    float m[KvColorEdgeFeatureClass::kColors];
    KvFuzzyColors(rng.Below(256), rng.Below(256), rng.Below(256), m);
    float sum = 0;
    for (float v : m) {
      EXPECT_GE(v, 0.0f);
      sum += v;
    }
    EXPECT_NEAR(sum, 1.0f, 1e-5);
  }
}

TEST(ColorEdge, FlatAndStripedImages) {
  using C = KvColorEdgeFeatureClass;
  TestImage flat(80, 80), striped(80, 80);
  flat.SetColor(0, 255, 0, 0);
  striped.SetColor(1, 255, 255, 255);
  for (int y = 0; y < 80; ++y) {
    for (int x = 0; x < 80; ++x) striped.At(x, y) = static_cast<unsigned char>((y / 1) % 2);
  }
  C f, g;
  ASSERT_EQ(f.ComputeFeature(flat.Load(), nullptr), 0);
  ASSERT_EQ(g.ComputeFeature(striped.Load(), nullptr), 0);
  // Every block of the flat red image: no edge, normal red.
  for (int i = 0; i < C::kBins; ++i) EXPECT_EQ(f.GetBins()[i], i == 4 ? 255 : 0) << i;
  // The striped blocks average to gray and show no edge at their 2 x 2
  // quarters' scale; none is red.
  EXPECT_EQ(g.GetBins()[4], 0);
  EXPECT_EQ(f.Distance(&g, nullptr, 0.0f), 1.0f);
}

TEST(ColorEdge, DistanceIsTanimotoOfTheBins) {
  using C = KvColorEdgeFeatureClass;
  Lcg rng(7);
  for (int round = 0; round < 20; ++round) {
    std::vector<unsigned char> a(C::kBins), b(C::kBins);
    for (int i = 0; i < C::kBins; ++i) {
      a[i] = static_cast<unsigned char>(rng.Below(3) == 0 ? rng.Below(256) : 0);
      b[i] = static_cast<unsigned char>(rng.Below(3) == 0 ? rng.Below(256) : 0);
    }
    double ab = 0, aa = 0, bb = 0;
    for (int i = 0; i < C::kBins; ++i) {
      ab += a[i] * b[i];
      aa += a[i] * a[i];
      bb += b[i] * b[i];
    }
    C fa, fb;
    Load(fa, a);
    Load(fb, b);
    EXPECT_NEAR(fa.Distance(&fb, nullptr, 0.0f), 1.0 - ab / (aa + bb - ab), 1e-6);
  }
  C empty1, empty2;
  EXPECT_EQ(empty1.Distance(&empty2, nullptr, 0.0f), 0.0f);
}

// ---- correlogram ----

TEST(Correlogram, MatchesRingCountingReference) {
  using R = KvCorrelogramFeatureClass;
  Lcg rng(8);
  const int offsets[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {-1, -1}, {1, -1}, {-1, 1}};
  for (int round = 0; round < 6; ++round) {
    TestImage im(9 + 3 * round, 8 + round);
    RandomImage(im, rng, 3 + round, round % 2 == 1);
    auto colourAt = [&](int x, int y) {
      if (im.MaskAt(x, y) == 0) return -1;
      const int i = im.At(x, y);
      return (im.palette[i] >> 6) * 16 + (im.palette[256 + i] >> 6) * 4 + (im.palette[512 + i] >> 6);
    };
    R f;
    ASSERT_EQ(f.ComputeFeature(im.Load(), nullptr), 0);
    for (int d = 0; d < R::kDistances; ++d) {
      const int k = R::kDistance[d];
      std::vector<long> same(R::kColors, 0), seen(R::kColors, 0);
      for (int y = 0; y < im.height; ++y) {
        for (int x = 0; x < im.width; ++x) {
          const int c = colourAt(x, y);
          if (c < 0) continue;
          for (const auto& o : offsets) {
            const int nx = x + k * o[0], ny = y + k * o[1];
            if (nx < 0 || ny < 0 || nx >= im.width || ny >= im.height) continue;
            ++seen[c];
            same[c] += colourAt(nx, ny) == c ? 1 : 0;
          }
        }
      }
      for (int c = 0; c < R::kColors; ++c) {
        const double chance = seen[c] == 0 ? 0.0 : static_cast<double>(same[c]) / seen[c];
        EXPECT_EQ(f.GetBins()[c * R::kDistances + d], std::lround(chance * 255)) << "colour " << c << " k " << k;
      }
    }
  }
}

TEST(Correlogram, DistanceIsRelativeL1) {
  using R = KvCorrelogramFeatureClass;
  Lcg rng(9);
  for (int round = 0; round < 20; ++round) {
    std::vector<unsigned char> a(R::kBins), b(R::kBins);
    double expected = 0;
    for (int i = 0; i < R::kBins; ++i) {
      a[i] = static_cast<unsigned char>(rng.Below(256));
      b[i] = static_cast<unsigned char>(rng.Below(256));
      const double x = a[i] / 255.0, y = b[i] / 255.0;
      expected += std::fabs(x - y) / (1 + x + y);
    }
    R fa, fb;
    Load(fa, a);
    Load(fb, b);
    EXPECT_NEAR(fa.Distance(&fb, nullptr, 0.0f), expected, 1e-4);
  }
}

}  // namespace
