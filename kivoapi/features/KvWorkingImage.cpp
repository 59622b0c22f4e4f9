// Working rasters of the descriptors: box reduction of a palette image.
#include "features/KvWorkingImage.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/KvError.h"
#include "data/KvGenericImageData.h"

KvHsv KvRgbToHsv(int red, int green, int blue) {
  const int hi = std::max(red, std::max(green, blue));
  const int lo = std::min(red, std::min(green, blue));
  KvHsv out{0.0f, 0.0f, static_cast<float>(hi) / 255.0f};
  const int range = hi - lo;
  if (range == 0) return out;
  out.s = static_cast<float>(range) / static_cast<float>(hi);
  float h;
  if (hi == red) {
    h = 60.0f * static_cast<float>(green - blue) / static_cast<float>(range);
  } else if (hi == green) {
    h = 120.0f + 60.0f * static_cast<float>(blue - red) / static_cast<float>(range);
  } else {
    h = 240.0f + 60.0f * static_cast<float>(red - green) / static_cast<float>(range);
  }
  if (h < 0.0f) h += 360.0f;
  if (h >= 360.0f) h -= 360.0f;
  out.h = h;
  return out;
}

namespace {

constexpr uint64_t kPackedField = (uint64_t{1} << 21) - 1;
constexpr int64_t kPackedRun = kPackedField / 255;

}  // namespace

bool KvMakeWorkingImage(const KvGenericImageDataClass& image, int area, KvWorkingImage* out) {
  const unsigned char* pixels = image.GetIndexPlane();
  const unsigned char* palette = image.GetPalette();
  const unsigned char* mask = image.GetMaskPlane();
  const int64_t w = image.GetXSize(), h = image.GetYSize();
  if (pixels == nullptr || palette == nullptr || w <= 0 || h <= 0 || area < 1) {
    KvError(KERR_NoPixels, KERR_NonFatal, "kcComp");
    return false;
  }
  // An image read from a file without a mask has one that leaves every
  // pixel in: summed without it.
  if (mask != nullptr && std::memchr(mask, 0, static_cast<size_t>(w * h)) == nullptr) mask = nullptr;
  int64_t tw = w, th = h;
  if (w * h > area) {
    const double scale = std::sqrt(static_cast<double>(area) / static_cast<double>(w * h));
    tw = std::max<int64_t>(1, std::llround(static_cast<double>(w) * scale));
    th = std::max<int64_t>(1, std::llround(static_cast<double>(h) * scale));
    tw = std::min(tw, w);
    th = std::min(th, h);
  }
  out->width = static_cast<int>(tw);
  out->height = static_cast<int>(th);
  const size_t cells = out->Cells();
  out->red.assign(cells, 0);
  out->green.assign(cells, 0);
  out->blue.assign(cells, 0);
  out->valid.assign(cells, 0);
  out->covered = 0;

  // First source column of every cell column (and the end of the last):
  // cell column tx holds the source columns x with x * tw / w == tx.
  std::vector<int64_t> first(static_cast<size_t>(tw) + 1);
  for (int64_t tx = 0; tx <= tw; ++tx) first[static_cast<size_t>(tx)] = (tx * w + tw - 1) / tw;
  std::vector<uint32_t> sum(static_cast<size_t>(tw) * 4);
  const unsigned char* red = palette;
  const unsigned char* green = palette + 256;
  const unsigned char* blue = palette + 512;
  // Each palette entry's components in 21-bit fields of one word: a run of
  // up to kPackedRun pixels sums without carrying from one field into the
  // next.
  uint64_t packed[256];
  for (int i = 0; i < 256; ++i) {
    packed[i] = red[i] | static_cast<uint64_t>(green[i]) << 21 | static_cast<uint64_t>(blue[i]) << 42;
  }

  int64_t y = 0;
  for (int64_t ty = 0; ty < th; ++ty) {
    std::fill(sum.begin(), sum.end(), 0u);
    // Source rows of this cell row: those with y * th / h == ty. A cell
    // holds at most ceil(w / tw) * ceil(h / th) pixels, far below 2^32 / 255
    // for the 2^28-pixel images the reader accepts.
    for (; y < h && y * th / h == ty; ++y) {
      const unsigned char* row = pixels + y * w;
      const unsigned char* rowMask = mask != nullptr ? mask + y * w : nullptr;
      for (int64_t tx = 0; tx < tw; ++tx) {
        // One run of source columns per cell, summed in registers.
        uint32_t r = 0, g = 0, b = 0, n = 0;
        const int64_t begin = first[static_cast<size_t>(tx)], end = first[static_cast<size_t>(tx) + 1];
        if (rowMask == nullptr && end - begin <= kPackedRun) {
          // The three components in one word: one load and one add a pixel.
          uint64_t sum = 0;
          for (int64_t x = begin; x < end; ++x) sum += packed[row[x]];
          r = static_cast<uint32_t>(sum & kPackedField);
          g = static_cast<uint32_t>((sum >> 21) & kPackedField);
          b = static_cast<uint32_t>(sum >> 42);
          n = static_cast<uint32_t>(end - begin);
        } else {
          for (int64_t x = begin; x < end; ++x) {
            const uint32_t in = rowMask[x] != 0 ? 1u : 0u;
            const unsigned char index = row[x];
            r += red[index] * in;
            g += green[index] * in;
            b += blue[index] * in;
            n += in;
          }
        }
        uint32_t* s = &sum[4 * static_cast<size_t>(tx)];
        s[0] += r;
        s[1] += g;
        s[2] += b;
        s[3] += n;
      }
    }
    for (int64_t tx = 0; tx < tw; ++tx) {
      const uint32_t* s = &sum[4 * static_cast<size_t>(tx)];
      if (s[3] == 0) continue;
      const size_t at = static_cast<size_t>(ty * tw + tx);
      out->red[at] = static_cast<uint8_t>((s[0] + s[3] / 2) / s[3]);
      out->green[at] = static_cast<uint8_t>((s[1] + s[3] / 2) / s[3]);
      out->blue[at] = static_cast<uint8_t>((s[2] + s[3] / 2) / s[3]);
      out->valid[at] = 1;
      out->covered += s[3];
    }
  }
  if (out->covered == 0) {
    KvError(KERR_NoPixels, KERR_NonFatal, "kcComp");
    return false;
  }
  return true;
}
