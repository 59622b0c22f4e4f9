// The query scan: scan files against the table walk, in the same run.
//
// Builds catalogs of 10,000 and 100,000 stored records by default (a third
// argument lists other counts, e.g. 100000,1000000; features computed from
// small generated images, cycled over a pool of distinct values, and written
// straight into the feature tables in the catalog's format), then times per
// query, best of the repetitions:
//   raw walk:  one cursor over the feature table, touching every record;
//   table:     KvQueryServerClass::EvaluateObjects for the best 20 with
//              KivoScanFiles=off (the B-tree walk, one record at a time);
//   scan:      the same query with scan files on (after a first query that
//              writes the scan file, timed apart as "first");
//   floor:     reading as many bytes as the scan file's records from memory
//              with as many threads as the scan uses.
// Then, for the largest catalog, a whole KvQBE process (start, query by a
// stored key for the best 20 by the colour histogram, print) with scan files
// off, and on both with every page of the tables checked at open and with the
// check's stamps kept, with its peak resident memory beside the scan file's
// size.
// Every scan result is compared with the table walk's: the same keys and the
// same distance bits ("same" or "DIFFERENT"; the program then exits 1).
//
// Usage: bench_query_scan [directory [label [records,...]]]   (default: a
// fresh directory under $KIVO_TEST_TMP or /tmp, removed afterwards; "-" also
// means the default). With a label only the cases whose label contains it
// run ("-" for all), and only their features' tables are filled.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchCatalog.h"
#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "core/KvString.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvQuery.h"
#include "scan/KvScanStore.h"
#include "scan/KvScanView.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"
#include "storage/KvStoreEnv.h"
#include "storage/KvStoreStamp.h"

