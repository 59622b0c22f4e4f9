#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "KvImageFixtures.h"
#include "KvTestUtil.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "image/KvImage.h"
#include "image/KvThumbnail.h"

namespace {

using kvtest::TempDir;

struct Raster {
  std::vector<unsigned char> pixels;
  ImpImage image{};
  Raster(int w, int h, unsigned char fill = 0) : pixels(static_cast<size_t>(w) * h, fill) {
    image = {IMP_BYTE, 28, static_cast<uint32_t>(pixels.size()), pixels.data(), w, h, w * h};
  }
};

// Straight from the description of the method, one step per line, with no
// attempt at speed: the reference the fast version must match exactly.
std::vector<unsigned char> ReferenceThumbnail(const std::vector<unsigned char>& src, int sw, int sh,
                                              const unsigned char* pal, int dw, int dh) {
  std::vector<unsigned char> dst(static_cast<size_t>(dw) * dh, 0);
  double sx = static_cast<double>(sw) / dw, sy = static_cast<double>(sh) / dh;
  float s = static_cast<float>(sx > sy ? sx : sy);
  int k = static_cast<int>(s + 0.99);
  int n = 65536 / (k * k);
  long t = static_cast<long>(s * 65536);
  int px = static_cast<int>(dw - sw / static_cast<double>(s));
  if (sw < (dw - px - 1) * static_cast<double>(s) + k) px += 1;
  int py = static_cast<int>(dh - sh / static_cast<double>(s));
  if (sh < (dh - py - 1) * static_cast<double>(s) + k) py += 1;
  std::vector<std::array<int, 3>> previous(dw + 2, {0, 0, 0}), current(dw + 2, {0, 0, 0});
  for (int y = 0; y < dh - py; ++y) {
    for (int x = 0; x < dw - px; ++x) {
      long sum[3] = {0, 0, 0};
      for (int j = 0; j < k; ++j) {
        for (int i = 0; i < k; ++i) {
          int col = static_cast<int>((x * t) >> 16) + i;
          int row = static_cast<int>((y * t) >> 16) + j;
          unsigned char index = src.at(static_cast<size_t>(row) * sw + col);
          sum[0] += pal[index];
          sum[1] += pal[256 + index];
          sum[2] += pal[512 + index];
        }
      }
      int value[3];
      for (int c = 0; c < 3; ++c) {
        int error = (7 * current[x][c] + previous[x][c] + 5 * previous[x + 1][c] + 3 * previous[x + 2][c]) / 16;
        value[c] = static_cast<int>((sum[c] * n) >> 16) + error;
        if (value[c] < 0) value[c] = 0;
        if (value[c] > 255) value[c] = 255;
      }
      int r = (value[0] * 4 + 128) / 256, g = (value[1] * 8 + 128) / 256, b = (value[2] * 4 + 128) / 256;
      if (r > 3) r = 3;
      if (g > 7) g = 7;
      if (b > 3) b = 3;
      current[x + 1] = {value[0] - r * 255 / 3, value[1] - g * 255 / 7, value[2] - b * 255 / 3};
      dst.at(static_cast<size_t>(y + py / 2) * dw + x + px / 2) = static_cast<unsigned char>(128 + (r * 8 + g) * 4 + b);
    }
    previous = current;
  }
  return dst;
}

TEST(Thumbnail, SizesFollowTheSinglePrecisionScale) {
  struct Case {
    int w, h, width, height;
    Boolean pad;
    int dw, dh;
  } cases[] = {
      {800, 600, 100, 100, False, 100, 75},
      {800, 600, 100, 100, True, 100, 100},
      {640, 480, 100, 100, False, 99, 74},  // 640 / 6.4f falls just below 100
      {480, 640, 100, 100, False, 74, 99},
      {100, 100, 128, 64, False, 64, 64},
      {50, 25, 100, 100, False, 100, 50},   // enlarging
      {1000, 1, 100, 100, False, 100, 1},   // never below one row
      {1, 1000, 100, 100, False, 1, 100},
  };
  for (const Case& c : cases) {
    int dw = 0, dh = 0;
    KvThumbnailSize(c.w, c.h, c.width, c.height, c.pad, &dw, &dh);
    EXPECT_EQ(dw, c.dw) << c.w << "x" << c.h;
    EXPECT_EQ(dh, c.dh) << c.w << "x" << c.h;
  }
}

TEST(Thumbnail, FixedPaletteIsAColourCube) {
  const unsigned char* p = KvThumbnailPalette();
  for (int i = 0; i < 128; ++i) EXPECT_EQ(p[i] | p[256 + i] | p[512 + i], 0);
  EXPECT_EQ(p[255], 255);
  EXPECT_EQ(p[256 + 255], 255);
  EXPECT_EQ(p[512 + 255], 255);
  const int index = 128 + (1 * 8 + 3) * 4 + 2;  // r 1, g 3, b 2
  EXPECT_EQ(p[index], 85);
  EXPECT_EQ(p[256 + index], 109);
  EXPECT_EQ(p[512 + index], 170);
}

TEST(Thumbnail, WhiteAndBlackMapToCubeCorners) {
  unsigned char palette[768] = {};
  palette[1] = palette[257] = palette[513] = 255;  // entry 1 white, entry 0 black
  for (int fill : {0, 1}) {
    Raster source(800, 600, static_cast<unsigned char>(fill));
    Raster thumb(100, 75);
    KvReduceAndDither(source.image, palette, thumb.image);
    const unsigned char want = fill == 1 ? 255 : 128;
    EXPECT_EQ(std::string(thumb.pixels.begin(), thumb.pixels.end()), std::string(thumb.pixels.size(), static_cast<char>(want)));
  }
}

TEST(Thumbnail, PaddingCentresTheImage) {
  unsigned char palette[768] = {};
  palette[1] = palette[257] = palette[513] = 255;
  Raster source(800, 600, 1);
  Raster thumb(100, 100, 7);
  KvReduceAndDither(source.image, palette, thumb.image);
  for (int y = 0; y < 100; ++y) {
    const bool pad = y < 12 || y >= 87;  // 12 rows on top, 13 at the bottom
    for (int x = 0; x < 100; ++x) {
      ASSERT_EQ(thumb.pixels[y * 100 + x], pad ? 0 : 255) << x << "," << y;
    }
  }
}

TEST(Thumbnail, MatchesReferenceOnRandomImages) {
  std::mt19937 random(12345);
  struct Case {
    int sw, sh, width, height;
    Boolean pad;
  } cases[] = {
      {640, 480, 100, 100, False}, {640, 480, 100, 100, True}, {37, 23, 10, 10, False},
      {37, 23, 10, 10, True},      {23, 37, 9, 14, True},      {17, 5, 30, 30, False},
      {17, 5, 30, 30, True},       {300, 7, 40, 40, True},     {1, 1, 3, 2, True},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.width << "x" << c.height);
    unsigned char palette[768];
    for (unsigned char& v : palette) v = static_cast<unsigned char>(random());
    Raster source(c.sw, c.sh);
    for (unsigned char& v : source.pixels) v = static_cast<unsigned char>(random());
    int dw = 0, dh = 0;
    KvThumbnailSize(c.sw, c.sh, c.width, c.height, c.pad, &dw, &dh);
    Raster thumb(dw, dh, 99);
    KvReduceAndDither(source.image, palette, thumb.image);
    EXPECT_EQ(thumb.pixels, ReferenceThumbnail(source.pixels, c.sw, c.sh, palette, dw, dh));
  }
}

