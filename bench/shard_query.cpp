// A query over sharded catalogs under MPI against the same query on one
// shard in one process.
//
// Builds (once per directory and record count) two sharded catalogs of the
// same colour histogram records (features of generated images, cycled over a
// pool of 64 values, so many distances tie and the key decides): "one" of 1
// shard and "four" of 4. Then times, in the same run:
//   baseline: the best 20 by histogram of "one" in this process (1 rank);
//   sharded:  the same query on "four" under mpirun -np 2 (this program
//             started again as the ranks), each rank scanning its 2 shards;
//   reduce:   the top-N reduction alone under the same 2 ranks (each rank's
//             best 20 to rank 0, merged, the outcome back to both).
// Every time is the median of the rounds, after a first query that writes the
// scan files; the two answers are compared key for key and bit for bit.
//
// Usage: bench_shard_query [records [directory [rounds]]]   (default 1000000
// records, $KIVO_TEST_TMP/bench_shard_query or /tmp/..., 7 rounds; the
// directory is kept for the next run).
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "BenchCatalog.h"
#include "KivoQuery.h"
#include "KivoShardManifest.h"
#include "KivoShardMpi.h"
#include "KivoShardQuery.h"
#include "KivoShardReduce.h"
#include "KivoStore.h"
#include "KvFactory.h"
#include "storage/KvConnect.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace ks = kivo::shard;

constexpr const char* kFeature = "KvColorHistogramFeatureClass";
constexpr int kResults = 20;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

kivo::QueryRequest Request() {
  kivo::QueryRequest r;
  r.key = "img0000000.jpg";
  r.features = {kFeature};
  r.n = kResults;
  return r;
}

bool Build(const std::string& dir, size_t records) {
  std::vector<std::string> pool;
  for (unsigned seed = 0; seed < 64; ++seed) {
    kvbench::Image image(seed, 48, 32);
    pool.push_back(kvbench::Computed(kFeature, image.get()));
    if (pool.back().empty()) return false;
  }
  const KvConnectClass* connection = KvGetConnection("w", dir.c_str(), nullptr);
  if (connection == nullptr) {
    std::fprintf(stderr, "bench_shard_query: cannot connect to %s: %s\n", dir.c_str(), kivo::LibraryError().c_str());
    return false;
  }
  bool ok = true;
  for (const auto& layout : {std::make_pair("one", 1), std::make_pair("four", 4)}) {
    ks::Manifest m;
    m.catalog = layout.first;
    for (int i = 0; i < layout.second && ok; ++i) {
      m.shards.push_back(ks::ShardName(m.catalog, i));
      std::unique_ptr<KvCatalogClass> catalog(connection->NewCatalog());
      const size_t count = static_cast<size_t>(layout.second);
      ok = catalog != nullptr && catalog->CreateCatalog(m.shards.back().c_str(), 0, 0) == 0 &&
           catalog->Open(m.shards.back().c_str()) == 0 &&
           kvbench::FillWhere(connection, catalog.get(), kFeature, records, pool,
                              [&](const char* key) { return ks::ShardOfKey(key, count) == i; });
    }
    if (!ok) std::fprintf(stderr, "bench_shard_query: cannot fill %s: %s\n", m.catalog.c_str(), kivo::LibraryError().c_str());
    std::string error;
    ok = ok && ks::WriteManifest(dir, m, &error);
    if (!error.empty()) std::fprintf(stderr, "bench_shard_query: %s\n", error.c_str());
  }
  KvDestroyConnection(connection);
  return ok;
}

// Runs the query rounds + 1 times (the first writes the scan files) and
// returns the median milliseconds of the others on rank 0.
double TimeQueries(const ks::MpiJob& job, const std::string& dir, const char* catalog, int rounds,
                   kivo::QueryResult* result) {
  ks::Manifest m;
  std::string error;
  if (ks::ReadManifest(dir, catalog, &m, &error) != 1) {
    std::fprintf(stderr, "bench_shard_query: %s\n", error.c_str());
    std::exit(1);
  }
  std::vector<double> ms;
  for (int r = 0; r <= rounds; ++r) {
    job.AllMax(0);  // every rank starts the round together
    const auto start = Clock::now();
    if (ks::RunShardedQuery(job, dir, m, Request(), false, std::cerr, result, &error) != kivo::kQueryOk) {
      std::fprintf(stderr, "bench_shard_query: %s\n", error.c_str());
      std::exit(1);
    }
    job.AllMax(0);
    if (r > 0) ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return Median(ms);
}

// The reduction alone: each rank offers a best-20 list of its own keys.
double TimeReduction(const ks::MpiJob& job, const kivo::QueryResult& result, int rounds) {
  ks::StageAnswer mine;
  for (const kivo::QueryHit& h : result.hits) {
    mine.hits.emplace_back(h.key + "." + std::to_string(job.Rank()), h.distance);
  }
  constexpr int kPerRound = 200;
  std::vector<double> ms;
  for (int r = 0; r < rounds; ++r) {
    job.AllMax(0);
    const auto start = Clock::now();
    for (int i = 0; i < kPerRound; ++i) ks::ReduceStage(job, mine, kResults);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kPerRound);
  }
  return Median(ms);
}

