// Query objects: a query text or the query's own objects evaluated against a
// catalog, answering the best N keys by weighted distance.
#pragma once

#include <cstdint>

#include "core/KvBase.h"
#include "core/KvDatum.h"

class KvCatalogClass;
class KvConnectClass;
class KvDatabaseClass;
class KvFeatureClass;
class KvGenericDataClass;
class KvKeyDatabaseClass;
class KvParameterClass;

class KvQueryClass : public KvBaseClass {
 public:
  KvQueryClass() = default;
  ~KvQueryClass() override;
  KvQueryClass(const KvQueryClass&) = delete;
  KvQueryClass& operator=(const KvQueryClass&) = delete;

  virtual int GetStatus() const { return status_; }
  // The result set (owned by the query object until its next evaluation), or
  // null on failure (GetStatus and the error record tell why).
  virtual KvKeyDatabaseClass* Evaluate(const char* queryText) = 0;

 protected:
  KvKeyDatabaseClass* result_ = nullptr;
  int status_ = 0;
};

class KvQueryServerClass : public KvQueryClass {
 public:
  // With a null connection the process-wide connection is used. Invalid when
  // there is no connection or no catalog object.
  explicit KvQueryServerClass(const KvConnectClass* connection);
  ~KvQueryServerClass() override;

  uint32_t GetClassId() const override { return 877543; }
  const char* GetClassName() const override { return "KvQueryServerClass"; }

  KvKeyDatabaseClass* Evaluate(const char* queryText) override;
  // Evaluates objects the caller made (and keeps); the two restriction sets
  // pass to the query object.
  virtual KvKeyDatabaseClass* EvaluateObjects(unsigned long n, KvCatalogClass* catalog,
                                              KvKeyDatabaseClass* restriction,
                                              KvKeyDatabaseClass* subPartRestriction, int count,
                                              KvGenericDataClass** data, KvFeatureClass** features,
                                              KvParameterClass** parameterSets);
  // Unweighted distance from the first main feature of the last evaluation to
  // the stored record of key.
  virtual int KeyDistance(const char* key, float bound, float* distance);
  // Stored records the last evaluation left out because they could not be
  // measured (a record that does not decode, or a negative distance such as
  // that of a histogram stored without its self term). The evaluation still
  // succeeds; when there were any, it also records their count at severity 0.
  uint64_t GetUnmeasuredRecords() const;

  // Private state; opaque outside the query sources.
  struct State;

 private:
  // Releases what the previous evaluation left. With keepResult the previous
  // result set is handed to the caller instead of destroyed.
  void Reset(bool keepResult);
  // Plans the features and runs the search or the cascade of searches.
  KvKeyDatabaseClass* Run();

  State* state_ = nullptr;
};

// Writes a query text (header, optional restriction sets, one term per
// feature) into out. 0, or the failing step's result; out is untouched then.
int KvBuildQueryString(int maxResults, const char* catalogName, KvKeyDatabaseClass* restriction,
                       KvKeyDatabaseClass* subPartRestriction, int count, const char** featureNames,
                       KvParameterClass** parameterSets, KvGenericDataClass** dataObjects,
                       KvDatumClass& out);
