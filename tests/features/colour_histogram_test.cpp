// The colour histogram feature: computation, byte string, distances.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "colour_test_support.h"
#include "core/KvBytes.h"
#include "data/KvParameter.h"
#include "features/KvColorFeature.h"
#include "features/KvColorHistogramFeature.h"
#include "features/KvColorSpace.h"

namespace {

using colourtest::DatumText;
using colourtest::LastError;
using colourtest::Lcg;
using colourtest::SetDatum;
using colourtest::TestImage;

constexpr int kBins = 256;

int BinOf(int r, int g, int b) { return kKvHistogramCellMap[(r >> 4) * 256 + (g >> 4) * 16 + (b >> 4)]; }

std::vector<unsigned char> HistogramBytes(const std::vector<int>& bins, int32_t selfTerm) {
  std::vector<unsigned char> bytes(516);
  for (int i = 0; i < kBins; ++i) Encode16BE(bytes.data() + 2 * i, static_cast<uint16_t>(bins[i]));
  Encode32BE(bytes.data() + 512, static_cast<uint32_t>(selfTerm));
  return bytes;
}

// A histogram feature decoded from the given bins and self term.
void Load(KvColorHistogramFeatureClass& f, const std::vector<int>& bins, int32_t selfTerm) {
  KvDatumClass d;
  SetDatum(d, HistogramBytes(bins, selfTerm));
  ASSERT_EQ(f.FromByteString(d), 0);
}

std::vector<int> Bins(std::initializer_list<std::pair<int, int>> entries) {
  std::vector<int> bins(kBins, 0);
  for (const auto& e : entries) bins[e.first] = e.second;
  return bins;
}

int32_t ReferenceSelfTerm(const std::vector<int>& bins) {
  const double* b = KvHistogramExpSimilarity();
  double s = 0;
  for (int i = 0; i < kBins; ++i) {
    for (int j = 0; j < kBins; ++j) s += bins[i] * b[i * kBins + j] * static_cast<double>(bins[j]);
  }
  return static_cast<int32_t>(s + 0.5);
}

// Reference block counting, written over 2-D coordinates.
std::vector<int> ReferenceCount(TestImage& im, int n) {
  std::vector<long> counter(kBins, 0);
  long total = 0;
  auto colour = [&](int x, int y, int c) { return static_cast<long>(im.palette[c * 256 + im.At(x, y)]); };
  for (int by = 0; by + n <= im.height; by += n) {
    for (int bx = 0; bx + n <= im.width; bx += n) {
      if (!im.MaskAt(bx, by) || !im.MaskAt(bx + n - 1, by) || !im.MaskAt(bx, by + n - 1) ||
          !im.MaskAt(bx + n - 1, by + n - 1)) {
        continue;
      }
      struct Group {
        long sum[3];
        long count;
      };
      std::vector<Group> groups;
      for (int y = by; y < by + n; ++y) {
        for (int x = bx; x < bx + n; ++x) {
          const long rgb[3] = {colour(x, y, 0), colour(x, y, 1), colour(x, y, 2)};
          long best = static_cast<long>(n) * n * 768;
          int g = -1;
          for (size_t j = 0; j < groups.size(); ++j) {
            long v = 0;
            for (int c = 0; c < 3; ++c) v += std::labs(rgb[c] * groups[j].count - groups[j].sum[c]);
            if (v < best) {
              best = v;
              g = static_cast<int>(j);
            }
          }
          if (g < 0 || best >= 225 * groups[g].count) {
            groups.push_back({{rgb[0], rgb[1], rgb[2]}, 1});
          } else {
            for (int c = 0; c < 3; ++c) groups[g].sum[c] += rgb[c];
            groups[g].count += 1;
          }
        }
      }
      for (const Group& g : groups) {
        long mean[3];
        for (int c = 0; c < 3; ++c) mean[c] = (g.sum[c] + g.count / 2) / g.count;
        counter[BinOf(mean[0], mean[1], mean[2])] += g.count;
        total += g.count;
      }
    }
  }
  if (total <= 6L * n * n) {
    for (int y = 0; y < im.height; ++y) {
      for (int x = 0; x < im.width; ++x) {
        if (!im.MaskAt(x, y)) continue;
        counter[BinOf(colour(x, y, 0), colour(x, y, 1), colour(x, y, 2))] += 1;
        total += 1;
      }
    }
  }
  std::vector<int> bins(kBins, 0);
  for (int i = 0; i < kBins && total > 0; ++i) bins[i] = static_cast<int>(double(counter[i]) / total * 1000 + 0.5);
  return bins;
}

// Reference partial matching. The stored image's shares in the rank order of
// query colour k give a polyline of (similarity, share still needed); both
// penalties are areas under polylines cut at a crossing.
struct Point {
  double s, v;
};

// Walks (s, v) points from start while v stays above 0 (cover) or s above
// floor (excess), cutting the last segment at the crossing; returns the area.
double ReferencePartial(const std::vector<int>& q, const std::vector<int>& t, double hiLoCut = 0.05,
                        double loMult = 2.0, double hiMult = 1.0, double minPct = 0.05, double excess = 0.15) {
  const double* lin = KvHistogramLinSimilarity();
  const uint8_t* rank = KvHistogramRank();
  double total = 0;
  for (int k = 0; k < kBins; ++k) {
    if (q[k] == 0) continue;
    const double p = q[k] / 1000.0;
    // Similarity and stored share of every ranked bin, then the rest of the
    // image at similarity 0.
    std::vector<Point> steps;
    for (int r = 0; r < kBins; ++r) steps.push_back({lin[k * kBins + rank[k * kBins + r]], t[rank[k * kBins + r]] / 1000.0});
    // Sufficiency: need falls from p by each share.
    double sPrev = 1, need = p, area = 0, sCross = 0, over = 0;
    size_t next = 0;
    for (;; ++next) {
      double s, needNow;
      if (next < steps.size()) {
        s = steps[next].s;
        needNow = need - steps[next].v;
      } else {
        s = 0;
        needNow = p - 1.0;
      }
      if (needNow <= 0) {
        sCross = s;
        over = -needNow;
        const double sAt = sPrev + (s - sPrev) * need / (need - needNow);
        area += need * (sPrev - sAt) / 2;
        sPrev = sAt;
        ++next;
        break;
      }
      area += (need + needNow) * (sPrev - s) / 2;
      sPrev = s;
      need = needNow;
    }
    const double sStar = sPrev;
    const double ds = std::max(area / p, 0.0);
    const double suff = std::max(ds - (1 - sStar) * 0.1, 0.0);
    const double pct = p > hiLoCut ? (p - hiLoCut) * hiMult + hiLoCut * loMult : loMult * p;
    const double pctd = std::min(std::max(pct, minPct), 1.0);
    double de = 0;
    const double theta = std::max(1 - ds - excess, 0.0);
    const double span = std::max(sStar - theta, 0.0);
    if (pctd < 1.0 && span > 0) {
      std::vector<Point> rest = {{sCross, over}};
      for (size_t r = next; r < steps.size(); ++r) rest.push_back(steps[r]);
      double cum = 0, ea = 0, s0 = sStar;
      for (size_t r = 0;; ++r) {
        const double s = r < rest.size() ? rest[r].s : 0;
        const double share = r < rest.size() ? rest[r].v : std::max(1 - p - cum, 0.0);
        if (s <= theta) {
          const double cumAt = cum + share * (theta - s0) / (s - s0);
          ea += (cum + cumAt) * (s0 - theta) / 2;
          break;
        }
        ea += (2 * cum + share) * (s0 - s) / 2;
        cum += share;
        s0 = s;
      }
      de = std::max((1 - ds) * (ea / span - (pctd - p)), 0.0);
    }
    total += suff + de;
  }
  if (total < 0.5) {
    double l1 = 0;
    for (int i = 0; i < kBins; ++i) l1 += std::abs(q[i] - t[i]);
    total = std::min(total, l1 / 1000);
  }
  return total;
}

std::vector<int> RandomBins(Lcg& rng, int colours, int sum) {
  std::vector<int> bins(kBins, 0);
  for (int c = 0; c < colours; ++c) bins[rng.Below(kBins)] += sum / colours;
  return bins;
}

std::vector<int> ToVector(const int16_t* bins) { return std::vector<int>(bins, bins + kBins); }

}  // namespace

