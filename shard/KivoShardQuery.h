// kivo query on a sharded catalog: every rank of the job opens its shards,
// each shard ranks its records against the whole catalog's statistics, and
// the best N are reduced across shards and ranks by the order of one
// catalog's result (distance, then key). A query whose features fall into
// groups of different O values (a cascade) runs group by group: the best N
// of a group, over every shard, are the candidates of the next group, each
// shard ranking those of its own keys. The answer is the one the same query
// gives on one catalog holding every record.
#pragma once

#include <iosfwd>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "KivoQuery.h"
#include "KivoShardManifest.h"
#include "KivoShardMpi.h"
#include "KivoShardReduce.h"
#include "KivoStore.h"

namespace kivo {
namespace shard {

// A shard of this rank, open for queries.
struct LocalShard {
  int index = 0;
  std::unique_ptr<CatalogStore> store;
  std::unique_ptr<QueryEngine> engine;
};

// What every rank learns of every shard when the shards are opened.
struct ShardOverview {
  std::vector<ShardFailure> failures;   // shards that cannot be read, in shard order
  std::set<std::string> classes;        // the feature classes of the shards that can
  std::map<std::string, std::string> pooled;  // their global information, pooled
  std::string root;
  bool anyOpened = false;
};

// Opens this rank's shards of manifest (those that open go to local) and
// tells every rank about every shard; a collective. False with error when
// the ranks' reports cannot be read.
bool OpenShards(const MpiJob& job, const std::string& database, const Manifest& manifest,
                std::vector<LocalShard>* local, ShardOverview* view, std::string* error);

// "shard a.s1 cannot be read: why" or "shards a.s1, a.s2 cannot be read:
// a.s1: why; a.s2: why", with what happened in place of "cannot be read".
std::string FailureText(const Manifest& m, const std::vector<ShardFailure>& failures, const std::string& what);

// Runs request on the sharded catalog of manifest. A result code of the
// query layer, the same on every rank; rank 0 holds the result or the error.
// A shard that cannot be opened or evaluated fails the query, naming it,
// unless partial is set: then the shards that answered give the result and
// rank 0 writes which did not to err.
int RunShardedQuery(const MpiJob& job, const std::string& database, const Manifest& manifest,
                    const QueryRequest& request, bool partial, std::ostream& err, QueryResult* result,
                    std::string* error);

}  // namespace shard
}  // namespace kivo
