// Shared pieces of the fuzz targets.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "scan/KvScanStore.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvStoreEnv.h"

namespace kvfuzz {

namespace detail {

inline int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace detail

// A scratch directory for files the target writes, made once per process
// under $KIVO_FUZZ_TMP (or /tmp) and removed with its files at exit.
inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    const char* base = std::getenv("KIVO_FUZZ_TMP");
    std::string root = base != nullptr && base[0] != '\0' ? base : "/tmp";
    ::mkdir(root.c_str(), 0700);
    std::string pattern = root + "/kvfuzzXXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
      std::fprintf(stderr, "fuzz: cannot make a scratch directory under %s\n", root.c_str());
      std::abort();
    }
    return pattern;
  }();
  static const bool cleanup = [] {
    return std::atexit([] { ::nftw(dir.c_str(), detail::RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }) == 0;
  }();
  (void)cleanup;
  return dir;
}

// The datum takes a copy of the input (not NUL-terminated).
inline void Load(KvDatumClass& d, const uint8_t* data, size_t size) {
  KvInitializeErrorStructure();
  d.CopyBytes(data, size, "fuzz");
}

// Records of the fixture catalog, so that fetches, restrictions and query
// terms find real data: catalog "cat" with every feature class, whole-image
// keys "red", "green", "blue" (test images) and "quad" (four colours, keyword
// text "red car"), the sub-part "quad.left" of "quad", and the sampler "smp"
// (average colour) holding "red" and "quad".
constexpr const char* kFixtureCatalog = "cat";

namespace detail {

// A 16 x 16 image of four coloured quadrants; with a mask that keeps only the
// left half when subPart is set.
inline bool MakeQuadrants(KvGenericImageDataClass& image, bool subPart) {
  constexpr int kSide = 16;
  auto* index = static_cast<unsigned char*>(KvCNew(kSide * kSide, 1, "fuzz", KERR_Fatal));
  auto* palette = static_cast<unsigned char*>(KvCNew(768, 1, "fuzz", KERR_Fatal));
  auto* mask = static_cast<unsigned char*>(KvCNew(kSide * kSide, 1, "fuzz", KERR_Fatal));
  if (index == nullptr || palette == nullptr || mask == nullptr) return false;
  const unsigned char colours[4][3] = {{255, 0, 0}, {0, 160, 0}, {20, 20, 230}, {250, 250, 250}};
  for (int c = 0; c < 4; ++c) {
    for (int k = 0; k < 3; ++k) palette[256 * k + c] = colours[c][k];
  }
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      index[y * kSide + x] = static_cast<unsigned char>((y >= kSide / 2 ? 2 : 0) + (x >= kSide / 2 ? 1 : 0));
      mask[y * kSide + x] = !subPart || x < kSide / 2 ? 0xFF : 0x00;
    }
  }
  return image.GetImageDataFromMemory(kSide, kSide, index, palette, mask, subPart ? True : False, True) == 0;
}

inline bool BuildFixture(const std::string& directory) {
  std::unique_ptr<KvConnectClass> connection(NewKvDbmConnectClass());
  if (!connection || connection->Connect(directory.c_str(), "w") != 0) return false;
  std::unique_ptr<KvCatalogClass> catalog(connection->NewCatalog());
  if (!catalog || catalog->CreateCatalog(kFixtureCatalog, 0, 0) != 0 || catalog->Open(kFixtureCatalog) != 0) {
    return false;
  }
  for (const char** name = KvListAllAvailableFeatures(); *name != nullptr; ++name) {
    if (catalog->AddFeatureClass(*name, 0, 0, 0) != 0) return false;
  }
  const char* const tests[][2] = {{"red", "!@rffg00b00"}, {"green", "!@r00gc0b00"}, {"blue", "!@r20g40bff"}};
  for (const auto& test : tests) {
    KvGenericImageDataClass image;
    if (image.ReadImageDataFromFile(test[1], nullptr, False) != 0 ||
        catalog->AddRecord(test[0], &image, nullptr, KV_MODE_INSERT, nullptr) != 0) {
      return false;
    }
  }
  KvGenericImageDataClass quad, left;
  if (!MakeQuadrants(quad, false) || !MakeQuadrants(left, true) || quad.SetKeywordText("red car") != 0 ||
      catalog->AddRecord("quad", &quad, nullptr, KV_MODE_INSERT, nullptr) != 0 ||
      catalog->AddRecord("quad.left", &left, nullptr, KV_MODE_INSERT, nullptr) != 0 ||
      catalog->AddSubPartRecord("quad", "quad.left", &left) != 0) {
    return false;
  }
  // Made now, so that a query writing its first scan file does not change
  // the fixture directory itself.
  const std::string scanFiles = directory + "/" + kKvScanDirectory;
  if (::mkdir(scanFiles.c_str(), 0700) != 0 && errno != EEXIST) return false;
  KvGenericImageDataClass red;
  return catalog->AddSampler("smp", "KvColorFeatureClass") == 0 &&
         red.ReadImageDataFromFile("!@rffg00b00", nullptr, False) == 0 &&
         catalog->AddSamplerRecords("red", "smp", &red, nullptr, KV_MODE_INSERT) == 0 &&
         catalog->AddSamplerRecords("quad", "smp", &quad, nullptr, KV_MODE_INSERT) == 0;
}

