// Scan kernel of the colour histogram's partial matching, compiled once per
// SIMD target and chosen at run time (see KvScanKernels.h for the contract).
//
// Each lane holds one stored histogram and repeats the feature's walk for
// every colour of the query: the same operations in the same order, a lane
// that has finished a walk keeping its values while the others go on. The
// walk down the similarity ranking takes the same step in every lane while
// the stored shares are short of the query's share, so it reads the shares
// of a block of records transposed (one bin of every lane in one load); the
// walk of the excess starts where each lane stopped and gathers. A block
// that is not full repeats its last record in the spare lanes.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scan/KvScanPartialKernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifndef KV_SCAN_PARTIAL_KERNEL_SHARED
#define KV_SCAN_PARTIAL_KERNEL_SHARED

namespace kvscan {

constexpr int kPartialBins = 256;
constexpr size_t kPartialMaxLanes = 8;

// One colour of the query: its share, its desired share, and the similarity
// ranking of the other bins from it.
struct PartialColour {
  double p;
  double pctd;
  const double* ranked;  // kPartialBins similarities, most similar first
  const int64_t* rank;   // the bins in that order
};

struct PartialQuery {
  std::vector<PartialColour> colours;  // the query's non-zero bins, rising
  std::vector<double> ranked;
  std::vector<int64_t> rank;
  int16_t bins[kPartialBins];
  double excess;
};

}  // namespace kvscan

#endif  // KV_SCAN_PARTIAL_KERNEL_SHARED

