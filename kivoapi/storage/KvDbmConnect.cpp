// The dbm connection: a database is a directory, each table one B-tree file
// directly inside it. The connection makes tables, result sets and catalogs,
// and owns the rule that turns feature, catalog and sampler names into short
// file names.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

// Longest table stem (the text before the extension), and the longest file
// name the file system takes.
constexpr size_t kMaxStem = 15;
constexpr size_t kMaxFileName = 255;

bool SameText(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

bool HasSeparator(const char* text) {
  return text != nullptr && std::strpbrk(text, "/\\") != nullptr;
}

const char* Shown(const char* text) { return text != nullptr ? text : "(null)"; }

void RefuseName(const char* site, const char* what, const char* name) {
  std::string message = std::string(site) + ": " + what + ": \"" + Shown(name) + "\"";
  KvError(KERR_General, KERR_Fatal, message.c_str());
}

// Appends "." suffix, checks the whole name and hands it to out. site names
// the caller in messages.
int FinishName(const char* site, std::string& text, const char* suffix, KvStringClass& out) {
  if (HasSeparator(suffix)) {
    RefuseName(site, "extension contains a path separator", suffix);
    return -1;
  }
  if (suffix != nullptr && suffix[0] != '\0') text.append(".").append(suffix);
  if (text == "." || text == "..") {
    RefuseName(site, "not a table file name", text.c_str());
    return -1;
  }
  if (text.size() > kMaxFileName) {
    RefuseName(site, "table file name longer than 255 characters", text.c_str());
    return -1;
  }
  out.Assign(text.c_str());
  if (!out.IsValid() || std::strcmp(out.c_str(), text.c_str()) != 0) return -1;
  return 0;
}

// Hands object to the caller when it is usable; else destroys it. A null
// object records the allocation message of the connection.
template <typename T>
T* Checked(T* object, const char* message) {
  if (object == nullptr) {
    KvError(KERR_General, KERR_Fatal, message);
    return nullptr;
  }
  if (!object->IsValid()) {
    delete object;
    return nullptr;
  }
  return object;
}

}  // namespace

KvConnectClass* NewKvDbmConnectClass() {
  KvConnectClass* connection = new (std::nothrow) KvDbmConnectClass();
  if (connection == nullptr) KvError(KERR_NewFailed, KERR_Fatal, "KvDbmConnectClass", "NewKvDbmConnectClass");
  return connection;
}

KvDbmConnectClass::~KvDbmConnectClass() { Disconnect(); }

int KvDbmConnectClass::Connect(const char* directory, const char* mode) {
  if (connected_) {
    return SameText(directory, directory_) && SameText(mode, mode_) ? 0 : -1;
  }
  if (directory == nullptr || directory[0] == '\0') {
    KvError(KERR_General, KERR_Fatal, "KvDbmConnectClass::Connect: no database directory given");
    return -1;
  }
  struct stat info;
  if (stat(directory, &info) != 0) {
    if (mkdir(directory, 0777) != 0 && errno != EEXIST) return errno;
  } else if (!S_ISDIR(info.st_mode)) {
    // A plain file of that name cannot hold tables.
    return ENOTDIR;
  }
  char* directoryCopy = KvStrDup(directory, 0);
  if (directoryCopy == nullptr) return -1;
  char* modeCopy = nullptr;
  if (mode != nullptr) {
    modeCopy = KvStrDup(mode, 0);
    if (modeCopy == nullptr) {
      KvDelete(directoryCopy);
      return -1;
    }
  }
  directory_ = directoryCopy;
  mode_ = modeCopy;
  connected_ = True;
  return 0;
}

int KvDbmConnectClass::Disconnect() {
  {
    std::lock_guard<std::mutex> lock(envMutex_);
    env_.reset();
  }
  KvDelete(directory_);
  KvDelete(mode_);
  directory_ = nullptr;
  mode_ = nullptr;
  connected_ = False;
  return 0;
}

