// The colour-texture feature: its bands against the HSV band histogram, its
// patterns against a slow reference that looks at each pixel's neighbours
// one by one, mirror images, degenerate images and the distance formula.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

#include "colour_test_support.h"
#include "features/KvColorTextureFeature.h"
#include "features/KvHsvBandsFeature.h"
#include "features/KvHsvHistogramFeature.h"

namespace {

using colourtest::Lcg;
using colourtest::TestImage;
using Texture = KvColorTextureFeatureClass;

constexpr int kColours = 24;

double Gray(const TestImage& im, int index) {
  return 0.299 * im.palette[index] + 0.587 * im.palette[256 + index] + 0.114 * im.palette[512 + index];
}

// A palette whose gray levels differ by clearly more or clearly less than
// the threshold, so that single precision and double agree on every
// comparison, and patches of its colours with single-pixel noise.
void Paint(TestImage& im, Lcg& rng, bool masked) {
  for (bool clear = false; !clear;) {
    for (int i = 0; i < kColours; ++i) im.SetColor(i, rng.Below(256), rng.Below(256), rng.Below(256));
    clear = true;
    for (int i = 0; i < kColours && clear; ++i) {
      for (int j = 0; j < kColours && clear; ++j) {
        clear = std::fabs(Gray(im, i) - Gray(im, j) - Texture::kLighter) > 0.01;
      }
    }
  }
  for (int y = 0; y < im.height; ++y) {
    for (int x = 0; x < im.width; ++x) {
      im.At(x, y) = static_cast<unsigned char>(rng.Below(5) == 0 ? rng.Below(kColours) : (x / 6 + 3 * (y / 5)) % kColours);
      if (masked && rng.Below(6) == 0) im.MaskAt(x, y) = 0;
    }
  }
}

// The pattern of a code: the rank of the smaller of it and its mirror image
// among all such smaller codes.
int ReferencePattern(int code) {
  auto mirror = [](int c) {
    // Upper left <-> upper right, right <-> left, lower right <-> lower left.
    const int swaps[8] = {2, 1, 0, 7, 6, 5, 4, 3};
    int m = 0;
    for (int k = 0; k < 8; ++k) m |= ((c >> k) & 1) << swaps[k];
    return m;
  };
  std::set<int> canonical;
  for (int c = 0; c < 256; ++c) canonical.insert(std::min(c, mirror(c)));
  return static_cast<int>(std::distance(canonical.begin(), canonical.find(std::min(code, mirror(code)))));
}

// The pattern roots of an image of at most Texture::kWorkingArea pixels
// (its own raster): every pixel whose eight neighbours and itself are
// unmasked adds its pattern.
std::vector<uint16_t> ReferencePatterns(TestImage& im) {
  const int dx[8] = {-1, 0, 1, 1, 1, 0, -1, -1}, dy[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
  std::vector<double> count(Texture::kPatterns, 0.0);
  double total = 0.0;
  for (int y = 1; y + 1 < im.height; ++y) {
    for (int x = 1; x + 1 < im.width; ++x) {
      bool covered = true;
      for (int k = -1; k <= 1; ++k) {
        for (int j = -1; j <= 1; ++j) covered = covered && im.MaskAt(x + j, y + k) != 0;
      }
      if (!covered) continue;
      const double centre = Gray(im, im.At(x, y));
      int code = 0;
      for (int k = 0; k < 8; ++k) {
        if (Gray(im, im.At(x + dx[k], y + dy[k])) >= centre + Texture::kLighter) code |= 1 << k;
      }
      count[ReferencePattern(code)] += 1.0;
      total += 1.0;
    }
  }
  std::vector<uint16_t> roots(Texture::kPatterns, 0);
  for (int i = 0; i < Texture::kPatterns; ++i) {
    if (total > 0.0) roots[i] = static_cast<uint16_t>(std::lround(std::sqrt(count[i] / total) * Texture::kScale));
  }
  return roots;
}

TEST(ColorTexture, PatternsAreMirrorPairsOfCodes) {
  std::set<int> seen;
  for (unsigned c = 0; c < 256; ++c) {
    ASSERT_EQ(Texture::PatternOf(c), ReferencePattern(static_cast<int>(c))) << c;
    seen.insert(Texture::PatternOf(c));
  }
  EXPECT_EQ(static_cast<int>(seen.size()), Texture::kPatterns);
}

TEST(ColorTexture, RecordIsTheBandsAndTheReferencePatterns) {
  struct Case {
    int w, h;
    bool masked;
  } cases[] = {{40, 30, false}, {37, 52, true}, {128, 128, false}, {3, 3, false}, {90, 7, true}};
  Lcg rng(21);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << (c.masked ? " masked" : ""));
    TestImage im(c.w, c.h);
    Paint(im, rng, c.masked);
    Texture f;
    KvHsvBandsFeatureClass bands;
    ASSERT_EQ(f.ComputeFeature(im.Load(), nullptr), 0);
    ASSERT_EQ(bands.ComputeFeature(im.Load(), nullptr), 0);
    for (int i = 0; i < Texture::kColorBins; ++i) ASSERT_EQ(f.GetRoots()[i], bands.GetRoots()[i]) << "band root " << i;
    const std::vector<uint16_t> want = ReferencePatterns(im);
    for (int i = 0; i < Texture::kPatterns; ++i) {
      ASSERT_EQ(f.GetRoots()[Texture::kColorBins + i], want[i]) << "pattern " << i;
    }
  }
}

