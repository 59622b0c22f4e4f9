// KvQSrv: the query server. Answers the query socket exchange by evaluating
// each query text against the database it was started on. An event loop
// holds every connection until its whole query text has arrived; a fixed
// pool of worker threads, each with its own query object, evaluates.
//
//   KvQSrv -d database [-w workers] [-m maxQueryBytes] [-t idleSeconds]
//          [-n maxConnections] [-e EnvVar=EnvValue ...]
//   KvQSrv --help | --version
//
// It listens on "KivoServerHost" (default 127.0.0.1) and "KivoServerPort"
// (default 5517; 0 picks a free port, reported on the first log line), logs
// one line per connection to standard error, and on SIGINT or SIGTERM stops
// accepting, closes idle connections, finishes the queries already received
// and exits.
//
// Under mpirun the job serves the sharded catalogs of the database: rank 0
// is the server, the other ranks wait for its queries; every query that
// names a sharded catalog is broadcast and evaluated by every rank over its
// shards (KivoShardText.h), and a stop of rank 0 stops them all.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "KivoStore.h"
#include "KivoShardMpi.h"
#include "KivoShardRanks.h"
#include "KivoShardText.h"
#include "KvEventLoop.h"
#include "KvFactory.h"
#include "KvQSrvConnection.h"
#include "KvWorkerPool.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "core/KvVersion.h"
#include "query/KvDeadline.h"
#include "storage/KvConnect.h"

