// Thumbnails (8-bit dithered with a fixed palette, or 24-bit through the
// codec), gray conversion and rectangle copies.
#include "image/KvThumbnail.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "gen_img.h"
#include "image/KvImage.h"

namespace {

// The fixed thumbnail palette: entries 0..127 black, then a 4 x 8 x 4 colour
// cube at 128 + (r * 8 + g) * 4 + b. Built once; never changes.
struct FixedPalette {
  unsigned char bytes[768] = {};
  FixedPalette() {
    for (int r = 0; r < 4; ++r) {
      for (int g = 0; g < 8; ++g) {
        for (int b = 0; b < 4; ++b) {
          const int index = 128 + (r * 8 + g) * 4 + b;
          bytes[index] = static_cast<unsigned char>(r * 255 / 3);
          bytes[256 + index] = static_cast<unsigned char>(g * 255 / 7);
          bytes[512 + index] = static_cast<unsigned char>(b * 255 / 3);
        }
      }
    }
  }
};

const FixedPalette& ThumbnailPalette() {
  static const FixedPalette palette;
  return palette;
}

struct RasterGuard {
  ImpImage* image = nullptr;
  ~RasterGuard() {
    int ignored = 0;  // impfree cannot fail
    impfree(&ignored, image);
  }
};

// Columns (or rows) of the destination left for the image: the rest is
// padding. The block of k source pixels read for the last image column must
// end inside the source; a rounding slip of the float test is caught by the
// exact fixed-point check that follows it.
int ImagePart(int dst, int src, float s, int k, int64_t step) {
  int pad = static_cast<int>(dst - src / static_cast<double>(s));
  if (src < (dst - pad - 1) * static_cast<double>(s) + k) ++pad;
  pad = std::clamp(pad, 0, dst);
  int part = dst - pad;
  while (part > 0 && (((part - 1) * step) >> 16) + k > src) --part;
  return part;
}

}  // namespace

// Reduces a palettized source into dst with the fixed palette's colour cube,
// diffusing the quantisation error (7/16 left, 1/16, 5/16, 3/16 from the row
// above), and centres it on index-0 padding.
void KvReduceAndDither(const ImpImage& source, const unsigned char* palette, ImpImage& dst) {
  const int sw = source.width, sh = source.height, dw = dst.width, dh = dst.height;
  const float s = static_cast<float>(std::max(static_cast<double>(sw) / dw, static_cast<double>(sh) / dh));
  // Enlarging more than 100-fold would make the block empty; read single pixels.
  const int k = std::max(static_cast<int>(s + 0.99), 1);
  const int64_t n = 65536 / (int64_t{k} * k);
  const int64_t t = static_cast<int64_t>(s * 65536);
  const int iw = ImagePart(dw, sw, s, k, t);
  const int ih = ImagePart(dh, sh, s, k, t);
  const int left = (dw - iw) / 2, top = (dh - ih) / 2;
  std::memset(dst.data, 0, dst.dataSize);

  const unsigned char* red = palette;
  const unsigned char* green = palette + 256;
  const unsigned char* blue = palette + 512;
  // Error rows: entry x + 1 belongs to image column x; both ends stay 0.
  std::vector<int> rows(6 * static_cast<size_t>(dw + 2), 0);
  int* previous = rows.data();
  int* current = previous + 3 * (dw + 2);
  for (int y = 0; y < ih; ++y) {
    const int64_t sy = (y * t) >> 16;
    unsigned char* out = dst.data + static_cast<size_t>(top + y) * dw + left;
    for (int x = 0; x < iw; ++x) {
      const int64_t sx = (x * t) >> 16;
      int64_t sum[3] = {0, 0, 0};
      for (int by = 0; by < k; ++by) {
        const unsigned char* p = source.data + static_cast<size_t>(sy + by) * sw + sx;
        for (int bx = 0; bx < k; ++bx) {
          sum[0] += red[p[bx]];
          sum[1] += green[p[bx]];
          sum[2] += blue[p[bx]];
        }
      }
      int level[3];
      static const int kLevels[3] = {4, 8, 4};
      for (int c = 0; c < 3; ++c) {
        const int diffused =
            (7 * current[3 * x + c] + previous[3 * x + c] + 5 * previous[3 * (x + 1) + c] +
             3 * previous[3 * (x + 2) + c]) / 16;
        const int value = std::clamp(static_cast<int>((sum[c] * n) >> 16) + diffused, 0, 255);
        level[c] = std::min((value * kLevels[c] + 128) / 256, kLevels[c] - 1);
        current[3 * (x + 1) + c] = value - level[c] * 255 / (kLevels[c] - 1);
      }
      out[x] = static_cast<unsigned char>(128 + (level[0] * 8 + level[1]) * 4 + level[2]);
    }
    std::swap(previous, current);
  }
}

