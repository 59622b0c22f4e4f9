// The transactional store: environments per directory, cached table handles,
// write scopes with the writer lock, group sync of the log.
#include "storage/KvStoreEnv.h"

#include <db.h>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "storage/KvConnect.h"
#include "storage/KvStoreCheck.h"
#include "storage/KvStoreStamp.h"

namespace {

// The messages of this thread's last failure. Tables still open at exit are
// closed after the main thread's own objects are gone, and the library may
// speak while closing them: from then on a spare text takes its messages.
thread_local bool tMessagesGone = false;
struct MessageText {
  std::string text;
  ~MessageText() { tMessagesGone = true; }
};
thread_local MessageText tMessages;

std::string& LastMessage() {
  static std::string* spare = new std::string;
  return tMessagesGone ? *spare : tMessages.text;
}

// The library may say several things about one failure (the damaged page,
// then the read that failed): all are kept, up to a bound, until recorded.
void KeepMessage(const DB_ENV*, const char*, const char* message) { KvStoreKeepMessage(message); }

// Progress messages of recovery and the like are not errors.
void DropMessage(const DB_ENV*, const char*) {}

int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Frame {
  KvStoreEnv* env = nullptr;
  DB_TXN* txn = nullptr;
  std::shared_lock<std::shared_mutex> use;  // the outermost frame's hold on the handles
  bool doomed = false;
  std::vector<KvStoreCursorOwner*> cursors;
  std::vector<std::shared_ptr<KvStoreTable>> written;
  std::vector<std::shared_ptr<KvStoreTable>> opened;
  std::vector<std::shared_ptr<KvStoreTable>> removals;
};

thread_local std::vector<Frame> tFrames;

Frame* InnermostFrame(const KvStoreEnv* env) {
  for (auto it = tFrames.rbegin(); it != tFrames.rend(); ++it) {
    if (it->env == env) return &*it;
  }
  return nullptr;
}

template <typename T>
void AddOnce(std::vector<T>& list, const T& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

// Registry of this process's environments, by the directory's real path. It is
// never destroyed: handles still held at exit are closed by CloseAtExit.
std::mutex gRegistryMutex;
std::map<std::string, std::weak_ptr<KvStoreEnv>>* gRegistry = nullptr;
bool gExitHandler = false;

void CloseAtExit();

std::string RealDirectory(const std::string& directory) {
  char resolved[PATH_MAX];
  if (::realpath(directory.c_str(), resolved) == nullptr) return std::string();
  return resolved;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void ReadGroupSetting(unsigned* commits, int64_t* millis) {
  const char* text = Kvgetenv("KivoCommitGroup");
  if (text == nullptr || text[0] == '\0') return;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (end != text && n > 0) *commits = static_cast<unsigned>(std::min<long>(n, 1000000));
  if (end != nullptr && *end == ',') {
    const char* rest = end + 1;
    const long ms = std::strtol(rest, &end, 10);
    if (end != rest && ms >= 0) *millis = ms;
  }
}

void RecordLibraryError(const char* what, const std::string& where, int rc) {
  char text[1200];
  std::snprintf(text, sizeof text, "%s %.500s failed: %s%s%.400s", what, where.c_str(), db_strerror(rc),
                LastMessage().empty() ? "" : ": ", LastMessage().c_str());
  LastMessage().clear();
  KvStoreNoteFailure();
  KvError(KERR_General, KERR_Fatal, text);
}

}  // namespace

std::string KvStoreLastMessage() { return LastMessage(); }

void KvStoreKeepMessage(const char* message) {
  if (message == nullptr || LastMessage().size() > 600) return;
  if (!LastMessage().empty()) LastMessage() += "; ";
  LastMessage() += message;
}

void KvStoreClearMessage() { LastMessage().clear(); }

KvStoreTable::~KvStoreTable() {
  // A close failure leaves nothing to report to; the data was committed or
  // rolled back by the transactions that wrote it.
  if (db != nullptr) (void)db->close(db, 0);
}

// ---- environments ----------------------------------------------------------

KvStoreEnv::KvStoreEnv(std::string directory) : directory_(std::move(directory)) {
  home_ = directory_ + "/" + kKvStoreEnvDirectory;
  owner_ = ::getpid();
  lastSync_ = NowMillis();
  ReadGroupSetting(&groupCommits_, &groupMillis_);
}

KvStoreEnv::~KvStoreEnv() { CloseAll(); }

void KvStoreEnv::Shutdown() {
  std::unique_lock<std::shared_mutex> lock(useMutex_);
  std::vector<KvStoreCursorOwner*> walks;
  {
    std::lock_guard<std::mutex> guard(iteratorsMutex_);
    walks.swap(iterators_);
  }
  for (KvStoreCursorOwner* walk : walks) walk->CloseCursor();
  CloseAll();
}

void KvStoreEnv::RegisterIterator(KvStoreCursorOwner* owner) {
  std::lock_guard<std::mutex> guard(iteratorsMutex_);
  iterators_.push_back(owner);
}

void KvStoreEnv::UnregisterIterator(KvStoreCursorOwner* owner) {
  std::lock_guard<std::mutex> guard(iteratorsMutex_);
  iterators_.erase(std::remove(iterators_.begin(), iterators_.end(), owner), iterators_.end());
}

std::shared_ptr<KvStoreEnv> KvStoreEnv::Acquire(const std::string& directory, bool create, bool* failed) {
  *failed = false;
  const std::string real = RealDirectory(directory);
  if (real.empty()) return nullptr;
  std::lock_guard<std::mutex> lock(gRegistryMutex);
  if (gRegistry == nullptr) gRegistry = new std::map<std::string, std::weak_ptr<KvStoreEnv>>();
  if (!gExitHandler) {
    gExitHandler = true;
    std::atexit(CloseAtExit);
  }
  auto found = gRegistry->find(real);
  if (found != gRegistry->end()) {
    std::shared_ptr<KvStoreEnv> env = found->second.lock();
    if (env != nullptr && env->owner_ == ::getpid()) {
      if (!env->dead_) return env;
      // A thread inside a change of the dead environment keeps it until the
      // change has failed; the handles are closed once nobody uses them, as
      // the library allows one environment handle per process.
      if (InnermostFrame(env.get()) != nullptr) return env;
      env->Shutdown();
    }
  }
  const std::string home = real + "/" + kKvStoreEnvDirectory;
  if (!create) {
    // A directory without an environment (written by an older build, or never
    // written) or one this process cannot write to is read without one.
    if (!IsDirectory(home) || ::access(home.c_str(), R_OK | W_OK | X_OK) != 0 ||
        ::access(real.c_str(), W_OK) != 0) {
      return nullptr;
    }
  }
  std::shared_ptr<KvStoreEnv> env(new KvStoreEnv(real));
  if (!env->OpenEnvironment(create)) {
    *failed = true;
    return nullptr;
  }
  (*gRegistry)[real] = env;
  return env;
}

namespace {

// The first page of a B-tree table file: offset / size / meaning (this
// machine's byte order)
//   0    8   log sequence number of the page's last change
//   12   4   magic number 0x053162
//   52   20  the file's unique identifier
constexpr size_t kMetaBytes = 72;
constexpr uint32_t kBtreeMagic = 0x053162;

struct TableIdentity {
  std::string name;
  unsigned char uid[20];
  bool logged;  // has a log sequence number from some environment's log
  int64_t mtime;
};

std::vector<TableIdentity> TableFilesOf(const std::string& directory) {
  std::vector<TableIdentity> found;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return found;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string path = directory + "/" + entry->d_name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    unsigned char meta[kMetaBytes];
    const ssize_t got = ::pread(fd, meta, sizeof meta, 0);
    ::close(fd);
    uint32_t magic = 0;
    if (got != static_cast<ssize_t>(sizeof meta)) continue;
    std::memcpy(&magic, meta + 12, sizeof magic);
    if (magic != kBtreeMagic) continue;
    TableIdentity identity;
    identity.name = entry->d_name;
    std::memcpy(identity.uid, meta + 52, sizeof identity.uid);
    identity.logged = std::any_of(meta, meta + 8, [](unsigned char b) { return b != 0; });
    identity.mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    found.push_back(std::move(identity));
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end(), [](const TableIdentity& a, const TableIdentity& b) {
    return a.mtime != b.mtime ? a.mtime < b.mtime : a.name < b.name;
  });
  return found;
}

// A write past the file-size limit would end the process with SIGXFSZ in the
// middle of a change; ignored, it fails with EFBIG like a full disk, and the
// change rolls back. A handler the program installed itself is left alone.
// Looked at on every open, so that a handler installed later is respected too.
void IgnoreFileSizeSignal() {
  struct sigaction current{};
  if (::sigaction(SIGXFSZ, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL) {
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    (void)::sigaction(SIGXFSZ, &ignore, nullptr);
  }
}

// The region files (cache, locks, log buffer) are mapped, and the library
// makes them sparse and lets them grow: a page of them touched for the first
// time on a full file system ends the process with SIGBUS instead of an
// error. So a new environment starts only with room for its regions, and each
// region file is given the blocks it can grow into at once (beyond its end,
// which the library sets itself): 4.1 MB when made, 8.5 MB after a build of
// 600 photographs, at most the 16 MB cache and the lock and transaction
// tables. A full file system then fails writes of the log and the tables,
// errors that roll a change back.
constexpr unsigned long long kRegionReserve = 24ull << 20;  // per region file
constexpr unsigned long long kRegionRoom = 3 * kRegionReserve;

bool RoomForRegions(const std::string& home, const std::string& directory) {
  struct statvfs fs;
  if (::statvfs(home.c_str(), &fs) != 0) return true;  // not known: the open itself tells
  const unsigned long long room = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
  if (room >= kRegionRoom) return true;
  char text[700];
  std::snprintf(text, sizeof text,
                "no room for the storage environment of %.500s: %llu KiB free on its file system, %llu KiB needed",
                directory.c_str(), room >> 10, kRegionRoom >> 10);
  KvError(KERR_General, KERR_Fatal, text);
  return false;
}

// The names of the region files __db.NNN in home.
std::vector<std::string> RegionFiles(const std::string& home) {
  std::vector<std::string> regions;
  DIR* dir = ::opendir(home.c_str());
  if (dir == nullptr) return regions;
  while (dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, "__db.", 5) == 0 && name[5] >= '0' && name[5] <= '9') regions.emplace_back(name);
  }
  ::closedir(dir);
  return regions;
}

// Gives every region file the blocks it may grow into. False, with the error
// recorded, when the file system has no room for them; one that cannot
// allocate ahead (EOPNOTSUPP) is left as it is.
bool AllocateRegions(const std::string& home, const std::string& directory) {
  for (const std::string& name : RegionFiles(home)) {
    const std::string path = home + "/" + name;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;  // the library's own file: it reports what it cannot use
    struct stat st;
    int rc = 0;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
      const off_t reserve = std::max<off_t>(st.st_size, static_cast<off_t>(kRegionReserve));
      if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, reserve) != 0) rc = errno;
    }
    ::close(fd);
    if (rc == ENOSPC || rc == EDQUOT || rc == EFBIG) {
      char text[700];
      std::snprintf(text, sizeof text, "no room for the storage environment of %.500s: %s", directory.c_str(),
                    std::strerror(rc));
      KvError(KERR_General, KERR_Fatal, text);
      return false;
    }
  }
  return true;
}

