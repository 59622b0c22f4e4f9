// Scan kernels of the edge histogram and correlogram features: their records
// are bytes, kept in the slot as stored.
//
// The edge histogram's sums are integers: its kernel runs the feature's own
// distance function on the mapped slot (no decoding, no feature object per
// record), then the feature's mirror and normalisation steps. The
// correlogram adds float terms in index order, so its vector form (compiled
// once per SIMD target, chosen at run time) keeps one record in each lane:
// a block of records is transposed so that one bin of every lane is one
// load, and each lane performs the feature's conversions, division and
// additions in the feature's order, which gives its sum bit for bit.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scan/KvScanDescriptorKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstring>

#include "features/KvCorrelogramFeature.h"
#include "features/KvEdgeHistogramFeature.h"

#ifndef KV_SCAN_DESCRIPTOR_KERNELS_SHARED
#define KV_SCAN_DESCRIPTOR_KERNELS_SHARED

namespace kvscan {

constexpr int kCorrelogramBins = KvCorrelogramFeatureClass::kBins;
constexpr size_t kCorrelogramMaxLanes = 16;

struct CorrelogramQuery {
  uint8_t bins[kCorrelogramBins];
  double factor = 0.0;  // 0: distances as they are
};

inline const unsigned char* SlotOf(const unsigned char* base, size_t stride, const uint64_t* index, size_t first,
                                   size_t r) {
  return base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
}

inline float Scaled(double d, double factor) {
  if (factor > 0.0) d *= factor;
  return static_cast<float>(d);
}

}  // namespace kvscan

#endif  // KV_SCAN_DESCRIPTOR_KERNELS_SHARED

HWY_BEFORE_NAMESPACE();
namespace kvscan {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void CorrelogramDistances(const CorrelogramQuery& q, const unsigned char* base, size_t stride,
                          const uint64_t* index, size_t first, size_t count, float* out) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<int32_t, decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> du;
  const size_t lanes = hn::Lanes(df);
  size_t r = 0;
  if (lanes > 1 && lanes <= kCorrelogramMaxLanes) {
    alignas(64) uint8_t block[kCorrelogramBins * kCorrelogramMaxLanes];
    alignas(64) float sums[kCorrelogramMaxLanes];
    const auto bias = hn::Set(di, 255);
    for (; r + lanes <= count; r += lanes) {
      for (size_t l = 0; l < lanes; ++l) {
        const unsigned char* t = SlotOf(base, stride, index, first, r + l);
        for (int i = 0; i < kCorrelogramBins; ++i) block[static_cast<size_t>(i) * lanes + l] = t[i];
      }
      auto sum = hn::Zero(df);
      for (int i = 0; i < kCorrelogramBins; ++i) {
        const auto x = hn::Set(di, static_cast<int32_t>(q.bins[i]));
        const auto y = hn::PromoteTo(di, hn::LoadU(du, block + static_cast<size_t>(i) * lanes));
        const auto term = hn::Div(hn::ConvertTo(df, hn::Abs(hn::Sub(x, y))), hn::ConvertTo(df, hn::Add(bias, hn::Add(x, y))));
        sum = hn::Add(sum, term);
      }
      hn::Store(sum, df, sums);
      for (size_t l = 0; l < lanes; ++l) out[r + l] = Scaled(static_cast<double>(sums[l]), q.factor);
    }
  }
  for (; r < count; ++r) {
    out[r] = Scaled(KvCorrelogramFeatureClass::BinDistance(q.bins, SlotOf(base, stride, index, first, r)), q.factor);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace kvscan
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "scan/KvScanKernelFactories.h"

namespace kvscan {

HWY_EXPORT(CorrelogramDistances);

namespace {

using Edge = KvEdgeHistogramFeatureClass;

class EdgeKernel : public KvSlotKernel {
 public:
  EdgeKernel(const uint8_t* bins, bool mirror, double factor) : mirror_(mirror), factor_(factor) {
    std::memcpy(bins_, bins, sizeof bins_);
    if (mirror_) Edge::Mirror(bins_, mirrored_);
  }
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    for (size_t r = 0; r < count; ++r) {
      const uint8_t* t = SlotOf(base, stride, index, first, r);
      double d = Edge::BinDistance(bins_, t);
      if (mirror_) d = std::min(d, Edge::BinDistance(mirrored_, t));
      out[r] = Scaled(d, factor_);
    }
  }

 private:
  uint8_t bins_[Edge::kBins];
  uint8_t mirrored_[Edge::kBins] = {};
  bool mirror_;
  double factor_;
};

class CorrelogramKernel : public KvSlotKernel {
 public:
  explicit CorrelogramKernel(const CorrelogramQuery& q) : q_(q) {}
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    HWY_DYNAMIC_DISPATCH(CorrelogramDistances)(q_, base, stride, index, first, count, out);
  }

 private:
  CorrelogramQuery q_;
};

}  // namespace
}  // namespace kvscan

std::unique_ptr<KvSlotKernel> KvEdgeHistogramSlotKernel(KvEdgeHistogramFeatureClass& query, KvParameterClass* parms) {
  using namespace kvscan;
  // The feature reads its class defaults when the query names no parameters.
  const KvParameterClass* applied = parms != nullptr ? parms : query.GetParameters();
  return std::unique_ptr<KvSlotKernel>(new EdgeKernel(query.GetBins(), Edge::WantsMirror(applied),
                                                      KvDescriptorFeatureClass::DistanceFactor(parms)));
}

std::unique_ptr<KvSlotKernel> KvCorrelogramSlotKernel(const KvCorrelogramFeatureClass& query,
                                                      KvParameterClass* parms) {
  using namespace kvscan;
  CorrelogramQuery q;
  std::memcpy(q.bins, query.GetBins(), sizeof q.bins);
  q.factor = KvDescriptorFeatureClass::DistanceFactor(parms);
  return std::unique_ptr<KvSlotKernel>(new CorrelogramKernel(q));
}

#endif  // HWY_ONCE
