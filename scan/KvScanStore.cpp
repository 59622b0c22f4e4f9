// The scan view cache and the scan files beside the tables.
//
// Validation. A view is tied to the table state it was built from by a
// stamp. Until tables carry a change stamp of their own, the stamp is the
// table file's identity: device, inode, size and the modification and
// status-change times in nanoseconds. Every write of a table file updates its
// modification time, so a file written after the view was built no longer
// matches. File times advance in clock ticks, so a write in the same tick as
// the walk could keep the time: a view of a table modified less than a second
// before the walk began is used for that search but neither kept between
// searches nor written as a file.
// KvScanTableStamp is the one place that knows what a stamp is.
#include "scan/KvScanStore.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "scan/KvScanLayouts.h"
#include "scan/KvScanView.h"
#include "storage/KvConnect.h"

namespace {

constexpr int64_t kRacyNanoseconds = 1000000000;

struct Slot {
  std::mutex mutex;
  KvScanStamp stamp;
  std::shared_ptr<const KvScanView> view;
};

std::mutex gSlotsMutex;
std::map<std::string, std::shared_ptr<Slot>>* gSlots = new std::map<std::string, std::shared_ptr<Slot>>;

std::shared_ptr<Slot> SlotFor(const std::string& path) {
  std::lock_guard<std::mutex> lock(gSlotsMutex);
  std::shared_ptr<Slot>& slot = (*gSlots)[path];
  if (slot == nullptr) slot = std::make_shared<Slot>();
  return slot;
}

int64_t Nanoseconds(const struct timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

std::string TablePath(KvDatabaseClass* table) {
  const char* path = table != nullptr ? table->GetTableName() : nullptr;
  return path != nullptr ? std::string(path) : std::string();
}

void SplitPath(const std::string& path, std::string* directory, std::string* name) {
  const size_t slash = path.find_last_of('/');
  *directory = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// True when a view of a table with this stamp may be written now: the table
// was last modified at least a clock tick (taken as a second) before.
bool SettledFor(const KvScanStamp& stamp, int64_t walkStart) {
  if (stamp.kind != kKvScanStampFileIdentity) return true;
  const int64_t modified = static_cast<int64_t>(stamp.words[3]);
  const int64_t changed = static_cast<int64_t>(stamp.words[4]);
  return walkStart - modified >= kRacyNanoseconds && walkStart - changed >= kRacyNanoseconds;
}

int64_t Now() {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return Nanoseconds(t);
}

// Makes the scan directory of a database directory when the process may
// write there. False when it may not (nothing is created).
bool ScanDirectory(const std::string& database, std::string* out) {
  *out = database + "/" + kKvScanDirectory;
  struct stat st;
  if (::stat(out->c_str(), &st) == 0) return S_ISDIR(st.st_mode) && ::access(out->c_str(), W_OK) == 0;
  if (::access(database.c_str(), W_OK) != 0) return false;
  return ::mkdir(out->c_str(), 0700) == 0 || errno == EEXIST;
}

std::shared_ptr<const KvScanView> FromFile(const std::string& file, const KvScanStamp& stamp,
                                           const std::string& tableName, const KvScanLayout& layout) {
  std::string why;
  std::shared_ptr<KvScanView> view = KvScanView::Map(file, &why);
  if (view == nullptr) return nullptr;
  const KvScanHeader& h = view->Header();
  if (h.stamp != stamp || h.tableName != tableName || h.layout != layout.id) return nullptr;
  return view;
}

}  // namespace

bool KvScanFilesEnabled() {
  const char* text = Kvgetenv("KivoScanFiles");
  if (text == nullptr) return true;
  for (const char* off : {"off", "OFF", "Off", "0", "no", "false"}) {
    if (std::strcmp(text, off) == 0) return false;
  }
  return true;
}

int KvScanThreads() {
  const char* text = Kvgetenv("KivoScanThreads");
  if (text != nullptr && text[0] != '\0') {
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && n > 0) return n > 256 ? 256 : static_cast<int>(n);
  }
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

bool KvScanTableStamp(KvDatabaseClass* table, KvScanStamp* stamp) {
  const std::string path = TablePath(table);
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *stamp = KvScanStamp();
  stamp->kind = kKvScanStampFileIdentity;
  stamp->words[0] = static_cast<uint64_t>(st.st_dev);
  stamp->words[1] = static_cast<uint64_t>(st.st_ino);
  stamp->words[2] = static_cast<uint64_t>(st.st_size);
  stamp->words[3] = static_cast<uint64_t>(Nanoseconds(st.st_mtim));
  stamp->words[4] = static_cast<uint64_t>(Nanoseconds(st.st_ctim));
  return true;
}

std::string KvScanFilePath(KvDatabaseClass* table) {
  std::string directory, name;
  SplitPath(TablePath(table), &directory, &name);
  return directory + "/" + kKvScanDirectory + "/" + name;
}

namespace {

// The body of Acquire and Refresh; slot is locked by the caller.
std::shared_ptr<const KvScanView> Current(Slot& slot, KvDatabaseClass* table, const KvScanLayout& layout,
                                          bool mustWrite, KvScanSource* source) {
  *source = KvScanSource::kNone;
  KvScanStamp stamp;
  if (!KvScanTableStamp(table, &stamp)) return nullptr;
  if (slot.view != nullptr && slot.stamp == stamp && (!mustWrite || slot.view->Mapped())) {
    *source = KvScanSource::kCache;
    return slot.view;
  }
  std::string directory, name;
  SplitPath(TablePath(table), &directory, &name);
  const std::string file = directory + "/" + kKvScanDirectory + "/" + name;
  std::shared_ptr<const KvScanView> view = FromFile(file, stamp, name, layout);
  if (view != nullptr) {
    *source = KvScanSource::kFile;
  } else {
    const int64_t walkStart = Now();
    std::shared_ptr<KvScanView> built = KvScanView::Build(table, layout);
    if (built == nullptr) return nullptr;
    KvScanStamp after;
    // A table written during the walk keeps its new stamp: the view serves
    // this search (it is what a walk of the table gave) but is not kept.
    if (!KvScanTableStamp(table, &after) || after != stamp) {
      *source = KvScanSource::kBuilt;
      return built;
    }
    view = built;
    *source = KvScanSource::kBuilt;
    // Neither kept nor written while a later write could keep the stamp.
    if (!SettledFor(stamp, walkStart)) return view;
    std::string scanDirectory;
    if (ScanDirectory(directory, &scanDirectory) &&
        built->Write(file, stamp, name)) {
      // Searches read the shared mapping rather than this process's copy.
      std::shared_ptr<const KvScanView> mapped = FromFile(file, stamp, name, layout);
      if (mapped != nullptr) view = mapped;
      *source = KvScanSource::kBuiltAndWritten;
    }
  }
  slot.stamp = stamp;
  slot.view = view;
  return view;
}

}  // namespace

std::shared_ptr<const KvScanView> KvScanAcquire(KvDatabaseClass* table, const char* featureClass,
                                               KvScanSource* source) {
  KvScanSource ignored;
  if (source == nullptr) source = &ignored;
  *source = KvScanSource::kNone;
  const KvScanLayout* layout = KvScanLayoutForClass(featureClass);
  if (layout == nullptr || !KvScanFilesEnabled()) return nullptr;
  const std::string path = TablePath(table);
  if (path.empty()) return nullptr;
  try {
    std::shared_ptr<Slot> slot = SlotFor(path);
    std::lock_guard<std::mutex> lock(slot->mutex);
    return Current(*slot, table, *layout, false, source);
  } catch (const std::bad_alloc&) {
    return nullptr;  // the table walk serves the search
  }
}

int KvScanRefresh(KvDatabaseClass* table, const char* featureClass, KvScanSource* source) {
  const KvScanLayout* layout = KvScanLayoutForClass(featureClass);
  const std::string path = TablePath(table);
  if (layout == nullptr || path.empty()) {
    KvError(KERR_General, KERR_NonFatal, "KvScanRefresh: the feature class has no scan layout");
    return -1;
  }
  try {
    std::shared_ptr<Slot> slot = SlotFor(path);
    std::lock_guard<std::mutex> lock(slot->mutex);
    // A table written in the last clock tick cannot be stamped safely yet:
    // wait it out (at most a second) rather than leave no file.
    KvScanStamp stamp;
    if (KvScanTableStamp(table, &stamp) && !SettledFor(stamp, Now())) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    }
    std::shared_ptr<const KvScanView> view = Current(*slot, table, *layout, true, source);
    if (view == nullptr || !view->Mapped()) {
      const std::string text = "KvScanRefresh: cannot write the scan file of " + path;
      KvError(KERR_General, KERR_NonFatal, text.c_str());
      return -1;
    }
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "KvScanRefresh");
    return -1;
  }
  return 0;
}

