// Reading and writing a catalog for the kivo command. Every table call of the
// command goes through this file, so that a change of storage mechanism is
// made here alone.
#include "KivoStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <set>

#include "KvFactory.h"
#include "core/KvBytes.h"
#include "core/KvError.h"
#include "features/KvFeature.h"
#include "storage/KvCatalog.h"
#include "storage/KvCatalogUtil.h"
#include "storage/KvConnect.h"

namespace kivo {
namespace {

using kvcat::BorrowKey;
using kvcat::DatumText;
using kvcat::FeaturePtr;
using kvcat::MakeFeature;
using kvcat::TableGuard;

constexpr const char* kFileStem = "KivoFile";
constexpr const char* kMetaStem = "KivoMeta";
constexpr const char* kLockStem = "KivoLock";

void BorrowBytes(KvDatumClass& datum, const std::string& bytes) {
  datum.SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), KvOwnNone);
}

// The factory keeps one connection per process. Stores open on it at once
// (the shards of one database) share it: the last one closed gives it up.
std::mutex gConnectionLock;
int gConnectionUsers = 0;

std::string Reason(const std::string& what) {
  const std::string library = LibraryError();
  return library.empty() ? what : what + ": " + library;
}

// One feature class while a group is written: its table, its global
// information and a holder object for the values of old and new records.
struct ClassWrite {
  std::string name;
  FeaturePtr holder;
  KvDatumClass info;
  std::unique_ptr<TableGuard> table;
};

}  // namespace

std::string LibraryError() {
  const char* text = GetErrorMSG();
  std::string s = text != nullptr ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '.')) s.pop_back();
  return s;
}

void EncodeFileState(const FileState& state, unsigned char out[kFileStateSize]) {
  out[0] = 1;
  Encode64BE(out + 1, state.size);
  Encode64BE(out + 9, static_cast<uint64_t>(state.mtimeNs));
  Encode64BE(out + 17, state.hashHigh);
  Encode64BE(out + 25, state.hashLow);
}

bool DecodeFileState(const unsigned char* bytes, size_t size, FileState* state) {
  if (bytes == nullptr || size != kFileStateSize || bytes[0] != 1) return false;
  const unsigned char* limit = bytes + size;
  uint64_t mtime = 0;
  const bool ok = Decode64BE(bytes + 1, limit, &state->size) && Decode64BE(bytes + 9, limit, &mtime) &&
                  Decode64BE(bytes + 17, limit, &state->hashHigh) && Decode64BE(bytes + 25, limit, &state->hashLow);
  state->mtimeNs = static_cast<int64_t>(mtime);
  return ok;
}

CatalogStore::CatalogStore() = default;

bool ConnectionHold::Open(const std::string& database, std::string* error) {
  std::lock_guard<std::mutex> guard(gConnectionLock);
  if (connection_ != nullptr) return true;
  connection_ = KvGetConnection("r", database.c_str(), nullptr);
  if (connection_ == nullptr) {
    *error = Reason("cannot open database " + database);
    return false;
  }
  ++gConnectionUsers;
  return true;
}

ConnectionHold::~ConnectionHold() {
  if (connection_ == nullptr) return;
  std::lock_guard<std::mutex> guard(gConnectionLock);
  if (--gConnectionUsers == 0) KvDestroyConnection(connection_);
}

CatalogStore::~CatalogStore() { Close(); }

bool CatalogStore::Open(const std::string& database, const std::string& catalog, bool write, std::string* error) {
  Close();
  database_ = database;
  catalogName_ = catalog;
  write_ = write;
  struct stat info {};
  if (!write && stat(database.c_str(), &info) != 0) {
    *error = "no database " + database + ": " + std::strerror(errno);
    return false;
  }
  const char* mode = write ? "w" : "r";
  {
    // One connection made for another database or mode is given up first,
    // unless another store still works on it.
    std::lock_guard<std::mutex> guard(gConnectionLock);
    const KvConnectClass* c = KvGetConnection(mode, database.c_str(), nullptr);
    if (c != nullptr && (std::strcmp(c->GetDirectory() ? c->GetDirectory() : "", database.c_str()) != 0 ||
                         std::strcmp(c->GetMode() ? c->GetMode() : "", mode) != 0)) {
      if (gConnectionUsers > 0) {
        *error = "cannot open database " + database + " while " + (c->GetDirectory() ? c->GetDirectory() : "") +
                 " is open";
        return false;
      }
      KvDestroyConnection(c);
      c = KvGetConnection(mode, database.c_str(), nullptr);
    }
    if (c == nullptr) {
      *error = Reason("cannot open database " + database);
      return false;
    }
    connection_ = c;
    ++gConnectionUsers;
  }
  catalog_ = connection_->NewCatalog();
  if (catalog_ == nullptr || catalog_->Open(catalog.c_str()) != 0) {
    *error = Reason("cannot open catalog " + catalog);
    Close();
    return false;
  }
  if (!CatalogExists()) {
    if (!write) {
      *error = "no catalog " + catalog + " in database " + database;
      Close();
      return false;
    }
    if (catalog_->CreateCatalog(catalog.c_str(), 0, 0) != 0) {
      *error = Reason("cannot create catalog " + catalog);
      Close();
      return false;
    }
  }
  return true;
}

