// The descriptor features' shared operations and the distance statistics of
// their global information.
//
// Global information (96 + 16 x R bytes, R the class's record size):
//   offset  size    meaning
//   0       76      the seven base counters ("%010lu" each, blank-separated)
//   76      1       NUL
//   77      1       sample format: 1 = in use; anything else = no statistics
//   78      2       records in the sample, big-endian (at most 16)
//   80      4       records offered to the sample, big-endian
//   84      4       distances measured, big-endian
//   88      8       their sum in millionths, big-endian
//   96      16 x R  the sampled records, filled from the front
//
// The sample is a reservoir: the first 16 records join it, and the n-th one
// after that replaces a slot with chance 16 / n, drawn from a hash of its
// bytes and n, so that the same builds give the same blocks. Each added record
// is measured against the records sampled so far, so the mean of the measured
// distances estimates the mean distance between two stored records. Sums are
// integers so that removing a record takes away exactly what adding the same
// distances put in.
#include "features/KvDescriptorFeature.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/KvBytes.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeatureCommon.h"

namespace {

constexpr unsigned long kFormatOffset = kKvBaseGlobalInfoSize;  // 77
constexpr unsigned long kFilledOffset = 78;
constexpr unsigned long kSeenOffset = 80;
constexpr unsigned long kPairsOffset = 84;
constexpr unsigned long kSumOffset = 88;
constexpr unsigned char kFormatInUse = 1;
constexpr double kSumScale = 1e6;
// Distances are clamped into the statistics, so that a damaged sample can
// never overflow the sum.
constexpr double kLargestSampled = 1e6;

uint64_t Load64BE(const unsigned char* p) {
  return (static_cast<uint64_t>(Load32BE(p)) << 32) | Load32BE(p + 4);
}

void Encode64BE(unsigned char* p, uint64_t v) {
  Encode32BE(p, static_cast<uint32_t>(v >> 32));
  Encode32BE(p + 4, static_cast<uint32_t>(v));
}

uint64_t Hash(const unsigned char* bytes, unsigned long size, uint32_t salt) {
  uint64_t h = 1469598103934665603ull ^ salt;
  for (unsigned long i = 0; i < size; ++i) {
    h ^= bytes[i];
    h *= 1099511628211ull;
  }
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return h;
}

uint64_t Millionths(double d) {
  if (!(d > 0.0)) return 0;
  return static_cast<uint64_t>(std::min(d, kLargestSampled) * kSumScale + 0.5);
}

// The sample part of a block, read into plain values and written back.
struct SamplePart {
  int filled = 0;
  uint32_t seen = 0;
  uint32_t pairs = 0;
  uint64_t sum = 0;

  bool Read(const unsigned char* bytes, unsigned long size, unsigned long recordSize) {
    if (bytes == nullptr || size < kKvDistanceSampleHeader || bytes[kFormatOffset] != kFormatInUse) return false;
    filled = Load16BE(bytes + kFilledOffset);
    seen = Load32BE(bytes + kSeenOffset);
    pairs = Load32BE(bytes + kPairsOffset);
    sum = Load64BE(bytes + kSumOffset);
    const unsigned long room = (size - kKvDistanceSampleHeader) / (recordSize > 0 ? recordSize : 1);
    const int slots = static_cast<int>(std::min<unsigned long>(room, kKvDistanceSampleSlots));
    if (filled > slots) filled = slots;
    if (pairs == 0) sum = 0;
    return true;
  }
  void Write(unsigned char* bytes) const {
    bytes[kFormatOffset] = kFormatInUse;
    Encode16BE(bytes + kFilledOffset, static_cast<uint16_t>(filled));
    Encode32BE(bytes + kSeenOffset, seen);
    Encode32BE(bytes + kPairsOffset, pairs);
    Encode64BE(bytes + kSumOffset, sum);
  }
};

// Records 10001 (non-fatal) with the text "<className><what>".
void Report(const char* className, const char* what) {
  char text[256];
  std::snprintf(text, sizeof text, "%s%s", className, what);
  KvError(KERR_General, KERR_NonFatal, text);
}

// The number of "Z" in a parameter set, when it is a usable factor.
double ZNumber(const KvParameterClass* parms) {
  double number = 0.0;
  if (parms == nullptr || parms->GetParameterNumber("Z", &number) != 0) return 0.0;
  return std::isfinite(number) && number > 0.0 ? number : 0.0;
}

}  // namespace

bool KvWantsDistanceNormalisation(const KvParameterClass* parms) {
  const char* text = parms != nullptr ? parms->GetParameter("Z") : nullptr;
  return text != nullptr && std::atoi(text) != 0;
}