TEST(ColorHistogram, SimilarityTables) {
  KvColorHistogramFeatureClass f;  // the first construction builds them
  const double* b = KvHistogramExpSimilarity();
  const double* l = KvHistogramLinSimilarity();
  const uint8_t* rank = KvHistogramRank();
  double smallest = 1;
  for (int i = 0; i < kBins; ++i) {
    EXPECT_EQ(b[i * kBins + i], 1.0);
    EXPECT_EQ(l[i * kBins + i], 1.0);
    EXPECT_EQ(rank[i * kBins], i);
    for (int j = 0; j < kBins; ++j) {
      EXPECT_EQ(b[i * kBins + j], b[j * kBins + i]);
      EXPECT_EQ(l[i * kBins + j], l[j * kBins + i]);
      const double r = (1 - l[i * kBins + j]) * (1 - l[i * kBins + j]);
      EXPECT_NEAR(b[i * kBins + j], std::exp(-49 * r), 1e-12);
      smallest = std::min(smallest, l[i * kBins + j]);
    }
    for (int j = 1; j < kBins; ++j) {
      EXPECT_GE(l[i * kBins + rank[i * kBins + j - 1]], l[i * kBins + rank[i * kBins + j]]);
    }
  }
  EXPECT_NEAR(smallest, 0.0, 1e-12);
}

