// The texture feature class and its catalog statistics.
//
// Byte string (16 bytes, big-endian):
//   offset 0   size 4  flags (bit 0: left out of the statistics)
//   offset 4   size 4  coarseness, hundredths, signed
//   offset 8   size 4  contrast, hundredths, signed
//   offset 12  size 4  directionality, hundredths, signed
//
// Global information (260 bytes of text):
//   offset 0    size 76   the seven base counters ("%010lu" each)
//   offset 76   size 1    a blank
//   offset 77   size 182  "%24.16e" x 6 (sums of the three measures, then
//                         of their squares) and "%010lu" x 3 (their counts),
//                         separated by blanks; all zero while byte 77 is NUL
//   offset 259  size 1    NUL
#include "features/KvTextureFeature.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/KvBytes.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvColorSpace.h"
#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"

namespace {

constexpr size_t kPartOffset = kKvBaseGlobalInfoSize;  // 77
constexpr size_t kPartLength = kKvTextureGlobalInfoSize - kPartOffset - 1;  // 182
constexpr const char* kNames[3] = {"Coarseness", "Contrast", "Directionality"};
// Used when the weights from the parameter texts are all (nearly) zero:
// about one over the square of each measure's usual range.
constexpr double kFallbackWeights[3] = {1.0 / (800.0 * 800.0), 1.0 / (12800.0 * 12800.0),
                                        1.0 / (1000.0 * 1000.0)};
constexpr double kNegligibleWeight = 1e-7;

constexpr const char* kClassName = "KvTextureFeatureClass";
constexpr const char* kSubPartClassName = "KvTextureSubPartFeatureClass";

bool SetUpClass() { return KvColorInitialize() == 0; }

const KvFeatureDefault kDefaults[] = {{"Coarseness", "v"}, {"Contrast", "v"}, {"Directionality", "v"}};
KvFeatureFamily gFamily(kDefaults, 3, SetUpClass);

double Finite(double v) { return std::isfinite(v) ? v : 0.0; }

void WriteStatistics(const KvTextureStatistics& s, unsigned char* bytes) {
  char text[kPartLength + 64];
  const int n = std::snprintf(text, sizeof text,
                              "%24.16e %24.16e %24.16e %24.16e %24.16e %24.16e %010" PRIu32 " %010" PRIu32
                              " %010" PRIu32,
                              s.sum[0], s.sum[1], s.sum[2], s.square[0], s.square[1], s.square[2], s.count[0],
                              s.count[1], s.count[2]);
  // Finite doubles never need more than 24 columns, so the part is always
  // exactly 182 characters; pad defensively all the same.
  const size_t length = n > 0 ? static_cast<size_t>(n) : 0;
  std::memset(bytes, ' ', kPartLength);
  std::memcpy(bytes, text, length < kPartLength ? length : kPartLength);
  bytes[kPartLength] = '\0';
}

int32_t Measure(const KvTextureValues& v, int i) {
  return i == 0 ? v.coarseness : i == 1 ? v.contrast : v.directionality;
}

}  // namespace

KvTextureStatistics KvReadTextureStatistics(const KvDatumClass& info) {
  KvTextureStatistics s;
  const unsigned char* bytes = info.Data();
  if (bytes == nullptr || info.Size() <= kPartOffset || bytes[kPartOffset] == '\0') return s;
  char text[kPartLength + 1];
  const size_t available = info.Size() - kPartOffset;
  const size_t length = available < kPartLength ? available : kPartLength;
  std::memcpy(text, bytes + kPartOffset, length);
  text[length] = '\0';
  unsigned long count[3] = {0, 0, 0};
  // Fields after the first unreadable one keep their zero.
  std::sscanf(text, "%lf %lf %lf %lf %lf %lf %lu %lu %lu", &s.sum[0], &s.sum[1], &s.sum[2], &s.square[0],
              &s.square[1], &s.square[2], &count[0], &count[1], &count[2]);
  for (int i = 0; i < 3; ++i) {
    s.sum[i] = Finite(s.sum[i]);
    s.square[i] = Finite(s.square[i]);
    s.count[i] = static_cast<uint32_t>(count[i]);
  }
  return s;
}

