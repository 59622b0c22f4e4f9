// kivo thumbs: thumbnails of a query's results, or of every image of a
// catalog, written below a folder in the layout of the catalog's keys.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "KivoQuery.h"

namespace kivo {

struct ThumbsOptions {
  std::string database;
  std::string catalog;
  std::string output;         // the folder written to (created as needed)
  int size = 128;             // the box a thumbnail fits into
  std::string format = "jpg";  // jpg or png
  bool pad = false;           // centre on black at exactly size x size
  bool orient = true;         // turn photos upright by their orientation tag
  // Thumbnails of this query's results; without an example or keywords,
  // of every image of the catalog.
  QueryRequest query;
  int jobs = 0;  // 0: one per core
  bool quiet = false;
};

struct ThumbsSummary {
  size_t written = 0, failed = 0;
  std::vector<std::pair<std::string, std::string>> failures;  // key, reason
};

// The thumbnail's path below the output folder for a key: the key's path,
// normalised so that it cannot leave the folder, with ".<format>" added
// unless it already ends so (compared without regard to case).
std::string ThumbnailName(const std::string& key, const std::string& format);

// 0 when every thumbnail was written, 1 when any failed, 2 for a bad
// request; the summary line goes to out, failures to err.
int MakeThumbnails(const ThumbsOptions& options, std::ostream& out, std::ostream& err, ThumbsSummary* summary);

}  // namespace kivo