TEST(ColorHistogram, UniformRedIsOneFullBin) {
  TestImage image(30, 20);
  image.SetColor(0, 255, 0, 0);
  KvColorHistogramFeatureClass f;
  ASSERT_EQ(f.ComputeFeature(image.Load(), nullptr), 0);
  const int red = BinOf(255, 0, 0);
  for (int i = 0; i < kBins; ++i) EXPECT_EQ(f.GetBins()[i], i == red ? 1000 : 0) << i;
  EXPECT_EQ(f.GetSelfTerm(), 1000000);
  KvColorHistogramFeatureClass g;
  ASSERT_EQ(g.ComputeFeature(image.Load(), nullptr), 0);
  EXPECT_EQ(f.Distance(&g, nullptr, 0.0f), 0.0f);
}

TEST(ColorHistogram, TinyImageCountsEveryPixel) {
  TestImage image(2, 2);
  image.SetColor(0, 250, 250, 250);
  image.SetColor(1, 5, 5, 5);
  image.SetColor(2, 10, 200, 10);
  image.SetColor(3, 10, 10, 200);
  image.pixels = {0, 1, 2, 3};
  KvColorHistogramFeatureClass f;
  ASSERT_EQ(f.ComputeFeature(image.Load(), nullptr), 0);
  std::vector<int> expected(kBins, 0);
  for (int i = 0; i < 4; ++i) expected[BinOf(image.palette[i], image.palette[256 + i], image.palette[512 + i])] += 250;
  EXPECT_EQ(ToVector(f.GetBins()), expected);
  // One pixel wide and one pixel high images too.
  for (auto size : {std::make_pair(1, 7), std::make_pair(7, 1), std::make_pair(1, 1)}) {
    TestImage line(size.first, size.second);
    line.SetColor(0, 0, 0, 255);
    KvColorHistogramFeatureClass h;
    ASSERT_EQ(h.ComputeFeature(line.Load(), nullptr), 0);
    EXPECT_EQ(h.GetBins()[BinOf(0, 0, 255)], 1000);
  }
}

