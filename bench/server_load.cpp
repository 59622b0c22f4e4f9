// The query server under load against in-process evaluation.
//
// Builds a catalog of 100,000 stored records (colour histogram and average
// colour features computed from small generated images, cycled over a pool
// of distinct values, written straight into the feature tables), then, in
// the same run:
//   in process: the query texts evaluated one after another by one
//               KvQueryServerClass in this process (single thread), and for
//               reference on two threads at once;
//   server:     KvQSrv with 2 workers on the same catalog, driven by 4, 8
//               and 16 concurrent KvQueryClientClass clients, each level
//               bounded in count and time.
// At each level, slices of in-process evaluation and of the server take
// turns, so that both meet the same moments of load.
// Every answer is compared with the in-process one. Prints queries per
// second, 50th and 99th percentile latency, CPU per query (this process for
// the baseline, the whole server process for the server), and the load
// average and CPU pressure of the machine before and after (on a machine
// shared with other work the rates follow the CPU share the process gets;
// the CPU per query does not).
//
// Usage: bench_server_load [KvQSrv-path [directory]]   (defaults: KvQSrv
// beside the benchmarks' build directory or in $KIVO_BIN; a fresh directory
// under $KIVO_TEST_TMP or /tmp, removed afterwards).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchCatalog.h"
#include "BenchServer.h"
#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "core/KvString.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvQuery.h"
#include "query/KvQueryClient.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kRecords = 100000;
constexpr int kTexts = 16;
constexpr int kSlices = 3;
constexpr double kMaxSecondsPerSlice = 30.0;
using kvbench::CpuPressure;
using kvbench::DefaultServerPath;
using kvbench::FillServerCatalog;
using kvbench::LoadAverage;
using kvbench::ProcessCpuMs;
using kvbench::QueryTexts;
using kvbench::ResultText;
using kvbench::Server;
using kvbench::Stats;
using kvbench::Summarise;

// Latencies, wall time and CPU of a set of queries, summed over slices.
struct Sample {
  std::vector<double> latencies;
  double seconds = 0;
  double cpuMs = 0;
  void Add(const Sample& other) {
    latencies.insert(latencies.end(), other.latencies.begin(), other.latencies.end());
    seconds += other.seconds;
    cpuMs += other.cpuMs;
  }
  double Rate() const { return seconds > 0 ? static_cast<double>(latencies.size()) / seconds : 0.0; }
  double CpuPerQuery() const {
    return latencies.empty() ? 0.0 : cpuMs / static_cast<double>(latencies.size());
  }
};

void Print(const char* label, const Sample& s, double ratio) {
  const Stats st = Summarise(s.latencies, s.seconds);
  char ratioText[16] = "";
  if (ratio > 0) std::snprintf(ratioText, sizeof ratioText, "%6.2f", ratio);
  std::printf("%-34s %8zu %9.2f %9.1f %9.1f %13.1f %6s\n", label, s.latencies.size(), st.qps, st.p50, st.p99,
              s.CpuPerQuery(), ratioText);
  std::fflush(stdout);
}

// Every text once, on `threads` threads of this process, each with its own
// query object; CPU is this process's. The number of wrong answers.
int InProcessSlice(const KvConnectClass* connection, const std::vector<std::string>& texts,
                   const std::vector<std::string>& expected, int threads, Sample* out) {
  std::atomic<int> next{0}, wrong{0};
  std::mutex mutex;
  Sample s;
  const double cpu0 = ProcessCpuMs(::getpid());
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      KvQueryServerClass query(connection);
      for (int n; (n = next++) < static_cast<int>(texts.size());) {
        const size_t i = static_cast<size_t>(n);
        const Clock::time_point q0 = Clock::now();
        KvInitializeErrorStructure();
        if (ResultText(query.Evaluate(texts[i].c_str())) != expected[i]) {
          ++wrong;
          std::fprintf(stderr, "in-process query %zu answered wrongly: %s\n", i, GetErrorMSG());
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - q0).count();
        std::lock_guard<std::mutex> lock(mutex);
        s.latencies.push_back(ms);
      }
    });
  }
  for (std::thread& t : pool) t.join();
  s.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  s.cpuMs = ProcessCpuMs(::getpid()) - cpu0;
  out->Add(s);
  return wrong.load();
}

