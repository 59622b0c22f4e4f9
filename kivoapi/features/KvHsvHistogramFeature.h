// The HSV histogram feature: how the unmasked area of an image spreads over
// 16 hues x 4 saturations x 4 values, each colour shared between the bin
// centres around it, compared by the Bhattacharyya (Hellinger) distance.
#pragma once

#include <cstdint>

#include "features/KvDescriptorFeature.h"

class KvHsvHistogramFeatureClass : public KvDescriptorFeatureClass {
 public:
  static constexpr int kHues = 16;
  static constexpr int kSaturations = 4;
  static constexpr int kValues = 4;
  static constexpr int kBins = kHues * kSaturations * kValues;  // 256
  // Stored values are the square roots of the bins' shares times this.
  static constexpr int kScale = 32767;
  static constexpr unsigned long kRecordSize = 2 * kBins;

  KvHsvHistogramFeatureClass();
  ~KvHsvHistogramFeatureClass() override;

  const char* GetClassName() const override { return "KvHsvHistogramFeatureClass"; }

  // Bin of hue h, saturation s and value v (bins are numbered hue-major).
  static int Bin(int h, int s, int v) { return (h * kSaturations + s) * kValues + v; }
  // sqrt(1 - c), c the Bhattacharyya coefficient of the two histograms
  // (their root vectors' cosine): 0 for equal histograms, 1 for disjoint
  // ones. Shared by the class and its scan kernel.
  static double RootDistance(uint64_t dot, uint64_t normA, uint64_t normB);

  const uint16_t* GetRoots() const { return root_; }
  uint64_t GetNorm() const { return norm_; }

 protected:
  void Encode(unsigned char* bytes) const override;
  void Decode(const unsigned char* bytes) override;
  void Clear() override;
  int Compute(const KvGenericImageDataClass& image) override;
  double Measure(const KvDescriptorFeatureClass& other) const override;
  int Element(unsigned long i) const override { return root_[i]; }
  KvDescriptorFeatureClass* MakeHolder() const override;

 private:
  uint16_t root_[kBins];
  uint64_t norm_ = 0;  // sum of root_[i]^2
};

// Shares of the 256 bins (summing to 1) of the colours of a palette image,
// counts[i] pixels having palette entry i (red, green, blue: 256 entries
// each). Each colour is shared linearly between the two nearest hue, the two
// nearest saturation and the two nearest value centres (hue wraps around);
// what falls into the lowest saturation is spread evenly over the hues, and
// what falls into the lowest value over the hues and saturations. False when
// no pixel is counted.
bool KvHsvHistogramShares(const uint32_t counts[256], const unsigned char* red, const unsigned char* green,
                          const unsigned char* blue, double shares[KvHsvHistogramFeatureClass::kBins]);