TEST(ColorHistogram, BlocksGroupSimilarColours) {
  // Every 3 x 3 block: eight white pixels and one black one.
  TestImage image(9, 9);
  image.SetColor(0, 255, 255, 255);
  image.SetColor(1, 0, 0, 0);
  for (int y = 0; y < 9; y += 3) {
    for (int x = 0; x < 9; x += 3) image.At(x + 1, y + 1) = 1;
  }
  KvColorHistogramFeatureClass f;
  ASSERT_EQ(f.ComputeFeature(image.Load(), nullptr), 0);
  EXPECT_EQ(f.GetBins()[BinOf(255, 255, 255)], 889);
  EXPECT_EQ(f.GetBins()[BinOf(0, 0, 0)], 111);
  // Two close grays (L1 distance 120) in different bins form one group per
  // block, counted at the block's mean colour.
  int low = 0;
  while (BinOf(low, low, low) == BinOf(low + 40, low + 40, low + 40)) ++low;
  const int high = low + 40;
  TestImage close(9, 9);
  close.SetColor(0, low, low, low);
  close.SetColor(1, high, high, high);
  for (int i = 0; i < 81; ++i) close.pixels[i] = i % 2;
  KvColorHistogramFeatureClass g;
  ASSERT_EQ(g.ComputeFeature(close.Load(), nullptr), 0);
  // Blocks hold five of one gray and four of the other.
  const int m1 = (5 * low + 4 * high + 4) / 9, m2 = (4 * low + 5 * high + 4) / 9;
  const int b1 = BinOf(m1, m1, m1), b2 = BinOf(m2, m2, m2);
  EXPECT_EQ(g.GetBins()[b1] + (b2 != b1 ? g.GetBins()[b2] : 0), 1000);
  for (int bin : {BinOf(low, low, low), BinOf(high, high, high)}) {
    if (bin != b1 && bin != b2) {
      EXPECT_EQ(g.GetBins()[bin], 0);
    }
  }
}

// Block rows reach down to the last image row that a whole block covers.
// Stopping once a block's first pixel lies beyond the last pixel minus n rows
// would drop the last block row whenever the height is a multiple of 3: the
// 12-row image below would count red only (1000) and never its blue bottom.
TEST(ColorHistogram, LastBlockRowIsCounted) {
  for (const int height : {12, 13, 14}) {
    TestImage image(12, height);
    image.SetColor(0, 255, 0, 0);
    image.SetColor(1, 0, 0, 255);
    // Rows 9 to 11, the fourth block row, are blue; rows below it (13 and 14
    // high) are green, outside every whole block.
    image.SetColor(2, 0, 255, 0);
    for (int y = 9; y < height; ++y) {
      for (int x = 0; x < 12; ++x) image.At(x, y) = y < 12 ? 1 : 2;
    }
    KvColorHistogramFeatureClass f;
    ASSERT_EQ(f.ComputeFeature(image.Load(), nullptr), 0);
    EXPECT_EQ(f.GetBins()[BinOf(255, 0, 0)], 750) << height;
    EXPECT_EQ(f.GetBins()[BinOf(0, 0, 255)], 250) << height;
    EXPECT_EQ(f.GetBins()[BinOf(0, 255, 0)], 0) << height;
    EXPECT_EQ(ToVector(f.GetBins()), ReferenceCount(image, 3)) << height;
  }
}

TEST(ColorHistogram, CoverageScalesWholeImagesOnly) {
  TestImage image(12, 12);
  image.SetColor(0, 200, 30, 30);
  image.SetColor(1, 30, 30, 200);
  for (int y = 0; y < 12; ++y) {
    for (int x = 0; x < 12; ++x) {
      image.At(x, y) = (x + y) % 2;
      image.MaskAt(x, y) = x < 6 ? 0xFF : 0;
    }
  }
  KvColorHistogramFeatureClass whole;
  ASSERT_EQ(whole.ComputeFeature(image.Load(False), nullptr), 0);
  int sum = 0;
  for (int i = 0; i < kBins; ++i) sum += whole.GetBins()[i];
  EXPECT_NEAR(sum, 500, 1);
  EXPECT_EQ(whole.GetSelfTerm(), KvColorHistogramFeatureClass::kNoSelfTerm);
  KvColorHistogramFeatureClass part;
  ASSERT_EQ(part.ComputeFeature(image.Load(True), nullptr), 0);
  sum = 0;
  for (int i = 0; i < kBins; ++i) sum += part.GetBins()[i];
  EXPECT_NEAR(sum, 1000, 1);
  EXPECT_EQ(part.GetSelfTerm(), ReferenceSelfTerm(ToVector(part.GetBins())));
}

TEST(ColorHistogram, PickerImagesCountPixelsWithoutSelfTerm) {
  TestImage image(4, 4);
  image.SetColor(0, 255, 255, 255);
  image.SetColor(1, 0, 0, 0);
  image.At(1, 1) = 1;
  KvColorHistogramFeatureClass f;
  ASSERT_EQ(f.ComputeFeature(image.Load(False, 'p'), nullptr), 0);
  EXPECT_EQ(f.GetBins()[BinOf(255, 255, 255)], 938);  // 15 / 16
  EXPECT_EQ(f.GetBins()[BinOf(0, 0, 0)], 63);
  EXPECT_EQ(f.GetSelfTerm(), KvColorHistogramFeatureClass::kNoSelfTerm);
}

