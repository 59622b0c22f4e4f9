// Reading and writing real image files through the codec.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
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

struct Read {
  ImpImage* image = nullptr;
  ImpImage* palette = nullptr;
  int status = 0;
  char text[256] = "";
  int textSize = 0;
  ~Read() {
    int s = 0;
    impfree(&s, image);
    impfree(&s, palette);
  }
  void Run(const std::string& name, bool withText = false) {
    textSize = sizeof text;
    KvAnyread(&status, "KivoImagePath", name.c_str(), &image, &palette, withText ? text : nullptr,
              withText ? &textSize : nullptr);
  }
  // Colour of pixel (x, y) through the palette.
  void Colour(int x, int y, int* r, int* g, int* b) const {
    const unsigned char i = image->data[y * image->width + x];
    *r = palette->data[i];
    *g = palette->data[256 + i];
    *b = palette->data[512 + i];
  }
};

class ImageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    KvClearSettings();
    kvtest::ClearError();
    if (!kvtest::CodecWorks(dir_.path())) GTEST_SKIP() << "the image codec cannot read or write files";
  }
  void TearDown() override { KvClearSettings(); }
  std::string File(const std::string& name) const { return dir_.File(name); }
  TempDir dir_;
};

// An image using all 256 palette entries, each a different colour.
struct PalettedImage {
  ImpImage image{}, palette{};
  unsigned char pixels[64 * 4];
  unsigned char lut[768];
  PalettedImage() {
    for (int i = 0; i < 256; ++i) {
      pixels[i] = static_cast<unsigned char>((i * 37) & 0xFF);
      lut[i] = static_cast<unsigned char>(i);
      lut[256 + i] = static_cast<unsigned char>(255 - i);
      lut[512 + i] = static_cast<unsigned char>((i * 5) & 0xFF);
    }
    image = {IMP_BYTE, 28, 256, pixels, 64, 4, 256};
    palette = {IMP_BYTE, 28, 768, lut, 256, 3, 768};
  }
};

TEST_F(ImageFiles, PalettizedRoundTrip) {
  PalettedImage source;
  for (const char* name : {"p.png", "p.gif", "p.bmp", "p.tif"}) {
    SCOPED_TRACE(name);
    int status = -1;
    KvAnywrite(&status, nullptr, File(name).c_str(), &source.image, &source.palette);
    ASSERT_EQ(status, 0);
    Read read;
    read.Run(File(name));
    ASSERT_EQ(read.status, 0);
    ASSERT_EQ(read.image->width, 64);
    ASSERT_EQ(read.image->height, 4);
    EXPECT_EQ(std::memcmp(read.image->data, source.pixels, 256), 0);
    EXPECT_EQ(std::memcmp(read.palette->data, source.lut, 768), 0);
  }
}

TEST_F(ImageFiles, WritesIntoTheDirectoryOfASetting) {
  ASSERT_EQ(mkdir(File("out").c_str(), 0700), 0);
  Kvsetenv("KivoMaskPath", (File("out") + "/;/nonexistent/").c_str());
  PalettedImage source;
  int status = -1;
  KvAnywrite(&status, "KivoMaskPath", "w.png", &source.image, &source.palette);
  ASSERT_EQ(status, 0);
  struct stat st;
  EXPECT_EQ(stat(File("out/w.png").c_str(), &st), 0);

  kvtest::ClearError();
  KvAnywrite(&status, nullptr, File("no/such/dir/w.png").c_str(), &source.image, &source.palette);
  EXPECT_NE(status, 0);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_AnyImage);
}

