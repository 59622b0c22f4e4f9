// Re-ranking across shards: each rank's records of the shortlist, gathered on
// rank 0.
//
// A rank's message: a 32-bit flag (1: read, 0: failed, then the reason as a
// text); when read, the count of keys it holds, then for each the key's
// index in the shortlist and one text per main feature (its record).
#include "KivoShardRerank.h"

#include "query/KvBestList.h"

namespace kivo {
namespace shard {

bool RerankAcrossShards(const MpiJob& job, size_t features, const ReadShortlist& read, const ScoreShortlist& score,
                        uint32_t n, std::vector<std::pair<std::string, float>>* hits, std::string* error) {
  std::vector<std::string> keys;
  std::vector<float> distances;
  for (const auto& h : *hits) {
    keys.push_back(h.first);
    distances.push_back(h.second);
  }
  std::vector<std::vector<std::string>> records;
  std::vector<char> held;
  std::string why;
  WireWriter w;
  if (read(keys, &records, &held, &why)) {
    w.Put32(1);
    uint32_t count = 0;
    for (char h : held) count += h != 0;
    w.Put32(count);
    for (size_t k = 0; k < keys.size(); ++k) {
      if (held[k] == 0) continue;
      w.Put32(static_cast<uint32_t>(k));
      for (size_t f = 0; f < features; ++f) w.PutText(f < records.size() ? records[f][k] : std::string());
    }
  } else {
    w.Put32(0);
    w.PutText(why);
  }
  const std::vector<std::string> all = job.Gather(w.Bytes());
  if (!job.Root()) return true;

  std::vector<std::vector<std::string>> merged(features, std::vector<std::string>(keys.size()));
  std::vector<char> filled(keys.size(), 0);
  for (const std::string& bytes : all) {
    WireReader r(bytes);
    uint32_t ok = 0, count = 0;
    if (!r.Get32(&ok)) {
      *error = "the ranks' records of the shortlist cannot be read";
      return false;
    }
    if (ok == 0) {
      if (!r.GetText(&why)) why = "the shortlist's records cannot be read";
      *error = why;
      return false;
    }
    if (!r.Get32(&count)) {
      *error = "the ranks' records of the shortlist cannot be read";
      return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t k = 0;
      if (!r.Get32(&k) || k >= keys.size()) {
        *error = "the ranks' records of the shortlist cannot be read";
        return false;
      }
      for (size_t f = 0; f < features; ++f) {
        if (!r.GetText(&merged[f][k])) {
          *error = "the ranks' records of the shortlist cannot be read";
          return false;
        }
      }
      filled[k] = 1;
    }
  }
  bool complete = true;
  for (char f : filled) complete = complete && f != 0;
  std::vector<double> scores;
  // A key none of the shards holds any longer keeps the shortlist in its
  // order, as a record that cannot be read does on one catalog.
  const bool reranked = complete && keys.size() >= 2 && score(merged, distances, &scores);
  KvBestList best(n);
  for (size_t k = 0; k < keys.size(); ++k) {
    best.OfferRanked(keys[k].data(), keys[k].size(), reranked ? static_cast<float>(scores[k]) : distances[k]);
  }
  *hits = best.Sorted();
  return true;
}

}  // namespace shard
}  // namespace kivo
