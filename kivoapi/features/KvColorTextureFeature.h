// The colour-texture feature: the HSV band histograms of
// KvHsvBandsFeatureClass (where colours lie: top, middle and bottom third)
// joined with a histogram of local binary patterns (what the surface looks
// like: for each cell of a raster of about kWorkingArea cells, which of its
// eight neighbours are lighter than it). Colour alone mixes a sandy beach
// with a desert, a sky with a blue wall; the patterns of grain, foliage,
// fur and masonry tell them apart, and colour tells apart the surfaces that
// share a grain. A pattern and its mirror image count as one, so a mirrored
// photograph gives the same record.
//
// The distance is the mean of the band histograms' Hellinger distances and
// the pattern histogram's, each divided by its typical size between
// unrelated photographs, so that either part weighs the same.
#pragma once

#include <cstdint>

#include "features/KvDescriptorFeature.h"
#include "features/KvHsvBandsFeature.h"

class KvColorTextureFeatureClass : public KvDescriptorFeatureClass {
 public:
  static constexpr int kBands = KvHsvBandsFeatureClass::kBands;
  static constexpr int kColorBins = KvHsvBandsFeatureClass::kBins;  // 768
  // Patterns of eight neighbours that are not mirror images of each other.
  static constexpr int kPatterns = 144;
  static constexpr int kBins = kColorBins + kPatterns;  // 912
  static constexpr int kScale = KvHsvBandsFeatureClass::kScale;
  static constexpr unsigned long kRecordSize = 2 * kBins;
  static constexpr int kWorkingArea = 1 << 14;
  // A neighbour counts as lighter from this many gray levels on (of 255),
  // which keeps the noise of flat regions out of the patterns.
  static constexpr float kLighter = 1.0f;
  // Divisors of the two parts' distances: their means between unrelated
  // photographs, rounded.
  static constexpr double kColorScale = 0.67;
  static constexpr double kTextureScale = 0.24;

  KvColorTextureFeatureClass();
  ~KvColorTextureFeatureClass() override;

  const char* GetClassName() const override { return "KvColorTextureFeatureClass"; }

  // The pattern index (0 .. kPatterns - 1) of an 8-bit neighbourhood code:
  // bit k set when neighbour k is lighter, the neighbours numbered clockwise
  // from the upper left (up-left, up, up-right, right, down-right, down,
  // down-left, left). A code and its mirror image share an index.
  static int PatternOf(unsigned code);
  // The distance of the dot products and norms of the three bands and the
  // patterns (in that order). Shared by the class and its scan kernel.
  static double PartDistance(const uint64_t dot[kBands + 1], const uint64_t normA[kBands + 1],
                             const uint64_t normB[kBands + 1]);

  // The first root of part p (0 .. 2 the bands, 3 the patterns); part 4
  // starts past the record.
  static constexpr int PartStart(int p) {
    return p <= kBands ? p * KvHsvBandsFeatureClass::kBandBins : kBins;
  }

  // Band roots (band-major) then pattern roots.
  const uint16_t* GetRoots() const { return root_; }
  // The bands' norms and the patterns' norm.
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
  uint64_t norm_[kBands + 1] = {};  // sums of each part's root_[i]^2
};
