// Shared helpers of the codec tests: a scratch folder per test, fixture
// images made with Leptonica, and a one-call palettized read.
#pragma once

#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "gen_img.h"

namespace codec_test {

struct PixFree {
  void operator()(PIX* p) const { pixDestroy(&p); }
};
using Pix = std::unique_ptr<PIX, PixFree>;

// A fresh folder under $KIVO_TEST_TMP (or /tmp), removed with its files.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("KIVO_TEST_TMP");
    std::string root = base != nullptr && *base != '\0' ? base : "/tmp";
    std::string cmd = "mkdir -p '" + root + "'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot create " << root;
    std::string templ = root + "/codec.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed under " << root;
    path_ = buf.data();
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << path_;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<unsigned char> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Result of gen_img_read_sizes + gen_img_get_palettized.
struct Read {
  int status = -1;
  int width = 0;
  int height = 0;
  std::vector<unsigned char> pixels;
  std::vector<unsigned char> palette = std::vector<unsigned char>(768);
};

inline Read ReadPalettized(const std::string& path) {
  Read r;
  gen_img_state state = {};
  r.status = gen_img_read_sizes(path.c_str(), &r.width, &r.height, &state, 0);
  if (r.status != 0) {
    EXPECT_EQ(state.priv, nullptr);
    return r;
  }
  r.pixels.assign(static_cast<size_t>(r.width) * r.height, 0);
  r.status = gen_img_get_palettized(&state, r.pixels.data(), r.palette.data());
  EXPECT_EQ(state.priv, nullptr) << "the read must end in every case";
  return r;
}

// A 32 bpp colour image like a photograph: smooth gradients with waves and
// a little texture; many more than 256 colours.
inline Pix MakeColorImage(int w, int h) {
  Pix pix(pixCreate(w, h, 32));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double wave = std::sin(x / 7.0) * std::cos(y / 5.0);
      int r = (x * 255) / (w > 1 ? w - 1 : 1);
      int g = static_cast<int>(40 + 0.6 * ((y * 255) / (h > 1 ? h - 1 : 1)) + 30 * wave);
      int b = static_cast<int>(128 + 90 * wave) + (x * 7 + y * 13) % 5;
      pixSetRGBPixel(pix.get(), x, y, r, std::min(g, 255), std::min(b, 255));
    }
  }
  return pix;
}

// A depth-bit image (1, 2, 4 or 8) with a colormap of `colors` entries;
// pixel (x, y) has index (x + 3 * y) % colors. Entry i is
// (i, 255 - i, i * 7 % 256).
inline Pix MakeColormapped(int w, int h, int colors, int depth = 8) {
  Pix pix(pixCreate(w, h, depth));
  PIXCMAP* cmap = pixcmapCreate(depth);
  for (int i = 0; i < colors; ++i) pixcmapAddColor(cmap, i, 255 - i, (i * 7) % 256);
  pixSetColormap(pix.get(), cmap);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) pixSetPixel(pix.get(), x, y, static_cast<l_uint32>((x + 3 * y) % colors));
  }
  return pix;
}

inline int PaletteIndexAt(const Read& r, int x, int y) {
  return r.pixels[static_cast<size_t>(y) * r.width + x];
}

inline void ExpectColor(const Read& r, int index, int red, int green, int blue) {
  EXPECT_EQ(r.palette[index], red) << "entry " << index;
  EXPECT_EQ(r.palette[256 + index], green) << "entry " << index;
  EXPECT_EQ(r.palette[512 + index], blue) << "entry " << index;
}

}  // namespace codec_test
