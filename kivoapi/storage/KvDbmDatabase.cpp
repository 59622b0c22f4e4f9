// The dbm table: one B-tree file directly inside the connection's database
// directory. In a directory with a storage environment the file's handle is
// the environment's, kept open; reads outside a write scope see a snapshot of
// the committed state, and a write outside any scope is a transaction of its
// own. Table operations return -1 for misuse (already open, not open,
// read-only connection) and for failures of the library (recorded, naming the
// file), and the 0/1 results of the dbopen layer otherwise.
#include <db.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "storage/KvConnect.h"
#include "storage/KvStoreCheck.h"

namespace {

bool BeginsWith(const char* text, char letter) { return text != nullptr && text[0] == letter; }

bool ConnectionWrites(const KvConnectClass* connection) {
  return connection != nullptr && BeginsWith(connection->GetMode(), 'w');
}

// A DBT over the datum's bytes as they are; nothing is copied.
DBT Dbt(const KvDatumClass& datum) {
  DBT dbt;
  std::memset(&dbt, 0, sizeof dbt);
  dbt.data = const_cast<unsigned char*>(datum.Data());
  dbt.size = static_cast<u_int32_t>(datum.Size());
  return dbt;
}

DBT Empty() {
  DBT dbt;
  std::memset(&dbt, 0, sizeof dbt);
  return dbt;
}

// A DBT that the library fills by reallocating *buffer.
DBT Receiving(void* buffer, uint32_t capacity) {
  DBT dbt = Empty();
  dbt.data = buffer;
  dbt.ulen = capacity;
  dbt.flags = DB_DBT_REALLOC;
  return dbt;
}

void KeepMessage(const DB_ENV*, const char*, const char* message) { KvStoreKeepMessage(message); }
void DropMessage(const DB_ENV*, const char*) {}

void RecordFailure(const char* what, const std::string& path, int rc) {
  char text[1200];
  const std::string detail = KvStoreLastMessage();
  std::snprintf(text, sizeof text, "%s on table %.500s failed: %s%s%.400s", what, path.c_str(), db_strerror(rc),
                detail.empty() ? "" : ": ", detail.c_str());
  KvStoreClearMessage();
  KvStoreNoteFailure();
  KvError(KERR_General, KERR_Fatal, text);
}

// A table opened without an environment (read only).
std::shared_ptr<KvStoreTable> OpenPlain(const std::string& path, int* rc) {
  *rc = -1;
  DB* db = nullptr;
  if (db_create(&db, nullptr, 0) != 0) return nullptr;
  db->set_errcall(db, KeepMessage);
  db->set_msgcall(db, DropMessage);
  const int result = db->open(db, nullptr, path.c_str(), nullptr, DB_BTREE, DB_RDONLY | DB_THREAD, 0600);
  if (result != 0) {
    (void)db->close(db, 0);
    *rc = result == ENOENT ? 1 : -1;
    if (result != ENOENT) RecordFailure("open", path, result);
    return nullptr;
  }
  int pages = 0;
  if (!KvStoreCheckPages(db, path, &pages)) {
    (void)db->close(db, 0);
    return nullptr;
  }
  auto table = std::make_shared<KvStoreTable>();
  table->db = db;
  table->path = path;
  table->readOnly = true;
  *rc = 0;
  return table;
}

// A hold on the environment's handles for the length of one operation (none
// for a table read without an environment).
class Use {
 public:
  explicit Use(const std::shared_ptr<KvStoreEnv>& env) {
    if (env != nullptr) lock_ = std::shared_lock<std::shared_mutex>(env->UseMutex());
  }

