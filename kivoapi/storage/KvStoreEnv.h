// The transactional store behind the dbm tables: one Berkeley DB environment
// per database directory (locking, logging, transactions, recovery), shared by
// every process that opens the directory, with the tables' handles kept open
// for the life of the environment in this process.
//
// Files: the tables stay where they always were, directly in the database
// directory; the environment's own files (region files, log files, the writer
// lock) live in its subdirectory kKvStoreEnvDirectory.
//
// Writers: a change of the catalog is one write scope (KvStoreWriteScope).
// Scopes nest: an inner scope is a child transaction that commits into its
// parent or rolls back alone. The outermost scope of a thread takes the
// directory's writer lock (a process mutex and an fcntl lock), so writers of
// all processes take turns and never deadlock one another.
//
// Readers: a lookup outside any write scope, and every walk, reads a snapshot
// of the committed state, so they never wait for a writer nor see half of a
// change.
//
// Durability: commits are written to the log at once (a killed process loses
// nothing committed); the log is forced to disk once per group of commits,
// bounded by KivoCommitGroup ("commits,milliseconds", default "256,1000"),
// and when the environment is closed, with a checkpoint that also writes the
// tables' pages to their files.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

class KvConnectClass;
struct __db;
struct __db_env;
struct __db_txn;
struct __dbc;

inline constexpr const char* kKvStoreEnvDirectory = ".KvEnv";

class KvStoreEnv;

// One table file: its handle (in the environment, or a plain read-only one for
// a directory without an environment) and where it lies.
class KvStoreTable {
 public:
  KvStoreTable() = default;
  ~KvStoreTable();
  KvStoreTable(const KvStoreTable&) = delete;
  KvStoreTable& operator=(const KvStoreTable&) = delete;

  __db* db = nullptr;
  std::string name;  // file name inside the database directory
  std::string path;  // full path
  dev_t device = 0;
  ino_t inode = 0;
  bool readOnly = false;
  bool removed = false;  // taken out by a removal; the handle goes when its transaction ends
};

class KvStoreCursorOwner {
 public:
  virtual ~KvStoreCursorOwner() = default;
  // The transaction the cursor belongs to is ending: close it now.
  virtual void CloseCursor() = 0;
};

class KvStoreEnv {
 public:
  // The environment of directory in this process. With create, it is made
  // when missing; without, null is returned (and *failed stays false) when the
  // directory has none or this process cannot write to it. On a failure to
  // open, the error is recorded, *failed set and null returned.
  static std::shared_ptr<KvStoreEnv> Acquire(const std::string& directory, bool create, bool* failed);
  ~KvStoreEnv();
  KvStoreEnv(const KvStoreEnv&) = delete;
  KvStoreEnv& operator=(const KvStoreEnv&) = delete;

  // The cached handle of table file name (opened, or created with create).
  // Null with *rc = 1 when the file does not exist and create is false, -1
  // (error recorded) on failure.
  std::shared_ptr<KvStoreTable> Table(const std::string& name, bool create, int* rc);
  // Empties the table inside the current write scope and removes its file once
  // the outermost scope has committed. 0, or -1 (error recorded).
  int Remove(const std::shared_ptr<KvStoreTable>& table);

  // The innermost write transaction of this thread in this environment, or null.
  __db_txn* CurrentTxn() const;
  // Marks the innermost write scope of this thread as failed: it rolls back.
  void Doom();
  // A table written by the current scope (its file is touched at commit, so
  // that anything keyed by the file's stat sees the change).
  void NoteWritten(const std::shared_ptr<KvStoreTable>& table);
  void RegisterCursor(KvStoreCursorOwner* owner);
  void UnregisterCursor(KvStoreCursorOwner* owner);
  // Every walk of the environment's tables, so that a reopening can end them.
  void RegisterIterator(KvStoreCursorOwner* owner);
  void UnregisterIterator(KvStoreCursorOwner* owner);
  // Held shared by every use of the environment's handles (a write scope for
  // its whole length); taken exclusively to close them before a reopening.
  std::shared_mutex& UseMutex() { return useMutex_; }

  // True after the environment reported that it needs recovery: the next
  // Acquire opens it afresh.
  bool Dead() const { return dead_; }
  // Looks at a library result: marks the environment dead on a panic.
  void Check(int result);
  __db_env* Handle() const { return env_; }
  // Closes every handle (with a final sync and checkpoint when this process
  // wrote); later use fails cleanly. Run at exit for what is still open.
  void Shutdown();
  const std::string& Directory() const { return directory_; }

 private:
  friend class KvStoreWriteScope;
  explicit KvStoreEnv(std::string directory);
  bool OpenEnvironment(bool create);
  void TidyTables(bool newEnvironment);
  bool CheckedOrStamped(__db* db, const std::string& name, const std::string& path, int* result);
  int Begin(bool* outermost);
  int End(bool commit);
  void AfterOutermost(bool committed);
  void GroupSync();
  void CloseAll();

  std::string directory_;
  std::string home_;
  __db_env* env_ = nullptr;
  pid_t owner_ = 0;
  std::atomic<bool> dead_{false};
  bool wrote_ = false;
  bool checkpointed_ = false;  // by this process since its open, before its first change
  std::shared_mutex useMutex_;
  std::mutex iteratorsMutex_;
  std::vector<KvStoreCursorOwner*> iterators_;
  std::mutex tablesMutex_;
  std::vector<std::shared_ptr<KvStoreTable>> tables_;
  std::vector<std::weak_ptr<KvStoreTable>> everOpened_;
  // Writer lock: one thread of one process at a time.
  std::mutex writerMutex_;
  int lockFd_ = -1;
  // Group sync of the log.
  std::mutex syncMutex_;
  unsigned commitsSinceSync_ = 0;
  int64_t lastSync_ = 0;
  unsigned groupCommits_ = 256;
  int64_t groupMillis_ = 1000;
};

// A write scope: a transaction (a child one inside another scope of this
// thread). Inert when the connection has no environment; not Ok when its
// environment could not be opened. Commit() makes it count; a scope left
// without Commit rolls back.
class KvStoreWriteScope {
 public:
  explicit KvStoreWriteScope(const KvConnectClass* connection);
  explicit KvStoreWriteScope(const std::shared_ptr<KvStoreEnv>& env);
  ~KvStoreWriteScope();
  KvStoreWriteScope(const KvStoreWriteScope&) = delete;
  KvStoreWriteScope& operator=(const KvStoreWriteScope&) = delete;

  // False when the transaction could not be started (error recorded).
  bool Ok() const { return ok_; }
  // 0 committed (or nothing to commit), -1 rolled back because the scope or
  // the library failed (error recorded).
  int Commit();
  // Commits when result is 0, else rolls back; result, or -1 when a commit
  // with result 0 failed.
  int Finish(int result);

 private:
  void Start();
  std::shared_ptr<KvStoreEnv> env_;
  bool active_ = false;
  bool ok_ = true;
};

// The environment of a dbm connection (null for other connections and for a
// directory read without one). With failed, *failed says whether null means
// that the environment could not be opened (error recorded).
std::shared_ptr<KvStoreEnv> KvStoreEnvOf(const KvConnectClass* connection, bool* failed = nullptr);

// Text of the library's last message in this thread (for error records).
std::string KvStoreLastMessage();
void KvStoreKeepMessage(const char* message);
void KvStoreClearMessage();
