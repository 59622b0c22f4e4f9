// The subcommand table and the command line of kivo.
#include "KivoCommands.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <memory>

#include "KivoFeatures.h"
#include "KivoIndex.h"
#include "KivoInfo.h"
#include "KivoOutput.h"
#include "KivoQuery.h"
#include "core/KvVersion.h"

namespace kivo {
namespace {

void DatabaseOptions(CLI::App* app, std::string* database, std::string* catalog, bool catalogRequired = true) {
  app->add_option("-d,--database", *database, "database folder")->required()->envname("KIVO_DATABASE");
  auto* c = app->add_option("-c,--catalog", *catalog, "catalog name")->envname("KIVO_CATALOG");
  if (catalogRequired) c->required();
}

std::string FeatureHelp() {
  std::string s = "feature CLASS[:PARAMETERS], repeatable; short names:";
  for (const auto& entry : FeatureShortNames()) s += " " + entry.first;
  return s;
}

Subcommand::Runner DeclareIndex(CLI::App* app) {
  auto o = std::make_shared<IndexOptions>();
  auto progress = std::make_shared<std::string>("auto");
  DatabaseOptions(app, &o->database, &o->catalog);
  app->add_option("-f,--feature", o->features, FeatureHelp() + " (a new catalog gets the default set)");
  app->add_option("paths", o->paths, "image files and folders, indexed recursively");
  app->add_option("--from0", o->from0, "also index the NUL-separated paths of FILE ('-': standard input)");
  app->add_option("--root", o->root, "catalog root of a new catalog (default: the folder holding every path)");
  app->add_option("-j,--jobs", o->jobs, "worker threads (default: one per core)")
      ->check(CLI::Range(1, 64))
      ->envname("KIVO_JOBS");
  app->add_flag("--keep-missing", o->keepMissing, "keep the records of files that are gone");
  app->add_flag("--folder-keywords", o->folderKeywords, "add the names of a file's folders to its keywords");
  app->add_flag("!--no-orient", o->orient, "keep the stored pixel order (ignore the orientation tag)");
  app->add_flag("-q,--quiet", o->quiet, "no progress and no summary (failures are still listed)");
  app->add_option("--progress", *progress, "progress display")
      ->check(CLI::IsMember({"auto", "bar", "lines"}))
      ->envname("KIVO_PROGRESS");
  app->add_option("--group", o->groupImages, "images per write group")->check(CLI::Range(1, 100000));
  return [o, progress](std::ostream& out, std::ostream& err) {
    o->progress = *progress == "bar" ? 1 : *progress == "lines" ? 0 : -1;
    IndexSummary summary;
    return RunIndex(*o, out, err, &summary);
  };
}

struct QueryCommand {
  std::string database, catalog;
  QueryRequest request;
  bool json = false, tsv = false;
};

Subcommand::Runner DeclareQuery(CLI::App* app) {
  auto q = std::make_shared<QueryCommand>();
  DatabaseOptions(app, &q->database, &q->catalog);
  auto* image = app->add_option("-I,--image", q->request.image, "query by this image file");
  auto* key = app->add_option("-i,--key", q->request.key, "query by this stored key (or an indexed file's path)");
  app->add_option("-T,--keywords", q->request.keywords,
                  "keywords, any case; 'a,b' any of them, 'a+b' all; alone it lists the matches, "
                  "with an example it restricts the candidates");
  auto* sketch = app->add_option("-S,--sketch", q->request.sketch,
                                 "query by a drawing: \"D<w> <h> R<x> <y> <w> <h> <r> <g> <b> ...\" or its JSON form");
  image->excludes(key)->excludes(sketch);
  key->excludes(sketch);
  app->add_option("-f,--feature", q->request.features, FeatureHelp() + " (default: the catalog's own)");
  app->add_option("-n,--results", q->request.n, "number of results (default 20)")->check(CLI::Range(1, 1000000));
  auto* json = app->add_flag("--json", q->json, "print {\"results\": [{\"rank\", \"key\", \"path\", \"distance\"}]}");
  auto* tsv = app->add_flag("--tsv", q->tsv, "print tab-separated rank, key, path, distance");
  json->excludes(tsv);
  app->add_flag("!--no-orient", q->request.orient, "read the query image in its stored pixel order");
  return [q](std::ostream& out, std::ostream& err) {
    QueryResult result;
    std::string error;
    const int rc = RunQuery(q->database, q->catalog, q->request, &result, &error);
    if (rc != kQueryOk) {
      err << "kivo query: " << error << '\n';
      return rc == kQueryBadRequest ? kExitUsage : kExitFailed;
    }
    if (q->json) {
      WriteJson(out, ResultsJson(result));
    } else if (q->tsv) {
      WriteResultsTsv(out, result);
    } else {
      WriteResultsTable(out, result);
    }
    return kExitOk;
  };
}

struct InfoCommand {
  std::string database, catalog;
  bool json = false;
};

Subcommand::Runner DeclareInfo(CLI::App* app) {
  auto o = std::make_shared<InfoCommand>();
  DatabaseOptions(app, &o->database, &o->catalog, false);
  app->add_flag("--json", o->json, "print the information as JSON");
  return [o](std::ostream& out, std::ostream& err) {
    std::vector<CatalogInfo> catalogs;
    std::string error;
    if (!ReadDatabaseInfo(o->database, o->catalog, &catalogs, &error)) {
      err << "kivo info: " << error << '\n';
      return kExitFailed;
    }
    if (o->json) {
      WriteJson(out, InfoJson(o->database, catalogs));
    } else {
      WriteInfoText(out, o->database, catalogs);
    }
    return kExitOk;
  };
}

}  // namespace

namespace {

std::vector<Subcommand>& Table() {
  static std::vector<Subcommand> table = {
      {"index", "bring a catalog up to date with folders of images", DeclareIndex},
      {"query", "rank a catalog's images by their distance to an example", DeclareQuery},
      {"info", "show catalogs, features, record counts and sizes", DeclareInfo},
  };
  return table;
}

}  // namespace

const std::vector<Subcommand>& Subcommands() { return Table(); }

void AddSubcommand(Subcommand command) { Table().push_back(std::move(command)); }

std::string ConfigFilePath() {
  if (const char* path = std::getenv("KIVO_CONFIG")) return path;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
    return std::string(xdg) + "/kivo/config.toml";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::string(home) + "/.config/kivo/config.toml";
  }
  return std::string();
}

int KivoMain(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CLI::App app("kivo: index folders of images and query them by example", "kivo");
  app.set_version_flag("--version", std::string("kivo ") + KIVO_VERSION_STRING);
  app.set_config("--config", ConfigFilePath(), "read option defaults from this TOML file");
  app.require_subcommand(1, 1);
  std::vector<std::pair<CLI::App*, Subcommand::Runner>> runners;
  for (const Subcommand& s : Subcommands()) {
    CLI::App* sub = app.add_subcommand(s.name, s.summary);
    runners.emplace_back(sub, s.declare(sub));
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e, out, err);
    return rc == 0 ? kExitOk : kExitUsage;
  }
  for (auto& [sub, run] : runners) {
    if (sub->parsed()) return run(out, err);
  }
  return kExitUsage;
}

}  // namespace kivo
