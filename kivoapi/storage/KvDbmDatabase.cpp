// The dbm table: one B-tree file directly inside the connection's database
// directory, opened per operation by its user. Table operations return -1 for
// misuse (already open, not open, read-only connection) and the 0/1 results
// of the dbopen layer otherwise.
#include <cstdio>
#include <cstring>
#include <new>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "storage/KvConnect.h"
#include "storage/KvDbAccess.h"

namespace {

bool BeginsWith(const char* text, char letter) { return text != nullptr && text[0] == letter; }

bool ConnectionWrites(const KvConnectClass* connection) {
  return connection != nullptr && BeginsWith(connection->GetMode(), 'w');
}

// A DBT over the datum's bytes as they are; nothing is copied.
DBT Dbt(const KvDatumClass& datum) {
  DBT dbt;
  dbt.data = const_cast<unsigned char*>(datum.Data());
  dbt.size = datum.Size();
  return dbt;
}

}  // namespace

KvDbmDatabaseClass::KvDbmDatabaseClass(const KvConnectClass* connection)
    : KvDatabaseClass(connection) {}

KvDbmDatabaseClass::~KvDbmDatabaseClass() {
  if (db_ != nullptr) KvDbDiscard(db_);
  KvDelete(path_);
}

int KvDbmDatabaseClass::OpenPath(const char* name, int flags) {
  if (open_ || name == nullptr || name[0] == '\0') return -1;
  if (connection_ == nullptr || !connection_->IsConnected()) return -1;
  const char* directory = connection_->GetDirectory();
  if (directory == nullptr || directory[0] == '\0') return -1;
  if (flags != KV_DB_READ && std::strpbrk(name, "/\\") != nullptr) {
    // A name with a separator would create the file outside the database
    // directory; table files always lie directly inside it.
    char message[512];
    std::snprintf(message, sizeof message,
                  "KvDbmDatabaseClass::Open: table name \"%.400s\" contains a path separator", name);
    KvError(KERR_General, KERR_Fatal, message);
    return -1;
  }
  const char last = directory[std::strlen(directory) - 1];
  char* path = KvStrCat(directory, last == '/' || last == '\\' ? "" : "/", name);
  if (path == nullptr) return -1;
  DB* db = nullptr;
  if (KvDbOpen(path, flags, &db) != 0) {
    KvDelete(path);
    return -1;
  }
  path_ = path;
  db_ = db;
  open_ = 1;
  writable_ = flags != KV_DB_READ;
  return 0;
}

int KvDbmDatabaseClass::Open(const char* name, const char* mode) {
  if (BeginsWith(mode, 'r')) return OpenPath(name, KV_DB_READ);
  if (!ConnectionWrites(connection_)) return -1;
  return OpenPath(name, KV_DB_RDWR_CREATE);
}

int KvDbmDatabaseClass::OpenForWrite(const char* name) {
  return OpenPath(name, ConnectionWrites(connection_) ? KV_DB_RDWR_CREATE : KV_DB_READ);
}

int KvDbmDatabaseClass::Close() {
  if (!open_) return -1;
  bool released = false;
  const int result = KvDbClose(db_, &released);
  // A failed sync leaves the handle open (a later Close or the destructor
  // releases it); a failed close has released it all the same.
  if (released) {
    db_ = nullptr;
    open_ = 0;
  }
  KvDelete(path_);
  path_ = nullptr;
  return result;
}

int KvDbmDatabaseClass::Remove() {
  if (!open_ || path_ == nullptr) return -1;
  char* path = KvStrDup(path_, 0);
  if (path == nullptr) return -1;
  int result = Close();
  if (result == 0 && std::remove(path) != 0) result = -1;
  KvDelete(path);
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
  return KvDbSync(db_);
}

int KvDbmDatabaseClass::Insert(const KvDatumClass& key, const KvDatumClass& data) {
  if (!open_) return -1;
  if (!writable_) return 1;
  DBT k = Dbt(key);
  DBT d = Dbt(data);
  // The key counts as present in either form (with or without its NUL), as
  // lookups see it; a second record under the other form would be a twin.
  KvDbKeyWithNul scratch;
  DBT stored;
  const int found = KvDbStoredKey(db_, &k, scratch, &stored);
  if (found < 0) return -1;
  if (found == 0) return 1;
  return KvDbPut(db_, &k, &d, R_NOOVERWRITE);
}

int KvDbmDatabaseClass::Update(const KvDatumClass& key, const KvDatumClass& data,
                               Boolean insertIfMissing) {
  if (!open_) return -1;
  DBT k = Dbt(key);
  DBT d = Dbt(data);
  // Overwrite the record under the form its key is stored in (with or
  // without the NUL), so an update from the bare text never adds a twin.
  KvDbKeyWithNul scratch;
  DBT stored;
  const int found = KvDbStoredKey(db_, &k, scratch, &stored);
  if (found < 0) return -1;
  if (found != 0 && !insertIfMissing) return 1;
  if (!writable_) return 1;
  return KvDbPut(db_, &stored, &d, 0);
}

