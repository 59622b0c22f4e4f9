// The thin layer over the B-tree library's dbopen interface. No other code
// touches a DB handle.
#pragma once

#include <db_185.h>

// Opens path as a B-tree with mode 0600: flags 0 read-only, KV_DB_RDWR_CREATE
// read-write with create. 0, or -1 when the library returned null.
int KvDbOpen(const char* path, int flags, DB** out);
// Syncs then closes; -1 (handle left open) when the sync fails.
int KvDbClose(DB* db);
// Looks key up; when absent, tries again with the key's NUL counted. 0 found
// (data points into the library's memory until the next call on db), 1 not.
int KvDbGet(DB* db, DBT* key, int flags, DBT* data);
// 0 stored, 1 refused (existing key under R_NOOVERWRITE) or error.
int KvDbPut(DB* db, DBT* key, DBT* data, int flags);
// 0 deleted, 1 not found, -1 error.
int KvDbDel(DB* db, DBT* key, int flags);
// 0 a record was delivered, 1 end of table or error.
int KvDbSeq(DB* db, int flag, DBT* key, DBT* data);

constexpr int KV_DB_READ = 0;
constexpr int KV_DB_RDWR_CREATE = 0x42;  // O_RDWR | O_CREAT on Linux
