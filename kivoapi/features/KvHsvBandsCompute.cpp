// Computation of the HSV band histogram: the pixels of each band are counted
// per palette entry in one pass over the index plane, and each band's counts
// are shared among the bins the way the HSV histogram shares them.
#include <cmath>
#include <cstring>

#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "features/KvHsvBandsFeature.h"

bool KvHsvBandRoots(const KvGenericImageDataClass& image, uint16_t* roots, uint64_t* norms) {
  using Bands = KvHsvBandsFeatureClass;
  constexpr int kBands = Bands::kBands, kBandBins = Bands::kBandBins, kScale = Bands::kScale;
  const unsigned char* pixels = image.GetIndexPlane();
  const unsigned char* palette = image.GetPalette();
  const unsigned char* mask = image.GetMaskPlane();
  const int64_t width = image.GetXSize(), height = image.GetYSize();
  if (pixels == nullptr || palette == nullptr || width <= 0 || height <= 0) {
    KvError(KERR_NoPixels, KERR_NonFatal, "kcComp");
    return false;
  }
  uint32_t counts[kBands][256];
  std::memset(counts, 0, sizeof counts);
  uint64_t total = 0;
  for (int64_t y = 0; y < height; ++y) {
    uint32_t* band = counts[Bands::BandOf(y, height)];
    const size_t row = static_cast<size_t>(y * width);
    const unsigned char* p = pixels + row;
    if (mask == nullptr) {
      for (int64_t x = 0; x < width; ++x) ++band[p[x]];
      total += static_cast<uint64_t>(width);
    } else {
      const unsigned char* m = mask + row;
      for (int64_t x = 0; x < width; ++x) {
        if (m[x] == 0) continue;
        ++band[p[x]];
        ++total;
      }
    }
  }
  if (total == 0) {
    KvError(KERR_NoPixels, KERR_NonFatal, "kcComp");
    return false;
  }
  double shares[kBandBins];
  for (int b = 0; b < kBands; ++b) {
    uint16_t* band = roots + b * kBandBins;
    norms[b] = 0;
    // A band without unmasked pixels keeps zero roots (an image of fewer
    // than three rows, or a mask that leaves a band out).
    if (!KvHsvHistogramShares(counts[b], palette, palette + 256, palette + 512, shares)) {
      std::memset(band, 0, sizeof(uint16_t) * kBandBins);
      continue;
    }
    for (int i = 0; i < kBandBins; ++i) {
      band[i] = static_cast<uint16_t>(std::lround(std::sqrt(shares[i]) * kScale));
      norms[b] += static_cast<uint64_t>(band[i]) * band[i];
    }
  }
  return true;
}

int KvHsvBandsFeatureClass::Compute(const KvGenericImageDataClass& image) {
  return KvHsvBandRoots(image, root_, norm_) ? 0 : -1;
}
