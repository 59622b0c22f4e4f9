// Scan kernel of partial matching (a colour histogram query without self
// term), see KvScanKernels.h for the contract.
//
// The feature's walk for each query colour goes down the similarity ranking
// until the stored shares cover the colour, then on to the excess threshold:
// a chain of dependent additions whose length differs from record to
// record, so it stays scalar and keeps the feature's operations in their
// order. What the feature does per record and is the same for every record
// is done here once per query: the query colours' shares, desired shares and
// rows of the ranking; the similarity steps of each row; the stored shares
// are looked up in a table of v / 1000 instead of 256 divisions per record.
// Two walks go side by side (independent chains the CPU can overlap); each
// colour's penalty is then added in the feature's order.
//
// A search whose best list is full only needs the distances that can enter
// it (BoundedDistances). Every colour's penalty is at least 0, so the sum of
// some of them bounds the distance from below; a record is given up as soon
// as a bound shows the list would refuse it. The first bounds come from a
// cheap form of the sufficiency walk that steps only over the record's
// colours (a photograph has few of 256 bins): it crosses at the feature's
// step, and only the areas of the empty steps between are summed otherwise,
// within kRunSlack. A record that survives them is measured by the walks
// above, largest shares first, with a check after each pair. Most records
// of a catalog end after a pass over their bins and one short walk per
// query colour.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "features/KvColorHistogramFeature.h"
#include "scan/KvScanKernelFactories.h"

