// The colour auto-correlogram feature: for each of 64 colours (4 levels of
// red, green and blue) and each of the distances 1, 3, 5 and 7 (in pixels of
// the working image), the chance that a pixel at that distance from a pixel
// of the colour has the same colour. Compared by the relative L1 distance
// sum |a - b| / (1 + a + b) over the 256 chances.
#pragma once

#include <cstdint>

#include "features/KvDescriptorFeature.h"

class KvCorrelogramFeatureClass : public KvDescriptorFeatureClass {
 public:
  static constexpr int kColors = 64;
  static constexpr int kDistances = 4;
  static constexpr int kBins = kColors * kDistances;  // 256
  static constexpr unsigned long kRecordSize = kBins;
  // The distances, in working-image pixels (chessboard distance).
  static constexpr int kDistance[kDistances] = {1, 3, 5, 7};

  KvCorrelogramFeatureClass();
  ~KvCorrelogramFeatureClass() override;

  const char* GetClassName() const override { return "KvCorrelogramFeatureClass"; }

  const uint8_t* GetBins() const { return bin_; }
  // The distance of two bin vectors (chances times 255). Shared by the class
  // and its scan kernel.
  static double BinDistance(const uint8_t* a, const uint8_t* b);

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
};
