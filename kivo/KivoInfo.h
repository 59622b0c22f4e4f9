// kivo info: the catalogs of a database, their features, record counts and
// sizes on disk.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kivo {

struct FeatureInfo {
  std::string name;
  uint64_t records = 0;  // the class's record counter
  uint64_t bytes = 0;    // size of its table file
};

struct CatalogInfo {
  std::string name;
  std::string root;      // empty for a catalog kivo index never wrote
  uint64_t files = 0;    // files kivo index keeps state for
  uint64_t bytes = 0;    // every table file of the catalog
  std::vector<FeatureInfo> features;
};

// The catalogs of database (all, or the one named), in name order. False
// with the reason when the database or a catalog cannot be read.
bool ReadDatabaseInfo(const std::string& database, const std::string& catalog, std::vector<CatalogInfo>* out,
                      std::string* error);

class CatalogStore;
// The information of the catalog store has open. The store stays open (a
// server that keeps its catalogs open reads them this way: closing a store
// gives up the process's connection).
bool ReadCatalogInfo(CatalogStore& store, CatalogInfo* out, std::string* error);
// The names of database's catalogs, in name order.
bool ListCatalogNames(const std::string& database, std::vector<std::string>* names, std::string* error);

nlohmann::ordered_json InfoJson(const std::string& database, const std::vector<CatalogInfo>& catalogs);
void WriteInfoText(std::ostream& out, const std::string& database, const std::vector<CatalogInfo>& catalogs);

}  // namespace kivo
