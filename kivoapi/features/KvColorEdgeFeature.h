// The colour-edge feature: a joint histogram of 24 fuzzy colours and six
// kinds of local structure (no edge, non-directional, horizontal, vertical,
// 45 and 135 degree edges) over about 1600 blocks of the image, compared by
// the Tanimoto distance. Each block's mean colour is shared among the
// colours it resembles (black, gray, white, and seven hues each dark,
// normal or light), and its structure comes from the edge filters of its
// four quarters.
#pragma once

#include <cstdint>

#include "features/KvDescriptorFeature.h"

class KvColorEdgeFeatureClass : public KvDescriptorFeatureClass {
 public:
  static constexpr int kColors = 24;
  static constexpr int kKinds = 6;
  static constexpr int kBins = kColors * kKinds;  // 144
  static constexpr unsigned long kRecordSize = kBins;

  KvColorEdgeFeatureClass();
  ~KvColorEdgeFeatureClass() override;

  const char* GetClassName() const override { return "KvColorEdgeFeatureClass"; }

  const uint8_t* GetBins() const { return bin_; }
  // 1 - a.b / (a.a + b.b - a.b) of two bin vectors (0 when both are empty).
  // Shared by the class and its scan kernel.
  static double Tanimoto(uint32_t ab, uint32_t aa, uint32_t bb);

 protected:
  void Encode(unsigned char* bytes) const override;
  void Decode(const unsigned char* bytes) override;
  void Clear() override;
  int Compute(const KvGenericImageDataClass& image) override;
  double Measure(const KvDescriptorFeatureClass& other) const override;
  int Element(unsigned long i) const override { return bin_[i]; }
  KvDescriptorFeatureClass* MakeHolder() const override;

 private:
  uint8_t bin_[kBins];
  uint32_t square_ = 0;  // sum of bin_[i]^2
};

// Memberships of a colour in the 24 fuzzy colours (summing to 1): 0 black,
// 1 gray, 2 white, then for red, orange, yellow, green, cyan, blue and
// magenta in turn their dark, normal and light shades.
void KvFuzzyColors(int red, int green, int blue, float out[KvColorEdgeFeatureClass::kColors]);
