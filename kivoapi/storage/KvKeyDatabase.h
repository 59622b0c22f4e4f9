// In-memory key/distance result sets behind the table interface, kept sorted
// by ascending distance, then ascending key.
#pragma once

#include <cstdint>

#include "storage/KvConnect.h"

class KvKeyDatabaseClass : public KvDatabaseClass {
 public:
  explicit KvKeyDatabaseClass(const KvConnectClass* connection) : KvDatabaseClass(connection) {}
  ~KvKeyDatabaseClass() override;

  long GetCount() override { return static_cast<long>(count_); }
  virtual int ToQueryString(KvDatumClass& out) = 0;
  virtual int FromQueryString(const KvDatumClass& in) = 0;
  virtual int ToKeyString(KvDatumClass& out) = 0;
  virtual int FromKeyString(const KvDatumClass& in) = 0;
  // Hands datum a new 4-byte buffer holding the float.
  virtual int SetDistance(KvDatumClass& datum, float distance) = 0;
  // The float in the first 4 bytes, or -2.0 for a shorter datum.
  virtual float GetDistance(const KvDatumClass& datum) = 0;
  virtual int GetLast(KvDatumClass& key, KvDatumClass& data) = 0;
  // Set when the candidates were exhausted: the set is a complete answer.
  virtual uint32_t GetComplete() const = 0;
  virtual uint32_t GetReserved() const = 0;
  virtual void SetComplete(uint32_t complete) = 0;

 protected:
  uint32_t count_ = 0;
};

class KvKeyMemoryDatabaseClass : public KvKeyDatabaseClass {
 public:
  explicit KvKeyMemoryDatabaseClass(const KvConnectClass* connection);
  ~KvKeyMemoryDatabaseClass() override;

  uint32_t GetClassId() const override { return 501983; }
  const char* GetClassName() const override { return "KvKeyMemoryDatabaseClass"; }

  int Open(const char* name, const char* mode) override;
  int OpenForWrite(const char* name) override;
  int Close() override;
  int Remove() override { return 0; }
  int Create(const char* name, int a = 0, int b = 0, int c = 0, int d = 0, int e = 0) override {
    (void)name, (void)a, (void)b, (void)c, (void)d, (void)e;
    return 0;
  }
  int Sync() override { return 0; }
  int Insert(const KvDatumClass& key, const KvDatumClass& data) override;
  int Update(const KvDatumClass& key, const KvDatumClass& data, Boolean insertIfMissing) override;
  int Get(const KvDatumClass& key, KvDatumClass& data) override;
  int Delete(const KvDatumClass& key) override;
  KvDbIteratorClass* NewIterator() override;
  const char* GetTableName() const override { return name_; }

  int ToQueryString(KvDatumClass& out) override;
  int FromQueryString(const KvDatumClass& in) override;
  int ToKeyString(KvDatumClass& out) override;
  int FromKeyString(const KvDatumClass& in) override;
  int SetDistance(KvDatumClass& datum, float distance) override;
  float GetDistance(const KvDatumClass& datum) override;
  int GetLast(KvDatumClass& key, KvDatumClass& data) override;
  uint32_t GetComplete() const override { return complete_; }
  uint32_t GetReserved() const override { return reserved_; }
  void SetComplete(uint32_t complete) override { complete_ = complete; }

  // Inserts (key, distance) without datums: the scan's fast path. Same
  // results as Insert. 0, 1 for a refused duplicate, -1 on allocation failure.
  int InsertKey(const char* key, float distance);
  // Removes the entry with the largest distance (the last). 0, or 1 if empty.
  int DeleteLast();
  // Distance of the last entry, or -1.0 for an empty set.
  float LastDistance() const;

  struct Entry {
    float distance;
    char inlineKey[32];
    char* key;
    int ownsKey;
    Entry* next;
    Entry* previous;
  };
  const Entry* FirstEntry() const { return first_; }

 private:
  uint32_t complete_ = 0;
  uint32_t reserved_ = 0;
  char* name_ = nullptr;
  Entry* first_ = nullptr;
  Entry* last_ = nullptr;
};

class KvKeyMemoryDbIteratorClass : public KvDbIteratorClass {
 public:
  explicit KvKeyMemoryDbIteratorClass(KvKeyMemoryDatabaseClass* set);

  uint32_t GetClassId() const override { return 543976; }
  const char* GetClassName() const override { return "KvKeyMemoryDbIteratorClass"; }

  int HasCurrent() override { return current_ != nullptr; }
  int First() override;
  int Next(KvDatumClass& key, KvDatumClass& data, int mode) override;
  int NextView(KvDatumClass& key, KvDatumClass& data) override;

 private:
  KvKeyMemoryDatabaseClass* set_;
  const KvKeyMemoryDatabaseClass::Entry* current_;
  unsigned char distanceBytes_[4] = {0, 0, 0, 0};
};