// The region files of an open that failed before anybody else joined (run
// under the gate): left behind, half made, they would be taken for a running
// environment's. They are unlinked directly: the library's own removal first
// attaches to them, and waits for a region that is never finished (18 s).
void RemoveRegions(const std::string& home) {
  // A region that cannot be removed is recovered over by the next opener.
  for (const std::string& name : RegionFiles(home)) (void)::unlink((home + "/" + name).c_str());
}

// Holds byte 1 of the lock file exclusively: processes join, start, leave and
// remove the environment one at a time (the writer lock is byte 0).
class GateLock {
 public:
  explicit GateLock(int fd) : fd_(fd) { Set(F_WRLCK); }
  ~GateLock() { Set(F_UNLCK); }
  GateLock(const GateLock&) = delete;
  GateLock& operator=(const GateLock&) = delete;

 private:
  void Set(short type) {
    if (fd_ < 0) return;
    struct flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 1;
    lock.l_len = 1;
    while (::fcntl(fd_, type == F_UNLCK ? F_SETLK : F_SETLKW, &lock) != 0 && errno == EINTR) {
    }
  }
  int fd_;
};

}  // namespace

// The environment tells files apart by the identifier in their first page,
// and orders changes by log sequence numbers: a table file copied over
// another one (same identifier) gets one of its own, and tables that came with
// another environment's numbers into a new one have them cleared, before
// anybody uses them. Done by the process that starts the environment.
void KvStoreEnv::TidyTables(bool newEnvironment) {
  const std::vector<TableIdentity> tables = TableFilesOf(directory_);
  for (size_t i = 0; i < tables.size(); ++i) {
    const TableIdentity& t = tables[i];
    bool twin = false;
    for (size_t j = 0; j < i && !twin; ++j) twin = std::memcmp(tables[j].uid, t.uid, sizeof t.uid) == 0;
    if (::access((directory_ + "/" + t.name).c_str(), W_OK) != 0) continue;
    if (twin) (void)env_->fileid_reset(env_, t.name.c_str(), 0);
    if (newEnvironment && t.logged) (void)env_->lsn_reset(env_, t.name.c_str(), 0);
  }
  LastMessage().clear();
}

