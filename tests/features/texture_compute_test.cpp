// Tamura measures against slow, direct references on small images, and the
// peak rules of the direction histogram on hand-made histograms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "KvTestUtil.h"
#include "core/KvError.h"
#include "features/KvTextureCompute.h"

namespace {

struct Image {
  int w;
  int h;
  std::vector<unsigned char> gray;
  std::vector<unsigned char> mask;
  bool in(int x, int y) const { return x >= 0 && y >= 0 && x < w && y < h; }
  bool on(int x, int y) const { return in(x, y) && mask[y * w + x] != 0; }
  int at(int x, int y) const { return gray[y * w + x]; }
};

Image RandomImage(std::mt19937& rng, int w, int h, int maskedPercent, int levels) {
  Image im{w, h, std::vector<unsigned char>(w * h), std::vector<unsigned char>(w * h)};
  std::uniform_int_distribution<int> value(0, levels - 1);
  std::uniform_int_distribution<int> percent(0, 99);
  for (int i = 0; i < w * h; ++i) {
    im.gray[i] = static_cast<unsigned char>(value(rng) * (255 / std::max(1, levels - 1)));
    im.mask[i] = percent(rng) < maskedPercent ? 0 : 0xFF;
  }
  return im;
}

// ---- references: the definitions written out directly ----

double RefContrast(const Image& im) {
  std::vector<double> v;
  for (int y = 0; y < im.h; ++y)
    for (int x = 0; x < im.w; ++x)
      if (im.on(x, y)) v.push_back(im.at(x, y));
  if (v.empty()) return 1.0;
  double mean = 0;
  for (double g : v) mean += g;
  mean /= v.size();
  double m2 = 0, m4 = 0;
  for (double g : v) {
    m2 += (g - mean) * (g - mean);
    m4 += std::pow(g - mean, 4);
  }
  m2 /= v.size();
  m4 /= v.size();
  if (std::sqrt(m2) < 1.0) return 1.0;
  return std::sqrt(m2) / std::pow(m4 / (m2 * m2), 0.25);
}

void RefDirectionHistogram(const Image& im, int32_t out[16]) {
  long long raw[16] = {};
  long long counted = 0, edges = 0;
  for (int y = 1; y < im.h - 1; ++y) {
    for (int x = 0; x < im.w; ++x) {
      bool all = true;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) all = all && im.on(x + dx, y + dy);
      if (!all) continue;
      int dh = 0, dv = 0;
      for (int k = -1; k <= 1; ++k) {
        dh += im.at(x + 1, y + k) - im.at(x - 1, y + k);
        dv += im.at(x + k, y - 1) - im.at(x + k, y + 1);
      }
      ++counted;
      if ((std::abs(dh) + std::abs(dv)) / 2.0 > 12) {
        ++edges;
        const int bin = dh == 0 ? 15 : static_cast<int>((std::atan(static_cast<double>(dv) / dh) / M_PI + 0.5) * 15);
        ++raw[bin];
      }
    }
  }
  for (int i = 0; i < 16; ++i) {
    out[i] = counted == 0 ? 1 : static_cast<int32_t>((raw[i] * 1000 + ((counted - edges) * 1000) / 16) / counted);
  }
}

Image RefReduce(const Image& im) {
  Image r{(im.w + 1) / 2, (im.h + 1) / 2, {}, {}};
  for (int y = 0; y < r.h; ++y) {
    for (int x = 0; x < r.w; ++x) {
      int sum = 0, n = 0;
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx)
          if (im.on(2 * x + dx, 2 * y + dy)) sum += im.at(2 * x + dx, 2 * y + dy), ++n;
      r.gray.push_back(static_cast<unsigned char>(n ? sum / n : 0));
      r.mask.push_back(n ? 0xFF : 0);
    }
  }
  return r;
}

// Window mean of level k at (x, y): NAN when invalid.
double RefMean(const Image& im, int k, int x, int y) {
  if (!im.on(x, y)) return NAN;
  if (k == 0) return im.at(x, y);
  const int h = 1 << (k - 1);
  double sum = 0;
  int n = 0;
  const int xs[4] = {x, x + h, x, x + h};
  const int ys[4] = {y, y, y + h, y + h};
  for (int i = 0; i < 4; ++i) {
    if (!im.in(xs[i], ys[i])) continue;
    const double a = RefMean(im, k - 1, xs[i], ys[i]);
    if (!std::isnan(a)) sum += a, ++n;
  }
  return sum / n;
}

