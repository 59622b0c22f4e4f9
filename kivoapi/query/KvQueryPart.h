// A query text evaluated over one part of a catalog whose records are split
// by key (a shard), one search at a time, so that the caller can merge the
// answers of every part between the searches. The next search of a cascade
// then ranks the merged best N of all parts, exactly as the same cascade over
// one catalog holding every part ranks that catalog's best N.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "query/KvQuery.h"
#include "query/KvQueryInternal.h"

class KvCatalogClass;
class KvConnectClass;
class KvKeyDatabaseClass;

class KvQueryPartClass {
 public:
  // catalog is borrowed and must outlive this object: the part's catalog
  // object, which the parse opens on the text's catalog name and from which
  // the features take their global information.
  KvQueryPartClass(const KvConnectClass* connection, KvCatalogClass* catalog);
  ~KvQueryPartClass();
  KvQueryPartClass(const KvQueryPartClass&) = delete;
  KvQueryPartClass& operator=(const KvQueryPartClass&) = delete;

  // Parses text, which names the part's catalog, and plans its searches. 0,
  // or the failing step's status with the error recorded.
  int Parse(const char* text);
  size_t Searches() const { return stages_.size(); }
  uint32_t MaxResults() const { return state_.maxResults; }
  // Runs search i (in order, after Parse): *result gets a new set owned by
  // the caller, and *everyMatch tells whether it holds every match of a
  // feature's own search (however many) instead of the best N. 0, or the
  // status with the error recorded.
  int RunSearch(size_t i, KvKeyDatabaseClass** result, bool* everyMatch);
  // Takes over merged, the answer of search i over every part: what the
  // later searches of its kind rank.
  void SetMerged(size_t i, KvKeyDatabaseClass* merged);

  // The shortlist a query asking for re-ranking (KvQueryRerank.h) searches
  // for: every part answers that many by distance, and the merged shortlist
  // is re-ranked once (Rerank). 0 when the query does not ask for it.
  uint32_t Shortlist() const;
  size_t MainFeatures() const { return state_.main.size(); }
  // This part's stored records of keys for every main feature, by feature
  // then key: found[k] tells whether the part holds key k (a key it does not
  // hold gets empty records). 0, or -1 with the error recorded when a table
  // cannot be read.
  int ReadRecords(const std::vector<std::string>& keys, std::vector<std::vector<std::string>>* records,
                  std::vector<char>* found);
  // Scores the merged shortlist (distances, best first; records as
  // ReadRecords gives them, of every part) with this part's features and
  // parameters. False when the shortlist keeps its order.
  bool Rerank(const std::vector<std::vector<std::string>>& records, const std::vector<float>& distances,
              std::vector<double>* scores);

 private:
  KvQueryServerClass::State state_;
  std::vector<KvQueryStage> stages_;
};
