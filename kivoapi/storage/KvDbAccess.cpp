// The six calls of the table classes onto the dbopen library, with the
// library's mixed return codes mapped onto 0/1.
#include "storage/KvDbAccess.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int kFileMode = 0600;

// An exact lookup; 0 found, 1 absent or error.
int GetExact(DB* db, const DBT* key, DBT* data, int flags) {
  return db->get(db, key, data, static_cast<u_int>(flags)) == 0 ? 0 : 1;
}

}  // namespace

bool KvDbKeyWithNul::OtherForm(const DBT& key, DBT* out) {
  const unsigned char* bytes = static_cast<const unsigned char*>(key.data);
  if (key.size > 0 && bytes != nullptr && bytes[key.size - 1] == 0) {
    *out = key;
    --out->size;
    return true;
  }
  return Make(key, out);
}

bool KvDbKeyWithNul::Make(const DBT& key, DBT* out) {
  if (key.size > 0 && key.data == nullptr) return false;
  const size_t size = key.size + 1;
  unsigned char* bytes = inline_;
  if (size > sizeof inline_) {
    heap_.reset(new (std::nothrow) unsigned char[size]);
    bytes = heap_.get();
    if (bytes == nullptr) return false;
  }
  if (key.size > 0) std::memcpy(bytes, key.data, key.size);
  bytes[key.size] = 0;
  out->data = bytes;
  out->size = size;
  return true;
}

int KvDbOpen(const char* path, int flags, DB** out) {
  if (path == nullptr || out == nullptr) return -1;
  *out = dbopen(path, flags, kFileMode, DB_BTREE, nullptr);
  return *out == nullptr ? -1 : 0;
}

int KvDbClose(DB* db) { return KvDbClose(db, nullptr); }

int KvDbClose(DB* db, bool* released) {
  if (released != nullptr) *released = false;
  if (db == nullptr) return -1;
  if (db->sync(db, 0) == -1) return -1;
  // close releases the handle even when it reports a failure.
  if (released != nullptr) *released = true;
  return db->close(db);
}

void KvDbDiscard(DB* db) {
  if (db == nullptr) return;
  (void)db->sync(db, 0);  // nothing to report to from a destructor
  (void)db->close(db);
}

int KvDbSync(DB* db) {
  if (db == nullptr) return -1;
  return db->sync(db, 0) == 0 ? 0 : -1;
}

int KvDbGet(DB* db, DBT* key, int flags, DBT* data) {
  if (db == nullptr || key == nullptr || data == nullptr) return 1;
  if (GetExact(db, key, data, flags) == 0) return 0;
  // The retry appends the NUL to a copy: the caller's key need not have a
  // readable byte behind it, and if it has one it need not be a NUL. A key
  // given with its NUL is looked for without it.
  KvDbKeyWithNul scratch;
  DBT other;
  if (!scratch.OtherForm(*key, &other)) return 1;
  return GetExact(db, &other, data, flags);
}

int KvDbStoredKey(DB* db, const DBT* key, KvDbKeyWithNul& scratch, DBT* stored) {
  if (db == nullptr || key == nullptr || stored == nullptr) return 1;
  *stored = *key;
  DBT data;
  if (GetExact(db, key, &data, 0) == 0) return 0;
  DBT other;
  if (!scratch.OtherForm(*key, &other)) return -1;
  if (GetExact(db, &other, &data, 0) != 0) return 1;
  *stored = other;
  return 0;
}

int KvDbPut(DB* db, DBT* key, DBT* data, int flags) {
  if (db == nullptr || key == nullptr || data == nullptr) return 1;
  return db->put(db, key, data, static_cast<u_int>(flags)) == 0 ? 0 : 1;
}

int KvDbDel(DB* db, DBT* key, int flags) {
  if (db == nullptr || key == nullptr) return -1;
  return db->del(db, key, static_cast<u_int>(flags));
}

int KvDbSeq(DB* db, int flag, DBT* key, DBT* data) {
  if (db == nullptr || key == nullptr || data == nullptr) return 1;
  return db->seq(db, key, data, static_cast<u_int>(flag)) == 0 ? 0 : 1;
}