double RefCoarseness(const Image& im) {
  long long count[4] = {};
  for (int y = 0; y < im.h; ++y) {
    for (int x = 0; x < im.w; ++x) {
      if (!im.on(x, y)) continue;
      double best = 0;
      bool rejected = false;
      int choice = -1;
      for (int k = 0; k < 4; ++k) {
        const int d = 1 << k;
        auto mean = [&](int px, int py) { return im.in(px, py) ? RefMean(im, k, px, py) : NAN; };
        const double l = mean(x - d, y), r = mean(x + d, y), u = mean(x, y - d), b = mean(x, y + d);
        if (std::isnan(l) || std::isnan(r) || std::isnan(u) || std::isnan(b)) {
          if (!rejected) choice = 3;
          break;
        }
        const double e = std::max(std::fabs(l - r), std::fabs(u - b));
        if (e < 0.90000000001 * best) {
          rejected = true;
        } else {
          choice = k;
          best = e;
        }
      }
      if (choice >= 0) ++count[choice];
    }
  }
  double num = 0, den = 0;
  for (int k = 0; k < 4; ++k) num += (1 << k) * count[k], den += count[k];
  return den > 0 ? num / den : 0;
}

// ---- tests ----

TEST(TextureCompute, MeasuresMatchReferencesOnSmallImages) {
  std::mt19937 rng(20261207);
  const int sizes[][2] = {{1, 1}, {2, 2}, {1, 9}, {9, 1}, {3, 3}, {4, 7}, {13, 5}, {16, 16}, {23, 17}, {40, 31}};
  for (const auto& size : sizes) {
    for (int masked : {0, 10, 50, 90, 100}) {
      for (int levels : {2, 5, 256}) {
        const Image im = RandomImage(rng, size[0], size[1], masked, levels);
        SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1] << " masked " << masked << "% levels "
                                        << levels);
        // Summed by histogram rather than pixel by pixel: equal up to rounding.
        const double contrast = KvTamContrast(im.gray.data(), im.mask.data(), im.w, im.h);
        EXPECT_NEAR(contrast, RefContrast(im), 1e-9 * RefContrast(im));

        int32_t bins[16], ref[16];
        KvTamDirectionHistogram(im.gray.data(), im.mask.data(), im.w, im.h, bins);
        RefDirectionHistogram(im, ref);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(bins[i], ref[i]) << "bin " << i;

        const Image r = RefReduce(im);
        std::vector<unsigned char> rg(r.w * r.h), rm(r.w * r.h);
        KvTamReduce(im.gray.data(), im.mask.data(), im.w, im.h, rg.data(), rm.data());
        EXPECT_EQ(rg, r.gray);
        EXPECT_EQ(rm, r.mask);

        EXPECT_EQ(KvTamCoarseness(im.gray.data(), im.mask.data(), im.w, im.h, 4), RefCoarseness(im));
      }
    }
  }
}

TEST(TextureCompute, NullMaskIncludesEveryPixel) {
  std::mt19937 rng(7);
  Image im = RandomImage(rng, 12, 10, 0, 256);
  int32_t a[16], b[16];
  KvTamDirectionHistogram(im.gray.data(), nullptr, im.w, im.h, a);
  KvTamDirectionHistogram(im.gray.data(), im.mask.data(), im.w, im.h, b);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(a[i], b[i]);
  EXPECT_EQ(KvTamContrast(im.gray.data(), nullptr, im.w, im.h), KvTamContrast(im.gray.data(), im.mask.data(), im.w, im.h));
  EXPECT_EQ(KvTamCoarseness(im.gray.data(), nullptr, im.w, im.h, 4),
            KvTamCoarseness(im.gray.data(), im.mask.data(), im.w, im.h, 4));
}