// Thumbnail size for a source of w x h: exactly width x height when padding,
// else scaled by s = max(w / width, h / height) held in single precision.
void KvThumbnailSize(int w, int h, int width, int height, Boolean pad, int* dw, int* dh) {
  if (pad != False) {
    *dw = width;
    *dh = height;
    return;
  }
  const float s = std::max(static_cast<float>(w) / width, static_cast<float>(h) / height);
  // A very thin source still gives one row or column.
  *dw = std::max(static_cast<int>(w / static_cast<double>(s)), 1);
  *dh = std::max(static_cast<int>(h / static_cast<double>(s)), 1);
}

const unsigned char* KvThumbnailPalette() { return ThumbnailPalette().bytes; }

int KvReadImageWriteThumbnail(const char* inputName, const char* outputName, int width, int height,
                              Boolean pad) {
  RasterGuard input, inputPalette, thumbnail;
  int status = 0;
  KvAnyread(&status, "KivoImagePath", inputName, &input.image, &inputPalette.image, nullptr, nullptr);
  if (status != 0) return 1;
  if (width < 1 || height < 1 || width > kKvMaxImageSide || height > kKvMaxImageSide ||
      int64_t{width} * height > kKvMaxImagePixels) {
    KvError(KERR_ImageDims, KERR_NonFatal, width, height, "KvReadImageWriteThumbnail");
    return 2;
  }
  int dw = 0, dh = 0;
  KvThumbnailSize(input.image->width, input.image->height, width, height, pad, &dw, &dh);
  thumbnail.image = impalloc(&status, dw, dh, IMP_BYTE, "KvReadImageWriteThumbnail");
  if (thumbnail.image == nullptr) return -1;
  KvReduceAndDither(*input.image, inputPalette.image->data, *thumbnail.image);

  ImpImage palette = {IMP_BYTE, 28, 768, const_cast<unsigned char*>(KvThumbnailPalette()), 256, 3, 768};
  KvAnywrite(&status, nullptr, outputName, thumbnail.image, &palette);
  return status != 0 ? 2 : 0;
}

int KvReadImageWrite24bitThumbnail(const char* inputName, const char* outputName, int width,
                                   int height, Boolean pad) {
  const char* pathList = Kvgetenv("KivoImagePath");
  char found[2000];
  const int rc = findfile(KV_FIND_CURRENT_DIR, pathList, inputName, found, sizeof found);
  if (rc != 0) {
    const char* paths = pathList != nullptr ? pathList : "";
    const char* name = inputName != nullptr ? inputName : "";
    std::fprintf(stderr, "KvReadImageWrite24bitThumbnail: input image not found. filename: %s  paths: %s\n",
                 name, paths);
    // A path too long for the buffer has its own message already.
    if (rc > 0) KvError(KERR_ImageNotFound, KERR_NonFatal, name, paths);
    return 1;
  }
  if (KvApplyPixelBudget() != 0) return 1;
  const int status = gen_img_rescale_image(found, outputName, width, height, pad != False ? 1 : 0);
  if (status != 0) {
    char text[160];
    std::snprintf(text, sizeof text, "%s (codec status %d)", KvCodecStatusText(status), status);
    KvError(KERR_AnyImage, KERR_NonFatal, found, text);
  }
  return status;
}

void MakeGrayFromPalette(unsigned char* pixels, unsigned long count, const unsigned char* palette) {
  unsigned char gray[256];
  for (unsigned i = 0; i < 256; ++i) {
    gray[i] = static_cast<unsigned char>(
        (299u * palette[i] + 587u * palette[256 + i] + 114u * palette[512 + i] + 500u) / 1000u);
  }
  for (unsigned long i = 0; i < count; ++i) pixels[i] = gray[pixels[i]];
}

void KvCopyRect(unsigned char* dst, int dstRowLength, int dstColumn, int dstRow,
                const unsigned char* src, int srcRowLength, int srcColumn, int srcRow, int widthBytes,
                int rows) {
  if (widthBytes <= 0) return;
  for (int r = 0; r < rows; ++r) {
    std::memcpy(dst + static_cast<long>(dstRow + r) * dstRowLength + dstColumn,
                src + static_cast<long>(srcRow + r) * srcRowLength + srcColumn,
                static_cast<size_t>(widthBytes));
  }
}