bool KvStoreEnv::OpenEnvironment(bool create) {
  IgnoreFileSizeSignal();
  const bool newEnvironment = !IsDirectory(home_);
  if (create && ::mkdir(home_.c_str(), 0777) != 0 && errno != EEXIST) {
    char text[700];
    std::snprintf(text, sizeof text, "cannot make the storage environment directory %.500s: %s", home_.c_str(),
                  std::strerror(errno));
    KvError(KERR_General, KERR_Fatal, text);
    return false;
  }
  const std::string lockPath = home_ + "/writer.lock";
  lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    char text[700];
    std::snprintf(text, sizeof text, "cannot open the writer lock %.500s: %s", lockPath.c_str(),
                  std::strerror(errno));
    KvError(KERR_General, KERR_Fatal, text);
    return false;
  }
  GateLock gate(lockFd_);
  // Looked at under the gate: nobody else starts or leaves the environment
  // meanwhile, so no regions here means nobody is inside. An empty first
  // region is what an open cut short by a file-size limit or a full disk made.
  struct stat st;
  const bool freshRegions = ::stat((home_ + "/__db.001").c_str(), &st) != 0 || st.st_size == 0;
  if (freshRegions && !RoomForRegions(home_, directory_)) return false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    DB_ENV* env = nullptr;
    int rc = db_env_create(&env, 0);
    if (rc != 0) {
      RecordLibraryError("creating the storage environment of", directory_, rc);
      return false;
    }
    env->set_errcall(env, KeepMessage);
    env->set_msgcall(env, DropMessage);
    env->set_data_dir(env, "..");
    env->set_create_dir(env, "..");
    env->set_tmp_dir(env, ".");
    // Pages are read into the cache, never mapped: a damaged page is a
    // checksum error, not a fault.
    env->set_mp_mmapsize(env, 0);
    env->set_cachesize(env, 0, 16u << 20, 1);
    env->set_lg_bsize(env, 1u << 20);
    env->set_lg_max(env, 8u << 20);
    env->set_lk_max_locks(env, 20000);
    env->set_lk_max_objects(env, 20000);
    env->set_lk_max_lockers(env, 2000);
    env->set_tx_max(env, 1000);
    env->mutex_set_increment(env, 100000);
    env->set_lk_detect(env, DB_LOCK_DEFAULT);
    env->set_timeout(env, 5000000, DB_SET_LOCK_TIMEOUT);
    env->set_flags(env, DB_MULTIVERSION | DB_TXN_WRITE_NOSYNC, 1);
    env->log_set_config(env, DB_LOG_AUTO_REMOVE, 1);
    u_int32_t flags = DB_CREATE | DB_INIT_TXN | DB_INIT_LOCK | DB_INIT_LOG | DB_INIT_MPOOL | DB_THREAD |
                      DB_RECOVER | DB_REGISTER;
    rc = env->open(env, home_.c_str(), flags, 0600);
    if (rc == 0 && freshRegions && !AllocateRegions(home_, directory_)) {
      (void)env->close(env, 0);
      RemoveRegions(home_);
      return false;
    }
    if (rc == 0) {
      env_ = env;
      checkpointed_ = false;
      if (freshRegions) TidyTables(newEnvironment);
      LastMessage().clear();
      return true;
    }
    (void)env->close(env, 0);
    if (rc != DB_RUNRECOVERY || attempt == 1) {
      RecordLibraryError("opening the storage environment of", directory_, rc);
      if (freshRegions) RemoveRegions(home_);
      return false;
    }
    // A panicked environment (a damaged page was met, or a write failed for
    // lack of room) is recovered by the next opener: the register alone
    // sees only dead processes. Its regions are removed and the log replayed
    // by a handle of its own, so that everything committed is in the tables.
    DB_ENV* fixer = nullptr;
    if (db_env_create(&fixer, 0) == 0) {
      fixer->set_errcall(fixer, KeepMessage);
      fixer->set_msgcall(fixer, DropMessage);
      fixer->set_data_dir(fixer, "..");
      fixer->set_create_dir(fixer, "..");
      fixer->set_tmp_dir(fixer, ".");
      (void)fixer->remove(fixer, home_.c_str(), DB_FORCE);
    }
    if (db_env_create(&fixer, 0) == 0) {
      fixer->set_errcall(fixer, KeepMessage);
      fixer->set_msgcall(fixer, DropMessage);
      fixer->set_data_dir(fixer, "..");
      fixer->set_create_dir(fixer, "..");
      fixer->set_tmp_dir(fixer, ".");
      fixer->set_mp_mmapsize(fixer, 0);
      fixer->set_flags(fixer, DB_MULTIVERSION, 1);
      const int recovered = fixer->open(fixer, home_.c_str(),
                                        DB_CREATE | DB_INIT_TXN | DB_INIT_LOCK | DB_INIT_LOG | DB_INIT_MPOOL |
                                            DB_RECOVER,
                                        0600);
      if (recovered == 0) (void)fixer->txn_checkpoint(fixer, 0, 0, DB_FORCE);
      (void)fixer->close(fixer, 0);
      if (db_env_create(&fixer, 0) == 0) (void)fixer->remove(fixer, home_.c_str(), 0);
    }
  }
  return false;
}

