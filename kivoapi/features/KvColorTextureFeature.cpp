// The colour-texture feature class.
//
// Byte string (1824 bytes, big-endian):
//   offset  size     meaning
//   0       2 x 768  the HSV band histograms: the record of
//                    KvHsvBandsFeatureClass (top, middle, bottom band, 256
//                    roots each)
//   1536    2 x 144  root[0] .. root[143], unsigned 16-bit: the square root
//                    of pattern i's share of the raster cells whose eight
//                    neighbours are unmasked, times 32767; all 0 when there
//                    is no such cell
//
// Values above 32767 come only from damaged records; they are read as
// stored and compared like any other.
#include "features/KvColorTextureFeature.h"

#include <array>
#include <cstring>
#include <new>

#include "core/KvBytes.h"
#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"
#include "features/KvHsvHistogramFeature.h"

namespace {

const KvFeatureDefault kDefaults[] = {{"Z", "0"}};
KvFeatureFamily gFamily(kDefaults, sizeof kDefaults / sizeof kDefaults[0], nullptr);

// Neighbour k of the mirror image is neighbour kMirror[k] of the original:
// left and right swap, up and down stay.
constexpr int kMirror[8] = {2, 1, 0, 7, 6, 5, 4, 3};

// Pattern indices: codes numbered in increasing order of the smaller of the
// code and its mirror image.
const std::array<uint8_t, 256>& PatternTable() {
  static const std::array<uint8_t, 256> table = [] {
    std::array<int, 256> mirrored{};
    for (unsigned c = 0; c < 256; ++c) {
      int m = 0;
      for (int k = 0; k < 8; ++k) m |= static_cast<int>((c >> k) & 1u) << kMirror[k];
      mirrored[c] = m;
    }
    std::array<uint8_t, 256> t{};
    int next = 0;
    for (int c = 0; c < 256; ++c) {
      if (mirrored[c] < c) {
        t[c] = t[mirrored[c]];
      } else {
        t[c] = static_cast<uint8_t>(next++);
      }
    }
    return t;
  }();
  return table;
}

}  // namespace

KvColorTextureFeatureClass::KvColorTextureFeatureClass()
    : KvDescriptorFeatureClass("KvColorTextureFeatureClass", "KvClrTxt", kRecordSize, kBins, &gFamily) {
  Clear();
}

KvColorTextureFeatureClass::~KvColorTextureFeatureClass() = default;

int KvColorTextureFeatureClass::PatternOf(unsigned code) { return PatternTable()[code & 0xFFu]; }

void KvColorTextureFeatureClass::Clear() {
  std::memset(root_, 0, sizeof root_);
  std::memset(norm_, 0, sizeof norm_);
}

void KvColorTextureFeatureClass::Encode(unsigned char* bytes) const {
  for (int i = 0; i < kBins; ++i) Encode16BE(bytes + 2 * i, root_[i]);
}

void KvColorTextureFeatureClass::Decode(const unsigned char* bytes) {
  for (int i = 0; i < kBins; ++i) root_[i] = Load16BE(bytes + 2 * i);
  for (int p = 0; p <= kBands; ++p) {
    uint64_t sum = 0;
    for (int i = PartStart(p); i < PartStart(p + 1); ++i) sum += static_cast<uint64_t>(root_[i]) * root_[i];
    norm_[p] = sum;
  }
}

double KvColorTextureFeatureClass::PartDistance(const uint64_t dot[kBands + 1], const uint64_t normA[kBands + 1],
                                                const uint64_t normB[kBands + 1]) {
  const double colour = KvHsvBandsFeatureClass::BandDistance(dot, normA, normB);
  const double texture = KvHsvHistogramFeatureClass::RootDistance(dot[kBands], normA[kBands], normB[kBands]);
  return 0.5 * (colour / kColorScale + texture / kTextureScale);
}

double KvColorTextureFeatureClass::Measure(const KvDescriptorFeatureClass& other) const {
  const auto& that = static_cast<const KvColorTextureFeatureClass&>(other);
  uint64_t dot[kBands + 1];
  for (int p = 0; p <= kBands; ++p) {
    uint64_t sum = 0;
    for (int i = PartStart(p); i < PartStart(p + 1); ++i) sum += static_cast<uint32_t>(root_[i]) * that.root_[i];
    dot[p] = sum;
  }
  return PartDistance(dot, norm_, that.norm_);
}

KvDescriptorFeatureClass* KvColorTextureFeatureClass::MakeHolder() const {
  return new (std::nothrow) KvColorTextureFeatureClass();
}

KvFeatureClass* NewKvColorTextureFeatureClass() { return new (std::nothrow) KvColorTextureFeatureClass(); }