// count queries through the server by `clients` client threads (bounded in
// time too); CPU is the server process's. The number of failed queries.
int ServerSlice(pid_t server, const std::vector<std::string>& texts, const std::vector<std::string>& expected,
                int clients, int count, Sample* out) {
  std::atomic<int> next{0}, failed{0};
  std::mutex mutex;
  Sample s;
  const double cpu0 = ProcessCpuMs(server);
  const Clock::time_point start = Clock::now();
  const Clock::time_point stop =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kMaxSecondsPerSlice));
  std::vector<std::thread> pool;
  for (int c = 0; c < clients; ++c) {
    pool.emplace_back([&] {
      KvQueryClientClass client;
      for (;;) {
        const int n = next++;
        if (n >= count || Clock::now() >= stop) break;
        const size_t i = static_cast<size_t>(n) % texts.size();
        const Clock::time_point q0 = Clock::now();
        KvInitializeErrorStructure();
        const std::string answer = ResultText(client.Evaluate(texts[i].c_str()));
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - q0).count();
        if (answer != expected[i]) {
          ++failed;
          std::fprintf(stderr, "query %zu through the server failed: %s\n", i, GetErrorMSG());
        }
        std::lock_guard<std::mutex> lock(mutex);
        s.latencies.push_back(ms);
      }
    });
  }
  for (std::thread& t : pool) t.join();
  s.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  s.cpuMs = ProcessCpuMs(server) - cpu0;
  out->Add(s);
  return failed.load();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string server = argc > 1 && std::strcmp(argv[1], "-") != 0 ? argv[1] : DefaultServerPath(argv[0]);
  std::string dir;
  bool remove = false;
  if (argc > 2) {
    dir = argv[2];
  } else {
    const char* base = std::getenv("KIVO_TEST_TMP");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/kvloadXXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
    remove = true;
  }
  std::printf("load average before: %s (%u cores), cpu pressure %s\n", LoadAverage().c_str(),
              std::thread::hardware_concurrency(), CpuPressure().c_str());

  const KvConnectClass* connection = KvGetConnection("w", dir.c_str(), nullptr);
  if (connection == nullptr) {
    KvPrintErrorMessage(stderr);
    return 1;
  }
  const Clock::time_point built0 = Clock::now();
  if (!FillServerCatalog(connection, "load", kRecords)) {
    KvPrintErrorMessage(stderr);
    return 1;
  }
  std::printf("catalog of %zu records built in %.1f s\n", kRecords,
              std::chrono::duration<double>(Clock::now() - built0).count());

  const std::vector<std::string> texts = QueryTexts("load", kTexts);
  if (texts.empty()) {
    KvPrintErrorMessage(stderr);
    return 1;
  }

  // Expected answers, and a warm page cache for everybody.
  std::vector<std::string> expected;
  {
    KvQueryServerClass query(connection);
    for (const std::string& text : texts) {
      expected.push_back(ResultText(query.Evaluate(text.c_str())));
      if (expected.back().empty()) {
        std::fprintf(stderr, "in-process query failed: %s\n", GetErrorMSG());
        return 1;
      }
    }
  }

  std::printf("\n%-34s %8s %9s %9s %9s %13s %6s\n", "", "queries", "q/s", "p50 ms", "p99 ms", "cpu ms/query",
              "ratio");
  // For reference: two threads of this process, each with its own query
  // object. On an idle machine they come close to twice one thread; when
  // they do not, the machine did not give this process two cores.
  {
    Sample one, two;
    int failed = InProcessSlice(connection, texts, expected, 1, &one);
    failed += InProcessSlice(connection, texts, expected, 2, &two);
    Print("in process, 1 thread", one, 0.0);
    Print("in process, 2 threads", two, one.Rate() > 0 ? two.Rate() / one.Rate() : 0.0);
    if (failed != 0) return 1;
  }

  Server srv;
  if (!srv.Start(server, dir)) {
    std::fprintf(stderr, "cannot start %s\n", server.c_str());
    srv.Stop();
    return 1;
  }
  Kvsetenv("KivoServerHost", "127.0.0.1");
  Kvsetenv("KivoServerPort", std::to_string(srv.port).c_str());

  // Each level alternates slices of in-process evaluation (one thread, each
  // text once) and of the server (twice as many queries), so both meet the
  // same moments of load on a shared machine; the ratio compares the sums.
  int failures = 0;
  Sample allBaseline, allServer;
  std::vector<double> ratios;
  for (int clients : {4, 8, 16}) {
    Sample baseline, served;
    for (int slice = 0; slice < kSlices; ++slice) {
      failures += InProcessSlice(connection, texts, expected, 1, &baseline);
      failures += ServerSlice(srv.pid, texts, expected, clients, 2 * kTexts, &served);
    }
    const double ratio = baseline.Rate() > 0 ? served.Rate() / baseline.Rate() : 0.0;
    ratios.push_back(ratio);
    char label[64];
    std::snprintf(label, sizeof label, "%2d clients: in process, 1 thread", clients);
    Print(label, baseline, 0.0);
    std::snprintf(label, sizeof label, "            server, 2 workers");
    Print(label, served, ratio);
    allBaseline.Add(baseline);
    allServer.Add(served);
  }
  const int exitStatus = srv.Stop();
  // What the CPU per query allows on this machine's cores when nothing else
  // runs: an estimate, next to the measured rates above.
  const double cores = static_cast<double>(std::max(1u, std::thread::hardware_concurrency()));
  std::printf("\ncapacity from CPU per query: in process %.2f q/s (one thread), server %.2f q/s (%.0f cores)\n",
              1000.0 / std::max(allBaseline.CpuPerQuery(), 1e-9),
              cores * 1000.0 / std::max(allServer.CpuPerQuery(), 1e-9), cores);
  std::printf("throughput ratio server / in process:");
  for (double r : ratios) std::printf(" %.2f", r);
  std::printf(" (4, 8, 16 clients; target 1.60)\n");
  std::printf("server exit status %d; failed queries %d\n", exitStatus, failures);
  std::printf("load average after: %s, cpu pressure %s\n", LoadAverage().c_str(), CpuPressure().c_str());

  KvDestroyConnection(connection);
  if (remove) {
    const std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
  return failures == 0 && exitStatus == 0 ? 0 : 1;
}