TEST(TextureCompute, LargeImagesNormaliseInFloatingPoint) {
  // 1500 x 1500 mostly flat pixels: more than 2,000,000 non-edge pixels.
  const int w = 1500, h = 1500;
  std::vector<unsigned char> gray(w * h, 100);
  for (int y = 0; y < h; y += 50)
    for (int x = 0; x < w; ++x) gray[y * w + x] = 200;  // horizontal lines: bin 15
  for (int x = 0; x < w; x += 70)
    for (int y = 0; y < h; ++y) gray[y * w + x] = 0;  // vertical lines: bin 7
  int32_t bins[16];
  KvTamDirectionHistogram(gray.data(), nullptr, w, h, bins);
  long long raw[16] = {}, counted = 0, edges = 0;
  for (int y = 1; y < h - 1; ++y) {
    for (int x = 1; x < w - 1; ++x) {
      int dh = 0, dv = 0;
      for (int k = -1; k <= 1; ++k) {
        dh += gray[(y + k) * w + x + 1] - gray[(y + k) * w + x - 1];
        dv += gray[(y - 1) * w + x + k] - gray[(y + 1) * w + x + k];
      }
      ++counted;
      if (std::abs(dh) + std::abs(dv) > 24) {
        ++edges;
        ++raw[dh == 0 ? 15 : static_cast<int>((std::atan(static_cast<double>(dv) / dh) / M_PI + 0.5) * 15)];
      }
    }
  }
  ASSERT_GT(counted - edges, 2000000);
  for (int i = 0; i < 16; ++i) {
    const double expected = (raw[i] * 1000.0 + (counted - edges) * 1000.0 / 16.0) / counted;
    EXPECT_EQ(bins[i], static_cast<int32_t>(expected)) << i;
  }
}

TEST(TextureCompute, StripesFallIntoTheirDirectionBins) {
  // Vertical stripes: only horizontal gradients (atan 0 lands in bin 7);
  // horizontal stripes: no horizontal gradient (bin 15).
  Image vertical{8, 8, std::vector<unsigned char>(64), std::vector<unsigned char>(64, 0xFF)};
  Image horizontal = vertical;
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      vertical.gray[y * 8 + x] = (x / 2) % 2 ? 200 : 0;
      horizontal.gray[y * 8 + x] = (y / 2) % 2 ? 200 : 0;
    }
  }
  int32_t bins[16];
  KvTamDirectionHistogram(vertical.gray.data(), vertical.mask.data(), 8, 8, bins);
  EXPECT_EQ(bins[7], 1000);  // every one of the 36 counted pixels is an edge
  KvTamDirectionHistogram(horizontal.gray.data(), horizontal.mask.data(), 8, 8, bins);
  EXPECT_EQ(bins[15], 1000);
}

TEST(TextureCompute, SpreadOfHandMadeHistograms) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, int32_t>> bins;  // (bin, height); others 0 or base
    int32_t base;
    double expected;
  } cases[] = {
      {"one sharp peak", {{4, 1000}}, 0, 0.0},
      {"peak with shoulders", {{3, 500}, {4, 1000}, {5, 500}}, 0, std::sqrt(0.5)},
      {"two sharp peaks", {{2, 1000}, {10, 1000}}, 0, 0.0},
      // The small peak at bin 10 (150 * 5 < 1000) is noise: only bin 2 counts.
      {"noise peak removed", {{1, 400}, {2, 1000}, {3, 400}, {10, 150}}, 0, std::sqrt(800.0 / 1800.0)},
      // Flat: one valley at bin 0, one peak at bin 8, the whole circle walked.
      {"flat", {}, 62, std::sqrt(344.0 / 16.0)},
      // The smoothed peak lands on an empty bin between two tall ones: the
      // only peak is re-seated at the largest bin.
      {"re-seated", {{15, 500}, {0, 1000}, {2, 1000}}, 0, std::sqrt(500.0 / 1500.0)},
      // The peak at bin 8 is below twice its valleys and lower than its
      // neighbour: it joins the peak at bin 2.
      {"shallow peak joined", {{2, 1000}, {8, 350}}, 200, 0.0},
  };
  for (const Case& c : cases) {
    int32_t h[16];
    for (int i = 0; i < 16; ++i) h[i] = c.base;
    for (const auto& b : c.bins) h[b.first] = b.second;
    EXPECT_NEAR(KvTamDirectionSpread(h), c.expected, 1e-12) << c.what;
  }
}

