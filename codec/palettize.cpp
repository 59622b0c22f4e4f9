// Decoded image to 8-bit indices plus a planar palette.
//
// - Colormapped images (GIF, palette PNG, BMP and TIFF of up to 8 bits) keep
//   their indices and colormap exactly; entries past the colormap are zero and
//   colormap alpha is composited onto white.
// - Gray images without colormap get gray palettes with the sample value as
//   index: entry v of a d-bit image is v * 255 / (2^d - 1), except that a
//   1-bit image without colormap follows Leptonica's convention 1 = black.
//   16-bit gray keeps its most significant byte.
// - 32 bpp images are composited onto white and go through the quantizer.
#include <cstring>

#include "codec_internal.h"

namespace kvcodec {
namespace {

// Copies the raw d-bit sample values of pix into indices, row by row.
void CopySamples(PIX* pix, unsigned char* indices) {
  int width = pixGetWidth(pix), height = pixGetHeight(pix), wpl = pixGetWpl(pix);
  int depth = pixGetDepth(pix);
  const l_uint32* data = pixGetData(pix);
  for (int y = 0; y < height; ++y) {
    const l_uint32* line = data + static_cast<size_t>(y) * wpl;
    unsigned char* out = indices + static_cast<size_t>(y) * width;
    switch (depth) {
      case 1:
        for (int x = 0; x < width; ++x) out[x] = static_cast<unsigned char>(GET_DATA_BIT(line, x));
        break;
      case 2:
        for (int x = 0; x < width; ++x) out[x] = static_cast<unsigned char>(GET_DATA_DIBIT(line, x));
        break;
      case 4:
        for (int x = 0; x < width; ++x) out[x] = static_cast<unsigned char>(GET_DATA_QBIT(line, x));
        break;
      default:
        for (int x = 0; x < width; ++x) out[x] = static_cast<unsigned char>(GET_DATA_BYTE(line, x));
        break;
    }
  }
}

void ColormapToPalette(const PIXCMAP* cmap, unsigned char* palette) {
  std::memset(palette, 0, 768);
  int count = pixcmapGetCount(cmap);
  for (int i = 0; i < count && i < 256; ++i) {
    l_int32 r = 0, g = 0, b = 0, a = 255;
    pixcmapGetRGBA(const_cast<PIXCMAP*>(cmap), i, &r, &g, &b, &a);
    auto over_white = [a](int v) {
      return static_cast<unsigned char>((v * a + 255 * (255 - a) + 127) / 255);
    };
    palette[i] = over_white(r);
    palette[256 + i] = over_white(g);
    palette[512 + i] = over_white(b);
  }
}

void GrayPalette(int depth, unsigned char* palette) {
  std::memset(palette, 0, 768);
  int levels = 1 << depth;
  for (int v = 0; v < levels; ++v) {
    int g = depth == 1 ? 255 * (1 - v) : v * 255 / (levels - 1);
    palette[v] = palette[256 + v] = palette[512 + v] = static_cast<unsigned char>(g);
  }
}

}  // namespace

int PalettizePix(PIX* pix, unsigned char* pixels, unsigned char* palette) {
  int depth = pixGetDepth(pix);
  if (depth == 16) {
    PixPtr gray(pixConvert16To8(pix, L_MS_BYTE));
    if (!gray) return GEN_IMG_ENOMEM;
    return PalettizePix(gray.get(), pixels, palette);
  }
  if (depth == 32) {
    if (pixGetSpp(pix) == 4) FlattenAlphaOntoWhite(pix);
    return QuantizeRgb(pix, pixels, palette) ? GEN_IMG_OK : GEN_IMG_ENOMEM;
  }
  if (depth != 1 && depth != 2 && depth != 4 && depth != 8) return GEN_IMG_EFORMAT;
  if (const PIXCMAP* cmap = pixGetColormap(pix)) {
    ColormapToPalette(cmap, palette);
  } else {
    GrayPalette(depth, palette);
  }
  CopySamples(pix, pixels);
  return GEN_IMG_OK;
}

}  // namespace kvcodec
