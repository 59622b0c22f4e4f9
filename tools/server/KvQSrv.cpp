// KvQSrv: the query server. Answers the query socket exchange by evaluating
// each query text against the database it was started on, with a fixed pool
// of worker threads, each with its own query object.
//
//   KvQSrv -d database [-w workers] [-m maxQueryBytes] [-t idleSeconds]
//          [-e EnvVar=EnvValue ...]
//   KvQSrv --help | --version
//
// It listens on "KivoServerHost" (default 127.0.0.1) and "KivoServerPort"
// (default 5517; 0 picks a free port, reported on the first log line), logs
// one line per query to standard error, and on SIGINT or SIGTERM finishes the
// queries in flight and exits.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvFactory.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "core/KvVersion.h"
#include "query/KvQuery.h"
#include "query/KvQueryService.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

const char kUsage[] =
    "Usage: KvQSrv -d database [-w workers] [-m maxQueryBytes] [-t idleSeconds] "
    "[-e EnvVar=EnvValue ...]\n";

constexpr size_t kMaxPending = 256;
constexpr int kDefaultPort = 5517;
constexpr long long kMaxWorkers = 64;
constexpr long long kMaxQueryBytes = 1ll << 30;
constexpr long long kMaxIdleSeconds = 86400;

int gWakePipe[2] = {-1, -1};
std::atomic<bool> gStopping{false};

void OnSignal(int) {
  gStopping.store(true);
  const char byte = 1;
  if (::write(gWakePipe[1], &byte, 1) < 0) {
    // The flag alone stops the loop at its next wake-up.
  }
}

struct Options {
  const char* database = nullptr;
  int workers = 2;
  KvServiceLimits limits;
};

struct Pending {
  int fd;
  std::string peer;
};

// Connections waiting for a worker.
class WorkQueue {
 public:
  bool Push(Pending p) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || items_.size() >= kMaxPending) return false;
    items_.push_back(std::move(p));
    ready_.notify_one();
    return true;
  }
  bool Pop(Pending* out) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [&] { return closed_ || !items_.empty(); });
    if (items_.empty()) return false;
    *out = std::move(items_.front());
    items_.pop_front();
    return true;
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Pending> items_;
  bool closed_ = false;
};

// A whole decimal number within [low, high]; false for anything else.
bool ParseNumber(const char* text, long long low, long long high, long long* out) {
  if (text == nullptr || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long long n = 0;
    if (arg == "-d" && hasValue) {
      options->database = argv[++i];
    } else if (arg == "-w" && hasValue) {
      if (!ParseNumber(argv[++i], 1, kMaxWorkers, &n)) return -1;
      options->workers = static_cast<int>(n);
    } else if (arg == "-m" && hasValue) {
      if (!ParseNumber(argv[++i], 1, kMaxQueryBytes, &n)) return -1;
      options->limits.maxQuerySize = static_cast<unsigned long>(n);
    } else if (arg == "-t" && hasValue) {
      if (!ParseNumber(argv[++i], 1, kMaxIdleSeconds, &n)) return -1;
      options->limits.idleTimeoutMs = static_cast<int>(n) * 1000;
      options->limits.totalTimeoutMs = static_cast<int>(n) * 10000;
    } else if (arg == "-e" && hasValue) {
      char* pair = argv[++i];
      char* eq = std::strchr(pair, '=');
      if (eq == nullptr) {
        std::fprintf(stderr, "EnvVar=EnvValue pair missing = sign %s-- ignoring\n", pair);
        continue;
      }
      *eq = '\0';
      if (Kvsetenv(pair, eq + 1) != 0) {
        std::fprintf(stderr, "Environment variable %s unknown to Kivo -- ignoring\n", pair);
      }
      *eq = '=';
    } else {
      return -1;
    }
  }
  return options->database != nullptr ? 0 : -1;
}

int Listen(std::string* where) {
  const char* host = Kvgetenv("KivoServerHost");
  if (host == nullptr || host[0] == '\0') host = "127.0.0.1";
  // Unlike the client, which falls back to 5517, the server refuses a port
  // it cannot read: listening somewhere unexpected would go unnoticed.
  const char* portText = Kvgetenv("KivoServerPort");
  long long port = kDefaultPort;
  if (portText != nullptr && portText[0] != '\0' && !ParseNumber(portText, 0, 65535, &port)) {
    std::fprintf(stderr, "KvQSrv: invalid port %s\n", portText);
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* address = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &address) != 0 || address == nullptr) {
    std::fprintf(stderr, "KvQSrv: cannot resolve %s\n", host);
    return -1;
  }
  sockaddr_in bindAddress{};
  std::memcpy(&bindAddress, address->ai_addr, sizeof bindAddress);
  ::freeaddrinfo(address);
  bindAddress.sin_port = htons(static_cast<uint16_t>(port));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::perror("KvQSrv: socket");
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&bindAddress), sizeof bindAddress) != 0 || ::listen(fd, 64) != 0) {
    std::perror("KvQSrv: bind");
    ::close(fd);
    return -1;
  }
  socklen_t length = sizeof bindAddress;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bindAddress), &length);
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &bindAddress.sin_addr, text, sizeof text);
  *where = std::string(text) + ":" + std::to_string(ntohs(bindAddress.sin_port));
  return fd;
}