void KvStoreEnv::Check(int result) {
  if (result == DB_RUNRECOVERY) dead_ = true;
}

void KvStoreEnv::CloseAll() {
  if (owner_ != ::getpid()) return;  // a forked child leaves its parent's handles alone
  {
    std::lock_guard<std::mutex> lock(tablesMutex_);
    // Every handle this environment gave out, also those no longer cached that
    // a user still holds: none may outlive the environment.
    for (const std::weak_ptr<KvStoreTable>& weak : everOpened_) {
      std::shared_ptr<KvStoreTable> table = weak.lock();
      if (table == nullptr) continue;
      if (table->db != nullptr) (void)table->db->close(table->db, 0);
      table->db = nullptr;
    }
    tables_.clear();
    everOpened_.clear();
  }
  if (env_ != nullptr) {
    if (wrote_ && !dead_) {
      // Everything committed reaches the disk, and the tables' files hold
      // their pages, so that they read as plain B-tree files.
      (void)env_->log_flush(env_, nullptr);
      (void)env_->txn_checkpoint(env_, 0, 0, DB_FORCE);
    }
    GateLock gate(lockFd_);
    (void)env_->close(env_, 0);
    env_ = nullptr;
    // The last process out removes the region files (cache, locks), so that a
    // copy of the directory, or a later damage of a file, never meets pages
    // cached from before. With other processes inside, this does nothing.
    DB_ENV* remover = nullptr;
    if (db_env_create(&remover, 0) == 0) {
      remover->set_errcall(remover, KeepMessage);
      (void)remover->remove(remover, home_.c_str(), 0);
    }
    LastMessage().clear();
  }
  if (lockFd_ >= 0) ::close(lockFd_);
  lockFd_ = -1;
}