TEST(ColorHistogram, MatchesReferenceOnRandomImages) {
  Lcg rng(3);
  for (int trial = 0; trial < 60; ++trial) {
    TestImage image(1 + rng.Below(20), 1 + rng.Below(16));
    const int colours = 1 + rng.Below(12);
    for (int i = 0; i < colours; ++i) image.SetColor(i, rng.Below(256), rng.Below(256), rng.Below(256));
    for (auto& p : image.pixels) p = static_cast<unsigned char>(rng.Below(colours));
    const int masking = rng.Below(3);
    for (auto& m : image.mask) m = masking == 0 || rng.Below(5) != 0 ? 0xFF : 0;
    if (masking == 2) {
      for (int y = 0; y < image.height; ++y) image.MaskAt(0, y) = 0;
    }
    image.mask[image.mask.size() - 1] = 0xFF;
    const bool picker = trial % 4 == 3;
    const Boolean subPart = trial % 3 == 1 ? True : False;
    KvColorHistogramFeatureClass f;
    ASSERT_EQ(f.ComputeFeature(image.Load(subPart, picker ? 'p' : 'm'), nullptr), 0);
    std::vector<int> expected = ReferenceCount(image, picker ? 1 : 3);
    long covered = 0;
    for (unsigned char m : image.mask) covered += m != 0;
    const double coverage = double(covered) / image.mask.size();
    if (!subPart && coverage < 1.0) {
      for (int& b : expected) b = static_cast<int>(b * coverage + 0.5);
    }
    EXPECT_EQ(ToVector(f.GetBins()), expected) << trial;
    if (!picker && (subPart || coverage >= 1.0)) {
      EXPECT_NEAR(f.GetSelfTerm(), ReferenceSelfTerm(expected), 1) << trial;
    } else {
      EXPECT_EQ(f.GetSelfTerm(), KvColorHistogramFeatureClass::kNoSelfTerm) << trial;
    }
  }
}

TEST(ColorHistogram, FullyMaskedImageHasNoBins) {
  TestImage image(6, 6);
  for (auto& m : image.mask) m = 0;
  KvColorHistogramFeatureClass f;
  ASSERT_EQ(f.ComputeFeature(image.Load(True), nullptr), 0);
  EXPECT_EQ(LastError(), "kcComp: Invalid object has no pixels in it.");
  for (int i = 0; i < kBins; ++i) EXPECT_EQ(f.GetBins()[i], 0);
  // No pixel plane at all: refused.
  KvGenericImageDataClass empty;
  empty.SetType('m');
  EXPECT_EQ(f.ComputeFeature(&empty, nullptr), -1);
}

TEST(ColorHistogram, ByteStringRoundTripsAtBoundaryValues) {
  const int16_t values[] = {0, 1, -1, 1000, SHRT_MAX, SHRT_MIN};
  const int32_t selfTerms[] = {-100, 0, 1000000, INT32_MAX, INT32_MIN};
  for (int32_t selfTerm : selfTerms) {
    std::vector<int> bins(kBins);
    for (int i = 0; i < kBins; ++i) bins[i] = values[i % 6];
    KvColorHistogramFeatureClass f, g;
    Load(f, bins, selfTerm);
    KvDatumClass bytes;
    ASSERT_EQ(f.ToByteString(bytes), 0);
    EXPECT_EQ(std::vector<unsigned char>(bytes.Data(), bytes.Data() + bytes.Size()), HistogramBytes(bins, selfTerm));
    ASSERT_EQ(g.FromByteString(bytes), 0);
    EXPECT_EQ(ToVector(g.GetBins()), bins);
    EXPECT_EQ(g.GetSelfTerm(), selfTerm);
  }
}