void CatalogStore::Close() {
  if (lockFd_ >= 0) {
    close(lockFd_);  // releases the lock
    lockFd_ = -1;
  }
  delete catalog_;
  catalog_ = nullptr;
  if (connection_ != nullptr) {
    std::lock_guard<std::mutex> guard(gConnectionLock);
    if (--gConnectionUsers == 0) KvDestroyConnection(connection_);
  }
  connection_ = nullptr;
  dirtyMarked_ = false;
}

bool CatalogStore::Lock(std::string* error) {
  std::string name;
  if (!TableName(kLockStem, &name, error)) return false;
  const std::string path = database_ + "/" + name;
  lockFd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    *error = "cannot open lock file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "catalog " + catalogName_ + " is being written by another kivo run"
                                  : "cannot lock " + path + ": " + std::strerror(errno);
    close(lockFd_);
    lockFd_ = -1;
    return false;
  }
  return true;
}

bool CatalogStore::TableName(const char* stem, std::string* name, std::string* error) const {
  KvStringClass out(64ul);
  if (connection_ == nullptr || connection_->MakeFileName(stem, catalogName_.c_str(), out) != 0) {
    *error = Reason(std::string("no table name for ") + stem);
    return false;
  }
  *name = out.c_str();
  return true;
}

bool CatalogStore::CatalogExists() const {
  KvStringClass name(64ul);
  if (catalog_ == nullptr || catalog_->GetFeatureCatalogName(catalogName_.c_str(), name) != 0) return false;
  return kvcat::FileExistsInDatabase(connection_, name.c_str());
}

bool CatalogStore::FeatureClasses(std::vector<std::string>* names, std::string* error) {
  KvDatumClass list;
  if (catalog_->ListFeatures(list) != 0) {
    *error = Reason("cannot list the features of catalog " + catalogName_);
    return false;
  }
  *names = kvcat::SplitWords(DatumText(list));
  return true;
}

bool CatalogStore::AddFeatureClass(const std::string& name, std::string* error) {
  if (catalog_->AddFeatureClass(name.c_str(), -1, 0, 0) != 0) {
    *error = Reason("cannot add feature " + name);
    return false;
  }
  return true;
}

bool CatalogStore::GetMeta(const std::string& name, std::string* value) {
  std::string table, ignored;
  if (!TableName(kMetaStem, &table, &ignored) || !kvcat::FileExistsInDatabase(connection_, table.c_str())) {
    return false;
  }
  TableGuard t(connection_->NewDatabase(), true);
  if (t.get() == nullptr || t.Open(table.c_str(), "r") != 0) return false;
  KvDatumClass key, data;
  BorrowKey(key, name.c_str());
  if (t->Get(key, data) != 0) return false;
  *value = DatumText(data);
  return true;
}

bool CatalogStore::PutMeta(const std::string& name, const std::string& value, std::string* error) {
  std::string table;
  if (!TableName(kMetaStem, &table, error)) return false;
  TableGuard t(connection_->NewDatabase(), true);
  if (t.get() == nullptr || t.OpenForWrite(table.c_str()) != 0) {
    *error = Reason("cannot open " + table);
    return false;
  }
  KvDatumClass key, data;
  BorrowKey(key, name.c_str());
  BorrowKey(data, value.c_str());
  if (t->Update(key, data, True) != 0 || t.Close() != 0) {
    *error = Reason("cannot write " + table);
    return false;
  }
  return true;
}

bool CatalogStore::LoadFileStates(std::map<std::string, FileState>* states, std::string* error) {
  states->clear();
  std::string table;
  if (!TableName(kFileStem, &table, error)) return false;
  if (!kvcat::FileExistsInDatabase(connection_, table.c_str())) return true;
  TableGuard t(connection_->NewDatabase(), true);
  if (t.get() == nullptr || t.Open(table.c_str(), "r") != 0) {
    *error = Reason("cannot open " + table);
    return false;
  }
  std::unique_ptr<KvDbIteratorClass> it(t->NewIterator());
  if (it == nullptr) {
    *error = Reason("cannot walk " + table);
    return false;
  }
  KvDatumClass key, data;
  while (it->HasCurrent()) {
    if (it->NextView(key, data) != 0) {
      *error = Reason("cannot walk " + table);
      return false;
    }
    FileState state;
    // A record this version cannot read counts as absent: the file is
    // indexed again and the record rewritten.
    if (DecodeFileState(data.Data(), data.Size(), &state)) states->emplace(DatumText(key), state);
  }
  return true;
}

