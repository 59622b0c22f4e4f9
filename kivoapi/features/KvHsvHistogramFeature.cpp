// The HSV histogram feature class.
//
// Byte string (512 bytes, big-endian):
//   offset  size     meaning
//   0       2 x 256  root[0] .. root[255], unsigned 16-bit: the square root of
//                    bin (h, s, v)'s share of the area times 32767, bin
//                    (h * 4 + s) * 4 + v; hue h covers [22.5 h, 22.5 (h + 1))
//                    degrees, saturation s and value v [s / 4, (s + 1) / 4)
//
// Values above 32767 come only from damaged records; they are read as
// stored and compared like any other.
#include "features/KvHsvHistogramFeature.h"

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

KvHsvHistogramFeatureClass::KvHsvHistogramFeatureClass()
    : KvDescriptorFeatureClass("KvHsvHistogramFeatureClass", "KvHsvHst", kRecordSize, kBins, &gFamily) {
  Clear();
}

KvHsvHistogramFeatureClass::~KvHsvHistogramFeatureClass() = default;

void KvHsvHistogramFeatureClass::Clear() {
  std::memset(root_, 0, sizeof root_);
  norm_ = 0;
}

void KvHsvHistogramFeatureClass::Encode(unsigned char* bytes) const {
  for (int i = 0; i < kBins; ++i) Encode16BE(bytes + 2 * i, root_[i]);
}

void KvHsvHistogramFeatureClass::Decode(const unsigned char* bytes) {
  norm_ = 0;
  for (int i = 0; i < kBins; ++i) {
    root_[i] = Load16BE(bytes + 2 * i);
    norm_ += static_cast<uint64_t>(root_[i]) * root_[i];
  }
}

double KvHsvHistogramFeatureClass::RootDistance(uint64_t dot, uint64_t normA, uint64_t normB) {
  if (normA == 0 || normB == 0) return normA == normB ? 0.0 : 1.0;
  // Equal vectors are exactly 0 apart: the products are compared as exact
  // 128-bit integers before any rounding.
  const unsigned __int128 square = static_cast<unsigned __int128>(dot) * dot;
  if (square >= static_cast<unsigned __int128>(normA) * normB) return 0.0;
  const double c = static_cast<double>(dot) / std::sqrt(static_cast<double>(normA) * static_cast<double>(normB));
  return c >= 1.0 ? 0.0 : std::sqrt(1.0 - c);
}

double KvHsvHistogramFeatureClass::Measure(const KvDescriptorFeatureClass& other) const {
  const auto& that = static_cast<const KvHsvHistogramFeatureClass&>(other);
  uint64_t dot = 0;
  for (int i = 0; i < kBins; ++i) dot += static_cast<uint32_t>(root_[i]) * that.root_[i];
  return RootDistance(dot, norm_, that.norm_);
}

KvDescriptorFeatureClass* KvHsvHistogramFeatureClass::MakeHolder() const {
  return new (std::nothrow) KvHsvHistogramFeatureClass();
}

KvFeatureClass* NewKvHsvHistogramFeatureClass() { return new (std::nothrow) KvHsvHistogramFeatureClass(); }
