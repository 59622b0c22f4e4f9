// Scan kernels of the features whose records are square-root histograms in
// parts, each part compared by its own Hellinger distance: the HSV band
// histogram (three bands) and the colour-texture feature (three bands and
// the patterns). Compiled once per SIMD target and chosen at run time (see
// KvScanKernels.h for the contract).
//
// Every product of two 16-bit roots and every sum of a part's products (at
// most 256 of them) is an integer below 2^53, so double lanes hold them
// exactly whatever the order of the additions, as in the HSV histogram's
// kernel: each part's vector dot product is the feature's integer one, and
// the distance then goes through the feature's own function of the dot
// products and its normalisation step, which gives its Distance bit for bit.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scan/KvScanRootPartsKernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>
#include <type_traits>

#include "features/KvColorTextureFeature.h"
#include "features/KvHsvBandsFeature.h"

#ifndef KV_SCAN_ROOT_PARTS_KERNEL_SHARED
#define KV_SCAN_ROOT_PARTS_KERNEL_SHARED

namespace kvscan {

// The parts of each feature's record: where each ends, and the feature's
// distance of the parts' dot products and norms. Every part is a multiple of
// 16 roots long.
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
struct RootPartsQuery {
  using P = Parts<Feature>;
  static_assert(P::kEnd[P::kCount - 1] == Feature::kBins, "the parts cover the record");
  alignas(64) double roots[Feature::kBins];
  uint64_t norms[P::kCount];
  double factor = 0.0;  // 0: distances as they are
};

template <class Feature>
float RootPartsFinish(const RootPartsQuery<Feature>& q, const uint64_t* dot, const unsigned char* slot) {
  using P = Parts<Feature>;
  uint64_t norms[P::kCount];
  std::memcpy(norms, slot + 2 * Feature::kBins, sizeof norms);
  double d = P::Distance(dot, q.norms, norms);
  if (q.factor > 0.0) d *= q.factor;
  return static_cast<float>(d);
}

template <class Feature>
void RootPartsDotOne(const RootPartsQuery<Feature>& q, const unsigned char* slot, uint64_t* dot) {
  using P = Parts<Feature>;
  int from = 0;
  for (int p = 0; p < P::kCount; ++p) {
    uint64_t sum = 0;
    for (int i = from; i < P::kEnd[p]; ++i) {
      uint16_t t;
      std::memcpy(&t, slot + 2 * i, sizeof t);
      sum += static_cast<uint64_t>(q.roots[i]) * t;
    }
    dot[p] = sum;
    from = P::kEnd[p];
  }
}

}  // namespace kvscan

#endif  // KV_SCAN_ROOT_PARTS_KERNEL_SHARED

HWY_BEFORE_NAMESPACE();
namespace kvscan {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <class Feature>
void RootPartsDistances(const RootPartsQuery<Feature>& q, const unsigned char* base, size_t stride,
                        const uint64_t* index, size_t first, size_t count, float* out) {
  using P = Parts<Feature>;
  const hn::ScalableTag<double> df;
  const hn::Rebind<int32_t, decltype(df)> di;
  const hn::Rebind<uint16_t, decltype(df)> du;
  const size_t lanes = hn::Lanes(df);
  const bool whole = 16 % (2 * lanes) == 0;
  for (size_t r = 0; r < count; ++r) {
    const unsigned char* slot = base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
    uint64_t dot[P::kCount];
    if (!whole) {
      RootPartsDotOne(q, slot, dot);
      out[r] = RootPartsFinish(q, dot, slot);
      continue;
    }
    const uint16_t* t = reinterpret_cast<const uint16_t*>(slot);
    size_t from = 0;
    for (int p = 0; p < P::kCount; ++p) {
      auto sum0 = hn::Zero(df);
      auto sum1 = hn::Zero(df);
      for (size_t i = from; i < static_cast<size_t>(P::kEnd[p]); i += 2 * lanes) {
        const auto a0 = hn::PromoteTo(df, hn::PromoteTo(di, hn::LoadU(du, t + i)));
        const auto a1 = hn::PromoteTo(df, hn::PromoteTo(di, hn::LoadU(du, t + i + lanes)));
        sum0 = hn::MulAdd(a0, hn::Load(df, q.roots + i), sum0);
        sum1 = hn::MulAdd(a1, hn::Load(df, q.roots + i + lanes), sum1);
      }
      dot[p] = static_cast<uint64_t>(hn::GetLane(hn::SumOfLanes(df, hn::Add(sum0, sum1))));
      from = static_cast<size_t>(P::kEnd[p]);
    }
    out[r] = RootPartsFinish(q, dot, slot);
  }
}

void HsvBandsDistances(const RootPartsQuery<KvHsvBandsFeatureClass>& q, const unsigned char* base, size_t stride,
                       const uint64_t* index, size_t first, size_t count, float* out) {
  RootPartsDistances(q, base, stride, index, first, count, out);
}

void ColorTextureDistances(const RootPartsQuery<KvColorTextureFeatureClass>& q, const unsigned char* base,
                           size_t stride, const uint64_t* index, size_t first, size_t count, float* out) {
  RootPartsDistances(q, base, stride, index, first, count, out);
}

}  // namespace HWY_NAMESPACE
}  // namespace kvscan
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "scan/KvScanKernelFactories.h"

namespace kvscan {

HWY_EXPORT(HsvBandsDistances);
HWY_EXPORT(ColorTextureDistances);

namespace {

template <class Feature>
class RootPartsKernel : public KvSlotKernel {
 public:
  RootPartsKernel(const Feature& query, double factor) {
    for (int i = 0; i < Feature::kBins; ++i) q_.roots[i] = query.GetRoots()[i];
    std::memcpy(q_.norms, query.GetNorms(), sizeof q_.norms);
    q_.factor = factor;
  }
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    if constexpr (std::is_same_v<Feature, KvHsvBandsFeatureClass>) {
      HWY_DYNAMIC_DISPATCH(HsvBandsDistances)(q_, base, stride, index, first, count, out);
    } else {
      HWY_DYNAMIC_DISPATCH(ColorTextureDistances)(q_, base, stride, index, first, count, out);
    }
  }

 private:
  RootPartsQuery<Feature> q_;
};

}  // namespace
}  // namespace kvscan

std::unique_ptr<KvSlotKernel> KvHsvBandsSlotKernel(const KvHsvBandsFeatureClass& query, KvParameterClass* parms) {
  return std::unique_ptr<KvSlotKernel>(
      new kvscan::RootPartsKernel<KvHsvBandsFeatureClass>(query, KvDescriptorFeatureClass::DistanceFactor(parms)));
}

std::unique_ptr<KvSlotKernel> KvColorTextureSlotKernel(const KvColorTextureFeatureClass& query,
                                                       KvParameterClass* parms) {
  return std::unique_ptr<KvSlotKernel>(new kvscan::RootPartsKernel<KvColorTextureFeatureClass>(
      query, KvDescriptorFeatureClass::DistanceFactor(parms)));
}

#endif  // HWY_ONCE
