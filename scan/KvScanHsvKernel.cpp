// Scan kernel of the HSV histogram feature, compiled once per SIMD target
// and chosen at run time (see KvScanKernels.h for the contract).
//
// The feature's distance is RootDistance of the integer dot product of the
// query's and the record's root vectors and of their norms, times the
// normalisation factor. Every product of two 16-bit roots and every sum of
// 256 of them is an integer below 2^53, so double lanes hold them exactly
// whatever the order of the additions (and with fused multiply-adds): the
// vector dot product is the feature's integer one, and the rest are the
// feature's own steps.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scan/KvScanHsvKernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>

#include "features/KvHsvHistogramFeature.h"

#ifndef KV_SCAN_HSV_KERNEL_SHARED
#define KV_SCAN_HSV_KERNEL_SHARED

namespace kvscan {

constexpr int kHsvBins = KvHsvHistogramFeatureClass::kBins;
// Slot: the roots (native 16-bit) at 0, their norm (native 64-bit) after.
constexpr size_t kHsvNormOffset = 2 * kHsvBins;

struct HsvQuery {
  alignas(64) double roots[kHsvBins];
  uint64_t norm = 0;
  double factor = 0.0;  // 0: distances as they are
};

inline float HsvFinish(const HsvQuery& q, uint64_t dot, const unsigned char* slot) {
  uint64_t norm;
  std::memcpy(&norm, slot + kHsvNormOffset, sizeof norm);
  double d = KvHsvHistogramFeatureClass::RootDistance(dot, q.norm, norm);
  if (q.factor > 0.0) d *= q.factor;
  return static_cast<float>(d);
}

inline uint64_t HsvDotOne(const HsvQuery& q, const unsigned char* slot) {
  uint64_t dot = 0;
  for (int i = 0; i < kHsvBins; ++i) {
    uint16_t t;
    std::memcpy(&t, slot + 2 * i, sizeof t);
    dot += static_cast<uint64_t>(q.roots[i]) * t;
  }
  return dot;
}

}  // namespace kvscan

#endif  // KV_SCAN_HSV_KERNEL_SHARED

HWY_BEFORE_NAMESPACE();
namespace kvscan {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void HsvDistances(const HsvQuery& q, const unsigned char* base, size_t stride, const uint64_t* index,
                  size_t first, size_t count, float* out) {
  const hn::ScalableTag<double> df;
  const hn::Rebind<int32_t, decltype(df)> di;
  const hn::Rebind<uint16_t, decltype(df)> du;
  const size_t lanes = hn::Lanes(df);
  for (size_t r = 0; r < count; ++r) {
    const unsigned char* slot = base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
    if (kHsvBins % (2 * lanes) != 0) {
      out[r] = HsvFinish(q, HsvDotOne(q, slot), slot);
      continue;
    }
    const uint16_t* t = reinterpret_cast<const uint16_t*>(slot);
    auto sum0 = hn::Zero(df);
    auto sum1 = hn::Zero(df);
    for (size_t i = 0; i < static_cast<size_t>(kHsvBins); i += 2 * lanes) {
      const auto a0 = hn::PromoteTo(df, hn::PromoteTo(di, hn::LoadU(du, t + i)));
      const auto a1 = hn::PromoteTo(df, hn::PromoteTo(di, hn::LoadU(du, t + i + lanes)));
      sum0 = hn::MulAdd(a0, hn::Load(df, q.roots + i), sum0);
      sum1 = hn::MulAdd(a1, hn::Load(df, q.roots + i + lanes), sum1);
    }
    const double dot = hn::GetLane(hn::SumOfLanes(df, hn::Add(sum0, sum1)));
    out[r] = HsvFinish(q, static_cast<uint64_t>(dot), slot);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace kvscan
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "scan/KvScanKernelFactories.h"

namespace kvscan {

HWY_EXPORT(HsvDistances);

namespace {

class HsvKernel : public KvSlotKernel {
 public:
  explicit HsvKernel(const HsvQuery& q) : q_(q) {}
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    HWY_DYNAMIC_DISPATCH(HsvDistances)(q_, base, stride, index, first, count, out);
  }

 private:
  HsvQuery q_;
};

}  // namespace
}  // namespace kvscan

std::unique_ptr<KvSlotKernel> KvHsvSlotKernel(const KvHsvHistogramFeatureClass& query, KvParameterClass* parms) {
  using namespace kvscan;
  HsvQuery q;
  for (int i = 0; i < kHsvBins; ++i) q.roots[i] = query.GetRoots()[i];
  q.norm = query.GetNorm();
  q.factor = KvDescriptorFeatureClass::DistanceFactor(parms);
  return std::unique_ptr<KvSlotKernel>(new HsvKernel(q));
}

#endif  // HWY_ONCE
