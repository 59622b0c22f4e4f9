// The colour-difference feature against a slow reference computed in double
// precision with the exact cube root and arc tangent, its distance against
// the Canberra formula, and what a scaled copy does to it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "colour_test_support.h"
#include "features/KvColorDifferenceFeature.h"

namespace {

using colourtest::Lcg;
using colourtest::TestImage;
using Difference = KvColorDifferenceFeatureClass;

struct Lab {
  double l, a, b;
};

Lab ToLab(int red, int green, int blue) {
  auto linear = [](int v) {
    const double c = v / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; };
  const double r = linear(red), g = linear(green), b = linear(blue);
  const double fx = f((0.4124 * r + 0.3576 * g + 0.1805 * b) / 0.95047);
  const double fy = f(0.2126 * r + 0.7152 * g + 0.0722 * b);
  const double fz = f((0.0193 * r + 0.1192 * g + 0.9505 * b) / 1.08883);
  return {116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz)};
}

int CellOf(double v, double from, double width, int cells) {
  const int c = static_cast<int>(std::floor((v - from) / width));
  return c < 0 ? 0 : c >= cells ? cells - 1 : c;
}

// With few colours, one that the tabulated cube root moves across a bin
// boundary moves much of the record: the test images keep clear of them.
bool NearABoundary(const Lab& c) {
  auto near = [](double v, double from, double width) {
    const double t = (v - from) / width;
    return std::fabs(t - std::round(t)) < 0.01;
  };
  return near(c.l, 0, 12.5) || near(c.a, -40, 20) || near(c.b, -40, 20);
}

// Patches of a few colours with some noise, so that there are edges of
// every direction and flat regions; a third of the pixels masked if asked.
void Paint(TestImage& im, Lcg& rng, bool masked, bool noise = true) {
  for (int i = 0; i < 12; ++i) {
    int r, g, b;
    do {
      r = rng.Below(256), g = rng.Below(256), b = rng.Below(256);
    } while (NearABoundary(ToLab(r, g, b)));
    im.SetColor(i, r, g, b);
  }
  const int cx = rng.Below(im.width), cy = rng.Below(im.height);
  for (int y = 0; y < im.height; ++y) {
    for (int x = 0; x < im.width; ++x) {
      // Rings, stripes and a diagonal: edges of every direction.
      const int ring = static_cast<int>(std::hypot(x - cx, y - cy) / 7.0);
      int c = (ring + (x + 2 * y) / 11) % 6;
      if (noise && rng.Below(10) == 0) c = 6 + rng.Below(6);
      im.At(x, y) = static_cast<unsigned char>(c);
    }
  }
  if (masked) {
    for (auto& m : im.mask) m = rng.Below(3) == 0 ? 0 : 0xFF;
  }
}

// The feature of an image small enough to be its own working image, the
// plain way: masked pixels count as black for the gradients and take part
// in no pair.
std::vector<double> Reference(TestImage& im) {
  const int w = im.width, h = im.height;
  std::vector<Lab> lab(static_cast<size_t>(w) * h);
  std::vector<int> colour(lab.size()), direction(lab.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      const int p = im.MaskAt(x, y) != 0 ? im.At(x, y) : -1;
      lab[i] = p < 0 ? ToLab(0, 0, 0) : ToLab(im.palette[p], im.palette[256 + p], im.palette[512 + p]);
      colour[i] = (CellOf(lab[i].l, 0, 12.5, 8) * 4 + CellOf(lab[i].a, -40, 20, 4)) * 4 + CellOf(lab[i].b, -40, 20, 4);
    }
  }
  auto at = [&](int x, int y) -> const Lab& {
    x = x < 0 ? 0 : x >= w ? w - 1 : x;
    y = y < 0 ? 0 : y >= h ? h - 1 : y;
    return lab[static_cast<size_t>(y) * w + x];
  };
  const double pi = std::acos(-1.0);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double gxx = 0, gyy = 0, gxy = 0;
      for (int c = 0; c < 3; ++c) {
        auto v = [&](int dx, int dy) {
          const Lab& p = at(x + dx, y + dy);
          return c == 0 ? p.l : c == 1 ? p.a : p.b;
        };
        // Each side summed on its own: a flat region's gradient is exactly
        // 0 (and its direction 0), as in the feature.
        const double gx = (v(1, -1) + 2 * v(1, 0) + v(1, 1)) - (v(-1, -1) + 2 * v(-1, 0) + v(-1, 1));
        const double gy = (v(-1, 1) + 2 * v(0, 1) + v(1, 1)) - (v(-1, -1) + 2 * v(0, -1) + v(1, -1));
        gxx += gx * gx;
        gyy += gy * gy;
        gxy += gx * gy;
      }
      double theta = 0.5 * std::atan2(2 * gxy, gxx - gyy);
      if (theta < 0) theta += pi;
      direction[static_cast<size_t>(y) * w + x] = std::min(17, static_cast<int>(theta / pi * 18));
    }
  }
  std::vector<double> bins(Difference::kBins, 0.0);
  int valid = 0;
  for (unsigned char m : im.mask) valid += m != 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (const auto& [dx, dy] : {std::pair<int, int>{Difference::kApart, 0}, std::pair<int, int>{0, Difference::kApart}}) {
        if (x + dx >= w || y + dy >= h || im.MaskAt(x, y) == 0 || im.MaskAt(x + dx, y + dy) == 0) continue;
        const size_t p = static_cast<size_t>(y) * w + x, q = static_cast<size_t>(y + dy) * w + x + dx;
        const double d = std::sqrt(std::pow(lab[p].l - lab[q].l, 2) + std::pow(lab[p].a - lab[q].a, 2) +
                                   std::pow(lab[p].b - lab[q].b, 2));
        if (direction[p] == direction[q]) bins[colour[p]] += d;
        if (colour[p] == colour[q]) bins[Difference::kColors + direction[p]] += d;
      }
    }
  }
  for (double& b : bins) b = std::min(65535.0, b * Difference::kScale / valid);
  return bins;
}

