// A fresh scratch directory under $KIVO_TEST_TMP (or /tmp), removed with its
// contents when the object goes away.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <ftw.h>

class StorageTempDir {
 public:
  explicit StorageTempDir(const char* tag = "kivo") {
    const char* root = std::getenv("KIVO_TEST_TMP");
    std::string base = root != nullptr && root[0] != '\0' ? root : "/tmp";
    mkdir(base.c_str(), 0777);  // may exist already
    std::string pattern = base + "/" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
  }
  ~StorageTempDir() {
    if (!path_.empty()) nftw(path_.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
  }
  StorageTempDir(const StorageTempDir&) = delete;
  StorageTempDir& operator=(const StorageTempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  static bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
  }
  // Permission bits of path, or -1.
  static int Mode(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 0777) : -1;
  }

 private:
  static int Remove(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

  std::string path_;
};
