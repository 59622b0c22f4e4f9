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
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

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
};

struct PartialQuery {
  std::vector<PartialColor> colors;
  std::vector<double> ranked;  // kBins per colour
  std::vector<double> drop;    // kBins per colour
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

// The rest of the feature's penalty of colour c once its sufficiency walk
// has crossed: sufficiency distance plus excess.
template <bool Plain>
inline double Penalty(const PartialQuery& q, const PartialColor& c, const unsigned char* slot, const Crossing& x) {
  const double p = c.p;
  const double sStar = x.sStar;
  const double ds = std::max(x.area / p, 0.0);
  const double distSuff = std::max(ds - (1.0 - sStar) * 0.1, 0.0);
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
  return distSuff + de;
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
    if (total < 0.5) {
      int32_t l1 = 0;
      for (int j = 0; j < kBins; ++j) l1 += std::abs(static_cast<int32_t>(q.bins[j]) - Bin(slots[r], j));
      total = std::min(total, l1 / 1000.0);
    }
    out[r] = static_cast<float>(total);
  }
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
  for (size_t n = 0; n < colors.size(); ++n) {
    const int k = colors[n];
    const double p = q->bins[k] / 1000.0;
    // A colour without a positive share adds nothing (0.0) in the feature.
    if (!(p > 0.0)) continue;
    double* ranked = q->ranked.data() + n * kBins;
    double* drop = q->drop.data() + n * kBins;
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
    q->colors.push_back(c);
  }
  return std::unique_ptr<KvSlotKernel>(new PartialKernel(std::move(q)));
}