namespace {

void CloseAtExit() {
  std::vector<std::shared_ptr<KvStoreEnv>> open;
  {
    std::lock_guard<std::mutex> lock(gRegistryMutex);
    if (gRegistry == nullptr) return;
    for (auto& entry : *gRegistry) {
      if (std::shared_ptr<KvStoreEnv> env = entry.second.lock()) open.push_back(env);
    }
  }
  // Handles that outlive this (static objects destroyed later) find their
  // tables closed and do nothing.
  for (const std::shared_ptr<KvStoreEnv>& env : open) env->Shutdown();
}

}  // namespace

// ---- tables ------------------------------------------------------------------

// The page check of an existing table file, skipped when an earlier opener
// found every page of the file, exactly as it is now, sound. A clean check is
// stamped for the next opener.
bool KvStoreEnv::CheckedOrStamped(__db* db, const std::string& name, const std::string& path, int* result) {
  *result = 0;
  KvStoreFileIdentity identity;
  const bool known = KvStoreIdentityOf(path, &identity);
  if (known && KvStoreStamped(home_, name, identity)) return true;
  if (!KvStoreCheckPages(db, path, result)) return false;
  if (known) KvStoreStamp(home_, name, identity);
  return true;
}

std::shared_ptr<KvStoreTable> KvStoreEnv::Table(const std::string& name, bool create, int* rc) {
  *rc = -1;
  std::shared_lock<std::shared_mutex> use(useMutex_);
  const std::string path = directory_ + "/" + name;
  struct stat st;
  bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && st.st_size == 0) {
    // An empty file is a table whose creation was cut short by a kill: it
    // holds nothing, and it is made afresh on the first write.
    if (create) (void)::unlink(path.c_str());
    exists = false;
  }
  std::lock_guard<std::mutex> lock(tablesMutex_);
  for (auto it = tables_.begin(); it != tables_.end(); ++it) {
    if ((*it)->name != name) continue;
    // The same file as when it was opened: keep the handle. A file removed or
    // replaced by another process is opened afresh.
    if (exists && (*it)->device == st.st_dev && (*it)->inode == st.st_ino && (*it)->db != nullptr) {
      *rc = 0;
      return *it;
    }
    (*it)->removed = true;
    tables_.erase(it);
    break;
  }
  if (!exists && !create) {
    *rc = 1;
    return nullptr;
  }
  if (env_ == nullptr) return nullptr;
  LastMessage().clear();
  auto table = std::make_shared<KvStoreTable>();
  table->name = name;
  table->path = path;
  DB* db = nullptr;
  int result = db_create(&db, env_, 0);
  if (result != 0) {
    RecordLibraryError("opening table", path, result);
    return nullptr;
  }
  // New tables carry page checksums; an existing file keeps what it has.
  db->set_flags(db, DB_CHKSUM);
  Frame* frame = InnermostFrame(this);
  u_int32_t flags = DB_THREAD;
  if (frame == nullptr) flags |= DB_AUTO_COMMIT;
  if (create) flags |= DB_CREATE;
  table->readOnly = exists && ::access(path.c_str(), W_OK) != 0;
  if (table->readOnly) flags |= DB_RDONLY;
  result = db->open(db, frame != nullptr ? frame->txn : nullptr, name.c_str(), nullptr, DB_BTREE, flags, 0600);
  if (result != 0) {
    (void)db->close(db, 0);
    Check(result);
    if (result == ENOENT && !create) {
      *rc = 1;
      return nullptr;
    }
    RecordLibraryError("opening table", path, result);
    if (frame != nullptr) frame->doomed = true;
    return nullptr;
  }
  if (exists && !CheckedOrStamped(db, name, path, &result)) {
    (void)db->close(db, 0);
    Check(result);
    if (frame != nullptr) frame->doomed = true;
    return nullptr;
  }
  table->db = db;
  if (::stat(path.c_str(), &st) == 0) {
    table->device = st.st_dev;
    table->inode = st.st_ino;
  }
  tables_.push_back(table);
  everOpened_.erase(std::remove_if(everOpened_.begin(), everOpened_.end(),
                                   [](const std::weak_ptr<KvStoreTable>& w) { return w.expired(); }),
                    everOpened_.end());
  everOpened_.push_back(table);
  // A handle opened inside a transaction belongs to it: if it rolls back,
  // the handle goes with it.
  if (frame != nullptr) frame->opened.push_back(table);
  *rc = 0;
  return table;
}