TEST(ColorHistogram, EveryTruncationIsRefused) {
  const std::vector<unsigned char> full = HistogramBytes(Bins({{5, 1000}}), 1000000);
  KvColorHistogramFeatureClass f;
  Load(f, Bins({{7, 700}}), 12);
  for (size_t size = 0; size <= 517; ++size) {
    if (size == 516) continue;
    std::vector<unsigned char> bytes(full.begin(), full.begin() + std::min<size_t>(size, 516));
    bytes.resize(size, 0);
    KvDatumClass d;
    SetDatum(d, bytes);
    ASSERT_EQ(f.FromByteString(d), -1);
    EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal);
    EXPECT_EQ(LastError(), "KvClrHst: FromByteString read " + std::to_string(size) + " bytes, expected 516.");
  }
  EXPECT_EQ(f.GetBins()[7], 700);
  EXPECT_EQ(f.GetBins()[5], 0);
  EXPECT_EQ(f.GetSelfTerm(), 12);
}

TEST(ColorHistogram, AsciiForm) {
  std::vector<int> bins(kBins);
  for (int i = 0; i < kBins; ++i) bins[i] = i;
  KvColorHistogramFeatureClass f;
  Load(f, bins, -100);
  KvDatumClass text;
  ASSERT_EQ(f.ToAsciiString(text), 0);
  std::string expected = "\n";
  char cell[16];
  for (int i = 0; i < kBins; ++i) {
    std::snprintf(cell, sizeof cell, "%5d", i);
    expected += cell;
    if (i % 12 == 11) expected += "\n";
  }
  expected += "      -100\n";
  EXPECT_EQ(DatumText(text), expected);
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 23);
}

TEST(ColorHistogram, RefusedOperandsAndDataObjects) {
  KvColorHistogramFeatureClass f;
  KvColorFeatureClass other;
  EXPECT_EQ(f.Distance(&other, nullptr, 0.0f), -1.0f);
  EXPECT_EQ(LastError(),
            "KvColorHistogramFeatureClass::Distance coerce failed from type KvFeatureClass to type "
            "KvColorHistogramFeatureClass and type KvColorHistogramSubPartFeatureClass.");
  EXPECT_EQ(f.Distance(nullptr, nullptr, 0.0f), -1.0f);
  KvGenericImageDataClass image;
  image.SetType('u');
  EXPECT_EQ(f.ComputeFeature(&image, nullptr), -1);
  EXPECT_EQ(LastError(), "KvClrHst:ComputeFeature found unknown generic data type 117.");
  EXPECT_EQ(f.ComputeFeature(nullptr, nullptr), -1);
  EXPECT_EQ(LastError(),
            "KvColorHistogramFeatureClass::ComputeFeature coerce failed from type KvGenericDataClass to type "
            "KvGenericImageDataClass.");
}

TEST(ColorHistogram, QuadraticDistanceMatchesQuadraticForm) {
  Lcg rng(5);
  const double* b = KvHistogramExpSimilarity();
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<int> q = RandomBins(rng, 1 + rng.Below(30), 1000), t = RandomBins(rng, 1 + rng.Below(30), 1000);
    KvColorHistogramFeatureClass fq;
    KvColorHistogramSubPartFeatureClass ft;
    Load(fq, q, ReferenceSelfTerm(q));
    Load(ft, t, ReferenceSelfTerm(t));
    double expected = 0;
    for (int i = 0; i < kBins; ++i) {
      for (int j = 0; j < kBins; ++j) expected += (q[i] - t[i]) * b[i * kBins + j] * (q[j] - t[j]);
    }
    expected *= 1e-6;
    // The self terms are rounded to integers: at most 1e-6 apart.
    EXPECT_NEAR(fq.Distance(&ft, nullptr, 0.0f), expected, 1.5e-6) << trial;
    EXPECT_NEAR(fq.Distance(&fq, nullptr, 0.0f), 0.0, 1e-6);
  }
}

TEST(ColorHistogram, QuadraticDistanceToHistogramWithoutSelfTermFails) {
  KvColorHistogramFeatureClass q, t;
  Load(q, Bins({{3, 1000}}), 1000000);
  Load(t, Bins({{3, 1000}}), -100);
  EXPECT_EQ(q.Distance(&t, nullptr, 0.0f), -1.0f);
  // Also where the sum would come out positive (dissimilar colours): the
  // missing self term makes any value meaningless.
  Load(t, Bins({{200, 1000}}), -100);
  EXPECT_EQ(q.Distance(&t, nullptr, 0.0f), -1.0f);
}