bool KvWriteTextureStatistics(const KvTextureStatistics& s, KvDatumClass& info) {
  unsigned char* bytes = info.MutableData();
  if (bytes == nullptr || info.Size() < kKvTextureGlobalInfoSize) return false;
  bytes[kPartOffset - 1] = ' ';
  WriteStatistics(s, bytes + kPartOffset);
  return true;
}

KvTextureFeatureClass::KvTextureFeatureClass() {
  if (!gFamily.Prepare()) valid_ = 0;
}

KvTextureFeatureClass::~KvTextureFeatureClass() = default;
KvTextureSubPartFeatureClass::~KvTextureSubPartFeatureClass() = default;

KvParameterClass* KvTextureFeatureClass::GetParameters() { return gFamily.Parameters(); }

int KvTextureFeatureClass::ToByteString(KvDatumClass& out) {
  unsigned char* bytes = KvNewByteString(16, kClassName);
  if (bytes == nullptr) return -1;
  Encode32BE(bytes, static_cast<uint32_t>(values_.flags));
  Encode32BE(bytes + 4, static_cast<uint32_t>(values_.coarseness));
  Encode32BE(bytes + 8, static_cast<uint32_t>(values_.contrast));
  Encode32BE(bytes + 12, static_cast<uint32_t>(values_.directionality));
  out.SetBytes(16, bytes, KvOwnKvDelete);
  return 0;
}

int KvTextureFeatureClass::FromByteString(const KvDatumClass& in) {
  if (!KvCheckByteStringSize(in, 16, "KvTxture", KERR_Fatal)) return -1;
  const unsigned char* p = in.Data();
  values_.flags = static_cast<int32_t>(Load32BE(p));
  values_.coarseness = static_cast<int32_t>(Load32BE(p + 4));
  values_.contrast = static_cast<int32_t>(Load32BE(p + 8));
  values_.directionality = static_cast<int32_t>(Load32BE(p + 12));
  return 0;
}

int KvTextureFeatureClass::ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) {
  (void)parms;
  const KvGenericImageDataClass* image = KvFeatureImageData(data, kClassName);
  if (image == nullptr) return -1;
  values_ = KvTextureValues();
  switch (data->GetType()) {
    case KV_DATA_MEMORY:
    case KV_DATA_PICKER:
      return KvComputeTextureFeatures(image->GetIndexPlane(), image->GetPalette(), image->GetMaskPlane(),
                                      image->GetXSize(), image->GetYSize(), &values_);
    case KV_DATA_RECORD:
    case KV_DATA_SAMPLER:
      return FromByteString(data->GetFeatureDatum());
    default:
      // This class names both of its errors "KvTextureFeatureClass::ComputeFeature".
      return KvReportUnknownDataType("KvTextureFeatureClass:", data->GetType());
  }
}

int KvTextureFeatureClass::UpdateGlobalInfo(KvDatumClass& info, int action) {
  unsigned char* bytes = info.MutableData();
  if (bytes == nullptr || info.Size() < kKvTextureGlobalInfoSize) {
    KvError(KERR_General, KERR_NonFatal,
            "KvTextureFeatureClass::UpdateGlobalInfo: global information block too small");
    return -1;
  }
  // Read the texture part before the base update, which writes a NUL behind
  // its counters (byte 76).
  KvTextureStatistics s = KvReadTextureStatistics(info);
  if (KvFeatureClass::UpdateGlobalInfo(info, action) != 0) return -1;
  bytes[kPartOffset - 1] = ' ';
  if ((action == KV_GLOBAL_ADD_RECORD || action == KV_GLOBAL_REMOVE_RECORD) && (values_.flags & 1) == 0) {
    const double sign = action == KV_GLOBAL_ADD_RECORD ? 1.0 : -1.0;
    for (int i = 0; i < 3; ++i) {
      const double m = Measure(values_, i);
      s.sum[i] += sign * m;
      s.square[i] += sign * m * m;
      s.count[i] += action == KV_GLOBAL_ADD_RECORD ? 1u : static_cast<uint32_t>(-1);
    }
  }
  WriteStatistics(s, bytes + kPartOffset);
  return 0;
}

