// gen_img_rescale_image: sizes with and without padding, output formats,
// padding colour and bad arguments.
#include "codec_test_util.h"

namespace {

using codec_test::MakeColorImage;
using codec_test::Pix;
using codec_test::TempDir;

TEST(CodecRescale, FitsTheBoxKeepingTheAspectRatio) {
  struct Case {
    int w, h, box_w, box_h, pad, out_w, out_h;
  };
  const Case cases[] = {
      {800, 600, 100, 100, 0, 100, 75},  {800, 600, 100, 100, 1, 100, 100},
      {600, 800, 100, 100, 0, 75, 100},  {640, 480, 100, 100, 0, 100, 75},
      {640, 480, 320, 240, 0, 320, 240}, {50, 40, 100, 100, 0, 100, 80},  // enlarges
      {1000, 10, 100, 100, 0, 100, 1},   {10, 1000, 100, 100, 0, 1, 100},
      {33, 33, 33, 33, 0, 33, 33},       {300, 200, 7, 500, 1, 7, 500},
  };
  TempDir dir;
  for (int format : {IFF_JFIF_JPEG, IFF_PNG}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " into " << c.box_w << "x" << c.box_h
                                      << " pad " << c.pad << " format " << format);
      Pix src = MakeColorImage(c.w, c.h);
      std::string in = dir.File("in");
      ASSERT_EQ(pixWrite(in.c_str(), src.get(), format), 0);
      std::string out = dir.File("out.png");
      ASSERT_EQ(gen_img_rescale_image(in.c_str(), out.c_str(), c.box_w, c.box_h, c.pad), GEN_IMG_OK);
      Pix back(pixRead(out.c_str()));
      ASSERT_TRUE(back);
      EXPECT_EQ(pixGetWidth(back.get()), c.out_w);
      EXPECT_EQ(pixGetHeight(back.get()), c.out_h);
    }
  }
}

TEST(CodecRescale, PaddingIsBlackAndCentred) {
  TempDir dir;
  Pix white(pixCreate(800, 600, 32));
  pixSetAll(white.get());
  std::string in = dir.File("white.png");
  ASSERT_EQ(pixWrite(in.c_str(), white.get(), IFF_PNG), 0);
  std::string out = dir.File("pad.png");
  ASSERT_EQ(gen_img_rescale_image(in.c_str(), out.c_str(), 100, 100, 7), GEN_IMG_OK);  // any non-zero pads
  Pix back(pixRead(out.c_str()));
  ASSERT_TRUE(back);
  ASSERT_EQ(pixGetWidth(back.get()), 100);
  ASSERT_EQ(pixGetHeight(back.get()), 100);
  for (int y = 0; y < 100; ++y) {
    l_int32 r, g, b;
    pixGetRGBPixel(back.get(), 50, y, &r, &g, &b);
    bool inside = y >= 12 && y < 87;  // 75 rows: 12 above, 13 below
    EXPECT_EQ(r, inside ? 255 : 0) << "row " << y;
    EXPECT_EQ(b, inside ? 255 : 0) << "row " << y;
  }
}

TEST(CodecRescale, WritesEveryOutputFormat) {
  TempDir dir;
  Pix src = MakeColorImage(200, 150);
  std::string in = dir.File("in.jpg");
  ASSERT_EQ(pixWrite(in.c_str(), src.get(), IFF_JFIF_JPEG), 0);
  struct Case {
    const char* name;
    int depth;  // 8: quantized with a colormap
  };
  const Case cases[] = {{"t.jpg", 32}, {"t.JPEG", 32}, {"t.png", 32}, {"t.gif", 8},
                        {"t.bmp", 8},  {"t.tif", 8},   {"t.TIFF", 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = dir.File(c.name);
    ASSERT_EQ(gen_img_rescale_image(in.c_str(), out.c_str(), 40, 40, 0), GEN_IMG_OK);
    Pix back(pixRead(out.c_str()));
    ASSERT_TRUE(back);
    EXPECT_EQ(pixGetWidth(back.get()), 40);
    EXPECT_EQ(pixGetHeight(back.get()), 30);
    EXPECT_EQ(pixGetDepth(back.get()), c.depth);
    EXPECT_EQ(pixGetColormap(back.get()) != nullptr, c.depth == 8);
  }
}

TEST(CodecRescale, RefusesBadArguments) {
  TempDir dir;
  Pix src = MakeColorImage(20, 20);
  std::string in = dir.File("in.png");
  ASSERT_EQ(pixWrite(in.c_str(), src.get(), IFF_PNG), 0);
  std::string out = dir.File("out.png");
  std::string garbage = dir.File("garbage.png");
  codec_test::WriteBytes(garbage, {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
  struct Case {
    const char* name;
    const char* in;
    const char* out;
    int box_w, box_h, status;
  };
  std::string bad_ext = dir.File("out.xyz");
  std::string no_folder = dir.File("none/out.png");
  std::string missing = dir.File("missing.png");
  const Case cases[] = {
      {"null input", nullptr, out.c_str(), 10, 10, GEN_IMG_EARG},
      {"null output", in.c_str(), nullptr, 10, 10, GEN_IMG_EARG},
      {"zero width", in.c_str(), out.c_str(), 0, 10, GEN_IMG_EARG},
      {"negative height", in.c_str(), out.c_str(), 10, -3, GEN_IMG_EARG},
      {"unknown extension", in.c_str(), bad_ext.c_str(), 10, 10, GEN_IMG_EARG},
      {"box too big", in.c_str(), out.c_str(), 70000, 10, GEN_IMG_ETOOBIG},
      {"missing input", missing.c_str(), out.c_str(), 10, 10, GEN_IMG_EOPEN},
      {"not an image", garbage.c_str(), out.c_str(), 10, 10, GEN_IMG_EFORMAT},
      {"unwritable output", in.c_str(), no_folder.c_str(), 10, 10, GEN_IMG_EWRITE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(gen_img_rescale_image(c.in, c.out, c.box_w, c.box_h, 0), c.status);
  }
}

}  // namespace