KvDistanceStatistics KvReadDistanceStatistics(const KvDatumClass& info, unsigned long recordSize) {
  KvDistanceStatistics out;
  SamplePart part;
  if (!part.Read(info.Data(), info.Size(), recordSize)) return out;
  out.pairs = part.pairs;
  out.seen = part.seen;
  out.filled = part.filled;
  if (part.pairs > 0) out.mean = static_cast<double>(part.sum) / kSumScale / part.pairs;
  return out;
}

bool KvAddDistanceStatistics(KvDatumClass& info, const KvDatumClass& other, unsigned long recordSize) {
  unsigned char* bytes = info.MutableData();
  if (bytes == nullptr || info.Size() < kKvDistanceSampleHeader) return false;
  SamplePart mine, theirs;
  const bool mineInUse = mine.Read(bytes, info.Size(), recordSize);
  if (!theirs.Read(other.Data(), other.Size(), recordSize)) return true;
  if (!mineInUse) {
    const size_t n = std::min<size_t>(info.Size(), other.Size());
    std::memcpy(bytes + kKvBaseGlobalInfoSize, other.Data() + kKvBaseGlobalInfoSize, n - kKvBaseGlobalInfoSize);
    return true;
  }
  mine.pairs = theirs.pairs > UINT32_MAX - mine.pairs ? UINT32_MAX : mine.pairs + theirs.pairs;
  mine.seen = theirs.seen > UINT32_MAX - mine.seen ? UINT32_MAX : mine.seen + theirs.seen;
  mine.sum += theirs.sum;
  mine.Write(bytes);
  return true;
}

KvDescriptorFeatureClass::KvDescriptorFeatureClass(const char* className, const char* tag, unsigned long recordSize,
                                                   unsigned long elements, KvFeatureFamily* family)
    : className_(className), tag_(tag), recordSize_(recordSize), elements_(elements), family_(family) {
  if (!family_->Prepare()) SetValid(0);
}

KvDescriptorFeatureClass::~KvDescriptorFeatureClass() = default;

KvParameterClass* KvDescriptorFeatureClass::GetParameters() { return family_->Parameters(); }

unsigned long KvDescriptorFeatureClass::GetGlobalInfoSize() {
  return kKvDistanceSampleHeader + kKvDistanceSampleSlots * recordSize_;
}

int KvDescriptorFeatureClass::ToByteString(KvDatumClass& out) {
  unsigned char* bytes = KvNewByteString(recordSize_, className_);
  if (bytes == nullptr) return -1;
  Encode(bytes);
  out.SetBytes(recordSize_, bytes, KvOwnKvDelete);
  return 0;
}

int KvDescriptorFeatureClass::FromByteString(const KvDatumClass& in) {
  if (!KvCheckByteStringSize(in, recordSize_, tag_, KERR_Fatal)) return -1;
  Decode(in.Data());
  applied_ = false;
  return 0;
}

int KvDescriptorFeatureClass::ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) {
  (void)parms;  // read at the first distance, after the catalog's statistics
  const KvGenericImageDataClass* image = KvFeatureImageData(data, className_);
  if (image == nullptr) return -1;
  Clear();
  applied_ = false;
  switch (data->GetType()) {
    case 'e':
    case 's':
      return FromByteString(data->GetFeatureDatum());
    case 'm':
    case 'p': {
      int rc;
      try {
        rc = Compute(*image);
      } catch (const std::bad_alloc&) {
        KvError(KERR_Alloc, KERR_Fatal, -1, className_);  // size unknown here
        rc = -1;
      }
      if (rc != 0) Clear();
      return rc;
    }
    default:
      return KvReportUnknownDataType(tag_, data->GetType());
  }
}

double KvDescriptorFeatureClass::SampleDistance(const unsigned char* record, KvDescriptorFeatureClass* holder) {
  holder->Decode(record);
  const double d = holder->Measure(*this);
  return std::isfinite(d) ? d : kLargestSampled;
}

