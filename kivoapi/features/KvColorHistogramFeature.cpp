// The colour histogram feature object: computation from an image, byte
// string and printable form. The distances are in KvColorHistogramDistance.cpp,
// the block counting in KvColorHistogramCount.cpp.
//
// Byte string (516 bytes, big-endian):
//   offset  size     meaning
//   0       2 x 256  bin[0] .. bin[255], signed 16-bit, per mille
//   512     4        selfTerm, signed 32-bit (-100 when not computed)
#include "features/KvColorHistogramFeature.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/KvBytes.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"

namespace {

constexpr const char* kClassName = "KvColorHistogramFeatureClass";
constexpr const char* kSubPartClassName = "KvColorHistogramSubPartFeatureClass";
constexpr const char* kTag = "KvClrHst";
constexpr unsigned long kByteStringSize = 516;
constexpr size_t kAsciiBufferSize = 4096;

const KvFeatureDefault kDefaults[] = {
    {"HiLoCut", ".05"}, {"LoMult", "2.0"}, {"HiMult", "1.0"}, {"MinPnltyPct", ".05"}, {"Excess", ".15"},
};

bool SetUpFamily() {
  KvBuildHistogramSimilarity();
  return true;
}

KvFeatureFamily gFamily(kDefaults, sizeof kDefaults / sizeof kDefaults[0], SetUpFamily);

}  // namespace

KvColorHistogramFeatureClass::KvColorHistogramFeatureClass() {
  Reset();
  if (!gFamily.Prepare()) SetValid(0);
}

KvColorHistogramFeatureClass::~KvColorHistogramFeatureClass() = default;
KvColorHistogramSubPartFeatureClass::~KvColorHistogramSubPartFeatureClass() = default;

KvParameterClass* KvColorHistogramFeatureClass::GetParameters() { return gFamily.Parameters(); }

void KvColorHistogramFeatureClass::Reset() {
  std::memset(bin_, 0, sizeof bin_);
  selfTerm_ = kNoSelfTerm;
  std::memset(products_, 0, sizeof products_);
  nonZeroCount_ = 0;
  hiLoCut_ = 0.05;
  loMult_ = 2.0;
  hiMult_ = 1.0;
  minPnltyPct_ = 0.05;
  excess_ = 0.15;
  picker_ = false;
  BinsChanged();
}

void KvColorHistogramFeatureClass::BinsChanged() {
  for (int i = 0; i < kBins; ++i) binValue_[i] = bin_[i];
  applied_ = false;
}

int KvColorHistogramFeatureClass::ToByteString(KvDatumClass& out) {
  unsigned char* bytes = KvNewByteString(kByteStringSize, kClassName);
  if (bytes == nullptr) return -1;
  for (int i = 0; i < kBins; ++i) Encode16BE(bytes + 2 * i, static_cast<uint16_t>(bin_[i]));
  Encode32BE(bytes + 2 * kBins, static_cast<uint32_t>(selfTerm_));
  out.SetBytes(kByteStringSize, bytes, KvOwnKvDelete);
  return 0;
}

int KvColorHistogramFeatureClass::FromByteString(const KvDatumClass& in) {
  if (!KvCheckByteStringSize(in, kByteStringSize, kTag, KERR_Fatal)) return -1;
  const unsigned char* p = in.Data();
  // Two plain loops the compiler vectorises: the byte swap of four bins at a
  // time, then the conversion to the doubles every distance reads. The swap
  // of each 16-bit lane does not depend on the host's byte order.
  static_assert(sizeof bin_ == 2 * kBins, "bins are packed 16-bit values");
  unsigned char* out = reinterpret_cast<unsigned char*>(bin_);
  for (int i = 0; i < 2 * kBins; i += 8) {
    uint64_t raw;
    std::memcpy(&raw, p + i, sizeof raw);
    raw = ((raw & 0x00FF00FF00FF00FFull) << 8) | ((raw >> 8) & 0x00FF00FF00FF00FFull);
    std::memcpy(out + i, &raw, sizeof raw);
  }
  for (int i = 0; i < kBins; ++i) binValue_[i] = bin_[i];
  selfTerm_ = static_cast<int32_t>(Load32BE(p + 2 * kBins));
  applied_ = false;
  return 0;
}