int KvDbmDatabaseClass::Get(const KvDatumClass& key, KvDatumClass& data) {
  if (!open_) return -1;
  DBT k = Dbt(key);
  DBT d;
  const int result = KvDbGet(db_, &k, 0, &d);
  if (result == 0) data.SetBytes(d.size, static_cast<unsigned char*>(d.data), KvOwnNone);
  return result;
}

int KvDbmDatabaseClass::Delete(const KvDatumClass& key) {
  if (!open_) return -1;
  DBT k = Dbt(key);
  // Like lookups, deletion finds a key stored with its NUL from the bare text.
  KvDbKeyWithNul scratch;
  DBT stored;
  const int found = KvDbStoredKey(db_, &k, scratch, &stored);
  if (found < 0) return -1;
  if (found != 0) return 1;
  if (!writable_) return -1;
  return KvDbDel(db_, &stored, 0);
}

KvDbIteratorClass* KvDbmDatabaseClass::NewIterator() {
  if (!open_ || path_ == nullptr) return nullptr;
  // The iterator reads the file through its own handle: flush what this
  // table has written so that it sees it. A read-only handle has nothing to
  // flush, and a failure leaves the iterator with the file as last written.
  (void)KvDbSync(db_);
  KvDbIteratorClass* iterator = new (std::nothrow) KvDbmDbIteratorClass(path_);
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
  if (KvDbOpen(path_, KV_DB_READ, &db_) != 0) {
    db_ = nullptr;
    return;
  }
  Step(R_FIRST);
}

KvDbmDbIteratorClass::~KvDbmDbIteratorClass() {
  if (db_ != nullptr) KvDbDiscard(db_);
  KvDelete(path_);
  KvDelete(viewKey_);
  KvDelete(viewData_);
}

int KvDbmDbIteratorClass::Step(int flag) {
  lastResult_ = db_ != nullptr ? KvDbSeq(db_, flag, &current_key_, &current_data_) : 1;
  hasCurrent_ = lastResult_ == 0 ? 1 : 0;
  return lastResult_;
}

int KvDbmDbIteratorClass::First() { return Step(R_FIRST); }

int KvDbmDbIteratorClass::Next(KvDatumClass& key, KvDatumClass& data, int mode) {
  int result;
  switch (mode) {
    case 0:
      result = Step(R_FIRST);
      break;
    case 1:
      result = hasCurrent_ ? 0 : lastResult_;
      break;
    case 2:
      current_key_ = Dbt(key);
      result = Step(R_CURSOR);
      break;
    default:
      return -1;
  }
  if (result != 0) return result;
  // The current record lives in the library's memory until the next step:
  // copy it out first. A zero-size record still gets a (1-byte) buffer.
  static const char kTag[] = "KvDbmDbIteratorClass::Next";
  unsigned char* keyCopy = static_cast<unsigned char*>(
      KvNew(current_key_.size > 0 ? current_key_.size : 1, kTag, KERR_Fatal));
  unsigned char* dataCopy = static_cast<unsigned char*>(
      KvNew(current_data_.size > 0 ? current_data_.size : 1, kTag, KERR_Fatal));
  if (keyCopy == nullptr || dataCopy == nullptr) {
    KvDelete(keyCopy);
    KvDelete(dataCopy);
    return -1;
  }
  if (current_key_.size > 0) std::memcpy(keyCopy, current_key_.data, current_key_.size);
  if (current_data_.size > 0) std::memcpy(dataCopy, current_data_.data, current_data_.size);
  key.SetBytes(current_key_.size, keyCopy, KvOwnKvDelete);
  data.SetBytes(current_data_.size, dataCopy, KvOwnKvDelete);
  Step(R_NEXT);
  return 0;
}

namespace {

// Makes *buffer hold at least size bytes, reusing it when it is large enough.
bool Reserve(unsigned char** buffer, size_t* capacity, size_t size) {
  if (size <= *capacity && *buffer != nullptr) return true;
  size_t grown = *capacity * 2;
  if (grown < size) grown = size;
  if (grown < 64) grown = 64;
  unsigned char* fresh =
      static_cast<unsigned char*>(KvNew(grown, "KvDbmDbIteratorClass::NextView", KERR_Fatal));
  if (fresh == nullptr) return false;
  KvDelete(*buffer);
  *buffer = fresh;
  *capacity = grown;
  return true;
}

}  // namespace

int KvDbmDbIteratorClass::NextView(KvDatumClass& key, KvDatumClass& data) {
  if (!hasCurrent_) return lastResult_ != 0 ? lastResult_ : 1;
  if (!Reserve(&viewKey_, &viewKeyCapacity_, current_key_.size) ||
      !Reserve(&viewData_, &viewDataCapacity_, current_data_.size)) {
    return -1;
  }
  if (current_key_.size > 0) std::memcpy(viewKey_, current_key_.data, current_key_.size);
  if (current_data_.size > 0) std::memcpy(viewData_, current_data_.data, current_data_.size);
  key.SetBytes(current_key_.size, viewKey_, KvOwnNone);
  data.SetBytes(current_data_.size, viewData_, KvOwnNone);
  Step(R_NEXT);
  return 0;
}
