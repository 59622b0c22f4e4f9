#include "KivoCheck.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <vector>

#include "KivoCommands.h"
#include "KivoInfo.h"
#include "KivoStore.h"
#include "core/KvDatum.h"
#include "features/KvFeature.h"
#include "storage/KvCatalog.h"
#include "storage/KvCatalogUtil.h"
#include "storage/KvConnect.h"
#include "storage/KvStoreCheck.h"
#include "storage/KvStoreEnv.h"

namespace kivo {
namespace {

using Records = std::vector<std::pair<std::string, std::string>>;

// A table file as the check found it.
struct Table {
  std::string file;  // name inside the database folder
  bool sound = false;
  Records records;  // all of them when sound, the salvaged ones otherwise
};

std::string Text(const std::string& bytes) {
  const size_t nul = bytes.find('\0');
  return nul == std::string::npos ? bytes : bytes.substr(0, nul);
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The table files of catalog (every file whose extension is its name), and
// the database's sampler files, in name order.
std::vector<std::string> TableFiles(const std::string& database, const std::string& catalog, bool samplers) {
  std::vector<std::string> files;
  DIR* d = opendir(database.c_str());
  if (d == nullptr) return files;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name[0] == '.') continue;
    struct stat st {};
    // An empty file holds no table (a lock, or a table whose creation was
    // cut short, which the storage takes as absent).
    if (stat((database + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) continue;
    if (EndsWith(name, "." + catalog) || (samplers && (name == "SampIdx" || EndsWith(name, ".sam")))) {
      files.push_back(name);
    }
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

// The feature table of class feature in catalog: the name without "Kv", cut
// to seven characters, the kind letter and the catalog as extension.
std::string FeatureTableFile(const std::string& feature, const std::string& catalog, char kind) {
  std::string stem = feature.compare(0, 2, "Kv") == 0 ? feature.substr(2) : feature;
  return stem.substr(0, 7) + kind + "." + catalog;
}

// Counter 1 of a global information block: its first ten digits. A block
// whose text is empty (a class given no record yet) counts 0.
bool FirstCounter(const std::string& block, uint64_t* count) {
  *count = 0;
  if (!block.empty() && block[0] == '\0') return true;
  if (block.size() < 10) return false;
  uint64_t n = 0;
  for (size_t i = 0; i < 10; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(block[i]))) return false;
    n = n * 10 + static_cast<uint64_t>(block[i] - '0');
  }
  *count = n;
  return true;
}

class Checker {
 public:
  Checker(const CheckOptions& o, std::ostream& out) : options_(o), out_(out) {}

  void Read(const std::string& file) {
    Table t;
    t.file = file;
    const std::string path = options_.database + "/" + file;
    std::string problem;
    auto take = [&t](const std::string& k, const std::string& v) {
      t.records.emplace_back(k, v);
      return true;
    };
    t.sound = KvStoreVerifyFile(path, &problem) && KvStoreWalkFile(path, take, &problem);
    ++checked_;
    if (!t.sound) {
      Damaged(file, problem);
      t.records.clear();
      std::string ignored;
      (void)KvStoreSalvageFile(path, take, &ignored);
    }
    tables_[file] = std::move(t);
  }

  // The catalog's own rules: counters equal records, sub-parts point at
  // stored keys.
  void CheckCatalog(const std::string& catalog) {
    const Table* index = Find("FeatIdx." + catalog);
    if (index == nullptr || !index->sound) return;
    std::set<std::string> imageKeys;
    for (const auto& [key, block] : index->records) {
      const std::string feature = Text(key);
      const Table* table = FeatureTable(feature, catalog);
      uint64_t counted = 0;
      if (!FirstCounter(block, &counted)) {
        Broken(index->file, "the information of " + feature + " is garbled");
        continue;
      }
      if (table == nullptr) {
        if (counted != 0) {
          Broken(index->file, feature + " counts " + std::to_string(counted) + " records, its table is missing");
        }
        continue;
      }
      if (!table->sound) continue;
      if (counted != table->records.size()) {
        Broken(index->file, feature + " counts " + std::to_string(counted) + " records, " + table->file + " holds " +
                                std::to_string(table->records.size()));
      }
      if (table->file[table->file.size() - catalog.size() - 2] == 'F') {
        for (const auto& r : table->records) imageKeys.insert(Text(r.first));
      }
    }
    const Table* parts = Find("SubPIdx." + catalog);
    if (parts == nullptr || !parts->sound) return;
    CheckSubParts(*parts, imageKeys);
  }

  void Summary(const std::string& what) {
    out_ << what << ": " << checked_ << (checked_ == 1 ? " table" : " tables") << " checked, " << damaged_
         << " damaged, " << broken_ << (broken_ == 1 ? " broken reference or count" : " broken references or counts")
         << '\n';
  }

  bool AllWell() const { return damaged_ == 0 && broken_ == 0; }
  const Table* Find(const std::string& file) const {
    auto it = tables_.find(file);
    return it == tables_.end() ? nullptr : &it->second;
  }
  const Table* FeatureTable(const std::string& feature, const std::string& catalog) const {
    const Table* t = Find(FeatureTableFile(feature, catalog, 'F'));
    return t != nullptr ? t : Find(FeatureTableFile(feature, catalog, 'P'));
  }
  const std::map<std::string, Table>& Tables() const { return tables_; }

 private:
  void Damaged(const std::string& file, const std::string& problem) {
    ++damaged_;
    out_ << "damaged " << options_.database << "/" << file << ": " << problem << '\n';
  }
  void Broken(const std::string& file, const std::string& problem) {
    ++broken_;
    out_ << "broken " << options_.database << "/" << file << ": " << problem << '\n';
  }

  // Parent records: "<count> <sub-part keys>"; sub-part records: "<parent>
  // <mask in hex>".
  void CheckSubParts(const Table& parts, const std::set<std::string>& imageKeys) {
    std::map<std::string, std::vector<std::string>> lists;
    std::map<std::string, std::string> parents;
    for (const auto& [key, data] : parts.records) {
      const std::vector<std::string> words = kvcat::SplitWords(Text(data));
      if (words.empty()) {
        Broken(parts.file, "the record of " + Text(key) + " is empty");
        continue;
      }
      const bool digits = std::all_of(words[0].begin(), words[0].end(), [](char c) { return c >= '0' && c <= '9'; });
      if (digits && std::strtoul(words[0].c_str(), nullptr, 10) == words.size() - 1) {
        lists[Text(key)].assign(words.begin() + 1, words.end());
      } else {
        parents[Text(key)] = words[0];
      }
    }
    for (const auto& [parent, list] : lists) {
      if (!imageKeys.empty() && imageKeys.count(parent) == 0) {
        Broken(parts.file, "sub-parts are listed for " + parent + ", which no feature table holds");
      }
      for (const std::string& part : list) {
        auto it = parents.find(part);
        if (it == parents.end()) {
          Broken(parts.file, parent + " lists " + part + ", which has no record");
        } else if (it->second != parent) {
          Broken(parts.file, parent + " lists " + part + ", whose record names " + it->second);
        }
      }
    }
    for (const auto& [part, parent] : parents) {
      auto it = lists.find(parent);
      if (it == lists.end() || std::find(it->second.begin(), it->second.end(), part) == it->second.end()) {
        Broken(parts.file, part + " names " + parent + ", which does not list it");
      }
    }
  }

  const CheckOptions& options_;
  std::ostream& out_;
  std::map<std::string, Table> tables_;
  size_t checked_ = 0, damaged_ = 0, broken_ = 0;
};

struct Tally {
  uint64_t saved = 0, lost = 0;
};

void Report(std::ostream& out, const std::string& file, const Tally& t) {
  out << "salvaged " << file << ": " << t.saved << " records saved, " << t.lost << " lost\n";
}

// Copies the readable records of one catalog into the open store: feature
// records through their class (so the global information counts them),
// every other table as it is.
bool Salvage(const Checker& check, const std::string& catalog, const std::vector<std::string>& files,
             CatalogStore& store, std::ostream& out, Tally* total, std::string* error) {
  KvCatalogClass* cat = store.Catalog();
  std::set<std::string> done = {"FeatIdx." + catalog};
  const Table* index = check.Find("FeatIdx." + catalog);
  if (index != nullptr) {
    Tally classes;
    for (const auto& entry : index->records) {
      const std::string feature = Text(entry.first);
      kvcat::FeaturePtr object = kvcat::MakeFeature(feature.c_str());
      if (!object || !store.AddFeatureClass(feature, error)) {
        ++classes.lost;
        continue;
      }
      ++classes.saved;
      const Table* table = check.FeatureTable(feature, catalog);
      if (table == nullptr) continue;
      done.insert(table->file);
      KvStringClass name(64ul);
      KvDatumClass info;
      if (cat->GetFeatureTableName(feature.c_str(), name) != 0 ||
          cat->GetGlobalFeatureInfo(feature.c_str(), info) != 0) {
        *error = LibraryError();
        return false;
      }
      uint64_t promised = 0;
      FirstCounter(entry.second, &promised);
      Tally t;
      {
        KvStoreWriteScope scope(store.Connection());
        kvcat::TableGuard out_table(store.Connection()->NewDatabase(), true);
        if (!scope.Ok() || out_table.get() == nullptr || out_table.OpenForWrite(name.c_str()) != 0) {
          *error = LibraryError();
          return false;
        }
        for (const auto& [key, bytes] : table->records) {
          KvDatumClass k, d;
          k.SetBytes(key.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(key.data())), KvOwnNone);
          d.SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), KvOwnNone);
          // A record its class cannot decode is garbage the salvage read.
          if (object->FromByteString(d) != 0 || out_table->Insert(k, d) != 0 ||
              object->UpdateGlobalInfo(info, 0) != 0) {
            ++t.lost;
            continue;
          }
          ++t.saved;
        }
        if (out_table.Close() != 0 || cat->PutGlobalFeatureInfo(feature.c_str(), info) != 0 || scope.Commit() != 0) {
          *error = LibraryError();
          return false;
        }
      }
      if (promised > t.saved + t.lost) t.lost = promised - t.saved;
      Report(out, table->file, t);
      total->saved += t.saved;
      total->lost += t.lost;
    }
    Report(out, index->file, classes);
  }
  for (const std::string& file : files) {
    if (done.count(file) != 0) continue;
    const Table* table = check.Find(file);
    if (table == nullptr) continue;
    Tally t;
    KvStoreWriteScope scope(store.Connection());
    kvcat::TableGuard out_table(store.Connection()->NewDatabase(), true);
    if (!scope.Ok() || out_table.get() == nullptr || out_table.OpenForWrite(file.c_str()) != 0) {
      *error = LibraryError();
      return false;
    }
    for (const auto& [key, bytes] : table->records) {
      KvDatumClass k, d;
      k.SetBytes(key.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(key.data())), KvOwnNone);
      d.SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), KvOwnNone);
      if (out_table->Insert(k, d) == 0) {
        ++t.saved;
      } else {
        ++t.lost;
      }
    }
    if (out_table.Close() != 0 || scope.Commit() != 0) {
      *error = LibraryError();
      return false;
    }
    Report(out, file, t);
    total->saved += t.saved;
    total->lost += t.lost;
  }
  return true;
}

}  // namespace

