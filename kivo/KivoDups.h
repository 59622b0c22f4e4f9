// kivo dups: groups of near-duplicate images across a whole catalog. Two
// images are near-duplicates when one is among the other's nearest
// neighbours at a distance of at most the threshold, with the distance of
// kivo query; groups are the connected sets of such pairs.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kivo {

// The threshold for features given by hand, or a catalog without a preset.
constexpr double kDefaultDuplicateDistance = 0.03;

struct DupsOptions {
  std::string database;
  std::string catalog;
  // Empty: the preset the catalog's classes fit, else its own image
  // features at weight 1.
  std::vector<std::string> features;
  // Negative: the preset's own near-duplicate distance when the catalog's
  // preset is used, else kDefaultDuplicateDistance.
  double threshold = -1.0;
  int neighbours = 10;  // nearest images looked at per image
  int jobs = 0;         // query threads; 0: one per core
  bool quiet = false;   // no progress
};

struct DupImage {
  std::string key;
  std::string path;
  float distance = 0.0f;  // to the nearest other image of its group
};

struct DupGroup {
  std::vector<DupImage> images;  // in key order
};

struct DupsResult {
  size_t images = 0;  // images compared
  std::vector<DupGroup> groups;  // in the order of their first keys
};

// kQueryOk, kQueryBadRequest (an unknown feature, a catalog without image
// features) or kQueryFailed, with the reason in error.
int FindDuplicates(const DupsOptions& options, std::ostream& err, DupsResult* result, std::string* error);

// {"images": N, "groups": [{"group": 1, "images": [{"key", "path", "distance"}, ...]}, ...]}
nlohmann::ordered_json DupsJson(const DupsResult& result);
// Header "group\tkey\tpath\tdistance", one line per image.
void WriteDupsTsv(std::ostream& out, const DupsResult& result);
// Group, distance and key per image, a blank line between groups, and a
// closing count.
void WriteDupsTable(std::ostream& out, const DupsResult& result);

}  // namespace kivo
