// Scan kernel of the HSV band histogram feature. Each band's dot product is
// an integer sum of products of 16-bit roots, exact in any order, so the
// compiler may vectorise the loops freely; the distance then goes through
// the feature's own BandDistance and normalisation steps, which gives its
// Distance bit for bit.
#include <cstring>

#include "features/KvHsvBandsFeature.h"
#include "scan/KvScanKernelFactories.h"

namespace {

using Bands = KvHsvBandsFeatureClass;
constexpr int kBands = Bands::kBands;
constexpr int kBandBins = Bands::kBandBins;
// Slot: the roots (native 16-bit) at 0, the three norms (native 64-bit)
// after them.
constexpr size_t kNormOffset = 2 * Bands::kBins;

class HsvBandsKernel : public KvSlotKernel {
 public:
  HsvBandsKernel(const Bands& query, double factor) : factor_(factor) {
    for (int i = 0; i < Bands::kBins; ++i) roots_[i] = query.GetRoots()[i];
    std::memcpy(norms_, query.GetNorms(), sizeof norms_);
  }
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    uint16_t roots[Bands::kBins];
    for (size_t r = 0; r < count; ++r) {
      const unsigned char* slot = base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
      // Slots need not be aligned for 16-bit loads.
      std::memcpy(roots, slot, sizeof roots);
      uint64_t norms[kBands], dot[kBands];
      std::memcpy(norms, slot + kNormOffset, sizeof norms);
      for (int b = 0; b < kBands; ++b) {
        const uint32_t* q = roots_ + b * kBandBins;
        const uint16_t* t = roots + b * kBandBins;
        uint64_t sum = 0;
        for (int i = 0; i < kBandBins; ++i) sum += q[i] * t[i];
        dot[b] = sum;
      }
      double d = Bands::BandDistance(dot, norms_, norms);
      if (factor_ > 0.0) d *= factor_;
      out[r] = static_cast<float>(d);
    }
  }

 private:
  uint32_t roots_[Bands::kBins];
  uint64_t norms_[kBands];
  double factor_;
};

}  // namespace

std::unique_ptr<KvSlotKernel> KvHsvBandsSlotKernel(const KvHsvBandsFeatureClass& query, KvParameterClass* parms) {
  return std::unique_ptr<KvSlotKernel>(new HsvBandsKernel(query, KvDescriptorFeatureClass::DistanceFactor(parms)));
}