TEST_F(ImageFiles, ReadsEverySupportedFormat) {
  struct Case {
    const char* name;
    int format;
    int tolerance;
  } cases[] = {
      {"rgb.png", IFF_PNG, 24},  {"rgb.jpg", IFF_JFIF_JPEG, 40}, {"rgb.gif", IFF_GIF, 40},
      {"rgb.bmp", IFF_BMP, 24},  {"rgb.tif", IFF_TIFF, 24},      {"rgb.pnm", IFF_PNM, 24},
      {"zip.tif", IFF_TIFF_ZIP, 24},
  };
  const int w = 61, h = 47;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(kvtest::WriteRgbPicture(File(c.name), w, h, c.format));
    Read read;
    read.Run(File(c.name));
    ASSERT_EQ(read.status, 0) << GetErrorMSG();
    ASSERT_EQ(read.image->width, w);
    ASSERT_EQ(read.image->height, h);
    for (int y = 0; y < h; y += 9) {
      for (int x = 0; x < w; x += 7) {
        int r, g, b, wr, wg, wb;
        read.Colour(x, y, &r, &g, &b);
        kvtest::PictureColour(x, y, w, h, &wr, &wg, &wb);
        ASSERT_NEAR(r, wr, c.tolerance) << x << "," << y;
        ASSERT_NEAR(g, wg, c.tolerance) << x << "," << y;
        ASSERT_NEAR(b, wb, c.tolerance) << x << "," << y;
      }
    }
  }
}

TEST_F(ImageFiles, ReadsGrayAndColourMappedFiles) {
  unsigned char indices[6 * 5], lut[768] = {};
  for (int i = 0; i < 30; ++i) indices[i] = static_cast<unsigned char>(i % 3);
  lut[0] = 200, lut[256 + 1] = 150, lut[512 + 2] = 100;
  ASSERT_TRUE(kvtest::WritePalettedPicture(File("map.png"), 6, 5, indices, lut, 3, IFF_PNG));
  Read mapped;
  mapped.Run(File("map.png"));
  ASSERT_EQ(mapped.status, 0);
  for (int i = 0; i < 30; ++i) {
    int r, g, b;
    mapped.Colour(i % 6, i / 6, &r, &g, &b);
    EXPECT_EQ(r, i % 3 == 0 ? 200 : 0);
    EXPECT_EQ(g, i % 3 == 1 ? 150 : 0);
    EXPECT_EQ(b, i % 3 == 2 ? 100 : 0);
  }
  PIX* gray = pixCreate(9, 4, 8);
  for (int x = 0; x < 9; ++x) pixSetPixel(gray, x, 1, static_cast<l_uint32>(x * 30));
  ASSERT_EQ(pixWrite(File("gray.png").c_str(), gray, IFF_PNG), 0);
  pixDestroy(&gray);
  Read grayRead;
  grayRead.Run(File("gray.png"));
  ASSERT_EQ(grayRead.status, 0);
  for (int x = 0; x < 9; ++x) {
    int r, g, b;
    grayRead.Colour(x, 1, &r, &g, &b);
    EXPECT_EQ(r, x * 30);
    EXPECT_EQ(g, x * 30);
    EXPECT_EQ(b, x * 30);
  }
}

// Standard CRC-32 of PNG chunks.
uint32_t Crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A PNG whose header claims width x height (8-bit RGB) and whose data is one
// tiny chunk: the size must be refused before anything is decoded.
std::string PngClaiming(uint32_t width, uint32_t height) {
  std::string ihdr = "IHDR" + Be32(width) + Be32(height) + std::string("\x08\x02\x00\x00\x00", 5);
  std::string idat = std::string("IDAT") + std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8);
  return std::string("\x89PNG\r\n\x1a\n", 8) + Be32(13) + ihdr + Be32(Crc32(ihdr)) + Be32(8) + idat +
         Be32(Crc32(idat)) + Be32(0) + "IEND" + Be32(Crc32("IEND"));
}