int KvStoreEnv::Remove(const std::shared_ptr<KvStoreTable>& table) {
  Frame* frame = InnermostFrame(this);
  if (frame == nullptr || table == nullptr || table->db == nullptr) return -1;
  u_int32_t count = 0;
  const int rc = table->db->truncate(table->db, frame->txn, &count, 0);
  if (rc != 0) {
    Check(rc);
    RecordLibraryError("emptying table", table->path, rc);
    frame->doomed = true;
    return -1;
  }
  AddOnce(frame->removals, table);
  frame->written.erase(std::remove(frame->written.begin(), frame->written.end(), table), frame->written.end());
  return 0;
}

void KvStoreEnv::NoteWritten(const std::shared_ptr<KvStoreTable>& table) {
  Frame* frame = InnermostFrame(this);
  if (frame == nullptr) return;
  AddOnce(frame->written, table);
  // Written again after its removal in the same transaction: it stays.
  frame->removals.erase(std::remove(frame->removals.begin(), frame->removals.end(), table), frame->removals.end());
  wrote_ = true;
}

// ---- transactions ------------------------------------------------------------

DB_TXN* KvStoreEnv::CurrentTxn() const {
  const Frame* frame = InnermostFrame(this);
  return frame != nullptr ? frame->txn : nullptr;
}

