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
#include <string>

#include "KivoQuery.h"
#include "KivoShardManifest.h"
#include "KivoShardMpi.h"

namespace kivo {
namespace shard {

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
