#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "KvTestUtil.h"
#include "core/KvBytes.h"
#include "core/KvEnv.h"
#include "core/KvError.h"

namespace {

class Env : public ::testing::Test {
 protected:
  void SetUp() override { KvClearSettings(); }
  void TearDown() override { KvClearSettings(); }
};

TEST_F(Env, OverridesWinOverTheEnvironment) {
  setenv("KivoImagePath", "from-env", 1);
  EXPECT_STREQ(Kvgetenv("KivoImagePath"), "from-env");
  std::string value = "a;b";
  EXPECT_EQ(Kvsetenv("KivoImagePath", value.c_str()), 0);
  value = "changed";  // the override keeps its own copy
  EXPECT_STREQ(Kvgetenv("KivoImagePath"), "a;b");
  EXPECT_EQ(Kvsetenv("KivoImagePath", nullptr), 0);
  EXPECT_STREQ(Kvgetenv("KivoImagePath"), "from-env");
  unsetenv("KivoImagePath");

  setenv("NotAKivoSetting", "x", 1);
  EXPECT_EQ(Kvsetenv("NotAKivoSetting", "y"), -1);
  EXPECT_STREQ(Kvgetenv("NotAKivoSetting"), "x");
  EXPECT_EQ(Kvsetenv("kivoimagepath", "y"), -1);
  EXPECT_EQ(Kvgetenv(nullptr), nullptr);
  for (const char* name : {"KivoSketchPath", "KivoRWeightValue", "KivoServerPort", "KivoTAMethod"}) {
    EXPECT_EQ(Kvsetenv(name, "1"), 0) << name;
  }
}

TEST_F(Env, FindFileSearchOrder) {
  kvtest::TempDir dir;
  const std::string d1 = dir.File("d1"), d2 = dir.File("d2");
  mkdir(d1.c_str(), 0700);
  mkdir(d2.c_str(), 0700);
  kvtest::WriteFile(d2 + "/x.gif", "x");
  char out[512];
  const std::string list = d1 + ";" + d2;
  EXPECT_EQ(findfile(KV_FIND_CURRENT_DIR, list.c_str(), "x.gif", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), d2 + "/x.gif");
  kvtest::WriteFile(d1 + "/x.gif", "x");
  EXPECT_EQ(findfile(0, list.c_str(), "x.gif", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), d1 + "/x.gif");

  Kvsetenv("KivoImagePath", d2.c_str());
  EXPECT_EQ(findfile(KV_FIND_PATH_IS_SETTING, "KivoImagePath", "x.gif", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), d2 + "/x.gif");

  EXPECT_EQ(findfile(0, nullptr, "x.gif", out, sizeof out), 1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(findfile(0, list.c_str(), "", out, sizeof out), 1);
  EXPECT_EQ(findfile(0, list.c_str(), nullptr, out, sizeof out), 1);

  // An entry ending in a backslash gets no extra '/'.
  EXPECT_EQ(findfile(0, (d1 + "\\").c_str(), "x.gif", out, sizeof out), 1);

  // Absolute names are not searched.
  const std::string absolute = d2 + "/x.gif";
  EXPECT_EQ(findfile(0, nullptr, absolute.c_str(), out, sizeof out), 0);
  EXPECT_EQ(findfile(0, nullptr, (d2 + "/missing").c_str(), out, sizeof out), 1);

  // A found path longer than the buffer is refused, never cut or overflowed.
  char small[8];
  kvtest::ClearError();
  EXPECT_EQ(findfile(0, list.c_str(), "x.gif", small, sizeof small), -1);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
}

TEST_F(Env, StringHelpers) {
  char* dup = KvStrDup("abc", 5);
  ASSERT_NE(dup, nullptr);
  EXPECT_STREQ(dup, "abc");
  std::strcat(dup, "defgh");  // the extra bytes are the caller's room
  EXPECT_STREQ(dup, "abcdefgh");
  KvDelete(dup);
  EXPECT_EQ(KvStrDup(nullptr, 3), nullptr);

  char* cat = KvStrCat("a", nullptr, "b", "cd", nullptr, "");
  EXPECT_STREQ(cat, "abcd");
  KvDelete(cat);
  cat = KvStrCat(nullptr);
  EXPECT_STREQ(cat, "");
  KvDelete(cat);
}

TEST_F(Env, WordScanners) {
  EXPECT_EQ(KvNextWordSize(" abc"), 0u);
  EXPECT_EQ(KvNextWordSize("abc def"), 3u);
  EXPECT_EQ(KvNextWordSize(""), 0u);
  const char* text = "abc  def";
  EXPECT_EQ(KvNextWord(text), text + 5);
  EXPECT_EQ(*KvNextWord("last"), '\0');
  EXPECT_EQ(*KvNextWord("tail \t\n"), '\0');
}

TEST_F(Env, ByteOrder) {
  EXPECT_EQ(KvIsBigEndian(), False);
  EXPECT_EQ(KvLongToBigEndian(0x01020304u), 0x04030201u);
  EXPECT_EQ(KvShortToBigEndian(0x0102), 0x0201);
  EXPECT_EQ(KvSwabLong(KvSwabLong(0xDEADBEEFu)), 0xDEADBEEFu);
  unsigned char b[4];
  Encode32BE(b, 0xFFFFFFFFu);
  uint32_t v = 0;
  EXPECT_TRUE(Decode32BE(b, b + 4, &v));
  EXPECT_EQ(static_cast<int32_t>(v), -1);
  EXPECT_FALSE(Decode32BE(b, b + 3, &v));
  uint16_t s = 0;
  Encode16BE(b, 0x1234);
  EXPECT_TRUE(Decode16BE(b, b + 2, &s));
  EXPECT_EQ(s, 0x1234);
  EXPECT_FALSE(Decode16BE(b, b + 1, &s));
}

}  // namespace
