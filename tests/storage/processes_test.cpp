// The real KvMkDbs, KvQBE and KvDumpDb on real photographs and a real catalog
// on disk: builds killed with SIGKILL at many points, two builds into one
// catalog at once, queries while a build adds and removes images, and damaged
// tables. After each, every table opens,
// the counters equal the tables' records, every image is whole, and a re-run
// gives what an uninterrupted build gives.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KvTestUtil.h"

namespace {

const char* const kPhotos = "/work/shared/data/wang1k/beach";
const char* const kFeatures[] = {"KvColorFeatureClass", "KvColorHistogramFeatureClass", "KvTextureFeatureClass"};

std::string Program(const char* name) {
  const char* bin = std::getenv("KIVO_BIN");
  return std::string(bin != nullptr ? bin : ".") + "/" + name;
}

// A started program: its standard output and error go to file out.
struct Child {
  pid_t pid = -1;
  std::string out;
};

Child Start(const std::vector<std::string>& args, const std::string& out) {
  Child child;
  child.out = out;
  child.pid = ::fork();
  if (child.pid == 0) {
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return child;
}

// The exit status, or kSignalled + the signal that ended it.
constexpr int kSignalled = 1000;

int Wait(const Child& child) {
  int status = 0;
  if (::waitpid(child.pid, &status, 0) != child.pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : kSignalled + WTERMSIG(status);
}

int RunProgram(const std::vector<std::string>& args, const std::string& out) {
  return Wait(Start(args, out));
}

bool Ended(const Child& child) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

// Report lines ("<n> ...") the program has written so far.
size_t Reports(const Child& child) {
  std::istringstream lines(kvtest::ReadFile(child.out));
  size_t count = 0;
  for (std::string line; std::getline(lines, line);) count += line.rfind("<", 0) == 0 ? 1 : 0;
  return count;
}

// Kills the program once it has reported lines specs (each reported spec is
// committed) and a further pause, so that the kill lands inside a later
// change; earlier when it ends first. Its status.
int KillAfterReports(const Child& child, size_t lines, std::chrono::microseconds pause) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Reports(child) < lines && !Ended(child) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  std::this_thread::sleep_for(pause);
  ::kill(child.pid, SIGKILL);
  return Wait(child);
}

// One argument for /bin/sh -c.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string> Photos(size_t count) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(kPhotos);
  if (dir == nullptr) return names;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".jpg") == 0) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  if (names.size() > count) names.resize(count);
  return names;
}

// A file system of a set size of the test's own, a tmpfs at path (mounting
// needs root: mounted() tells), unmounted when the object goes.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& path, const char* size) : path_(path) {
    ::mkdir(path.c_str(), 0700);
    mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) (void)::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  bool Resize(const char* size) {
    return ::mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT, (std::string("size=") + size).c_str()) == 0;
  }
  // Writes file until the file system is full.
  void Fill(const std::string& file) const {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string block(1 << 16, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }

 private:
  std::string path_;
  bool mounted_ = false;
};

class Processes : public ::testing::Test {
 protected:
  void SetUp() override {
    photos_ = Photos(24);
    if (photos_.size() < 24) GTEST_SKIP() << "no photographs in " << kPhotos;
  }

  std::vector<std::string> Build(const std::string& db, const std::vector<std::string>& images,
                                 const char* mode = nullptr) const {
    std::vector<std::string> args = {Program("KvMkDbs"), "-d", db, "-c", "cat", "-e",
                                     std::string("KivoImagePath=") + kPhotos};
    if (mode != nullptr) args.emplace_back(mode);
    for (const char* f : kFeatures) {
      args.emplace_back("-f");
      args.emplace_back(f);
    }
    args.insert(args.end(), images.begin(), images.end());
    return args;
  }

  // Output of KvDumpDb with args on db (status checked).
  std::string Dump(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {Program("KvDumpDb")};
    all.insert(all.end(), args.begin(), args.end());
    const std::string out = dir_.File("dump.out");
    EXPECT_EQ(RunProgram(all, out), 0) << kvtest::ReadFile(out);
    return kvtest::ReadFile(out);
  }

