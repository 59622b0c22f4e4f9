// KvQSrv on sharded catalogs: the query text of each query that names a
// sharded catalog goes from rank 0 to every rank; each rank evaluates it on
// its shards one search at a time (KvQueryPartClass), the best N of each
// search are reduced across the ranks by the order of one catalog's result
// (ReduceStage) and become what the next search of a cascade ranks, and rank
// 0 answers the result set the same text gives on one catalog holding every
// record.
#pragma once

#include <cstdint>
#include <string>

#include "KivoShardManifest.h"
#include "KivoShardMpi.h"

namespace kivo {
namespace shard {

// A query text as rank 0 hands it to the ranks.
struct ServedText {
  Manifest manifest;
  std::string text;
  uint32_t timeLimitMs = 0;  // 0: none

  std::string Encode() const;
  // False for bytes that are no query (short, bad values, bytes left over).
  bool Decode(const std::string& bytes);
};

// The sharded catalog a query text names: 1 with manifest filled, 0 when it
// names none (a plain catalog, or a text whose frame does not read, which
// the evaluator refuses itself), -1 with error for a manifest that cannot be
// read.
int ShardedCatalogOf(const std::string& database, const char* text, Manifest* manifest, std::string* error);

// The text as shard i evaluates it: the catalog it names is the shard, and
// an example stored in the sharded catalog names the shard holding its key.
// False when the text's frame does not read.
bool TextForShard(const std::string& text, const Manifest& manifest, size_t shard, std::string* out);

// Evaluates query on every rank (a collective: every rank calls it for
// every query). On rank 0: 0 with answer holding the result set's
// query-string form (its NUL included), or the evaluation's non-zero status
// with error. A shard that cannot be opened or fails a search fails the
// query, naming it.
int RunShardedText(const MpiJob& job, const std::string& database, const ServedText& query, std::string* answer,
                   std::string* error);

}  // namespace shard
}  // namespace kivo