TEST_F(ImageFiles, RefusesCorruptTruncatedAndOversizedFiles) {
  std::vector<std::pair<std::string, std::string>> bad;  // name, bytes
  for (const char* name : {"t.jpg", "t.png", "t.gif"}) {
    const int format = name[2] == 'j' ? IFF_JFIF_JPEG : name[2] == 'p' ? IFF_PNG : IFF_GIF;
    ASSERT_TRUE(kvtest::WriteRgbPicture(File(name), 64, 48, format));
    const std::string whole = kvtest::ReadFile(File(name));
    ASSERT_GT(whole.size(), 100u);
    for (size_t n : {size_t{0}, size_t{5}, size_t{30}, whole.size() / 3, whole.size() / 2}) {
      bad.emplace_back("cut" + std::to_string(n) + "_" + name, whole.substr(0, n));
    }
  }
  bad.emplace_back("text.png", "this is not an image at all\n");
  bad.emplace_back("noise.jpg", std::string("\xff\xd8\xff\xe0 garbage garbage garbage", 28));
  bad.emplace_back("wide.png", PngClaiming(70000, 10));
  bad.emplace_back("huge.png", PngClaiming(20000, 20000));
  bad.emplace_back("zero.png", PngClaiming(0, 10));
  for (const auto& file : bad) {
    SCOPED_TRACE(file.first);
    kvtest::WriteFile(File(file.first), file.second);
    kvtest::ClearError();
    Read read;
    read.Run(File(file.first));
    EXPECT_NE(read.status, 0);
    EXPECT_EQ(read.image, nullptr);
    EXPECT_EQ(read.palette, nullptr);
    EXPECT_TRUE(GetErrorMSGNumber() == KERR_AnyImage || GetErrorMSGNumber() == KERR_ImageDims)
        << GetErrorMSGNumber() << " " << GetErrorMSG();
  }
}