namespace {

const char kUsage[] =
    "Usage: KvQSrv -d database [-w workers] [-m maxQueryBytes] [-t idleSeconds] [-n maxConnections] "
    "[-e EnvVar=EnvValue ...]\n";

constexpr int kDefaultPort = 5517;
constexpr long long kMaxWorkers = 64;
constexpr long long kMaxQueryBytes = 1ll << 30;
constexpr long long kMaxIdleSeconds = 86400;
constexpr long long kMaxConnections = 1 << 20;
// Descriptors kept beyond the connections: the listening socket, the loop's
// own, the tables the workers open.
constexpr rlim_t kSpareDescriptors = 64;

KvEventLoop* gLoop = nullptr;

void OnSignal(int) {
  if (gLoop != nullptr) gLoop->Stop();
}

struct Options {
  const char* database = nullptr;
  int workers = 2;
  KvQSrvSettings settings;
  KvLoopLimits loop;
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
  KvServiceLimits& limits = options->settings.limits;
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
      limits.maxQuerySize = static_cast<unsigned long>(n);
    } else if (arg == "-t" && hasValue) {
      if (!ParseNumber(argv[++i], 1, kMaxIdleSeconds, &n)) return -1;
      limits.idleTimeoutMs = static_cast<int>(n) * 1000;
      limits.totalTimeoutMs = static_cast<int>(n) * 10000;
    } else if (arg == "-n" && hasValue) {
      if (!ParseNumber(argv[++i], 1, kMaxConnections, &n)) return -1;
      options->loop.maxConnections = static_cast<size_t>(n);
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

// The loop's deadlines and the evaluations' limit follow from the exchange's
// own: an evaluation may take as long as a whole exchange, and a stop waits
// that long (and a second more for the answers) for the queries received.
void DeriveLimits(Options* options) {
  const KvServiceLimits& limits = options->settings.limits;
  options->loop.idleTimeoutMs = limits.idleTimeoutMs;
  options->loop.requestTimeoutMs = limits.totalTimeoutMs;
  int64_t evaluation = limits.totalTimeoutMs;
  const int64_t setting = KvQueryTimeLimitMs();
  if (setting > 0) evaluation = std::min(evaluation, setting);
  options->settings.evaluationLimitMs = limits.totalTimeoutMs;
  options->loop.stopGraceMs = static_cast<int>(evaluation) + 1000;
}

// Room for as many descriptors as connections may be open; the bound is
// lowered when the system does not allow that many.
void FitDescriptors(KvLoopLimits* loop) {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(loop->maxConnections) + kSpareDescriptors;
  if (r.rlim_cur < wanted) {
    r.rlim_cur = r.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, r.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &r);
    ::getrlimit(RLIMIT_NOFILE, &r);
  }
  if (r.rlim_cur < wanted) {
    const rlim_t room = r.rlim_cur > 2 * kSpareDescriptors ? r.rlim_cur - kSpareDescriptors : kSpareDescriptors;
    loop->maxConnections = static_cast<size_t>(room);
  }
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
  if (::bind(fd, reinterpret_cast<sockaddr*>(&bindAddress), sizeof bindAddress) != 0 || ::listen(fd, SOMAXCONN) != 0) {
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

// The largest message broadcast: MPI counts are ints.
constexpr size_t kMaxMessage = INT_MAX / 2;

// Evaluates text when it names a sharded catalog of database (see
// KvQSrvSettings::sharded): on this thread in a job of one process, else
// through queue on rank 0's main thread, with every rank.
bool EvaluateSharded(const kivo::shard::MpiJob& job, kivo::shard::TaskQueue* queue, const std::string& database,
                     const char* text, int64_t limitMs, int* status, std::string* result, std::string* error) {
  kivo::shard::ServedText query;
  std::string why;
  const int found = kivo::shard::ShardedCatalogOf(database, text, &query.manifest, &why);
  if (found == 0) return false;
  *status = -1;
  if (found < 0) {
    *error = why;
    return true;
  }
  // The evaluation's limit, shortened by "KivoQueryTimeLimit" as the query
  // object's own evaluation shortens it.
  const int64_t setting = KvQueryTimeLimitMs();
  if (setting < 0) {
    *error = "KvQSrv: KivoQueryTimeLimit is not a number of seconds";
    return true;
  }
  int64_t limit = limitMs;
  if (setting > 0 && (limit <= 0 || setting < limit)) limit = setting;
  query.timeLimitMs = static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(limit, 0), UINT32_MAX));
  query.text = text;
  const auto evaluate = [&] {
    std::string bytes = query.Encode();
    if (bytes.size() > kMaxMessage) {
      *error = "the query text is too large to hand to the ranks";
      return;
    }
    job.BroadcastWaiting(&bytes);
    // Every rank evaluates the decoded bytes, rank 0 too, so that all agree.
    kivo::shard::ServedText sent;
    if (!sent.Decode(bytes)) {
      *error = "the query could not be handed to the ranks";
      return;
    }
    *status = kivo::shard::RunShardedText(job, database, sent, result, error);
  };
  if (queue == nullptr) {
    evaluate();
  } else if (!queue->Run(evaluate)) {
    *error = "the server is stopping";
  }
  return true;
}

// Serves on this thread until a stop. The exit status.
int Serve(Options& options, const KvConnectClass* connection) {
  std::string where;
  const int listenFd = Listen(&where);
  if (listenFd < 0) return 1;
  DeriveLimits(&options);
  FitDescriptors(&options.loop);
  ::signal(SIGPIPE, SIG_IGN);

  // The workers start with the stop signals blocked, so only the loop's
  // thread is ever interrupted: a worker's reads (tables, files) never see
  // EINTR from a stop request.
  KvWorkerPool pool(options.workers, [connection](int) { return KvQSrvWorkerState(connection); });
  const KvQSrvSettings& settings = options.settings;
  KvEventLoop loop(options.loop, [&settings](const std::string& peer) { return KvQSrvConnection(settings, peer); },
                   pool);
  loop.SetRefusalHook([](const std::string& peer) {
    std::fprintf(stderr, "KvQSrv: peer=%s refused: too many connections\n", peer.c_str());
  });
  gLoop = &loop;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // Under an MPI job this is not the main thread, which keeps the stop
  // signals blocked: they reach this one.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
  std::fprintf(stderr, "KvQSrv: listening on %s with %d workers, database %s\n", where.c_str(), options.workers,
               options.database);
  const int rc = loop.Run(listenFd);
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGTERM, SIG_IGN);
  gLoop = nullptr;
  if (rc != 0) {
    std::perror("KvQSrv: event loop");
    return 1;
  }
  return 0;
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
  // Started before any other thread: only this one calls MPI.
  kivo::shard::MpiJob job;
  // Every rank connects: examples stored in other catalogs are read through
  // the process-wide connection. The hold keeps it open while the stores of
  // sharded queries, which share it, come and go.
  kivo::ConnectionHold hold;
  std::string unused;  // the library's own message is printed
  const KvConnectClass* connection = hold.Open(options.database, &unused) ? hold.Connection() : nullptr;
  if (connection == nullptr) {
    // Under mpirun a rank that fails ends the job.
    KvPrintErrorMessage(stderr);
    return 1;
  }
  const std::string database = options.database;
  int rc = 0;
  if (job.Size() == 1) {
    options.settings.sharded = [&job, &database](const char* text, int64_t limitMs, int* status, std::string* result,
                                                 std::string* error) {
      return EvaluateSharded(job, nullptr, database, text, limitMs, status, result, error);
    };
    rc = Serve(options, connection);
  } else {
    if (job.Root()) {
      // The stop signals go to the server's thread (Serve), never to this
      // one, which waits in MPI.
      sigset_t stops;
      sigemptyset(&stops);
      sigaddset(&stops, SIGINT);
      sigaddset(&stops, SIGTERM);
      pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    }
    const auto serve = [&](kivo::shard::TaskQueue& queue) {
      options.settings.sharded = [&job, &queue, &database](const char* text, int64_t limitMs, int* status,
                                                           std::string* result, std::string* error) {
        return EvaluateSharded(job, &queue, database, text, limitMs, status, result, error);
      };
      return Serve(options, connection);
    };
    // mpirun stops the job with SIGTERM; the other ranks have nothing to
    // finish and end at once.
    const auto follow = [&job, &database](const std::string& bytes) {
      kivo::shard::ServedText query;
      // Rank 0 decodes the same bytes and skips them alike.
      if (!query.Decode(bytes)) return;
      KvInitializeErrorStructure();
      std::string answer, error;
      kivo::shard::RunShardedText(job, database, query, &answer, &error);
    };
    rc = kivo::shard::ServeOnRanks(job, serve, follow);
  }
  if (rc != 0) return rc;
  if (job.Root()) std::fprintf(stderr, "KvQSrv: stopped\n");
  return 0;
}