 private:
  std::shared_lock<std::shared_mutex> lock_;
};

// The transaction a read runs in: the thread's write transaction, else a
// snapshot of its own for the length of the read.
class ReadTxn {
 public:
  explicit ReadTxn(const std::shared_ptr<KvStoreEnv>& env) {
    if (env == nullptr) return;
    txn_ = env->CurrentTxn();
    if (txn_ != nullptr || env->Handle() == nullptr) return;
    DB_ENV* handle = env->Handle();
    if (handle->txn_begin(handle, nullptr, &own_, DB_TXN_SNAPSHOT) == 0) {
      txn_ = own_;
    } else {
      own_ = nullptr;
    }
  }
  ~ReadTxn() {
    // A read-only snapshot has nothing to keep; commit only releases it.
    if (own_ != nullptr) (void)own_->commit(own_, 0);
  }
  ReadTxn(const ReadTxn&) = delete;
  ReadTxn& operator=(const ReadTxn&) = delete;
  DB_TXN* get() const { return txn_; }

 private:
  DB_TXN* txn_ = nullptr;
  DB_TXN* own_ = nullptr;
};

// A key's other stored form: without its last byte when that is a NUL, else
// with a NUL appended (bytes in scratch).
bool OtherForm(const DBT& key, std::string& scratch, DBT* out) {
  *out = key;
  const unsigned char* bytes = static_cast<const unsigned char*>(key.data);
  if (key.size > 0 && bytes == nullptr) return false;
  if (key.size > 0 && bytes[key.size - 1] == 0) {
    --out->size;
    return true;
  }
  try {
    scratch.assign(reinterpret_cast<const char*>(bytes), key.size);
    scratch.push_back('\0');
  } catch (const std::bad_alloc&) {
    return false;
  }
  out->data = &scratch[0];
  out->size = static_cast<u_int32_t>(scratch.size());
  return true;
}

// Whether key is stored as given (0, *stored = key) or in its other form (0,
// *stored = that form), absent (1) or unreadable (a library result < 0 or > 1
// in *error, return -1).
int StoredKey(DB* db, DB_TXN* txn, const DBT& key, std::string& scratch, DBT* stored, int* error) {
  *stored = key;
  DBT k = key;
  // Existence only: no bytes copied.
  DBT data = Empty();
  data.flags = DB_DBT_PARTIAL | DB_DBT_USERMEM;
  int rc = db->get(db, txn, &k, &data, 0);
  if (rc == 0) return 0;
  if (rc != DB_NOTFOUND && rc != DB_KEYEMPTY) {
    *error = rc;
    return -1;
  }
  DBT other;
  if (!OtherForm(key, scratch, &other)) {
    *error = ENOMEM;
    return -1;
  }
  data = Empty();
  data.flags = DB_DBT_PARTIAL | DB_DBT_USERMEM;
  rc = db->get(db, txn, &other, &data, 0);
  if (rc == 0) {
    *stored = other;
    return 0;
  }
  if (rc != DB_NOTFOUND && rc != DB_KEYEMPTY) {
    *error = rc;
    return -1;
  }
  return 1;
}

}  // namespace

KvDbmDatabaseClass::KvDbmDatabaseClass(const KvConnectClass* connection)
    : KvDatabaseClass(connection) {}

KvDbmDatabaseClass::~KvDbmDatabaseClass() {
  table_.reset();
  env_.reset();
  KvDelete(path_);
  std::free(getBuffer_);
}

int KvDbmDatabaseClass::Fail(const char* what, int rc) {
  if (env_ != nullptr) {
    env_->Check(rc);
    env_->Doom();
  }
  RecordFailure(what, table_ != nullptr ? table_->path : std::string(path_ != nullptr ? path_ : ""), rc);
  return -1;
}