std::shared_ptr<KvStoreEnv> KvDbmConnectClass::StoreEnv(bool create, bool* failed) const {
  *failed = false;
  if (!connected_ || directory_ == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(envMutex_);
  if (env_ != nullptr && !env_->Dead()) return env_;
  env_ = KvStoreEnv::Acquire(directory_, create, failed);
  return env_;
}

std::shared_ptr<KvStoreEnv> KvStoreEnvOf(const KvConnectClass* connection, bool* failed) {
  bool ignored = false;
  if (failed == nullptr) failed = &ignored;
  *failed = false;
  const auto* dbm = dynamic_cast<const KvDbmConnectClass*>(connection);
  if (dbm == nullptr) return nullptr;
  const char* mode = dbm->GetMode();
  return dbm->StoreEnv(mode != nullptr && mode[0] == 'w', failed);
}

KvDatabaseClass* KvDbmConnectClass::NewDatabase() const {
  return Checked<KvDatabaseClass>(new (std::nothrow) KvDbmDatabaseClass(this),
                                  "Unable to new KvDatabaseClass in KvDbmCls");
}

KvKeyDatabaseClass* KvDbmConnectClass::NewKeyDatabase() const {
  return Checked<KvKeyDatabaseClass>(new (std::nothrow) KvKeyMemoryDatabaseClass(this),
                                     "Unable to new KvKeyDatabaseClass in KvDbmCls");
}

KvCatalogClass* KvDbmConnectClass::NewCatalog() const {
  KvCatalogClass* catalog = nullptr;
  try {
    catalog = new (std::nothrow) KvCatalogClass(this);
  } catch (const std::bad_alloc&) {
    catalog = nullptr;
  }
  return Checked<KvCatalogClass>(catalog, "Unable to new KvCatalogClass in KvDbmCls");
}

int KvDbmConnectClass::CreateTable(KvDatabaseClass* table, const char* name, int a, int b, int c, int d,
                                   int e) const {
  if (table == nullptr) return -1;
  return table->Create(name, a, b, c, d, e);
}

namespace {

int BuildTableName(const char* prefix, const char* name, const char* suffix, KvStringClass& out) {
  static const char kSite[] = "KvDbmConnectClass::MakeTableName";
  if (!out.IsValid()) {
    KvError(KERR_General, KERR_Fatal, "KvDbmConnectClass::MakeTableName: no usable output string");
    return -1;
  }
  out.Assign("");
  if (name == nullptr) {
    RefuseName(kSite, "no table name given", name);
    return -1;
  }
  if (HasSeparator(prefix) || HasSeparator(name)) {
    RefuseName(kSite, "name contains a path separator", HasSeparator(name) ? name : prefix);
    return -1;
  }
  const size_t nameLength = std::strlen(name);
  std::string text;
  if (prefix != nullptr) {
    // Class names carry "Kv"; the file name keeps the distinctive part.
    if (std::strncmp(prefix, "Kv", 2) == 0) prefix += 2;
    const size_t n = nameLength < 8 ? 8 - nameLength : 6;
    text.assign(prefix, strnlen(prefix, n));
  }
  text.append(name, nameLength);
  if (text.empty()) {
    RefuseName(kSite, "empty table name", name);
    return -1;
  }
  if (text.size() > kMaxStem) {
    RefuseName(kSite, "table name longer than 15 characters", text.c_str());
    return -1;
  }
  return FinishName(kSite, text, suffix, out);
}

int BuildFileName(const char* name, const char* suffix, KvStringClass& out) {
  static const char kSite[] = "KvDbmConnectClass::MakeFileName";
  if (!out.IsValid()) {
    KvError(KERR_General, KERR_Fatal, "KvDbmConnectClass::MakeFileName: no usable output string");
    return -1;
  }
  out.Assign("");
  if (name == nullptr || name[0] == '\0') {
    RefuseName(kSite, "empty file name", name);
    return -1;
  }
  if (HasSeparator(name)) {
    RefuseName(kSite, "name contains a path separator", name);
    return -1;
  }
  std::string text(name);
  return FinishName(kSite, text, suffix, out);
}

}  // namespace

int KvDbmConnectClass::MakeTableName(const char* prefix, const char* name, const char* suffix,
                                     KvStringClass& out) const {
  try {
    return BuildTableName(prefix, name, suffix, out);
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, -1, "KvDbmConnectClass::MakeTableName");
    return -1;
  }
}

int KvDbmConnectClass::MakeFileName(const char* name, const char* suffix, KvStringClass& out) const {
  try {
    return BuildFileName(name, suffix, out);
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, -1, "KvDbmConnectClass::MakeFileName");
    return -1;
  }
}
