// The manifest of a sharded catalog, read from its file: any bytes are read
// as a manifest or refused with a reason, and an accepted one names only
// shard catalogs inside the database folder.
#include <cstdint>
#include <string>

#include "FuzzUtil.h"
#include "KivoShardManifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = kvfuzz::ScratchDir();
  const std::string path = kivo::shard::ManifestPath(dir, "cat");
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  kivo::shard::Manifest m;
  std::string error;
  const int rc = kivo::shard::ReadManifest(dir, "cat", &m, &error);
  if (rc < 0 && error.empty()) __builtin_trap();
  if (rc > 0) {
    if (m.catalog != "cat" || m.shards.empty() || m.shards.size() > kivo::shard::kMaxShards) __builtin_trap();
    for (const std::string& s : m.shards) {
      if (s.empty() || s.find('/') != std::string::npos) __builtin_trap();
    }
    if (kivo::shard::ShardOfKey(std::string(reinterpret_cast<const char*>(data), size), m.shards.size()) >=
        static_cast<int>(m.shards.size())) {
      __builtin_trap();
    }
  }
  return 0;
}
