// The colour-edge feature class.
//
// Byte string (144 bytes):
//   offset  size     meaning
//   0       1 x 144  bin[kind * 24 + colour], unsigned 8-bit: the square root
//                    of the share of blocks of that structure kind (no edge,
//                    non-directional, horizontal, vertical, 45, 135 degrees)
//                    and fuzzy colour, times 255
#include "features/KvColorEdgeFeature.h"

#include <cstring>
#include <new>

#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"

namespace {

const KvFeatureDefault kDefaults[] = {{"Z", "0"}};
KvFeatureFamily gFamily(kDefaults, sizeof kDefaults / sizeof kDefaults[0], nullptr);

}  // namespace

KvColorEdgeFeatureClass::KvColorEdgeFeatureClass()
    : KvDescriptorFeatureClass("KvColorEdgeFeatureClass", "KvClrEdg", kRecordSize, kBins, &gFamily) {
  Clear();
}

KvColorEdgeFeatureClass::~KvColorEdgeFeatureClass() = default;

void KvColorEdgeFeatureClass::Clear() {
  std::memset(bin_, 0, sizeof bin_);
  square_ = 0;
}

void KvColorEdgeFeatureClass::Encode(unsigned char* bytes) const { std::memcpy(bytes, bin_, kBins); }

void KvColorEdgeFeatureClass::Decode(const unsigned char* bytes) {
  std::memcpy(bin_, bytes, kBins);
  square_ = 0;
  for (int i = 0; i < kBins; ++i) square_ += static_cast<uint32_t>(bin_[i]) * bin_[i];
}

double KvColorEdgeFeatureClass::Tanimoto(uint32_t ab, uint32_t aa, uint32_t bb) {
  const uint32_t denominator = aa + bb - ab;
  if (denominator == 0) return 0.0;
  return 1.0 - static_cast<double>(ab) / static_cast<double>(denominator);
}

double KvColorEdgeFeatureClass::Measure(const KvDescriptorFeatureClass& other) const {
  const auto& that = static_cast<const KvColorEdgeFeatureClass&>(other);
  uint32_t ab = 0;
  for (int i = 0; i < kBins; ++i) ab += static_cast<uint32_t>(bin_[i]) * that.bin_[i];
  return Tanimoto(ab, square_, that.square_);
}

KvDescriptorFeatureClass* KvColorEdgeFeatureClass::MakeHolder() const {
  return new (std::nothrow) KvColorEdgeFeatureClass();
}

KvFeatureClass* NewKvColorEdgeFeatureClass() { return new (std::nothrow) KvColorEdgeFeatureClass(); }