TEST(TextureCompute, UniformGrayIsFlat) {
  std::vector<unsigned char> pixels(64 * 48, 3);
  std::vector<unsigned char> palette(768, 0);
  palette[3] = palette[256 + 3] = palette[512 + 3] = 128;
  std::vector<unsigned char> mask(pixels.size(), 0xFF);
  KvTextureValues v;
  v.flags = 7;
  ASSERT_EQ(KvComputeTextureFeatures(pixels.data(), palette.data(), mask.data(), 64, 48, &v), 0);
  EXPECT_EQ(v.flags, 0);
  EXPECT_EQ(v.contrast, 100);
  EXPECT_EQ(v.directionality, 900);
  EXPECT_EQ(v.coarseness, 100);
}

TEST(TextureCompute, TinyAndOddImagesGiveDefinedResults) {
  std::vector<unsigned char> palette(768, 0);
  palette[1] = palette[256 + 1] = palette[512 + 1] = 255;  // index 1 white, 0 black
  const int sizes[][2] = {{1, 1}, {2, 1}, {1, 2}, {2, 2}, {1, 50}, {50, 1}, {3, 3}, {5, 4}};
  for (const auto& s : sizes) {
    const int n = s[0] * s[1];
    std::vector<unsigned char> pixels(n), mask(n, 0xFF);
    for (int i = 0; i < n; ++i) pixels[i] = static_cast<unsigned char>(i % 2);
    KvTextureValues v;
    ASSERT_EQ(KvComputeTextureFeatures(pixels.data(), palette.data(), mask.data(), s[0], s[1], &v), 0)
        << s[0] << "x" << s[1];
    if (n == 1) {
      EXPECT_EQ(v.contrast, 100);
      continue;
    }
    // Black and white alternate: an even count gives sigma 127.5, kurtosis 1.
    if (n % 2 == 0) {
      EXPECT_EQ(v.contrast, 12750) << s[0] << "x" << s[1];
    }
    EXPECT_GT(v.contrast, 1100);
    EXPECT_GE(v.coarseness, 100);
    EXPECT_LE(v.coarseness, 800);
    if (s[0] < 3 || s[1] < 3) {
      // No complete neighbourhood: the flat histogram's spread.
      EXPECT_EQ(v.directionality, KvTextureHundredths(std::sqrt(344.0 / 16.0)));
    }
  }
}

TEST(TextureCompute, MaskedOrEmptyImagesAreRefused) {
  std::vector<unsigned char> pixels(16, 1), palette(768, 9), mask(16, 0);
  KvTextureValues v;
  struct Bad {
    const unsigned char* pixels;
    const unsigned char* palette;
    int w, h;
  } bad[] = {
      {pixels.data(), palette.data(), 4, 4},  // every pixel masked
      {pixels.data(), palette.data(), 0, 4},
      {pixels.data(), palette.data(), 4, -1},
      {nullptr, palette.data(), 4, 4},
      {pixels.data(), nullptr, 4, 4},
  };
  for (const Bad& b : bad) {
    kvtest::ClearError();
    EXPECT_EQ(KvComputeTextureFeatures(b.pixels, b.palette, mask.data(), b.w, b.h, &v), -1);
    EXPECT_EQ(GetErrorMSGNumber(), KERR_NoPixels);
    EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal);
  }
  // One unmasked pixel is enough.
  mask[5] = 0xFF;
  EXPECT_EQ(KvComputeTextureFeatures(pixels.data(), palette.data(), mask.data(), 4, 4, &v), 0);
  EXPECT_EQ(v.contrast, 100);
}

TEST(TextureCompute, HundredthsRoundHalfAwayFromZeroAndSaturate) {
  const struct {
    double in;
    int32_t out;
  } cases[] = {{0.005, 1}, {-0.005, -1}, {1.234, 123}, {8.0, 800}, {1e12, INT32_MAX}, {-1e12, INT32_MIN}, {NAN, 0}};
  for (const auto& c : cases) EXPECT_EQ(KvTextureHundredths(c.in), c.out) << c.in;
}

}  // namespace