int KvScanVerify(KvDatabaseClass* table, const char* featureClass) {
  const KvScanLayout* layout = KvScanLayoutForClass(featureClass);
  if (layout == nullptr) {
    KvError(KERR_General, KERR_NonFatal, "KvScanVerify: the feature class has no scan layout");
    return -1;
  }
  const std::string file = KvScanFilePath(table);
  std::string why;
  std::shared_ptr<KvScanView> view = KvScanView::Map(file, &why);
  auto fail = [&file](const std::string& reason) {
    const std::string text = "KvScanVerify: " + file + ": " + reason;
    KvError(KERR_General, KERR_NonFatal, text.c_str());
    return -1;
  };
  if (view == nullptr) return why == "missing" ? 1 : fail(why);
  const KvScanHeader& h = view->Header();
  KvScanStamp stamp;
  std::string directory, name;
  SplitPath(TablePath(table), &directory, &name);
  if (!KvScanTableStamp(table, &stamp) || h.stamp != stamp || h.tableName != name) return fail("stale");
  if (h.layout != layout->id) return fail("another record layout");
  const unsigned char* body = view->Slots();
  if (KvScanChecksum(body, h.fileSize - kKvScanHeaderSize) != h.bodyChecksum) return fail("body checksum");
  return 0;
}

void KvScanForgetAll() {
  std::lock_guard<std::mutex> lock(gSlotsMutex);
  gSlots->clear();
}
