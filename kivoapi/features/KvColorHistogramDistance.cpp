// Colour histogram distances and the bin similarity tables they use.
//
// A complete query (selfTerm >= 0) is compared by the quadratic form
// (h_q - h_t)' B (h_q - h_t), evaluated as selfTerm_q + selfTerm_t - 2 h_t' P_q
// with the query's products P_q = B h_q computed once per query. A partial
// query (selfTerm -100) is compared by partial matching: for every colour of
// the query, how much similar colour the stored image has (sufficiency) and
// how much more it has than wanted (excess).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "data/KvParameter.h"
#include "features/KvColorHistogramFeature.h"

namespace {

constexpr int kBins = KvColorHistogramFeatureClass::kBins;

struct SimilarityTables {
  alignas(64) double exp[kBins * kBins];
  alignas(64) double lin[kBins * kBins];
  // Row i of lin in rank order: the similarity of rank[i][step], so the walk
  // of partial matching reads it in sequence.
  alignas(64) double ranked[kBins * kBins];
  uint8_t rank[kBins * kBins];
};

// 1.6 MB of class-wide tables; static storage, so building them cannot fail.
SimilarityTables gTables;
std::once_flag gTablesOnce;

void BuildTables() {
  const KvColorRecord* bins = kKvHistogramBinTable;
  static double d2[kBins * kBins];
  double dmax2 = 0.0;
  for (int i = 0; i < kBins; ++i) {
    for (int j = i; j < kBins; ++j) {
      double d = 0.0;
      for (int k = 0; k < 3; ++k) {
        const double diff = bins[i].c[k] - bins[j].c[k];
        d += diff * diff;
      }
      d2[i * kBins + j] = d;
      dmax2 = std::max(dmax2, d);
    }
  }
  for (int i = 0; i < kBins; ++i) {
    for (int j = i; j < kBins; ++j) {
      const double r = dmax2 > 0.0 ? d2[i * kBins + j] / dmax2 : 0.0;
      const double b = i == j ? 1.0 : std::exp(-49.0 * r);
      const double l = i == j ? 1.0 : 1.0 - std::sqrt(r);
      gTables.exp[i * kBins + j] = gTables.exp[j * kBins + i] = b;
      gTables.lin[i * kBins + j] = gTables.lin[j * kBins + i] = l;
    }
  }
  // Rank rows: most similar first; bins of equal similarity in bin order.
  for (int i = 0; i < kBins; ++i) {
    int order[kBins];
    for (int j = 0; j < kBins; ++j) order[j] = j;
    const double* row = gTables.lin + i * kBins;
    std::stable_sort(order, order + kBins, [row](int a, int b) { return row[a] > row[b]; });
    for (int j = 0; j < kBins; ++j) {
      gTables.rank[i * kBins + j] = static_cast<uint8_t>(order[j]);
      gTables.ranked[i * kBins + j] = row[order[j]];
    }
  }
}

double ReadParameter(const KvParameterClass* parms, const char* name, double deflt) {
  const char* text = parms != nullptr ? parms->GetParameter(name) : nullptr;
  if (text == nullptr || std::strcmp(text, ".") == 0) return deflt;
  return std::atof(text);
}

}  // namespace

void KvBuildHistogramSimilarity() { std::call_once(gTablesOnce, BuildTables); }
const double* KvHistogramExpSimilarity() { return gTables.exp; }
const double* KvHistogramLinSimilarity() { return gTables.lin; }
const uint8_t* KvHistogramRank() { return gTables.rank; }

double KvDot256(const double* a, const double* b) {
  // Eight independent partial sums (entry i goes to sum i mod 8), kept in
  // registers so the compiler can pair them into vector lanes; the order of
  // additions is the same on every path and every target.
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, s5 = 0, s6 = 0, s7 = 0;
  for (int i = 0; i < kBins; i += 8) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
    s4 += a[i + 4] * b[i + 4];
    s5 += a[i + 5] * b[i + 5];
    s6 += a[i + 6] * b[i + 6];
    s7 += a[i + 7] * b[i + 7];
  }
  return ((s0 + s4) + (s1 + s5)) + ((s2 + s6) + (s3 + s7));
}

double KvColorHistogramFeatureClass::SelfSimilarity() const {
  alignas(64) double products[kBins];
  const double* b = gTables.exp;
  for (int i = 0; i < kBins; ++i) products[i] = KvDot256(b + i * kBins, binValue_);
  return KvDot256(binValue_, products);
}

