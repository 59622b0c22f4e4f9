// kivo shard init and status, and the hooks of kivo index and kivo query.
#include "KivoShardCommands.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>

#include "KivoOutput.h"
#include "KivoQuery.h"
#include "KivoShardMpi.h"
#include "KivoShardQuery.h"
#include "KivoShardServe.h"
#include "KivoShardWhole.h"
#include "KivoStore.h"

namespace kivo {
namespace shard {
namespace {

struct ShardCommand {
  std::string database, catalog;
  int shards = 0;
  bool json = false;
};

void Options(CLI::App* app, ShardCommand* c) {
  app->add_option("-d,--database", c->database, "database folder")->required()->envname("KIVO_DATABASE");
  app->add_option("-c,--catalog", c->catalog, "catalog name")->required()->envname("KIVO_CATALOG");
}

int RunStatus(const ShardCommand& c, std::ostream& out, std::ostream& err) {
  Manifest m;
  std::vector<ShardStatus> shards;
  std::string error;
  if (!ReadShardStatus(c.database, c.catalog, &m, &shards, &error)) {
    err << "kivo shard status: " << error << '\n';
    return kExitFailed;
  }
  size_t total = 0;
  bool complete = true;
  for (const ShardStatus& s : shards) {
    total += s.images;
    complete = complete && s.readable;
  }
  if (c.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const ShardStatus& s : shards) {
      nlohmann::json entry = {{"catalog", s.name}};
      if (s.readable) {
        entry["images"] = s.images;
      } else {
        entry["error"] = s.reason;
      }
      list.push_back(entry);
    }
    WriteJson(out, nlohmann::json{{"catalog", m.catalog}, {"hash", "xxh64"}, {"shards", list}, {"images", total}});
  } else {
    out << "catalog " << m.catalog << ": " << shards.size() << " shards, key hash xxh64 mod " << shards.size()
        << '\n';
    for (const ShardStatus& s : shards) {
      if (s.readable) {
        out << "  " << s.name << ": " << s.images << " images\n";
      } else {
        out << "  " << s.name << ": unreadable: " << s.reason << '\n';
      }
    }
    out << "  total: " << total << " images\n";
  }
  if (!complete) {
    err << "kivo shard status: catalog " << m.catalog << " has unreadable shards\n";
    return kExitFailed;
  }
  return kExitOk;
}

Subcommand::Runner DeclareShard(CLI::App* app) {
  app->require_subcommand(1, 1);
  auto init = std::make_shared<ShardCommand>();
  auto status = std::make_shared<ShardCommand>();
  CLI::App* initApp = app->add_subcommand("init", "make a sharded catalog of N empty shards");
  Options(initApp, init.get());
  initApp->add_option("-n,--shards", init->shards, "number of shards")
      ->required()
      ->check(CLI::Range(1, kMaxShards));
  CLI::App* statusApp = app->add_subcommand("status", "show the shards of a sharded catalog");
  Options(statusApp, status.get());
  statusApp->add_flag("--json", status->json, "print the shards as JSON");
  return [init, status, initApp](std::ostream& out, std::ostream& err) -> int {
    if (initApp->parsed()) {
      std::string error;
      if (InitShards(init->database, init->catalog, init->shards, &error) != 0) {
        err << "kivo shard init: " << error << '\n';
        return kExitFailed;
      }
      out << "catalog " << init->catalog << ": " << init->shards << " shards, " << ShardName(init->catalog, 0)
          << " to " << ShardName(init->catalog, init->shards - 1) << '\n';
      return kExitOk;
    }
    return RunStatus(*status, out, err);
  };
}

int QueryHook(const std::string& database, const std::string& catalog, const QueryRequest& request, bool partial,
              std::ostream& err, QueryResult* result, std::string* error, bool* print) {
  Manifest m;
  const int found = ReadManifest(database, catalog, &m, error);
  if (found == 0) return -1;
  if (found < 0) return kQueryFailed;
  MpiJob job;
  *print = job.Root();
  return RunShardedQuery(job, database, m, request, partial, err, result, error);
}

}  // namespace

int InitShards(const std::string& database, const std::string& catalog, int count, std::string* error) {
  if (count < 1 || count > kMaxShards) {
    *error = "the number of shards must be 1 to " + std::to_string(kMaxShards);
    return 1;
  }
  Manifest m;
  const int found = ReadManifest(database, catalog, &m, error);
  if (found < 0) return 1;
  if (found > 0) {
    *error = "catalog " + catalog + " is sharded already (" + std::to_string(m.shards.size()) + " shards)";
    return 1;
  }
  m.catalog = catalog;
  for (int i = 0; i < count; ++i) m.shards.push_back(ShardName(catalog, i));
  {
    // A catalog of any of these names would be taken over: refuse.
    std::vector<std::string> names = m.shards;
    names.insert(names.begin(), catalog);
    for (const std::string& name : names) {
      CatalogStore probe;
      std::string ignored;
      if (probe.Open(database, name, false, &ignored)) {
        *error = "catalog " + name + " exists already in database " + database;
        return 1;
      }
    }
  }
  for (const std::string& name : m.shards) {
    CatalogStore store;
    if (!store.Open(database, name, true, error)) return 1;
  }
  // Empty shards: the whole catalog's statistics are those of no records.
  WholeBlocks whole;
  whole.valid = true;
  return WriteWhole(database, catalog, whole, error) && WriteManifest(database, m, error) ? 0 : 1;
}

bool ReadShardStatus(const std::string& database, const std::string& catalog, Manifest* manifest,
                     std::vector<ShardStatus>* shards, std::string* error) {
  shards->clear();
  const int found = ReadManifest(database, catalog, manifest, error);
  if (found < 0) return false;
  if (found == 0) {
    *error = "catalog " + catalog + " in database " + database + " is not sharded";
    return false;
  }
  for (const std::string& name : manifest->shards) {
    ShardStatus s;
    s.name = name;
    CatalogStore store;
    std::vector<std::string> keys;
    s.readable = store.Open(database, name, false, &s.reason) && store.ImageKeys(&keys, &s.reason);
    s.images = keys.size();
    shards->push_back(std::move(s));
  }
  return true;
}

void AddShardCommands() {
  AddSubcommand({"shard", "make sharded catalogs and show their shards (kivo shard init, kivo shard status)", DeclareShard});
  CatalogHooks hooks;
  hooks.index = IndexSharded;
  hooks.query = QueryHook;
  SetCatalogHooks(std::move(hooks));
  web::SetServeWrapper(ServeSharded);
}

}  // namespace shard
}  // namespace kivo