std::string Digest(const kivo::QueryResult& result) {
  std::string s;
  for (const kivo::QueryHit& h : result.hits) {
    uint32_t bits;
    std::memcpy(&bits, &h.distance, sizeof bits);
    s += h.key + ":" + std::to_string(bits) + " ";
  }
  return s;
}

// The ranks of the sharded measurement: rank 0 prints "query MS",
// "reduce MS" and "answer DIGEST" for the driver.
int Ranks(const std::string& dir, int rounds) {
  ks::MpiJob job;
  kivo::QueryResult result;
  const double query = TimeQueries(job, dir, "four", rounds, &result);
  const double reduce = TimeReduction(job, result, rounds);
  if (job.Root()) std::printf("query %.3f\nreduce %.4f\nanswer %s\n", query, reduce, Digest(result).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--ranks") == 0 && argc == 4) return Ranks(argv[2], std::atoi(argv[3]));
  const size_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const char* base = std::getenv("KIVO_TEST_TMP");
  const std::string dir = argc > 2 && std::strcmp(argv[2], "-") != 0
                              ? argv[2]
                              : std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/bench_shard_query";
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 7;
  if (records < 1) return 2;
  const std::string marker = dir + "/built-" + std::to_string(records);
  struct stat st {};
  if (stat(marker.c_str(), &st) != 0) {
    // A directory that cannot be emptied fails the build below.
    if (std::system(("rm -rf '" + dir + "'").c_str()) != 0) std::fprintf(stderr, "cannot empty %s\n", dir.c_str());
    ::mkdir(dir.c_str(), 0700);
    const auto start = Clock::now();
    if (!Build(dir, records)) {
      std::fprintf(stderr, "bench_shard_query: cannot build the catalogs in %s\n", dir.c_str());
      return 1;
    }
    std::fprintf(stderr, "built %zu records twice in %.1f s\n", records,
                 std::chrono::duration<double>(Clock::now() - start).count());
    FILE* f = std::fopen(marker.c_str(), "w");
    if (f != nullptr) std::fclose(f);
  }

  ks::MpiJob alone;
  kivo::QueryResult result;
  const double baseline = TimeQueries(alone, dir, "one", rounds, &result);

  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  const std::string command = "mpirun --oversubscribe -np 2 '" + std::string(self) + "' --ranks '" + dir + "' " +
                              std::to_string(rounds);
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return 1;
  double query = 0.0, reduce = 0.0;
  std::string answer;
  char line[1 << 16];
  while (std::fgets(line, sizeof line, p) != nullptr) {
    std::sscanf(line, "query %lf", &query);
    std::sscanf(line, "reduce %lf", &reduce);
    if (std::strncmp(line, "answer ", 7) == 0) answer = std::string(line + 7, std::strcspn(line + 7, "\n"));
  }
  if (pclose(p) != 0 || query <= 0.0) {
    std::fprintf(stderr, "bench_shard_query: the run under mpirun failed: %s\n", command.c_str());
    return 1;
  }
  const bool same = answer == Digest(result);
  std::printf("%zu histogram records, best %d, median of %d rounds\n", records, kResults, rounds);
  std::printf("  1 shard, 1 rank (baseline)  %9.2f ms  %7.2f ns/record\n", baseline, baseline * 1e6 / records);
  std::printf("  4 shards, 2 ranks           %9.2f ms  %7.2f ns/record  x%.2f of the baseline\n", query,
              query * 1e6 / records, query / baseline);
  std::printf("  top-N reduction, 2 ranks    %9.4f ms  (%.2f%% of the sharded query)\n", reduce,
              100.0 * reduce / query);
  std::printf("  answers identical: %s\n", same ? "yes" : "NO");
  return same ? 0 : 1;
}
