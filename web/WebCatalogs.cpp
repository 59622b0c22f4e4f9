#include "WebCatalogs.h"

#include <algorithm>

#include "KivoInfo.h"
#include "KivoQuery.h"
#include "KivoStore.h"

namespace kivo {
namespace web {

struct EngineLease::Entry {
  std::string name;
  CatalogStore store;
  std::mutex* mutex = nullptr;  // the set's, which guards idle
  std::vector<std::unique_ptr<QueryEngine>> idle;
};

EngineLease::EngineLease(EngineLease&& other) noexcept
    : entry_(other.entry_), engine_(std::move(other.engine_)) {
  other.entry_ = nullptr;
}

EngineLease::~EngineLease() {
  if (entry_ == nullptr || engine_ == nullptr) return;
  std::lock_guard<std::mutex> guard(*entry_->mutex);
  entry_->idle.push_back(std::move(engine_));
}

CatalogSet::CatalogSet(std::string database) : database_(std::move(database)) {}

CatalogSet::~CatalogSet() {
  // Engines before their stores; the stores last, since the first of them to
  // close gives up the connection the others use.
  for (auto& e : entries_) e->idle.clear();
  entries_.clear();
}

EngineLease::Entry* CatalogSet::Open(const std::string& name, std::string* error, bool* missing) {
  *missing = false;
  for (auto& e : entries_) {
    if (e->name == name) return e.get();
  }
  std::vector<std::string> names;
  if (!ListCatalogNames(database_, &names, error)) return nullptr;
  if (std::find(names.begin(), names.end(), name) == names.end()) {
    *missing = true;
    *error = "no catalog " + name;
    return nullptr;
  }
  auto entry = std::make_unique<EngineLease::Entry>();
  entry->name = name;
  entry->mutex = &mutex_;
  if (!entry->store.Open(database_, name, false, error)) return nullptr;
  entries_.push_back(std::move(entry));
  return entries_.back().get();
}

bool CatalogSet::Take(const std::string& name, EngineLease* lease, std::string* error, bool* missing) {
  std::lock_guard<std::mutex> guard(mutex_);
  EngineLease::Entry* entry = Open(name, error, missing);
  if (entry == nullptr) return false;
  lease->entry_ = entry;
  if (!entry->idle.empty()) {
    lease->engine_ = std::move(entry->idle.back());
    entry->idle.pop_back();
  } else {
    lease->engine_ = std::make_unique<QueryEngine>(entry->store);
  }
  return true;
}

bool CatalogSet::InfoJson(const std::string& name, nlohmann::ordered_json* out, std::string* error, bool* missing) {
  std::lock_guard<std::mutex> guard(mutex_);
  *missing = false;
  std::vector<std::string> names;
  if (!name.empty()) {
    names.push_back(name);
  } else if (!ListCatalogNames(database_, &names, error)) {
    return false;
  }
  std::vector<CatalogInfo> infos;
  for (const std::string& n : names) {
    EngineLease::Entry* entry = Open(n, error, missing);
    if (entry == nullptr) return false;
    CatalogInfo info;
    if (!ReadCatalogInfo(entry->store, &info, error)) return false;
    infos.push_back(std::move(info));
  }
  *out = kivo::InfoJson(database_, infos);
  return true;
}

}  // namespace web
}  // namespace kivo
