// kivo serve on sharded catalogs: one long-running MPI job whose rank 0 runs
// the HTTP server while every other rank waits for queries. Each query on a
// sharded catalog is broadcast from rank 0 to every rank, evaluated by all of
// them over their shards and reduced exactly as kivo query does
// (RunShardedQuery); a stop message ends the other ranks when the server
// stops. Only rank 0's main thread calls MPI: the server runs on a thread of
// its own, and its workers hand their queries over to the main thread
// (ServeOnRanks, KivoShardRanks.h).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "KivoQuery.h"
#include "KivoShardManifest.h"
#include "KivoShardMpi.h"
#include "WebServe.h"

namespace kivo {
namespace shard {

// A query as rank 0 hands it to the ranks, or the message that they stop.
struct ServedQuery {
  bool stop = false;  // a served job stops at an empty broadcast instead
  Manifest manifest;
  QueryRequest request;    // request.image is a path on rank 0 only
  std::string imageBytes;  // the example image's bytes, for every rank
  uint32_t timeLimitMs = 0;  // 0: none

  std::string Encode() const;
  // False for bytes that are no query (short, bad values, bytes left over).
  bool Decode(const std::string& bytes);
};

// Evaluates one broadcast query on this rank; every rank must call it for
// every query. The same code on every rank; rank 0 holds the result or error.
int RunServedQuery(const MpiJob& job, const std::string& database, const ServedQuery& query,
                   const std::string& rank0Image, QueryResult* result, std::string* error);

// The serving of kivo serve under the MPI job: on rank 0 runs serve on a
// thread of its own with options.shardedQuery set, broadcasting the queries;
// on the other ranks evaluates them until the stop. The exit status.
int ServeSharded(web::ServeOptions& options, const web::ServeFunction& serve, std::ostream& err);

}  // namespace shard
}  // namespace kivo
