// The colour-difference feature: how much colour changes across the image,
// told apart by colour and by edge direction. Every pixel is compared with
// its neighbours kApart cells to the right and below on the working image (a
// raster of about kWorkingArea cells); the perceptual (L*a*b*) difference of the pair is
// added to the pixel's colour bin when the two have the same edge direction,
// and to its direction bin when they have the same colour. Smooth regions
// add little, textured ones of a colour much, so one record carries colour,
// texture and edge structure together. Compared by a Canberra distance whose
// terms are damped by the two records' means, so that small bins count less.
#pragma once

#include <cstdint>

#include "features/KvDescriptorFeature.h"

class KvColorDifferenceFeatureClass : public KvDescriptorFeatureClass {
 public:
  // Colours: 8 lightness x 4 a* x 4 b* cells.
  static constexpr int kLightness = 8;
  static constexpr int kChroma = 4;
  static constexpr int kColors = kLightness * kChroma * kChroma;  // 128
  // Edge directions: 18 of 10 degrees over a half turn.
  static constexpr int kDirections = 18;
  static constexpr int kBins = kColors + kDirections;  // 146
  static constexpr unsigned long kRecordSize = 2 * kBins;
  // The raster the feature is computed on, and the distance of the cells
  // compared.
  static constexpr int kWorkingArea = 1 << 14;
  static constexpr int kApart = 2;
  // A bin holds the summed difference per cell times kScale (clamped).
  static constexpr double kScale = 4096.0;

  KvColorDifferenceFeatureClass();
  ~KvColorDifferenceFeatureClass() override;

  const char* GetClassName() const override { return "KvColorDifferenceFeatureClass"; }

  const uint16_t* GetBins() const { return bin_; }
  uint32_t GetSum() const { return sum_; }
  // The distance of two bin vectors with their sums: over the bins in index
  // order, the float sum of  n |a - b| / (n (a + b) + sumA + sumB)  with n
  // the number of bins (0 where the divisor is 0), each term's numerator
  // and divisor taken as exact integers and converted to float. Shared by
  // the class and its scan kernel.
  static float BinDistance(const uint16_t* a, uint32_t sumA, const uint16_t* b, uint32_t sumB);

 protected:
  void Encode(unsigned char* bytes) const override;
  void Decode(const unsigned char* bytes) override;
  void Clear() override;
  int Compute(const KvGenericImageDataClass& image) override;
  double Measure(const KvDescriptorFeatureClass& other) const override;
  int Element(unsigned long i) const override { return bin_[i]; }
  KvDescriptorFeatureClass* MakeHolder() const override;

 private:
  uint16_t bin_[kBins];
  uint32_t sum_ = 0;  // sum of bin_[i]
};