namespace kvscan {
namespace {

constexpr int kBins = KvColorHistogramFeatureClass::kBins;
constexpr int kShareTable = 1001;  // v / 1000 for v in 0..1000, what computed histograms hold

struct PartialColor {
  double p;         // the query's share of the colour
  double pctd;      // the share wanted in the stored image
  bool wantsExcess; // pctd < 1
  const uint8_t* rank;   // the colour's ranking row: most similar bin first
  const double* ranked;  // the similarity of each step of the row
  const double* drop;    // the similarity given up by each step (1 - s for the first)
  const uint8_t* position;  // the step of each bin in the row (the inverse of rank)
};

struct PartialQuery {
  std::vector<PartialColor> colors;
  std::vector<double> ranked;  // kBins per colour
  std::vector<double> drop;    // kBins per colour
  std::vector<uint8_t> position;  // kBins per colour
  // Every colour's share is at most 1, so the sufficiency bounds hold
  // (SufficiencyBound).
  bool boundable;
  std::vector<uint8_t> nonzero;  // the query's bins that are not 0
  // The colours in the order a bounded record measures them: the largest
  // shares first, whose penalties are the largest as a rule.
  std::vector<uint32_t> order;
  int16_t bins[kBins];
  double excess;
  double share[kShareTable];
};

inline int16_t Bin(const unsigned char* slot, int j) {
  int16_t v;
  std::memcpy(&v, slot + 2 * j, sizeof v);
  return v;
}

// The stored share of bin j, as the feature divides it. Plain: every bin of
// the record is in 0..1000 (the table holds them all).
template <bool Plain>
inline double Share(const PartialQuery& q, const unsigned char* slot, int j) {
  const int v = Bin(slot, j);
  if (Plain) return q.share[v];
  return static_cast<unsigned>(v) < static_cast<unsigned>(kShareTable) ? q.share[v] : static_cast<double>(v) / 1000.0;
}

// The sufficiency walk's state at the crossing, what the excess walk starts
// from.
struct Crossing {
  double area;
  double sStar;
  double crossingS;
  double overshoot;
  int step;
};

// The similarity before step `step` of c's walk.
inline double Before(const PartialColor& c, int step) { return step == 0 ? 1.0 : c.ranked[step - 1]; }

// The step at which the need is covered (from sPrev down to s, the need
// falling from needPrev to need <= 0), as the feature's loop ends.
inline void Cross(double sPrev, double s, double need, double needPrev, double area, int step,
                  Crossing* c) {
  c->crossingS = s;
  c->overshoot = -need;
  s = sPrev + (s - sPrev) * needPrev / (needPrev - need);
  need = 0.0;
  c->area = area + (need + needPrev) * (sPrev - s) / 2.0;
  c->sStar = s;
  c->step = step;
}

// The sufficiency walk of colour c (the feature's first loop).
template <bool Plain>
inline void Sufficiency(const PartialQuery& q, const PartialColor& c, const unsigned char* slot, Crossing* out) {
  double need = c.p, area = 0.0;
  int step = 0;
  for (; step < kBins; ++step) {
    const double needPrev = need;
    need = need - Share<Plain>(q, slot, c.rank[step]);
    if (need <= 0.0) {
      Cross(Before(c, step), c.ranked[step], need, needPrev, area, step + 1, out);
      return;
    }
    // sPrev - s of this step is c.drop[step].
    area += (need + needPrev) * c.drop[step] / 2.0;
  }
  // Past the last bin the rest of the image counts at similarity 0.
  const double needPrev = need;
  need = std::min(c.p - 1.0, 0.0);
  Cross(c.ranked[kBins - 1], 0.0, need, needPrev, area, kBins + 1, out);
}

// Two sufficiency walks side by side while both go on; the one left
// finishes alone. Each walk's operations are those of Sufficiency.
template <bool Plain>
inline void SufficiencyPair(const PartialQuery& q, const PartialColor& a, const unsigned char* slotA,
                            const PartialColor& b, const unsigned char* slotB, Crossing* outA, Crossing* outB) {
  double needA = a.p, areaA = 0.0;
  double needB = b.p, areaB = 0.0;
  int step = 0;
  for (; step < kBins; ++step) {
    const double prevA = needA;
    const double prevB = needB;
    needA = needA - Share<Plain>(q, slotA, a.rank[step]);
    needB = needB - Share<Plain>(q, slotB, b.rank[step]);
    if (needA <= 0.0 || needB <= 0.0) {
      // One (or both) crossed at this step; the other continues on its own
      // from the next step with its state as the lone walk would hold it.
      const bool doneA = needA <= 0.0;
      const bool doneB = needB <= 0.0;
      if (doneA) Cross(Before(a, step), a.ranked[step], needA, prevA, areaA, step + 1, outA);
      if (doneB) Cross(Before(b, step), b.ranked[step], needB, prevB, areaB, step + 1, outB);
      if (!doneA) areaA += (needA + prevA) * a.drop[step] / 2.0;
      if (!doneB) areaB += (needB + prevB) * b.drop[step] / 2.0;
      const PartialColor& c = doneA ? b : a;
      Crossing* out = doneA ? outB : outA;
      const unsigned char* slot = doneA ? slotB : slotA;
      if (doneA && doneB) return;
      double need = doneA ? needB : needA;
      double area = doneA ? areaB : areaA;
      for (++step; step < kBins; ++step) {
        const double needPrev = need;
        need = need - Share<Plain>(q, slot, c.rank[step]);
        if (need <= 0.0) {
          Cross(c.ranked[step - 1], c.ranked[step], need, needPrev, area, step + 1, out);
          return;
        }
        area += (need + needPrev) * c.drop[step] / 2.0;
      }
      const double needPrev = need;
      need = std::min(c.p - 1.0, 0.0);
      Cross(c.ranked[kBins - 1], 0.0, need, needPrev, area, kBins + 1, out);
      return;
    }
    areaA += (needA + prevA) * a.drop[step] / 2.0;
    areaB += (needB + prevB) * b.drop[step] / 2.0;
  }
  for (int k = 0; k < 2; ++k) {
    const PartialColor& c = k == 0 ? a : b;
    const double needPrev = k == 0 ? needA : needB;
    const double need = std::min(c.p - 1.0, 0.0);
    Cross(c.ranked[kBins - 1], 0.0, need, needPrev, k == 0 ? areaA : areaB, kBins + 1, k == 0 ? outA : outB);
  }
}

// The sufficiency distance of colour c once its walk has crossed: ds, and
// the part of the penalty it gives (never more than the whole penalty).
struct Sufficient {
  double ds;
  double distSuff;
};
inline Sufficient SufficiencyOf(const PartialColor& c, const Crossing& x) {
  const double ds = std::max(x.area / c.p, 0.0);
  return {ds, std::max(ds - (1.0 - x.sStar) * 0.1, 0.0)};
}

// The excess part of colour c's penalty: the walk on from the crossing down
// to the excess threshold.
template <bool Plain>
inline double ExcessOf(const PartialQuery& q, const PartialColor& c, const unsigned char* slot, const Crossing& x,
                       double ds) {
  const double p = c.p;
  const double sStar = x.sStar;
  double de = 0.0;
  if (c.wantsExcess) {
    const double theta = std::max((1.0 - ds) - q.excess, 0.0);
    const double span = std::max(sStar - theta, 0.0);
    if (span > 0.0) {
      int step = x.step;
      double cum = 0.0, excessArea = 0.0, s;
      double sPrev = sStar;
      bool first = true;
      for (;;) {
        const double cumPrev = cum;
        double share;
        if (first) {
          s = x.crossingS;
          share = x.overshoot;
          first = false;
        } else if (step < kBins) {
          const int j = c.rank[step];
          s = c.ranked[step++];
          share = Share<Plain>(q, slot, j);
        } else {
          s = 0.0;
          share = std::max((1.0 - p) - cum, 0.0);
        }
        cum = cumPrev + share;
        if (s <= theta) {
          cum = cumPrev + share * (theta - sPrev) / (s - sPrev);
          s = theta;
        }
        excessArea += (cum + cumPrev) * (sPrev - s) / 2.0;
        sPrev = s;
        if (!(s > theta)) break;
      }
      de = std::max((1.0 - ds) * (excessArea / span - (c.pctd - p)), 0.0);
    }
  }
  return de;
}

// The feature's penalty of colour c once its sufficiency walk has crossed:
// sufficiency distance plus excess.
template <bool Plain>
inline double Penalty(const PartialQuery& q, const PartialColor& c, const unsigned char* slot, const Crossing& x) {
  const Sufficient suff = SufficiencyOf(c, x);
  return suff.distSuff + ExcessOf<Plain>(q, c, slot, x, suff.ds);
}

int32_t L1(const PartialQuery& q, const unsigned char* slot) {
  int32_t l1 = 0;
  for (int j = 0; j < kBins; ++j) l1 += std::abs(static_cast<int32_t>(q.bins[j]) - Bin(slot, j));
  return l1;
}

// The distances of count (at most kBlock) records: their colours' walks
// in pairs (the last colour of one record beside the first of the next),
// each record's penalties then added in the feature's order.
constexpr size_t kBlock = 2;

template <bool Plain>
void PartialBlock(const PartialQuery& q, const unsigned char* const* slots, size_t count, float* out) {
  const size_t n = q.colors.size();
  const size_t walks = n * count;
  double penalty[kBlock * kBins];
  Crossing a, b;
  size_t w = 0;
  for (; w + 2 <= walks; w += 2) {
    const PartialColor& ca = q.colors[w % n];
    const PartialColor& cb = q.colors[(w + 1) % n];
    const unsigned char* sa = slots[w / n];
    const unsigned char* sb = slots[(w + 1) / n];
    SufficiencyPair<Plain>(q, ca, sa, cb, sb, &a, &b);
    penalty[w] = Penalty<Plain>(q, ca, sa, a);
    penalty[w + 1] = Penalty<Plain>(q, cb, sb, b);
  }
  if (w < walks) {
    Sufficiency<Plain>(q, q.colors[w % n], slots[w / n], &a);
    penalty[w] = Penalty<Plain>(q, q.colors[w % n], slots[w / n], a);
  }
  for (size_t r = 0; r < count; ++r) {
    double total = 0.0;
    for (size_t i = 0; i < n; ++i) total += penalty[r * n + i];
    if (total < 0.5) total = std::min(total, L1(q, slots[r]) / 1000.0);
    out[r] = static_cast<float>(total);
  }
}

// Whether a record whose distance is at least lower is refused by a list
// with that weight and worst entry (the search's rounding is monotonic).
inline bool Refused(double lower, double weight, float worst) {
  return static_cast<float>(weight * static_cast<double>(static_cast<float>(lower))) > worst;
}

// The penalties of a record summed in another order than the feature's
// differ from the feature's sum by at most 256 roundings of the total;
// this much less is a lower bound of it.
constexpr double kReorderedSum = 1.0 - 1e-12;

// The bins of a slot that are not 0, as bits (bin 64 w + b is bit b of
// word w), and whether every bin is in 0..1000; found in one pass without a
// branch per bin.
struct BinMask {
  uint64_t word[kBins / 64];
  bool plain;
};
inline BinMask NonzeroBins(const unsigned char* slot) {
  BinMask m;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i most = _mm_set1_epi16(static_cast<int16_t>(kShareTable - 1));
  __m128i outside = zero;
  for (int w = 0; w < kBins / 64; ++w) {
    uint64_t bits = 0;
    for (int part = 0; part < 4; ++part) {
      const unsigned char* at = slot + 2 * (64 * w + 16 * part);
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16));
      outside = _mm_or_si128(outside, _mm_or_si128(_mm_cmplt_epi16(a, zero), _mm_cmpgt_epi16(a, most)));
      outside = _mm_or_si128(outside, _mm_or_si128(_mm_cmplt_epi16(b, zero), _mm_cmpgt_epi16(b, most)));
      const __m128i empty = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
      bits |= static_cast<uint64_t>(~static_cast<unsigned>(_mm_movemask_epi8(empty)) & 0xFFFFu) << (16 * part);
    }
    m.word[w] = bits;
  }
  m.plain = _mm_movemask_epi8(outside) == 0;
#else
  unsigned outside = 0;
  for (int w = 0; w < kBins / 64; ++w) {
    uint64_t bits = 0;
    for (int b = 0; b < 64; ++b) {
      const int16_t v = Bin(slot, 64 * w + b);
      bits |= static_cast<uint64_t>(v != 0) << b;
      outside |= static_cast<unsigned>(v < 0 || v >= kShareTable);
    }
    m.word[w] = bits;
  }
  m.plain = outside == 0;
#endif
  return m;
}