// Name, size and modification time of every file of a directory, sorted.
inline std::string DirectorySnapshot(const std::string& directory) {
  std::vector<std::string> entries;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (std::strcmp(entry->d_name, "..") == 0) continue;  // the scratch directory changes
      // Scan files are derived data that queries write on first use; the
      // table files are what must stay untouched.
      if (std::strcmp(entry->d_name, kKvScanDirectory) == 0) continue;
      // The storage environment's own files (its log, shared regions and
      // locks) change whenever any program joins or leaves it, readers too.
      if (std::strcmp(entry->d_name, kKvStoreEnvDirectory) == 0) continue;
      struct stat info;
      const std::string path = directory + "/" + entry->d_name;
      if (::stat(path.c_str(), &info) != 0) continue;
      entries.push_back(std::string(entry->d_name) + " " + std::to_string(info.st_size) + " " +
                        std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec));
    }
    ::closedir(dir);
  }
  std::sort(entries.begin(), entries.end());
  std::string all;
  for (const std::string& e : entries) all += e + "\n";
  return all;
}

}  // namespace detail

// The fixture database directory (empty before UseScratchDatabase).
inline std::string& FixtureDirectory() {
  static std::string directory;
  return directory;
}

// Stops the run when the fixture database changed: fuzzed catalog, sampler
// and key names reach it only through the read-only connection, which opens
// table files read-only and must neither create nor remove one. Every call
// compares the directory's modification time (a file made, removed or
// renamed in it); the first call also registers a comparison of every
// file's size and time at exit.
inline void CheckFixtureIntact() {
  auto directoryTime = [] {
    struct stat info;
    return ::stat(FixtureDirectory().c_str(), &info) == 0
               ? std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec)
               : std::string("missing");
  };
  static const std::string time = directoryTime();
  static const std::string files = detail::DirectorySnapshot(FixtureDirectory());
  static const bool atExit = std::atexit([] {
    const std::string now = detail::DirectorySnapshot(FixtureDirectory());
    if (now != files) {
      std::fprintf(stderr, "fuzz: a table file of the fixture database %s was changed:\n%s-- now:\n%s",
                   FixtureDirectory().c_str(), files.c_str(), now.c_str());
      std::_Exit(1);
    }
  }) == 0;
  (void)atExit;
  if (directoryTime() != time) {
    std::fprintf(stderr, "fuzz: a file was made or removed in the fixture database %s\n", FixtureDirectory().c_str());
    std::abort();
  }
}

// The process-wide connection on the fixture database inside the scratch
// directory, opened read-only so fuzzed names can never create tables. The
// fixture is built once per process; a failure to build it stops the run,
// since every target would then test less than it claims.
inline void UseScratchDatabase() {
  static bool done = [] {
    const std::string db = ScratchDir() + "/db";
    if (!detail::BuildFixture(db)) {
      std::fprintf(stderr, "fuzz: cannot build the fixture catalog in %s\n", db.c_str());
      KvPrintErrorMessage(stderr);
      std::abort();
    }
    KvInitializeErrorStructure();
    Kvsetenv("KivoDatabaseName", db.c_str());
    if (KvGetConnection("r", db.c_str(), nullptr) == nullptr) std::abort();
    FixtureDirectory() = db;
    CheckFixtureIntact();
    return true;
  }();
  (void)done;
}

// Held for the length of one input: the fixture database is there, and is
// checked to be unchanged when the input is done with it.
struct FixtureScope {
  FixtureScope() { UseScratchDatabase(); }
  ~FixtureScope() { CheckFixtureIntact(); }
  FixtureScope(const FixtureScope&) = delete;
  FixtureScope& operator=(const FixtureScope&) = delete;
};

inline std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size) {
  const std::string path = ScratchDir() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f != nullptr) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return path;
}

}  // namespace kvfuzz
