// Files the server hands out: a catalog's original images, found below the
// catalog root only, and their thumbnails, made on first request and kept in
// a cache folder.
#pragma once

#include <string>

namespace kivo {
namespace web {

// The real path of the file key stands for below root, with every symbolic
// link resolved. False when the key is not a path below root, the file is
// missing or not a regular file, or its real path lies outside root's real
// path (a link that leads out of the tree).
bool ResolveImage(const std::string& root, const std::string& key, std::string* path, std::string* error);

// The MIME type a file name's extension says, "application/octet-stream"
// for others.
const char* ContentTypeOf(const std::string& path);

// Reads a whole regular file of at most maxBytes. False with the reason.
bool ReadWholeFile(const std::string& path, size_t maxBytes, std::string* bytes, std::string* error);

// Thumbnail sides a request may ask for, and the default.
constexpr int kMinThumbSide = 16;
constexpr int kMaxThumbSide = 1024;
constexpr int kDefaultThumbSide = 200;

// The cache folder when none is given: $XDG_CACHE_HOME/kivo/thumbnails, else
// ~/.cache/kivo/thumbnails, else /tmp/kivo-thumbnails-<uid>.
std::string DefaultThumbnailCache();

class ThumbnailCache {
 public:
  // dir is created (with its parents) by Prepare.
  explicit ThumbnailCache(std::string dir) : dir_(std::move(dir)) {}
  bool Prepare(std::string* error);
  const std::string& Dir() const { return dir_; }

  // The JPEG thumbnail of image (a real path from ResolveImage) fitting
  // side x side, turned upright by the file's orientation tag: the cached file when one exists for the image's present
  // size and modification time, else a new one written there (atomically,
  // so readers never see half a file). False with the reason.
  bool Get(const std::string& image, int side, std::string* thumbPath, std::string* error);

  // The cache file name for an image's identity (path, size, modification
  // time) and the side; distinct identities give distinct names.
  static std::string FileName(const std::string& image, unsigned long long size, long long mtimeNs, int side);

 private:
  std::string dir_;
};

}  // namespace web
}  // namespace kivo
