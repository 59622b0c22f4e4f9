// Re-ranking of a search's shortlist by shared neighbourhoods (KvRerank.h),
// for queries whose main features ask for it with the named parameter
// "Rerank" (the shortlist size).
//
// The search answers the shortlist by weighted distance; the candidates'
// stored records are then read again and measured against each other with
// the query's own features, parameters and weights, so that the distances
// between candidates are those the query would give for them.
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "core/KvString.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvBestList.h"
#include "query/KvQueryInternal.h"
#include "query/KvQueryRerank.h"
#include "query/KvQueryWalk.h"
#include "query/KvQueryRules.h"
#include "query/KvRerank.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

// The most candidates re-ranked: the pairs measured grow with its square.
constexpr uint32_t kMostReranked = 400;

struct Candidate {
  std::string key;
  float distance;
};

bool ReadSet(KvKeyDatabaseClass* set, std::vector<Candidate>* out) {
  KvOwned<KvDbIteratorClass> it(set->NewIterator());
  if (it == nullptr) return false;
  KvDatumClass key, distance;
  while (it->HasCurrent()) {
    if (it->NextView(key, distance) != 0) return false;
    const char* k = reinterpret_cast<const char*>(key.Data());
    out->push_back({k != nullptr ? std::string(k, strnlen(k, key.Size())) : std::string(), set->GetDistance(distance)});
  }
  return true;
}

// One feature's records of the candidates: each decoded as a stored record
// and made into a query feature (the way a query by stored key makes it).
struct Measured {
  std::vector<std::unique_ptr<KvFeatureClass>> stored, asQuery;
};

bool Load(const KvRerankTerm& term, Measured* out) {
  const char* name = term.feature->GetClassName();
  for (const std::string& bytes : term.records) {
    KvDatumClass record;
    record.SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), KvOwnNone);
    std::unique_ptr<KvFeatureClass> stored(KvCreateFeatureClass(name));
    std::unique_ptr<KvFeatureClass> query(KvCreateFeatureClass(name));
    const bool decoded = stored != nullptr && query != nullptr && stored->FromByteString(record) == 0;
    int rc = -1;
    if (decoded) {
      KvGenericImageDataClass data;
      data.SetType(KV_DATA_RECORD);
      data.GetFeatureDatum().SetBytes(record.Size(), const_cast<unsigned char*>(record.Data()), KvOwnNone);
      data.SetQuerySide(True);
      rc = query->ComputeFeature(&data, term.parameters);
      data.GetFeatureDatum().SetBytes(0, nullptr, KvOwnNone);
    }
    record.SetBytes(0, nullptr, KvOwnNone);
    if (rc != 0) return false;
    out->stored.push_back(std::move(stored));
    out->asQuery.push_back(std::move(query));
  }
  return true;
}

// Adds the candidates' weighted distances to each other under term to d (m x
// m, the query first); false when a pair cannot be measured.
bool Between(const KvRerankTerm& term, const Measured& measured, size_t m, std::vector<double>* d) {
  const KvTermRule rule = KvMakeTermRule(term.feature, term.parameters);
  const size_t count = m - 1;
  for (size_t i = 0; i < count; ++i) {
    for (size_t j = i + 1; j < count; ++j) {
      const float distance = measured.asQuery[i]->Distance(measured.stored[j].get(), term.parameters, FLT_MAX);
      double weighted = 0.0;
      if (KvWeighDistance(rule, distance, &weighted) != KvTermOutcome::kScored) return false;
      (*d)[(i + 1) * m + j + 1] += weighted;
      (*d)[(j + 1) * m + i + 1] += weighted;
    }
  }
  return true;
}

// Reads the candidates' records of a feature from its open table.
bool ReadRecords(KvDatabaseClass* table, const std::vector<Candidate>& candidates, std::vector<std::string>* out) {
  KvDatumClass record;
  for (const Candidate& c : candidates) {
    KvDatumClass key;
    key.SetBytes(c.key.size() + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(c.key.c_str())), KvOwnNone);
    const int rc = table->Get(key, record);
    key.SetBytes(0, nullptr, KvOwnNone);
    if (rc != 0) return false;
    out->emplace_back(reinterpret_cast<const char*>(record.Data()), record.Size());
  }
  return true;
}

