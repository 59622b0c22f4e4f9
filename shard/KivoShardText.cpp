// A query text on a sharded catalog, evaluated by every rank.
//
// Served text, rank 0 to all (MpiJob::BroadcastWaiting; WireWriter layout:
// numbers 32-bit big-endian, texts a 32-bit length and the bytes):
//   catalog text, count       then count shard catalog texts
//   query text
//   time limit in milliseconds (0: none)
// Each search's answers are reduced by ReduceStage (KivoShardReduce.h).
#include "KivoShardText.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "KivoQuery.h"
#include "KivoShardPool.h"
#include "KivoShardQuery.h"
#include "KivoShardReduce.h"
#include "KivoShardRerank.h"
#include "core/KvError.h"
#include "query/KvBestList.h"
#include "query/KvDeadline.h"
#include "query/KvQueryPart.h"
#include "query/KvQueryText.h"
#include "storage/KvCatalogUtil.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace kivo {
namespace shard {
namespace {

// A stored example "< length e catalog key >" of the sharded catalog, as the
// data object writes one naming the shard that holds the key; other data
// objects stay as they are.
std::string ExampleForShard(std::string_view piece, const Manifest& m) {
  if (piece.size() < 2 || piece.front() != '<' || piece.back() != '>') return std::string(piece);
  const std::vector<std::string> words = kvcat::SplitWords(piece.substr(1, piece.size() - 2));
  if (words.size() != 4 || words[1] != "e" || words[2] != m.catalog) return std::string(piece);
  const std::string& shard = m.shards[static_cast<size_t>(ShardOfKey(words[3], m.shards.size()))];
  std::string text = "<           e " + shard + " " + words[3] + "  >";
  char length[16];
  std::snprintf(length, sizeof length, "%9lu", static_cast<unsigned long>(text.size()));
  text.replace(2, 9, length);
  return text;
}

// Pieces of the text to replace, in order: [begin, end) and the new bytes.
struct Edit {
  size_t begin;
  size_t end;
  std::string bytes;
};

// A new result set (owned by the caller) of the merged hits; null with the
// error recorded.
KvKeyDatabaseClass* MergedSet(const KvConnectClass* connection,
                              const std::vector<std::pair<std::string, float>>& hits) {
  std::unique_ptr<KvKeyDatabaseClass> set(connection->NewKeyDatabase());
  auto* memory = dynamic_cast<KvKeyMemoryDatabaseClass*>(set.get());
  if (memory == nullptr) return nullptr;
  std::vector<std::string_view> keys;
  std::vector<float> distances;
  for (const auto& h : hits) {
    keys.emplace_back(h.first);
    distances.push_back(h.second);
  }
  if (memory->InsertBatch(keys.data(), distances.data(), keys.size()) < 0) return nullptr;
  return set.release();
}

// Offers every entry of set to best by the full order. False when the walk
// fails (recorded).
bool OfferAll(KvKeyDatabaseClass* set, KvBestList* best) {
  std::unique_ptr<KvDbIteratorClass> it(set->NewIterator());
  if (it == nullptr) return false;
  KvDatumClass key, distance;
  while (it->HasCurrent()) {
    if (it->NextView(key, distance) != 0) return false;
    const char* k = reinterpret_cast<const char*>(key.Data());
    const size_t length = k != nullptr ? strnlen(k, key.Size()) : 0;
    best->OfferRanked(k != nullptr ? k : "", length, set->GetDistance(distance));
  }
  return true;
}

// One shard's evaluation on this rank.
struct Part {
  int index = 0;
  const KvConnectClass* connection = nullptr;
  std::unique_ptr<PooledCatalog> catalog;
  std::unique_ptr<KvQueryPartClass> query;
  bool failed = false;
};

}  // namespace

std::string ServedText::Encode() const {
  WireWriter w;
  w.PutText(manifest.catalog);
  w.Put32(static_cast<uint32_t>(manifest.shards.size()));
  for (const std::string& s : manifest.shards) w.PutText(s);
  w.PutText(text);
  w.Put32(timeLimitMs);
  return w.Bytes();
}

bool ServedText::Decode(const std::string& bytes) {
  *this = ServedText();
  WireReader r(bytes);
  uint32_t count = 0;
  if (!r.GetText(&manifest.catalog) || !r.Get32(&count) || count < 1 || count > kMaxShards) return false;
  manifest.shards.resize(count);
  for (std::string& s : manifest.shards) {
    if (!r.GetText(&s)) return false;
  }
  return r.GetText(&text) && r.Get32(&timeLimitMs) && r.AtEnd();
}

int ShardedCatalogOf(const std::string& database, const char* text, Manifest* manifest, std::string* error) {
  KvQueryFrame frame;
  std::string ignored;
  try {
    if (text == nullptr || !KvParseQueryFrame(text, &frame, &ignored) || frame.catalogName.empty()) return 0;
    return ReadManifest(database, std::string(frame.catalogName), manifest, error);
  } catch (const std::bad_alloc&) {
    *error = "out of memory";
    return -1;
  }
}

bool TextForShard(const std::string& text, const Manifest& manifest, size_t shard, std::string* out) {
  KvQueryFrame frame;
  std::string ignored;
  if (shard >= manifest.shards.size() || !KvParseQueryFrame(text, &frame, &ignored)) return false;
  std::vector<Edit> edits;
  const size_t at = static_cast<size_t>(frame.catalogName.data() - text.data());
  edits.push_back(Edit{at, at + frame.catalogName.size(), manifest.shards[shard]});
  for (const std::vector<KvQueryTerm>* terms : {&frame.mainTerms, &frame.subPartTerms}) {
    for (const KvQueryTerm& term : *terms) {
      const std::string_view piece(text.data() + term.data.begin, term.data.end - term.data.begin);
      std::string bytes = ExampleForShard(piece, manifest);
      if (bytes != piece) edits.push_back(Edit{term.data.begin, term.data.end, std::move(bytes)});
    }
  }
  // The frame locates its pieces in the order of the text: catalog name,
  // restriction sets, main terms, then sub-part terms.
  std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.begin < b.begin; });
  out->clear();
  size_t done = 0;
  for (const Edit& e : edits) {
    out->append(text, done, e.begin - done);
    out->append(e.bytes);
    done = e.end;
  }
  out->append(text, done, std::string::npos);
  return true;
}