TEST(ColorTexture, AMirrorImageGivesTheSameRecord) {
  Lcg rng(22);
  TestImage im(61, 45), mirrored(61, 45);
  Paint(im, rng, true);
  mirrored.palette = im.palette;
  for (int y = 0; y < im.height; ++y) {
    for (int x = 0; x < im.width; ++x) {
      mirrored.At(im.width - 1 - x, y) = im.At(x, y);
      mirrored.MaskAt(im.width - 1 - x, y) = im.MaskAt(x, y);
    }
  }
  Texture a, b;
  ASSERT_EQ(a.ComputeFeature(im.Load(), nullptr), 0);
  ASSERT_EQ(b.ComputeFeature(mirrored.Load(), nullptr), 0);
  for (int i = 0; i < Texture::kBins; ++i) ASSERT_EQ(a.GetRoots()[i], b.GetRoots()[i]) << i;
  EXPECT_EQ(a.Distance(&b, nullptr, 0.0f), 0.0f);
}

TEST(ColorTexture, FlatAndTinyImagesAndTheFullyMaskedOne) {
  // A flat image has only the pattern of no lighter neighbour.
  TestImage flat(30, 20);
  flat.SetColor(0, 90, 140, 200);
  Texture f;
  ASSERT_EQ(f.ComputeFeature(flat.Load(), nullptr), 0);
  EXPECT_EQ(f.GetRoots()[Texture::kColorBins + Texture::PatternOf(0)], Texture::kScale);
  EXPECT_EQ(f.GetNorms()[Texture::kBands], uint64_t{Texture::kScale} * Texture::kScale);
  // Two rows have no pixel with eight neighbours: the patterns stay 0, and
  // the record still compares with others.
  TestImage thin(25, 2);
  thin.SetColor(1, 250, 250, 250);
  for (int x = 0; x < thin.width; x += 2) thin.At(x, 0) = 1;
  Texture t;
  ASSERT_EQ(t.ComputeFeature(thin.Load(), nullptr), 0);
  EXPECT_EQ(t.GetNorms()[Texture::kBands], 0u);
  EXPECT_GT(t.Distance(&f, nullptr, 0.0f), 0.0f);
  // Nothing unmasked: the feature's usual refusal.
  for (auto& m : flat.mask) m = 0;
  Texture none;
  EXPECT_NE(none.ComputeFeature(flat.Load(), nullptr), 0);
}

TEST(ColorTexture, DistanceIsTheMeanOfTheScaledParts) {
  Lcg rng(23);
  for (int round = 0; round < 6; ++round) {
    TestImage a(33 + round, 29), b(33 + round, 29);
    Paint(a, rng, round % 2 == 1);
    Paint(b, rng, false);
    Texture fa, fb;
    KvHsvBandsFeatureClass ba, bb;
    ASSERT_EQ(fa.ComputeFeature(a.Load(), nullptr), 0);
    ASSERT_EQ(ba.ComputeFeature(a.Load(), nullptr), 0);
    ASSERT_EQ(fb.ComputeFeature(b.Load(), nullptr), 0);
    ASSERT_EQ(bb.ComputeFeature(b.Load(), nullptr), 0);
    double dot = 0.0, na = 0.0, nb = 0.0;
    for (int i = Texture::kColorBins; i < Texture::kBins; ++i) {
      dot += static_cast<double>(fa.GetRoots()[i]) * fb.GetRoots()[i];
      na += static_cast<double>(fa.GetRoots()[i]) * fa.GetRoots()[i];
      nb += static_cast<double>(fb.GetRoots()[i]) * fb.GetRoots()[i];
    }
    const double patterns = std::sqrt(std::max(0.0, 1.0 - dot / std::sqrt(na * nb)));
    const double colour = ba.Distance(&bb, nullptr, 0.0f);
    const double want = 0.5 * (colour / Texture::kColorScale + patterns / Texture::kTextureScale);
    EXPECT_NEAR(fa.Distance(&fb, nullptr, 0.0f), want, 1e-5 * want) << round;
    EXPECT_EQ(fa.Distance(&fb, nullptr, 0.0f), fb.Distance(&fa, nullptr, 0.0f));
    EXPECT_EQ(fa.Distance(&fa, nullptr, 0.0f), 0.0f);
  }
}

}  // namespace
