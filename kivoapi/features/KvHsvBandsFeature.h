// The HSV band histogram feature: the HSV histogram (16 hues x 4 saturations
// x 4 values, soft bins, as KvHsvHistogramFeatureClass computes it) of each
// of three horizontal bands of the image, top, middle and bottom third of the
// rows. Sky, subject and ground of a photograph mostly keep to their bands,
// while a mirror image or a scaled copy gives the same bands. The distance is
// the mean of the three bands' Bhattacharyya (Hellinger) distances.
#pragma once

#include <cstdint>

#include "features/KvDescriptorFeature.h"
#include "features/KvHsvHistogramFeature.h"

class KvGenericImageDataClass;

class KvHsvBandsFeatureClass : public KvDescriptorFeatureClass {
 public:
  static constexpr int kBands = 3;
  static constexpr int kBandBins = KvHsvHistogramFeatureClass::kBins;  // 256
  static constexpr int kBins = kBands * kBandBins;                     // 768
  static constexpr int kScale = KvHsvHistogramFeatureClass::kScale;
  static constexpr unsigned long kRecordSize = 2 * kBins;

  KvHsvBandsFeatureClass();
  ~KvHsvBandsFeatureClass() override;

  const char* GetClassName() const override { return "KvHsvBandsFeatureClass"; }

  // The band of row y of an image of height rows: (3 y) / height.
  static int BandOf(int64_t y, int64_t height) { return static_cast<int>(kBands * y / height); }
  // The mean of the bands' RootDistance values of the dot products and
  // norms, summed in band order. Shared by the class and its scan kernel.
  static double BandDistance(const uint64_t dot[kBands], const uint64_t normA[kBands], const uint64_t normB[kBands]);

  // Band-major: root b * 256 + bin.
  const uint16_t* GetRoots() const { return root_; }
  const uint64_t* GetNorms() const { return norm_; }

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
  uint64_t norm_[kBands] = {};  // sum of the band's root_[i]^2
};

// The band roots (band-major, kBins of them) and each band's norm of an
// image's unmasked pixels, as the feature's record holds them. False (10003
// recorded) when the image has no unmasked pixel.
bool KvHsvBandRoots(const KvGenericImageDataClass& image, uint16_t* roots, uint64_t* norms);
