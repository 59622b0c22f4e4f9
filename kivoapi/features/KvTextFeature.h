// The keyword feature: the keyword text that accompanies an image, matched
// word by word (as word prefixes) against a query's keywords, with its own
// search of a feature table that returns every matching key.
#pragma once

#include <cstdint>
#include <string_view>

#include "features/KvFeature.h"

class KvTextFeatureClass : public KvFeatureClass {
 public:
  KvTextFeatureClass();
  ~KvTextFeatureClass() override;
  KvTextFeatureClass(const KvTextFeatureClass&) = delete;
  KvTextFeatureClass& operator=(const KvTextFeatureClass&) = delete;

  const char* GetClassName() const override { return "KvTextFeatureClass"; }

  // The keyword text with its NUL; -1 when it is empty.
  int ToByteString(KvDatumClass& out) override;
  // Takes a copy of in; -1 when in is empty.
  int FromByteString(const KvDatumClass& in) override;
  // Keywords of a memory or picker image, or the stored text of a record.
  // On a query-side data object also builds the query words ("+" between
  // words asks for all of them, "," or blanks for any).
  int ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) override;
  // 1 - found / words for any-word queries, 0 when an all-words query is
  // satisfied; -1.0 for no match or a wrong operand class (10013).
  float Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) override;
  float GetDistanceHintForParameters(KvFeatureClass* self, KvParameterClass* parms, float deflt) override;
  float GetDistanceHintForTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                                const char* catalogName, KvParameterClass* parms) override;
  // Inserts every key of table (or of restriction, fetched from table) whose
  // keywords match into result, with its distance, and marks result
  // complete. n, catalogName and parms are not used. 0, or -1 when a step,
  // fetch, decode or insertion fails.
  int SearchTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                  const char* catalogName, KvParameterClass* parms, KvKeyDatabaseClass* result) override;
  const char* GetDataClassName() override { return "KvGenericImageDataClass"; }
  const char* GetParameterClassName() override { return "KvParameterClass"; }
  KvParameterClass* GetParameters() override;
  int ToAsciiString(KvDatumClass& out) override;

  const KvDatumClass& GetKeywords() const { return keywords_; }
  const KvDatumClass& GetQueryWords() const { return query_; }
  int32_t GetAllWords() const { return allWords_; }

 private:
  void Reset();
  // Distance of a stored keyword text from this query's words.
  float MatchWords(std::string_view stored) const;
  int CopyKeywords(KvDatumClass& out, const char* tag) const;

  KvDatumClass keywords_;
  KvDatumClass query_;
  int32_t allWords_ = 0;
};
