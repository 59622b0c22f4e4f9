// The kivo command's use of a catalog: the one place where it reads and
// writes tables. Besides the catalog's own tables (feature index and feature
// tables, unchanged in name and bytes) it keeps two tables of its own:
//
//   KivoFile.<catalog>  key: image key + NUL   data: the file's state (below)
//   KivoMeta.<catalog>  key: setting name + NUL data: its text + NUL
//                       ("root": the catalog root; "classes": the feature
//                       classes every file state is complete for; "dirty":
//                       "1" while a run's writes are not finished)
//
// File state record (big-endian):
//   offset size meaning
//   0      1    layout version, 1
//   1      8    file size in bytes
//   9      8    modification time, nanoseconds since the epoch (signed)
//   17     8    content hash, high half (XXH3 128-bit)
//   25     8    content hash, low half
//
// A group of changes is written feature tables first and file states last,
// so a file state always describes records that are complete. A run marks
// the catalog dirty before its first write and clean after its last; a
// catalog found dirty (a run was killed) is repaired by Repair: records
// without a file state are dropped and every class's global information is
// recomputed from its records.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class KvCatalogClass;
class KvConnectClass;

namespace kivo {

struct FileState {
  uint64_t size = 0;
  int64_t mtimeNs = 0;
  uint64_t hashHigh = 0;
  uint64_t hashLow = 0;
};
constexpr size_t kFileStateSize = 33;
void EncodeFileState(const FileState& state, unsigned char out[kFileStateSize]);
// False for a record of another size or version.
bool DecodeFileState(const unsigned char* bytes, size_t size, FileState* state);

// One image's change in a write group.
struct Change {
  enum Kind { kPut, kRemove, kStateOnly };
  Kind kind = kPut;
  std::string key;
  FileState state;
  // kPut: the byte string of each class that has a record for the image (a
  // class left out has none: its old record, if any, is removed).
  std::vector<std::pair<std::string, std::string>> records;
};

// The process-wide connection on a database, held open for a program that
// uses it beside stores (a server whose stores come and go): while held, a
// store that closes never destroys it, and a store on another database or
// mode is refused. Open: false with error when it cannot be made.
class ConnectionHold {
 public:
  ConnectionHold() = default;
  ~ConnectionHold();
  ConnectionHold(const ConnectionHold&) = delete;
  ConnectionHold& operator=(const ConnectionHold&) = delete;

  bool Open(const std::string& database, std::string* error);
  const KvConnectClass* Connection() const { return connection_; }

 private:
  const KvConnectClass* connection_ = nullptr;
};

class CatalogStore {
 public:
  CatalogStore();
  ~CatalogStore();
  CatalogStore(const CatalogStore&) = delete;
  CatalogStore& operator=(const CatalogStore&) = delete;

  // Connects to the database directory (created when write is set) and opens
  // the catalog, creating it when write is set and it does not exist. False
  // with the reason in error otherwise.
  bool Open(const std::string& database, const std::string& catalog, bool write, std::string* error);
  void Close();
  // Takes the catalog's writer lock (another kivo run writing the same
  // catalog holds it). False with the reason when it is held or cannot be had.
  bool Lock(std::string* error);

  KvCatalogClass* Catalog() const { return catalog_; }
  const KvConnectClass* Connection() const { return connection_; }
  const std::string& Database() const { return database_; }
  const std::string& CatalogName() const { return catalogName_; }
  // True when the catalog's feature index exists.
  bool CatalogExists() const;

  // The catalog's feature classes in key order.
  bool FeatureClasses(std::vector<std::string>* names, std::string* error);
  bool AddFeatureClass(const std::string& name, std::string* error);

  // A setting of the KivoMeta table; false when absent.
  bool GetMeta(const std::string& name, std::string* value);
  bool PutMeta(const std::string& name, const std::string& value, std::string* error);

  bool LoadFileStates(std::map<std::string, FileState>* states, std::string* error);
  // The catalog's image keys in key order: those kivo index keeps state
  // for, or, in a catalog it never wrote, those of its first whole-image
  // feature table.
  bool ImageKeys(std::vector<std::string>* keys, std::string* error);
  // Writes a group of changes (see above). Marks the catalog dirty first.
  bool Commit(const std::vector<Change>& group, std::string* error);
  // Ends a run's writes: the catalog is marked clean.
  bool MarkClean(std::string* error);
  // When the catalog is marked dirty: drops records that have no file state
  // and recomputes the global information of every class. *repaired tells
  // whether anything was done.
  bool Repair(bool* repaired, std::string* error);

 private:
  bool TableName(const char* stem, std::string* name, std::string* error) const;

  const KvConnectClass* connection_ = nullptr;
  KvCatalogClass* catalog_ = nullptr;
  std::string database_;
  std::string catalogName_;
  bool write_ = false;
  bool dirtyMarked_ = false;
  int lockFd_ = -1;
};

// The error record's message, for reasons built from library failures.
std::string LibraryError();

}  // namespace kivo
