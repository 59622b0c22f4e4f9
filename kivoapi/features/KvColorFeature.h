// The average colour feature: the mean NewMTMV colour of the unmasked pixels
// as three fixed-point integers (scale 16384), compared by squared Euclidean
// distance. The sub-part variant is the same feature over one image region.
#pragma once

#include <cstdint>

#include "features/KvFeature.h"

class KvColorFeatureClass : public KvFeatureClass {
 public:
  // Fixed-point scale of the stored means.
  static constexpr int32_t kScale = 16384;

  KvColorFeatureClass();
  ~KvColorFeatureClass() override;
  KvColorFeatureClass(const KvColorFeatureClass&) = delete;
  KvColorFeatureClass& operator=(const KvColorFeatureClass&) = delete;

  const char* GetClassName() const override { return "KvColorFeatureClass"; }
  // 12 bytes: the three values as big-endian signed 32-bit integers.
  int ToByteString(KvDatumClass& out) override;
  int FromByteString(const KvDatumClass& in) override;
  unsigned long GetByteStringSize() override { return 12; }
  // Kinds 'm' and 'p' compute from the pixels, 'e' and 's' decode the data
  // object's feature datum; parms is not used.
  int ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) override;
  // Squared distance of the two means in coordinate units; -1.0 (10013) for
  // an operand of another family. parms and bound are not used.
  float Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) override;
  float GetDistanceHintForParameters(KvFeatureClass* self, KvParameterClass* parms, float deflt) override;
  float GetDistanceHintForTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                                const char* catalogName, KvParameterClass* parms) override;
  int SearchTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                  const char* catalogName, KvParameterClass* parms, KvKeyDatabaseClass* result) override;
  const char* GetDataClassName() override { return "KvGenericImageDataClass"; }
  const char* GetParameterClassName() override { return "KvParameterClass"; }
  KvParameterClass* GetParameters() override;
  unsigned long GetNumberOfElements() override { return 3; }
  // "%9ld %9ld %9ld".
  int ToAsciiString(KvDatumClass& out) override;

  // Mean colour of the unmasked pixels of an image data object. 0, or -1
  // (10012 for another data class, 10003 when no pixel is unmasked).
  int ComputeColorFeatures(KvGenericDataClass* data);

  const int32_t* GetValues() const { return value_; }

 private:
  int32_t value_[3] = {0, 0, 0};
};

class KvColorSubPartFeatureClass : public KvColorFeatureClass {
 public:
  KvColorSubPartFeatureClass() = default;
  ~KvColorSubPartFeatureClass() override;
  const char* GetClassName() const override { return "KvColorSubPartFeatureClass"; }
  Boolean IsSubPartFeature() override { return True; }
};
