// Connections, tables and iterators: the storage interfaces and their dbm
// implementation (a database is a directory, each table one B-tree file).
#pragma once

#include <db_185.h>

#include <cstdint>

#include "core/KvBase.h"
#include "core/KvDatum.h"
#include "core/KvString.h"

class KvDatabaseClass;
class KvKeyDatabaseClass;
class KvCatalogClass;
class KvDbIteratorClass;

class KvConnectClass : public KvBaseClass {
 public:
  KvConnectClass() = default;
  ~KvConnectClass() override;
  KvConnectClass(const KvConnectClass&) = delete;
  KvConnectClass& operator=(const KvConnectClass&) = delete;

  virtual int Connect(const char* directory, const char* mode) = 0;
  virtual int Disconnect() = 0;
  // New objects bound to this connection, owned by the caller; null (error
  // recorded) when they cannot be made.
  virtual KvDatabaseClass* NewDatabase() const = 0;
  virtual KvKeyDatabaseClass* NewKeyDatabase() const = 0;
  virtual KvCatalogClass* NewCatalog() const = 0;
  virtual Boolean IsConnected() const { return connected_; }
  virtual const char* GetMode() const { return mode_; }
  virtual const char* GetDirectory() const { return directory_; }
  // Asks table to create its file name (further arguments are sizing hints
  // that the dbm table ignores).
  virtual int CreateTable(KvDatabaseClass* table, const char* name, int a = 0, int b = 0, int c = 0,
                          int d = 0, int e = 0) const = 0;
  virtual int MakeTableName(const char* prefix, const char* name, const char* suffix,
                            KvStringClass& out) const = 0;
  virtual int MakeFileName(const char* name, const char* suffix, KvStringClass& out) const = 0;

 protected:
  char* mode_ = nullptr;
  char* directory_ = nullptr;
  Boolean connected_ = False;
};

// One key/value table. Keys and data are datums; data returned by Get points
// into the table's memory until the next operation on the table.
class KvDatabaseClass : public KvBaseClass {
 public:
  explicit KvDatabaseClass(const KvConnectClass* connection) : connection_(connection) {}
  ~KvDatabaseClass() override;
  KvDatabaseClass(const KvDatabaseClass&) = delete;
  KvDatabaseClass& operator=(const KvDatabaseClass&) = delete;

  virtual int Open(const char* name, const char* mode) = 0;
  virtual int OpenForWrite(const char* name) = 0;
  virtual int Close() = 0;
  virtual int Remove() = 0;
  virtual int Create(const char* name, int a = 0, int b = 0, int c = 0, int d = 0, int e = 0) {
    (void)name, (void)a, (void)b, (void)c, (void)d, (void)e;
    return 0;
  }
  virtual int Sync() = 0;
  virtual int Insert(const KvDatumClass& key, const KvDatumClass& data) = 0;
  virtual int Update(const KvDatumClass& key, const KvDatumClass& data, Boolean insertIfMissing) = 0;
  virtual int Get(const KvDatumClass& key, KvDatumClass& data) = 0;
  virtual int Delete(const KvDatumClass& key) = 0;
  // New iterator owned by the caller, or null.
  virtual KvDbIteratorClass* NewIterator() = 0;
  virtual const char* GetTableName() const = 0;
  virtual long GetCount() = 0;

  const KvConnectClass* GetConnection() const { return connection_; }

 protected:
  const KvConnectClass* connection_;
};

// Walks a table in key order. The usual walk: while (it->HasCurrent())
// it->Next(key, data, 1).
class KvDbIteratorClass : public KvBaseClass {
 public:
  KvDbIteratorClass() = default;
  ~KvDbIteratorClass() override;
  KvDbIteratorClass(const KvDbIteratorClass&) = delete;
  KvDbIteratorClass& operator=(const KvDbIteratorClass&) = delete;

  virtual int HasCurrent() = 0;
  virtual int First() = 0;
  // mode 0: from the first record; 1: the current record; 2: the record at or
  // after key. key and data receive new copies (ownership passes to them) and
  // the iterator steps on. 0 on a record.
  virtual int Next(KvDatumClass& key, KvDatumClass& data, int mode) = 0;
  // Like Next(key, data, 1) but key and data borrow the iterator's own bytes
  // (no allocation), valid until the next step or the iterator's destruction.
  virtual int NextView(KvDatumClass& key, KvDatumClass& data) = 0;
};

class KvDbmConnectClass : public KvConnectClass {
 public:
  KvDbmConnectClass() = default;
  ~KvDbmConnectClass() override;

  uint32_t GetClassId() const override { return 301397; }
  const char* GetClassName() const override { return "KvDbmConnectClass"; }

  int Connect(const char* directory, const char* mode) override;
  int Disconnect() override;
  KvDatabaseClass* NewDatabase() const override;
  KvKeyDatabaseClass* NewKeyDatabase() const override;
  KvCatalogClass* NewCatalog() const override;
  int CreateTable(KvDatabaseClass* table, const char* name, int a = 0, int b = 0, int c = 0, int d = 0,
                  int e = 0) const override;
  int MakeTableName(const char* prefix, const char* name, const char* suffix,
                    KvStringClass& out) const override;
  int MakeFileName(const char* name, const char* suffix, KvStringClass& out) const override;
};

// New dbm connection owned by the caller, or null.
KvConnectClass* NewKvDbmConnectClass();

class KvDbmDatabaseClass : public KvDatabaseClass {
 public:
  explicit KvDbmDatabaseClass(const KvConnectClass* connection);
  ~KvDbmDatabaseClass() override;

  uint32_t GetClassId() const override { return 452398; }
  const char* GetClassName() const override { return "KvDbmDatabaseClass"; }

  int Open(const char* name, const char* mode) override;
  int OpenForWrite(const char* name) override;
  int Close() override;
  int Remove() override;
  int Create(const char* name, int a = 0, int b = 0, int c = 0, int d = 0, int e = 0) override;
  int Sync() override;
  int Insert(const KvDatumClass& key, const KvDatumClass& data) override;
  int Update(const KvDatumClass& key, const KvDatumClass& data, Boolean insertIfMissing) override;
  int Get(const KvDatumClass& key, KvDatumClass& data) override;
  int Delete(const KvDatumClass& key) override;
  KvDbIteratorClass* NewIterator() override;
  const char* GetTableName() const override { return path_; }
  long GetCount() override;

 private:
  int OpenPath(const char* name, int flags);

  char* path_ = nullptr;
  DB* db_ = nullptr;
  unsigned char open_ = 0;
};

class KvDbmDbIteratorClass : public KvDbIteratorClass {
 public:
  // Opens its own read-only handle on tablePath and steps to the first record.
  explicit KvDbmDbIteratorClass(const char* tablePath);
  ~KvDbmDbIteratorClass() override;

  uint32_t GetClassId() const override { return 543976; }
  const char* GetClassName() const override { return "KvDbmDbIteratorClass"; }

  int HasCurrent() override { return hasCurrent_; }
  int First() override;
  int Next(KvDatumClass& key, KvDatumClass& data, int mode) override;
  int NextView(KvDatumClass& key, KvDatumClass& data) override;

 private:
  int Step(int flag);

  char* path_ = nullptr;
  DB* db_ = nullptr;
  int32_t hasCurrent_ = 0;
  DBT current_key_{};
  DBT current_data_{};
  int lastResult_ = 1;
  // Copies of the record NextView handed out, reused from record to record.
  unsigned char* viewKey_ = nullptr;
  size_t viewKeyCapacity_ = 0;
  unsigned char* viewData_ = nullptr;
  size_t viewDataCapacity_ = 0;
};