  // The keys of a raw table dump ("Key[n]: text" lines).
  std::set<std::string> Keys(const std::string& db, const std::string& table) const {
    std::set<std::string> keys;
    std::istringstream lines(Dump({"-d", db, table}));
    for (std::string line; std::getline(lines, line);) {
      const size_t colon = line.find("]: ");
      if (line.rfind("Key[", 0) == 0 && colon != std::string::npos) keys.insert(line.substr(colon + 3));
    }
    return keys;
  }

  // Counter 1 of every class in the feature index.
  std::map<std::string, unsigned long> Counters(const std::string& db) const {
    std::map<std::string, unsigned long> counters;
    std::istringstream lines(Dump({"-d", db, "FeatIdx.cat"}));
    std::string key;
    for (std::string line; std::getline(lines, line);) {
      const size_t colon = line.find("]: ");
      if (colon == std::string::npos) continue;
      if (line.rfind("Key[", 0) == 0) key = line.substr(colon + 3);
      if (line.rfind("Data[", 0) == 0) counters[key] = std::stoul(line.substr(colon + 3, 10));
    }
    return counters;
  }

  // Every class's counter equals its table's records, and every image has a
  // record in every table. The number of images stored.
  size_t CheckWhole(const std::string& db) const {
    // The first program after a kill recovers the directory: a catalog whose
    // creation was not committed is gone after it.
    (void)RunProgram({Program("KvDumpDb"), "-d", db, "FeatIdx.cat"}, dir_.File("recover.out"));
    struct stat st;
    if (::stat((db + "/FeatIdx.cat").c_str(), &st) != 0 || st.st_size == 0) return 0;  // killed before the catalog was made
    const auto counters = Counters(db);
    if (counters.empty()) return 0;  // killed before the catalog had its classes
    EXPECT_EQ(counters.size(), 3u);
    std::set<std::string> first;
    bool have = false;
    for (const auto& [feature, counter] : counters) {
      const std::string stem = feature.substr(2, 7);
      const std::set<std::string> keys = Keys(db, stem + "F.cat");
      EXPECT_EQ(counter, keys.size()) << feature;
      if (have) {
        EXPECT_EQ(keys, first) << feature;
      }
      first = keys;
      have = true;
    }
    return first.size();
  }

  // Dumps that must be equal for equal catalogs: the index and each table.
  std::string Contents(const std::string& db) const {
    std::string all = Dump({"-d", db, "FeatIdx.cat"});
    for (const char* f : kFeatures) all += Dump({"-d", db, "-c", "cat", "-f", f});
    return all;
  }

  std::string Reference() {
    const std::string db = dir_.File("clean");
    if (!reference_.empty()) return reference_;
    EXPECT_EQ(RunProgram(Build(db, photos_), dir_.File("clean.out")), 0) << kvtest::ReadFile(dir_.File("clean.out"));
    reference_ = Contents(db);
    return reference_;
  }

  kvtest::TempDir dir_{"processes"};
  std::vector<std::string> photos_;
  std::string reference_;
};

// Regressions: a kill right after the catalog's feature index was made left
// it without its classes, and the open that recovered from a kill could leave
// a log that the next recovery failed on, so that no program opened the
// directory again.
TEST_F(Processes, KilledBuildsLeaveWholeImagesAndResumeToTheSameCatalog) {
  const std::string reference = Reference();
  const std::string db = dir_.File("killed");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunProgram(Build(dir_.File("timing"), photos_), dir_.File("timing.out")), 0);
  const auto full = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  // The first kills land while the environment is opened and the catalog
  // made (at 2%, 5% and 10% of an uninterrupted build's time); the others
  // after one more image has been stored, in the middle of the next. Each
  // resumes what the ones before left.
  size_t killedPartWay = 0;
  size_t partial = 0;
  size_t stored = 0;
  const int early[] = {2, 5, 10};
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Child child = Start(Build(db, photos_, "-i"), dir_.File("killed.out"));
    int status;
    if (round < 3) {
      std::this_thread::sleep_for(full * early[round] / 100);
      ::kill(child.pid, SIGKILL);
      status = Wait(child);
    } else {
      status = KillAfterReports(child, stored + 1, std::chrono::microseconds(700 * (round - 3)));
    }
    if (status == kSignalled + SIGKILL) ++killedPartWay;
    const size_t now = CheckWhole(db);
    EXPECT_GE(now, stored);
    stored = now;
    if (stored > 0 && stored < photos_.size()) ++partial;
  }
  EXPECT_GE(killedPartWay, 4u);
  EXPECT_GT(partial, 0u);
  ASSERT_EQ(RunProgram(Build(db, photos_, "-i"), dir_.File("resume.out")), 0) << kvtest::ReadFile(dir_.File("resume.out"));
  EXPECT_EQ(CheckWhole(db), photos_.size());
  EXPECT_EQ(Contents(db), reference);
}

