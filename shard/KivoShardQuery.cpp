// The fan-out of a sharded query over the shards of every rank.
//
// Shard report, all ranks to all (MPI_Allgatherv; WireWriter layout: numbers
// 32-bit big-endian, texts a 32-bit length and the bytes):
//   count                                   shards of the rank, then each:
//   index, opened (1 or 0), reason text     reason empty when opened
//   root text, classes                      then per class:
//   class name text, global information text
// Each stage's answers are reduced by ReduceStage (KivoShardReduce.h).
#include "KivoShardQuery.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <set>

#include "KivoFeatures.h"
#include "KivoShardPool.h"
#include "KivoShardReduce.h"
#include "KivoShardRerank.h"
#include "KivoShardWhole.h"
#include "KivoStore.h"
#include "core/KvDatum.h"
#include "core/KvString.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvBestList.h"
#include "query/KvQueryRerank.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"

namespace kivo {
namespace shard {
namespace {

using Failure = ShardFailure;
using Overview = ShardOverview;

std::string ReportShards(const std::vector<LocalShard>& local, const std::vector<Failure>& failed) {
  WireWriter w;
  w.Put32(static_cast<uint32_t>(local.size() + failed.size()));
  for (const Failure& f : failed) {
    w.Put32(static_cast<uint32_t>(f.index));
    w.Put32(0);
    w.PutText(f.reason);
    w.PutText("");
    w.Put32(0);
  }
  for (const LocalShard& s : local) {
    w.Put32(static_cast<uint32_t>(s.index));
    w.Put32(1);
    w.PutText("");
    std::string root;
    s.store->GetMeta("root", &root);
    w.PutText(root);
    std::vector<std::string> classes;
    std::string ignored;
    s.store->FeatureClasses(&classes, &ignored);
    std::vector<std::pair<std::string, std::string>> blocks;
    for (const std::string& name : classes) {
      KvDatumClass info;
      if (s.store->Catalog()->GetGlobalFeatureInfo(name.c_str(), info) != 0) {
        blocks.emplace_back(name, "");
      } else {
        blocks.emplace_back(name, std::string(reinterpret_cast<const char*>(info.Data()), info.Size()));
      }
    }
    w.Put32(static_cast<uint32_t>(blocks.size()));
    for (const auto& b : blocks) {
      w.PutText(b.first);
      w.PutText(b.second);
    }
  }
  return w.Bytes();
}

bool ReadReports(const std::vector<std::string>& reports, Overview* view) {
  std::map<int, std::string> roots;
  std::map<std::string, std::vector<std::pair<int, std::string>>> blocks;
  for (const std::string& bytes : reports) {
    WireReader r(bytes);
    uint32_t count = 0;
    if (!r.Get32(&count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t index = 0, opened = 0, classes = 0;
      std::string reason, root;
      if (!r.Get32(&index) || !r.Get32(&opened) || !r.GetText(&reason) || !r.GetText(&root) ||
          !r.Get32(&classes)) {
        return false;
      }
      if (opened == 0) view->failures.push_back(Failure{static_cast<int>(index), reason});
      if (opened != 0) roots[static_cast<int>(index)] = root;
      for (uint32_t c = 0; c < classes; ++c) {
        std::string name, block;
        if (!r.GetText(&name) || !r.GetText(&block)) return false;
        view->classes.insert(name);
        blocks[name].emplace_back(static_cast<int>(index), std::move(block));
      }
    }
    if (!r.AtEnd()) return false;
  }
  // Blocks pool in shard order, whatever rank reported them.
  for (auto& entry : blocks) {
    std::sort(entry.second.begin(), entry.second.end());
    std::vector<std::string> ordered;
    for (auto& b : entry.second) ordered.push_back(std::move(b.second));
    view->pooled[entry.first] = PoolGlobalInfo(entry.first, ordered);
  }
  std::sort(view->failures.begin(), view->failures.end(),
            [](const Failure& a, const Failure& b) { return a.index < b.index; });
  view->anyOpened = !roots.empty();
  if (!roots.empty()) view->root = roots.begin()->second;
  return true;
}

// The shortlist the one group of features asks to be re-ranked for n
// results (KvQueryRerank.h), its features one by one (presets expanded) in
// *specs; 0 for none, and when a text cannot be used (the evaluation refuses
// it).
uint32_t ShortlistOf(const std::vector<std::string>& features, int n, std::vector<FeatureSpec>* specs) {
  std::string ignored;
  specs->clear();
  for (const std::string& text : features) {
    if (!ExpandFeatureSpec(text, specs, &ignored)) return 0;
  }
  std::vector<FeatureInstance> instances(specs->size());
  std::vector<const KvParameterClass*> parameters;
  for (size_t f = 0; f < specs->size(); ++f) {
    if (!MakeFeatureInstance((*specs)[f], &instances[f], &ignored)) return 0;
    parameters.push_back(instances[f].parameters.get());
  }
  return KvRerankSize(parameters, static_cast<unsigned>(std::max(0, n)));
}

// This rank's records of keys for specs, from its shards.
bool ReadShardRecords(const Manifest& manifest, std::vector<LocalShard>& local, const std::vector<FeatureSpec>& specs,
                      const std::vector<std::string>& keys, std::vector<std::vector<std::string>>* records,
                      std::vector<char>* held, std::string* error) {
  records->assign(specs.size(), std::vector<std::string>(keys.size()));
  held->assign(keys.size(), 0);
  for (LocalShard& s : local) {
    if (s.engine == nullptr) continue;
    const std::string& shard = manifest.shards[static_cast<size_t>(s.index)];
    const KvConnectClass* connection = s.store->Connection();
    std::unique_ptr<KvCatalogClass> catalog(connection->NewCatalog());
    if (catalog == nullptr || catalog->Open(shard.c_str()) != 0) {
      *error = "shard " + shard + " cannot open its catalog: " + LibraryError();
      return false;
    }
    std::vector<char> here(keys.size(), 1);
    for (size_t f = 0; f < specs.size(); ++f) {
      KvStringClass name(64ul, True);
      std::unique_ptr<KvDatabaseClass> table(connection->NewDatabase());
      if (catalog->GetFeatureTableName(specs[f].name.c_str(), name) != 0 || table == nullptr ||
          table->Open(name.c_str(), "r") != 0) {
        *error = "shard " + shard + " cannot open the table of " + specs[f].name + ": " + LibraryError();
        return false;
      }
      std::vector<std::string> own;
      std::vector<char> found;
      KvReadRecords(table.get(), keys, &own, &found);
      // Read only: a failed close loses nothing.
      table->Close();
      for (size_t k = 0; k < keys.size(); ++k) {
        here[k] = here[k] != 0 && found[k] != 0;
        if (found[k] != 0) (*records)[f][k] = std::move(own[k]);
      }
    }
    for (size_t k = 0; k < keys.size(); ++k) (*held)[k] = (*held)[k] != 0 || here[k] != 0;
  }
  return true;
}

// Scores the shortlist with specs' features, their parameters updated from
// the whole catalog's statistics as every shard's evaluation updates them.
bool ScoreShortlistRecords(const std::vector<FeatureSpec>& specs, const Overview& view,
                           const std::vector<std::vector<std::string>>& records, const std::vector<float>& distances,
                           std::vector<double>* scores) {
  std::vector<FeatureInstance> instances(specs.size());
  std::vector<KvRerankTerm> terms;
  std::string ignored;
  for (size_t f = 0; f < specs.size(); ++f) {
    if (!MakeFeatureInstance(specs[f], &instances[f], &ignored)) return false;
    const auto info = view.pooled.find(specs[f].name);
    if (info != view.pooled.end() && !info->second.empty()) {
      KvDatumClass datum;
      datum.SetBytes(info->second.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(info->second.data())),
                     KvOwnNone);
      instances[f].feature->ParameterUpdateFromGlobalInfo(instances[f].parameters.get(), datum);
      datum.SetBytes(0, nullptr, KvOwnNone);
    }
    terms.push_back(KvRerankTerm{instances[f].feature.get(), instances[f].parameters.get(), records[f]});
  }
  return KvRerankCandidates(terms, distances, scores);
}

// The feature texts of each stage: one stage unless the features fall into
// groups of different O (a cascade), in the order the evaluator runs them.
// The features are those the evaluation itself takes: the named ones with
// presets expanded, else the catalog's preset or its image features.
std::vector<std::vector<std::string>> Stages(const QueryRequest& request, const Overview& view) {
  std::vector<FeatureSpec> wanted;
  std::string ignored;
  if (request.features.empty()) {
    const std::vector<std::string> names =
        ImageFeatureNames(std::vector<std::string>(view.classes.begin(), view.classes.end()));
    const std::string preset = PresetForClasses(names);
    if (!preset.empty() && !ExpandFeatureSpec(preset, &wanted, &ignored)) return {};
    if (preset.empty()) {
      for (const std::string& name : names) wanted.push_back(FeatureSpec{name, ""});
    }
  } else {
    for (const std::string& text : request.features) {
      // A feature text that cannot be used is left to the evaluation, which
      // refuses it.
      if (!ExpandFeatureSpec(text, &wanted, &ignored)) return {};
    }
  }
  std::vector<std::pair<double, std::string>> byGroup;
  for (const FeatureSpec& f : wanted) {
    FeatureInstance instance;
    if (!MakeFeatureInstance(f, &instance, &ignored)) return {};
    byGroup.emplace_back(instance.parameters->GetO(), f.parameters.empty() ? f.name : f.name + ":" + f.parameters);
  }
  std::stable_sort(byGroup.begin(), byGroup.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::vector<std::string>> stages;
  for (size_t i = 0; i < byGroup.size(); ++i) {
    if (i == 0 || byGroup[i].first != byGroup[i - 1].first) stages.emplace_back();
    stages.back().push_back(byGroup[i].second);
  }
  return stages;
}

// The stored key the request's example names, searched in the shard that
// would hold each spelling. False when no shard this job can read holds it.
bool ResolveKey(const MpiJob& job, const Manifest& m, const std::vector<LocalShard>& local,
                const std::string& text, const std::string& root, QueryScope* scope) {
  const std::vector<std::string> spellings = KeySpellings(text, root);
  const int none = static_cast<int>(spellings.size());
  int found = none;
  for (int i = 0; i < none && found == none; ++i) {
    const int owner = ShardOfKey(spellings[static_cast<size_t>(i)], m.shards.size());
    for (const LocalShard& s : local) {
      if (s.index == owner && s.store->Catalog()->KeyExists(spellings[static_cast<size_t>(i)].c_str()) == True) {
        found = i;
      }
    }
  }
  // The first spelling that any rank found.
  found = -job.AllMax(-found);
  if (found == none) return false;
  scope->key = spellings[static_cast<size_t>(found)];
  scope->keyCatalog = m.shards[static_cast<size_t>(ShardOfKey(scope->key, m.shards.size()))];
  return true;
}

}  // namespace

std::string FailureText(const Manifest& m, const std::vector<Failure>& failures, const std::string& what) {
  std::string names, reasons;
  for (const Failure& f : failures) {
    const std::string& name = m.shards[static_cast<size_t>(f.index)];
    names += (names.empty() ? "" : ", ") + name;
    reasons += (reasons.empty() ? "" : "; ") + name + ": " + f.reason;
  }
  if (failures.size() == 1) return "shard " + names + " " + what + ": " + failures.front().reason;
  return "shards " + names + " " + what + ": " + reasons;
}

bool OpenShards(const MpiJob& job, const std::string& database, const Manifest& manifest,
                std::vector<LocalShard>* local, ShardOverview* view, std::string* error) {
  local->clear();
  *view = ShardOverview();
  std::vector<Failure> failedHere;
  for (size_t i = 0; i < manifest.shards.size(); ++i) {
    if (!job.Owns(static_cast<int>(i))) continue;
    LocalShard s;
    s.index = static_cast<int>(i);
    s.store = std::make_unique<CatalogStore>();
    std::string why;
    if (!s.store->Open(database, manifest.shards[i], false, &why)) {
      failedHere.push_back(Failure{s.index, why});
      continue;
    }
    local->push_back(std::move(s));
  }
  if (!ReadReports(job.AllGather(ReportShards(*local, failedHere)), view)) {
    *error = "the ranks of the job disagree about the shards";
    return false;
  }
  // Classes whose statistics depend on the order of the writes take those
  // kivo index kept for the whole catalog, while they are valid.
  WholeBlocks whole;
  std::string unread;
  if (ReadWhole(database, manifest.catalog, &whole, &unread) && whole.valid) {
    for (const auto& b : whole.blocks) view->pooled[b.first] = b.second;
  }
  return true;
}

int RunShardedQuery(const MpiJob& job, const std::string& database, const Manifest& manifest,
                    const QueryRequest& request, bool partial, std::ostream& err, QueryResult* result,
                    std::string* error) {
  result->hits.clear();
  const size_t shardCount = manifest.shards.size();
  std::vector<LocalShard> local;
  Overview view;
  if (!OpenShards(job, database, manifest, &local, &view, error)) return kQueryFailed;
  // Every rank knows the failures of the opening now; later ones are
  // reported with the answers.
  std::vector<Failure> failedHere;
  if (!view.anyOpened || (!view.failures.empty() && !partial)) {
    *error = FailureText(manifest, view.failures, "cannot be read");
    return kQueryFailed;
  }
  for (LocalShard& s : local) {
    s.engine = std::make_unique<QueryEngine>(*s.store);
    auto catalog = std::make_unique<PooledCatalog>(s.store->Connection(), &view.pooled);
    if (catalog->Open(manifest.shards[static_cast<size_t>(s.index)].c_str()) != 0) {
      failedHere.push_back(Failure{s.index, "cannot open its catalog: " + LibraryError()});
      s.engine.reset();
      continue;
    }
    s.engine->UseCatalog(std::move(catalog));
  }

  QueryScope scope;
  const int examples = !request.image.empty() + !request.key.empty() + !request.sketch.empty();
  if (examples == 1 && !request.key.empty() && !ResolveKey(job, manifest, local, request.key, view.root, &scope)) {
    *error = "no key " + request.key + " in catalog " + manifest.catalog;
    return kQueryBadRequest;
  }
  std::vector<std::vector<std::string>> stages;
  if (examples > 0) stages = Stages(request, view);
  // One group asking for re-ranking: every shard answers the shortlist by
  // distance, and the merged shortlist is re-ranked once, over the records
  // of every shard.
  std::vector<FeatureSpec> reranked;
  const uint32_t shortlist = stages.size() == 1 ? ShortlistOf(stages[0], request.n, &reranked) : 0;
  // The shards answer by distance: a re-ranking is done once, over all of
  // them, and a cascade's groups are not re-ranked, as on one catalog.
  if (shortlist > 0 || stages.size() > 1) {
    for (auto& group : stages) {
      for (std::string& text : group) text += ":PRerank=0";
    }
  }
  if (stages.size() < 2 && shortlist == 0) stages.assign(1, request.features);
  const uint32_t wanted = shortlist > 0 ? shortlist : static_cast<uint32_t>(request.n);

  std::vector<Failure> failures = view.failures;
  std::vector<QueryHit> candidates;
  for (size_t stage = 0; stage < stages.size(); ++stage) {
    QueryRequest asked = request;
    asked.features = stages[stage];
    asked.n = static_cast<int>(wanted);
    if (stage > 0) asked.keywords.clear();  // later groups rank the previous group's best
    StageAnswer mine;
    KvBestList best(wanted);
    mine.failures = std::move(failedHere);
    failedHere.clear();
    for (LocalShard& s : local) {
      if (s.engine == nullptr) continue;
      std::vector<QueryHit> own;
      if (stage > 0) {
        for (const QueryHit& h : candidates) {
          if (ShardOfKey(h.key, shardCount) == s.index) own.push_back(h);
        }
        scope.candidates = &own;
      }
      QueryResult part;
      std::string why;
      const int rc = s.engine->Run(asked, scope, &part, &why);
      scope.candidates = nullptr;
      if (rc == kQueryBadRequest) {
        mine.refused = rc;
        mine.refusal = why;
        break;
      }
      if (rc != kQueryOk) {
        mine.failures.push_back(Failure{s.index, why});
        s.engine.reset();  // a shard that failed takes no further part
        continue;
      }
      for (const QueryHit& h : part.hits) best.OfferRanked(h.key.data(), h.key.size(), h.distance);
    }
    mine.hits = best.Sorted();

    const StageAnswer outcome = ReduceStage(job, mine, wanted);
    if (outcome.refused != kQueryOk) {
      *error = outcome.refusal;
      return outcome.refused;
    }
    failures.insert(failures.end(), outcome.failures.begin(), outcome.failures.end());
    std::stable_sort(failures.begin(), failures.end(),
                     [](const Failure& a, const Failure& b) { return a.index < b.index; });
    if (failures.size() == shardCount || (!failures.empty() && !partial)) {
      *error = FailureText(manifest, failures, "did not answer");
      return kQueryFailed;
    }
    candidates.clear();
    for (const auto& h : outcome.hits) {
      QueryHit hit;
      hit.key = h.first;
      hit.distance = h.second;
      candidates.push_back(std::move(hit));
    }
  }

  if (shortlist > 0) {
    std::vector<std::pair<std::string, float>> hits;
    for (const QueryHit& h : candidates) hits.emplace_back(h.key, h.distance);
    auto read = [&](const std::vector<std::string>& keys, std::vector<std::vector<std::string>>* records,
                    std::vector<char>* held, std::string* why) {
      return ReadShardRecords(manifest, local, reranked, keys, records, held, why);
    };
    auto score = [&](const std::vector<std::vector<std::string>>& records, const std::vector<float>& distances,
                     std::vector<double>* scores) {
      return ScoreShortlistRecords(reranked, view, records, distances, scores);
    };
    if (!RerankAcrossShards(job, reranked.size(), read, score, static_cast<uint32_t>(request.n), &hits, error)) {
      return kQueryFailed;
    }
    candidates.clear();
    for (auto& h : hits) {
      QueryHit hit;
      hit.key = std::move(h.first);
      hit.distance = h.second;
      candidates.push_back(std::move(hit));
    }
  }
  for (QueryHit& h : candidates) {
    h.rank = static_cast<int>(result->hits.size()) + 1;
    h.path = PathOfKey(view.root, h.key);
    result->hits.push_back(std::move(h));
  }
  if (!failures.empty() && job.Root()) {
    err << "kivo query: partial answer from " << shardCount - failures.size() << " of " << shardCount
        << " shards; " << FailureText(manifest, failures, "did not answer") << '\n';
  }
  return kQueryOk;
}

}  // namespace shard
}  // namespace kivo
