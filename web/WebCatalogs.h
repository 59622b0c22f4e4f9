// The catalogs a server answers for: each opened once, read-only, on first
// use and kept open for the server's life (the process has one connection,
// which a closing store would give up), with a stack of idle query engines
// so that concurrent requests on one catalog each have their own.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kivo {

class CatalogStore;
class QueryEngine;

namespace web {

class CatalogSet;

// An engine taken from a catalog for one request; given back on destruction.
class EngineLease {
 public:
  EngineLease() = default;
  EngineLease(EngineLease&& other) noexcept;
  EngineLease& operator=(EngineLease&&) = delete;
  ~EngineLease();
  QueryEngine* operator->() const { return engine_.get(); }
  QueryEngine& operator*() const { return *engine_; }
  explicit operator bool() const { return engine_ != nullptr; }

 private:
  friend class CatalogSet;
  struct Entry;
  Entry* entry_ = nullptr;
  std::unique_ptr<QueryEngine> engine_;
};

class CatalogSet {
 public:
  explicit CatalogSet(std::string database);
  ~CatalogSet();
  CatalogSet(const CatalogSet&) = delete;
  CatalogSet& operator=(const CatalogSet&) = delete;

  const std::string& Database() const { return database_; }
  // An engine of the named catalog. False with the reason (no such catalog,
  // the catalog cannot be opened); *missing tells a catalog that does not
  // exist from one that fails to open.
  bool Take(const std::string& name, EngineLease* lease, std::string* error, bool* missing);
  // The JSON of kivo info --json for every catalog, or for one.
  bool InfoJson(const std::string& name, nlohmann::ordered_json* out, std::string* error, bool* missing);

 private:
  EngineLease::Entry* Open(const std::string& name, std::string* error, bool* missing);

  std::string database_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<EngineLease::Entry>> entries_;
};

}  // namespace web
}  // namespace kivo