// Removals killed part-way: after each kill the counters equal the records
// (no count taken off for a record that stayed), and a complete run gives
// what an uninterrupted removal gives.
TEST_F(Processes, KilledRemovalsLeaveNoPhantomCounts) {
  const std::vector<std::string> removed(photos_.begin() + 8, photos_.end());
  const std::string clean = dir_.File("removedclean");
  ASSERT_EQ(RunProgram(Build(clean, photos_), dir_.File("clean.out")), 0);
  ASSERT_EQ(RunProgram(Build(clean, removed, "-r"), dir_.File("clean.out")), 0) << kvtest::ReadFile(dir_.File("clean.out"));
  const std::string reference = Contents(clean);
  const std::string db = dir_.File("removing");
  ASSERT_EQ(RunProgram(Build(db, photos_), dir_.File("full.out")), 0);
  const size_t kept = photos_.size() - removed.size();
  size_t stored = photos_.size();
  size_t killedPartWay = 0;
  size_t partial = 0;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Child child = Start(Build(db, removed, "-r"), dir_.File("removal.out"));
    // The first kill lands while the directory is opened. Later, names
    // already taken out report "not found" first; one more removal is
    // committed before the kill lands in the next.
    const size_t done = photos_.size() - stored;
    const int status = KillAfterReports(child, round == 0 ? 0 : done + 1, std::chrono::microseconds(0));
    if (status == kSignalled + SIGKILL) ++killedPartWay;
    const size_t now = CheckWhole(db);
    EXPECT_LE(now, stored);
    EXPECT_GE(now, kept);
    stored = now;
    if (stored > kept && stored < photos_.size()) ++partial;
  }
  EXPECT_GE(killedPartWay, 3u);
  EXPECT_GT(partial, 0u);
  // The complete run: the names still there go, the others are reported as
  // not found (and the run as failed).
  const std::string out = dir_.File("rerun.out");
  const int status = RunProgram(Build(db, removed, "-r"), out);
  EXPECT_GT(status, 0) << kvtest::ReadFile(out);
  EXPECT_LT(status, kSignalled) << kvtest::ReadFile(out);
  std::istringstream lines(kvtest::ReadFile(out));
  size_t reports = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("<", 0) != 0) continue;
    ++reports;
    EXPECT_TRUE(line.find(" successful") != std::string::npos || line.find("not found") != std::string::npos) << line;
  }
  EXPECT_EQ(reports, removed.size());
  EXPECT_EQ(CheckWhole(db), photos_.size() - removed.size());
  EXPECT_EQ(Contents(db), reference);
}

