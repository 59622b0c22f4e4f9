// kivo index: walk, plan, compute on worker threads, write in groups.
//
// The writer takes the workers' results in plan order, whatever order they
// finish in, so a catalog's bytes do not depend on the number of workers.
#include "KivoIndex.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <condition_variable>
#include <exception>
#include <new>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "KivoFeatures.h"
#include "KivoKey.h"
#include "KivoPhoto.h"
#include "KivoProgress.h"
#include "KivoStore.h"
#include "KivoWorkers.h"
#include "KvFactory.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"

namespace kivo {
namespace {

// A file found for indexing.
struct Candidate {
  std::string key;
  std::string relative;
  std::string path;
  bool named = false;  // given by name (not found by walking a folder)
  dev_t device = 0;
  ino_t inode = 0;
  FileState seen;  // size and time when found
};

struct Task {
  size_t candidate;
  const FileState* old;  // null for a new file
};

struct Result {
  enum Kind { kComputed, kTouched, kNotImage, kFailed };
  Kind kind = kFailed;
  FileState state;
  std::vector<std::pair<std::string, std::string>> records;
  std::string reason;
};

int64_t MtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// The real absolute path of an existing file or folder; false (reason set)
// when it does not exist.
bool RealPath(const std::string& path, std::string* out, std::string* reason) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) {
    *reason = std::strerror(errno);
    return false;
  }
  *out = real;
  std::free(real);
  return true;
}

// Hash, size and time of a file's content as read now, through the
// caller's buffer.
bool HashFile(const std::string& path, std::vector<unsigned char>& buffer, FileState* state, std::string* reason) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *reason = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  struct stat st {};
  XXH3_state_t* h = XXH3_createState();
  bool ok = h != nullptr && fstat(fd, &st) == 0 && XXH3_128bits_reset(h) == XXH_OK;
  while (ok) {
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = XXH3_128bits_update(h, buffer.data(), static_cast<size_t>(n)) == XXH_OK;
  }
  if (!ok) *reason = std::string("cannot read: ") + std::strerror(errno);
  if (ok) {
    const XXH128_hash_t digest = XXH3_128bits_digest(h);
    state->size = static_cast<uint64_t>(st.st_size);
    state->mtimeNs = MtimeNs(st);
    state->hashHigh = digest.high64;
    state->hashLow = digest.low64;
  }
  XXH3_freeState(h);
  close(fd);
  return ok;
}

// Collects the files below (and including) the given paths.
class Collector {
 public:
  Collector(std::string root, IndexSummary* summary) : root_(std::move(root)), summary_(summary) {}

  void Add(const std::string& given, bool named) {
    std::string real, reason;
    if (!RealPath(given, &real, &reason)) {
      Fail(given, reason);
      return;
    }
    std::string relative;
    if (!RelativeTo(root_, real, &relative)) {
      Fail(given, "outside the catalog root " + root_);
      return;
    }
    struct stat st {};
    if (stat(real.c_str(), &st) != 0) {
      Fail(given, std::strerror(errno));
      return;
    }
    if (S_ISDIR(st.st_mode)) {
      scopes_.push_back(relative);
      Walk(real, relative);
    } else if (S_ISREG(st.st_mode)) {
      Take(real, relative, st, named);
    } else {
      Fail(given, "not a regular file or folder");
    }
  }

  std::vector<Candidate>& candidates() { return candidates_; }
  const std::vector<std::string>& scopes() const { return scopes_; }

 private:
  void Fail(const std::string& path, const std::string& reason) {
    ++summary_->failed;
    summary_->failures.emplace_back(path, reason);
  }

