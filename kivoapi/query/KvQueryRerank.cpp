// Re-ranking of a search's shortlist by shared neighbourhoods (KvRerank.h),
// for queries whose main features ask for it with the named parameter
// "Rerank" (the shortlist size).
//
// The search answers the shortlist by weighted distance; the candidates'
// stored records are then read again and measured against each other with
// the query's own features, parameters and weights, so that the distances
// between candidates are those the query would give for them.
#include <cfloat>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvBestList.h"
#include "query/KvQueryInternal.h"
#include "query/KvQueryRerank.h"
#include "query/KvQueryWalk.h"
#include "query/KvQueryRules.h"
#include "query/KvRerank.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

// The most candidates re-ranked: the pairs measured grow with its square.
constexpr uint32_t kMostReranked = 400;

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

// The stored records of main's features for the candidates, by feature; false
// when one is missing.
bool ReadCandidates(const std::vector<KvQuerySlot*>& main, const std::vector<std::string>& keys,
                    std::vector<KvRerankTerm>* terms) {
  for (KvQuerySlot* slot : main) {
    terms->push_back(KvRerankTerm{slot->feature, slot->parameters, {}});
    std::vector<char> held;
    KvReadRecords(slot->table, keys, &terms->back().records, &held);
    if (std::find(held.begin(), held.end(), 0) != held.end()) return false;
  }
  return true;
}

uint32_t RerankSize(const std::vector<KvQuerySlot*>& main, uint32_t maxResults) {
  std::vector<const KvParameterClass*> parameters;
  for (const KvQuerySlot* slot : main) parameters.push_back(slot->parameters);
  return KvRerankSize(parameters, maxResults);
}

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

void KvReadRecords(KvDatabaseClass* table, const std::vector<std::string>& keys, std::vector<std::string>* records,
                   std::vector<char>* held) {
  records->assign(keys.size(), std::string());
  held->assign(keys.size(), 0);
  KvKeyText key;
  KvDatumClass record;
  for (size_t k = 0; k < keys.size(); ++k) {
    key.Set(keys[k].data(), keys[k].size());
    if (table->Get(key.datum(), record) != 0) continue;
    (*records)[k].assign(reinterpret_cast<const char*>(record.Data()), record.Size());
    (*held)[k] = 1;
  }
}

uint32_t KvRerankPlanned(const std::vector<KvQueryStage>& stages, uint32_t maxResults) {
  if (stages.size() != 1 || stages[0].kind != KvQueryStage::Kind::kWhole || !stages[0].subPart.empty()) return 0;
  return RerankSize(stages[0].main, maxResults);
}

int KvRerankFound(const KvSearchContext& context, const std::vector<KvQuerySlot*>& main, uint32_t maxResults,
                  KvKeyDatabaseClass** found) {
  KvKeyDatabaseClass* set = *found;
  std::vector<std::string> keys;
  std::vector<float> distances;
  const int walked = KvQueryWalk(set, [&](const KvKeyText& key, const KvDatumClass& distance) {
    keys.emplace_back(key.c_str(), key.size());
    distances.push_back(set->GetDistance(distance));
    return 0;
  });
  if (walked != 0) return walked;
  std::vector<double> scores;
  bool reranked = false;
  if (keys.size() >= 2) {
    KvTableCloser closer;
    if (KvOpenTables(context, main, closer) != 0) return -1;
    std::vector<KvRerankTerm> terms;
    // A shortlist that cannot be measured keeps its order: the search's
    // answer stands.
    reranked = ReadCandidates(main, keys, &terms) && KvRerankCandidates(terms, distances, &scores);
  }
  KvBestList best(maxResults);
  for (size_t c = 0; c < keys.size(); ++c) {
    best.OfferRanked(keys[c].c_str(), keys[c].size(), reranked ? static_cast<float>(scores[c]) : distances[c]);
  }
  KvOwned<KvKeyDatabaseClass> answer(context.connection->NewKeyDatabase());
  if (answer == nullptr || best.EmitTo(answer.get()) != 0) return -1;
  answer->SetComplete(set->GetComplete());
  delete set;
  *found = answer.release();
  return 0;
}