int RunCheck(const CheckOptions& options, std::ostream& out, std::ostream& err) {
  std::vector<std::string> catalogs;
  std::string error;
  if (!options.catalog.empty()) {
    struct stat st {};
    if (stat((options.database + "/FeatIdx." + options.catalog).c_str(), &st) != 0) {
      err << "kivo check: no catalog " << options.catalog << " in database " << options.database << '\n';
      return kExitFailed;
    }
    catalogs.push_back(options.catalog);
  } else if (!ListCatalogNames(options.database, &catalogs, &error)) {
    err << "kivo check: " << error << '\n';
    return kExitFailed;
  }
  if (!options.salvage.empty()) {
    // The salvage makes fresh catalogs: it never adds to existing ones.
    DIR* d = opendir(options.salvage.c_str());
    bool empty = true;
    while (d != nullptr) {
      dirent* e = readdir(d);
      if (e == nullptr) break;
      if (e->d_name[0] != '.') empty = false;
    }
    if (d != nullptr) closedir(d);
    if (!empty) {
      err << "kivo check: the salvage folder " << options.salvage << " is not empty\n";
      return kExitUsage;
    }
  }
  Checker check(options, out);
  std::map<std::string, std::vector<std::string>> files;
  for (size_t i = 0; i < catalogs.size(); ++i) {
    // The database's samplers are checked once, with its first catalog.
    files[catalogs[i]] = TableFiles(options.database, catalogs[i], i == 0);
    for (const std::string& file : files[catalogs[i]]) check.Read(file);
    check.CheckCatalog(catalogs[i]);
  }
  check.Summary("database " + options.database);
  bool ok = check.AllWell();
  if (!options.salvage.empty()) {
    Tally total;
    for (const std::string& catalog : catalogs) {
      CatalogStore store;
      if (!store.Open(options.salvage, catalog, true, &error) ||
          !Salvage(check, catalog, files[catalog], store, out, &total, &error)) {
        err << "kivo check: salvage into " << options.salvage << ": " << error << '\n';
        return kExitFailed;
      }
    }
    out << "salvage into " << options.salvage << ": " << total.saved << " records saved, " << total.lost << " lost\n";
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace kivo
