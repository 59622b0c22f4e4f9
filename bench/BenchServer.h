// Pieces the query server benchmarks share: a catalog of stored records and
// query texts for it, a KvQSrv started on a free loopback port, latency
// summaries, CPU and memory of a process, and the machine's load.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchCatalog.h"
#include "query/KvQuery.h"
#include "storage/KvKeyDatabase.h"

extern char** environ;

namespace kvbench {

// The two features of the server benchmarks' catalogs.
constexpr const char* kServerFeatures[] = {"KvColorHistogramFeatureClass", "KvColorFeatureClass"};

// Creates catalog `name` with `records` stored records of both features,
// computed from 2000 generated images and cycled. False (error recorded) on
// failure.
inline bool FillServerCatalog(const KvConnectClass* connection, const char* name, size_t records) {
  std::vector<std::vector<std::string>> pools(2);
  for (unsigned i = 0; i < 2000; ++i) {
    Image image(i, 36, 27);
    for (size_t f = 0; f < 2; ++f) {
      std::string bytes = Computed(kServerFeatures[f], image.get());
      if (!bytes.empty()) pools[f].push_back(std::move(bytes));
    }
  }
  std::unique_ptr<KvCatalogClass> catalog(connection->NewCatalog());
  return catalog != nullptr && catalog->CreateCatalog(name, 0, 0) == 0 && catalog->Open(name) == 0 &&
         !pools[0].empty() && !pools[1].empty() &&
         Fill(connection, catalog.get(), kServerFeatures[0], records, pools[0]) &&
         Fill(connection, catalog.get(), kServerFeatures[1], records, pools[1]);
}

// Query texts on `catalog`: the best 20 by the histogram alone, or by the
// histogram and the average colour together, for generated images not in
// the catalog. Empty on failure.
inline std::vector<std::string> QueryTexts(const char* catalog, int count) {
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) {
    Image a(900000u + static_cast<unsigned>(i), 36, 27), b(900000u + static_cast<unsigned>(i), 36, 27);
    const char* names[2] = {kServerFeatures[0], kServerFeatures[1]};
    KvGenericDataClass* data[2] = {a.get(), b.get()};
    KvDatumClass out;
    if (KvBuildQueryString(20, catalog, nullptr, nullptr, i % 2 == 0 ? 1 : 2, names, nullptr, data, out) != 0) {
      return {};
    }
    texts.emplace_back(reinterpret_cast<const char*>(out.Data()));
  }
  return texts;
}

// A result set's query-string form, the bytes compared between answers.
inline std::string ResultText(KvKeyDatabaseClass* result) {
  KvDatumClass d;
  if (result == nullptr || result->ToQueryString(d) != 0 || d.Data() == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(d.Data()), d.Size());
}

// User plus system CPU of a process, in milliseconds.
inline double ProcessCpuMs(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return 0.0;
  char buffer[1024];
  const size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  buffer[n] = '\0';
  const char* p = std::strrchr(buffer, ')');
  if (p == nullptr) return 0.0;
  unsigned long utime = 0, stime = 0;
  // Fields after the command: state, then 10 numbers, then utime and stime.
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return 0.0;
  return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident size of a process in KiB (VmRSS), or -1.
inline long ProcessRssKb(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
  }
  std::fclose(f);
  return kb;
}

inline std::string LoadAverage() {
  FILE* f = std::fopen("/proc/loadavg", "r");
  if (f == nullptr) return "?";
  char buffer[128] = "";
  if (std::fgets(buffer, sizeof buffer, f) == nullptr) buffer[0] = '\0';
  std::fclose(f);
  std::string text(buffer);
  // The three averages only.
  size_t cut = 0;
  for (int spaces = 0; cut < text.size() && spaces < 3; ++cut) spaces += text[cut] == ' ';
  return text.substr(0, cut > 0 ? cut - 1 : 0);
}

// The share of the last 10 seconds in which some runnable task waited for a
// CPU ("some avg10" of the kernel's pressure figures), or "?".
inline std::string CpuPressure() {
  FILE* f = std::fopen("/proc/pressure/cpu", "r");
  if (f == nullptr) return "?";
  char buffer[256] = "";
  if (std::fgets(buffer, sizeof buffer, f) == nullptr) buffer[0] = '\0';
  std::fclose(f);
  const char* at = std::strstr(buffer, "avg10=");
  if (at == nullptr) return "?";
  return std::string(at + 6, std::strcspn(at + 6, " \n")) + "%";
}

struct Stats {
  double qps = 0, p50 = 0, p99 = 0;
};

inline Stats Summarise(std::vector<double> latencies, double seconds) {
  Stats s;
  if (latencies.empty() || seconds <= 0) return s;
  std::sort(latencies.begin(), latencies.end());
  const size_t n = latencies.size();
  s.qps = static_cast<double>(n) / seconds;
  s.p50 = latencies[(n - 1) / 2];
  s.p99 = latencies[std::min(n - 1, static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n))) - 1)];
  return s;
}

// KvQSrv on a free loopback port; the port is read from its first line.
// Per-query log lines are drained; those of broken exchanges are counted
// and, when echoFailures is set, copied to standard error.
struct Server {
  pid_t pid = -1;
  int port = 0;
  FILE* log = nullptr;

  bool Start(const std::string& program, const std::string& database, const std::vector<std::string>& extra = {},
             bool echoFailures = true) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    std::vector<std::string> args = {program, "-d", database, "-w", "2", "-e", "KivoServerHost=127.0.0.1",
                                     "-e", "KivoServerPort=0"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
      ::close(fds[0]);
      pid = -1;
      return false;
    }
    log = ::fdopen(fds[0], "r");
    char line[512];
    const char* prefix = "KvQSrv: listening on 127.0.0.1:";
    while (log != nullptr && std::fgets(line, sizeof line, log) != nullptr) {
      if (std::strncmp(line, prefix, std::strlen(prefix)) == 0) {
        port = std::atoi(line + std::strlen(prefix));
        break;
      }
      std::fputs(line, stderr);
    }
    if (port <= 0) return false;
    std::thread([f = log, echoFailures] {
      char buffer[4096];
      while (std::fgets(buffer, sizeof buffer, f) != nullptr) {
        if (echoFailures && std::strstr(buffer, "status=failed") != nullptr) std::fputs(buffer, stderr);
      }
    }).detach();
    return true;
  }
  int Stop() {
    if (pid <= 0) return -1;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// KvQSrv beside the benchmarks' build directory, or in $KIVO_BIN.
inline std::string DefaultServerPath(const char* argv0) {
  const char* bin = std::getenv("KIVO_BIN");
  if (bin != nullptr && bin[0] != '\0') return std::string(bin) + "/KvQSrv";
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv0);
  path = path.substr(0, path.rfind('/'));  // .../build/bench
  path = path.substr(0, path.rfind('/'));  // .../build
  return path + "/KvQSrv";
}

}  // namespace kvbench
