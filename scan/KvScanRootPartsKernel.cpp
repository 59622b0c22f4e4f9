// Scan kernels of the features whose records are square-root histograms in
// parts, each part compared by its own Hellinger distance: the HSV band
// histogram (three bands) and the colour-texture feature (three bands and
// the patterns). Each part's dot product is an integer sum of products of
// 16-bit roots, exact in any order, so the compiler may vectorise the loops
// freely; the distance then goes through the feature's own function of the
// dot products and its normalisation step, which gives its Distance bit for
// bit.
#include <cstring>

#include "features/KvColorTextureFeature.h"
#include "features/KvHsvBandsFeature.h"
#include "scan/KvScanKernelFactories.h"

namespace {

// The parts of each feature's record: where each ends, and the feature's
// distance of the parts' dot products and norms.
template <class Feature>
struct Parts;

template <>
struct Parts<KvHsvBandsFeatureClass> {
  static constexpr int kCount = KvHsvBandsFeatureClass::kBands;
  static constexpr int kEnd[kCount] = {256, 512, 768};
  static double Distance(const uint64_t* dot, const uint64_t* a, const uint64_t* b) {
    return KvHsvBandsFeatureClass::BandDistance(dot, a, b);
  }
};

template <>
struct Parts<KvColorTextureFeatureClass> {
  static constexpr int kCount = KvColorTextureFeatureClass::kBands + 1;
  static constexpr int kEnd[kCount] = {256, 512, 768, KvColorTextureFeatureClass::kBins};
  static double Distance(const uint64_t* dot, const uint64_t* a, const uint64_t* b) {
    return KvColorTextureFeatureClass::PartDistance(dot, a, b);
  }
};

// Slot: the roots (native 16-bit) at 0, the parts' norms (native 64-bit)
// after them.
template <class Feature>
class RootPartsKernel : public KvSlotKernel {
 public:
  using P = Parts<Feature>;
  static constexpr int kBins = Feature::kBins;
  static_assert(P::kEnd[P::kCount - 1] == kBins, "the parts cover the record");

  RootPartsKernel(const Feature& query, double factor) : factor_(factor) {
    for (int i = 0; i < kBins; ++i) roots_[i] = query.GetRoots()[i];
    std::memcpy(norms_, query.GetNorms(), sizeof norms_);
  }
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    uint16_t roots[kBins];
    for (size_t r = 0; r < count; ++r) {
      const unsigned char* slot = base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
      // Slots need not be aligned for 16-bit loads.
      std::memcpy(roots, slot, sizeof roots);
      uint64_t norms[P::kCount], dot[P::kCount];
      std::memcpy(norms, slot + 2 * kBins, sizeof norms);
      int from = 0;
      for (int p = 0; p < P::kCount; ++p) {
        uint64_t sum = 0;
        for (int i = from; i < P::kEnd[p]; ++i) sum += roots_[i] * roots[i];
        dot[p] = sum;
        from = P::kEnd[p];
      }
      double d = P::Distance(dot, norms_, norms);
      if (factor_ > 0.0) d *= factor_;
      out[r] = static_cast<float>(d);
    }
  }

 private:
  uint32_t roots_[kBins];
  uint64_t norms_[P::kCount];
  double factor_;
};

}  // namespace

std::unique_ptr<KvSlotKernel> KvHsvBandsSlotKernel(const KvHsvBandsFeatureClass& query, KvParameterClass* parms) {
  return std::unique_ptr<KvSlotKernel>(
      new RootPartsKernel<KvHsvBandsFeatureClass>(query, KvDescriptorFeatureClass::DistanceFactor(parms)));
}

std::unique_ptr<KvSlotKernel> KvColorTextureSlotKernel(const KvColorTextureFeatureClass& query,
                                                       KvParameterClass* parms) {
  return std::unique_ptr<KvSlotKernel>(
      new RootPartsKernel<KvColorTextureFeatureClass>(query, KvDescriptorFeatureClass::DistanceFactor(parms)));
}