// Under a file-size limit far below what the storage environment's files
// need, a build fails with an error (not the signal), changes nothing and
// leaves no half-made region files; a run without the limit resumes to the
// catalog of an uninterrupted build. Into a new directory and into a
// catalog that holds some of the images.
TEST_F(Processes, BuildsPastTheFileSizeLimitFailCleanlyAndResume) {
  const std::string reference = Reference();
  for (const size_t before : {size_t{0}, size_t{8}}) {
    SCOPED_TRACE(std::to_string(before) + " images before");
    const std::string db = dir_.File("limited" + std::to_string(before));
    if (before > 0) {
      const std::vector<std::string> first(photos_.begin(), photos_.begin() + static_cast<long>(before));
      ASSERT_EQ(RunProgram(Build(db, first), dir_.File("first.out")), 0);
    }
    std::string command = "ulimit -f 64 && exec";
    for (const std::string& arg : Build(db, photos_, "-i")) command += " " + Quoted(arg);
    const std::string out = dir_.File("limited.out");
    const int status = RunProgram({"/bin/sh", "-c", command}, out);
    EXPECT_GT(status, 0) << kvtest::ReadFile(out);
    EXPECT_LT(status, kSignalled) << kvtest::ReadFile(out);
    EXPECT_NE(kvtest::ReadFile(out).find("File too large"), std::string::npos) << kvtest::ReadFile(out);
    EXPECT_EQ(kvtest::ReadFile(out).find(" successful"), std::string::npos) << kvtest::ReadFile(out);
    for (const char* region : {"__db.001", "__db.002", "__db.003"}) {
      struct stat st;
      EXPECT_NE(::stat((db + "/.KvEnv/" + region).c_str(), &st), 0) << region;
    }
    EXPECT_EQ(CheckWhole(db), before);
    const std::string resumed = dir_.File("resumed.out");
    ASSERT_EQ(RunProgram(Build(db, photos_, "-i"), resumed), 0) << kvtest::ReadFile(resumed);
    EXPECT_EQ(CheckWhole(db), photos_.size());
    EXPECT_EQ(Contents(db), reference);
  }
}

// A database on a file system without room for the storage environment's
// region files: the build fails naming the database and what is missing
// (before, the first touch of a region page ended it with SIGBUS); with room,
// a re-run builds the catalog.
TEST_F(Processes, NoRoomForTheStorageEnvironmentIsAnError) {
  const std::string reference = Reference();
  SmallFileSystem fs(dir_.File("small"), "600k");
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (not root)";
  const std::string db = dir_.File("small") + "/db";
  const std::string out = dir_.File("small.out");
  const int status = RunProgram(Build(db, photos_), out);
  EXPECT_GT(status, 0) << kvtest::ReadFile(out);
  EXPECT_LT(status, kSignalled) << kvtest::ReadFile(out);
  EXPECT_NE(kvtest::ReadFile(out).find("no room for the storage environment of " + db), std::string::npos)
      << kvtest::ReadFile(out);
  ASSERT_TRUE(fs.Resize("160m"));
  ASSERT_EQ(RunProgram(Build(db, photos_, "-i"), out), 0) << kvtest::ReadFile(out);
  EXPECT_EQ(Contents(db), reference);
}

// The file system fills up while a build runs: the changes that no longer fit
// fail and roll back, the build ends with an error and no signal, the catalog
// stays whole, and once there is room again a re-run gives what a build with
// room gives.
TEST_F(Processes, AFileSystemFillingUpDuringABuildFailsItsChangesAndResumes) {
  const std::vector<std::string> photos = Photos(100);
  const std::string clean = dir_.File("roomy");
  ASSERT_EQ(RunProgram(Build(clean, photos), dir_.File("roomy.out")), 0) << kvtest::ReadFile(dir_.File("roomy.out"));
  const std::string reference = Contents(clean);
  SmallFileSystem fs(dir_.File("filling"), "100m");
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (not root)";
  const std::string db = dir_.File("filling") + "/db";
  const std::string filler = dir_.File("filling") + "/filler";
  Child child = Start(Build(db, photos), dir_.File("filling.out"));
  // Filled once the first images are stored, while the others are computed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Reports(child) < 3 && !Ended(child) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  fs.Fill(filler);
  const int status = Wait(child);
  const std::string report = kvtest::ReadFile(child.out);
  EXPECT_GT(status, 0) << report;
  EXPECT_LT(status, kSignalled) << report;
  EXPECT_NE(report.find(" unsuccessful due to "), std::string::npos) << report;
  ASSERT_EQ(::unlink(filler.c_str()), 0);
  const size_t stored = CheckWhole(db);
  EXPECT_LT(stored, photos.size());
  const std::string resumed = dir_.File("refilled.out");
  ASSERT_EQ(RunProgram(Build(db, photos, "-i"), resumed), 0) << kvtest::ReadFile(resumed);
  EXPECT_EQ(CheckWhole(db), photos.size());
  EXPECT_EQ(Contents(db), reference);
}

