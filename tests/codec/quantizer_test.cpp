// The quantizer's pieces against slow, obviously correct references.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <vector>

#include "codec_internal.h"
#include "codec_test_util.h"

namespace {

using kvcodec::FixedColor;

// Full scan: smallest squared distance, lowest entry on ties.
int FullScan(const FixedColor& p, const int (*colors)[3], int count) {
  int64_t best = INT64_MAX;
  int pick = -1;
  for (int e = 0; e < count; ++e) {
    int64_t d = 0;
    for (int k = 0; k < 3; ++k) d += int64_t{colors[e][k] * 16 - p.c[k]} * (colors[e][k] * 16 - p.c[k]);
    if (d < best) {
      best = d;
      pick = e;
    }
  }
  return pick;
}

TEST(Quantizer, NearestEntriesMatchAFullScan) {
  std::mt19937 rng(5);
  for (int round = 0; round < 60; ++round) {
    int count = 1 + static_cast<int>(rng() % 256);
    int colors[256][3];
    // Clustered palettes with duplicates make ties and dense candidate sets.
    int spread = round % 3 == 0 ? 256 : round % 3 == 1 ? 40 : 8;
    int base = static_cast<int>(rng() % (257 - spread));
    for (int e = 0; e < count; ++e) {
      for (int k = 0; k < 3; ++k) colors[e][k] = base + static_cast<int>(rng() % spread);
      if (e > 0 && rng() % 5 == 0) {
        for (int k = 0; k < 3; ++k) colors[e][k] = colors[rng() % e][k];
      }
    }
    std::vector<FixedColor> points(1 + rng() % 3000);
    for (FixedColor& p : points) {
      for (int k = 0; k < 3; ++k) {
        // Some points sit exactly on palette colours or on 1/16 grid lines.
        p.c[k] = rng() % 4 == 0 ? colors[rng() % count][k] * 16 : static_cast<int32_t>(rng() % 4081);
      }
    }
    std::vector<int> got(points.size(), -1);
    kvcodec::NearestEntries(points, colors, count, got.data());
    for (size_t i = 0; i < points.size(); ++i) {
      ASSERT_EQ(got[i], FullScan(points[i], colors, count)) << "round " << round << " point " << i;
    }
  }
}

// Many exact colours packed into a few histogram cells: fewer boxes than
// palette entries, and every pixel must still be close.
TEST(Quantizer, FewCellsManyColours) {
  codec_test::TempDir dir;
  codec_test::Pix src(pixCreate(40, 30, 32));
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      pixSetRGBPixel(src.get(), x, y, 100 + x % 16, 60 + y % 16, 200 + (x + y) % 8);
    }
  }
  std::string path = dir.File("few.png");
  ASSERT_EQ(pixWrite(path.c_str(), src.get(), IFF_PNG), 0);
  codec_test::Read r = codec_test::ReadPalettized(path);
  ASSERT_EQ(r.status, GEN_IMG_OK);
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      l_int32 red, green, blue;
      pixGetRGBPixel(src.get(), x, y, &red, &green, &blue);
      int e = codec_test::PaletteIndexAt(r, x, y);
      ASSERT_LE(std::abs(red - r.palette[e]), 7);
      ASSERT_LE(std::abs(green - r.palette[256 + e]), 7);
      ASSERT_LE(std::abs(blue - r.palette[512 + e]), 7);
    }
  }
}

TEST(Quantizer, MoreThan256ColoursUseAtMost256Entries) {
  codec_test::Pix src = codec_test::MakeColorImage(300, 200);
  std::vector<unsigned char> indices(300 * 200);
  unsigned char palette[768];
  ASSERT_TRUE(kvcodec::QuantizeRgb(src.get(), indices.data(), palette));
  // Every colour in the palette is used, and the rest is zero.
  std::vector<bool> used(256, false);
  for (unsigned char i : indices) used[i] = true;
  int count = 0;
  while (count < 256 && used[count]) ++count;
  for (int i = count; i < 256; ++i) {
    EXPECT_FALSE(used[i]);
    EXPECT_EQ(palette[i] | palette[256 + i] | palette[512 + i], 0);
  }
  EXPECT_GT(count, 200);
}

}  // namespace
