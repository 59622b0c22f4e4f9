// The HSV band histogram against the HSV histogram of each band's rows, and
// its distance against the mean of the bands' HSV histogram distances.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "colour_test_support.h"
#include "core/KvError.h"
#include "features/KvHsvBandsFeature.h"
#include "features/KvHsvHistogramFeature.h"

namespace {

using colourtest::Lcg;
using colourtest::TestImage;
using Bands = KvHsvBandsFeatureClass;
using Hsv = KvHsvHistogramFeatureClass;

void RandomImage(TestImage& im, Lcg& rng, bool masked) {
  for (int i = 0; i < 30; ++i) im.SetColor(i, rng.Below(256), rng.Below(256), rng.Below(256));
  for (auto& p : im.pixels) p = static_cast<unsigned char>(rng.Below(30));
  if (masked) {
    for (auto& m : im.mask) m = rng.Below(3) == 0 ? 0 : 0xFF;
  }
}

// The rows of band b: those y with b h <= 3 y < (b + 1) h.
std::unique_ptr<TestImage> BandRows(const TestImage& im, int b) {
  std::vector<int> rows;
  for (int y = 0; y < im.height; ++y) {
    if (b * im.height <= 3 * y && 3 * y < (b + 1) * im.height) rows.push_back(y);
  }
  if (rows.empty()) return nullptr;
  auto out = std::make_unique<TestImage>(im.width, static_cast<int>(rows.size()));
  out->palette = im.palette;
  for (size_t r = 0; r < rows.size(); ++r) {
    for (int x = 0; x < im.width; ++x) {
      const size_t from = static_cast<size_t>(rows[r]) * im.width + x, to = r * im.width + x;
      out->pixels[to] = im.pixels[from];
      out->mask[to] = im.mask[from];
    }
  }
  return out;
}

// The HSV histogram roots of each band, zeros where a band has no pixel.
std::vector<uint16_t> ReferenceRoots(const TestImage& im) {
  std::vector<uint16_t> out(Bands::kBins, 0);
  for (int b = 0; b < Bands::kBands; ++b) {
    std::unique_ptr<TestImage> rows = BandRows(im, b);
    if (rows == nullptr) continue;
    Hsv h;
    if (h.ComputeFeature(rows->Load(), nullptr) != 0) continue;  // every pixel masked
    for (int i = 0; i < Bands::kBandBins; ++i) out[b * Bands::kBandBins + i] = h.GetRoots()[i];
  }
  return out;
}

TEST(HsvBands, EachBandIsTheHsvHistogramOfItsRows) {
  struct Case {
    int w, h;
    bool masked;
  } cases[] = {{9, 12, false}, {7, 10, true}, {5, 1, false}, {4, 2, true}, {6, 3, false}, {11, 31, true}};
  Lcg rng(11);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    TestImage im(c.w, c.h);
    RandomImage(im, rng, c.masked);
    Bands f;
    ASSERT_EQ(f.ComputeFeature(im.Load(), nullptr), 0);
    const std::vector<uint16_t> want = ReferenceRoots(im);
    for (int i = 0; i < Bands::kBins; ++i) ASSERT_EQ(f.GetRoots()[i], want[i]) << "root " << i;
  }
}

TEST(HsvBands, DistanceIsTheMeanOfTheBandsHsvDistances) {
  Lcg rng(12);
  for (int round = 0; round < 8; ++round) {
    TestImage a(10, 9 + round), b(10, 9 + round);
    RandomImage(a, rng, round % 2 == 0);
    RandomImage(b, rng, round % 3 == 0);
    if (round == 7) {  // equal images: exactly 0
      b.pixels = a.pixels;
      b.palette = a.palette;
      b.mask = a.mask;
    }
    Bands fa, fb;
    ASSERT_EQ(fa.ComputeFeature(a.Load(), nullptr), 0);
    ASSERT_EQ(fb.ComputeFeature(b.Load(), nullptr), 0);
    double sum = 0.0;
    for (int band = 0; band < Bands::kBands; ++band) {
      std::unique_ptr<TestImage> ra = BandRows(a, band), rb = BandRows(b, band);
      Hsv ha, hb;
      ASSERT_EQ(ha.ComputeFeature(ra->Load(), nullptr), 0);
      ASSERT_EQ(hb.ComputeFeature(rb->Load(), nullptr), 0);
      sum += ha.Distance(&hb, nullptr, 0.0f);
    }
    EXPECT_NEAR(fa.Distance(&fb, nullptr, 0.0f), sum / 3.0, 1e-6) << round;
    if (round == 7) {
      EXPECT_EQ(fa.Distance(&fb, nullptr, 0.0f), 0.0f);
    }
  }
}

TEST(HsvBands, MirrorImagesMatchAndUpsideDownOnesDoNot) {
  // Blue sky over green ground: the mirror image has the same bands, the
  // image turned upside down swaps the top and bottom ones.
  TestImage im(8, 9), mirrored(8, 9), flipped(8, 9);
  for (TestImage* t : {&im, &mirrored, &flipped}) {
    t->SetColor(0, 40, 90, 220);
    t->SetColor(1, 30, 160, 40);
    t->SetColor(2, 200, 30, 30);
  }
  for (int y = 0; y < 9; ++y) {
    for (int x = 0; x < 8; ++x) {
      const unsigned char c = y < 3 ? 0 : (y >= 6 ? 1 : (x < 2 ? 2 : 1));
      im.At(x, y) = c;
      mirrored.At(7 - x, y) = c;
      flipped.At(x, 8 - y) = c;
    }
  }
  Bands f, fm, ff;
  ASSERT_EQ(f.ComputeFeature(im.Load(), nullptr), 0);
  ASSERT_EQ(fm.ComputeFeature(mirrored.Load(), nullptr), 0);
  ASSERT_EQ(ff.ComputeFeature(flipped.Load(), nullptr), 0);
  EXPECT_EQ(f.Distance(&fm, nullptr, 0.0f), 0.0f);
  EXPECT_GT(f.Distance(&ff, nullptr, 0.0f), 0.5f);
}

TEST(HsvBands, AnImageWithoutUnmaskedPixelsIsRefused) {
  TestImage im(6, 6);
  for (auto& m : im.mask) m = 0;
  Bands f;
  EXPECT_EQ(f.ComputeFeature(im.Load(), nullptr), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_NoPixels);
}

}  // namespace
