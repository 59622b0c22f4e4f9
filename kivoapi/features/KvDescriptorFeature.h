// Common ground of the descriptor features (HSV histogram, edge histogram,
// colour-edge descriptor, correlogram): a fixed-size record of small
// unsigned values, computed from the image's pixels, and a global
// information block that keeps, besides the seven base counters, a sample of
// stored records and the mean distance between stored records measured with
// it. The named parameter Z=1 divides every distance by that mean, so that
// features whose distances live on different scales combine at comparable
// weights.
#pragma once

#include <cstdint>
#include <memory>

#include "features/KvFeature.h"

class KvFeatureFamily;
class KvGenericImageDataClass;

// Records kept in the global information's sample.
constexpr int kKvDistanceSampleSlots = 16;
// Global information before the sample records (see the layout in
// KvDescriptorFeature.cpp).
constexpr unsigned long kKvDistanceSampleHeader = 96;

// What the global information says about the distances of stored records.
struct KvDistanceStatistics {
  uint32_t pairs = 0;     // distances measured
  double mean = 0.0;      // their mean (0 without any)
  uint32_t seen = 0;      // records offered to the sample
  int filled = 0;         // records in the sample
};
// Reads the statistics of a descriptor's global information block; an empty,
// short or unreadable block reads as no statistics. Never fails.
KvDistanceStatistics KvReadDistanceStatistics(const KvDatumClass& info, unsigned long recordSize);
// Adds the distance statistics of other (a block of the same class) to info:
// the measured distances, their sum and the records offered add up, the
// sample stays info's (other's when info has none). Pools the blocks of
// catalogs that together hold one collection. False when info is too short.
bool KvAddDistanceStatistics(KvDatumClass& info, const KvDatumClass& other, unsigned long recordSize);

class KvDescriptorFeatureClass : public KvFeatureClass {
 public:
  ~KvDescriptorFeatureClass() override;
  KvDescriptorFeatureClass(const KvDescriptorFeatureClass&) = delete;
  KvDescriptorFeatureClass& operator=(const KvDescriptorFeatureClass&) = delete;

  int ToByteString(KvDatumClass& out) override;
  // Other than GetByteStringSize() bytes: 10008 (fatal) and the values stay.
  // Every record of the right size decodes.
  int FromByteString(const KvDatumClass& in) override;
  unsigned long GetByteStringSize() override { return recordSize_; }
  // Kinds 'm' and 'p' compute from the unmasked pixels (10003 and -1 when
  // there are none), 'e' and 's' decode the feature datum.
  int ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) override;
  // The base counters; on adding a record, its distances to the sampled
  // records join the statistics and the record may join the sample; on
  // removing one, its distances to the sample leave them (and it leaves
  // the sample if it is there). info must hold GetGlobalInfoSize() bytes.
  int UpdateGlobalInfo(KvDatumClass& info, int action) override;
  unsigned long GetGlobalInfoSize() override;
  // The class's distance, divided by the catalog's mean distance when the
  // parameter Z is 1. parms (null: the class defaults) is read at the first
  // distance after a computation or decoding. -1.0 (10013) for an operand
  // of another class.
  float Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) override;
  float GetDistanceHintForParameters(KvFeatureClass* self, KvParameterClass* parms, float deflt) override;
  float GetDistanceHintForTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                                const char* catalogName, KvParameterClass* parms) override;
  int SearchTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                  const char* catalogName, KvParameterClass* parms, KvKeyDatabaseClass* result) override;
  const char* GetDataClassName() override { return "KvGenericImageDataClass"; }
  const char* GetParameterClassName() override { return "KvParameterClass"; }
  KvParameterClass* GetParameters() override;
  unsigned long GetNumberOfElements() override { return elements_; }
  // With Z=1 stores the factor 1 / mean distance as Z's number (0 when the
  // catalog has no statistics yet, which leaves distances as they are);
  // otherwise Z's number is 0. -1 for a null parms.
  int ParameterUpdateFromGlobalInfo(KvParameterClass* parms, const KvDatumClass& info) override;
  // The elements with "%4d", sixteen to a line.
  int ToAsciiString(KvDatumClass& out) override;

  // The factor Z put into parms (0: none). For scan kernels.
  static double DistanceFactor(const KvParameterClass* parms);

 protected:
  KvDescriptorFeatureClass(const char* className, const char* tag, unsigned long recordSize,
                           unsigned long elements, KvFeatureFamily* family);

  // Values to and from the record (recordSize bytes).
  virtual void Encode(unsigned char* bytes) const = 0;
  virtual void Decode(const unsigned char* bytes) = 0;
  // Zeroes the values.
  virtual void Clear() = 0;
  // Computes the values from the image's pixels. 0, or -1 with the error
  // recorded.
  virtual int Compute(const KvGenericImageDataClass& image) = 0;
  // Reads the class's own parameters (parms may be null: the defaults).
  virtual void Apply(const KvParameterClass* parms) { (void)parms; }
  // The class's distance of other (same class) from this, as the class's
  // parameters last applied say; never negative.
  virtual double Measure(const KvDescriptorFeatureClass& other) const = 0;
  // Element i for the printable form.
  virtual int Element(unsigned long i) const = 0;
  // A new object of the same class with default parameters, or null.
  virtual KvDescriptorFeatureClass* MakeHolder() const = 0;

 private:
  // The class's distance with its default parameters, for the statistics.
  double SampleDistance(const unsigned char* record, KvDescriptorFeatureClass* holder);

  const char* className_;
  const char* tag_;
  unsigned long recordSize_;
  unsigned long elements_;
  KvFeatureFamily* family_;
  bool applied_ = false;
  double factor_ = 0.0;
};

// The named parameter "Z" of a set: true when its text asks for the
// normalised distance.
bool KvWantsDistanceNormalisation(const KvParameterClass* parms);
