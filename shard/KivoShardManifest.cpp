// The manifest of a sharded catalog and the rule that places a key.
#include "KivoShardManifest.h"

#include <sys/stat.h>
#include <xxhash.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kivo {
namespace shard {
namespace {

constexpr int kFormat = 1;
constexpr const char* kHashName = "xxh64";

}  // namespace

std::string ManifestPath(const std::string& database, const std::string& catalog) {
  return database + "/KivoShards." + catalog;
}

std::string ShardName(const std::string& catalog, int i) { return catalog + ".s" + std::to_string(i); }

int ShardOfKey(std::string_view key, size_t count) {
  return static_cast<int>(XXH64(key.data(), key.size(), 0) % count);
}

int ReadManifest(const std::string& database, const std::string& catalog, Manifest* manifest,
                 std::string* error) {
  const std::string path = ManifestPath(database, catalog);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT) return 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return -1;
  }
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
  const auto bad = [&](const std::string& why) {
    *error = "malformed shard manifest " + path + ": " + why;
    return -1;
  };
  if (doc.is_discarded() || !doc.is_object()) return bad("not a JSON object");
  const auto format = doc.find("format");
  if (format == doc.end() || !format->is_number_integer() || format->get<int>() != kFormat) {
    return bad("unknown format");
  }
  const auto hash = doc.find("hash");
  if (hash == doc.end() || !hash->is_string() || hash->get<std::string>() != kHashName) {
    return bad("unknown key hash");
  }
  const auto name = doc.find("catalog");
  if (name == doc.end() || !name->is_string() || name->get<std::string>() != catalog) {
    return bad("it names another catalog");
  }
  const auto shards = doc.find("shards");
  if (shards == doc.end() || !shards->is_array() || shards->empty() ||
      shards->size() > static_cast<size_t>(kMaxShards)) {
    return bad("no list of 1 to " + std::to_string(kMaxShards) + " shards");
  }
  Manifest m;
  m.catalog = catalog;
  for (const auto& s : *shards) {
    if (!s.is_string() || s.get<std::string>().empty() ||
        s.get<std::string>().find('/') != std::string::npos) {
      return bad("a shard name is not a catalog name");
    }
    m.shards.push_back(s.get<std::string>());
  }
  *manifest = std::move(m);
  return 1;
}

bool WriteManifest(const std::string& database, const Manifest& manifest, std::string* error) {
  nlohmann::json doc = {{"format", kFormat}, {"catalog", manifest.catalog}, {"hash", kHashName},
                        {"shards", manifest.shards}};
  const std::string path = ManifestPath(database, manifest.catalog);
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << doc.dump() << '\n';
    out.flush();
    if (!out) {
      *error = "cannot write " + temporary + ": " + std::strerror(errno);
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace shard
}  // namespace kivo
