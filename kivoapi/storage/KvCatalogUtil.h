// Small helpers shared by the catalog's source files: table guards, feature
// objects by name, key datums, word lists and the catalog's own messages.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/KvDatum.h"
#include "core/KvError.h"
#include "storage/KvConnect.h"

class KvFeatureClass;
class KvGenericDataClass;

namespace kvcat {

// Keeps a table object open for the length of a scope: whatever opened it is
// closed again on every return path. Works with the catalog's own table object
// or with one it owns (owned = true: destroyed with the guard).
class TableGuard {
 public:
  explicit TableGuard(KvDatabaseClass* table, bool owned = false) : table_(table), owned_(owned) {}
  ~TableGuard();
  TableGuard(const TableGuard&) = delete;
  TableGuard& operator=(const TableGuard&) = delete;

  // Table Open / OpenForWrite; the result of the table call.
  int Open(const char* name, const char* mode);
  int OpenForWrite(const char* name);
  // Closes now (0 when not open); the close result.
  int Close();
  // Closes the file and removes it; the table's result.
  int Remove();
  bool IsOpen() const { return open_; }
  // After a failed open: the table exists but the storage could not read it
  // (its own error is recorded and names the file).
  bool Damaged() const { return damaged_; }
  KvDatabaseClass* operator->() const { return table_; }
  KvDatabaseClass* get() const { return table_; }

 private:
  KvDatabaseClass* table_;
  bool owned_;
  bool open_ = false;
  bool damaged_ = false;
};

struct FeatureDeleter {
  void operator()(KvFeatureClass* f) const;
};
using FeaturePtr = std::unique_ptr<KvFeatureClass, FeatureDeleter>;

// A feature object made by the class factory, or null (the factory has
// recorded why; a null or empty name records 10043).
FeaturePtr MakeFeature(const char* name);

// Points key at text with its terminating NUL counted (how keys are stored).
// The datum borrows text.
void BorrowKey(KvDatumClass& key, const char* text);

// The text held by a datum up to its first NUL or its size, whichever comes
// first (never reads past the datum).
std::string DatumText(const KvDatumClass& datum);

// Hands out a KvNew copy of text plus a NUL; size is the text length, or the
// length plus one when withNul is set. An empty text empties out. -1 when the
// copy cannot be made.
int GiveText(KvDatumClass& out, const std::string& text, bool withNul, const char* tag);

// Blank-separated words (any white space separates).
std::vector<std::string> SplitWords(std::string_view text);
std::string JoinWords(const std::vector<std::string>& words);
bool HasWhiteSpace(const char* text);

// Records code 10001 with the formatted text at the given severity.
void Fail(KERR_SeverityType severity, const char* format, ...) __attribute__((format(printf, 2, 3)));

// True when name exists as a file in the connection's database directory.
bool FileExistsInDatabase(const KvConnectClass* connection, const char* name);

// The text feature computes its record from the keyword text of an image;
// with no keyword text it has nothing to store, so it takes no part for that
// image (insert, update and delete alike).
bool SkipsTextFeature(KvFeatureClass* feature, const KvGenericDataClass* data);

}  // namespace kvcat