void KvColorHistogramFeatureClass::ApplyParameters(KvParameterClass* parms) {
  if (selfTerm_ < 0) {
    nonZeroCount_ = 0;
    for (int i = 0; i < kBins; ++i) {
      if (bin_[i] != 0) nonZero_[nonZeroCount_++] = static_cast<uint8_t>(i);
    }
  } else {
    const double* b = gTables.exp;
    for (int i = 0; i < kBins; ++i) products_[i] = KvDot256(b + i * kBins, binValue_);
  }
  hiLoCut_ = ReadParameter(parms, "HiLoCut", 0.05);
  loMult_ = ReadParameter(parms, "LoMult", 2.0);
  hiMult_ = ReadParameter(parms, "HiMult", 1.0);
  minPnltyPct_ = ReadParameter(parms, "MinPnltyPct", 0.05);
  excess_ = ReadParameter(parms, "Excess", 0.15);
  applied_ = true;
}

double KvColorHistogramFeatureClass::QuadraticDistance(const KvColorHistogramFeatureClass& target) const {
  // Without the stored histogram's self term the form has no meaning,
  // whatever sign the sum happens to take.
  if (target.selfTerm_ < 0) return -1.0;
  const double x = static_cast<double>(selfTerm_) + static_cast<double>(target.selfTerm_) -
                   2.0 * KvDot256(target.binValue_, products_);
  const double d = x * 1e-6;
  if (d < -1e-5) return -1.0;  // a self term that does not belong to the bins
  return d < 0.0 ? 0.0 : d;
}

// Distance contribution of query bin k: sufficiency plus excess.
double KvColorHistogramFeatureClass::BinPenalty(int k, const double* shares) const {
  const double* ranked = gTables.ranked + k * kBins;
  const uint8_t* rank = gTables.rank + k * kBins;
  const double p = bin_[k] / 1000.0;
  if (!(p > 0.0)) return 0.0;  // a negative share only comes from a damaged record

  // Sufficiency: walk the bins from the most similar down until the stored
  // shares cover p; area is the share still missing integrated over the
  // similarity given up.
  double sPrev = 1.0, need = p, area = 0.0, s = 1.0;
  double crossingS = 0.0, overshoot = 0.0;
  int step = 0;
  for (;;) {
    const double needPrev = need;
    if (step < kBins) {
      const int j = rank[step];
      s = ranked[step];
      need = need - shares[j];
    } else {
      s = 0.0;
      // Past the last bin the rest of the image counts at similarity 0. A
      // share above 1 (only in damaged records) is taken as covered there.
      need = std::min(p - 1.0, 0.0);
    }
    ++step;
    if (need <= 0.0) {
      crossingS = s;
      overshoot = -need;
      s = sPrev + (s - sPrev) * needPrev / (needPrev - need);
      need = 0.0;
    }
    area += (need + needPrev) * (sPrev - s) / 2.0;
    sPrev = s;
    if (!(need > 0.0)) break;
  }
  const double sStar = s;
  const double ds = std::max(area / p, 0.0);
  const double distSuff = std::max(ds - (1.0 - sStar) * 0.1, 0.0);

  // Desired share of the colour in the stored image.
  const double pct = p > hiLoCut_ ? (p - hiLoCut_) * hiMult_ + hiLoCut_ * loMult_ : loMult_ * p;
  const double pctd = std::min(std::max(pct, minPnltyPct_), 1.0);

  // Excess: continue the walk from the crossing down to the similarity
  // threshold, integrating the stored share gathered beyond p.
  double de = 0.0;
  if (pctd < 1.0) {
    const double theta = std::max((1.0 - ds) - excess_, 0.0);
    const double span = std::max(sStar - theta, 0.0);
    if (span > 0.0) {
      double cum = 0.0, excessArea = 0.0;
      sPrev = sStar;
      bool first = true;
      for (;;) {
        const double cumPrev = cum;
        double share;
        if (first) {
          s = crossingS;
          share = overshoot;
          first = false;
        } else if (step < kBins) {
          const int j = rank[step];
          s = ranked[step++];
          share = shares[j];
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
      de = std::max((1.0 - ds) * (excessArea / span - (pctd - p)), 0.0);
    }
  }
  return distSuff + de;
}

double KvColorHistogramFeatureClass::PartialDistance(const KvColorHistogramFeatureClass& target) const {
  return PartialDistanceOfBins(target.bin_);
}

double KvColorHistogramFeatureClass::PartialDistanceOfBins(const int16_t* bins) const {
  // The stored shares, divided once per record in one vector loop instead of
  // once per step of every walk (the values are the same).
  alignas(64) double shares[kBins];
  for (int i = 0; i < kBins; ++i) shares[i] = static_cast<double>(bins[i]) / 1000.0;
  double total = 0.0;
  for (int n = 0; n < nonZeroCount_; ++n) total += BinPenalty(nonZero_[n], shares);
  if (total < 0.5) {
    int32_t l1 = 0;
    for (int i = 0; i < kBins; ++i) l1 += std::abs(static_cast<int32_t>(bin_[i]) - bins[i]);
    total = std::min(total, l1 / 1000.0);
  }
  return total;
}
