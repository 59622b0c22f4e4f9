// Computation of the HSV histogram from a palette image: the pixels are
// counted per palette entry in one pass, and each entry's colour is then
// shared among the bins around it.
#include <cmath>
#include <cstring>

#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "features/KvColorSpace.h"
#include "features/KvHsvHistogramFeature.h"
#include "features/KvWorkingImage.h"

namespace {

using Hsv = KvHsvHistogramFeatureClass;

// The two bins around position p (bin centres at 0.5, 1.5, ...) of a linear
// axis of n bins, with the weight of the first; the ends take everything
// beyond the outer centres.
void Linear(float p, int n, int* first, float* weight) {
  const float at = p * static_cast<float>(n) - 0.5f;
  if (at <= 0.0f) {
    *first = 0;
    *weight = 1.0f;
    return;
  }
  if (at >= static_cast<float>(n - 1)) {
    *first = n - 2;
    *weight = 0.0f;
    return;
  }
  const int k = static_cast<int>(at);
  *first = k;
  *weight = 1.0f - (at - static_cast<float>(k));
}

}  // namespace

bool KvHsvHistogramShares(const uint32_t counts[256], const unsigned char* red, const unsigned char* green,
                          const unsigned char* blue, double shares[Hsv::kBins]) {
  std::memset(shares, 0, sizeof(double) * Hsv::kBins);
  uint64_t total = 0;
  for (int i = 0; i < 256; ++i) total += counts[i];
  if (total == 0) return false;
  for (int i = 0; i < 256; ++i) {
    if (counts[i] == 0) continue;
    const KvHsv c = KvRgbToHsv(red[i], green[i], blue[i]);
    // Hue wraps: centres at (k + 0.5) * 22.5 degrees.
    float at = c.h / 360.0f * Hsv::kHues - 0.5f;
    if (at < 0.0f) at += Hsv::kHues;
    int h0 = static_cast<int>(at);
    if (h0 >= Hsv::kHues) h0 = Hsv::kHues - 1;
    const float hw = 1.0f - (at - static_cast<float>(h0));
    const int h1 = (h0 + 1) % Hsv::kHues;
    int s0, v0;
    float sw, vw;
    Linear(c.s, Hsv::kSaturations, &s0, &sw);
    Linear(c.v, Hsv::kValues, &v0, &vw);
    const double n = static_cast<double>(counts[i]) / static_cast<double>(total);
    const int hues[2] = {h0, h1};
    const float hueWeights[2] = {hw, 1.0f - hw};
    for (int b = 0; b < 2; ++b) {
      const float sWeight = b == 0 ? sw : 1.0f - sw;
      for (int d = 0; d < 2; ++d) {
        const float vWeight = d == 0 ? vw : 1.0f - vw;
        const double part = n * sWeight * vWeight;
        const int s = s0 + b, v = v0 + d;
        if (part == 0.0) continue;
        // The hue of a pale colour, and hue and saturation of a dark one,
        // are mostly noise (compression shifts them at will): their share
        // goes evenly to every bin that differs only in those.
        if (v == 0) {
          for (int h = 0; h < Hsv::kHues; ++h) {
            for (int t = 0; t < Hsv::kSaturations; ++t) {
              shares[Hsv::Bin(h, t, 0)] += part / (Hsv::kHues * Hsv::kSaturations);
            }
          }
        } else if (s == 0) {
          for (int h = 0; h < Hsv::kHues; ++h) shares[Hsv::Bin(h, 0, v)] += part / Hsv::kHues;
        } else {
          for (int a = 0; a < 2; ++a) shares[Hsv::Bin(hues[a], s, v)] += part * hueWeights[a];
        }
      }
    }
  }
  return true;
}

int KvHsvHistogramFeatureClass::Compute(const KvGenericImageDataClass& image) {
  const unsigned char* pixels = image.GetIndexPlane();
  const unsigned char* palette = image.GetPalette();
  const int64_t count = static_cast<int64_t>(image.GetXSize()) * image.GetYSize();
  if (pixels == nullptr || palette == nullptr || count <= 0) {
    KvError(KERR_NoPixels, KERR_NonFatal, "kcComp");
    return -1;
  }
  uint32_t counts[256];
  if (KvCountIndexHistogram(pixels, image.GetMaskPlane(), static_cast<unsigned long>(count), counts) == 0) {
    return -1;
  }
  double shares[kBins];
  if (!KvHsvHistogramShares(counts, palette, palette + 256, palette + 512, shares)) return -1;
  norm_ = 0;
  for (int i = 0; i < kBins; ++i) {
    root_[i] = static_cast<uint16_t>(std::lround(std::sqrt(shares[i]) * kScale));
    norm_ += static_cast<uint64_t>(root_[i]) * root_[i];
  }
  return 0;
}