int KvTextureFeatureClass::ParameterUpdateFromGlobalInfo(KvParameterClass* parms, const KvDatumClass& info) {
  if (parms == nullptr) {
    KvError(KERR_General, KERR_NonFatal, "KvTextureFeatureClass::ParameterUpdateFromGlobalInfo: no parameters");
    return -1;
  }
  const KvTextureStatistics s = KvReadTextureStatistics(info);
  double variances[3];
  for (int i = 0; i < 3; ++i) {
    if (s.count[i] == 0) {
      variances[i] = 1.0;
      continue;
    }
    const double mean = s.sum[i] / s.count[i];
    // Rounding can leave a constant measure a tiny negative variance.
    variances[i] = std::max(0.0, s.square[i] / s.count[i] - mean * mean);
  }
  const char* texts[3];
  for (int i = 0; i < 3; ++i) {
    texts[i] = parms->GetParameter(kNames[i]);
    if (texts[i] == nullptr) {
      if (parms->SetParameter(kNames[i], "v") != 0) return -1;
      texts[i] = parms->GetParameter(kNames[i]);
    }
  }
  double weights[3];
  KvCoordinateWeights(texts, variances, weights);
  for (int i = 0; i < 3; ++i) parms->SetParameterNumber(kNames[i], weights[i]);
  return 0;
}

float KvTextureFeatureClass::Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) {
  (void)bound;
  if (!KvCheckDistanceOperand(other, "KvTextureFeatureClass::Distance", kClassName, kSubPartClassName)) {
    return -1.0f;
  }
  double w[3] = {0.0, 0.0, 0.0};
  if (parms != nullptr) {
    for (int i = 0; i < 3; ++i) {
      // A parameter set keeps its order, so the slot where the name was found
      // for the previous record is checked first.
      const char* name = parms->GetName(weightSlot_[i]);
      if (name == nullptr || std::strcmp(name, kNames[i]) != 0) {
        weightSlot_[i] = 0;
        while (weightSlot_[i] < parms->GetCount() && std::strcmp(parms->GetName(weightSlot_[i]), kNames[i]) != 0) {
          ++weightSlot_[i];
        }
      }
      w[i] = parms->GetNumber(weightSlot_[i]);  // 0 when the name is absent
    }
  }
  if (w[0] < kNegligibleWeight && w[1] < kNegligibleWeight && w[2] < kNegligibleWeight) {
    for (int i = 0; i < 3; ++i) {
      w[i] = kFallbackWeights[i];
      if (parms != nullptr) parms->SetParameterNumber(kNames[i], w[i]);
    }
  }
  const KvTextureValues& t = static_cast<KvTextureFeatureClass*>(other)->values_;
  double sum = 0.0;
  for (int i = 0; i < 3; ++i) {
    const double d = static_cast<double>(static_cast<int64_t>(Measure(values_, i)) - Measure(t, i));
    sum += w[i] * d * d;
  }
  return static_cast<float>(sum / 3.0);
}

float KvTextureFeatureClass::GetDistanceHintForParameters(KvFeatureClass*, KvParameterClass*, float) {
  return -1.0f;
}

float KvTextureFeatureClass::GetDistanceHintForTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long,
                                                     const char*, KvParameterClass*) {
  return -1.0f;
}

int KvTextureFeatureClass::SearchTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long, const char*,
                                       KvParameterClass*, KvKeyDatabaseClass*) {
  return -1;
}

int KvTextureFeatureClass::ToAsciiString(KvDatumClass& out) {
  constexpr size_t kSize = 1024;
  char* text = static_cast<char*>(KvNew(kSize, "KvTextureFeatureClass::ToAsciiString", KERR_Fatal));
  if (text == nullptr) return -1;
  std::snprintf(text, kSize, "%9ld %9ld %9ld", static_cast<long>(values_.coarseness),
                static_cast<long>(values_.contrast), static_cast<long>(values_.directionality));
  out.SetBytes(std::strlen(text), reinterpret_cast<unsigned char*>(text), KvOwnKvDelete);
  return 0;
}

KvFeatureClass* NewKvTextureFeatureClass() { return new (std::nothrow) KvTextureFeatureClass(); }
KvFeatureClass* NewKvTextureSubPartFeatureClass() { return new (std::nothrow) KvTextureSubPartFeatureClass(); }