HWY_BEFORE_NAMESPACE();
namespace kvscan {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// std::max and std::min of doubles, lane by lane (first operand kept on
// ties and NaN, as they keep it).
template <class V>
HWY_INLINE V MaxOf(V a, V b) {
  return hn::IfThenElse(hn::Lt(a, b), b, a);
}
template <class V>
HWY_INLINE V MinOf(V a, V b) {
  return hn::IfThenElse(hn::Lt(b, a), b, a);
}

// The penalty of colour c for the lanes' shares (bin j of lane l at
// shares[j * lanes + l]).
template <class DF>
hn::Vec<DF> Penalty(DF df, const PartialQuery& q, const PartialColour& c, const double* shares) {
  const hn::RebindToSigned<DF> di;
  using VF = hn::Vec<DF>;
  const size_t lanes = hn::Lanes(df);
  const VF zero = hn::Zero(df);
  const VF one = hn::Set(df, 1.0);
  // x / 2 and x * 0.5 are the same number in binary floating point.
  const VF half = hn::Set(df, 0.5);
  const VF p = hn::Set(df, c.p);

  // Sufficiency: every lane still short of p takes step t.
  VF sPrev = one, need = p, area = zero, s = one, crossingS = zero, overshoot = zero;
  auto step = hn::Zero(di);
  auto active = hn::Eq(zero, zero);
  for (int t = 0;; ++t) {
    const VF needPrev = need;
    VF sNew, needNew;
    if (t < kPartialBins) {
      sNew = hn::Set(df, c.ranked[t]);
      needNew = hn::Sub(need, hn::Load(df, shares + static_cast<size_t>(c.rank[t]) * lanes));
    } else {
      sNew = zero;
      needNew = hn::Set(df, std::min(c.p - 1.0, 0.0));
    }
    const auto cross = hn::Le(needNew, zero);
    crossingS = hn::IfThenElse(hn::And(active, cross), sNew, crossingS);
    overshoot = hn::IfThenElse(hn::And(active, cross), hn::Neg(needNew), overshoot);
    if (!hn::AllFalse(df, cross)) {
      const VF sCross =
          hn::Add(sPrev, hn::Div(hn::Mul(hn::Sub(sNew, sPrev), needPrev), hn::Sub(needPrev, needNew)));
      sNew = hn::IfThenElse(cross, sCross, sNew);
      needNew = hn::IfThenElse(cross, zero, needNew);
    }
    const VF areaNew = hn::Add(area, hn::Mul(hn::Mul(hn::Add(needNew, needPrev), hn::Sub(sPrev, sNew)), half));
    s = hn::IfThenElse(active, sNew, s);
    need = hn::IfThenElse(active, needNew, need);
    area = hn::IfThenElse(active, areaNew, area);
    sPrev = s;
    step = hn::IfThenElse(hn::RebindMask(di, active), hn::Set(di, t + 1), step);
    active = hn::And(active, hn::Gt(needNew, zero));
    if (hn::AllFalse(df, active)) break;
  }
  const VF sStar = s;
  const VF ds = MaxOf(hn::Div(area, p), zero);
  const VF distSuff = MaxOf(hn::Sub(ds, hn::Mul(hn::Sub(one, sStar), hn::Set(df, 0.1))), zero);
  // Adding the zero excess as the feature adds it (it turns -0 into 0).
  if (!(c.pctd < 1.0)) return hn::Add(distSuff, zero);

  // Excess: each lane goes on from its own step down to its threshold.
  const VF theta = MaxOf(hn::Sub(hn::Sub(one, ds), hn::Set(df, q.excess)), zero);
  const VF span = MaxOf(hn::Sub(sStar, theta), zero);
  const auto entered = hn::Gt(span, zero);
  if (hn::AllFalse(df, entered)) return hn::Add(distSuff, zero);
  const auto laneIndex = hn::Iota(di, 0);
  const int shift = lanes == 1 ? 0 : lanes == 2 ? 1 : lanes == 4 ? 2 : 3;
  const auto lastBin = hn::Set(di, kPartialBins - 1);
  VF cum = zero, excessArea = zero;
  sPrev = sStar;
  active = entered;
  for (bool first = true;; first = false) {
    const VF cumPrev = cum;
    VF share;
    if (first) {
      s = crossingS;
      share = overshoot;
    } else {
      const auto inRange = hn::Lt(step, hn::Set(di, kPartialBins));
      const auto at = hn::IfThenElse(inRange, step, lastBin);
      const auto bin = hn::GatherIndex(di, c.rank, at);
      const VF sRanked = hn::GatherIndex(df, c.ranked, at);
      const VF shareRanked = hn::GatherIndex(df, shares, hn::Add(hn::ShiftLeftSame(bin, shift), laneIndex));
      const auto ranked = hn::RebindMask(df, inRange);
      s = hn::IfThenElse(ranked, sRanked, zero);
      share = hn::IfThenElse(ranked, shareRanked, MaxOf(hn::Sub(hn::Sub(one, p), cum), zero));
      step = hn::IfThenElse(hn::And(inRange, hn::RebindMask(di, active)), hn::Add(step, hn::Set(di, 1)), step);
    }
    VF cumNew = hn::Add(cumPrev, share);
    const auto low = hn::Le(s, theta);
    if (!hn::AllFalse(df, low)) {
      cumNew = hn::IfThenElse(
          low, hn::Add(cumPrev, hn::Div(hn::Mul(share, hn::Sub(theta, sPrev)), hn::Sub(s, sPrev))), cumNew);
    }
    const VF sNew = hn::IfThenElse(low, theta, s);
    const VF areaNew = hn::Add(excessArea, hn::Mul(hn::Mul(hn::Add(cumNew, cumPrev), hn::Sub(sPrev, sNew)), half));
    cum = hn::IfThenElse(active, cumNew, cum);
    excessArea = hn::IfThenElse(active, areaNew, excessArea);
    sPrev = hn::IfThenElse(active, sNew, sPrev);
    active = hn::And(active, hn::Gt(sNew, theta));
    if (hn::AllFalse(df, active)) break;
  }
  const VF wanted = hn::Set(df, c.pctd - c.p);
  const VF de = MaxOf(hn::Mul(hn::Sub(one, ds), hn::Sub(hn::Div(excessArea, span), wanted)), zero);
  return hn::Add(distSuff, hn::IfThenElse(entered, de, zero));
}

void PartialDistances(const PartialQuery& q, const unsigned char* base, size_t stride, const uint64_t* index,
                      size_t first, size_t count, float* out) {
  const hn::ScalableTag<double> df;
  const hn::Rebind<int32_t, decltype(df)> d32;
  const size_t lanes = hn::Lanes(df);
  if (lanes > kPartialMaxLanes || (lanes & (lanes - 1)) != 0) return;  // no x86 target has such vectors
  HWY_ALIGN int32_t bins[kPartialBins * kPartialMaxLanes];
  HWY_ALIGN double shares[kPartialBins * kPartialMaxLanes];
  HWY_ALIGN double total[kPartialMaxLanes];
  const unsigned char* slots[kPartialMaxLanes];
  for (size_t r = 0; r < count; r += lanes) {
    const size_t n = std::min(lanes, count - r);
    for (size_t l = 0; l < lanes; ++l) {
      const size_t row = r + std::min(l, n - 1);
      slots[l] = base + stride * (index != nullptr ? static_cast<size_t>(index[row]) : first + row);
      for (int j = 0; j < kPartialBins; ++j) {
        int16_t b;
        std::memcpy(&b, slots[l] + 2 * j, sizeof b);
        bins[static_cast<size_t>(j) * lanes + l] = b;
      }
    }
    // The stored shares, bin / 1000 as the feature divides them.
    const auto thousand = hn::Set(df, 1000.0);
    for (size_t j = 0; j < kPartialBins * lanes; j += lanes) {
      hn::Store(hn::Div(hn::PromoteTo(df, hn::Load(d32, bins + j)), thousand), df, shares + j);
    }
    auto sum = hn::Zero(df);
    for (const PartialColour& c : q.colours) {
      sum = hn::Add(sum, c.p > 0.0 ? Penalty(df, q, c, shares) : hn::Zero(df));
    }
    hn::Store(sum, df, total);
    for (size_t l = 0; l < n; ++l) {
      double t = total[l];
      if (t < 0.5) {
        int32_t l1 = 0;
        for (int i = 0; i < kPartialBins; ++i) {
          l1 += std::abs(static_cast<int32_t>(q.bins[i]) - bins[static_cast<size_t>(i) * lanes + l]);
        }
        t = std::min(t, l1 / 1000.0);
      }
      out[r + l] = static_cast<float>(t);
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace kvscan
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "features/KvColorHistogramFeature.h"
#include "scan/KvScanKernelFactories.h"

namespace kvscan {

HWY_EXPORT(PartialDistances);

namespace {

class PartialKernel : public KvSlotKernel {
 public:
  explicit PartialKernel(std::unique_ptr<PartialQuery> q) : q_(std::move(q)) {}
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    HWY_DYNAMIC_DISPATCH(PartialDistances)(*q_, base, stride, index, first, count, out);
  }

 private:
  std::unique_ptr<PartialQuery> q_;
};

}  // namespace
}  // namespace kvscan

std::unique_ptr<KvSlotKernel> KvPartialSlotKernel(const KvColorHistogramFeatureClass& query) {
  using namespace kvscan;
  if (query.GetSelfTerm() >= 0 || !query.ParametersApplied()) return nullptr;
  KvBuildHistogramSimilarity();
  const double* lin = KvHistogramLinSimilarity();
  const uint8_t* rank = KvHistogramRank();
  const KvColorHistogramFeatureClass::PartialSettings settings = query.GetPartialSettings();
  std::unique_ptr<PartialQuery> q(new PartialQuery);
  std::memcpy(q->bins, query.GetBins(), sizeof q->bins);
  q->excess = settings.excess;
  std::vector<int> colours;
  for (int k = 0; k < kPartialBins; ++k) {
    if (q->bins[k] != 0) colours.push_back(k);
  }
  q->ranked.resize(colours.size() * kPartialBins);
  q->rank.resize(colours.size() * kPartialBins);
  for (size_t n = 0; n < colours.size(); ++n) {
    const int k = colours[n];
    PartialColour c;
    c.p = q->bins[k] / 1000.0;
    // The desired share, as the feature derives it.
    const double pct = c.p > settings.hiLoCut ? (c.p - settings.hiLoCut) * settings.hiMult +
                                                    settings.hiLoCut * settings.loMult
                                              : settings.loMult * c.p;
    c.pctd = std::min(std::max(pct, settings.minPnltyPct), 1.0);
    for (int step = 0; step < kPartialBins; ++step) {
      const int j = rank[k * kPartialBins + step];
      q->rank[n * kPartialBins + static_cast<size_t>(step)] = j;
      q->ranked[n * kPartialBins + static_cast<size_t>(step)] = lin[k * kPartialBins + j];
    }
    c.ranked = q->ranked.data() + n * kPartialBins;
    c.rank = q->rank.data() + n * kPartialBins;
    q->colours.push_back(c);
  }
  return std::unique_ptr<KvSlotKernel>(new PartialKernel(std::move(q)));
}

#endif  // HWY_ONCE