void KvStoreEnv::Doom() {
  if (Frame* frame = InnermostFrame(this)) frame->doomed = true;
}

void KvStoreEnv::RegisterCursor(KvStoreCursorOwner* owner) {
  if (Frame* frame = InnermostFrame(this)) frame->cursors.push_back(owner);
}

void KvStoreEnv::UnregisterCursor(KvStoreCursorOwner* owner) {
  for (Frame& frame : tFrames) {
    frame.cursors.erase(std::remove(frame.cursors.begin(), frame.cursors.end(), owner), frame.cursors.end());
  }
}

int KvStoreEnv::Begin(bool* outermost) {
  if (env_ == nullptr || dead_) {
    KvError(KERR_General, KERR_Fatal, "the storage environment is closed or needs recovery; reopen the database");
    return -1;
  }
  Frame* parent = InnermostFrame(this);
  *outermost = parent == nullptr;
  std::shared_lock<std::shared_mutex> use;
  if (*outermost) {
    use = std::shared_lock<std::shared_mutex>(useMutex_);
    if (env_ == nullptr) {
      KvError(KERR_General, KERR_Fatal, "the storage environment is closed; reopen the database");
      return -1;
    }
    writerMutex_.lock();
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    int rc;
    do {
      rc = ::fcntl(lockFd_, F_SETLKW, &lock);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      writerMutex_.unlock();
      char text[700];
      std::snprintf(text, sizeof text, "cannot take the writer lock of %.500s: %s", directory_.c_str(),
                    std::strerror(errno));
      KvError(KERR_General, KERR_Fatal, text);
      return -1;
    }
  }
  // The open may have recovered, undoing a killed writer's unfinished change;
  // later transactions can then be given that change's ids again, and a
  // second recovery reading back past this point applies their records to the
  // undone one (a table file it removed: the environment cannot be opened
  // again). A checkpoint before this process's first change makes the next
  // recovery start after it. Readers write nothing: a log record of theirs
  // would make recovery of a copy of the directory read back into the tables'
  // first records. When it cannot be written (a full disk, a file-size limit)
  // the change's commit cannot be either, and fails when it is tried.
  if (*outermost && !checkpointed_) {
    checkpointed_ = true;
    Check(env_->txn_checkpoint(env_, 0, 0, DB_FORCE));
    LastMessage().clear();
  }
  DB_TXN* txn = nullptr;
  const int rc = env_->txn_begin(env_, parent != nullptr ? parent->txn : nullptr, &txn, 0);
  if (rc != 0) {
    Check(rc);
    RecordLibraryError("starting a transaction in", directory_, rc);
    if (*outermost) AfterOutermost(false);
    return -1;
  }
  Frame frame;
  frame.env = this;
  frame.txn = txn;
  frame.use = std::move(use);
  tFrames.push_back(std::move(frame));
  return 0;
}

