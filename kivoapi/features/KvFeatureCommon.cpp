// Class-wide parameter sets and the common fronts of the feature operations.
#include "features/KvFeatureCommon.h"

#include <cstdio>
#include <exception>

#include "core/KvDatum.h"
#include "data/KvGenericImageData.h"
#include "features/KvFeature.h"

namespace {

// Source texts are "<class><separator><method>"; class names are short, so a
// longer text is simply cut.
struct SourceText {
  char text[160];
  SourceText(const char* prefix, const char* separator, const char* method) {
    std::snprintf(text, sizeof text, "%s%s%s", prefix, separator, method);
  }
};

}  // namespace

KvFeatureFamily::KvFeatureFamily(const KvFeatureDefault* defaults, size_t count, SetupFunction setup)
    : defaults_(defaults), count_(count), setup_(setup) {}

bool KvFeatureFamily::Prepare() {
  if (!parameters_.IsValid()) return false;
  if (ready_.load(std::memory_order_acquire)) return true;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready_.load(std::memory_order_relaxed)) return true;
    if (setup_ != nullptr && !setup_()) return false;
    for (size_t i = 0; i < count_; ++i) {
      if (parameters_.SetParameter(defaults_[i].name, defaults_[i].text) != 0) return false;
    }
    if (!parameters_.IsValid()) return false;
    ready_.store(true, std::memory_order_release);
  } catch (const std::exception&) {
    // Only a failing lock can throw here; the object is refused like any
    // other construction failure.
    return false;
  }
  return true;
}

KvGenericImageDataClass* KvFeatureImageData(KvGenericDataClass* data, const char* className) {
  if (data == nullptr || !data->IsClass("KvGenericImageDataClass")) {
    KvReportImageDataCoerce(SourceText(className, "::", "ComputeFeature").text);
    return nullptr;
  }
  return static_cast<KvGenericImageDataClass*>(data);
}

void KvReportImageDataCoerce(const char* source) {
  KvError(KERR_Coerce, KERR_NonFatal, source, "KvGenericDataClass", "KvGenericImageDataClass");
}

int KvReportUnknownDataType(const char* tag, int32_t type) {
  KvError(KERR_UnknownDataType, KERR_NonFatal, SourceText(tag, ":", "ComputeFeature").text,
          static_cast<int>(type));
  return -1;
}

bool KvCheckDistanceOperand(const KvFeatureClass* other, const char* source, const char* className,
                            const char* subClassName) {
  if (other != nullptr) {
    // The classes answer their names from string literals, so a pointer match
    // settles the common case without comparing text.
    const char* name = other->GetClassName();
    if (name == className || name == subClassName || other->IsClass(className) || other->IsClass(subClassName)) {
      return true;
    }
  }
  KvError(KERR_Coerce2, KERR_NonFatal, source, "KvFeatureClass", className, subClassName);
  return false;
}

bool KvCheckByteStringSize(const KvDatumClass& in, unsigned long expected, const char* tag,
                           KERR_SeverityType severity) {
  const unsigned long size = in.Size();
  if (size == expected && (expected == 0 || in.Data() != nullptr)) return true;
  KvError(KERR_ByteStringSize, severity, tag, static_cast<int>(size), static_cast<int>(expected));
  return false;
}

unsigned char* KvNewByteString(unsigned long size, const char* className) {
  return static_cast<unsigned char*>(KvNew(size, SourceText(className, "::", "ToByteString").text, KERR_Fatal));
}
