// Behaviour shared by the feature classes: the class-wide parameter set of a
// feature family with its one-time set-up, and the common fronts of
// ComputeFeature, Distance, ToByteString and FromByteString.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/KvError.h"
#include "data/KvParameter.h"

class KvDatumClass;
class KvFeatureClass;
class KvGenericDataClass;
class KvGenericImageDataClass;

// One default (name, text) pair of a class-wide parameter set.
struct KvFeatureDefault {
  const char* name;
  const char* text;
};

// The state one feature family (a class and its sub-part variant) shares: its
// parameter set, built with the library and destroyed with it, and the flag of
// its one-time set-up. Define one per family at namespace scope.
class KvFeatureFamily {
 public:
  // setup may be null (no one-time work); it returns false on failure (with
  // the error recorded). defaults must outlive the family.
  using SetupFunction = bool (*)();
  KvFeatureFamily(const KvFeatureDefault* defaults, size_t count, SetupFunction setup);
  KvFeatureFamily(const KvFeatureFamily&) = delete;
  KvFeatureFamily& operator=(const KvFeatureFamily&) = delete;

  KvParameterClass* Parameters() { return &parameters_; }

  // The construction steps every feature constructor shares: false when the
  // parameter set is invalid, or when the one-time set-up fails or leaves the
  // set invalid. The set-up runs until it has succeeded once per process (a
  // failure leaves it to the next constructor); it is serialised, so threads
  // that construct features at the same time run it exactly once.
  bool Prepare();

 private:
  KvParameterClass parameters_;
  const KvFeatureDefault* defaults_;
  size_t count_;
  SetupFunction setup_;
  std::mutex mutex_;
  std::atomic<bool> ready_{false};
};

// ComputeFeature step 1: data as an image data object, or null after
// recording 10012 (non-fatal) with the source "<className>::ComputeFeature".
KvGenericImageDataClass* KvFeatureImageData(KvGenericDataClass* data, const char* className);
// Records 10012 with the given source text, "KvGenericDataClass" and
// "KvGenericImageDataClass".
void KvReportImageDataCoerce(const char* source);
// ComputeFeature step 3 for a kind other than 'e', 's', 'm', 'p': records
// 10014 (non-fatal) with "<tag>:ComputeFeature" and the kind. Returns -1.
int KvReportUnknownDataType(const char* tag, int32_t type);

// Distance front: true when other is a className or subClassName object;
// otherwise records 10013 (non-fatal) with source, "KvFeatureClass",
// className and subClassName, and returns false.
bool KvCheckDistanceOperand(const KvFeatureClass* other, const char* source, const char* className,
                            const char* subClassName);

// FromByteString front: true when in holds exactly expected bytes; otherwise
// records 10008 with tag, the size read and the size expected at the given
// severity, and returns false.
bool KvCheckByteStringSize(const KvDatumClass& in, unsigned long expected, const char* tag,
                           KERR_SeverityType severity);

// ToByteString buffer of size bytes (KvNew, fatal, source
// "<className>::ToByteString"), or null.
unsigned char* KvNewByteString(unsigned long size, const char* className);
