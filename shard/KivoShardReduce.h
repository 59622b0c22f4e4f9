// The reduction of one stage of a sharded query: each rank's best N, with
// the shards that failed on it and any refusal of the request, go to rank 0,
// which merges the lists by the order of one catalog's result (distance,
// then key) and hands the outcome back to every rank.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "KivoShardMpi.h"

namespace kivo {
namespace shard {

struct ShardFailure {
  int index;
  std::string reason;
};

struct StageAnswer {
  int refused = 0;  // a query-layer code refusing the request, 0 when none
  std::string refusal;
  std::vector<ShardFailure> failures;  // in shard order after a reduction
  std::vector<std::pair<std::string, float>> hits;  // key, distance; best first

  std::string Encode() const;
  // False for bytes that are no answer (short, or with bytes left over).
  bool Decode(const std::string& bytes);
};

// Every rank's mine reduced to the best n; the same outcome on every rank. A
// damaged answer gives an outcome refused with kQueryFailed.
StageAnswer ReduceStage(const MpiJob& job, const StageAnswer& mine, uint32_t n);

}  // namespace shard
}  // namespace kivo
