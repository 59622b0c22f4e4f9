// The thin layer over the B-tree library's dbopen interface. No other code
// touches a DB handle. Nothing here records a message: the table classes and
// the catalog do, with the result code they got.
#pragma once

#include <db_185.h>
#include <fcntl.h>

#include <cstddef>
#include <memory>

constexpr int KV_DB_READ = 0;
constexpr int KV_DB_RDWR_CREATE = O_RDWR | O_CREAT;  // 0x42 on Linux

// Opens path as a B-tree (byte-order keys, no tuning record), creating it with
// mode 0600 under KV_DB_RDWR_CREATE; flags 0 opens read-only. 0 with the
// handle in *out, or -1 when the library gave no handle (or an argument is
// null).
int KvDbOpen(const char* path, int flags, DB** out);
// Syncs then closes; -1 (handle left open) when the sync fails, else the
// library's close result (the handle is gone either way).
int KvDbClose(DB* db);
// As KvDbClose; *released (may be null) tells whether the handle is gone, so
// a failed close is never followed by a second one.
int KvDbClose(DB* db, bool* released);
// Closes a handle whatever happens (a failed sync is ignored): for
// destructors, which cannot report.
void KvDbDiscard(DB* db);
// Writes the handle's cached pages to its file. 0, or -1 on error.
int KvDbSync(DB* db);
// Looks key up; when absent, tries the key's other form: with a NUL appended
// to its bytes (so a key stored with its terminating NUL is found from the
// bare text; the caller's buffer is never read past key->size), or without
// its last byte when that is a NUL (so a key stored bare is found from the
// text with its NUL). 0 found, 1 not found or error. On 0, data->data points into the library's own memory and
// stays valid only until the next call on db: a caller that keeps the bytes
// must copy them first.
int KvDbGet(DB* db, DBT* key, int flags, DBT* data);
// 0 stored, 1 refused (existing key under R_NOOVERWRITE) or error.
int KvDbPut(DB* db, DBT* key, DBT* data, int flags);
// The library's result: 0 deleted, 1 not found, -1 error.
int KvDbDel(DB* db, DBT* key, int flags);
// Cursor step (R_FIRST, R_CURSOR at or after key, R_NEXT). 0 a record was
// delivered, 1 end of table or error. The delivered key and data point into
// the library's memory until the next call on db.
int KvDbSeq(DB* db, int flag, DBT* key, DBT* data);

// A key's bytes with one NUL appended (inline for short keys), for finding a
// key stored with its terminating NUL from the bare text.
class KvDbKeyWithNul {
 public:
  KvDbKeyWithNul() = default;
  KvDbKeyWithNul(const KvDbKeyWithNul&) = delete;
  KvDbKeyWithNul& operator=(const KvDbKeyWithNul&) = delete;
  // Fills *out with the copy; false when it cannot be made.
  bool Make(const DBT& key, DBT* out);
  // The key without its last byte when that is a NUL, else Make's copy.
  bool OtherForm(const DBT& key, DBT* out);

 private:
  unsigned char inline_[256];
  std::unique_ptr<unsigned char[]> heap_;
};

// The form under which key is stored: 0 with *stored = *key when the key is
// stored as given, 0 with *stored = its other form (see KvDbGet; bytes in
// scratch) when only that form is, 1 when neither is found (or on error; *stored =
// *key), -1 when the copy could not be made.
int KvDbStoredKey(DB* db, const DBT* key, KvDbKeyWithNul& scratch, DBT* stored);
