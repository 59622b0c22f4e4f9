// Writing through gen_img_put_palettized: palette-keeping round trips,
// 24-bit JPEG, extensions and bad arguments.
#include <random>

#include "codec_test_util.h"

namespace {

using codec_test::ExpectColor;
using codec_test::PaletteIndexAt;
using codec_test::Pix;
using codec_test::Read;
using codec_test::ReadPalettized;
using codec_test::TempDir;

struct Image {
  int width, height;
  std::vector<unsigned char> pixels, palette;
};

Image RandomImage(int width, int height, uint32_t seed, bool gray_palette) {
  std::mt19937 rng(seed);
  Image im{width, height, std::vector<unsigned char>(static_cast<size_t>(width) * height),
           std::vector<unsigned char>(768)};
  for (unsigned char& p : im.pixels) p = static_cast<unsigned char>(rng());
  for (int i = 0; i < 256; ++i) {
    for (int k = 0; k < 3; ++k) {
      im.palette[256 * k + i] = static_cast<unsigned char>(gray_palette ? i : rng());
    }
  }
  return im;
}

TEST(CodecWrite, PaletteFormatsRoundTripExactly) {
  TempDir dir;
  const char* names[] = {"a.gif", "a.png", "a.bmp", "a.tif", "a.tiff", "A.GIF", "a.Png"};
  struct Size {
    int width, height;
  };
  const Size sizes[] = {{1, 1}, {17, 5}, {5, 17}, {64, 64}};
  uint32_t seed = 1;
  for (const char* name : names) {
    for (const Size& size : sizes) {
      for (bool gray : {false, true}) {
        SCOPED_TRACE(testing::Message() << name << " " << size.width << "x" << size.height
                                        << (gray ? " gray" : " colour"));
        Image im = RandomImage(size.width, size.height, seed++, gray);
        std::string path = dir.File(name);
        ASSERT_EQ(gen_img_put_palettized(path.c_str(), im.width, im.height, im.pixels.data(),
                                         im.palette.data()),
                  GEN_IMG_OK);
        Read r = ReadPalettized(path);
        ASSERT_EQ(r.status, GEN_IMG_OK);
        EXPECT_EQ(r.width, im.width);
        EXPECT_EQ(r.height, im.height);
        EXPECT_EQ(r.pixels, im.pixels);
        EXPECT_EQ(r.palette, im.palette);
      }
    }
  }
}

TEST(CodecWrite, JpegIsTrueColour) {
  TempDir dir;
  // A smooth ramp through a 256-entry palette, so JPEG loses little.
  Image im{96, 64, std::vector<unsigned char>(96 * 64), std::vector<unsigned char>(768)};
  for (int i = 0; i < 256; ++i) {
    im.palette[i] = static_cast<unsigned char>(i);
    im.palette[256 + i] = static_cast<unsigned char>(255 - i);
    im.palette[512 + i] = 128;
  }
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 96; ++x) im.pixels[y * 96 + x] = static_cast<unsigned char>(x * 255 / 95);
  }
  for (const char* name : {"a.jpg", "b.JPEG"}) {
    SCOPED_TRACE(name);
    std::string path = dir.File(name);
    ASSERT_EQ(gen_img_put_palettized(path.c_str(), 96, 64, im.pixels.data(), im.palette.data()),
              GEN_IMG_OK);
    Pix back(pixRead(path.c_str()));
    ASSERT_TRUE(back);
    EXPECT_EQ(pixGetDepth(back.get()), 32);
    EXPECT_EQ(pixGetColormap(back.get()), nullptr);
    double error = 0;
    for (int y = 0; y < 64; ++y) {
      for (int x = 0; x < 96; ++x) {
        l_int32 r, g, b;
        pixGetRGBPixel(back.get(), x, y, &r, &g, &b);
        int e = im.pixels[y * 96 + x];
        error += std::abs(r - im.palette[e]) + std::abs(g - im.palette[256 + e]) +
                 std::abs(b - im.palette[512 + e]);
      }
    }
    EXPECT_LT(error / (3.0 * 96 * 64), 3.0);
  }
}

TEST(CodecWrite, RefusesBadArguments) {
  TempDir dir;
  std::vector<unsigned char> pixels(16, 0), palette(768, 0);
  std::string good = dir.File("ok.png");
  struct Case {
    const char* name;
    std::string path;
    const char* path_arg;
    int width, height;
    bool pixels, palette;
    int status;
  };
  const Case cases[] = {
      {"null path", "", nullptr, 4, 4, true, true, GEN_IMG_EARG},
      {"null pixels", good, good.c_str(), 4, 4, false, true, GEN_IMG_EARG},
      {"null palette", good, good.c_str(), 4, 4, true, false, GEN_IMG_EARG},
      {"zero width", good, good.c_str(), 0, 4, true, true, GEN_IMG_EARG},
      {"negative height", good, good.c_str(), 4, -1, true, true, GEN_IMG_EARG},
      {"unknown extension", dir.File("a.xyz"), nullptr, 4, 4, true, true, GEN_IMG_EARG},
      {"no extension", dir.File("plain"), nullptr, 4, 4, true, true, GEN_IMG_EARG},
      {"dot in a folder name only", dir.File("x.png/plain"), nullptr, 4, 4, true, true, GEN_IMG_EARG},
      {"dot in a Windows folder name", dir.File("x.gif\\plain"), nullptr, 4, 4, true, true,
       GEN_IMG_EARG},
      {"trailing dot", dir.File("a."), nullptr, 4, 4, true, true, GEN_IMG_EARG},
      {"too wide", good, good.c_str(), 70000, 1, true, true, GEN_IMG_ETOOBIG},
      {"missing folder", dir.File("no/such/folder/a.png"), nullptr, 4, 4, true, true, GEN_IMG_EWRITE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* path = c.path_arg != nullptr ? c.path_arg : c.path.empty() ? nullptr : c.path.c_str();
    EXPECT_EQ(gen_img_put_palettized(path, c.width, c.height, c.pixels ? pixels.data() : nullptr,
                                     c.palette ? palette.data() : nullptr),
              c.status);
  }
}

}  // namespace
