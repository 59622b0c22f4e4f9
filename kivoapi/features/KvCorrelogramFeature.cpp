// The colour auto-correlogram feature class.
//
// Byte string (256 bytes):
//   offset  size     meaning
//   0       1 x 256  bin[colour * 4 + d], unsigned 8-bit: the chance, times
//                    255, that a pixel at distance 1, 3, 5 or 7 (d = 0..3)
//                    from a pixel of the colour has the same colour; colour
//                    = (red >> 6) * 16 + (green >> 6) * 4 + (blue >> 6)
#include "features/KvCorrelogramFeature.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"

namespace {

const KvFeatureDefault kDefaults[] = {{"Z", "0"}};
KvFeatureFamily gFamily(kDefaults, sizeof kDefaults / sizeof kDefaults[0], nullptr);

}  // namespace

KvCorrelogramFeatureClass::KvCorrelogramFeatureClass()
    : KvDescriptorFeatureClass("KvCorrelogramFeatureClass", "KvCorrel", kRecordSize, kBins, &gFamily) {
  Clear();
}

KvCorrelogramFeatureClass::~KvCorrelogramFeatureClass() = default;

void KvCorrelogramFeatureClass::Clear() { std::memset(bin_, 0, sizeof bin_); }

void KvCorrelogramFeatureClass::Encode(unsigned char* bytes) const { std::memcpy(bytes, bin_, kBins); }

void KvCorrelogramFeatureClass::Decode(const unsigned char* bytes) { std::memcpy(bin_, bytes, kBins); }

double KvCorrelogramFeatureClass::BinDistance(const uint8_t* a, const uint8_t* b) {
  // With chances scaled by 255 the term |a - b| / (1 + a + b) is
  // |A - B| / (255 + A + B); the terms are added in float in index order.
  float sum = 0.0f;
  for (int i = 0; i < kBins; ++i) {
    const int32_t x = a[i], y = b[i];
    sum += static_cast<float>(std::abs(x - y)) / static_cast<float>(255 + x + y);
  }
  return sum;
}

double KvCorrelogramFeatureClass::Measure(const KvDescriptorFeatureClass& other) const {
  return BinDistance(bin_, static_cast<const KvCorrelogramFeatureClass&>(other).bin_);
}

KvDescriptorFeatureClass* KvCorrelogramFeatureClass::MakeHolder() const {
  return new (std::nothrow) KvCorrelogramFeatureClass();
}

KvFeatureClass* NewKvCorrelogramFeatureClass() { return new (std::nothrow) KvCorrelogramFeatureClass(); }
