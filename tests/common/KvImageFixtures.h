// Image files for the tests, made with Leptonica, and a check that the image
// codec can read and write files at all.
#pragma once

#include <leptonica/allheaders.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "gen_img.h"

namespace kvtest {

// The colour of pixel (x, y) of the RGB test picture: smooth ramps, so that
// lossy formats stay close.
inline void PictureColour(int x, int y, int w, int h, int* r, int* g, int* b) {
  *r = w > 1 ? x * 255 / (w - 1) : 0;
  *g = h > 1 ? y * 255 / (h - 1) : 0;
  *b = 128;
}

// Writes the w x h RGB test picture in Leptonica format `format` (IFF_*).
inline bool WriteRgbPicture(const std::string& path, int w, int h, int format) {
  PIX* pix = pixCreate(w, h, 32);
  if (pix == nullptr) return false;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int r, g, b;
      PictureColour(x, y, w, h, &r, &g, &b);
      pixSetRGBPixel(pix, x, y, r, g, b);
    }
  }
  const bool ok = pixWrite(path.c_str(), pix, format) == 0;
  pixDestroy(&pix);
  return ok;
}

// Writes an 8-bit colour-mapped picture: indices (w x h) into a planar
// 768-byte palette of which the first `colours` entries are used.
inline bool WritePalettedPicture(const std::string& path, int w, int h, const unsigned char* indices,
                                 const unsigned char* palette, int colours, int format) {
  PIX* pix = pixCreate(w, h, 8);
  if (pix == nullptr) return false;
  PIXCMAP* map = pixcmapCreate(8);
  for (int i = 0; i < colours; ++i) pixcmapAddColor(map, palette[i], palette[256 + i], palette[512 + i]);
  pixSetColormap(pix, map);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) pixSetPixel(pix, x, y, indices[y * w + x]);
  }
  const bool ok = pixWrite(path.c_str(), pix, format) == 0;
  pixDestroy(&pix);
  return ok;
}

// Size of an image file as Leptonica reads it; false when it cannot.
inline bool PictureSize(const std::string& path, int* w, int* h, int* depth = nullptr) {
  PIX* pix = pixRead(path.c_str());
  if (pix == nullptr) return false;
  *w = pixGetWidth(pix);
  *h = pixGetHeight(pix);
  if (depth != nullptr) *depth = pixGetDepth(pix);
  pixDestroy(&pix);
  return true;
}

// True when the linked codec writes and reads back a small PNG (the
// placeholder codec fails every call).
inline bool CodecWorks(const std::string& directory) {
  const std::string path = directory + "/codec_probe.png";
  unsigned char pixels[4] = {0, 1, 1, 0};
  unsigned char palette[768] = {};
  palette[1] = 255;
  if (gen_img_put_palettized(path.c_str(), 2, 2, pixels, palette) != 0) return false;
  gen_img_state state = {nullptr, 0, 0, 0};
  int w = 0, h = 0;
  if (gen_img_read_sizes(path.c_str(), &w, &h, &state, 0) != 0) return false;
  const bool ok = gen_img_get_palettized(&state, pixels, palette) == 0;
  std::remove(path.c_str());
  return ok && w == 2 && h == 2;
}

// Changes the current directory for the life of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& directory) {
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer) != nullptr) previous_ = buffer;
    ok_ = ::chdir(directory.c_str()) == 0;
  }
  ~ScopedCwd() {
    if (!previous_.empty() && ::chdir(previous_.c_str()) != 0) {
      // Nothing sensible to do; the next test starts where it is.
    }
  }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_ = false;
};

}  // namespace kvtest
