// The colour-difference feature class.
//
// Byte string (292 bytes, big-endian):
//   offset  size     meaning
//   0       2 x 128  colour bins, unsigned 16-bit: bin (l * 4 + a) * 4 + b
//                    (lightness cell l of 8 over L* 0..100, a* and b* cells
//                    of 20 over -40..40, the outer ones open) holds the
//                    summed L*a*b* difference, per cell of the working
//                    image (about 2^14 cells), of the pairs of cells two
//                    apart across or down with the same edge direction whose
//                    first cell has that colour, times 4096, at most 65535
//   256     2 x 18   direction bins, unsigned 16-bit: bin d (edge direction
//                    10 d to 10 d + 10 degrees) holds the summed difference
//                    of the pairs with the same colour whose first cell has
//                    that direction, scaled the same way
//
// Every record of the right size is regular; an all-zero one (a flat image)
// is at distance 0 from another all-zero one.
#include "features/KvColorDifferenceFeature.h"

#include <cstring>
#include <new>

#include "core/KvBytes.h"
#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"

namespace {

const KvFeatureDefault kDefaults[] = {{"Z", "0"}};
KvFeatureFamily gFamily(kDefaults, sizeof kDefaults / sizeof kDefaults[0], nullptr);

}  // namespace

KvColorDifferenceFeatureClass::KvColorDifferenceFeatureClass()
    : KvDescriptorFeatureClass("KvColorDifferenceFeatureClass", "KvClrDif", kRecordSize, kBins, &gFamily) {
  Clear();
}

KvColorDifferenceFeatureClass::~KvColorDifferenceFeatureClass() = default;

void KvColorDifferenceFeatureClass::Clear() {
  std::memset(bin_, 0, sizeof bin_);
  sum_ = 0;
}

void KvColorDifferenceFeatureClass::Encode(unsigned char* bytes) const {
  for (int i = 0; i < kBins; ++i) Encode16BE(bytes + 2 * i, bin_[i]);
}

void KvColorDifferenceFeatureClass::Decode(const unsigned char* bytes) {
  sum_ = 0;
  for (int i = 0; i < kBins; ++i) {
    bin_[i] = Load16BE(bytes + 2 * i);
    sum_ += bin_[i];
  }
}

float KvColorDifferenceFeatureClass::BinDistance(const uint16_t* a, uint32_t sumA, const uint16_t* b,
                                                 uint32_t sumB) {
  // At most 146 * 131070 + 2 * 146 * 65535 < 2^26: every divisor is an
  // exact int32.
  const int32_t sums = static_cast<int32_t>(sumA + sumB);
  float sum = 0.0f;
  for (int i = 0; i < kBins; ++i) {
    const int32_t x = a[i], y = b[i];
    const int32_t divisor = kBins * (x + y) + sums;
    const int32_t difference = x > y ? x - y : y - x;
    const float term = divisor != 0 ? static_cast<float>(kBins * difference) / static_cast<float>(divisor) : 0.0f;
    sum += term;
  }
  return sum;
}

double KvColorDifferenceFeatureClass::Measure(const KvDescriptorFeatureClass& other) const {
  const auto& that = static_cast<const KvColorDifferenceFeatureClass&>(other);
  return BinDistance(bin_, sum_, that.bin_, that.sum_);
}

KvDescriptorFeatureClass* KvColorDifferenceFeatureClass::MakeHolder() const {
  return new (std::nothrow) KvColorDifferenceFeatureClass();
}

KvFeatureClass* NewKvColorDifferenceFeatureClass() { return new (std::nothrow) KvColorDifferenceFeatureClass(); }