namespace {

using Clock = std::chrono::steady_clock;

using kvbench::Computed;
using kvbench::Fill;
using kvbench::Image;

// One raw cursor walk over the feature's table; returns a checksum.
unsigned long RawWalk(const KvConnectClass* connection, KvCatalogClass* catalog, const char* feature) {
  KvStringClass name(64ul);
  catalog->GetFeatureTableName(feature, name);
  std::unique_ptr<KvDatabaseClass> table(connection->NewDatabase());
  if (table->Open(name.c_str(), "r") != 0) return 0;
  unsigned long sum = 0;
  {
    std::unique_ptr<KvDbIteratorClass> it(table->NewIterator());
    KvDatumClass key, data;
    while (it->HasCurrent() && it->NextView(key, data) == 0) {
      sum += data.Size() + (data.Data() != nullptr ? data.Data()[data.Size() - 1] : 0u) + key.Size();
    }
  }
  table->Close();
  return sum;
}

// The best of the repetitions: on a shared machine the fastest run is the
// one least disturbed by other work.
double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

struct Case {
  const char* label;
  const char* feature;
  bool picker;             // a picker query: partial matching for the histogram, a sketch for draw
  const char* parameters;  // parameter text applied over the defaults, or null
};

using Ranking = std::vector<std::pair<std::string, uint32_t>>;  // keys and distance bits

Ranking Entries(KvKeyDatabaseClass* set) {
  Ranking out;
  std::unique_ptr<KvDbIteratorClass> it(set->NewIterator());
  KvDatumClass key, data;
  while (it && it->HasCurrent() && it->Next(key, data, 1) == 0) {
    const float d = set->GetDistance(data);
    uint32_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    out.emplace_back(reinterpret_cast<const char*>(key.Data()), bits);
  }
  return out;
}

// Milliseconds to read bytes of words from memory on threads threads, best
// of the repetitions.
double StreamFloor(const std::vector<uint64_t>& words, size_t bytes, size_t threads, int repetitions) {
  const size_t n = std::min(words.size(), bytes / sizeof(uint64_t));
  std::vector<double> times;
  std::vector<uint64_t> sums(threads);
  for (int r = 0; r < repetitions; ++r) {
    const Clock::time_point t0 = Clock::now();
    std::vector<std::thread> running;
    for (size_t t = 0; t < threads; ++t) {
      running.emplace_back([&, t] {
        uint64_t a = 0, b = 0, c = 0, d = 0;
        const size_t end = n * (t + 1) / threads;
        size_t i = n * t / threads;
        for (; i + 4 <= end; i += 4) {
          a += words[i];
          b ^= words[i + 1];
          c += words[i + 2];
          d ^= words[i + 3];
        }
        for (; i < end; ++i) a += words[i];
        sums[t] = a + b + c + d;
      });
    }
    for (std::thread& t : running) t.join();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  return Best(times);
}

// Bytes of the records in the scan file of a feature's table (0 without).
size_t ScanBytes(const KvConnectClass* connection, KvCatalogClass* catalog, const char* feature,
                 uint64_t* fileBytes) {
  KvStringClass name(64ul);
  catalog->GetFeatureTableName(feature, name);
  std::unique_ptr<KvDatabaseClass> table(connection->NewDatabase());
  *fileBytes = 0;
  if (table->Open(name.c_str(), "r") != 0) return 0;
  std::shared_ptr<const KvScanView> view = KvScanAcquire(table.get(), feature);
  table->Close();
  if (view == nullptr) return 0;
  *fileBytes = view->Bytes();
  return view->Count() * view->Stride();
}

// Runs program with args (output discarded) and waits for it: false when it
// cannot be run or fails. Its wall time and peak resident memory (kB) go to
// *ms and *peakKb.
bool RunProcess(const std::string& program, const std::vector<std::string>& args, bool scanFiles, double* ms,
                long* peakKb) {
  // The child would otherwise write out what this process has not yet.
  std::fflush(stdout);
  const Clock::time_point t0 = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::setenv("KivoScanFiles", scanFiles ? "on" : "off", 1);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(126);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid) return false;
  *ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  *peakKb = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// KvQBE beside this program's folder (build/bench/.. holds the tools).
std::string QbePath(const char* self) {
  std::string path = self;
  const size_t slash = path.find_last_of('/');
  path = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  return path + "/../KvQBE";
}

std::vector<size_t> RecordCounts(const char* text) {
  std::vector<size_t> out;
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(p, &end, 10);
    if (end == p) break;
    if (n > 0) out.push_back(static_cast<size_t>(n));
    p = *end == ',' ? end + 1 : end;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  bool remove = false;
  const char* only = argc > 2 && std::strcmp(argv[2], "-") != 0 ? argv[2] : nullptr;
  const std::vector<size_t> counts = RecordCounts(argc > 3 ? argv[3] : "10000,100000");
  if (counts.empty()) {
    std::fprintf(stderr, "usage: bench_query_scan [directory [label [records,...]]]\n");
    return 2;
  }
  if (argc > 1 && std::strcmp(argv[1], "-") != 0) {
    dir = argv[1];
  } else {
    const char* base = std::getenv("KIVO_TEST_TMP");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kvbenchXXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
    remove = true;
  }
  const KvConnectClass* connection = KvGetConnection("w", dir.c_str(), nullptr);
  if (connection == nullptr) {
    KvPrintErrorMessage(stderr);
    return 1;
  }

  const Case cases[] = {
      {"average colour", "KvColorFeatureClass", false, nullptr},
      {"histogram, quadratic form", "KvColorHistogramFeatureClass", false, nullptr},
      {"histogram, partial matching", "KvColorHistogramFeatureClass", true, nullptr},
      {"texture", "KvTextureFeatureClass", false, nullptr},
      {"draw", "KvDrawFeatureClass", false, nullptr},
      {"draw, sketch, MaxOffset 2", "KvDrawFeatureClass", true, "PMaxOffset=2"},
      {"draw, Mirror=T", "KvDrawFeatureClass", false, "PMirror=T"},
      {"HSV histogram", "KvHsvHistogramFeatureClass", false, nullptr},
      {"edge histogram, Mirror=T", "KvEdgeHistogramFeatureClass", false, "PMirror=T"},
      {"correlogram", "KvCorrelogramFeatureClass", false, nullptr},
      {"colour texture", "KvColorTextureFeatureClass", false, nullptr},
      // The same query with its nearest 150 re-ranked: beside the case above,
      // the cost of measuring the shortlist against itself.
      {"colour texture, re-ranked 150", "KvColorTextureFeatureClass", false, "PRerank=150"},
  };
  const char* features[] = {"KvColorFeatureClass", "KvColorHistogramFeatureClass", "KvTextureFeatureClass",
                            "KvDrawFeatureClass", "KvHsvHistogramFeatureClass", "KvEdgeHistogramFeatureClass",
                            "KvCorrelogramFeatureClass", "KvColorTextureFeatureClass"};
  constexpr int kFeatures = sizeof features / sizeof features[0];

  // A pool of distinct feature values per class, from generated images.
  std::vector<std::vector<std::string>> pools(kFeatures);
  for (unsigned i = 0; i < 2000; ++i) {
    Image image(i, 36, 27);
    for (int f = 0; f < kFeatures; ++f) {
      std::string bytes = Computed(features[f], image.get());
      if (!bytes.empty()) pools[static_cast<size_t>(f)].push_back(std::move(bytes));
    }
  }
  for (int f = 0; f < kFeatures; ++f) {
    if (pools[static_cast<size_t>(f)].empty()) {
      std::fprintf(stderr, "no %s values could be computed\n", features[f]);
      return 1;
    }
  }
  // Memory for the streaming floor: as many bytes as the largest scan file's
  // records, touched once so that no page is faulted in while timed.
  const size_t largest = *std::max_element(counts.begin(), counts.end());
  std::vector<uint64_t> words(largest * 516 / sizeof(uint64_t) + 1);
  for (size_t i = 0; i < words.size(); ++i) words[i] = i * 0x9E3779B97F4A7C15ull;

  std::printf("scan threads %d\n", KvScanThreads());
  std::printf("%-8s %-28s %9s %9s %9s %8s %9s %9s %9s %7s %8s  %s\n", "records", "feature", "raw ms", "table ms",
              "scan ms", "speed-up", "first ms", "floor ms", "x floor", "file MB", "ns/rec", "result");
  bool allSame = true;
  for (size_t records : counts) {
    const std::string catalogName = "bench" + std::to_string(records);
    std::unique_ptr<KvCatalogClass> catalog(connection->NewCatalog());
    if (catalog == nullptr || catalog->CreateCatalog(catalogName.c_str(), 0, 0) != 0 ||
        catalog->Open(catalogName.c_str()) != 0) {
      KvPrintErrorMessage(stderr);
      return 1;
    }
    for (int f = 0; f < kFeatures; ++f) {
      // With a label, only the features of the cases it picks.
      bool wanted = only == nullptr;
      for (const Case& c : cases) {
        wanted = wanted || (std::strstr(c.label, only) != nullptr && std::strcmp(c.feature, features[f]) == 0);
      }
      if (!wanted) continue;
      if (!Fill(connection, catalog.get(), features[f], records, pools[static_cast<size_t>(f)])) {
        KvPrintErrorMessage(stderr);
        return 1;
      }
    }
    const int repetitions = records <= 10000 ? 21 : records <= 100000 ? 7 : 3;
    for (const Case& c : cases) {
      if (only != nullptr && std::strstr(c.label, only) == nullptr) continue;
      std::unique_ptr<KvFeatureClass> feature(KvCreateFeatureClass(c.feature));
      std::unique_ptr<KvParameterClass> parms(new KvParameterClass);
      *parms = *feature->GetParameters();
      if (c.parameters != nullptr) parms->FromCommandLineString(c.parameters);
      Image image(424242, 36, 27);
      KvGenericImageDataClass picker;
      KvGenericDataClass* data = image.get();
      if (c.picker) {
        picker.ReadPickerImageDescriptionString("D36 27 R0 0 36 27 200 40 40 R4 4 10 8 20 20 220 R20 10 8 8 250 250 0",
                                                False);
        data = &picker;
      }
      KvFeatureClass* f = feature.get();
      KvParameterClass* p = parms.get();
      KvQueryServerClass query(connection);
      KvKeyDatabaseClass* previous = nullptr;
      // One timed query; its ranking in *ranking. False when it fails.
      auto timed = [&](double* ms, Ranking* ranking) {
        const Clock::time_point t0 = Clock::now();
        KvKeyDatabaseClass* result = query.EvaluateObjects(20, catalog.get(), nullptr, nullptr, 1, &data, &f, &p);
        *ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (result == nullptr) {
          std::fprintf(stderr, "%s: query failed: %s\n", c.label, GetErrorMSG());
          return false;
        }
        *ranking = Entries(result);
        // EvaluateObjects hands the previous result to its caller.
        delete previous;
        previous = result;
        return true;
      };
      std::vector<double> raw, table, scan;
      Ranking tableRanking, scanRanking;
      double first = 0.0;
      unsigned long checksum = 0;
      Kvsetenv("KivoScanFiles", "on");
      if (!timed(&first, &scanRanking)) return 1;
      for (int r = 0; r < repetitions; ++r) {
        double ms = 0.0;
        Clock::time_point t0 = Clock::now();
        checksum += RawWalk(connection, catalog.get(), c.feature);
        raw.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        Kvsetenv("KivoScanFiles", "off");
        if (!timed(&ms, &tableRanking)) return 1;
        table.push_back(ms);
        Kvsetenv("KivoScanFiles", "on");
        if (!timed(&ms, &scanRanking)) return 1;
        scan.push_back(ms);
      }
      // The last result stays with the query object.
      uint64_t fileBytes = 0;
      const size_t bytes = ScanBytes(connection, catalog.get(), c.feature, &fileBytes);
      const size_t threads =
          std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(KvScanThreads()), records / 16384));
      const double floor = StreamFloor(words, bytes, threads, repetitions);
      const bool same = scanRanking == tableRanking && !scanRanking.empty();
      allSame = allSame && same;
      const double scanMs = Best(scan);
      std::printf("%-8zu %-28s %9.2f %9.2f %9.2f %8.1f %9.2f %9.2f %9.2f %7.1f %8.1f  %s (%zu found)\n", records,
                  c.label, Best(raw) + static_cast<double>(checksum % 1), Best(table), scanMs, Best(table) / scanMs,
                  first, floor, scanMs / floor, static_cast<double>(fileBytes) / 1e6, scanMs * 1e6 / records,
                  same ? "same" : "DIFFERENT", scanRanking.size());
      std::fflush(stdout);
    }
  }
  // A whole KvQBE process on the largest catalog (its scan files are
  // written by the queries above).
  // The KvQBE process queries the histogram, filled when a case of it ran.
  bool histogram = only == nullptr;
  for (const Case& c : cases) {
    histogram = histogram || (std::strstr(c.label, only) != nullptr &&
                              std::strcmp(c.feature, "KvColorHistogramFeatureClass") == 0);
  }
  const std::string qbe = QbePath(argv[0]);
  if (histogram && ::access(qbe.c_str(), X_OK) == 0) {
    const std::string catalogName = "bench" + std::to_string(largest);
    const std::vector<std::string> args = {"-d", dir, "-c", catalogName, "-f", "KvColorHistogramFeatureClass",
                                           "-i", "img0000007.jpg", "-n", "20"};
    // With scan files on, once with the stamps of the page check removed
    // before every run (each process reads every page of the tables), once
    // with them kept (the first run stamps, the others skip the read).
    const std::string stamps = dir + "/" + kKvStoreEnvDirectory + "/" + kKvStoreStampDirectory;
    const std::string unstamp = "rm -rf '" + stamps + "'";
    struct Run {
      bool scanFiles;
      bool stamped;
      const char* what;
    };
    for (const Run& run : {Run{false, false, "off"}, Run{true, false, "on, pages checked"},
                           Run{true, true, "on, stamped"}}) {
      std::vector<double> times;
      long peak = 0;
      if (run.stamped && std::system(unstamp.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", stamps.c_str());
      // Best of five: a process's wall time on a shared machine is mostly
      // how long it waited for a core.
      for (int r = 0; r < 5; ++r) {
        if (!run.stamped && std::system(unstamp.c_str()) != 0) {
          std::fprintf(stderr, "could not remove %s\n", stamps.c_str());
        }
        double ms = 0.0;
        long kb = 0;
        if (!RunProcess(qbe, args, run.scanFiles, &ms, &kb)) {
          std::fprintf(stderr, "KvQBE failed\n");
          return 1;
        }
        times.push_back(ms);
        peak = std::max(peak, kb);
      }
      std::printf("KvQBE process, histogram, %zu records, scan files %-18s %9.2f ms   peak resident %.1f MB\n",
                  largest, run.what, Best(times), static_cast<double>(peak) / 1024.0);
    }
    std::unique_ptr<KvCatalogClass> catalog(connection->NewCatalog());
    uint64_t fileBytes = 0;
    if (catalog != nullptr && catalog->Open(catalogName.c_str()) == 0) {
      ScanBytes(connection, catalog.get(), "KvColorHistogramFeatureClass", &fileBytes);
    }
    std::printf("histogram scan file %.1f MB\n", static_cast<double>(fileBytes) / 1e6);
  }
  KvDestroyConnection(connection);
  if (remove) {
    const std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
  return allSame ? 0 : 1;
}
