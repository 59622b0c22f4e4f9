// Connections, tables and iterators: the storage interfaces and their dbm
// implementation (a database is a directory, each table one B-tree file).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "core/KvBase.h"
#include "core/KvDatum.h"
#include "core/KvString.h"
#include "storage/KvStoreEnv.h"

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
  // Table file name: up to n characters of prefix (without a leading "Kv";
  // n = 8 - length(name), or 6 when that is below 1), then name, then
  // "." suffix when suffix is not empty. 0 with the name in out; -1 (error
  // recorded, out emptied) for a name that would not lie directly in the
  // database directory (a '/' or '\\', an empty stem, a stem over 15
  // characters, "." or "..") or an out string that failed to allocate.
  virtual int MakeTableName(const char* prefix, const char* name, const char* suffix,
                            KvStringClass& out) const = 0;
  // name, then "." suffix when suffix is not empty; refused like MakeTableName.
  virtual int MakeFileName(const char* name, const char* suffix, KvStringClass& out) const = 0;

 protected:
  char* mode_ = nullptr;
  char* directory_ = nullptr;
  Boolean connected_ = False;
};

// One key/value table. Keys and data are datums. Data returned by Get is
// borrowed: for a stored table it points into the B-tree library's memory and
// stays valid only until the next operation on the same table, so a caller
// that keeps it (across another lookup, a write or a close) must copy it.
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
  // 0 found (data borrows the bytes, see above), 1 absent or error, -1 misuse.
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

  // 1 while the iterator stands on a record.
  virtual int HasCurrent() = 0;
  // Back to the first record: 0 when there is one, else non-zero.
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

  // The storage environment of the connected directory: joined (or, with
  // create, made) on first use and kept for the connection's life; reopened
  // after it reported that it needs recovery. Null when the directory is read
  // without one, or (error recorded, *failed set) when it cannot be opened.
  std::shared_ptr<KvStoreEnv> StoreEnv(bool create, bool* failed) const;

 private:
  // Workers sharing one connection (the query server's) join the
  // environment from their own threads: env_ is read and set under envMutex_.
  mutable std::mutex envMutex_;
  mutable std::shared_ptr<KvStoreEnv> env_;
};

// New dbm connection owned by the caller, or null.
KvConnectClass* NewKvDbmConnectClass();

// A B-tree file directly inside the connection's directory; at most one open
// file per object. Operations return -1 for misuse (already open, not open,
// a write on a read-only connection) and the dbopen layer's 0/1 otherwise.
class KvDbmDatabaseClass : public KvDatabaseClass {
 public:
  explicit KvDbmDatabaseClass(const KvConnectClass* connection);
  ~KvDbmDatabaseClass() override;

  uint32_t GetClassId() const override { return 452398; }
  const char* GetClassName() const override { return "KvDbmDatabaseClass"; }

  // Mode beginning with 'r': read-only. Any other mode (null included) needs
  // a connection whose mode begins with 'w' and opens read-write, creating
  // the file (mode 0600). Names with '/' or '\\' are refused for writing.
  int Open(const char* name, const char* mode) override;
  // Read-write with create on a 'w' connection, read-only otherwise.
  int OpenForWrite(const char* name) override;
  int Close() override;
  // Closes and deletes the open file.
  int Remove() override;
  // Leaves an empty table file; only on a 'w' connection with nothing open.
  int Create(const char* name, int a = 0, int b = 0, int c = 0, int d = 0, int e = 0) override;
  int Sync() override;
  // No-overwrite insert: 1 when the key exists, with or without its NUL (or
  // on error).
  int Insert(const KvDatumClass& key, const KvDatumClass& data) override;
  // Overwrites the record under the form its key is stored in (with or
  // without its NUL); 1 when absent and insertIfMissing is False.
  int Update(const KvDatumClass& key, const KvDatumClass& data, Boolean insertIfMissing) override;
  // data borrows the library's bytes, valid only until the next operation on
  // this table: copy them to keep them.
  int Get(const KvDatumClass& key, KvDatumClass& data) override;
  // 0 deleted, 1 not found, -1 error; finds the key with or without its NUL.
  int Delete(const KvDatumClass& key) override;
  // An iterator on its own read-only handle (this table's writes are flushed
  // first), owned by the caller; null when no file is open.
  KvDbIteratorClass* NewIterator() override;
  const char* GetTableName() const override { return path_; }
  // The table does not count: 1 when it holds any record, 0 when empty, -1
  // when no iterator could be made.
  long GetCount() override;

 private:
  int OpenPath(const char* name, bool write);
  int Fail(const char* what, int rc);

  char* path_ = nullptr;
  std::shared_ptr<KvStoreEnv> env_;  // null: a directory read without an environment
  std::shared_ptr<KvStoreTable> table_;
  unsigned char open_ = 0;
  // Opened for writing: writes on a read-only table are answered here.
  bool writable_ = false;
  // The bytes of the last Get (the library reallocates them; released with free).
  void* getBuffer_ = nullptr;
  uint32_t getCapacity_ = 0;
};

// Walks a table in ascending byte order of its keys. In a directory with a
// storage environment it reads one snapshot of the committed state, taken when
// it is made (inside a write scope of its thread: that scope's own view, and it
// ends with the scope). A failure to read (a damaged page) is reported by the
// following Next or NextView with -1, the error recorded.
class KvDbmDbIteratorClass : public KvDbIteratorClass, private KvStoreCursorOwner {
 public:
  // On its own read-only handle of tablePath, without an environment.
  // Invalid when the path cannot be copied.
  explicit KvDbmDbIteratorClass(const char* tablePath);
  // On a table of an environment (env may be null: a table read without one).
  KvDbmDbIteratorClass(std::shared_ptr<KvStoreEnv> env, std::shared_ptr<KvStoreTable> table);
  ~KvDbmDbIteratorClass() override;

  uint32_t GetClassId() const override { return 543976; }
  const char* GetClassName() const override { return "KvDbmDbIteratorClass"; }

  int HasCurrent() override { return hasCurrent_; }
  int First() override;
  int Next(KvDatumClass& key, KvDatumClass& data, int mode) override;
  int NextView(KvDatumClass& key, KvDatumClass& data) override;

 private:
  void OpenCursor();
  void CloseCursor() override;
  int Step(int flag);

  char* path_ = nullptr;
  std::shared_ptr<KvStoreEnv> env_;
  std::shared_ptr<KvStoreTable> table_;
  __db_txn* snapshot_ = nullptr;
  __dbc* cursor_ = nullptr;
  bool registered_ = false;
  int32_t hasCurrent_ = 0;
  bool failed_ = false;
  // The current record, in buffers the library reallocates (released with free).
  void* keyBytes_ = nullptr;
  uint32_t keySize_ = 0;
  uint32_t keyCapacity_ = 0;
  void* dataBytes_ = nullptr;
  uint32_t dataSize_ = 0;
  uint32_t dataCapacity_ = 0;
  int lastResult_ = 1;
  // Copies of the record NextView handed out, reused from record to record.
  unsigned char* viewKey_ = nullptr;
  size_t viewKeyCapacity_ = 0;
  unsigned char* viewData_ = nullptr;
  size_t viewDataCapacity_ = 0;
};
