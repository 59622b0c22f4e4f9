// Scan kernels of the edge histogram, correlogram and colour-difference
// features: the first two keep their records' bytes in the slot as stored,
// the third its 16-bit bins and their sum.
//
// The edge histogram's sums are integers: its kernel runs the feature's own
// distance function on the mapped slot (no decoding, no feature object per
// record), then the feature's mirror and normalisation steps. The
// correlogram adds float terms in index order, so its vector form (compiled
// once per SIMD target, chosen at run time) keeps one record in each lane:
// a block of records is transposed so that one bin of every lane is one
// load, and each lane performs the feature's conversions, division and
// additions in the feature's order, which gives its sum bit for bit. The
// colour-difference kernel does the same with its integer terms.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scan/KvScanDescriptorKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstring>

#include "features/KvColorDifferenceFeature.h"
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

constexpr int kDifferenceBins = KvColorDifferenceFeatureClass::kBins;
constexpr size_t kDifferenceSumOffset = 2 * kDifferenceBins;

struct DifferenceQuery {
  uint16_t bins[kDifferenceBins];
  uint32_t sum = 0;
  double factor = 0.0;
};

inline const unsigned char* SlotOf(const unsigned char* base, size_t stride, const uint64_t* index, size_t first,
                                   size_t r) {
  return base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
}

// A colour-difference slot's bins into bins; returns their sum.
inline uint32_t ReadDifferenceSlot(const unsigned char* slot, uint16_t* bins) {
  std::memcpy(bins, slot, sizeof(uint16_t) * kDifferenceBins);
  uint32_t sum;
  std::memcpy(&sum, slot + kDifferenceSumOffset, sizeof sum);
  return sum;
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

void DifferenceDistances(const DifferenceQuery& q, const unsigned char* base, size_t stride, const uint64_t* index,
                         size_t first, size_t count, float* out) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<int32_t, decltype(df)> di;
  const hn::Rebind<uint16_t, decltype(df)> du;
  const size_t lanes = hn::Lanes(df);
  size_t r = 0;
  if (lanes > 1 && lanes <= kCorrelogramMaxLanes) {
    alignas(64) uint16_t block[kDifferenceBins * kCorrelogramMaxLanes];
    alignas(64) int32_t sums[kCorrelogramMaxLanes];
    alignas(64) float distances[kCorrelogramMaxLanes];
    const auto n = hn::Set(di, kDifferenceBins);
    const auto zero = hn::Zero(di);
    for (; r + lanes <= count; r += lanes) {
      for (size_t l = 0; l < lanes; ++l) {
        uint16_t bins[kDifferenceBins];
        const uint32_t sum = ReadDifferenceSlot(SlotOf(base, stride, index, first, r + l), bins);
        for (int i = 0; i < kDifferenceBins; ++i) block[static_cast<size_t>(i) * lanes + l] = bins[i];
        sums[l] = static_cast<int32_t>(sum + q.sum);
      }
      const auto pairSums = hn::Load(di, sums);
      auto sum = hn::Zero(df);
      for (int i = 0; i < kDifferenceBins; ++i) {
        const auto x = hn::Set(di, static_cast<int32_t>(q.bins[i]));
        const auto y = hn::PromoteTo(di, hn::LoadU(du, block + static_cast<size_t>(i) * lanes));
        const auto divisor = hn::Add(hn::Mul(n, hn::Add(x, y)), pairSums);
        const auto numerator = hn::Mul(n, hn::Abs(hn::Sub(x, y)));
        const auto term = hn::Div(hn::ConvertTo(df, numerator), hn::ConvertTo(df, divisor));
        // 0 / 0 where both bins and both sums are 0: the feature's 0.
        sum = hn::Add(sum, hn::IfThenElseZero(hn::RebindMask(df, hn::Ne(divisor, zero)), term));
      }
      hn::Store(sum, df, distances);
      for (size_t l = 0; l < lanes; ++l) out[r + l] = Scaled(static_cast<double>(distances[l]), q.factor);
    }
  }
  for (; r < count; ++r) {
    uint16_t bins[kDifferenceBins];
    const uint32_t sum = ReadDifferenceSlot(SlotOf(base, stride, index, first, r), bins);
    out[r] = Scaled(KvColorDifferenceFeatureClass::BinDistance(q.bins, q.sum, bins, sum), q.factor);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace kvscan
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "scan/KvScanKernelFactories.h"

namespace kvscan {

HWY_EXPORT(CorrelogramDistances);
HWY_EXPORT(DifferenceDistances);

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

class DifferenceKernel : public KvSlotKernel {
 public:
  explicit DifferenceKernel(const DifferenceQuery& q) : q_(q) {}
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    HWY_DYNAMIC_DISPATCH(DifferenceDistances)(q_, base, stride, index, first, count, out);
  }

 private:
  DifferenceQuery q_;
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

std::unique_ptr<KvSlotKernel> KvColorDifferenceSlotKernel(const KvColorDifferenceFeatureClass& query,
                                                          KvParameterClass* parms) {
  using namespace kvscan;
  DifferenceQuery q;
  std::memcpy(q.bins, query.GetBins(), sizeof q.bins);
  q.sum = query.GetSum();
  q.factor = KvDescriptorFeatureClass::DistanceFactor(parms);
  return std::unique_ptr<KvSlotKernel>(new DifferenceKernel(q));
}

#endif  // HWY_ONCE