// The L1 distance from the query of a record whose bins not 0 are nz.
inline int32_t SparseL1(const PartialQuery& q, const unsigned char* slot, const BinMask& nz) {
  int32_t l1 = 0;
  for (int w = 0; w < kBins / 64; ++w) {
    for (uint64_t bits = nz.word[w]; bits != 0; bits &= bits - 1) {
      const int j = 64 * w + __builtin_ctzll(bits);
      l1 += std::abs(static_cast<int32_t>(q.bins[j]) - Bin(slot, j));
    }
  }
  for (uint8_t j : q.nonzero) {
    if (Bin(slot, j) == 0) l1 += std::abs(static_cast<int32_t>(q.bins[j]));
  }
  return l1;
}

// How far a sufficiency distance from the steps taken in runs can be below
// the feature's, taken step by step: the areas of a run of empty bins are
// summed as one product instead of one per step, which changes each colour's
// area (at most p) by some hundred roundings, far below this.
constexpr double kRunSlack = 1e-9;

// A lower bound of colour c's sufficiency distance in a record whose bins
// are all in 0..1000 and whose bins not 0 are nz: the feature's walk taken
// from one stored colour to the next. The need falls, and the walk crosses,
// at exactly the feature's steps, so only the area between them differs.
inline double SufficiencyBound(const PartialQuery& q, const PartialColor& c, const unsigned char* slot,
                               const BinMask& nz) {
  uint64_t steps[kBins / 64] = {0, 0, 0, 0};
  for (int w = 0; w < kBins / 64; ++w) {
    for (uint64_t bits = nz.word[w]; bits != 0; bits &= bits - 1) {
      const unsigned at = c.position[64 * w + __builtin_ctzll(bits)];
      steps[at >> 6] |= uint64_t{1} << (at & 63);
    }
  }
  double need = c.p, area = 0.0;
  int next = 0;  // the first step whose area is not yet counted
  Crossing x;
  for (int w = 0; w < kBins / 64; ++w) {
    for (uint64_t bits = steps[w]; bits != 0; bits &= bits - 1) {
      const int step = 64 * w + __builtin_ctzll(bits);
      // The empty steps before this one keep the need.
      if (step > next) area += need * (Before(c, next) - c.ranked[step - 1]);
      const double needPrev = need;
      need = need - Share<true>(q, slot, c.rank[step]);
      if (need <= 0.0) {
        Cross(Before(c, step), c.ranked[step], need, needPrev, area, step + 1, &x);
        const double ds = std::max(x.area / c.p, 0.0);
        return std::max(ds - kRunSlack - (1.0 - x.sStar) * 0.1, 0.0);
      }
      area += (need + needPrev) * c.drop[step] / 2.0;
      next = step + 1;
    }
  }
  if (next < kBins) area += need * (Before(c, next) - c.ranked[kBins - 1]);
  Cross(c.ranked[kBins - 1], 0.0, std::min(c.p - 1.0, 0.0), need, area, kBins + 1, &x);
  const double ds = std::max(x.area / c.p, 0.0);
  return std::max(ds - kRunSlack - (1.0 - x.sStar) * 0.1, 0.0);
}