int KvDbmDatabaseClass::OpenPath(const char* name, bool write) {
  if (open_ || name == nullptr || name[0] == '\0') return -1;
  if (connection_ == nullptr || !connection_->IsConnected()) return -1;
  const char* directory = connection_->GetDirectory();
  if (directory == nullptr || directory[0] == '\0') return -1;
  if (std::strpbrk(name, "/\\") != nullptr) {
    if (write) {
      // A name with a separator would create the file outside the database
      // directory; table files always lie directly inside it.
      char message[512];
      std::snprintf(message, sizeof message,
                    "KvDbmDatabaseClass::Open: table name \"%.400s\" contains a path separator", name);
      KvError(KERR_General, KERR_Fatal, message);
    }
    return -1;
  }
  const char last = directory[std::strlen(directory) - 1];
  char* path = KvStrCat(directory, last == '/' || last == '\\' ? "" : "/", name);
  if (path == nullptr) return -1;
  const auto* dbm = dynamic_cast<const KvDbmConnectClass*>(connection_);
  bool failed = false;
  std::shared_ptr<KvStoreEnv> env = dbm != nullptr ? dbm->StoreEnv(write, &failed) : nullptr;
  int rc = -1;
  std::shared_ptr<KvStoreTable> table;
  if (env != nullptr) {
    table = env->Table(name, write, &rc);
  } else if (!failed && !write) {
    table = OpenPlain(path, &rc);
  }
  if (table == nullptr) {
    KvDelete(path);
    return -1;
  }
  path_ = path;
  env_ = env;
  table_ = table;
  open_ = 1;
  writable_ = write && !table->readOnly;
  return 0;
}

int KvDbmDatabaseClass::Open(const char* name, const char* mode) {
  if (BeginsWith(mode, 'r')) return OpenPath(name, false);
  if (!ConnectionWrites(connection_)) return -1;
  return OpenPath(name, true);
}

int KvDbmDatabaseClass::OpenForWrite(const char* name) { return OpenPath(name, ConnectionWrites(connection_)); }

int KvDbmDatabaseClass::Close() {
  if (!open_) return -1;
  // The handle stays open in the environment for the next user; a plain
  // read-only handle closes with its last user.
  table_.reset();
  env_.reset();
  open_ = 0;
  writable_ = false;
  KvDelete(path_);
  path_ = nullptr;
  return 0;
}

int KvDbmDatabaseClass::Remove() {
  if (!open_ || path_ == nullptr) return -1;
  if (env_ == nullptr || !writable_) return -1;
  Use use(env_);
  KvStoreWriteScope scope(env_);
  if (!scope.Ok()) return -1;
  int result = env_->Remove(table_);
  result = scope.Finish(result);
  Close();
  return result;
}

int KvDbmDatabaseClass::Create(const char* name, int, int, int, int, int) {
  if (open_ || !ConnectionWrites(connection_)) return -1;
  const int result = OpenForWrite(name);
  if (result != 0) return result;
  return Close();
}

int KvDbmDatabaseClass::Sync() {
  if (!open_) return -1;
  if (env_ == nullptr || env_->Handle() == nullptr) return 0;
  return env_->Handle()->log_flush(env_->Handle(), nullptr) == 0 ? 0 : -1;
}

int KvDbmDatabaseClass::Insert(const KvDatumClass& key, const KvDatumClass& data) {
  if (!open_) return -1;
  Use use(env_);
  if (!writable_ || table_->db == nullptr) return 1;
  KvStoreWriteScope scope(env_->CurrentTxn() == nullptr ? env_ : nullptr);
  if (!scope.Ok()) return -1;
  DB* db = table_->db;
  DB_TXN* txn = env_->CurrentTxn();
  DBT k = Dbt(key);
  DBT d = Dbt(data);
  // The key counts as present in either form (with or without its NUL), as
  // lookups see it; a second record under the other form would be a twin.
  std::string scratch;
  DBT stored;
  int error = 0;
  const int found = StoredKey(db, txn, k, scratch, &stored, &error);
  if (found < 0) return Fail("insert", error);
  if (found == 0) return 1;
  const int rc = db->put(db, txn, &k, &d, DB_NOOVERWRITE);
  if (rc == DB_KEYEXIST) return 1;
  if (rc != 0) return Fail("insert", rc);
  env_->NoteWritten(table_);
  return scope.Commit();
}