// KivoPixelBudget, in MiB of decoded pixels at 4 bytes each, bounds what one
// read may decode; a value that is no positive number fails the read.
TEST_F(ImageFiles, PixelBudgetSettingBoundsEveryRead) {
  ASSERT_TRUE(kvtest::WriteRgbPicture(File("p.png"), 600, 600, IFF_PNG));  // 1.37 MiB of pixels
  struct Case {
    const char* value;  // null: unset
    bool reads;
    const char* error;
  };
  const Case cases[] = {
      {nullptr, true, ""},
      {"", true, ""},
      {"2", true, ""},
      {"1", false, "over KivoPixelBudget"},
      {"0.5", false, "over KivoPixelBudget"},
      {"1.5", true, ""},
      {"0", false, "KivoPixelBudget is not a positive number of MiB"},
      {"-3", false, "KivoPixelBudget is not a positive number of MiB"},
      {"lots", false, "KivoPixelBudget is not a positive number of MiB"},
      {"2MiB", false, "KivoPixelBudget is not a positive number of MiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "unset");
    ASSERT_EQ(Kvsetenv("KivoPixelBudget", c.value), 0);
    kvtest::ClearError();
    Read read;
    read.Run(File("p.png"));
    EXPECT_EQ(read.status == 0, c.reads) << GetErrorMSG();
    if (!c.reads) {
      EXPECT_NE(std::strstr(GetErrorMSG(), c.error), nullptr) << GetErrorMSG();
    }
    // Thumbnails are made under the same budget.
    const int thumb = KvReadImageWrite24bitThumbnail(File("p.png").c_str(), File("t.png").c_str(), 32, 32, False);
    EXPECT_EQ(thumb == 0, c.reads);
  }
}

TEST_F(ImageFiles, RefusesFoundPathsLongerThanTheBuffer) {
  std::string deep = File("");
  while (deep.size() < 220) {
    deep += "abcdefghijklmnopqrstuvwxyz/";
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  }
  ASSERT_TRUE(kvtest::WriteRgbPicture(deep + "x.png", 4, 4, IFF_PNG));
  Kvsetenv("KivoImagePath", deep.c_str());
  Read read;
  read.Run("x.png");
  EXPECT_EQ(read.status, -1);
  EXPECT_EQ(read.image, nullptr);
  EXPECT_EQ(std::string(GetErrorMSG()), "KIVO error: findfile: path of found file is too long");
}

TEST_F(ImageFiles, FindsKeywordTextBesideTheImageTree) {
  for (const char* d : {"images", "images/set1", "text", "text/set1", "cwd", "more"}) {
    ASSERT_EQ(mkdir(File(d).c_str(), 0700), 0);
  }
  ASSERT_TRUE(kvtest::WriteRgbPicture(File("images/set1/a.png"), 4, 4, IFF_PNG));
  kvtest::WriteFile(File("text/set1/a.png.txt"), "tree\n\nleaf");
  kvtest::ScopedCwd cwd(File("cwd"));
  ASSERT_TRUE(cwd.ok());
  Kvsetenv("KivoImagePath", File("images/set1").c_str());

  Read derived;
  derived.Run("a.png", true);
  ASSERT_EQ(derived.status, 0);
  EXPECT_STREQ(derived.text, "tree leaf");
  EXPECT_EQ(derived.textSize, 10);

  // An absolute name is looked up by its last component the same way.
  Read absolute;
  absolute.Run(File("images/set1/a.png"), true);
  ASSERT_EQ(absolute.status, 0);
  EXPECT_STREQ(absolute.text, "tree leaf");

  // The current directory comes first.
  kvtest::WriteFile("a.png.txt", "local");
  Read local;
  local.Run("a.png", true);
  EXPECT_STREQ(local.text, "local");
  std::remove("a.png.txt");

  // Then the derived directory, then "KivoTextPath".
  std::remove(File("text/set1/a.png.txt").c_str());
  kvtest::WriteFile(File("more/a.png.txt"), "from the path");
  Kvsetenv("KivoTextPath", File("more").c_str());
  Read fromPath;
  fromPath.Run("a.png", true);
  EXPECT_STREQ(fromPath.text, "from the path");
  Kvsetenv("KivoTextPath", nullptr);
  Read none;
  none.Run("a.png", true);
  ASSERT_EQ(none.status, 0);
  EXPECT_STREQ(none.text, "");
  EXPECT_EQ(none.textSize, 0);
}

TEST_F(ImageFiles, ThumbnailsOfRealFiles) {
  struct Case {
    int w, h, width, height;
    Boolean pad;
    int tw, th;
  } cases[] = {
      {800, 600, 100, 100, False, 100, 75},
      {800, 600, 100, 100, True, 100, 100},
      {640, 480, 100, 100, False, 99, 74},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " pad " << c.pad);
    const std::string in = File("in" + std::to_string(c.w) + ".png");
    ASSERT_TRUE(kvtest::WriteRgbPicture(in, c.w, c.h, IFF_PNG));
    const std::string out = File("thumb.gif");
    ASSERT_EQ(KvReadImageWriteThumbnail(in.c_str(), out.c_str(), c.width, c.height, c.pad), 0);
    Read thumb;
    thumb.Run(out);
    ASSERT_EQ(thumb.status, 0);
    ASSERT_EQ(thumb.image->width, c.tw);
    ASSERT_EQ(thumb.image->height, c.th);
    // The file holds exactly what the reduction computes from the source.
    Read source;
    source.Run(in);
    ASSERT_EQ(source.status, 0);
    std::vector<unsigned char> want(static_cast<size_t>(c.tw) * c.th);
    ImpImage dst = {IMP_BYTE, 28, static_cast<uint32_t>(want.size()), want.data(), c.tw, c.th, c.tw * c.th};
    KvReduceAndDither(*source.image, source.palette->data, dst);
    const unsigned char* fixed = KvThumbnailPalette();
    for (size_t i = 0; i < want.size(); ++i) {
      const unsigned char got = thumb.image->data[i];
      for (int plane = 0; plane < 3; ++plane) {
        ASSERT_EQ(thumb.palette->data[plane * 256 + got], fixed[plane * 256 + want[i]]) << i;
      }
    }

    const std::string wide = File("thumb24.png");
    ASSERT_EQ(KvReadImageWrite24bitThumbnail(in.c_str(), wide.c_str(), c.width, c.height, c.pad), 0);
    int w = 0, h = 0, depth = 0;
    ASSERT_TRUE(kvtest::PictureSize(wide, &w, &h, &depth));
    EXPECT_EQ(w, c.pad ? c.width : 100);
    EXPECT_EQ(depth, 32);
  }
  ASSERT_TRUE(kvtest::WriteRgbPicture(File("small.png"), 8, 8, IFF_PNG));
  EXPECT_EQ(KvReadImageWriteThumbnail(File("small.png").c_str(), File("no/dir/t.gif").c_str(), 4, 4, False), 2);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_AnyImage);
  EXPECT_NE(KvReadImageWrite24bitThumbnail(File("small.png").c_str(), File("no/dir/t.png").c_str(), 4, 4, False), 0);
}

}  // namespace
