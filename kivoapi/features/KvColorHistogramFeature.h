// The colour histogram feature: how much of an image's unmasked area falls
// into each of 256 fixed colour bins (per mille), with the quadratic-form and
// partial-matching distances. The sub-part variant is the same feature over
// one image region.
#pragma once

#include <cstdint>

#include "features/KvColorSpace.h"
#include "features/KvFeature.h"

class KvGenericImageDataClass;

class KvColorHistogramFeatureClass : public KvFeatureClass {
 public:
  static constexpr int kBins = 256;
  // selfTerm of a histogram whose self-similarity was not computed (picker
  // images, images scaled by their coverage); it selects partial matching.
  static constexpr int32_t kNoSelfTerm = -100;

  KvColorHistogramFeatureClass();
  ~KvColorHistogramFeatureClass() override;
  KvColorHistogramFeatureClass(const KvColorHistogramFeatureClass&) = delete;
  KvColorHistogramFeatureClass& operator=(const KvColorHistogramFeatureClass&) = delete;

  const char* GetClassName() const override { return "KvColorHistogramFeatureClass"; }
  // 516 bytes: 256 big-endian signed 16-bit bins, then selfTerm (signed 32).
  int ToByteString(KvDatumClass& out) override;
  int FromByteString(const KvDatumClass& in) override;
  unsigned long GetByteStringSize() override { return 516; }
  // Kind 'm' counts 3 x 3 blocks, 'p' single pixels (a picker histogram has
  // no self term), 'e' and 's' decode the feature datum. When data is the
  // query side, parms (null: the defaults) is applied at once.
  int ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) override;
  // Quadratic-form distance when this (query) histogram has a self term,
  // else partial matching. parms (null: the defaults) is applied at the first
  // call. -1.0 (10013) for an operand of another family; -1.0 also when the
  // quadratic form meets a stored histogram without self term.
  float Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) override;
  float GetDistanceHintForParameters(KvFeatureClass* self, KvParameterClass* parms, float deflt) override;
  float GetDistanceHintForTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                                const char* catalogName, KvParameterClass* parms) override;
  int SearchTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                  const char* catalogName, KvParameterClass* parms, KvKeyDatabaseClass* result) override;
  const char* GetDataClassName() override { return "KvGenericImageDataClass"; }
  const char* GetParameterClassName() override { return "KvParameterClass"; }
  KvParameterClass* GetParameters() override;
  unsigned long GetNumberOfElements() override { return 256; }
  // A newline, the bins with "%5d" (a newline after every twelfth), then
  // selfTerm with "%10d" and a newline.
  int ToAsciiString(KvDatumClass& out) override;

  const int16_t* GetBins() const { return bin_; }
  int32_t GetSelfTerm() const { return selfTerm_; }
  // Partial matching's settings as the first Distance applied them (valid
  // once ParametersApplied()).
  struct PartialSettings {
    double hiLoCut;
    double loMult;
    double hiMult;
    double minPnltyPct;
    double excess;
  };
  bool ParametersApplied() const { return applied_; }
  // Partial matching of this query (no self term, parameters applied)
  // against the 256 bins of a stored histogram: what Distance gives for it,
  // before the conversion to float. Reads only; several threads may call it.
  double PartialDistanceOfBins(const int16_t* bins) const;
  PartialSettings GetPartialSettings() const { return {hiLoCut_, loMult_, hiMult_, minPnltyPct_, excess_}; }

 private:
  void Reset();
  // Keeps the double copy of the bins in step and drops the query-side state
  // derived from the old bins.
  void BinsChanged();
  int ComputeHistogram(const KvGenericImageDataClass& image, int blockSize);
  double SelfSimilarity() const;
  void ApplyParameters(KvParameterClass* parms);
  double QuadraticDistance(const KvColorHistogramFeatureClass& target) const;
  double PartialDistance(const KvColorHistogramFeatureClass& target) const;
  // Penalty of query bin k against the stored shares (bins / 1000).
  double BinPenalty(int k, const double* shares) const;

  // The bins as doubles, converted once whenever the bins change so that a
  // distance is a plain product of two double arrays.
  alignas(64) double binValue_[kBins];
  // Query side: P(i) = sum over j of bin[j] * B(i, j).
  alignas(64) double products_[kBins];
  int16_t bin_[kBins];
  int32_t selfTerm_ = kNoSelfTerm;
  // Query side of partial matching: the non-zero bins in ascending order.
  uint8_t nonZero_[kBins];
  int nonZeroCount_ = 0;
  double hiLoCut_ = 0.05;
  double loMult_ = 2.0;
  double hiMult_ = 1.0;
  double minPnltyPct_ = 0.05;
  double excess_ = 0.15;
  bool applied_ = false;
  bool picker_ = false;
};

class KvColorHistogramSubPartFeatureClass : public KvColorHistogramFeatureClass {
 public:
  KvColorHistogramSubPartFeatureClass() = default;
  ~KvColorHistogramSubPartFeatureClass() override;
  const char* GetClassName() const override { return "KvColorHistogramSubPartFeatureClass"; }
  Boolean IsSubPartFeature() override { return True; }
};

// Counts the bins of an image of width columns from pixels to lastPixel
// (inclusive). Pixels are grouped inside blocks of blockSize x blockSize
// whose four corners are unmasked (a null mask leaves every pixel in); each
// group counts in the bin of its mean colour through cellMap (4096 cells).
// When the blocks count at most 6 x blockSize^2 pixels, every unmasked pixel
// is counted on its own as well. bins (binCount entries, 256) receive per
// mille values. 0 (all bins 0 and 10003 recorded when nothing counts), or -1
// when the group arrays cannot be allocated or the arguments are unusable.
int KvComputeColorHistogram(const unsigned char* pixels, const unsigned char* mask, const unsigned char* lastPixel,
                            unsigned long width, const unsigned char* red, const unsigned char* green,
                            const unsigned char* blue, int blockSize, const unsigned char* cellMap,
                            const KvColorRecord* binTable, int binCount, int16_t* bins);

// Builds the class-wide bin similarity tables (exponential B, linear L, rank
// rows) from kKvHistogramBinTable once per process; later calls return at
// once. Safe to call from several threads.
void KvBuildHistogramSimilarity();
// Row-major 256 x 256 tables; valid after KvBuildHistogramSimilarity.
const double* KvHistogramExpSimilarity();
const double* KvHistogramLinSimilarity();
const uint8_t* KvHistogramRank();
// Sum of a[i] * b[i] over 256 entries in one fixed order (eight interleaved
// partial sums combined pairwise), shared by every path that needs it.
double KvDot256(const double* a, const double* b);
