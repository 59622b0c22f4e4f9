#include <gtest/gtest.h>

#include <string>

#include "KivoThumbs.h"

namespace {

// A thumbnail's name stays below the output folder whatever the key says,
// and keeps the key's layout otherwise.
TEST(KivoThumbs, NamesStayBelowTheFolder) {
  const struct {
    const char *key, *format, *want;
  } cases[] = {
      {"Summer%202019/beach%20day.jpg", "jpg", "Summer 2019/beach day.jpg"},
      {"a/b.JPG", "jpg", "a/b.JPG"},
      {"a/b.png", "jpg", "a/b.png.jpg"},
      {"a/b.jpg", "png", "a/b.jpg.png"},
      {"../../etc/passwd", "png", "etc/passwd.png"},
      {"/abs/x.jpg", "jpg", "abs/x.jpg"},
      {"a/./b//c.gif", "png", "a/b/c.gif.png"},
      {"..", "jpg", "_.jpg"},
      {"bad%zzkey", "jpg", "bad%zzkey.jpg"},  // not written by kivo: taken as it is
  };
  for (const auto& c : cases) EXPECT_EQ(kivo::ThumbnailName(c.key, c.format), c.want) << c.key;
}

}  // namespace