// An error message on one log line.
std::string OneLine(const char* text) {
  std::string line(text != nullptr ? text : "");
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

void Worker(WorkQueue* queue, const KvServiceLimits* limits, const KvConnectClass* connection) {
  KvQueryServerClass query(connection);
  if (!query.IsValid()) {
    std::fprintf(stderr, "KvQSrv: worker cannot make a query object: %s\n", GetErrorMSG());
  }
  const KvQueryEvaluator evaluate = [&](const char* text, KvDatumClass& reply) {
    if (!query.IsValid()) return -1;
    KvKeyDatabaseClass* result = query.Evaluate(text);
    int status = query.GetStatus();
    if (result == nullptr) return status != 0 ? status : -1;
    if (result->ToQueryString(reply) != 0) return status != 0 ? status : -1;
    return status;
  };
  Pending job;
  while (queue->Pop(&job)) {
    // A failed query must not poison the next: the evaluator stops whenever
    // an error of severity 1 is pending.
    KvInitializeErrorStructure();
    const auto start = std::chrono::steady_clock::now();
    KvExchangeResult outcome;
    KvServeQueryExchange(job.fd, *limits, evaluate, &outcome);
    ::close(job.fd);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (outcome.completed && outcome.status != 0) {
      std::fprintf(stderr, "KvQSrv: peer=%s size=%lu status=%d result=%lu ms=%.1f error=%s\n", job.peer.c_str(),
                   outcome.querySize, outcome.status, outcome.resultSize, ms, OneLine(GetErrorMSG()).c_str());
    } else if (outcome.completed) {
      std::fprintf(stderr, "KvQSrv: peer=%s size=%lu status=%d result=%lu ms=%.1f\n", job.peer.c_str(),
                   outcome.querySize, outcome.status, outcome.resultSize, ms);
    } else {
      std::fprintf(stderr, "KvQSrv: peer=%s size=%lu status=failed (%s) ms=%.1f\n", job.peer.c_str(),
                   outcome.querySize, outcome.error.c_str(), ms);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // --help and --version stand alone; every other option is read strictly.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("KvQSrv %s\n", KIVO_VERSION_STRING);
    return 0;
  }
  Options options;
  if (ParseOptions(argc, argv, &options) != 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // Connecting would create a missing directory; a server that answers
  // every query with an unknown catalog helps nobody, so it refuses to start.
  struct stat info;
  if (::stat(options.database, &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "KvQSrv: no database directory %s\n", options.database);
    return 1;
  }
  const KvConnectClass* connection = KvGetConnection("r", options.database, nullptr);
  if (connection == nullptr) {
    KvPrintErrorMessage(stderr);
    return 1;
  }
  std::string where;
  const int listenFd = Listen(&where);
  if (listenFd < 0) return 1;
  if (::pipe2(gWakePipe, O_CLOEXEC) != 0) {
    std::perror("KvQSrv: pipe");
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // The workers start with the stop signals blocked, so only the accepting
  // thread is ever interrupted: a worker's reads (sockets, tables, files)
  // never see EINTR from a stop request.
  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  WorkQueue queue;
  std::vector<std::thread> workers;
  for (int i = 0; i < options.workers; ++i) {
    workers.emplace_back(Worker, &queue, &options.limits, connection);
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  std::fprintf(stderr, "KvQSrv: listening on %s with %d workers, database %s\n", where.c_str(), options.workers,
               options.database);

  while (!gStopping.load()) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {gWakePipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors: the pending connection stays readable, so wait a
      // little (still watching for the stop request) instead of spinning.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        pollfd wake{gWakePipe[0], POLLIN, 0};
        ::poll(&wake, 1, 100);
      }
      continue;
    }
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    Pending job{fd, std::string(text) + ":" + std::to_string(ntohs(peer.sin_port))};
    if (!queue.Push(job)) {
      std::fprintf(stderr, "KvQSrv: peer=%s refused: too many pending connections\n", job.peer.c_str());
      ::close(fd);
    }
  }

  ::close(listenFd);
  queue.Close();
  for (std::thread& t : workers) t.join();
  KvDestroyConnection(connection);
  std::fprintf(stderr, "KvQSrv: stopped\n");
  return 0;
}
