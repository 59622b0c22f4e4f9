// The sketch layout feature: class set-up, byte string, computation front
// and distance front.
//
// Byte string (columns x rows + 4 bytes; 112 for the 12 x 9 grid):
//   offset 0  size 2  columns, signed 16-bit big-endian
//   offset 2  size 2  rows, signed 16-bit big-endian
//   offset 4  size columns x rows  one byte per cell, row by row from the
//            top, each row from the left: the low byte of the bin number
//            (an empty cell, -1, is written as 255 and reads back as bin 255)
#include "features/KvDrawFeature.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <new>

#include "core/KvBytes.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvColorSpace.h"
#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"

namespace {

constexpr size_t kAsciiBufferSize = 4096;

constexpr const char* kClassName = "KvDrawFeatureClass";

int32_t gColorDistance[256 * 256];
std::atomic<bool> gColorDistanceReady{false};

// D(i, j) = trunc(65536 * d2(i, j) / dmax2) over the bin colours' NewMTMV
// coordinates, so the layout search adds integers only.
bool BuildColorDistanceTable() {
  static double d2[256 * 256];
  double largest = 0.0;
  for (int i = 0; i < 256; ++i) {
    for (int j = i; j < 256; ++j) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) {
        const double d = kKvHistogramBinTable[i].c[k] - kKvHistogramBinTable[j].c[k];
        sum += d * d;
      }
      d2[i * 256 + j] = d2[j * 256 + i] = sum;
      if (sum > largest) largest = sum;
    }
  }
  for (int i = 0; i < 256 * 256; ++i) {
    gColorDistance[i] =
        largest > 0.0 ? static_cast<int32_t>(kKvDrawDistanceScale * d2[i] / largest) : 0;
  }
  gColorDistanceReady.store(true, std::memory_order_release);
  return true;
}

const KvFeatureDefault kDefaults[] = {
    {"MaxOffset", "."}, {"Halo", "."}, {"Burst", "."}, {"BorderWeight", "0.5"}, {"BurstScale", "15"}};
KvFeatureFamily gFamily(kDefaults, 5, BuildColorDistanceTable);

}  // namespace

void KvDrawFeatureClass::KvDeleter::operator()(void* p) const { KvDelete(p); }

const int32_t* KvDrawFeatureClass::ColorDistanceTable() {
  return gColorDistanceReady.load(std::memory_order_acquire) ? gColorDistance : nullptr;
}

KvDrawFeatureClass::KvDrawFeatureClass() {
  if (!gFamily.Prepare()) {
    valid_ = 0;
    return;
  }
  Reset();
}

KvDrawFeatureClass::~KvDrawFeatureClass() { FreeElements(); }

KvParameterClass* KvDrawFeatureClass::GetParameters() { return gFamily.Parameters(); }

void KvDrawFeatureClass::Reset() {
  FreeElements();
  columns_ = kKvDrawColumns;
  rows_ = kKvDrawRows;
  std::memset(cells_, 0, sizeof cells_);
  picker_ = false;
  maxOffset_ = 0;
  burst_ = true;
  halo_ = false;
  mirror_ = false;
  burstScale_ = 15;
  borderWeight_ = 0.5;
  for (double& w : cellWeights_) w = 1.0;
}

unsigned long KvDrawFeatureClass::GetByteStringSize() {
  return static_cast<unsigned long>(columns_) * static_cast<unsigned long>(rows_) + 4;
}

int KvDrawFeatureClass::ToByteString(KvDatumClass& out) {
  const unsigned long size = GetByteStringSize();
  unsigned char* bytes = KvNewByteString(size, kClassName);
  if (bytes == nullptr) return -1;
  Encode16BE(bytes, static_cast<uint16_t>(columns_));
  Encode16BE(bytes + 2, static_cast<uint16_t>(rows_));
  const int n = columns_ * rows_;
  for (int i = 0; i < n; ++i) bytes[4 + i] = static_cast<unsigned char>(cells_[i] & 0xFF);
  out.SetBytes(size, bytes, KvOwnKvDelete);
  return 0;
}

int KvDrawFeatureClass::FromByteString(const KvDatumClass& in) {
  const unsigned long size = in.Size();
  const unsigned char* p = in.Data();
  const unsigned long expected = GetByteStringSize();
  uint16_t c = 0;
  uint16_t r = 0;
  const bool header = size == expected && Decode16BE(p, p + size, &c) && Decode16BE(p + 2, p + size, &r);
  const int columns = static_cast<int16_t>(c);
  const int rows = static_cast<int16_t>(r);
  // The grid in the string must be positive and fill it exactly.
  if (!header || columns <= 0 || rows <= 0 || static_cast<unsigned long>(columns) * rows + 4 != size) {
    KvError(KERR_ByteStringSize, KERR_NonFatal, "KvDraw", static_cast<int>(size), static_cast<int>(expected));
    return -1;
  }
  FreeElements();
  columns_ = static_cast<int16_t>(columns);
  rows_ = static_cast<int16_t>(rows);
  for (int i = 0; i < columns * rows; ++i) cells_[i] = p[4 + i];
  return 0;
}

