// Re-ranking of a sharded query's merged shortlist (KvQueryRerank.h): the
// candidates' records lie in every shard, so each rank reads those its
// shards hold and rank 0 scores the whole shortlist, as one catalog holding
// every record would.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "KivoShardMpi.h"

namespace kivo {
namespace shard {

// Reads this rank's records of keys for every main feature (records[f][k];
// held[k] set where one of its shards holds key k). False with error.
using ReadShortlist = std::function<bool(const std::vector<std::string>& keys,
                                         std::vector<std::vector<std::string>>* records, std::vector<char>* held,
                                         std::string* error)>;
// Scores the shortlist on rank 0 from every record (KvRerankCandidates).
using ScoreShortlist = std::function<bool(const std::vector<std::vector<std::string>>& records,
                                          const std::vector<float>& distances, std::vector<double>* scores)>;

// A collective. hits is the merged shortlist, best first, the same on every
// rank; on rank 0 it becomes the best n re-ranked (by distance still when a
// record is missing or the shortlist cannot be measured). False on rank 0,
// with error, when a rank could not read its records; other ranks always
// return true.
bool RerankAcrossShards(const MpiJob& job, size_t features, const ReadShortlist& read, const ScoreShortlist& score,
                        uint32_t n, std::vector<std::pair<std::string, float>>* hits, std::string* error);

}  // namespace shard
}  // namespace kivo