int KvDbmDatabaseClass::Update(const KvDatumClass& key, const KvDatumClass& data, Boolean insertIfMissing) {
  if (!open_) return -1;
  Use use(env_);
  if (table_->db == nullptr) return -1;
  std::shared_ptr<KvStoreEnv> own = writable_ && env_->CurrentTxn() == nullptr ? env_ : nullptr;
  KvStoreWriteScope scope(own);
  if (!scope.Ok()) return -1;
  DB* db = table_->db;
  ReadTxn read(env_);
  DB_TXN* txn = read.get();
  DBT k = Dbt(key);
  DBT d = Dbt(data);
  // Overwrite the record under the form its key is stored in (with or
  // without the NUL), so an update from the bare text never adds a twin.
  std::string scratch;
  DBT stored;
  int error = 0;
  const int found = StoredKey(db, txn, k, scratch, &stored, &error);
  if (found < 0) return Fail("update", error);
  if (found != 0 && !insertIfMissing) return 1;
  if (!writable_) return 1;
  const int rc = db->put(db, txn, &stored, &d, 0);
  if (rc != 0) return Fail("update", rc);
  env_->NoteWritten(table_);
  return scope.Commit();
}

int KvDbmDatabaseClass::Get(const KvDatumClass& key, KvDatumClass& data) {
  if (!open_) return -1;
  Use use(env_);
  if (table_->db == nullptr) return -1;
  DB* db = table_->db;
  ReadTxn read(env_);
  DBT k = Dbt(key);
  DBT d = Receiving(getBuffer_, getCapacity_);
  int rc = db->get(db, read.get(), &k, &d, 0);
  if (rc == DB_NOTFOUND || rc == DB_KEYEMPTY) {
    // A key stored with its NUL is found from the bare text, and the other way
    // round.
    std::string scratch;
    DBT other;
    if (!OtherForm(k, scratch, &other)) return 1;
    rc = db->get(db, read.get(), &other, &d, 0);
  }
  getBuffer_ = d.data;
  if (d.size > getCapacity_) getCapacity_ = d.size;
  if (rc == DB_NOTFOUND || rc == DB_KEYEMPTY) return 1;
  if (rc != 0) {
    if (env_ != nullptr) env_->Check(rc);
    RecordFailure("lookup", table_->path, rc);
    return -1;
  }
  data.SetBytes(d.size, static_cast<unsigned char*>(d.data), KvOwnNone);
  return 0;
}

int KvDbmDatabaseClass::Delete(const KvDatumClass& key) {
  if (!open_) return -1;
  Use use(env_);
  if (table_->db == nullptr) return -1;
  std::shared_ptr<KvStoreEnv> own = writable_ && env_->CurrentTxn() == nullptr ? env_ : nullptr;
  KvStoreWriteScope scope(own);
  if (!scope.Ok()) return -1;
  DB* db = table_->db;
  ReadTxn read(env_);
  DBT k = Dbt(key);
  // Like lookups, deletion finds a key stored with its NUL from the bare text.
  std::string scratch;
  DBT stored;
  int error = 0;
  const int found = StoredKey(db, read.get(), k, scratch, &stored, &error);
  if (found < 0) return Fail("delete", error);
  if (found != 0) return 1;
  if (!writable_) return -1;
  const int rc = db->del(db, read.get(), &stored, 0);
  if (rc == DB_NOTFOUND) return 1;
  if (rc != 0) return Fail("delete", rc);
  env_->NoteWritten(table_);
  return scope.Commit();
}

KvDbIteratorClass* KvDbmDatabaseClass::NewIterator() {
  if (!open_ || path_ == nullptr) return nullptr;
  KvDbIteratorClass* iterator = new (std::nothrow) KvDbmDbIteratorClass(env_, table_);
  if (iterator == nullptr) {
    KvError(KERR_General, KERR_Fatal, "Unable to new KvDbmDbIteratorClass in KvDbmCls");
    return nullptr;
  }
  if (!iterator->IsValid()) {
    delete iterator;
    return nullptr;
  }
  return iterator;
}

long KvDbmDatabaseClass::GetCount() {
  KvDbIteratorClass* iterator = NewIterator();
  if (iterator == nullptr) return -1;
  const long count = iterator->HasCurrent() ? 1 : 0;
  delete iterator;
  return count;
}

// ---- iterator ------------------------------------------------------------