int RunShardedText(const MpiJob& job, const std::string& database, const ServedText& query, std::string* answer,
                   std::string* error) {
  answer->clear();
  const Manifest& m = query.manifest;
  std::vector<LocalShard> local;
  ShardOverview view;
  if (!OpenShards(job, database, m, &local, &view, error)) return -1;
  if (!view.failures.empty()) {
    *error = FailureText(m, view.failures, "cannot be read");
    return -1;
  }
  KvDeadlineScope deadline(KvDeadline::In(query.timeLimitMs));

  // Every shard parses its text; a text one shard refuses, every shard
  // refuses (the first refusal is the answer).
  StageAnswer refusal;
  std::vector<Part> parts;
  int searches = 0;
  int n = 0;
  for (LocalShard& s : local) {
    Part p;
    p.index = s.index;
    p.connection = s.store->Connection();
    p.catalog = std::make_unique<PooledCatalog>(p.connection, &view.pooled);
    p.query = std::make_unique<KvQueryPartClass>(p.connection, p.catalog.get());
    std::string text;
    KvInitializeErrorStructure();
    int rc = -1;
    if (TextForShard(query.text, m, static_cast<size_t>(s.index), &text)) {
      rc = p.query->Parse(text.c_str());
    } else {
      KvError(KERR_General, KERR_NonFatal, "KvQSrv: malformed query text");
    }
    if (rc != 0) {
      if (refusal.refused == 0) {
        refusal.refused = rc;
        refusal.refusal = KvMessageOneLine(GetErrorMSG());
      }
      continue;
    }
    searches = std::max(searches, static_cast<int>(p.query->Searches()));
    n = std::max(n, static_cast<int>(std::min<uint32_t>(p.query->MaxResults(), INT_MAX)));
    parts.push_back(std::move(p));
  }
  // Every rank takes part in as many reductions as the query has searches,
  // and in one at least, which carries a refusal.
  searches = std::max(1, job.AllMax(searches));
  // A query asking for re-ranking has one search, for its shortlist.
  int shortlist = 0;
  size_t features = 0;
  for (const Part& p : parts) {
    shortlist = std::max(shortlist, static_cast<int>(p.query->Shortlist()));
    features = std::max(features, p.query->MainFeatures());
  }
  shortlist = job.AllMax(shortlist);
  const uint32_t wanted = static_cast<uint32_t>(job.AllMax(n));
  const uint32_t most = static_cast<uint32_t>(job.AllMax(std::max(n, shortlist)));

  // Shards that failed after a reduction, reported with the next one.
  std::vector<ShardFailure> pending;
  for (int i = 0; i < searches; ++i) {
    StageAnswer mine;
    mine.failures.swap(pending);
    if (i == 0) {
      mine.refused = refusal.refused;
      mine.refusal = refusal.refusal;
    }
    std::vector<std::unique_ptr<KvKeyDatabaseClass>> sets;
    bool everyMatch = false;
    for (Part& p : parts) {
      if (mine.refused != 0) break;
      if (p.failed) continue;
      if (static_cast<size_t>(i) >= p.query->Searches()) {
        mine.refused = -1;
        mine.refusal = "the shards of catalog " + m.catalog + " plan the query differently";
        break;
      }
      KvInitializeErrorStructure();
      KvKeyDatabaseClass* set = nullptr;
      bool all = false;
      if (p.query->RunSearch(static_cast<size_t>(i), &set, &all) != 0 || set == nullptr) {
        mine.failures.push_back(ShardFailure{p.index, KvMessageOneLine(GetErrorMSG())});
        p.failed = true;  // a shard that failed takes no further part
        continue;
      }
      everyMatch = everyMatch || all;
      sets.emplace_back(set);
    }
    // A feature's own search answers every match, however many, on one
    // catalog: then so does the reduction.
    const bool every = job.AllMax(everyMatch ? 1 : 0) != 0;
    const uint32_t limit = every ? UINT32_MAX : most;
    KvBestList best(limit);
    for (const auto& set : sets) {
      if (!OfferAll(set.get(), &best) && mine.refused == 0) {
        mine.refused = -1;
        mine.refusal = KvMessageOneLine(GetErrorMSG());
      }
    }
    sets.clear();
    mine.hits = best.Sorted();
    const StageAnswer outcome = ReduceStage(job, mine, limit);
    if (outcome.refused != 0) {
      *error = outcome.refusal;
      return outcome.refused;
    }
    if (!outcome.failures.empty()) {
      *error = FailureText(m, outcome.failures, "did not answer");
      return -1;
    }
    if (i + 1 < searches) {
      for (Part& p : parts) {
        KvKeyDatabaseClass* merged = MergedSet(p.connection, outcome.hits);
        if (merged == nullptr) {
          // The next reduction carries this shard's failure to every rank.
          pending.push_back(ShardFailure{p.index, "cannot hold the merged answer: " + KvMessageOneLine(GetErrorMSG())});
          p.failed = true;
          continue;
        }
        p.query->SetMerged(static_cast<size_t>(i), merged);
      }
      continue;
    }
    std::vector<std::pair<std::string, float>> hits = outcome.hits;
    if (shortlist > 0) {
      auto read = [&](const std::vector<std::string>& keys, std::vector<std::vector<std::string>>* records,
                      std::vector<char>* held, std::string* why) {
        records->assign(features, std::vector<std::string>(keys.size()));
        held->assign(keys.size(), 0);
        for (Part& p : parts) {
          if (p.failed) continue;
          std::vector<std::vector<std::string>> own;
          std::vector<char> found;
          KvInitializeErrorStructure();
          if (p.query->ReadRecords(keys, &own, &found) != 0) {
            *why = "shard " + m.shards[static_cast<size_t>(p.index)] + " cannot read its records: " +
                   KvMessageOneLine(GetErrorMSG());
            return false;
          }
          for (size_t k = 0; k < keys.size(); ++k) {
            if (found[k] == 0 || (*held)[k] != 0) continue;
            (*held)[k] = 1;
            for (size_t f = 0; f < features && f < own.size(); ++f) (*records)[f][k] = std::move(own[f][k]);
          }
        }
        return true;
      };
      auto score = [&](const std::vector<std::vector<std::string>>& records, const std::vector<float>& distances,
                       std::vector<double>* scores) {
        return !parts.empty() && parts.front().query->Rerank(records, distances, scores);
      };
      if (!RerankAcrossShards(job, features, read, score, wanted, &hits, error)) return -1;
    }
    if (!job.Root()) return 0;
    if (parts.empty()) {
      *error = "rank 0 holds no shard of catalog " + m.catalog;
      return -1;
    }
    std::unique_ptr<KvKeyDatabaseClass> result(MergedSet(parts.front().connection, hits));
    KvDatumClass text;
    if (result == nullptr || result->ToQueryString(text) != 0) {
      *error = KvMessageOneLine(GetErrorMSG());
      return -1;
    }
    answer->assign(reinterpret_cast<const char*>(text.Data()), text.Size());
  }
  return 0;
}

}  // namespace shard
}  // namespace kivo