TEST_F(Processes, TwoBuildsIntoOneCatalogLoseNothing) {
  const std::vector<std::string> a(photos_.begin(), photos_.begin() + 12);
  const std::vector<std::string> b(photos_.begin() + 12, photos_.end());
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string db = dir_.File("two" + std::to_string(round));
    Child first = Start(Build(db, a), dir_.File("a.out"));
    Child second = Start(Build(db, b), dir_.File("b.out"));
    EXPECT_EQ(Wait(first), 0) << kvtest::ReadFile(dir_.File("a.out"));
    EXPECT_EQ(Wait(second), 0) << kvtest::ReadFile(dir_.File("b.out"));
    EXPECT_EQ(CheckWhole(db), photos_.size());
  }
}

TEST_F(Processes, QueriesDuringABuildNeverMissAStoredImage) {
  const std::vector<std::string> stable(photos_.begin(), photos_.begin() + 8);
  const std::vector<std::string> churn(photos_.begin() + 8, photos_.end());
  const std::string db = dir_.File("busy");
  ASSERT_EQ(RunProgram(Build(db, stable), dir_.File("stable.out")), 0);
  Child writer;
  int queries = 0;
  for (int round = 0; round < 4; ++round) {
    // Add the others, then take them out again, while queries run.
    writer = Start(Build(db, churn, round % 2 == 0 ? nullptr : "-r"), dir_.File("writer.out"));
    bool running = true;
    while (running) {
      const std::string out = dir_.File("query.out");
      ASSERT_EQ(RunProgram({Program("KvQBE"), "-d", db, "-c", "cat", "-f", "KvColorFeatureClass", "-n", "100", "-i",
                     stable[static_cast<size_t>(queries) % stable.size()]},
                    out),
                0)
          << kvtest::ReadFile(out);
      const std::string answer = kvtest::ReadFile(out);
      for (const std::string& key : stable) {
        EXPECT_NE(answer.find(key + " "), std::string::npos) << "query " << queries << " lost " << key << "\n"
                                                             << answer;
      }
      ++queries;
      running = ::waitpid(writer.pid, nullptr, WNOHANG) == 0;
    }
  }
  EXPECT_GT(queries, 8);
  EXPECT_EQ(CheckWhole(db), stable.size());
}

TEST_F(Processes, DamagedTablesFailTheCommandsWithoutASignal) {
  Reference();
  const std::string table = "ColorHiF.cat";
  struct Damage {
    const char* name;
    void (*apply)(std::string&);
  };
  const Damage damages[] = {
      {"flipped bytes", [](std::string& f) { for (size_t i = 0; i < 32; ++i) f[f.size() / 2 + i] ^= 0xa5; }},
      {"cut short", [](std::string& f) { f.resize(f.size() / 2 + 100); }},
  };
  int copies = 0;
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    const std::string db = dir_.File("damaged" + std::to_string(copies++));
    ASSERT_EQ(RunProgram({"/bin/cp", "-r", dir_.File("clean"), db}, dir_.File("cp.out")), 0);
    std::string bytes = kvtest::ReadFile(db + "/" + table);
    ASSERT_GT(bytes.size(), 4u * 4096);
    d.apply(bytes);
    kvtest::WriteFile(db + "/" + table, bytes);
    const std::string out = dir_.File("damaged.out");
    int status = RunProgram({Program("KvDumpDb"), "-d", db, table}, out);
    EXPECT_GT(status, 0) << kvtest::ReadFile(out);
    EXPECT_LT(status, kSignalled) << kvtest::ReadFile(out);
    EXPECT_NE(kvtest::ReadFile(out).find(table), std::string::npos) << kvtest::ReadFile(out);
    status = RunProgram({Program("KvQBE"), "-d", db, "-c", "cat", "-f", "KvColorHistogramFeatureClass", "-n", "5", "-i",
                  photos_[0]},
                 out);
    EXPECT_GT(status, 0) << kvtest::ReadFile(out);
    EXPECT_LT(status, kSignalled) << kvtest::ReadFile(out);
    // The other tables of the catalog answer as before.
    status = RunProgram({Program("KvQBE"), "-d", db, "-c", "cat", "-f", "KvColorFeatureClass", "-n", "5", "-i", photos_[0]},
                 out);
    EXPECT_EQ(status, 0) << kvtest::ReadFile(out);
  }
}

}  // namespace
