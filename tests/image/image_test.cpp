#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "KvImageFixtures.h"
#include "KvTestUtil.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "image/KvImage.h"
#include "image/KvKeywordText.h"

namespace {

using kvtest::ScopedCwd;
using kvtest::TempDir;

// Releases what a read handed out.
struct Read {
  ImpImage* image = nullptr;
  ImpImage* palette = nullptr;
  int status = 0;
  char text[64] = "";
  int textSize = 0;
  ~Read() {
    int s = 0;
    impfree(&s, image);
    impfree(&s, palette);
  }
  void Run(const char* variable, const std::string& name, bool withText = false, int capacity = 64) {
    textSize = capacity;
    KvAnyread(&status, variable, name.c_str(), &image, &palette, withText ? text : nullptr,
              withText ? &textSize : nullptr);
  }
};

class ImageIo : public ::testing::Test {
 protected:
  void SetUp() override {
    KvClearSettings();
    kvtest::ClearError();
  }
  void TearDown() override { KvClearSettings(); }
};

TEST_F(ImageIo, AllocatesRastersByType) {
  struct Case {
    int width, height, type;
    long dataSize;  // -1: refused
  } cases[] = {
      {17, 2, 0, 8},    {2, 17, 5, 8},    {3, 5, 1, 15},   {3, 5, 10, 15},  {3, 5, 2, 30},
      {3, 5, 3, 60},    {3, 5, 6, 60},    {3, 5, 4, 120},  {3, 5, 7, 120},  {3, 5, 8, 240},
      {3, 5, 9, -1},    {3, 5, 11, -1},   {3, 5, -1, -1},  {0, 5, 1, -1},   {5, 0, 1, -1},
      {-3, 5, 1, -1},
      // Data sizes or pixel counts beyond 32 bits are refused, not wrapped.
      {65536, 4096, 8, -1}, {65536, 65535, 1, -1}, {2147483647, 2, 0, -1},
  };
  for (const Case& c : cases) {
    int status = 99;
    ImpImage* image = impalloc(&status, c.width, c.height, c.type, "test");
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " type " << c.type);
    if (c.dataSize < 0) {
      EXPECT_EQ(image, nullptr);
      EXPECT_EQ(status, -1);
      continue;
    }
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(image->dataSize, static_cast<uint32_t>(c.dataSize));
    EXPECT_EQ(image->headerSize, 28);
    EXPECT_EQ(image->pixelCount, c.width * c.height);
    std::memset(image->data, 0xAB, image->dataSize);  // the whole buffer is ours
    impfree(&status, image);
    EXPECT_EQ(status, 0);
  }
  int status = 5;
  impfree(&status, nullptr);
  EXPECT_EQ(status, 0);
}

TEST_F(ImageIo, MakesSingleColourTestImages) {
  struct Case {
    const char* name;
    int r, g, b;
  } cases[] = {{"!@r00g00bff", 0, 0, 255}, {"!@rffg80b00", 255, 128, 0}, {"!@r1Fg0ab7", 31, 10, 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Read read;
    read.Run(nullptr, c.name);
    ASSERT_EQ(read.status, 0);
    ASSERT_EQ(read.image->width, 100);
    ASSERT_EQ(read.image->height, 100);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(read.image->data), 10000), std::string(10000, '\1'));
    for (int i = 0; i < 256; ++i) {
      ASSERT_EQ(read.palette->data[i], c.r);
      ASSERT_EQ(read.palette->data[256 + i], c.g);
      ASSERT_EQ(read.palette->data[512 + i], c.b);
    }
  }
  testing::internal::CaptureStderr();
  Read black;
  black.Run(nullptr, "!@");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "generating all black test image\n");
  ASSERT_EQ(black.status, 0);
  EXPECT_EQ(black.palette->data[0] | black.palette->data[300] | black.palette->data[767], 0);
}

TEST_F(ImageIo, TestImageWithoutPaletteOutput) {
  int status = -1;
  ImpImage* image = nullptr;
  KvAnyread(&status, nullptr, "!@r01g02b03", &image, nullptr, nullptr, nullptr);
  ASSERT_EQ(status, 0);
  ASSERT_NE(image, nullptr);
  impfree(&status, image);
}

