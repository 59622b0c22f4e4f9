// kivo index: brings a catalog up to date with the image files of one or more
// folder trees, computing features only for files that are new or changed.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace kivo {

class CatalogStore;
struct Change;

struct IndexOptions {
  std::string database;
  std::string catalog;
  // Feature specs (class name, optionally ":" and parameters). On a new
  // catalog, empty means the default set; on an existing one, classes it
  // does not have yet are added and computed for every file.
  std::vector<std::string> features;
  std::vector<std::string> paths;  // files and folders
  std::string from0;               // a NUL-separated list of paths, "-" for standard input
  std::string root;                // catalog root of a new catalog
  int jobs = 0;                    // workers; 0: one per core
  bool keepMissing = false;
  bool folderKeywords = false;
  bool orient = true;
  bool quiet = false;
  // Progress display: -1 decide by whether err is a terminal, 0 plain lines, 1 bar.
  int progress = -1;
  // Write groups: at most this many images, or this many seconds of work.
  int groupImages = 256;
  double groupSeconds = 2.0;
};

struct IndexSummary {
  size_t added = 0, updated = 0, removed = 0, skipped = 0, failed = 0;
  std::vector<std::pair<std::string, std::string>> failures;  // path, reason
};

// The preset whose classes a new catalog gets when none are named, and
// those classes with the keyword class.
constexpr const char* kDefaultPreset = "photo";
const std::vector<std::string>& DefaultFeatures();

// Runs the index; messages and progress go to err, the summary line to out.
// 0 when every file was handled, 1 when any failed or the catalog could not
// be written, 2 for unusable options (an unknown feature, a root that
// contradicts the catalog's).
int RunIndex(const IndexOptions& options, std::ostream& out, std::ostream& err, IndexSummary* summary);

// The catalogs one index run writes: a plain catalog, or the shards of a
// sharded one (under MPI only this process's shards), each open for writing
// and locked, with the rule that names a key's catalog: an index into
// stores, or -1 for a key another process writes (its file is left alone).
struct IndexTarget {
  std::vector<std::unique_ptr<CatalogStore>> stores;
  std::function<int(const std::string& key)> route;
  // When set, told of every change that writes or removes records, before
  // it is written, with a text whose byte order is the order in which one
  // process writing every catalog of the collection would write it (files
  // gone come first, by key; then files in the order of the walk).
  std::function<void(const Change& change, const std::string& order)> observe;
};

// The paths of the command line and of --from0, in order; false (with the
// message written to err) when --from0 cannot be read.
bool GivenPaths(const IndexOptions& options, std::ostream& err, std::vector<std::string>* given);

// The run of RunIndex on the paths given and a target that is open: failures of single files go
// into summary, the reason of a failure of the whole run into *fatal.
// Prints progress and early refusals to err, nothing to out. The status as
// RunIndex's, before the failures of single files are counted.
int RunIndexOn(const IndexOptions& options, const std::vector<std::string>& given, IndexTarget& target,
               std::ostream& err, IndexSummary* summary, std::string* fatal);

// Prints what RunIndexOn left (failures to err, the summary line to out
// unless quiet) and gives RunIndex's status for it.
int ReportIndex(const IndexOptions& options, int status, const IndexSummary& summary, const std::string& fatal,
                std::ostream& out, std::ostream& err);

}  // namespace kivo