int KvStoreEnv::End(bool commit) {
  // Scopes end in the order they began: the innermost frame of this thread.
  if (tFrames.empty() || tFrames.back().env != this) return -1;
  Frame frame = std::move(tFrames.back());
  tFrames.pop_back();
  for (KvStoreCursorOwner* owner : frame.cursors) owner->CloseCursor();
  const bool outermost = InnermostFrame(this) == nullptr;
  int result = 0;
  bool committed = false;
  if (commit && !frame.doomed) {
    const int rc = frame.txn->commit(frame.txn, 0);
    if (rc != 0) {
      Check(rc);
      RecordLibraryError("committing a change of", directory_, rc);
      result = -1;
    } else {
      committed = true;
    }
  } else {
    const int rc = frame.txn->abort(frame.txn);
    Check(rc);
    if (commit) {
      KvError(KERR_General, KERR_Fatal, "the change was rolled back after a storage failure");
      result = -1;
    }
  }
  if (!committed) {
    // Handles opened inside the rolled-back transaction are not valid beyond it.
    std::lock_guard<std::mutex> lock(tablesMutex_);
    for (const std::shared_ptr<KvStoreTable>& table : frame.opened) {
      table->removed = true;
      tables_.erase(std::remove(tables_.begin(), tables_.end(), table), tables_.end());
    }
  }
  if (!outermost) {
    Frame* parent = InnermostFrame(this);
    if (committed) {
      for (auto& t : frame.written) AddOnce(parent->written, t);
      for (auto& t : frame.opened) AddOnce(parent->opened, t);
      for (auto& t : frame.removals) AddOnce(parent->removals, t);
    } else if (frame.doomed) {
      // A storage failure inside makes the whole change fail.
      parent->doomed = true;
    }
    return result;
  }
  if (committed) {
    for (const std::shared_ptr<KvStoreTable>& table : frame.written) {
      // Whatever keys itself on the file's stat sees the change.
      (void)::utimensat(AT_FDCWD, table->path.c_str(), nullptr, 0);
    }
    for (const std::shared_ptr<KvStoreTable>& table : frame.removals) {
      {
        std::lock_guard<std::mutex> lock(tablesMutex_);
        tables_.erase(std::remove(tables_.begin(), tables_.end(), table), tables_.end());
        table->removed = true;
        if (table->db != nullptr) (void)table->db->close(table->db, 0);
        table->db = nullptr;
      }
      KvStoreUnstamp(home_, table->name);
      const int rc = env_->dbremove(env_, nullptr, table->name.c_str(), nullptr, DB_AUTO_COMMIT);
      if (rc != 0 && result == 0) {
        Check(rc);
        RecordLibraryError("removing the emptied table", table->path, rc);
        result = -1;
      }
    }
  }
  AfterOutermost(committed);
  return result;
}

void KvStoreEnv::AfterOutermost(bool committed) {
  if (committed) GroupSync();
  struct flock lock{};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  (void)::fcntl(lockFd_, F_SETLK, &lock);
  writerMutex_.unlock();
}

void KvStoreEnv::GroupSync() {
  std::lock_guard<std::mutex> lock(syncMutex_);
  ++commitsSinceSync_;
  const int64_t now = NowMillis();
  if (commitsSinceSync_ < groupCommits_ && now - lastSync_ < groupMillis_) return;
  commitsSinceSync_ = 0;
  lastSync_ = now;
  // A failed sync leaves the commits in the log as written; the next sync or
  // the close tries again.
  (void)env_->log_flush(env_, nullptr);
  // Bounds the log to replay after a crash (and lets old log files go).
  (void)env_->txn_checkpoint(env_, 4096, 1, 0);
}

// ---- write scopes ------------------------------------------------------------

namespace {

std::shared_ptr<KvStoreEnv> WritingEnv(const KvConnectClass* connection, bool* failed) {
  *failed = false;
  // A read-only connection changes nothing: its scopes are inert.
  const char* mode = connection != nullptr ? connection->GetMode() : nullptr;
  if (mode == nullptr || mode[0] != 'w') return nullptr;
  return KvStoreEnvOf(connection, failed);
}

}  // namespace

KvStoreWriteScope::KvStoreWriteScope(const KvConnectClass* connection) {
  bool failed = false;
  env_ = WritingEnv(connection, &failed);
  // A writer whose environment cannot be opened must not run its change
  // without one: the failure is the scope's.
  if (failed) {
    ok_ = false;
    return;
  }
  Start();
}

KvStoreWriteScope::KvStoreWriteScope(const std::shared_ptr<KvStoreEnv>& env) : env_(env) { Start(); }

void KvStoreWriteScope::Start() {
  if (env_ == nullptr) return;
  bool outermost = false;
  if (env_->Begin(&outermost) != 0) {
    ok_ = false;
    return;
  }
  active_ = true;
}

KvStoreWriteScope::~KvStoreWriteScope() {
  if (active_) (void)env_->End(false);
}

int KvStoreWriteScope::Commit() {
  if (!ok_) return -1;
  if (!active_) return 0;
  active_ = false;
  return env_->End(true);
}

int KvStoreWriteScope::Finish(int result) {
  if (result != 0) {
    if (active_) {
      active_ = false;
      (void)env_->End(false);
    }
    return result;
  }
  return Commit();
}
