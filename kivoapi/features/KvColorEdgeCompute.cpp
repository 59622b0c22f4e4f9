// Computation of the colour-edge feature on the working image.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/KvError.h"
#include "features/KvColorEdgeFeature.h"
#include "features/KvEdgeHistogramFeature.h"
#include "features/KvWorkingImage.h"

namespace {

using ColorEdge = KvColorEdgeFeatureClass;

constexpr int kWorkingArea = 1 << 16;
constexpr int kBlocksAcross = 40;
// Hue centres of the seven chromatic colours, in degrees.
constexpr float kHueCentres[8] = {0.0f, 30.0f, 60.0f, 120.0f, 180.0f, 240.0f, 300.0f, 360.0f};

float Ramp(float x, float from, float to) {
  const float t = (x - from) / (to - from);
  return t <= 0.0f ? 0.0f : t >= 1.0f ? 1.0f : t;
}

}  // namespace

void KvFuzzyColors(int red, int green, int blue, float out[ColorEdge::kColors]) {
  std::fill(out, out + ColorEdge::kColors, 0.0f);
  const KvHsv c = KvRgbToHsv(red, green, blue);
  // How chromatic the colour is: grays and very dark colours are not.
  const float chroma = Ramp(c.s, 0.10f, 0.30f) * Ramp(c.v, 0.08f, 0.20f);
  const float achromatic = 1.0f - chroma;
  // Black, gray and white share the achromatic part by value.
  if (c.v <= 0.5f) {
    const float t = c.v / 0.5f;
    out[0] += achromatic * (1.0f - t);
    out[1] += achromatic * t;
  } else {
    const float t = (c.v - 0.5f) / 0.5f;
    out[1] += achromatic * (1.0f - t);
    out[2] += achromatic * t;
  }
  if (chroma <= 0.0f) return;
  // The two hue centres around the hue share the chromatic part.
  int k = 0;
  while (k < 6 && c.h >= kHueCentres[k + 1]) ++k;
  const float t = (c.h - kHueCentres[k]) / (kHueCentres[k + 1] - kHueCentres[k]);
  const int hues[2] = {k, (k + 1) % 7};
  const float weights[2] = {chroma * (1.0f - t), chroma * t};
  // Shades: dark by value, light (pale) by saturation, normal otherwise.
  const float dark = 1.0f - Ramp(c.v, 0.25f, 0.55f);
  const float light = (1.0f - dark) * (1.0f - Ramp(c.s, 0.25f, 0.55f));
  const float normal = 1.0f - dark - light;
  for (int i = 0; i < 2; ++i) {
    float* shade = out + 3 + 3 * hues[i];
    shade[0] += weights[i] * dark;
    shade[1] += weights[i] * normal;
    shade[2] += weights[i] * light;
  }
}

int KvColorEdgeFeatureClass::Compute(const KvGenericImageDataClass& image) {
  KvWorkingImage work;
  if (!KvMakeWorkingImage(image, kWorkingArea, &work)) return -1;
  const int w = work.width, h = work.height;
  // Blocks: a 40 x 40 grid, or as many as leave each block 2 x 2 pixels.
  const int across = std::max(1, std::min(kBlocksAcross, w / 2));
  const int down = std::max(1, std::min(kBlocksAcross, h / 2));
  double histogram[kBins] = {};
  double total = 0.0;
  for (int by = 0; by < down; ++by) {
    const int y0 = by * h / down, y1 = (by + 1) * h / down, ym = (y0 + y1) / 2;
    for (int bx = 0; bx < across; ++bx) {
      const int x0 = bx * w / across, x1 = (bx + 1) * w / across, xm = (x0 + x1) / 2;
      float quarter[4] = {0, 0, 0, 0};
      int quarterCount[4] = {0, 0, 0, 0};
      uint32_t sum[3] = {0, 0, 0};
      int valid = 0;
      for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
          const size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
          if (work.valid[i] == 0) continue;
          const int q = (y >= ym ? 2 : 0) + (x >= xm ? 1 : 0);
          quarter[q] += KvLuminance(work.red[i], work.green[i], work.blue[i]);
          ++quarterCount[q];
          sum[0] += work.red[i];
          sum[1] += work.green[i];
          sum[2] += work.blue[i];
          ++valid;
        }
      }
      if (valid == 0) continue;
      // Structure from the quarters when all four hold pixels, else none.
      int kind = 0;
      if (quarterCount[0] > 0 && quarterCount[1] > 0 && quarterCount[2] > 0 && quarterCount[3] > 0) {
        const int edge = KvEdgeKind(quarter[0] / quarterCount[0], quarter[1] / quarterCount[1],
                                    quarter[2] / quarterCount[2], quarter[3] / quarterCount[3]);
        // Edge kinds 0 vertical, 1 horizontal, 2 45, 3 135, 4 non-directional.
        static constexpr int kKindOf[5] = {3, 2, 4, 5, 1};
        kind = edge < 0 ? 0 : kKindOf[edge];
      }
      float colors[kColors];
      KvFuzzyColors(static_cast<int>((sum[0] + valid / 2) / valid), static_cast<int>((sum[1] + valid / 2) / valid),
                    static_cast<int>((sum[2] + valid / 2) / valid), colors);
      for (int c = 0; c < kColors; ++c) histogram[kind * kColors + c] += colors[c];
      total += 1.0;
    }
  }
  if (total <= 0.0) {
    KvError(KERR_NoPixels, KERR_NonFatal, "kcComp");
    return -1;
  }
  // Square roots of the shares, so that small but telling bins count.
  square_ = 0;
  for (int i = 0; i < kBins; ++i) {
    bin_[i] = static_cast<uint8_t>(std::lround(std::sqrt(histogram[i] / total) * 255.0));
    square_ += static_cast<uint32_t>(bin_[i]) * bin_[i];
  }
  return 0;
}
