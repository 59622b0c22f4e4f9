// Re-ranking of a query's shortlist with the candidates' stored records, for
// callers that gather the records themselves (a catalog split into shards).
#pragma once

#include <string>
#include <vector>

class KvDatabaseClass;
class KvFeatureClass;
class KvParameterClass;

// One main feature of the query: its class object and parameter set (as the
// search used them, after the catalog's global information; both borrowed),
// and the stored record of every candidate, in the shortlist's order.
struct KvRerankTerm {
  const KvFeatureClass* feature = nullptr;
  KvParameterClass* parameters = nullptr;
  std::vector<std::string> records;
};

// The stored records of keys in table (open for reading): records[k] and
// held[k] = 1 for a key it holds, an empty record and 0 for one it does not.
void KvReadRecords(KvDatabaseClass* table, const std::vector<std::string>& keys, std::vector<std::string>* records,
                   std::vector<char>* held);

// The shortlist size the parameter sets ask to be re-ranked (the largest
// named parameter "Rerank" of them, at least maxResults), or 0 when none
// asks for it or more than 400 results are asked for.
unsigned KvRerankSize(const std::vector<const KvParameterClass*>& parameters, unsigned maxResults);

// Scores the candidates (distances: their weighted distances to the query,
// best first) by shared neighbourhoods (KvRerank.h), measuring them against
// each other with the terms' features, parameters and weights. False, with
// nothing recorded, when the shortlist holds fewer than twice the
// neighbourhood size (40), a record does not decode or a pair cannot be
// measured: the shortlist then keeps its order.
bool KvRerankCandidates(const std::vector<KvRerankTerm>& terms, const std::vector<float>& distances,
                        std::vector<double>* scores);
