#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "WebFiles.h"

namespace {

class WebFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("KIVO_TEST_TMP");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/webfiles-XXXXXX";
    mkdir(base != nullptr ? base : "/tmp", 0700);
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
    root_ = dir_ + "/root";
    for (const char* d : {"/root", "/root/a", "/root/a b", "/outside"}) mkdir((dir_ + d).c_str(), 0700);
    for (const char* f : {"/root/a/x.jpg", "/root/a b/y z.png", "/outside/s.jpg"}) Write(dir_ + f);
    ASSERT_EQ(symlink((dir_ + "/outside/s.jpg").c_str(), (root_ + "/a/out.jpg").c_str()), 0);
    ASSERT_EQ(symlink((dir_ + "/outside").c_str(), (root_ + "/dir").c_str()), 0);
    ASSERT_EQ(symlink("x.jpg", (root_ + "/a/in.jpg").c_str()), 0);
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  static void Write(const std::string& path) { std::ofstream(path) << "bytes"; }

  std::string dir_, root_;
};

TEST_F(WebFiles, ImagesResolveBelowTheRootOnly) {
  const struct {
    const char* key;
    const char* want;  // the real path below the root, or null: refused
  } cases[] = {
      {"a/x.jpg", "/root/a/x.jpg"},
      {"a%20b/y%20z.png", "/root/a b/y z.png"},
      {"a/./x.jpg", "/root/a/x.jpg"},
      {"a/in.jpg", "/root/a/x.jpg"},  // a link inside the tree is followed
      {"a/out.jpg", nullptr},         // a link out of it is not
      {"dir/s.jpg", nullptr},
      {"../outside/s.jpg", nullptr},
      {"a/../../outside/s.jpg", nullptr},
      {"%2E%2E/outside/s.jpg", nullptr},
      {"/etc/passwd", nullptr},
      {"a", nullptr},  // a folder
      {"", nullptr},
      {".", nullptr},
      {"a/missing.jpg", nullptr},
      {"a/x.jpg%", nullptr},
  };
  for (const auto& c : cases) {
    std::string path, error;
    const bool ok = kivo::web::ResolveImage(root_, c.key, &path, &error);
    if (c.want == nullptr) {
      EXPECT_FALSE(ok) << c.key << " gave " << path;
      EXPECT_FALSE(error.empty());
    } else {
      EXPECT_TRUE(ok) << c.key << ": " << error;
      EXPECT_EQ(path, dir_ + c.want) << c.key;
    }
  }
  std::string path, error;
  EXPECT_FALSE(kivo::web::ResolveImage("", "a/x.jpg", &path, &error));
  // The root itself may be reached through a link.
  ASSERT_EQ(symlink(root_.c_str(), (dir_ + "/link-to-root").c_str()), 0);
  EXPECT_TRUE(kivo::web::ResolveImage(dir_ + "/link-to-root", "a/x.jpg", &path, &error)) << error;
  EXPECT_FALSE(kivo::web::ResolveImage(dir_ + "/link-to-root", "a/out.jpg", &path, &error));
}

TEST_F(WebFiles, WholeFilesAreReadWithinTheirBound) {
  std::string bytes, error;
  EXPECT_TRUE(kivo::web::ReadWholeFile(root_ + "/a/x.jpg", 5, &bytes, &error));
  EXPECT_EQ(bytes, "bytes");
  EXPECT_FALSE(kivo::web::ReadWholeFile(root_ + "/a/x.jpg", 4, &bytes, &error));
  EXPECT_FALSE(kivo::web::ReadWholeFile(root_ + "/a", 100, &bytes, &error));
  EXPECT_FALSE(kivo::web::ReadWholeFile(root_ + "/a/in.jpg", 100, &bytes, &error));  // no link is followed
}

TEST(WebThumbnails, CacheNamesTellEveryIdentityApart) {
  using kivo::web::ThumbnailCache;
  std::set<std::string> names = {
      ThumbnailCache::FileName("/a/b.jpg", 10, 5, 200), ThumbnailCache::FileName("/a/b.jpg", 11, 5, 200),
      ThumbnailCache::FileName("/a/b.jpg", 10, 6, 200), ThumbnailCache::FileName("/a/b.jpg", 10, 5, 100),
      ThumbnailCache::FileName("/a/c.jpg", 10, 5, 200), ThumbnailCache::FileName("/a/b.jp", 10, 5, 200),
  };
  EXPECT_EQ(names.size(), 6u);
  EXPECT_EQ(ThumbnailCache::FileName("/a/b.jpg", 10, 5, 200), ThumbnailCache::FileName("/a/b.jpg", 10, 5, 200));
  for (const std::string& n : names) EXPECT_EQ(n.find('/'), std::string::npos) << n;
}

TEST(WebFileTypes, ExtensionsGiveTypes) {
  EXPECT_STREQ(kivo::web::ContentTypeOf("/x/y.JPG"), "image/jpeg");
  EXPECT_STREQ(kivo::web::ContentTypeOf("a.png"), "image/png");
  EXPECT_STREQ(kivo::web::ContentTypeOf("a.tar.gz"), "application/octet-stream");
  EXPECT_STREQ(kivo::web::ContentTypeOf("dir.jpg/file"), "application/octet-stream");
}

}  // namespace