TEST(ColorHistogram, PartialMatchingExamples) {
  struct Case {
    int queryShare;
    const char* loMult;
    double expected;
  };
  // A single query colour against an image holding only that colour: no
  // shortage; the excess penalty is the stored share beyond the desired one.
  const Case cases[] = {
      {1000, ".", 0.0},    // desired share 1.0: no excess term
      {500, ".", 0.45},    // desired 0.5 - 0.05 + 0.1 = 0.55; 0.5 - 0.05
      {30, ".", 0.94},     // desired 2 x 0.03 = 0.06; 0.97 - 0.03
      {30, "3", 0.91},     // desired 3 x 0.03 = 0.09; 0.97 - 0.06
  };
  for (const Case& c : cases) {
    KvParameterClass parms;
    parms.SetParameter("HiLoCut", ".");
    parms.SetParameter("LoMult", c.loMult);
    KvColorHistogramFeatureClass q, t;
    Load(q, Bins({{20, c.queryShare}}), -100);
    Load(t, Bins({{20, 1000}}), 1000000);
    EXPECT_NEAR(q.Distance(&t, &parms, 0.0f), c.expected, 1e-6) << c.queryShare;
  }
}

TEST(ColorHistogram, PartialMatchingMatchesReference) {
  Lcg rng(9);
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<int> q = RandomBins(rng, 1 + rng.Below(8), 1000 - 100 * rng.Below(5));
    std::vector<int> t = RandomBins(rng, 1 + rng.Below(40), 1000);
    if (trial % 5 == 0) t = q;
    KvColorHistogramFeatureClass fq, ft;
    Load(fq, q, -100);
    Load(ft, t, ReferenceSelfTerm(t));
    EXPECT_NEAR(fq.Distance(&ft, nullptr, 0.0f), ReferencePartial(q, t), 1e-5) << trial;
  }
}

TEST(ColorHistogram, PartialMatchingFallsBackToBinDifferences) {
  KvColorHistogramFeatureClass q, t;
  Load(q, Bins({{40, 500}, {90, 500}}), -100);
  Load(t, Bins({{40, 490}, {90, 510}}), 1000000);
  const double partial = ReferencePartial(ToVector(q.GetBins()), ToVector(t.GetBins()));
  EXPECT_LE(partial, 0.02 + 1e-9);
  EXPECT_NEAR(q.Distance(&t, nullptr, 0.0f), std::min(partial, 0.02), 1e-7);
}

TEST(ColorHistogram, QuerySideAppliesParametersAtComputation) {
  KvParameterClass parms;
  parms.SetParameter("LoMult", "3");
  KvGenericImageDataClass record;
  record.SetType('e');
  const std::vector<unsigned char> bytes = HistogramBytes(Bins({{20, 30}}), -100);
  record.GetFeatureDatum().CopyBytes(bytes.data(), bytes.size(), "test");
  record.SetQuerySide(True);
  KvColorHistogramFeatureClass q, t;
  ASSERT_EQ(q.ComputeFeature(&record, &parms), 0);
  Load(t, Bins({{20, 1000}}), 1000000);
  // Applied once at computation; later parameter sets are not read.
  EXPECT_NEAR(q.Distance(&t, nullptr, 0.0f), 0.91, 1e-6);
  // Without the query-side flag the first Distance applies its parameters.
  record.SetQuerySide(False);
  KvColorHistogramFeatureClass late;
  ASSERT_EQ(late.ComputeFeature(&record, &parms), 0);
  EXPECT_NEAR(late.Distance(&t, nullptr, 0.0f), 0.94, 1e-6);
}

TEST(ColorHistogram, DamagedSharesStayFinite) {
  KvColorHistogramFeatureClass q, t;
  Load(q, Bins({{1, 32767}, {2, -5}}), -100);
  Load(t, Bins({{1, -32768}, {9, 32767}}), 0);
  const float d = q.Distance(&t, nullptr, 0.0f);
  EXPECT_TRUE(std::isfinite(d));
  EXPECT_GE(d, 0.0f);
}
