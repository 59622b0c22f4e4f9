// The HSV band histogram feature class.
//
// Byte string (1536 bytes, big-endian):
//   offset  size     meaning
//   0       2 x 256  top band: root[0] .. root[255], unsigned 16-bit, as in
//                    the HSV histogram's record (square root of bin
//                    (h * 4 + s) * 4 + v's share of the band's unmasked area,
//                    times 32767); all 0 when the band has no unmasked pixel
//   512     2 x 256  middle band, the same way
//   1024    2 x 256  bottom band, the same way
//
// Values above 32767 come only from damaged records; they are read as
// stored and compared like any other.
#include "features/KvHsvBandsFeature.h"

#include <cmath>
#include <cstring>
#include <new>

#include "core/KvBytes.h"
#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"

namespace {

const KvFeatureDefault kDefaults[] = {{"Z", "0"}};
KvFeatureFamily gFamily(kDefaults, sizeof kDefaults / sizeof kDefaults[0], nullptr);

}  // namespace

KvHsvBandsFeatureClass::KvHsvBandsFeatureClass()
    : KvDescriptorFeatureClass("KvHsvBandsFeatureClass", "KvHsvBnd", kRecordSize, kBins, &gFamily) {
  Clear();
}

KvHsvBandsFeatureClass::~KvHsvBandsFeatureClass() = default;

void KvHsvBandsFeatureClass::Clear() {
  std::memset(root_, 0, sizeof root_);
  std::memset(norm_, 0, sizeof norm_);
}

void KvHsvBandsFeatureClass::Encode(unsigned char* bytes) const {
  for (int i = 0; i < kBins; ++i) Encode16BE(bytes + 2 * i, root_[i]);
}

void KvHsvBandsFeatureClass::Decode(const unsigned char* bytes) {
  std::memset(norm_, 0, sizeof norm_);
  for (int i = 0; i < kBins; ++i) {
    root_[i] = Load16BE(bytes + 2 * i);
    norm_[i / kBandBins] += static_cast<uint64_t>(root_[i]) * root_[i];
  }
}

double KvHsvBandsFeatureClass::BandDistance(const uint64_t dot[kBands], const uint64_t normA[kBands],
                                            const uint64_t normB[kBands]) {
  double sum = 0.0;
  for (int b = 0; b < kBands; ++b) sum += KvHsvHistogramFeatureClass::RootDistance(dot[b], normA[b], normB[b]);
  return sum / kBands;
}

double KvHsvBandsFeatureClass::Measure(const KvDescriptorFeatureClass& other) const {
  const auto& that = static_cast<const KvHsvBandsFeatureClass&>(other);
  uint64_t dot[kBands] = {};
  for (int b = 0; b < kBands; ++b) {
    const uint16_t* x = root_ + b * kBandBins;
    const uint16_t* y = that.root_ + b * kBandBins;
    uint64_t sum = 0;
    for (int i = 0; i < kBandBins; ++i) sum += static_cast<uint32_t>(x[i]) * y[i];
    dot[b] = sum;
  }
  return BandDistance(dot, norm_, that.norm_);
}

KvDescriptorFeatureClass* KvHsvBandsFeatureClass::MakeHolder() const {
  return new (std::nothrow) KvHsvBandsFeatureClass();
}

KvFeatureClass* NewKvHsvBandsFeatureClass() { return new (std::nothrow) KvHsvBandsFeatureClass(); }