  void Walk(const std::string& dir, const std::string& relative) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
      Fail(dir, std::string("cannot read folder: ") + std::strerror(errno));
      return;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string path = dir == "/" ? "/" + name : dir + "/" + name;
      const std::string rel = relative.empty() ? name : relative + "/" + name;
      struct stat st {};
      // Symbolic links are not followed inside a tree: a link would give one
      // file a second key, and links to folders can loop.
      if (lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        Walk(path, rel);
      } else if (S_ISREG(st.st_mode)) {
        Take(path, rel, st, false);
      }
    }
  }

  void Take(const std::string& path, const std::string& relative, const struct stat& st, bool named) {
    // One file is one key: a second name for a file already taken (a hard
    // link, the same path given twice) is left out.
    if (!seenFiles_.insert({st.st_dev, st.st_ino}).second) return;
    Candidate c;
    c.relative = relative;
    c.key = EncodeKey(relative);
    c.path = path;
    c.named = named;
    c.device = st.st_dev;
    c.inode = st.st_ino;
    c.seen.size = static_cast<uint64_t>(st.st_size);
    c.seen.mtimeNs = MtimeNs(st);
    candidates_.push_back(std::move(c));
  }

  std::string root_;
  IndexSummary* summary_;
  std::vector<Candidate> candidates_;
  std::vector<std::string> scopes_;
  std::set<std::pair<dev_t, ino_t>> seenFiles_;
};

bool InScope(const std::string& relative, const std::vector<std::string>& scopes) {
  for (const std::string& scope : scopes) {
    if (scope.empty()) return true;
    if (relative.size() > scope.size() && relative.compare(0, scope.size(), scope) == 0 &&
        relative[scope.size()] == '/') {
      return true;
    }
  }
  return false;
}

std::vector<std::string> FolderNames(const std::string& relative) {
  std::vector<std::string> names;
  size_t i = 0;
  for (size_t j = relative.find('/'); j != std::string::npos; j = relative.find('/', i)) {
    names.push_back(relative.substr(i, j - i));
    i = j + 1;
  }
  return names;
}

// What one worker thread owns: its feature objects, its image object and
// the buffer files are hashed through.
struct Worker {
  std::vector<FeatureInstance> features;
  KvGenericImageDataClass data;
  Photo photo;
  std::vector<unsigned char> hashBuffer = std::vector<unsigned char>(1 << 20);
};

void Compute(Worker& w, const Candidate& c, const FileState* old, const IndexOptions& options, Result* r) {
  if (!HashFile(c.path, w.hashBuffer, &r->state, &r->reason)) {
    r->kind = Result::kFailed;
    return;
  }
  if (old != nullptr && old->hashHigh == r->state.hashHigh && old->hashLow == r->state.hashLow &&
      old->size == r->state.size) {
    r->kind = Result::kTouched;
    return;
  }
  PhotoOptions po;
  po.orient = options.orient;
  if (options.folderKeywords) po.extraKeywords = FolderNames(c.relative);
  bool notImage = false;
  if (!LoadPhoto(c.path, po, &w.photo, &r->reason, &notImage)) {
    r->kind = notImage ? Result::kNotImage : Result::kFailed;
    return;
  }
  if (AttachPhoto(w.photo, &w.data) != 0) {
    r->kind = Result::kFailed;
    r->reason = "cannot hold the image: " + LibraryError();
    return;
  }
  for (FeatureInstance& f : w.features) {
    // Without keywords the keyword feature has nothing to store.
    if (w.photo.keywords.empty() && f.name == "KvTextFeatureClass") continue;
    KvDatumClass bytes;
    if (f.feature->ComputeFeature(&w.data, f.parameters.get()) != 0 || f.feature->ToByteString(bytes) != 0) {
      r->kind = Result::kFailed;
      r->reason = f.name + " failed: " + LibraryError();
      r->records.clear();
      return;
    }
    r->records.emplace_back(f.name, std::string(reinterpret_cast<const char*>(bytes.Data()), bytes.Size()));
  }
  r->kind = Result::kComputed;
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : " ") + n;
  return s;
}

}  // namespace

const std::vector<std::string>& DefaultFeatures() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out = PresetClasses(kDefaultPreset);
    out.push_back("KvTextFeatureClass");
    return out;
  }();
  return names;
}

bool GivenPaths(const IndexOptions& options, std::ostream& err, std::vector<std::string>* given) {
  *given = options.paths;
  if (options.from0.empty()) return true;
  std::string list;
  if (options.from0 == "-") {
    list.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    FILE* f = std::fopen(options.from0.c_str(), "rb");
    if (f == nullptr) {
      err << "kivo index: cannot read " << options.from0 << ": " << std::strerror(errno) << '\n';
      return false;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) list.append(buffer, n);
    std::fclose(f);
  }
  size_t i = 0;
  while (i < list.size()) {
    size_t j = list.find('\0', i);
    if (j == std::string::npos) j = list.size();
    if (j > i) given->push_back(list.substr(i, j - i));
    i = j + 1;
  }
  return true;
}

