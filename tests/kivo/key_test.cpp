#include <gtest/gtest.h>

#include <string>

#include "KivoKey.h"

namespace {

TEST(KivoKey, EncodesWhatTextFormsCannotCarryAndDecodesBack) {
  const struct {
    std::string path, key;
  } cases[] = {
      {"a/b.jpg", "a/b.jpg"},
      {"Summer 2019/beach day.jpg", "Summer%202019/beach%20day.jpg"},
      {"100%.jpg", "100%25.jpg"},
      {"t\tab\nnl.jpg", "t%09ab%0Anl.jpg"},
      {"<a>\"b\"\\{c}.jpg", "%3Ca%3E%22b%22%5C%7Bc%7D.jpg"},
      {"été/plage.jpg", "été/plage.jpg"},
      {std::string("bad\xff\xc3.jpg"), "bad%FF%C3.jpg"},
      {std::string("\xed\xa0\x80"), "%ED%A0%80"},  // a surrogate is no character
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kivo::EncodeKey(c.path), c.key) << c.path;
    std::string back;
    ASSERT_TRUE(kivo::DecodeKey(c.key, &back)) << c.key;
    EXPECT_EQ(back, c.path);
  }
  std::string ignored;
  for (const char* bad : {"a%", "a%4", "a%zz"}) EXPECT_FALSE(kivo::DecodeKey(bad, &ignored)) << bad;
}

TEST(KivoKey, NormalisesSpellingsOfOnePath) {
  const struct {
    const char *path, *base, *want;
  } cases[] = {
      {"a/x.jpg", "/r", "/r/a/x.jpg"},   {"./a//x.jpg", "/r", "/r/a/x.jpg"},
      {"/r/a/../a/x.jpg", "/q", "/r/a/x.jpg"}, {"../../..", "/r", "/"},
      {"", "/r/", "/r"},
  };
  for (const auto& c : cases) EXPECT_EQ(kivo::NormalisePath(c.path, c.base), c.want) << c.path;
  std::string rel;
  EXPECT_TRUE(kivo::RelativeTo("/r", "/r/a/x.jpg", &rel));
  EXPECT_EQ(rel, "a/x.jpg");
  EXPECT_FALSE(kivo::RelativeTo("/r", "/rr/x.jpg", &rel));
  EXPECT_TRUE(kivo::RelativeTo("/", "/x.jpg", &rel));
  EXPECT_EQ(rel, "x.jpg");
  const std::string dirs[] = {"/p/a/b", "/p/a/c", "/p/ab"};
  EXPECT_EQ(kivo::CommonDirectory(dirs, 3), "/p");
}

}  // namespace
