// In-memory key/distance result sets behind the table interface, kept sorted
// by ascending distance, then ascending key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/KvConnect.h"

// A ranked key/distance set behind the table interface. Text forms, framed
// as "<", blank, the total length (NUL counted) in nine columns, blank, the
// body, ">": the query-string form has "key distance " pairs (distance in
// "%f" form), the key-string form "key " words. A set with no entries writes
// the 14-byte text "<        14 >" plus NUL.
class KvKeyDatabaseClass : public KvDatabaseClass {
 public:
  explicit KvKeyDatabaseClass(const KvConnectClass* connection) : KvDatabaseClass(connection) {}
  ~KvKeyDatabaseClass() override;

  long GetCount() override { return static_cast<long>(count_); }
  // Writes the query-string form into out (a KvNew buffer owned by out, NUL
  // counted in its size). -1 (error recorded) when a key cannot be written
  // (empty or containing white space) or the text would exceed 999,999,999
  // bytes.
  virtual int ToQueryString(KvDatumClass& out) = 0;
  // Adds the pairs of a query-string form (the set is not cleared). The text
  // may end at a NUL or at the datum's end. -1 (error recorded, nothing
  // added) for a malformed text; 1 when an insert is refused (a duplicate
  // key), which stops the reading.
  virtual int FromQueryString(const KvDatumClass& in) = 0;
  virtual int ToKeyString(KvDatumClass& out) = 0;
  // As FromQueryString for the key-string form; every key gets -2.0.
  virtual int FromKeyString(const KvDatumClass& in) = 0;
  // Hands datum a new 4-byte buffer holding the float (released with
  // KvDelete). -1 when it cannot be allocated.
  virtual int SetDistance(KvDatumClass& datum, float distance) = 0;
  // The float in the first 4 bytes, or -2.0 for a shorter datum.
  virtual float GetDistance(const KvDatumClass& datum) = 0;
  // The entry with the largest distance: key borrows its text (length + 1
  // bytes, valid while the set is unchanged), data gets its distance. 1 when
  // the set is empty.
  virtual int GetLast(KvDatumClass& key, KvDatumClass& data) = 0;
  // Set when the candidates were exhausted: the set is a complete answer.
  virtual uint32_t GetComplete() const = 0;
  virtual uint32_t GetReserved() const = 0;
  virtual void SetComplete(uint32_t complete) = 0;

 protected:
  uint32_t count_ = 0;
};

// The in-memory set: a doubly linked list by ascending distance, equal
// distances by ascending key (byte order). Keys are the datum's bytes up to
// the first NUL. A set holds one entry per key: inserting a key it holds
// already replaces the entry when the new distance is smaller, and is
// refused otherwise.
class KvKeyMemoryDatabaseClass : public KvKeyDatabaseClass {
 public:
  explicit KvKeyMemoryDatabaseClass(const KvConnectClass* connection);
  ~KvKeyMemoryDatabaseClass() override;

  uint32_t GetClassId() const override { return 501983; }
  const char* GetClassName() const override { return "KvKeyMemoryDatabaseClass"; }

  // Accepted when mode begins with 'r' or with the connection's mode letter;
  // keeps a copy of the name. -1 otherwise.
  int Open(const char* name, const char* mode) override;
  int OpenForWrite(const char* name) override;
  int Close() override;
  int Remove() override { return 0; }
  int Create(const char* name, int a = 0, int b = 0, int c = 0, int d = 0, int e = 0) override {
    (void)name, (void)a, (void)b, (void)c, (void)d, (void)e;
    return 0;
  }
  int Sync() override { return 0; }
  // Distance from GetDistance(data). 0 when inserted (a held entry of the
  // key with a larger distance is replaced), 1 when the key is held with the
  // same or a smaller distance, -1 when the entry cannot be made.
  int Insert(const KvDatumClass& key, const KvDatumClass& data) override;
  // Delete, then Insert when the key was there or insertIfMissing is True.
  int Update(const KvDatumClass& key, const KvDatumClass& data, Boolean insertIfMissing) override;
  // data gets the distance (owned by data); 1 when the key is absent.
  int Get(const KvDatumClass& key, KvDatumClass& data) override;
  int Delete(const KvDatumClass& key) override;
  // The set must not change while the iterator is used.
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
  // Inserts count (key, distance) pairs with the same result as inserting
  // them one after the other (stopping at the first refused one), in
  // O(n log n) instead of a walk per entry. 0, 1 for a refused duplicate, -1
  // on allocation failure (recorded; nothing inserted).
  int InsertBatch(const std::string_view* keys, const float* distances, size_t count);
  // Removes the entry with the largest distance (the last). 0, or 1 if empty.
  int DeleteLast();
  // Distance of the last entry, or -1.0 for an empty set.
  float LastDistance() const;

  // A key shorter than 32 characters sits in inlineKey; a longer one has its
  // own KvNew copy (ownsKey set).
  struct Entry {
    float distance;
    char inlineKey[32];
    char* key;
    int ownsKey;
    uint32_t keyLength;
    Entry* next;
    Entry* previous;
  };
  const Entry* FirstEntry() const { return first_; }

 private:
  Entry* MakeEntry(const char* key, size_t length, float distance);
  void ReleaseEntry(Entry* entry);
  int InsertEntry(Entry* entry);
  Entry* FindKey(const char* key, size_t length) const;
  void Unlink(Entry* entry);
  int WriteText(KvDatumClass& out, bool withDistances, const char* site);
  int ReadText(const KvDatumClass& in, bool withDistances, const char* site);
  int InsertPairs(const char* text, size_t begin, size_t end, bool withDistances);
  // Links entries whose keys occur nowhere in the set (nor twice among
  // them) into their places.
  void MergeEntries(Entry** entries, size_t count);
  // Inserts the entries in turn with InsertEntry's outcome, stopping at the
  // first refused one (1; it and those after it are released), in
  // O(n log n). May throw std::bad_alloc, leaving the set as it was.
  int InsertEntriesInTurn(Entry** entries, size_t count);

  uint32_t complete_ = 0;
  uint32_t reserved_ = 0;
  char* name_ = nullptr;
  Entry* first_ = nullptr;
  Entry* last_ = nullptr;
  // Released entries kept for reuse (linked by next): the best-N list deletes
  // its last entry and inserts a new one over and over.
  Entry* free_ = nullptr;
  uint32_t freeCount_ = 0;
};

// Walks a result set in its order. Next hands out copies (key: array
// delete; distance: KvDelete); NextView borrows the entry's key text and a
// 4-byte distance buffer of the iterator, valid until the next step (and
// while the set is unchanged).
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
