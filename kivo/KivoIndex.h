// kivo index: brings a catalog up to date with the image files of one or more
// folder trees, computing features only for files that are new or changed.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kivo {

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

}  // namespace kivo