TEST(ColorDifference, BinsFollowTheReference) {
  // The tabulated cube root and the polynomial arc tangent put a few cells
  // near a boundary into the neighbouring bin: the records agree within a
  // small share of their mass (a few hundredths; a fault moves tenths).
  Lcg rng(31);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    TestImage im(60 + rng.Below(60), 40 + rng.Below(60));
    Paint(im, rng, round % 3 == 2);
    Difference f;
    ASSERT_EQ(f.ComputeFeature(im.Load(), nullptr), 0);
    const std::vector<double> want = Reference(im);
    double mass = 0, off = 0;
    uint32_t sum = 0;
    for (int i = 0; i < Difference::kBins; ++i) {
      mass += want[i];
      off += std::fabs(want[i] - f.GetBins()[i]);
      sum += f.GetBins()[i];
    }
    ASSERT_GT(mass, 1000.0);
    EXPECT_LT(off, 0.04 * mass);
    EXPECT_EQ(sum, f.GetSum());
  }
}

TEST(ColorDifference, FlatImagesHaveNoDifferencesAndMeasureZero) {
  TestImage im(50, 40);
  im.SetColor(0, 200, 30, 90);
  Difference a, b;
  ASSERT_EQ(a.ComputeFeature(im.Load(), nullptr), 0);
  for (int i = 0; i < Difference::kBins; ++i) EXPECT_EQ(a.GetBins()[i], 0) << i;
  im.SetColor(0, 10, 10, 10);
  ASSERT_EQ(b.ComputeFeature(im.Load(), nullptr), 0);
  EXPECT_EQ(a.Distance(&b, nullptr, 0.0f), 0.0f);
}

TEST(ColorDifference, DistanceIsTheCanberraDistanceDampedByTheMeans) {
  Lcg rng(5);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint16_t> x(Difference::kBins), y(Difference::kBins);
    uint32_t sx = 0, sy = 0;
    for (int i = 0; i < Difference::kBins; ++i) {
      // Sparse, dense and saturated records.
      x[i] = static_cast<uint16_t>(round % 4 == 0 ? 65535 : rng.Below(3) == 0 ? 0 : rng.Below(65536));
      y[i] = static_cast<uint16_t>(round % 5 == 0 ? 0 : rng.Below(2) == 0 ? 0 : rng.Below(4000));
      sx += x[i];
      sy += y[i];
    }
    const double mx = static_cast<double>(sx) / Difference::kBins, my = static_cast<double>(sy) / Difference::kBins;
    double want = 0;
    for (int i = 0; i < Difference::kBins; ++i) {
      const double divisor = x[i] + y[i] + mx + my;
      if (divisor > 0) want += std::fabs(static_cast<double>(x[i]) - y[i]) / divisor;
    }
    const float got = Difference::BinDistance(x.data(), sx, y.data(), sy);
    EXPECT_NEAR(got, want, 1e-5 * Difference::kBins) << round;
    EXPECT_EQ(got, Difference::BinDistance(y.data(), sy, x.data(), sx));
    EXPECT_EQ(Difference::BinDistance(x.data(), sx, x.data(), sx), 0.0f);
  }
  const std::vector<uint16_t> zero(Difference::kBins, 0);
  EXPECT_EQ(Difference::BinDistance(zero.data(), 0, zero.data(), 0), 0.0f);
}

TEST(ColorDifference, AScaledCopyStaysNearAndAnotherImageDoesNot) {
  // A copy at twice the size is reduced to the same raster (without
  // single-pixel noise, which no reduction keeps). Mirror images are not
  // near by construction: the first cell of a pair across becomes the
  // second.
  Lcg rng(77);
  // Both sizes above the raster's, so both are reduced to it.
  TestImage im(200, 150), doubled(400, 300), other(200, 150);
  Paint(im, rng, false, false);
  Paint(other, rng, false, false);
  doubled.palette = im.palette;
  for (int y = 0; y < doubled.height; ++y) {
    for (int x = 0; x < doubled.width; ++x) doubled.At(x, y) = im.At(x / 2, y / 2);
  }
  Difference a, d, o;
  ASSERT_EQ(a.ComputeFeature(im.Load(), nullptr), 0);
  ASSERT_EQ(d.ComputeFeature(doubled.Load(), nullptr), 0);
  ASSERT_EQ(o.ComputeFeature(other.Load(), nullptr), 0);
  EXPECT_LT(3.0f * a.Distance(&d, nullptr, 0.0f), a.Distance(&o, nullptr, 0.0f));
}

}  // namespace
