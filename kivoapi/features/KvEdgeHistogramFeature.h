// The edge histogram feature: the image is cut into 4 x 4 regions, each
// region into small square blocks, and each block is classed by the edge
// its four quarters show (vertical, horizontal, 45 degrees, 135 degrees,
// non-directional) or as no edge; a region's share of blocks of each edge
// kind makes its five bins. Distances compare the 80 region bins, the five
// whole-image bins (weighted 5) and 65 bins of 13 region groups (rows,
// columns, corners and centre of the region grid), so that an edge that
// moves to a neighbouring region still counts. With Mirror=T a stored image
// is also compared as its mirror image, and the smaller distance counts.
#pragma once

#include <cstdint>

#include "features/KvDescriptorFeature.h"

class KvEdgeHistogramFeatureClass : public KvDescriptorFeatureClass {
 public:
  static constexpr int kGrid = 4;
  static constexpr int kKinds = 5;  // vertical, horizontal, 45, 135, non-directional
  static constexpr int kBins = kGrid * kGrid * kKinds;  // 80
  static constexpr int kGroups = 13;
  static constexpr unsigned long kRecordSize = kBins;

  KvEdgeHistogramFeatureClass();
  ~KvEdgeHistogramFeatureClass() override;

  const char* GetClassName() const override { return "KvEdgeHistogramFeatureClass"; }

  // The bins as stored (share x 255), region-major: (row * 4 + column) * 5 +
  // kind.
  const uint8_t* GetBins() const { return bin_; }
  // Distance of stored bins b from query bins a, both of kBins bytes, in
  // units of one whole bin (255), with the derived bins. Shared by the class
  // and its scan kernel.
  static double BinDistance(const uint8_t* a, const uint8_t* b);
  // The bins of the mirror image of a.
  static void Mirror(const uint8_t* a, uint8_t* out);
  // Whether parms asks for mirror-tolerant matching (Mirror=T).
  static bool WantsMirror(const KvParameterClass* parms);

 protected:
  void Encode(unsigned char* bytes) const override;
  void Decode(const unsigned char* bytes) override;
  void Clear() override;
  int Compute(const KvGenericImageDataClass& image) override;
  void Apply(const KvParameterClass* parms) override;
  double Measure(const KvDescriptorFeatureClass& other) const override;
  int Element(unsigned long i) const override { return bin_[i]; }
  KvDescriptorFeatureClass* MakeHolder() const override;

 private:
  uint8_t bin_[kBins];
  // Query side with Mirror=T: the bins of the mirror image.
  uint8_t mirrored_[kBins];
  bool mirror_ = false;
};

// Edge kind of a block from the mean gray levels of its four quarters
// (top left, top right, bottom left, bottom right): 0 vertical, 1
// horizontal, 2 45 degrees, 3 135 degrees, 4 non-directional, or -1 when the
// strongest response is below the edge threshold.
int KvEdgeKind(float topLeft, float topRight, float bottomLeft, float bottomRight);