TEST_F(ImageIo, MissingFileIsReported) {
  TempDir dir;
  Kvsetenv("KivoImagePath", (dir.path() + "/a;" + dir.path() + "/b").c_str());
  Read read;
  read.Run("KivoImagePath", "nothere.png");
  EXPECT_EQ(read.status, -1);
  EXPECT_EQ(read.image, nullptr);
  EXPECT_EQ(read.palette, nullptr);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_ImageNotFound);
  EXPECT_EQ(std::string(GetErrorMSG()), "KvAnyrd: Input image file not found. filename: nothere.png  paths " +
                                            dir.path() + "/a;" + dir.path() + "/b.");
}

TEST_F(ImageIo, DerivesTextDirectories) {
  struct Case {
    const char* directory;
    const char* text;
  } cases[] = {
      {"/data/images/set1/", "/data/text/set1/"},
      {"/a/b/", "/text/b/"},
      {"/set1/", "./"},
      {"/", "./"},
      {"D:\\data\\images\\set1\\", "D:/data/text/set1/"},
      {"C:\\set1\\", "./"},
  };
  for (const Case& c : cases) EXPECT_EQ(KvTextDirectory(c.directory), c.text) << c.directory;
}

TEST_F(ImageIo, MakesDirectoriesAbsolute) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  ASSERT_TRUE(cwd.ok());
  char here[PATH_MAX];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  const std::string base = here;
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", base + "/"},
      {"./", base + "/"},
      {"sub/../x/./", base + "/x/"},
      {"\\x\\y\\", "/x/y/"},
      {"/p//q/../r/", "/p/r/"},
  };
  for (const Case& c : cases) {
    std::string out;
    ASSERT_TRUE(KvAbsoluteDirectory(c.in, &out)) << c.in;
    EXPECT_EQ(out, c.out) << c.in;
  }
  std::string out;
  EXPECT_FALSE(KvAbsoluteDirectory("/" + std::string(250, 'x') + "/", &out));
  EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
}

// Keyword texts of test images: current directory, then "KivoTextPath".
class KeywordText : public ImageIo {
 protected:
  void SetUp() override {
    ImageIo::SetUp();
    ASSERT_TRUE(cwd_.ok());
  }
  TempDir dir_;
  ScopedCwd cwd_{dir_.path()};
};

TEST_F(KeywordText, MergesWhiteSpace) {
  kvtest::WriteFile("!@r00g00bff.txt", "  red\n\tcar  ");
  Read read;
  read.Run(nullptr, "!@r00g00bff", true);
  ASSERT_EQ(read.status, 0);
  EXPECT_STREQ(read.text, " red car ");
  EXPECT_EQ(read.textSize, 10);
}

TEST_F(KeywordText, CutsLongTextToCapacity) {
  kvtest::WriteFile("!@.txt", "ab \r\n\v\f cdefgh");
  Read read;
  testing::internal::CaptureStderr();
  read.Run(nullptr, "!@", true, 8);  // reads 7 characters: "ab \r\n\v\f"
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(read.status, 0);
  EXPECT_STREQ(read.text, "ab ");
  EXPECT_EQ(read.textSize, 4);
}

TEST_F(KeywordText, FollowsTextPathAndReportsAbsence) {
  ASSERT_EQ(mkdir("words", 0700), 0);
  kvtest::WriteFile("words/!@r00g00b00.txt", "night");
  Read missing;
  missing.Run(nullptr, "!@r00g00b00", true);
  ASSERT_EQ(missing.status, 0);
  EXPECT_STREQ(missing.text, "");
  EXPECT_EQ(missing.textSize, 0);

  Kvsetenv("KivoTextPath", "words");
  Read found;
  found.Run(nullptr, "!@r00g00b00", true);
  ASSERT_EQ(found.status, 0);
  EXPECT_STREQ(found.text, "night");
  EXPECT_EQ(found.textSize, 6);
}

}  // namespace
