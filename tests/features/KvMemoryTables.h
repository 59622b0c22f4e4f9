// Small in-memory tables for the feature tests: a key/value table behind the
// table interface, and a key/distance result set ordered like the real one.
#pragma once

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace kvtest {

inline std::string KeyOf(const KvDatumClass& d) {
  if (d.Data() == nullptr) return std::string();
  const char* p = reinterpret_cast<const char*>(d.Data());
  return std::string(p, strnlen(p, d.Size()));
}

// Walks a snapshot of (key, value) pairs.
class VectorIterator : public KvDbIteratorClass {
 public:
  explicit VectorIterator(std::vector<std::pair<std::string, std::string>> rows, int failAt = -1)
      : rows_(std::move(rows)), failAt_(failAt) {}
  uint32_t GetClassId() const override { return 543976; }
  const char* GetClassName() const override { return "VectorIterator"; }
  int HasCurrent() override { return at_ < rows_.size(); }
  int First() override {
    at_ = 0;
    return HasCurrent();
  }
  int Next(KvDatumClass& key, KvDatumClass& data, int mode) override {
    if (mode == 0) at_ = 0;
    if (NextView(key, data) != 0) return -1;
    key.CopyBytes(key.Data(), key.Size(), "test");
    data.CopyBytes(data.Data(), data.Size(), "test");
    return 0;
  }
  int NextView(KvDatumClass& key, KvDatumClass& data) override {
    if (at_ >= rows_.size() || static_cast<int>(at_) == failAt_) return -1;
    auto& row = rows_[at_++];
    key.SetBytes(row.first.size(), reinterpret_cast<unsigned char*>(&row.first[0]), KvOwnNone);
    data.SetBytes(row.second.size(), reinterpret_cast<unsigned char*>(&row.second[0]), KvOwnNone);
    return 0;
  }

 private:
  std::vector<std::pair<std::string, std::string>> rows_;
  size_t at_ = 0;
  int failAt_;
};

// Keys are stored with their NUL, as the catalog stores them; lookups find
// them with or without it.
class MemoryTable : public KvDatabaseClass {
 public:
  MemoryTable() : KvDatabaseClass(nullptr) {}
  uint32_t GetClassId() const override { return 452398; }
  const char* GetClassName() const override { return "MemoryTable"; }
  int Open(const char*, const char*) override { return 0; }
  int OpenForWrite(const char*) override { return 0; }
  int Close() override { return 0; }
  int Remove() override { return 0; }
  int Sync() override { return 0; }
  int Insert(const KvDatumClass& key, const KvDatumClass& data) override {
    return rows_.emplace(KeyOf(key), Bytes(data)).second ? 0 : 1;
  }
  int Update(const KvDatumClass& key, const KvDatumClass& data, Boolean) override {
    rows_[KeyOf(key)] = Bytes(data);
    return 0;
  }
  int Get(const KvDatumClass& key, KvDatumClass& data) override {
    auto it = rows_.find(KeyOf(key));
    if (it == rows_.end()) return 1;
    data.SetBytes(it->second.size(), reinterpret_cast<unsigned char*>(&it->second[0]), KvOwnNone);
    return 0;
  }
  int Delete(const KvDatumClass& key) override { return rows_.erase(KeyOf(key)) == 1 ? 0 : 1; }
  KvDbIteratorClass* NewIterator() override {
    std::vector<std::pair<std::string, std::string>> rows;
    for (const auto& r : rows_) rows.emplace_back(r.first + std::string(1, '\0'), r.second);
    return new VectorIterator(std::move(rows), failAt_);
  }
  const char* GetTableName() const override { return "memory"; }
  long GetCount() override { return static_cast<long>(rows_.size()); }

  void Put(const std::string& key, const std::string& bytes) { rows_[key] = bytes; }
  // Makes the iterator fail at the given step.
  void FailAt(int step) { failAt_ = step; }

 private:
  static std::string Bytes(const KvDatumClass& d) {
    return d.Data() != nullptr ? std::string(reinterpret_cast<const char*>(d.Data()), d.Size()) : std::string();
  }
  std::map<std::string, std::string> rows_;
  int failAt_ = -1;
};

// Result set ordered by (distance, key); a duplicate key is refused with 1.
class MemoryResultSet : public KvKeyDatabaseClass {
 public:
  MemoryResultSet() : KvKeyDatabaseClass(nullptr) {}
  uint32_t GetClassId() const override { return 501983; }
  const char* GetClassName() const override { return "MemoryResultSet"; }
  int Open(const char*, const char*) override { return 0; }
  int OpenForWrite(const char*) override { return 0; }
  int Close() override { return 0; }
  int Remove() override { return 0; }
  int Sync() override { return 0; }
  int Insert(const KvDatumClass& key, const KvDatumClass& data) override {
    if (failInsert_) return -1;
    const std::string k = KeyOf(key);
    for (const auto& e : entries_) {
      if (e.second == k) return 1;
    }
    entries_.emplace(GetDistance(data), k);
    count_ = static_cast<uint32_t>(entries_.size());
    return 0;
  }
  int Update(const KvDatumClass& key, const KvDatumClass& data, Boolean) override { return Insert(key, data); }
  int Get(const KvDatumClass&, KvDatumClass&) override { return 1; }
  int Delete(const KvDatumClass&) override { return 1; }
  KvDbIteratorClass* NewIterator() override {
    std::vector<std::pair<std::string, std::string>> rows;
    for (const auto& e : entries_) {
      std::string d(4, '\0');
      std::memcpy(&d[0], &e.first, 4);
      rows.emplace_back(e.second + std::string(1, '\0'), d);
    }
    return new VectorIterator(std::move(rows));
  }
  const char* GetTableName() const override { return nullptr; }
  int ToQueryString(KvDatumClass&) override { return -1; }
  int FromQueryString(const KvDatumClass&) override { return -1; }
  int ToKeyString(KvDatumClass&) override { return -1; }
  int FromKeyString(const KvDatumClass&) override { return -1; }
  int SetDistance(KvDatumClass& datum, float distance) override {
    if (datum.CopyBytes(&distance, 4, "test") != 0) return -1;
    return 0;
  }
  float GetDistance(const KvDatumClass& datum) override {
    if (datum.Size() < 4) return -2.0f;
    float d;
    std::memcpy(&d, datum.Data(), 4);
    return d;
  }
  int GetLast(KvDatumClass&, KvDatumClass&) override { return 1; }
  uint32_t GetComplete() const override { return complete_; }
  uint32_t GetReserved() const override { return 0; }
  void SetComplete(uint32_t complete) override { complete_ = complete; }

  // Adds a candidate key (for restriction sets).
  void Add(const std::string& key, float distance) {
    entries_.emplace(distance, key);
    count_ = static_cast<uint32_t>(entries_.size());
  }
  // (key, distance) pairs in order.
  std::vector<std::pair<std::string, float>> Entries() const {
    std::vector<std::pair<std::string, float>> out;
    for (const auto& e : entries_) out.emplace_back(e.second, e.first);
    return out;
  }
  void FailInsert() { failInsert_ = true; }

 private:
  std::set<std::pair<float, std::string>> entries_;
  uint32_t complete_ = 0;
  bool failInsert_ = false;
};

}  // namespace kvtest