int KvDrawFeatureClass::ToAsciiString(KvDatumClass& out) {
  char* text = static_cast<char*>(KvNew(kAsciiBufferSize, "KvDrawFeatureClass::ToAsciiString", KERR_Fatal));
  if (text == nullptr) return -1;
  size_t used = static_cast<size_t>(std::snprintf(text, kAsciiBufferSize, "%4d %4d\n", columns_, rows_));
  for (int y = 0; y < rows_; ++y) {
    for (int x = 0; x < columns_ && used < kAsciiBufferSize; ++x) {
      used += static_cast<size_t>(std::snprintf(text + used, kAsciiBufferSize - used, "%4d", GetCell(y, x)));
    }
    if (used < kAsciiBufferSize) used += static_cast<size_t>(std::snprintf(text + used, kAsciiBufferSize - used, "\n"));
  }
  out.SetBytes(std::strlen(text), reinterpret_cast<unsigned char*>(text), KvOwnKvDelete);
  return 0;
}

int KvDrawFeatureClass::ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) {
  KvGenericImageDataClass* image = KvFeatureImageData(data, kClassName);
  if (image == nullptr) return -1;
  Reset();
  int status = 0;
  switch (data->GetType()) {
    case KV_DATA_PICKER:
      picker_ = true;
      [[fallthrough]];
    case KV_DATA_MEMORY:
      image_ = image;
      status = ComputeLayoutFeatures();
      image_ = nullptr;
      break;
    case KV_DATA_RECORD:
    case KV_DATA_SAMPLER:
      status = FromByteString(data->GetFeatureDatum());
      break;
    default:
      // This class names the error "KvDrawFeatureClass::ComputeFeature".
      return KvReportUnknownDataType("KvDrawFeatureClass:", data->GetType());
  }
  if (status != 0) return status;
  if (data->GetQuerySide() == True) return PostProcessQueryFeatures(parms);
  return 0;
}

float KvDrawFeatureClass::Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) {
  (void)bound;
  if (other == nullptr || !other->IsClass("KvDrawFeatureClass")) {
    KvError(KERR_Coerce, KERR_NonFatal, "KvDrawFeatureClass::Distance", "KvFeatureClass", "KvDrawFeatureClass");
    return -1.0f;
  }
  if (!elementsBuilt_ && PostProcessQueryFeatures(parms) != 0) return -1.0f;
  auto* stored = static_cast<KvDrawFeatureClass*>(other);
  const float direct = LayoutDist(stored);
  if (!mirror_ || !(direct > 0.0f)) return direct;
  if (mirrored_ == nullptr) {
    mirrored_.reset(new (std::nothrow) KvDrawFeatureClass());
    if (mirrored_ == nullptr || !mirrored_->IsValid()) {
      mirrored_.reset();
      KvError(KERR_Alloc, KERR_Fatal, static_cast<int>(sizeof(KvDrawFeatureClass)), "KvDrawFeatureClass::Distance");
      return -1.0f;
    }
  }
  // A grid read from a byte string has at most kKvDrawMaxCells cells.
  const int columns = stored->columns_, rows = stored->rows_;
  mirrored_->columns_ = stored->columns_;
  mirrored_->rows_ = stored->rows_;
  for (int y = 0; y < rows; ++y) {
    const int16_t* from = stored->cells_ + y * columns;
    int16_t* to = mirrored_->cells_ + y * columns;
    for (int x = 0; x < columns; ++x) to[x] = from[columns - 1 - x];
  }
  const float flipped = LayoutDist(mirrored_.get());
  return flipped >= 0.0f && flipped < direct ? flipped : direct;
}

float KvDrawFeatureClass::GetDistanceHintForParameters(KvFeatureClass*, KvParameterClass*, float) {
  return -1.0f;
}

float KvDrawFeatureClass::GetDistanceHintForTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long,
                                                  const char*, KvParameterClass*) {
  return -1.0f;
}

int KvDrawFeatureClass::SearchTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long, const char*,
                                    KvParameterClass*, KvKeyDatabaseClass*) {
  return 1;
}

KvFeatureClass* NewKvDrawFeatureClass() { return new (std::nothrow) KvDrawFeatureClass(); }
