#include "WebFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <xxhash.h>

#include "KivoKey.h"
#include "KivoPhoto.h"
#include "gen_img.h"
#include "image/KvImage.h"

namespace kivo {
namespace web {
namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, FreeDeleter> real(realpath(path.c_str(), nullptr));
  return real == nullptr ? std::string() : std::string(real.get());
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

bool MakeDirs(const std::string& dir, std::string* error) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    partial = dir.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot make " + partial + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = dir + " is not a folder";
    return false;
  }
  return true;
}

}  // namespace

bool ResolveImage(const std::string& root, const std::string& key, std::string* path, std::string* error) {
  std::string relative;
  if (root.empty()) {
    *error = "the catalog has no image root";
    return false;
  }
  if (!DecodeKey(key, &relative) || relative.empty() || relative[0] == '/') {
    *error = "not an image key";
    return false;
  }
  // Lexically inside the root first, then really inside after links.
  const std::string joined = NormalisePath(relative, root);
  std::string rest;
  if (!RelativeTo(NormalisePath(root, "/"), joined, &rest) || rest.empty()) {
    *error = "not an image key";
    return false;
  }
  const std::string realRoot = RealPath(root);
  const std::string real = RealPath(joined);
  if (realRoot.empty() || real.empty()) {
    *error = "no such image";
    return false;
  }
  if (!RelativeTo(realRoot, real, &rest) || rest.empty()) {
    *error = "the image lies outside the catalog root";
    return false;
  }
  struct stat st {};
  if (stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "no such image";
    return false;
  }
  *path = real;
  return true;
}

const char* ContentTypeOf(const std::string& path) {
  static const struct {
    const char* ext;
    const char* type;
  } kTypes[] = {
      {".jpg", "image/jpeg"},  {".jpeg", "image/jpeg"}, {".png", "image/png"},   {".gif", "image/gif"},
      {".bmp", "image/bmp"},   {".tif", "image/tiff"},  {".tiff", "image/tiff"}, {".webp", "image/webp"},
      {".heic", "image/heic"}, {".heif", "image/heif"}, {".avif", "image/avif"}, {".ppm", "image/x-portable-pixmap"},
      {".pgm", "image/x-portable-graymap"},
  };
  const size_t dot = path.rfind('.');
  if (dot != std::string::npos && path.find('/', dot) == std::string::npos) {
    std::string ext = path.substr(dot);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const auto& t : kTypes) {
      if (ext == t.ext) return t.type;
    }
  }
  return "application/octet-stream";
}

bool ReadWholeFile(const std::string& path, size_t maxBytes, std::string* bytes, std::string* error) {
  Fd f;
  f.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  if (f.fd < 0 || fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "cannot read " + path;
    return false;
  }
  if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
    *error = "the file is larger than " + std::to_string(maxBytes) + " bytes";
    return false;
  }
  bytes->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t n = read(f.fd, &(*bytes)[done], bytes->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bytes->resize(done);  // a file that shrank meanwhile is sent as it is now
  return true;
}

std::string DefaultThumbnailCache() {
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    return std::string(xdg) + "/kivo/thumbnails";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::string(home) + "/.cache/kivo/thumbnails";
  }
  return "/tmp/kivo-thumbnails-" + std::to_string(getuid());
}

bool ThumbnailCache::Prepare(std::string* error) { return MakeDirs(dir_, error); }

std::string ThumbnailCache::FileName(const std::string& image, unsigned long long size, long long mtimeNs,
                                     int side) {
  std::string identity = image;
  identity.push_back('\0');
  identity += std::to_string(size) + " " + std::to_string(mtimeNs) + " " + std::to_string(side);
  const XXH128_hash_t h = XXH3_128bits(identity.data(), identity.size());
  char name[48];
  std::snprintf(name, sizeof name, "%016llx%016llx-%d.jpg", static_cast<unsigned long long>(h.high64),
                static_cast<unsigned long long>(h.low64), side);
  return name;
}

bool ThumbnailCache::Get(const std::string& image, int side, std::string* thumbPath, std::string* error) {
  struct stat st {};
  if (stat(image.c_str(), &st) != 0) {
    *error = "no such image";
    return false;
  }
  const long long mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  const std::string name = FileName(image, static_cast<unsigned long long>(st.st_size), mtimeNs, side);
  const std::string path = dir_ + "/" + name;
  struct stat cached {};
  if (stat(path.c_str(), &cached) == 0 && S_ISREG(cached.st_mode) && cached.st_size > 0) {
    *thumbPath = path;
    return true;
  }
  // A private name per writer, renamed into place when complete; the codec
  // picks the format by the extension.
  static std::atomic<unsigned> counter{0};
  const std::string temporary =
      dir_ + "/.tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name;
  if (!LooksLikeImage(image) || KvApplyPixelBudget() != 0 || gen_img_rescale_image(image.c_str(), temporary.c_str(), side, side, 0) != 0) {
    unlink(temporary.c_str());
    *error = "cannot make a thumbnail of the image";
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    *error = std::string("cannot store the thumbnail: ") + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  *thumbPath = path;
  return true;
}

}  // namespace web
}  // namespace kivo
