// The shard subcommands of kivo (kivo shard init, kivo shard status) and the
// hooks through which kivo index and kivo query work on sharded catalogs.
#pragma once

#include <iosfwd>
#include <string>

#include "KivoCommands.h"
#include "KivoIndex.h"
#include "KivoShardManifest.h"

namespace kivo {
namespace shard {

// Adds "kivo shard" to the subcommand table and installs the hooks. Called
// by the program before KivoMain.
void AddShardCommands();

// kivo shard init: makes count empty shard catalogs and the manifest.
// Refuses (exit 1, reason in error) a catalog that exists, plain or sharded,
// or a shard catalog that exists already.
int InitShards(const std::string& database, const std::string& catalog, int count, std::string* error);

// One shard as kivo shard status shows it.
struct ShardStatus {
  std::string name;
  bool readable = false;
  std::string reason;  // why not
  size_t images = 0;
};
// The shards of catalog; false with error when it is not sharded or its
// manifest cannot be read.
bool ReadShardStatus(const std::string& database, const std::string& catalog, Manifest* manifest,
                     std::vector<ShardStatus>* shards, std::string* error);

// kivo index on a sharded catalog (under mpirun each rank writes the shards
// it owns, the files being divided by their keys' shards). The exit status
// (0 on every rank but rank 0, which prints the summary); -1 when the
// catalog is not sharded.
int IndexSharded(const IndexOptions& options, std::ostream& out, std::ostream& err);

}  // namespace shard
}  // namespace kivo