KvDbmDbIteratorClass::KvDbmDbIteratorClass(const char* tablePath) {
  path_ = KvStrDup(tablePath, 0);
  if (path_ == nullptr) {
    valid_ = 0;
    return;
  }
  int rc = 0;
  table_ = OpenPlain(path_, &rc);
  OpenCursor();
}

KvDbmDbIteratorClass::KvDbmDbIteratorClass(std::shared_ptr<KvStoreEnv> env, std::shared_ptr<KvStoreTable> table)
    : env_(std::move(env)), table_(std::move(table)) {
  path_ = KvStrDup(table_ != nullptr ? table_->path.c_str() : "", 0);
  if (path_ == nullptr) {
    valid_ = 0;
    return;
  }
  OpenCursor();
}

void KvDbmDbIteratorClass::OpenCursor() {
  Use use(env_);
  if (table_ == nullptr || table_->db == nullptr) return;
  if (env_ != nullptr) env_->RegisterIterator(this);
  DB* db = table_->db;
  DB_TXN* txn = nullptr;
  if (env_ != nullptr) {
    txn = env_->CurrentTxn();
    if (txn != nullptr) {
      // Inside a write scope: the scope's own view; the cursor must close
      // before the scope's transaction ends.
      env_->RegisterCursor(this);
      registered_ = true;
    } else if (env_->Handle() != nullptr) {
      DB_ENV* handle = env_->Handle();
      if (handle->txn_begin(handle, nullptr, &snapshot_, DB_TXN_SNAPSHOT) != 0) snapshot_ = nullptr;
      txn = snapshot_;
    }
  }
  DBC* cursor = nullptr;
  const int rc = db->cursor(db, txn, &cursor, 0);
  if (rc != 0) {
    RecordFailure("walk", table_->path, rc);
    failed_ = true;
    hasCurrent_ = 1;  // the failure is reported by the next step
    return;
  }
  cursor_ = cursor;
  Step(DB_FIRST);
}

void KvDbmDbIteratorClass::CloseCursor() {
  if (cursor_ != nullptr) (void)cursor_->close(cursor_);
  cursor_ = nullptr;
  if (snapshot_ != nullptr) (void)snapshot_->commit(snapshot_, 0);
  snapshot_ = nullptr;
  registered_ = false;
  if (!failed_) hasCurrent_ = 0;
}

KvDbmDbIteratorClass::~KvDbmDbIteratorClass() {
  {
    Use use(env_);
    if (env_ != nullptr) {
      env_->UnregisterIterator(this);
      if (registered_) env_->UnregisterCursor(this);
    }
    CloseCursor();
  }
  KvDelete(path_);
  std::free(keyBytes_);
  std::free(dataBytes_);
  KvDelete(viewKey_);
  KvDelete(viewData_);
}

int KvDbmDbIteratorClass::Step(int flag) {
  Use use(env_);
  if (cursor_ == nullptr || table_ == nullptr || table_->db == nullptr) {
    lastResult_ = 1;
    hasCurrent_ = failed_ ? 1 : 0;
    return lastResult_;
  }
  DBT key = Receiving(keyBytes_, keyCapacity_);
  if (flag == DB_SET_RANGE) {
    key.size = keySize_;
  }
  DBT data = Receiving(dataBytes_, dataCapacity_);
  const int rc = cursor_->get(cursor_, &key, &data, static_cast<u_int32_t>(flag));
  keyBytes_ = key.data;
  dataBytes_ = data.data;
  if (key.size > keyCapacity_) keyCapacity_ = key.size;
  if (data.size > dataCapacity_) dataCapacity_ = data.size;
  if (rc == 0) {
    keySize_ = key.size;
    dataSize_ = data.size;
    lastResult_ = 0;
    hasCurrent_ = 1;
    return 0;
  }
  if (rc == DB_NOTFOUND || rc == DB_KEYEMPTY) {
    lastResult_ = 1;
    hasCurrent_ = 0;
    return 1;
  }
  // A damaged page or a lost environment: the walk cannot go on, and the
  // caller must not take the records seen so far for the whole table.
  if (env_ != nullptr) env_->Check(rc);
  RecordFailure("walk", table_->path, rc);
  failed_ = true;
  lastResult_ = -1;
  hasCurrent_ = 1;
  return -1;
}

