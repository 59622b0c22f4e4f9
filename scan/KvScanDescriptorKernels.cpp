// Scan kernels of the edge histogram and correlogram features: their records
// are bytes, kept in the slot as stored, so each kernel runs the feature's
// own distance function on the mapped slot (no decoding, no feature object
// per record), then the feature's mirror and normalisation steps. The edge
// histogram's sums are integers, which the compiler vectorises; the
// correlogram adds float terms in index order, which a vector form could
// only keep with one record per lane.
#include <algorithm>
#include <cstring>

#include "features/KvCorrelogramFeature.h"
#include "features/KvEdgeHistogramFeature.h"
#include "scan/KvScanKernelFactories.h"

namespace {

using Edge = KvEdgeHistogramFeatureClass;
using Correlogram = KvCorrelogramFeatureClass;

const unsigned char* SlotOf(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t r) {
  return base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
}

float Scaled(double d, double factor) {
  if (factor > 0.0) d *= factor;
  return static_cast<float>(d);
}

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
  CorrelogramKernel(const uint8_t* bins, double factor) : factor_(factor) { std::memcpy(bins_, bins, sizeof bins_); }
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    for (size_t r = 0; r < count; ++r) {
      out[r] = Scaled(Correlogram::BinDistance(bins_, SlotOf(base, stride, index, first, r)), factor_);
    }
  }

 private:
  uint8_t bins_[Correlogram::kBins];
  double factor_;
};

}  // namespace

std::unique_ptr<KvSlotKernel> KvEdgeHistogramSlotKernel(KvEdgeHistogramFeatureClass& query, KvParameterClass* parms) {
  // The feature reads its class defaults when the query names no parameters.
  const KvParameterClass* applied = parms != nullptr ? parms : query.GetParameters();
  return std::unique_ptr<KvSlotKernel>(new EdgeKernel(query.GetBins(), Edge::WantsMirror(applied),
                                                      KvDescriptorFeatureClass::DistanceFactor(parms)));
}

std::unique_ptr<KvSlotKernel> KvCorrelogramSlotKernel(const KvCorrelogramFeatureClass& query,
                                                      KvParameterClass* parms) {
  return std::unique_ptr<KvSlotKernel>(
      new CorrelogramKernel(query.GetBins(), KvDescriptorFeatureClass::DistanceFactor(parms)));
}
