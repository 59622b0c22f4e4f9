// The subcommand table and the command line of kivo.
#include "KivoCommands.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <memory>

#include "KivoCheck.h"
#include "KivoDups.h"
#include "KivoFeatures.h"
#include "KivoIndex.h"
#include "KivoInfo.h"
#include "KivoOutput.h"
#include "KivoQuery.h"
#include "KivoScan.h"
#include "KivoThumbs.h"
#include "core/KvVersion.h"
#include "features/KvPresets.h"

namespace kivo {
namespace {

CatalogHooks& Hooks() {
  static CatalogHooks hooks;
  return hooks;
}

void DatabaseOptions(CLI::App* app, std::string* database, std::string* catalog, bool catalogRequired = true) {
  app->add_option("-d,--database", *database, "database folder")->required()->envname("KIVO_DATABASE");
  auto* c = app->add_option("-c,--catalog", *catalog, "catalog name")->envname("KIVO_CATALOG");
  if (catalogRequired) c->required();
}

std::string FeatureHelp() {
  std::string s = "feature CLASS[:PARAMETERS] or preset, repeatable; short names:";
  for (const auto& entry : FeatureShortNames()) s += " " + entry.first;
  s += "; presets:";
  for (const char* const* p = KvListPresets(); *p != nullptr; ++p) s += std::string(" ") + *p;
  return s;
}

std::vector<std::string> PresetNames() {
  std::vector<std::string> out;
  for (const char* const* p = KvListPresets(); *p != nullptr; ++p) out.emplace_back(*p);
  return out;
}

// --preset NAME: the preset's features, beside any -f ones.
void PresetOption(CLI::App* app, std::vector<std::string>* features, const std::string& help) {
  app->add_option_function<std::string>(
         "--preset", [features](const std::string& name) { features->push_back(name); }, help)
      ->check(CLI::IsMember(PresetNames()));
}

Subcommand::Runner DeclareIndex(CLI::App* app) {
  auto o = std::make_shared<IndexOptions>();
  auto progress = std::make_shared<std::string>("auto");
  DatabaseOptions(app, &o->database, &o->catalog);
  // One spec per -f, so that the paths after it stay paths.
  app->add_option("-f,--feature", o->features,
                  FeatureHelp() + " (a new catalog gets the " + kDefaultPreset + " preset and keywords)")
      ->allow_extra_args(false);
  PresetOption(app, &o->features, "store the features of this preset");
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
    if (Hooks().index) {
      const int rc = Hooks().index(*o, out, err);
      if (rc >= 0) return rc;
    }
    IndexSummary summary;
    return RunIndex(*o, out, err, &summary);
  };
}

struct QueryCommand {
  std::string database, catalog;
  QueryRequest request;
  bool json = false, tsv = false;
  bool partial = false;
};

// The example options of a query, shared by query and thumbs.
void ExampleOptions(CLI::App* app, QueryRequest* request) {
  auto* image = app->add_option("-I,--image", request->image, "query by this image file");
  auto* key = app->add_option("-i,--key", request->key, "query by this stored key (or an indexed file's path)");
  app->add_option("-T,--keywords", request->keywords,
                  "keywords, any case; 'a,b' any of them, 'a+b' all; alone it lists the matches, "
                  "with an example it restricts the candidates");
  auto* sketch = app->add_option("-S,--sketch", request->sketch,
                                 "query by a drawing: \"D<w> <h> R<x> <y> <w> <h> <r> <g> <b> ...\" or its JSON form");
  image->excludes(key)->excludes(sketch);
  key->excludes(sketch);
  // One spec per -f.
  app->add_option("-f,--feature", request->features,
                  FeatureHelp() + " (default: a preset the catalog holds, else the catalog's own)")
      ->allow_extra_args(false);
  PresetOption(app, &request->features, "rank by the features of this preset");
  app->add_option("-n,--results", request->n, "number of results (default 20)")->check(CLI::Range(1, 1000000));
}

Subcommand::Runner DeclareQuery(CLI::App* app) {
  auto q = std::make_shared<QueryCommand>();
  DatabaseOptions(app, &q->database, &q->catalog);
  ExampleOptions(app, &q->request);
  auto* json = app->add_flag("--json", q->json, "print {\"results\": [{\"rank\", \"key\", \"path\", \"distance\"}]}");
  auto* tsv = app->add_flag("--tsv", q->tsv, "print tab-separated rank, key, path, distance");
  json->excludes(tsv);
  app->add_flag("!--no-orient", q->request.orient, "read the query image in its stored pixel order");
  app->add_flag("--partial", q->partial,
                "sharded catalog: answer from the shards that can be read, naming those that cannot");
  return [q](std::ostream& out, std::ostream& err) {
    QueryResult result;
    std::string error;
    bool print = true;
    int rc = -1;
    if (Hooks().query) {
      rc = Hooks().query(q->database, q->catalog, q->request, q->partial, err, &result, &error, &print);
    }
    if (rc < 0) rc = RunQuery(q->database, q->catalog, q->request, &result, &error);
    // The process that prints gives the exit status: a failing status of
    // another could end the job before the reason is printed.
    if (!print) return kExitOk;
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

struct DupsCommand {
  DupsOptions options;
  bool json = false, tsv = false;
};

Subcommand::Runner DeclareDups(CLI::App* app) {
  auto d = std::make_shared<DupsCommand>();
  DatabaseOptions(app, &d->options.database, &d->options.catalog);
  app->add_option("-f,--feature", d->options.features,
                  FeatureHelp() + " (default: a preset the catalog holds, else the catalog's own)")
      ->allow_extra_args(false);
  app->add_option("-t,--threshold", d->options.threshold,
                  "largest distance of two near-duplicates (default: 0.7 with the photo preset, else 0.03)")
      ->check(CLI::Range(0.0, 1e30));
  app->add_option("--neighbours", d->options.neighbours, "nearest images looked at per image (default 10)")
      ->check(CLI::Range(1, 10000));
  app->add_option("-j,--jobs", d->options.jobs, "query threads (default: one per core)")
      ->check(CLI::Range(1, 64))
      ->envname("KIVO_JOBS");
  app->add_flag("-q,--quiet", d->options.quiet, "no progress");
  auto* json = app->add_flag("--json", d->json, "print {\"images\": N, \"groups\": [{\"group\", \"images\"}]}");
  auto* tsv = app->add_flag("--tsv", d->tsv, "print tab-separated group, key, path, distance");
  json->excludes(tsv);
  return [d](std::ostream& out, std::ostream& err) {
    DupsResult result;
    std::string error;
    const int rc = FindDuplicates(d->options, err, &result, &error);
    if (rc != kQueryOk) {
      err << "kivo dups: " << error << '\n';
      return rc == kQueryBadRequest ? kExitUsage : kExitFailed;
    }
    if (d->json) {
      WriteJson(out, DupsJson(result));
    } else if (d->tsv) {
      WriteDupsTsv(out, result);
    } else {
      WriteDupsTable(out, result);
    }
    return kExitOk;
  };
}

Subcommand::Runner DeclareThumbs(CLI::App* app) {
  auto o = std::make_shared<ThumbsOptions>();
  DatabaseOptions(app, &o->database, &o->catalog);
  app->add_option("-o,--output", o->output, "folder the thumbnails are written below")->required();
  ExampleOptions(app, &o->query);
  app->add_option("-s,--size", o->size, "the square a thumbnail fits into (default 128)")->check(CLI::Range(1, 4096));
  app->add_option("--format", o->format, "jpg or png (default jpg)")->check(CLI::IsMember({"jpg", "png"}));
  app->add_flag("--pad", o->pad, "centre each thumbnail on black at exactly the size");
  app->add_flag("!--no-orient", o->orient, "keep the stored pixel order (ignore the orientation tag)");
  app->add_option("-j,--jobs", o->jobs, "worker threads (default: one per core)")
      ->check(CLI::Range(1, 64))
      ->envname("KIVO_JOBS");
  app->add_flag("-q,--quiet", o->quiet, "no progress and no summary (failures are still listed)");
  return [o](std::ostream& out, std::ostream& err) {
    o->query.orient = o->orient;
    ThumbsSummary summary;
    const int rc = MakeThumbnails(*o, out, err, &summary);
    return rc == 2 ? kExitUsage : rc == 0 ? kExitOk : kExitFailed;
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

Subcommand::Runner DeclareScan(CLI::App* app) {
  auto o = std::make_shared<ScanOptions>();
  auto action = std::make_shared<std::string>();
  app->add_option("action", *action, "refresh: write the scan files that are missing or out of date; "
                                     "check: report them and write nothing")
      ->required()
      ->check(CLI::IsMember({"refresh", "check"}));
  DatabaseOptions(app, &o->database, &o->catalog);
  return [o, action](std::ostream& out, std::ostream& err) {
    o->check = *action == "check";
    return RunScan(*o, out, err);
  };
}

Subcommand::Runner DeclareCheck(CLI::App* app) {
  auto o = std::make_shared<CheckOptions>();
  DatabaseOptions(app, &o->database, &o->catalog, false);
  app->add_option("--salvage", o->salvage, "copy every readable record into fresh catalogs in this new database folder");
  return [o](std::ostream& out, std::ostream& err) { return RunCheck(*o, out, err); };
}

}  // namespace

namespace {

std::vector<Subcommand>& Table() {
  static std::vector<Subcommand> table = {
      {"index", "bring a catalog up to date with folders of images", DeclareIndex},
      {"query", "rank a catalog's images by their distance to an example", DeclareQuery},
      {"dups", "list groups of near-duplicate images of a catalog", DeclareDups},
      {"thumbs", "write thumbnails of a query's results or of a whole catalog", DeclareThumbs},
      {"info", "show catalogs, features, record counts and sizes", DeclareInfo},
      {"scan", "check or refresh the scan files that queries read", DeclareScan},
      {"check", "verify every table of a database's catalogs; salvage what is readable", DeclareCheck},
  };
  return table;
}

}  // namespace

const std::vector<Subcommand>& Subcommands() { return Table(); }

void AddSubcommand(Subcommand command) { Table().push_back(std::move(command)); }

void SetCatalogHooks(CatalogHooks hooks) { Hooks() = std::move(hooks); }

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

int ParseCommandLine(int argc, char** argv, std::ostream& out, std::ostream& err, Subcommand::Runner* run) {
  CLI::App app("kivo: index folders of images and query them by example", "kivo");
  app.set_version_flag("--version", std::string("kivo ") + KIVO_VERSION_STRING);
  app.set_config("--config", ConfigFilePath(), "read option defaults from this TOML file");
  // A setting no subcommand has (a misspelt name, a line that is no
  // setting) is refused rather than passed over.
  app.allow_config_extras(CLI::config_extras_mode::error);
  app.require_subcommand(1, 1);
  std::vector<std::pair<CLI::App*, Subcommand::Runner>> runners;
  for (const Subcommand& s : Subcommands()) {
    CLI::App* sub = app.add_subcommand(s.name, s.summary);
    runners.emplace_back(sub, s.declare(sub));
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // A word where the subcommand belongs is not one of them.
    const std::vector<std::string> extra = app.remaining();
    if (app.get_subcommands().empty() && !extra.empty() && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
      err << "kivo: unknown subcommand " << extra.front() << "\nRun with --help for more information.\n";
      return kExitUsage;
    }
    const int rc = app.exit(e, out, err);
    return rc == 0 ? kExitOk : kExitUsage;
  }
  for (auto& [sub, runner] : runners) {
    if (sub->parsed()) {
      *run = std::move(runner);
      return -1;
    }
  }
  return kExitUsage;
}

int KivoMain(int argc, char** argv, std::ostream& out, std::ostream& err) {
  Subcommand::Runner run;
  const int rc = ParseCommandLine(argc, argv, out, err, &run);
  return rc >= 0 ? rc : run(out, err);
}

}  // namespace kivo