TEST(Thumbnail, GrayValuesAndRectangleCopies) {
  unsigned char palette[768] = {};
  palette[0] = palette[256] = palette[512] = 255;  // white
  palette[1] = 255;                                // red
  palette[2 + 256] = 255;                          // green
  unsigned char pixels[] = {0, 1, 2, 3};
  MakeGrayFromPalette(pixels, 4, palette);
  EXPECT_EQ(pixels[0], 255);
  EXPECT_EQ(pixels[1], 76);
  EXPECT_EQ(pixels[2], 150);
  EXPECT_EQ(pixels[3], 0);

  std::vector<unsigned char> src(6 * 4), dst(5 * 5, 0);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<unsigned char>(i + 1);
  KvCopyRect(dst.data(), 5, 1, 2, src.data(), 6, 2, 1, 3, 2);
  const std::vector<unsigned char> want = {0, 0, 0,  0,  0,  0, 0, 0,  0,  0,  0, 9, 10, 11, 0,
                                           0, 15, 16, 17, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(dst, want);
}

TEST(Thumbnail, MissingInputGivesOne) {
  TempDir dir;
  KvClearSettings();
  const std::string out = dir.File("t.gif");
  EXPECT_EQ(KvReadImageWriteThumbnail("no_such_image.png", out.c_str(), 100, 100, False), 1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_ImageNotFound);
  Kvsetenv("KivoImagePath", "/nowhere");
  testing::internal::CaptureStderr();
  EXPECT_EQ(KvReadImageWrite24bitThumbnail("no_such_image.png", out.c_str(), 100, 100, True), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "KvReadImageWrite24bitThumbnail: input image not found. filename: no_such_image.png  paths: /nowhere\n");
  KvClearSettings();
}

TEST(Thumbnail, RefusesSizesBelowOne) {
  TempDir dir;
  for (auto size : {std::make_pair(0, 100), std::make_pair(100, 0), std::make_pair(-5, 10)}) {
    EXPECT_EQ(KvReadImageWriteThumbnail("!@r00g00b00", dir.File("t.gif").c_str(), size.first, size.second, False), 2);
    EXPECT_EQ(GetErrorMSGNumber(), KERR_ImageDims);
  }
}

}  // namespace
