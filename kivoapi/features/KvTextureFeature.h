// The texture feature: Tamura coarseness, contrast and directionality of the
// unmasked gray levels, compared by a squared distance weighted from the
// spread of each measure over the catalog.
#pragma once

#include "features/KvFeature.h"
#include "features/KvTextureCompute.h"

// Size of the texture feature's global information: the seven base counters,
// a blank, six sums and three counts, and a NUL.
constexpr unsigned long kKvTextureGlobalInfoSize = 260;

// Running sums of the stored measures kept in the global information.
struct KvTextureStatistics {
  double sum[3] = {0.0, 0.0, 0.0};     // coarseness, contrast, directionality
  double square[3] = {0.0, 0.0, 0.0};  // sums of their squares
  uint32_t count[3] = {0, 0, 0};
};

// Reads the texture part of a global information block (an empty or absent
// part, or a field that cannot be read, counts as zero). Never fails.
KvTextureStatistics KvReadTextureStatistics(const KvDatumClass& info);
// Writes s as the texture part of info (a block of kKvTextureGlobalInfoSize
// bytes whose counters are already there). False for a shorter block.
bool KvWriteTextureStatistics(const KvTextureStatistics& s, KvDatumClass& info);

class KvTextureFeatureClass : public KvFeatureClass {
 public:
  KvTextureFeatureClass();
  ~KvTextureFeatureClass() override;
  KvTextureFeatureClass(const KvTextureFeatureClass&) = delete;
  KvTextureFeatureClass& operator=(const KvTextureFeatureClass&) = delete;

  const char* GetClassName() const override { return "KvTextureFeatureClass"; }

  // flags, coarseness, contrast, directionality: 32-bit big-endian each.
  int ToByteString(KvDatumClass& out) override;
  // Other than 16 bytes: 10008 (fatal) and the values stay.
  int FromByteString(const KvDatumClass& in) override;
  unsigned long GetByteStringSize() override { return 16; }
  int ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) override;
  // The base counters, then (actions 0 and 1) this feature's measures added
  // to or taken from the running sums. info must hold 260 bytes.
  int UpdateGlobalInfo(KvDatumClass& info, int action) override;
  unsigned long GetGlobalInfoSize() override { return kKvTextureGlobalInfoSize; }
  // (w0 dCoarseness^2 + w1 dContrast^2 + w2 dDirectionality^2) / 3 in
  // hundredths, the weights being parms' numbers; -1.0 for a wrong operand.
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
  // Sets the three weights of parms (as its numbers) from their texts and
  // the catalog's variances of the measures.
  int ParameterUpdateFromGlobalInfo(KvParameterClass* parms, const KvDatumClass& info) override;
  // "%9ld %9ld %9ld" of coarseness, contrast and directionality.
  int ToAsciiString(KvDatumClass& out) override;

  const KvTextureValues& GetValues() const { return values_; }
  void SetValues(const KvTextureValues& values) { values_ = values; }

 private:
  KvTextureValues values_;
  // Where the three weights were last found in the distance's parameter set.
  uint32_t weightSlot_[3] = {0, 1, 2};
};

class KvTextureSubPartFeatureClass : public KvTextureFeatureClass {
 public:
  ~KvTextureSubPartFeatureClass() override;
  const char* GetClassName() const override { return "KvTextureSubPartFeatureClass"; }
  Boolean IsSubPartFeature() override { return True; }
};
