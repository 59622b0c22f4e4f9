// The average colour feature.
//
// Byte string (12 bytes, big-endian):
//   offset  size  meaning
//   0       4     value[0], signed: mean of NewMTMV coordinate 1 x 16384
//   4       4     value[1], signed: mean of coordinate 2 x 16384
//   8       4     value[2], signed: mean of coordinate 3 x 16384
#include "features/KvColorFeature.h"

#include <cstdio>
#include <new>

#include "core/KvBytes.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "features/KvColorSpace.h"
#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"

namespace {

constexpr const char* kClassName = "KvColorFeatureClass";
constexpr const char* kSubPartClassName = "KvColorSubPartFeatureClass";
constexpr const char* kTag = "KvColor";
constexpr unsigned long kByteStringSize = 12;
constexpr size_t kAsciiBufferSize = 1024;
constexpr double kInverseScale = 1.0 / KvColorFeatureClass::kScale;

const KvFeatureDefault kDefaults[] = {{"Noop", "."}};

KvFeatureFamily gFamily(kDefaults, 1, nullptr);

}  // namespace

KvColorFeatureClass::KvColorFeatureClass() {
  if (!gFamily.Prepare()) SetValid(0);
}

KvColorFeatureClass::~KvColorFeatureClass() = default;
KvColorSubPartFeatureClass::~KvColorSubPartFeatureClass() = default;

KvParameterClass* KvColorFeatureClass::GetParameters() { return gFamily.Parameters(); }

int KvColorFeatureClass::ToByteString(KvDatumClass& out) {
  unsigned char* bytes = KvNewByteString(kByteStringSize, kClassName);
  if (bytes == nullptr) return -1;
  for (int k = 0; k < 3; ++k) Encode32BE(bytes + 4 * k, static_cast<uint32_t>(value_[k]));
  out.SetBytes(kByteStringSize, bytes, KvOwnKvDelete);
  return 0;
}

int KvColorFeatureClass::FromByteString(const KvDatumClass& in) {
  if (!KvCheckByteStringSize(in, kByteStringSize, kTag, KERR_Fatal)) return -1;
  const unsigned char* p = in.Data();
  for (int k = 0; k < 3; ++k) value_[k] = static_cast<int32_t>(Load32BE(p + 4 * k));
  return 0;
}

int KvColorFeatureClass::ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) {
  (void)parms;
  if (KvFeatureImageData(data, kClassName) == nullptr) return -1;
  value_[0] = value_[1] = value_[2] = 0;
  switch (data->GetType()) {
    case 'e':
    case 's':
      return FromByteString(data->GetFeatureDatum());
    case 'm':
    case 'p':
      return ComputeColorFeatures(data);
    default:
      return KvReportUnknownDataType(kTag, data->GetType());
  }
}

int KvColorFeatureClass::ComputeColorFeatures(KvGenericDataClass* data) {
  if (data == nullptr || !data->IsClass("KvGenericImageDataClass")) {
    KvReportImageDataCoerce("KvColorFeatureClass::ComputeColorFeatures");
    return -1;
  }
  const auto* image = static_cast<const KvGenericImageDataClass*>(data);
  const unsigned char* palette = image->GetPalette();
  const int32_t width = image->GetXSize(), height = image->GetYSize();
  const unsigned long count =
      width > 0 && height > 0 ? static_cast<unsigned long>(width) * static_cast<unsigned long>(height) : 0;
  const unsigned char* pixels = palette != nullptr ? image->GetIndexPlane() : nullptr;
  uint32_t bins[256];
  // Records 10003 when nothing counts (no planes, no size, everything masked).
  const uint64_t total = KvCountIndexHistogram(pixels, image->GetMaskPlane(), count, bins);
  if (total == 0) return -1;
  double c[3][256];
  if (rgbLutToNewMTMV(256, palette, palette + 256, palette + 512, c[0], c[1], c[2]) != 0) return -1;
  for (int k = 0; k < 3; ++k) {
    double sum = 0.0;
    for (int i = 0; i < 256; ++i) sum += static_cast<double>(bins[i]) * c[k][i];
    const double mean = sum / static_cast<double>(total);
    value_[k] = static_cast<int32_t>(mean * kScale);
  }
  return 0;
}

float KvColorFeatureClass::Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) {
  (void)parms;
  (void)bound;
  if (!KvCheckDistanceOperand(other, "KvColorFeatureClass:Distance", kClassName, kSubPartClassName)) return -1.0f;
  const int32_t* theirs = static_cast<const KvColorFeatureClass*>(other)->value_;
  // A difference of two 32-bit values needs 33 bits. While every difference
  // fits in 31 bits the three squares sum exactly in an unsigned 64-bit
  // integer (below 3 * 2^62); values that far apart only come from damaged
  // records, which are summed in double.
  uint64_t sum = 0;
  double wide = 0.0;
  bool exact = true;
  for (int k = 0; k < 3; ++k) {
    const int64_t d = static_cast<int64_t>(value_[k]) - theirs[k];
    if (d > 0x7FFFFFFFLL || d < -0x7FFFFFFFLL) exact = false;
    const uint64_t magnitude = static_cast<uint64_t>(d < 0 ? -d : d);
    sum += magnitude * magnitude;
    wide += static_cast<double>(d) * static_cast<double>(d);
  }
  const double squared = exact ? static_cast<double>(sum) : wide;
  return static_cast<float>(squared * (kInverseScale * kInverseScale));
}

float KvColorFeatureClass::GetDistanceHintForParameters(KvFeatureClass*, KvParameterClass*, float) { return -1.0f; }

float KvColorFeatureClass::GetDistanceHintForTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long,
                                                   const char*, KvParameterClass*) {
  return -1.0f;
}

int KvColorFeatureClass::SearchTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long, const char*,
                                     KvParameterClass*, KvKeyDatabaseClass*) {
  return -1;
}

int KvColorFeatureClass::ToAsciiString(KvDatumClass& out) {
  char* text = static_cast<char*>(KvNew(kAsciiBufferSize, "KvColorFeatureClass::ToAsciiString", KERR_Fatal));
  if (text == nullptr) return -1;
  const int n = std::snprintf(text, kAsciiBufferSize, "%9ld %9ld %9ld", static_cast<long>(value_[0]),
                              static_cast<long>(value_[1]), static_cast<long>(value_[2]));
  out.SetBytes(static_cast<unsigned long>(n), reinterpret_cast<unsigned char*>(text), KvOwnKvDelete);
  return 0;
}

KvFeatureClass* NewKvColorFeatureClass() { return new (std::nothrow) KvColorFeatureClass(); }
KvFeatureClass* NewKvColorSubPartFeatureClass() { return new (std::nothrow) KvColorSubPartFeatureClass(); }