int KvDbmDbIteratorClass::First() {
  failed_ = false;
  return Step(DB_FIRST);
}

namespace {

// Makes *buffer hold at least size bytes, reusing it when it is large enough.
bool Reserve(unsigned char** buffer, size_t* capacity, size_t size, const char* tag) {
  if (size <= *capacity && *buffer != nullptr) return true;
  size_t grown = *capacity * 2;
  if (grown < size) grown = size;
  if (grown < 64) grown = 64;
  unsigned char* fresh = static_cast<unsigned char*>(KvNew(grown, tag, KERR_Fatal));
  if (fresh == nullptr) return false;
  KvDelete(*buffer);
  *buffer = fresh;
  *capacity = grown;
  return true;
}

}  // namespace

int KvDbmDbIteratorClass::Next(KvDatumClass& key, KvDatumClass& data, int mode) {
  int result;
  switch (mode) {
    case 0:
      failed_ = false;
      result = Step(DB_FIRST);
      break;
    case 1:
      result = hasCurrent_ && !failed_ ? 0 : (failed_ ? -1 : lastResult_);
      break;
    case 2: {
      // Position at or after the given key: the key is copied into the
      // cursor's buffer first.
      const uint32_t size = static_cast<uint32_t>(key.Size());
      if (size > keyCapacity_) {
        void* grown = std::realloc(keyBytes_, size > 0 ? size : 1);
        if (grown == nullptr) return -1;
        keyBytes_ = grown;
        keyCapacity_ = size;
      }
      if (size > 0) std::memcpy(keyBytes_, key.Data(), size);
      keySize_ = size;
      failed_ = false;
      result = Step(DB_SET_RANGE);
      break;
    }
    default:
      return -1;
  }
  if (failed_) {
    hasCurrent_ = 0;
    return -1;
  }
  if (result != 0) return result;
  // The current record lives in the iterator's buffers until the next step:
  // copy it out first. A zero-size record still gets a (1-byte) buffer.
  static const char kTag[] = "KvDbmDbIteratorClass::Next";
  unsigned char* keyCopy = static_cast<unsigned char*>(KvNew(keySize_ > 0 ? keySize_ : 1, kTag, KERR_Fatal));
  unsigned char* dataCopy = static_cast<unsigned char*>(KvNew(dataSize_ > 0 ? dataSize_ : 1, kTag, KERR_Fatal));
  if (keyCopy == nullptr || dataCopy == nullptr) {
    KvDelete(keyCopy);
    KvDelete(dataCopy);
    return -1;
  }
  if (keySize_ > 0) std::memcpy(keyCopy, keyBytes_, keySize_);
  if (dataSize_ > 0) std::memcpy(dataCopy, dataBytes_, dataSize_);
  key.SetBytes(keySize_, keyCopy, KvOwnKvDelete);
  data.SetBytes(dataSize_, dataCopy, KvOwnKvDelete);
  Step(DB_NEXT);
  return 0;
}

int KvDbmDbIteratorClass::NextView(KvDatumClass& key, KvDatumClass& data) {
  if (failed_) {
    hasCurrent_ = 0;
    return -1;
  }
  if (!hasCurrent_) return lastResult_ != 0 ? lastResult_ : 1;
  static const char kTag[] = "KvDbmDbIteratorClass::NextView";
  if (!Reserve(&viewKey_, &viewKeyCapacity_, keySize_, kTag) ||
      !Reserve(&viewData_, &viewDataCapacity_, dataSize_, kTag)) {
    return -1;
  }
  if (keySize_ > 0) std::memcpy(viewKey_, keyBytes_, keySize_);
  if (dataSize_ > 0) std::memcpy(viewData_, dataBytes_, dataSize_);
  key.SetBytes(keySize_, viewKey_, KvOwnNone);
  data.SetBytes(dataSize_, viewData_, KvOwnNone);
  Step(DB_NEXT);
  return 0;
}