int RunIndex(const IndexOptions& options, std::ostream& out, std::ostream& err, IndexSummary* summary) {
  *summary = IndexSummary();
  IndexTarget target;
  target.stores.push_back(std::make_unique<CatalogStore>());
  target.route = [](const std::string&) { return 0; };
  CatalogStore& store = *target.stores.front();
  std::string error;
  // Options are checked before the catalog is made.
  for (const std::string& text : options.features) {
    std::vector<FeatureSpec> checked;
    if (!ExpandFeatureSpec(text, &checked, &error)) {
      err << "kivo index: " << error << '\n';
      return 2;
    }
  }
  std::vector<std::string> given;
  if (!GivenPaths(options, err, &given)) return 2;
  if (given.empty()) {
    err << "kivo index: no files or folders to index\n";
    return 2;
  }
  if (!store.Open(options.database, options.catalog, true, &error) || !store.Lock(&error)) {
    err << "kivo index: " << error << '\n';
    return 1;
  }
  const int rc = RunIndexOn(options, given, target, err, summary, &error);
  return ReportIndex(options, rc, *summary, error, out, err);
}

int RunIndexOn(const IndexOptions& options, const std::vector<std::string>& given, IndexTarget& target,
               std::ostream& err, IndexSummary* summary, std::string* fatal) {
  *summary = IndexSummary();
  std::string& error = *fatal;
  std::vector<FeatureSpec> named;
  for (const std::string& text : options.features) {
    if (!ExpandFeatureSpec(text, &named, &error)) {
      err << "kivo index: " << error << '\n';
      error.clear();
      return 2;
    }
  }

  std::vector<std::unique_ptr<CatalogStore>>& stores = target.stores;
  for (auto& s : stores) {
    bool repaired = false;
    if (!s->Repair(&repaired, &error)) return 1;
    if (repaired && !options.quiet) err << "kivo index: finished the writes of an interrupted run\n";
  }

  // The catalog root: recorded by the first run, kept by every later one.
  std::string root;
  const std::string cwd = CurrentDirectory();
  bool recorded = false;
  for (size_t i = 0; i < stores.size() && !recorded; ++i) recorded = stores[i]->GetMeta("root", &root);
  if (recorded) {
    std::string wanted;
    if (!options.root.empty() && (!RealPath(options.root, &wanted, &error) || wanted != root)) {
      err << "kivo index: the catalog root is " << root << "; --root " << options.root << " differs\n";
      error.clear();
      return 2;
    }
  } else {
    if (!options.root.empty()) {
      if (!RealPath(options.root, &root, &error)) {
        err << "kivo index: root " << options.root << ": " << error << '\n';
        error.clear();
        return 2;
      }
    } else {
      std::vector<std::string> dirs;
      for (const std::string& g : given) {
        std::string real, reason;
        if (!RealPath(g, &real, &reason)) continue;
        struct stat st {};
        if (stat(real.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) real = NormalisePath(real + "/..", "/");
        dirs.push_back(real);
      }
      root = dirs.empty() ? NormalisePath(cwd, "/") : CommonDirectory(dirs.data(), dirs.size());
    }
  }
  // Every catalog of the target records the root (a shard written for the
  // first time takes the one its siblings have).
  for (auto& s : stores) {
    std::string own;
    if (!s->GetMeta("root", &own) && !s->PutMeta("root", root, &error)) return 1;
  }

  // Feature classes: a new catalog gets the named ones or the defaults;
  // named classes missing from an existing catalog are added. The shards of
  // one catalog have the same classes: those of any of them are added to the
  // others.
  std::vector<std::vector<std::string>> held(stores.size());
  std::vector<std::string> classes;
  for (size_t i = 0; i < stores.size(); ++i) {
    if (!stores[i]->FeatureClasses(&held[i], &error)) return 1;
    for (const std::string& name : held[i]) {
      if (std::find(classes.begin(), classes.end(), name) == classes.end()) classes.push_back(name);
    }
  }
  std::vector<std::string> wanted;
  for (const FeatureSpec& s : named) wanted.push_back(s.name);
  if (classes.empty() && wanted.empty()) wanted = DefaultFeatures();
  for (const std::string& name : wanted) {
    if (std::find(classes.begin(), classes.end(), name) == classes.end()) classes.push_back(name);
  }
  for (size_t i = 0; i < stores.size(); ++i) {
    for (const std::string& name : classes) {
      if (std::find(held[i].begin(), held[i].end(), name) != held[i].end()) continue;
      if (!stores[i]->AddFeatureClass(name, &error)) return 1;
    }
  }
  std::sort(classes.begin(), classes.end());
  std::vector<FeatureSpec> computed;
  for (const std::string& name : classes) {
    FeatureSpec chosen{name, ""};
    for (const FeatureSpec& s : named) {
      if (s.name == name) chosen = s;
    }
    FeatureInstance probe;
    if (!MakeFeatureInstance(chosen, &probe, &error)) return 1;
    // Sub-part classes describe masked regions, which kivo does not make.
    if (probe.feature->IsSubPartFeature() == True) continue;
    computed.push_back(chosen);
  }
  std::vector<std::string> computedNames;
  for (const FeatureSpec& s : computed) computedNames.push_back(s.name);

  std::map<std::string, FileState> states;
  bool recomputeAll = false;
  for (auto& s : stores) {
    std::map<std::string, FileState> own;
    if (!s->LoadFileStates(&own, &error)) return 1;
    std::string recordedClasses;
    s->GetMeta("classes", &recordedClasses);
    recomputeAll = recomputeAll || (!own.empty() && recordedClasses != JoinNames(computedNames));
    states.insert(own.begin(), own.end());
  }

  Collector collector(root, summary);
  for (const std::string& g : given) collector.Add(g, true);
  std::vector<Candidate>& candidates = collector.candidates();

  // Plan.
  std::set<std::string> present;
  std::vector<Task> tasks;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const Candidate& c = candidates[i];
    if (target.route(c.key) < 0 || !present.insert(c.key).second) continue;
    auto it = states.find(c.key);
    const FileState* old = it == states.end() ? nullptr : &it->second;
    if (old != nullptr && !recomputeAll && old->size == c.seen.size && old->mtimeNs == c.seen.mtimeNs) {
      ++summary->skipped;
      continue;
    }
    tasks.push_back(Task{i, old});
  }
  std::vector<Change> group;
  if (!options.keepMissing) {
    for (const auto& entry : states) {
      std::string relative;
      if (present.count(entry.first) != 0 || !DecodeKey(entry.first, &relative)) continue;
      if (!InScope(relative, collector.scopes())) continue;
      Change c;
      c.kind = Change::kRemove;
      c.key = entry.first;
      if (target.observe) target.observe(c, "0" + c.key);
      group.push_back(std::move(c));
      ++summary->removed;
    }
  }

  // Workers compute; this thread writes.
  const int jobs = WorkerCount(options.jobs, tasks.size());
  InitPhotoMetadata();
  std::vector<std::unique_ptr<Worker>> workers;
  for (int j = 0; j < jobs; ++j) {
    auto w = std::make_unique<Worker>();
    for (const FeatureSpec& s : computed) {
      FeatureInstance f;
      if (!MakeFeatureInstance(s, &f, &error)) return 1;
      w->features.push_back(std::move(f));
    }
    workers.push_back(std::move(w));
  }

  std::vector<Result> results(tasks.size());
  std::vector<char> ready(tasks.size(), 0);
  std::mutex mutex;
  std::condition_variable readyCv, windowCv;
  size_t nextTask = 0, written = 0;
  bool stop = false;
  const size_t window = static_cast<size_t>(std::max(options.groupImages, 1)) * 2 + static_cast<size_t>(jobs);
  auto work = [&](Worker* w) {
    for (;;) {
      size_t i;
      {
        std::unique_lock<std::mutex> lock(mutex);
        windowCv.wait(lock, [&] { return stop || nextTask >= tasks.size() || nextTask < written + window; });
        if (stop || nextTask >= tasks.size()) return;
        i = nextTask++;
      }
      Result r;
      try {
        Compute(*w, candidates[tasks[i].candidate], tasks[i].old, options, &r);
      } catch (const std::bad_alloc&) {
        // One image that cannot be held fails alone; the thread and the run
        // go on.
        r = Result();
        r.reason = "out of memory";
      } catch (const std::exception& e) {
        r = Result();
        r.reason = std::string("cannot be computed: ") + e.what();
      }
      {
        std::lock_guard<std::mutex> lock(mutex);
        results[i] = std::move(r);
        ready[i] = 1;
      }
      readyCv.notify_all();
    }
  };
  std::vector<std::thread> threads;
  for (auto& w : workers) threads.emplace_back(work, w.get());

  Progress progress(err, options.quiet ? Progress::kNone
                         : options.progress < 0 ? DefaultProgressStyle(2)
                         : options.progress == 0 ? Progress::kLines
                                                 : Progress::kBar,
                    "files");
  bool ok = true;
  auto groupStart = std::chrono::steady_clock::now();
  std::vector<std::vector<Change>> parts(stores.size());
  auto commit = [&]() {
    // Each catalog takes its own changes, in the group's order.
    for (Change& c : group) parts[static_cast<size_t>(target.route(c.key))].push_back(std::move(c));
    for (size_t s = 0; s < stores.size() && ok; ++s) {
      ok = stores[s]->Commit(parts[s], &error);
      parts[s].clear();
    }
    if (!ok) return;
    group.clear();
    groupStart = std::chrono::steady_clock::now();
  };
  for (size_t i = 0; i < tasks.size() && ok; ++i) {
    Result r;
    {
      std::unique_lock<std::mutex> lock(mutex);
      readyCv.wait(lock, [&] { return ready[i] != 0; });
      r = std::move(results[i]);
      written = i + 1;
    }
    windowCv.notify_all();
    const Candidate& c = candidates[tasks[i].candidate];
    const bool known = tasks[i].old != nullptr;
    Change change;
    change.key = c.key;
    change.state = r.state;
    // The order of this change among those of every process of the run.
    const auto observe = [&]() {
      char order[24];
      std::snprintf(order, sizeof order, "1%016zu", tasks[i].candidate);
      if (target.observe) target.observe(change, order);
    };
    switch (r.kind) {
      case Result::kComputed:
        change.kind = Change::kPut;
        change.records = std::move(r.records);
        ++(known ? summary->updated : summary->added);
        observe();
        group.push_back(std::move(change));
        break;
      case Result::kTouched:
        change.kind = Change::kStateOnly;
        ++summary->skipped;
        group.push_back(std::move(change));
        break;
      case Result::kNotImage:
        if (c.named) {
          ++summary->failed;
          summary->failures.emplace_back(c.path, r.reason);
        } else if (known) {
          // A file that is no longer an image leaves the catalog.
          change.kind = Change::kRemove;
          ++summary->removed;
          observe();
          group.push_back(std::move(change));
        }
        break;
      case Result::kFailed:
        ++summary->failed;
        summary->failures.emplace_back(c.path, r.reason);
        break;
    }
    progress.Update(i + 1, tasks.size());
    const double age = std::chrono::duration<double>(std::chrono::steady_clock::now() - groupStart).count();
    if (group.size() >= static_cast<size_t>(std::max(options.groupImages, 1)) || age >= options.groupSeconds) {
      commit();
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  windowCv.notify_all();
  for (std::thread& t : threads) t.join();
  progress.Finish();
  if (ok) commit();
  for (size_t s = 0; s < stores.size() && ok; ++s) {
    ok = stores[s]->PutMeta("classes", JoinNames(computedNames), &error) && stores[s]->MarkClean(&error);
  }
  return ok ? 0 : 1;
}

int ReportIndex(const IndexOptions& options, int status, const IndexSummary& summary, const std::string& fatal,
                std::ostream& out, std::ostream& err) {
  for (const auto& f : summary.failures) err << "kivo index: failed: " << f.first << ": " << f.second << '\n';
  if (status != 0) {
    if (!fatal.empty()) err << "kivo index: " << fatal << '\n';
    return status;
  }
  if (!options.quiet) {
    out << summary.added << " added, " << summary.updated << " updated, " << summary.removed << " removed, "
        << summary.skipped << " skipped, " << summary.failed << " failed\n";
  }
  return summary.failed > 0 ? 1 : 0;
}

}  // namespace kivo