int KvColorHistogramFeatureClass::ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) {
  KvGenericImageDataClass* image = KvFeatureImageData(data, kClassName);
  if (image == nullptr) return -1;
  Reset();
  int rc;
  switch (data->GetType()) {
    case 'e':
    case 's':
      rc = FromByteString(data->GetFeatureDatum());
      break;
    case 'm':
      rc = ComputeHistogram(*image, 3);
      break;
    case 'p':
      picker_ = true;
      rc = ComputeHistogram(*image, 1);
      break;
    default:
      return KvReportUnknownDataType(kTag, data->GetType());
  }
  if (rc == 0 && data->GetQuerySide()) ApplyParameters(parms);
  return rc;
}

int KvColorHistogramFeatureClass::ComputeHistogram(const KvGenericImageDataClass& image, int blockSize) {
  const unsigned char* pixels = image.GetIndexPlane();
  const unsigned char* palette = image.GetPalette();
  const unsigned char* mask = image.GetMaskPlane();
  const int32_t width = image.GetXSize(), height = image.GetYSize();
  if (pixels == nullptr || palette == nullptr || width <= 0 || height <= 0) {
    KvError(KERR_NoPixels, KERR_NonFatal, "kcComp");
    return -1;
  }
  const unsigned long count = static_cast<unsigned long>(width) * static_cast<unsigned long>(height);
  unsigned long covered = count;
  if (mask != nullptr) {
    covered = 0;
    for (unsigned long i = 0; i < count; ++i) covered += mask[i] != 0 ? 1 : 0;
  }
  const double coverage = static_cast<double>(covered) / static_cast<double>(count);
  if (KvComputeColorHistogram(pixels, mask, pixels + count - 1, static_cast<unsigned long>(width), palette,
                              palette + 256, palette + 512, blockSize, kKvHistogramCellMap, kKvHistogramBinTable,
                              kBins, bin_) != 0) {
    std::memset(bin_, 0, sizeof bin_);
    BinsChanged();
    return -1;
  }
  selfTerm_ = kNoSelfTerm;
  const bool subPart = image.GetSubPart() == True;
  if (!subPart && coverage < 1.0) {
    for (int i = 0; i < kBins; ++i) bin_[i] = static_cast<int16_t>(bin_[i] * coverage + 0.5);
  }
  BinsChanged();
  if (!picker_ && (subPart || coverage >= 1.0)) {
    selfTerm_ = static_cast<int32_t>(SelfSimilarity() + 0.5);
  }
  return 0;
}

float KvColorHistogramFeatureClass::Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) {
  (void)bound;
  if (!KvCheckDistanceOperand(other, "KvColorHistogramFeatureClass::Distance", kClassName, kSubPartClassName)) {
    return -1.0f;
  }
  const auto& target = *static_cast<const KvColorHistogramFeatureClass*>(other);
  if (!applied_) ApplyParameters(parms);
  const double d = selfTerm_ < 0 ? PartialDistance(target) : QuadraticDistance(target);
  return static_cast<float>(d);
}

float KvColorHistogramFeatureClass::GetDistanceHintForParameters(KvFeatureClass*, KvParameterClass*, float) {
  return -1.0f;
}

float KvColorHistogramFeatureClass::GetDistanceHintForTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long,
                                                            const char*, KvParameterClass*) {
  return -1.0f;
}

int KvColorHistogramFeatureClass::SearchTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long, const char*,
                                              KvParameterClass*, KvKeyDatabaseClass*) {
  return -1;
}

int KvColorHistogramFeatureClass::ToAsciiString(KvDatumClass& out) {
  char* text = static_cast<char*>(KvNew(kAsciiBufferSize, "KvColorHistogramFeatureClass::ToAsciiString", KERR_Fatal));
  if (text == nullptr) return -1;
  // At most 6 characters per bin, 22 newlines and an 11-character trailer:
  // far below the buffer size.
  size_t n = 0;
  text[n++] = '\n';
  for (int i = 0; i < kBins; ++i) {
    n += static_cast<size_t>(std::snprintf(text + n, kAsciiBufferSize - n, "%5d", bin_[i]));
    if (i % 12 == 11) text[n++] = '\n';
  }
  n += static_cast<size_t>(std::snprintf(text + n, kAsciiBufferSize - n, "%10d\n", static_cast<int>(selfTerm_)));
  out.SetBytes(static_cast<unsigned long>(n), reinterpret_cast<unsigned char*>(text), KvOwnKvDelete);
  return 0;
}

KvFeatureClass* NewKvColorHistogramFeatureClass() { return new (std::nothrow) KvColorHistogramFeatureClass(); }
KvFeatureClass* NewKvColorHistogramSubPartFeatureClass() {
  return new (std::nothrow) KvColorHistogramSubPartFeatureClass();
}
