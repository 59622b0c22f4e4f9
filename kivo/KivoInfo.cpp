#include "KivoInfo.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <ostream>

#include "KivoFeatures.h"
#include "KivoStore.h"
#include "core/KvString.h"
#include "features/KvPresets.h"
#include "storage/KvCatalog.h"

namespace kivo {
namespace {

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool ReadCatalog(const std::string& database, const std::string& name, CatalogInfo* info, std::string* error) {
  CatalogStore store;
  if (!store.Open(database, name, false, error)) return false;
  return ReadCatalogInfo(store, info, error);
}

}  // namespace

bool ReadCatalogInfo(CatalogStore& store, CatalogInfo* info, std::string* error) {
  const std::string& database = store.Database();
  const std::string& name = store.CatalogName();
  info->name = name;
  store.GetMeta("root", &info->root);
  std::map<std::string, FileState> states;
  if (!store.LoadFileStates(&states, error)) return false;
  info->files = states.size();
  std::vector<std::string> names;
  if (!store.FeatureClasses(&names, error)) return false;
  for (const std::string& feature : names) {
    FeatureInfo f;
    f.name = feature;
    f.records = store.Catalog()->GetGlobalCounter1(feature.c_str());
    KvStringClass table(64ul);
    if (store.Catalog()->GetFeatureTableName(feature.c_str(), table) == 0) {
      f.bytes = FileSize(database + "/" + table.c_str());
    }
    info->features.push_back(f);
  }
  // Every file whose extension is the catalog's name belongs to it.
  DIR* d = opendir(database.c_str());
  if (d != nullptr) {
    const std::string suffix = "." + name;
    while (dirent* e = readdir(d)) {
      const std::string file = e->d_name;
      if (file.size() > suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0) {
        info->bytes += FileSize(database + "/" + file);
      }
    }
    closedir(d);
  }
  return true;
}

bool ListCatalogNames(const std::string& database, std::vector<std::string>* names, std::string* error) {
  names->clear();
  DIR* d = opendir(database.c_str());
  if (d == nullptr) {
    *error = "no database " + database + ": " + std::strerror(errno);
    return false;
  }
  while (dirent* e = readdir(d)) {
    if (std::strncmp(e->d_name, "FeatIdx.", 8) == 0 && e->d_name[8] != '\0') names->emplace_back(e->d_name + 8);
  }
  closedir(d);
  std::sort(names->begin(), names->end());
  return true;
}

bool ReadDatabaseInfo(const std::string& database, const std::string& catalog, std::vector<CatalogInfo>* out,
                      std::string* error) {
  out->clear();
  std::vector<std::string> names;
  if (!catalog.empty()) {
    names.push_back(catalog);
  } else if (!ListCatalogNames(database, &names, error)) {
    return false;
  }
  for (const std::string& name : names) {
    CatalogInfo info;
    if (!ReadCatalog(database, name, &info, error)) return false;
    out->push_back(std::move(info));
  }
  return true;
}

nlohmann::ordered_json InfoJson(const std::string& database, const std::vector<CatalogInfo>& catalogs) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const CatalogInfo& c : catalogs) {
    nlohmann::ordered_json features = nlohmann::ordered_json::array();
    for (const FeatureInfo& f : c.features) {
      features.push_back({{"name", f.name}, {"records", f.records}, {"bytes", f.bytes}});
    }
    nlohmann::ordered_json j;
    j["name"] = c.name;
    j["root"] = c.root.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(c.root);
    j["files"] = c.files;
    j["bytes"] = c.bytes;
    j["features"] = std::move(features);
    // The presets a query may name on this catalog: those whose classes it
    // holds, in preference order.
    std::vector<std::string> held;
    for (const FeatureInfo& f : c.features) held.push_back(f.name);
    nlohmann::ordered_json presets = nlohmann::ordered_json::array();
    for (const char* const* p = KvListPresets(); *p != nullptr; ++p) {
      if (PresetFits(*p, held)) presets.push_back(*p);
    }
    j["presets"] = std::move(presets);
    list.push_back(std::move(j));
  }
  nlohmann::ordered_json out;
  out["database"] = database;
  out["catalogs"] = std::move(list);
  return out;
}

void WriteInfoText(std::ostream& out, const std::string& database, const std::vector<CatalogInfo>& catalogs) {
  out << "database " << database << ": " << catalogs.size() << (catalogs.size() == 1 ? " catalog\n" : " catalogs\n");
  for (const CatalogInfo& c : catalogs) {
    out << "catalog " << c.name << ": " << c.files << " files, " << c.bytes << " bytes";
    if (!c.root.empty()) out << ", root " << c.root;
    out << '\n';
    for (const FeatureInfo& f : c.features) {
      out << "  " << f.name << ": " << f.records << " records, " << f.bytes << " bytes\n";
    }
  }
}

}  // namespace kivo