bool CatalogStore::ImageKeys(std::vector<std::string>* keys, std::string* error) {
  keys->clear();
  std::map<std::string, FileState> states;
  if (!LoadFileStates(&states, error)) return false;
  for (const auto& entry : states) keys->push_back(entry.first);
  if (!keys->empty()) return true;
  std::vector<std::string> names;
  if (!FeatureClasses(&names, error)) return false;
  for (const std::string& name : names) {
    FeaturePtr holder = MakeFeature(name.c_str());
    KvStringClass tableName(64ul);
    if (!holder || holder->IsSubPartFeature() == True || catalog_->GetFeatureTableName(name.c_str(), tableName) != 0) {
      continue;
    }
    TableGuard t(connection_->NewDatabase(), true);
    if (t.get() == nullptr || t.Open(tableName.c_str(), "r") != 0) {
      *error = Reason("cannot open the table of " + name);
      return false;
    }
    std::unique_ptr<KvDbIteratorClass> it(t->NewIterator());
    KvDatumClass key, data;
    while (it != nullptr && it->HasCurrent()) {
      if (it->NextView(key, data) != 0) {
        *error = Reason("cannot walk the table of " + name);
        return false;
      }
      keys->push_back(DatumText(key));
    }
    return true;
  }
  return true;
}

bool CatalogStore::Commit(const std::vector<Change>& group, std::string* error) {
  if (group.empty()) return true;
  if (!dirtyMarked_) {
    if (!PutMeta("dirty", "1", error)) return false;
    dirtyMarked_ = true;
  }
  std::string fileTable;
  if (!TableName(kFileStem, &fileTable, error)) return false;

  // Removed files lose their state first: a run killed after this point
  // leaves records without state, which Repair drops.
  bool anyRemoved = false;
  for (const Change& c : group) anyRemoved = anyRemoved || c.kind == Change::kRemove;
  if (anyRemoved) {
    TableGuard t(connection_->NewDatabase(), true);
    if (t.get() == nullptr || t.OpenForWrite(fileTable.c_str()) != 0) {
      *error = Reason("cannot open " + fileTable);
      return false;
    }
    for (const Change& c : group) {
      if (c.kind != Change::kRemove) continue;
      KvDatumClass key;
      BorrowKey(key, c.key.c_str());
      if (t->Delete(key) == -1) {
        *error = Reason("cannot remove " + c.key + " from " + fileTable);
        return false;
      }
    }
    if (t.Close() != 0) {
      *error = Reason("cannot write " + fileTable);
      return false;
    }
  }

  std::vector<std::string> names;
  if (!FeatureClasses(&names, error)) return false;
  std::vector<std::unique_ptr<ClassWrite>> classes;
  for (const std::string& name : names) {
    auto owned = std::make_unique<ClassWrite>();
    ClassWrite& w = *owned;
    w.name = name;
    w.holder = MakeFeature(w.name.c_str());
    // Sub-part records belong to mask keys, never to a kivo image key.
    if (w.holder && w.holder->IsSubPartFeature() == True) continue;
    KvStringClass tableName(64ul);
    if (!w.holder || catalog_->GetFeatureTableName(w.name.c_str(), tableName) != 0 ||
        catalog_->GetGlobalFeatureInfo(w.name.c_str(), w.info) != 0) {
      *error = Reason("cannot read feature " + w.name);
      return false;
    }
    w.table = std::make_unique<TableGuard>(connection_->NewDatabase(), true);
    if (w.table->get() == nullptr || w.table->OpenForWrite(tableName.c_str()) != 0) {
      *error = Reason("cannot open the table of " + w.name);
      return false;
    }
    classes.push_back(std::move(owned));
  }

  for (const Change& c : group) {
    if (c.kind == Change::kStateOnly) continue;
    KvDatumClass key;
    BorrowKey(key, c.key.c_str());
    for (auto& owned : classes) {
      ClassWrite& w = *owned;
      const std::string* fresh = nullptr;
      if (c.kind == Change::kPut) {
        for (const auto& r : c.records) {
          if (r.first == w.name) fresh = &r.second;
        }
      }
      KvDatumClass old;
      const int found = (*w.table)->Get(key, old);
      if (found == 0) {
        // The old record's contribution leaves the global information.
        KvDatumClass copy;
        if (copy.CopyBytes(old.Data(), old.Size(), "kivo::CatalogStore::Commit") != 0 ||
            w.holder->FromByteString(copy) != 0 ||
            w.holder->UpdateGlobalInfo(w.info, KV_GLOBAL_REMOVE_RECORD) != 0) {
          *error = Reason("cannot read the " + w.name + " record of " + c.key);
          return false;
        }
      }
      int rc = 0;
      if (fresh != nullptr) {
        KvDatumClass bytes;
        BorrowBytes(bytes, *fresh);
        rc = (*w.table)->Update(key, bytes, True);
        if (rc == 0) {
          rc = w.holder->FromByteString(bytes) == 0 && w.holder->UpdateGlobalInfo(w.info, KV_GLOBAL_ADD_RECORD) == 0
                   ? 0
                   : -1;
        }
      } else if (found == 0) {
        rc = (*w.table)->Delete(key) == 0 ? 0 : -1;
      }
      if (rc != 0) {
        *error = Reason("cannot write the " + w.name + " record of " + c.key);
        return false;
      }
    }
  }
  for (auto& owned : classes) {
    ClassWrite& w = *owned;
    if (w.table->Close() != 0 || catalog_->PutGlobalFeatureInfo(w.name.c_str(), w.info) != 0) {
      *error = Reason("cannot write the table of " + w.name);
      return false;
    }
  }

  TableGuard t(connection_->NewDatabase(), true);
  if (t.get() == nullptr || t.OpenForWrite(fileTable.c_str()) != 0) {
    *error = Reason("cannot open " + fileTable);
    return false;
  }
  for (const Change& c : group) {
    if (c.kind == Change::kRemove) continue;
    KvDatumClass key, data;
    BorrowKey(key, c.key.c_str());
    unsigned char bytes[kFileStateSize];
    EncodeFileState(c.state, bytes);
    data.SetBytes(kFileStateSize, bytes, KvOwnNone);
    if (t->Update(key, data, True) != 0) {
      *error = Reason("cannot write the state of " + c.key);
      return false;
    }
  }
  if (t.Close() != 0) {
    *error = Reason("cannot write " + fileTable);
    return false;
  }
  return true;
}

