// Record layouts of scan files. Table records are big-endian (see each
// feature class's byte layout table); slots hold the same values natively.
//
// Slots:
//   colour     offset 0  3 x int32   the three means
//   histogram  offset 0  256 x int16 the bins; offset 512 int32 self term
//   texture    offset 0  4 x int32   flags, coarseness, contrast,
//                                    directionality
//   draw       offset 0  int16 columns, offset 2 int16 rows, offset 4 the
//                        108 cell bytes as stored
//   HSV        offset 0  256 x uint16 roots; offset 512 uint64 their norm
//                        (sum of squares), as the feature computes it when
//                        it reads the record
//   edge histogram, correlogram
//              offset 0  the bin bytes as stored (80 and 256)
//   colour difference
//              offset 0  146 x uint16 bins; offset 292 uint32 their sum
//   HSV bands, colour texture
//              offset 0  768 (912) x uint16 roots; offset 1536 (1824) the
//                        parts' uint64 norms: each band's, then the
//                        patterns'
#include "scan/KvScanLayouts.h"

#include <cstring>

#include "core/KvBytes.h"

namespace {

template <typename T>
void Put(unsigned char* p, T v) {
  std::memcpy(p, &v, sizeof v);
}
template <typename T>
T Get(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// n big-endian 32-bit words to native ones and back.
bool EncodeWords(const unsigned char* record, size_t size, unsigned char* slot, size_t n) {
  if (size != 4 * n) return false;
  for (size_t i = 0; i < n; ++i) Put(slot + 4 * i, static_cast<int32_t>(Load32BE(record + 4 * i)));
  return true;
}
void DecodeWords(const unsigned char* slot, unsigned char* record, size_t n) {
  for (size_t i = 0; i < n; ++i) Encode32BE(record + 4 * i, static_cast<uint32_t>(Get<int32_t>(slot + 4 * i)));
}

bool EncodeColor(const unsigned char* r, size_t size, unsigned char* s) { return EncodeWords(r, size, s, 3); }
void DecodeColor(const unsigned char* s, unsigned char* r) { DecodeWords(s, r, 3); }
bool EncodeTexture(const unsigned char* r, size_t size, unsigned char* s) { return EncodeWords(r, size, s, 4); }
void DecodeTexture(const unsigned char* s, unsigned char* r) { DecodeWords(s, r, 4); }

bool EncodeHistogram(const unsigned char* r, size_t size, unsigned char* s) {
  if (size != 516) return false;
  for (int i = 0; i < 256; ++i) Put(s + 2 * i, static_cast<int16_t>(Load16BE(r + 2 * i)));
  Put(s + 512, static_cast<int32_t>(Load32BE(r + 512)));
  return true;
}
void DecodeHistogram(const unsigned char* s, unsigned char* r) {
  for (int i = 0; i < 256; ++i) Encode16BE(r + 2 * i, static_cast<uint16_t>(Get<int16_t>(s + 2 * i)));
  Encode32BE(r + 512, static_cast<uint32_t>(Get<int32_t>(s + 512)));
}

// The draw feature reads only positive grids that fill the 112 bytes its
// holder expects; any other record is odd.
bool EncodeDraw(const unsigned char* r, size_t size, unsigned char* s) {
  if (size != 112) return false;
  const int columns = static_cast<int16_t>(Load16BE(r));
  const int rows = static_cast<int16_t>(Load16BE(r + 2));
  if (columns <= 0 || rows <= 0 || columns * rows != 108) return false;
  Put(s, static_cast<int16_t>(columns));
  Put(s + 2, static_cast<int16_t>(rows));
  std::memcpy(s + 4, r + 4, 108);
  return true;
}
void DecodeDraw(const unsigned char* s, unsigned char* r) {
  Encode16BE(r, static_cast<uint16_t>(Get<int16_t>(s)));
  Encode16BE(r + 2, static_cast<uint16_t>(Get<int16_t>(s + 2)));
  std::memcpy(r + 4, s + 4, 108);
}

// Records of square-root histograms in parts of up to 256 roots (the HSV
// histogram: one; its bands: three; the colour texture: three bands and the
// patterns): every record of the class's size is regular. The slot holds
// the roots, then each part's norm as the feature computes it when it reads
// the record.
template <int kRoots>
bool EncodeRootParts(const unsigned char* r, size_t size, unsigned char* s) {
  constexpr int kParts = (kRoots + 255) / 256;
  if (size != 2 * kRoots) return false;
  uint64_t norms[kParts] = {};
  for (int i = 0; i < kRoots; ++i) {
    const uint16_t v = Load16BE(r + 2 * i);
    Put(s + 2 * i, v);
    norms[i / 256] += static_cast<uint64_t>(v) * v;
  }
  for (int p = 0; p < kParts; ++p) Put(s + 2 * kRoots + 8 * p, norms[p]);
  return true;
}
// The table form of a slot that begins with kValues native 16-bit values.
template <int kValues>
void Decode16(const unsigned char* s, unsigned char* r) {
  for (int i = 0; i < kValues; ++i) Encode16BE(r + 2 * i, Get<uint16_t>(s + 2 * i));
}

// Every 292-byte record is a regular colour-difference record.
bool EncodeColorDifference(const unsigned char* r, size_t size, unsigned char* s) {
  if (size != 292) return false;
  uint32_t sum = 0;
  for (int i = 0; i < 146; ++i) {
    const uint16_t v = Load16BE(r + 2 * i);
    Put(s + 2 * i, v);
    sum += v;
  }
  Put(s + 292, sum);
  return true;
}

// Records of bytes: every record of the class's size is regular.
template <size_t kSize>
bool EncodeBytes(const unsigned char* r, size_t size, unsigned char* s) {
  if (size != kSize) return false;
  std::memcpy(s, r, kSize);
  return true;
}
template <size_t kSize>
void DecodeBytes(const unsigned char* s, unsigned char* r) {
  std::memcpy(r, s, kSize);
}

const char* const kColorClasses[] = {"KvColorFeatureClass", "KvColorSubPartFeatureClass", nullptr};
const char* const kHistogramClasses[] = {"KvColorHistogramFeatureClass", "KvColorHistogramSubPartFeatureClass",
                                         nullptr};
const char* const kTextureClasses[] = {"KvTextureFeatureClass", "KvTextureSubPartFeatureClass", nullptr};
const char* const kDrawClasses[] = {"KvDrawFeatureClass", nullptr};
const char* const kHsvClasses[] = {"KvHsvHistogramFeatureClass", nullptr};
const char* const kEdgeClasses[] = {"KvEdgeHistogramFeatureClass", nullptr};
const char* const kCorrelogramClasses[] = {"KvCorrelogramFeatureClass", nullptr};
const char* const kHsvBandsClasses[] = {"KvHsvBandsFeatureClass", nullptr};
const char* const kColorDifferenceClasses[] = {"KvColorDifferenceFeatureClass", nullptr};
const char* const kColorTextureClasses[] = {"KvColorTextureFeatureClass", nullptr};

const KvScanLayout kLayouts[] = {
    {kKvScanLayoutColor, kColorClasses, 12, 12, EncodeColor, DecodeColor},
    {kKvScanLayoutHistogram, kHistogramClasses, 516, 516, EncodeHistogram, DecodeHistogram},
    {kKvScanLayoutTexture, kTextureClasses, 16, 16, EncodeTexture, DecodeTexture},
    {kKvScanLayoutDraw, kDrawClasses, 112, 112, EncodeDraw, DecodeDraw},
    {kKvScanLayoutHsvHistogram, kHsvClasses, 512, 520, EncodeRootParts<256>, Decode16<256>},
    {kKvScanLayoutEdgeHistogram, kEdgeClasses, 80, 80, EncodeBytes<80>, DecodeBytes<80>},
    {kKvScanLayoutCorrelogram, kCorrelogramClasses, 256, 256, EncodeBytes<256>, DecodeBytes<256>},
    {kKvScanLayoutHsvBands, kHsvBandsClasses, 1536, 1560, EncodeRootParts<768>, Decode16<768>},
    {kKvScanLayoutColorDifference, kColorDifferenceClasses, 292, 296, EncodeColorDifference,
     Decode16<146>},
    {kKvScanLayoutColorTexture, kColorTextureClasses, 1824, 1856, EncodeRootParts<912>,
     Decode16<912>},
};

}  // namespace

const KvScanLayout* KvScanLayoutForClass(const char* className) {
  if (className == nullptr) return nullptr;
  for (const KvScanLayout& layout : kLayouts) {
    for (const char* const* c = layout.classes; *c != nullptr; ++c) {
      if (std::strcmp(*c, className) == 0) return &layout;
    }
  }
  return nullptr;
}

const KvScanLayout* KvScanLayoutById(uint32_t id) {
  for (const KvScanLayout& layout : kLayouts) {
    if (layout.id == id) return &layout;
  }
  return nullptr;
}
