// Sharded catalogs: one collection of images kept as N ordinary catalogs
// ("shards") in one database folder, each a catalog every tool opens, and a
// manifest that names them. A key lives in exactly one shard:
//
//   shard = XXH64(key, seed 0) mod N
//
// over the bytes of the stored key text without its NUL (for kivo index the
// encoded path below the catalog root, as KivoKey.h writes it). The rule
// depends on nothing but the key and N, so every process and every later run
// agrees on it.
//
// Manifest: the file KivoShards.<catalog> in the database folder, JSON:
//   {"format": 1, "catalog": "<catalog>", "hash": "xxh64",
//    "shards": ["<catalog>.s0", "<catalog>.s1", ...]}
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {
namespace shard {

// Most shards a catalog may have.
constexpr int kMaxShards = 1024;

struct Manifest {
  std::string catalog;
  std::vector<std::string> shards;  // the shard catalogs, in shard order
};

// The manifest file of catalog in database.
std::string ManifestPath(const std::string& database, const std::string& catalog);
// The name of shard i of catalog.
std::string ShardName(const std::string& catalog, int i);

// 1 with *manifest filled when catalog is sharded, 0 when it has no
// manifest (a plain catalog or none), -1 with error set when the manifest
// cannot be read or is malformed.
int ReadManifest(const std::string& database, const std::string& catalog, Manifest* manifest,
                 std::string* error);
// Writes the manifest (replacing the file in one rename). False with error.
bool WriteManifest(const std::string& database, const Manifest& manifest, std::string* error);

// The shard of key among count shards (count >= 1).
int ShardOfKey(std::string_view key, size_t count);

}  // namespace shard
}  // namespace kivo