bool CatalogStore::MarkClean(std::string* error) {
  if (!dirtyMarked_) return true;
  if (!PutMeta("dirty", "0", error)) return false;
  dirtyMarked_ = false;
  return true;
}

bool CatalogStore::Repair(bool* repaired, std::string* error) {
  *repaired = false;
  std::string dirty;
  if (!GetMeta("dirty", &dirty) || dirty != "1") return true;
  std::map<std::string, FileState> states;
  std::vector<std::string> names;
  if (!LoadFileStates(&states, error) || !FeatureClasses(&names, error)) return false;
  for (const std::string& name : names) {
    FeaturePtr holder = MakeFeature(name.c_str());
    KvStringClass tableName(64ul);
    if (!holder || catalog_->GetFeatureTableName(name.c_str(), tableName) != 0) {
      *error = Reason("cannot read feature " + name);
      return false;
    }
    TableGuard t(connection_->NewDatabase(), true);
    if (t.get() == nullptr || t.OpenForWrite(tableName.c_str()) != 0) {
      *error = Reason("cannot open the table of " + name);
      return false;
    }
    // A fresh block, as a newly added class has, takes every record kept.
    std::string zero(holder->GetGlobalInfoSize(), '\0');
    KvDatumClass info;
    if (info.CopyBytes(zero.data(), zero.size(), "kivo::CatalogStore::Repair") != 0) return false;
    std::vector<std::string> orphans;
    {
      std::unique_ptr<KvDbIteratorClass> it(t->NewIterator());
      if (it == nullptr) {
        *error = Reason("cannot walk the table of " + name);
        return false;
      }
      KvDatumClass key, data;
      while (it->HasCurrent()) {
        if (it->NextView(key, data) != 0) {
          *error = Reason("cannot walk the table of " + name);
          return false;
        }
        const std::string text = DatumText(key);
        if (states.count(text) == 0) {
          orphans.push_back(text);
          continue;
        }
        if (holder->FromByteString(data) != 0 || holder->UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD) != 0) {
          *error = Reason("cannot read the " + name + " record of " + text);
          return false;
        }
      }
    }
    for (const std::string& orphan : orphans) {
      KvDatumClass key;
      BorrowKey(key, orphan.c_str());
      if (t->Delete(key) == -1) {
        *error = Reason("cannot remove " + orphan + " from the table of " + name);
        return false;
      }
    }
    if (t.Close() != 0 || catalog_->PutGlobalFeatureInfo(name.c_str(), info) != 0) {
      *error = Reason("cannot write the table of " + name);
      return false;
    }
  }
  if (!PutMeta("dirty", "0", error)) return false;
  *repaired = true;
  return true;
}

}  // namespace kivo
