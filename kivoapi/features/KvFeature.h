// The feature interface: computed from a data object, stored as a fixed-size
// big-endian byte string, compared with another feature of its family by a
// distance, and summarised per catalog in a global information block.
#pragma once

#include <cstdint>

#include "core/KvBase.h"
#include "core/KvDatum.h"

class KvGenericDataClass;
class KvParameterClass;
class KvDatabaseClass;
class KvKeyDatabaseClass;

// Actions of UpdateGlobalInfo on the seven base counters c0..c6.
enum : int {
  KV_GLOBAL_ADD_RECORD = 0,     // c0 += 1
  KV_GLOBAL_REMOVE_RECORD = 1,  // c0 -= 1
};

// Size of the base global information block: seven "%010lu" counters
// separated by blanks and a NUL.
constexpr unsigned long kKvBaseGlobalInfoSize = 77;

class KvFeatureClass : public KvBaseClass {
 public:
  uint32_t GetClassId() const override { return 331007; }

  // Hands out a new buffer of the feature's byte string (released with
  // KvDelete by the datum). 0, or -1 when it cannot be allocated.
  virtual int ToByteString(KvDatumClass& out) = 0;
  // Decodes a byte string; a wrong size records 10008 and leaves the values.
  virtual int FromByteString(const KvDatumClass& in) = 0;
  // Fixed byte-string size; 0 for variable-length features.
  virtual unsigned long GetByteStringSize() { return 0; }
  virtual int ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) = 0;
  // Applies action to the seven counters of info (a block of at least 77
  // bytes; an empty text counts as all zero) and writes them back. 0.
  virtual int UpdateGlobalInfo(KvDatumClass& info, int action);
  virtual unsigned long GetGlobalInfoSize() { return kKvBaseGlobalInfoSize; }
  // Non-negative distance of other from this (query) feature, -1.0 on failure.
  virtual float Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) = 0;
  virtual float GetDistanceHintForParameters(KvFeatureClass* self, KvParameterClass* parms,
                                             float deflt) = 0;
  virtual float GetDistanceHintForTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction,
                                        unsigned long n, const char* catalogName,
                                        KvParameterClass* parms) = 0;
  // A feature's own search of a table; -1 means "not handled": the evaluator
  // walks the table itself.
  virtual int SearchTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                          const char* catalogName, KvParameterClass* parms,
                          KvKeyDatabaseClass* result) = 0;
  virtual const char* GetDataClassName() = 0;
  virtual const char* GetParameterClassName() = 0;
  // The class-wide parameter set (owned by the class, never released by
  // callers).
  virtual KvParameterClass* GetParameters() = 0;
  virtual unsigned long GetNumberOfElements() { return 0; }
  virtual int ParameterUpdateFromGlobalInfo(KvParameterClass* parms, const KvDatumClass& info);
  virtual Boolean IsSubPartFeature() { return False; }
  // Printable text of the feature (default: hex of the byte string).
  virtual int ToAsciiString(KvDatumClass& out);
};
