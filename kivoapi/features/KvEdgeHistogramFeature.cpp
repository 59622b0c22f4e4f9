// The edge histogram feature class.
//
// Byte string (80 bytes):
//   offset  size    meaning
//   0       1 x 80  bin[(row * 4 + column) * 5 + kind], unsigned 8-bit: the
//                   share of region (row, column)'s blocks that show an edge
//                   of kind (vertical, horizontal, 45, 135 degrees,
//                   non-directional), times 255
#include "features/KvEdgeHistogramFeature.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "data/KvParameter.h"
#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"

namespace {

using Edge = KvEdgeHistogramFeatureClass;

const KvFeatureDefault kDefaults[] = {{"Z", "0"}, {"Mirror", "F"}};
KvFeatureFamily gFamily(kDefaults, sizeof kDefaults / sizeof kDefaults[0], nullptr);

// The 13 region groups: four rows, four columns, the four 2 x 2 corners and
// the 2 x 2 centre, as lists of four regions.
constexpr int kGroupRegions[Edge::kGroups][4] = {
    {0, 1, 2, 3},  {4, 5, 6, 7},  {8, 9, 10, 11}, {12, 13, 14, 15}, {0, 4, 8, 12},
    {1, 5, 9, 13}, {2, 6, 10, 14}, {3, 7, 11, 15}, {0, 1, 4, 5},     {2, 3, 6, 7},
    {8, 9, 12, 13}, {10, 11, 14, 15}, {5, 6, 9, 10},
};

}  // namespace

KvEdgeHistogramFeatureClass::KvEdgeHistogramFeatureClass()
    : KvDescriptorFeatureClass("KvEdgeHistogramFeatureClass", "KvEdgHst", kRecordSize, kBins, &gFamily) {
  Clear();
}

KvEdgeHistogramFeatureClass::~KvEdgeHistogramFeatureClass() = default;

void KvEdgeHistogramFeatureClass::Clear() {
  std::memset(bin_, 0, sizeof bin_);
  std::memset(mirrored_, 0, sizeof mirrored_);
  mirror_ = false;
}

void KvEdgeHistogramFeatureClass::Encode(unsigned char* bytes) const { std::memcpy(bytes, bin_, kBins); }

void KvEdgeHistogramFeatureClass::Decode(const unsigned char* bytes) { std::memcpy(bin_, bytes, kBins); }

bool KvEdgeHistogramFeatureClass::WantsMirror(const KvParameterClass* parms) {
  const char* text = parms != nullptr ? parms->GetParameter("Mirror") : nullptr;
  return text != nullptr && (text[0] == 'T' || text[0] == 't' || text[0] == '1');
}

void KvEdgeHistogramFeatureClass::Apply(const KvParameterClass* parms) {
  mirror_ = WantsMirror(parms);
  if (mirror_) Mirror(bin_, mirrored_);
}

void KvEdgeHistogramFeatureClass::Mirror(const uint8_t* a, uint8_t* out) {
  // Columns swap sides, and the two diagonal kinds swap with them.
  constexpr int kKind[kKinds] = {0, 1, 3, 2, 4};
  for (int row = 0; row < kGrid; ++row) {
    for (int column = 0; column < kGrid; ++column) {
      const int from = row * kGrid + column, to = row * kGrid + (kGrid - 1 - column);
      for (int k = 0; k < kKinds; ++k) out[to * kKinds + kKind[k]] = a[from * kKinds + k];
    }
  }
}

double KvEdgeHistogramFeatureClass::BinDistance(const uint8_t* a, const uint8_t* b) {
  // In sixteenths of a bin, exactly: whole-image bins are sums over 16
  // regions (weight 5 on their mean is 5 on the sum over 16), group bins sums
  // over 4 regions (weight 1 on their mean is 4 on the sum over 16).
  int32_t local = 0;
  int32_t diff[kBins];
  for (int i = 0; i < kBins; ++i) {
    diff[i] = static_cast<int32_t>(a[i]) - static_cast<int32_t>(b[i]);
    local += std::abs(diff[i]);
  }
  int32_t global = 0;
  for (int k = 0; k < kKinds; ++k) {
    int32_t sum = 0;
    for (int r = 0; r < kGrid * kGrid; ++r) sum += diff[r * kKinds + k];
    global += std::abs(sum);
  }
  int32_t groups = 0;
  for (const auto& g : kGroupRegions) {
    for (int k = 0; k < kKinds; ++k) {
      groups += std::abs(diff[g[0] * kKinds + k] + diff[g[1] * kKinds + k] + diff[g[2] * kKinds + k] +
                         diff[g[3] * kKinds + k]);
    }
  }
  const int32_t total = 16 * local + 5 * global + 4 * groups;
  return static_cast<double>(total) / (16.0 * 255.0);
}

double KvEdgeHistogramFeatureClass::Measure(const KvDescriptorFeatureClass& other) const {
  const auto& that = static_cast<const KvEdgeHistogramFeatureClass&>(other);
  const double d = BinDistance(bin_, that.bin_);
  return mirror_ ? std::min(d, BinDistance(mirrored_, that.bin_)) : d;
}

KvDescriptorFeatureClass* KvEdgeHistogramFeatureClass::MakeHolder() const {
  return new (std::nothrow) KvEdgeHistogramFeatureClass();
}

KvFeatureClass* NewKvEdgeHistogramFeatureClass() { return new (std::nothrow) KvEdgeHistogramFeatureClass(); }