// One record whose bins are all in 0..1000 against a full list: whether a
// sum of some of its colours' penalties (or of parts of them) proves the
// list refuses it.
struct ListBound {
  const PartialQuery& q;
  const unsigned char* slot;
  const BinMask& nz;
  double weight;
  float worst;
  int32_t l1 = -1;  // measured the first time it is needed

  int32_t L1() {
    if (l1 < 0) l1 = SparseL1(q, slot, nz);
    return l1;
  }
  bool Refuses(double sum) {
    const double lower = sum * kReorderedSum;
    if (!Refused(lower, weight, worst)) return false;
    // Below 0.5 the distance is the smaller of the sum and the L1 distance.
    return lower >= 0.5 || Refused(std::min(lower, L1() / 1000.0), weight, worst);
  }
};

// Whether the sufficiency bounds of the record prove the list refuses it.
// Cheap: each colour costs a pass over the record's few colours.
bool RefusedByBounds(ListBound& bound) {
  double sum = 0.0;
  for (uint32_t i : bound.q.order) {
    sum += SufficiencyBound(bound.q, bound.q.colors[i], bound.slot, bound.nz);
    if (bound.Refuses(sum)) return true;
  }
  return false;
}

// The distance of a record whose bins are all in 0..1000, or +infinity as
// soon as what is measured proves the list refuses it: the penalties so far
// and the sufficiency parts of the colours walked next (each no more than its
// penalty), before their excess walks. The penalties are measured in q.order
// and summed in the feature's order.
float BoundedRecord(ListBound& bound) {
  const PartialQuery& q = bound.q;
  const unsigned char* slot = bound.slot;
  const size_t n = q.colors.size();
  double penalty[kBins];
  // Every colour's entry is written below (q.order holds each once); the
  // fill only tells the compiler so.
  std::fill(penalty, penalty + n, 0.0);
  double sofar = 0.0;
  Crossing a, b;
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const uint32_t ia = q.order[i], ib = q.order[i + 1];
    const PartialColor& ca = q.colors[ia];
    const PartialColor& cb = q.colors[ib];
    SufficiencyPair<true>(q, ca, slot, cb, slot, &a, &b);
    const Sufficient sa = SufficiencyOf(ca, a);
    const Sufficient sb = SufficiencyOf(cb, b);
    if (bound.Refuses(sofar + sa.distSuff + sb.distSuff)) return std::numeric_limits<float>::infinity();
    penalty[ia] = sa.distSuff + ExcessOf<true>(q, ca, slot, a, sa.ds);
    penalty[ib] = sb.distSuff + ExcessOf<true>(q, cb, slot, b, sb.ds);
    sofar += penalty[ia];
    sofar += penalty[ib];
    if (i + 2 < n && bound.Refuses(sofar)) return std::numeric_limits<float>::infinity();
  }
  if (i < n) {
    const uint32_t ic = q.order[i];
    const PartialColor& c = q.colors[ic];
    Sufficiency<true>(q, c, slot, &a);
    const Sufficient sc = SufficiencyOf(c, a);
    if (bound.Refuses(sofar + sc.distSuff)) return std::numeric_limits<float>::infinity();
    penalty[ic] = sc.distSuff + ExcessOf<true>(q, c, slot, a, sc.ds);
  }
  double total = 0.0;
  for (size_t k = 0; k < n; ++k) total += penalty[k];
  if (total < 0.5) total = std::min(total, bound.L1() / 1000.0);
  return static_cast<float>(total);
}