int KvDescriptorFeatureClass::UpdateGlobalInfo(KvDatumClass& info, int action) {
  unsigned char* bytes = info.MutableData();
  const unsigned long size = GetGlobalInfoSize();
  if (bytes == nullptr || info.Size() < size) {
    Report(className_, "::UpdateGlobalInfo: global information block too small");
    return -1;
  }
  SamplePart part;
  const bool inUse = part.Read(bytes, info.Size(), recordSize_);
  if (KvFeatureClass::UpdateGlobalInfo(info, action) != 0) return -1;
  if (action != KV_GLOBAL_ADD_RECORD && action != KV_GLOBAL_REMOVE_RECORD) return 0;
  if (!inUse) part = SamplePart();

  std::unique_ptr<KvDescriptorFeatureClass> holder;
  std::unique_ptr<unsigned char[]> mine;
  try {
    holder.reset(MakeHolder());
    mine.reset(new unsigned char[recordSize_]);
  } catch (const std::bad_alloc&) {
    holder.reset();
  }
  if (holder == nullptr || mine == nullptr) {
    KvError(KERR_Alloc, KERR_Fatal, -1, "KvDescriptorFeatureClass::UpdateGlobalInfo");
    return -1;
  }
  Encode(mine.get());
  unsigned char* slots = bytes + kKvDistanceSampleHeader;
  auto slot = [&](int i) { return slots + static_cast<size_t>(i) * recordSize_; };

  if (action == KV_GLOBAL_ADD_RECORD) {
    for (int i = 0; i < part.filled && part.pairs < UINT32_MAX; ++i) {
      part.sum += Millionths(SampleDistance(slot(i), holder.get()));
      ++part.pairs;
    }
    part.seen += part.seen < UINT32_MAX ? 1 : 0;
    if (part.filled < kKvDistanceSampleSlots) {
      std::memcpy(slot(part.filled++), mine.get(), recordSize_);
    } else {
      const uint64_t draw = Hash(mine.get(), recordSize_, part.seen) % part.seen;
      if (draw < static_cast<uint64_t>(kKvDistanceSampleSlots)) {
        std::memcpy(slot(static_cast<int>(draw)), mine.get(), recordSize_);
      }
    }
  } else {
    // The record leaves the sample first, so it is not measured against
    // itself.
    for (int i = 0; i < part.filled; ++i) {
      if (std::memcmp(slot(i), mine.get(), recordSize_) != 0) continue;
      --part.filled;
      if (i != part.filled) std::memcpy(slot(i), slot(part.filled), recordSize_);
      std::memset(slot(part.filled), 0, recordSize_);
      break;
    }
    if (part.seen > 0) --part.seen;
    for (int i = 0; i < part.filled && part.pairs > 0; ++i) {
      const uint64_t d = Millionths(SampleDistance(slot(i), holder.get()));
      part.sum = part.sum > d ? part.sum - d : 0;
      --part.pairs;
    }
    if (part.pairs == 0) part.sum = 0;
  }
  part.Write(bytes);
  return 0;
}

int KvDescriptorFeatureClass::ParameterUpdateFromGlobalInfo(KvParameterClass* parms, const KvDatumClass& info) {
  if (parms == nullptr) {
    Report(className_, "::ParameterUpdateFromGlobalInfo: no parameters");
    return -1;
  }
  if (parms->GetParameter("Z") == nullptr && parms->SetParameter("Z", "0") != 0) return -1;
  double factor = 0.0;
  if (KvWantsDistanceNormalisation(parms)) {
    const KvDistanceStatistics s = KvReadDistanceStatistics(info, recordSize_);
    if (s.mean > 0.0) factor = 1.0 / s.mean;
  }
  parms->SetParameterNumber("Z", factor);
  return 0;
}

double KvDescriptorFeatureClass::DistanceFactor(const KvParameterClass* parms) {
  return KvWantsDistanceNormalisation(parms) ? ZNumber(parms) : 0.0;
}

float KvDescriptorFeatureClass::Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) {
  (void)bound;
  char source[160];
  if (other == nullptr || (other->GetClassName() != className_ && !other->IsClass(className_))) {
    std::snprintf(source, sizeof source, "%s::Distance", className_);
    KvCheckDistanceOperand(nullptr, source, className_, className_);
    return -1.0f;
  }
  if (!applied_) {
    Apply(parms != nullptr ? parms : GetParameters());
    factor_ = DistanceFactor(parms);
    applied_ = true;
  }
  double d = Measure(*static_cast<const KvDescriptorFeatureClass*>(other));
  if (factor_ > 0.0) d *= factor_;
  return static_cast<float>(d);
}

float KvDescriptorFeatureClass::GetDistanceHintForParameters(KvFeatureClass*, KvParameterClass*, float) {
  return -1.0f;
}

float KvDescriptorFeatureClass::GetDistanceHintForTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long,
                                                        const char*, KvParameterClass*) {
  return -1.0f;
}

int KvDescriptorFeatureClass::SearchTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long, const char*,
                                          KvParameterClass*, KvKeyDatabaseClass*) {
  return -1;
}

int KvDescriptorFeatureClass::ToAsciiString(KvDatumClass& out) {
  // At most 11 characters per element (a sign and ten digits) and a newline
  // per sixteen.
  const size_t size = elements_ * 12 + elements_ / 16 + 2;
  char* text = static_cast<char*>(KvNew(size, "KvDescriptorFeatureClass::ToAsciiString", KERR_Fatal));
  if (text == nullptr) return -1;
  size_t n = 0;
  for (unsigned long i = 0; i < elements_; ++i) {
    n += static_cast<size_t>(std::snprintf(text + n, size - n, "%4d", Element(i)));
    if (i % 16 == 15 || i + 1 == elements_) text[n++] = '\n';
  }
  text[n] = '\0';
  out.SetBytes(static_cast<unsigned long>(n), reinterpret_cast<unsigned char*>(text), KvOwnKvDelete);
  return 0;
}