// Opens the features' tables for reading, and closes them again.
class Tables {
 public:
  ~Tables() {
    // Read only: a failed close loses nothing.
    for (KvDatabaseClass* table : open_) table->Close();
  }
  bool Open(const KvSearchContext& context, const std::vector<KvQuerySlot*>& main) {
    KvStringClass name(64ul, True);
    for (KvQuerySlot* slot : main) {
      if (context.catalog->GetFeatureTableName(slot->feature->GetClassName(), name) != 0) return false;
      if (slot->table->Open(name.c_str(), "r") != 0) return false;
      open_.push_back(slot->table);
    }
    return true;
  }

 private:
  std::vector<KvDatabaseClass*> open_;
};

}  // namespace

unsigned KvRerankSize(const std::vector<const KvParameterClass*>& parameters, unsigned maxResults) {
  double asked = 0.0;
  for (const KvParameterClass* p : parameters) {
    const char* text = p != nullptr ? p->GetParameter("Rerank") : nullptr;
    if (text == nullptr) continue;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end != text && v > asked) asked = v;
  }
  if (!(asked >= 2.0) || maxResults > kMostReranked) return 0;
  const unsigned size = static_cast<unsigned>(std::min<double>(asked, kMostReranked));
  return std::max(size, maxResults);
}

bool KvRerankCandidates(const std::vector<KvRerankTerm>& terms, const std::vector<float>& distances,
                        std::vector<double>* scores) {
  scores->clear();
  const size_t m = distances.size() + 1;
  // Neighbourhoods need a shortlist well beyond their size to tell anything:
  // a smaller one (a small catalog) keeps its order.
  const KvRerankSettings settings;
  if (distances.size() < 2 * static_cast<size_t>(settings.neighbours) || terms.empty()) return false;
  std::vector<double> d(m * m, 0.0);
  for (size_t c = 0; c + 1 < m; ++c) d[c + 1] = d[(c + 1) * m] = distances[c];
  double scale = 0.0;
  for (const KvRerankTerm& term : terms) {
    if (term.feature == nullptr || term.parameters == nullptr || term.records.size() != distances.size()) return false;
    Measured measured;
    if (!Load(term, &measured) || !Between(term, measured, m, &d)) return false;
    scale += KvMakeTermRule(term.feature, term.parameters).weight;
  }
  return KvRerankShortlist(d, m, settings, scale, scores);
}

uint32_t KvRerankSize(const std::vector<KvQuerySlot*>& main, uint32_t maxResults) {
  std::vector<const KvParameterClass*> parameters;
  for (const KvQuerySlot* slot : main) parameters.push_back(slot->parameters);
  return KvRerankSize(parameters, maxResults);
}

int KvRerankFound(const KvSearchContext& context, const std::vector<KvQuerySlot*>& main, uint32_t maxResults,
                  KvKeyDatabaseClass** found) {
  std::vector<Candidate> candidates;
  if (!ReadSet(*found, &candidates)) return -1;
  std::vector<float> distances;
  for (const Candidate& c : candidates) distances.push_back(c.distance);
  std::vector<double> scores;
  bool reranked = false;
  if (candidates.size() >= 2) {
    Tables tables;
    std::vector<KvRerankTerm> terms;
    bool read = tables.Open(context, main);
    for (size_t f = 0; read && f < main.size(); ++f) {
      terms.push_back(KvRerankTerm{main[f]->feature, main[f]->parameters, {}});
      read = ReadRecords(main[f]->table, candidates, &terms.back().records);
    }
    // A shortlist that cannot be measured keeps its order: the search's
    // answer stands.
    reranked = read && KvRerankCandidates(terms, distances, &scores);
  }
  KvBestList best(maxResults);
  for (size_t c = 0; c < candidates.size(); ++c) {
    const float distance = reranked ? static_cast<float>(scores[c]) : candidates[c].distance;
    best.OfferRanked(candidates[c].key.c_str(), candidates[c].key.size(), distance);
  }
  KvOwned<KvKeyDatabaseClass> set(context.connection->NewKeyDatabase());
  if (set == nullptr || best.EmitTo(set.get()) != 0) return -1;
  set->SetComplete((*found)->GetComplete());
  delete *found;
  *found = set.release();
  return 0;
}