// Every bin of the slot is in 0..1000.
bool Plain(const unsigned char* slot) {
  unsigned outside = 0;
  for (int j = 0; j < kBins; ++j) outside |= static_cast<unsigned>(static_cast<uint16_t>(Bin(slot, j)) > 1000);
  return outside == 0;
}

class PartialKernel : public KvSlotKernel {
 public:
  explicit PartialKernel(std::unique_ptr<PartialQuery> q) : q_(std::move(q)) {}
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    const unsigned char* slots[kBlock];
    for (size_t r = 0; r < count; r += kBlock) {
      const size_t block = std::min(kBlock, count - r);
      bool plain = true;
      for (size_t i = 0; i < block; ++i) {
        slots[i] = base + stride * (index != nullptr ? static_cast<size_t>(index[r + i]) : first + r + i);
        plain = plain && Plain(slots[i]);
      }
      if (plain) {
        PartialBlock<true>(*q_, slots, block, out + r);
      } else {
        PartialBlock<false>(*q_, slots, block, out + r);
      }
    }
  }

  void BoundedDistances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                        double weight, float worst, float* out) const override {
    for (size_t r = 0; r < count; ++r) {
      const unsigned char* slot =
          base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
      const BinMask nz = NonzeroBins(slot);
      if (nz.plain) {
        ListBound bound{*q_, slot, nz, weight, worst};
        out[r] = q_->boundable && RefusedByBounds(bound) ? std::numeric_limits<float>::infinity()
                                                         : BoundedRecord(bound);
      } else {
        PartialBlock<false>(*q_, &slot, 1, out + r);
      }
    }
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
  for (int v = 0; v < kShareTable; ++v) q->share[v] = static_cast<double>(v) / 1000.0;
  // The query colours in bin order, as the feature adds their penalties.
  std::vector<int> colors;
  for (int k = 0; k < kBins; ++k) {
    if (q->bins[k] != 0) colors.push_back(k);
  }
  q->ranked.resize(colors.size() * kBins);
  q->drop.resize(colors.size() * kBins);
  q->position.resize(colors.size() * kBins);
  q->boundable = true;
  for (int k : colors) q->nonzero.push_back(static_cast<uint8_t>(k));
  for (size_t n = 0; n < colors.size(); ++n) {
    const int k = colors[n];
    const double p = q->bins[k] / 1000.0;
    // A colour without a positive share adds nothing (0.0) in the feature.
    if (!(p > 0.0)) continue;
    double* ranked = q->ranked.data() + n * kBins;
    double* drop = q->drop.data() + n * kBins;
    uint8_t* position = q->position.data() + n * kBins;
    for (int step = 0; step < kBins; ++step) position[rank[k * kBins + step]] = static_cast<uint8_t>(step);
    q->boundable = q->boundable && p <= 1.0;
    for (int step = 0; step < kBins; ++step) ranked[step] = lin[k * kBins + rank[k * kBins + step]];
    for (int step = 0; step < kBins; ++step) drop[step] = (step == 0 ? 1.0 : ranked[step - 1]) - ranked[step];
    const double pct = p > settings.hiLoCut ? (p - settings.hiLoCut) * settings.hiMult +
                                                  settings.hiLoCut * settings.loMult
                                            : settings.loMult * p;
    PartialColor c;
    c.p = p;
    c.pctd = std::min(std::max(pct, settings.minPnltyPct), 1.0);
    c.wantsExcess = c.pctd < 1.0;
    c.rank = rank + k * kBins;
    c.ranked = ranked;
    c.drop = drop;
    c.position = position;
    q->colors.push_back(c);
  }
  q->order.resize(q->colors.size());
  for (size_t i = 0; i < q->order.size(); ++i) q->order[i] = static_cast<uint32_t>(i);
  std::stable_sort(q->order.begin(), q->order.end(),
                   [&q](uint32_t a, uint32_t b) { return q->colors[a].p > q->colors[b].p; });
  return std::unique_ptr<KvSlotKernel>(new PartialKernel(std::move(q)));
}
