// kivo serve under 16 well-behaved clients, calm against under attack.
//
// Indexes photographs (every 5th of a folder's .jpg files, default
// /work/shared/data/wang1k) into a fresh database, starts the real
// `kivo serve` on it (2 workers, 128 connection slots, 5 s request timeout),
// and runs rounds of a bounded time in which 16 clients, each on its own
// kept-alive connection, ask query-by-key requests one after another. The
// rounds alternate between calm (nothing else) and under attack, where at the
// same time:
//   - 300 connections send a request head a byte at a time and never end it,
//   - 40 connections send a head and stop part-way through the body,
//   - 40 connections are opened and left silent,
//   - a loop sends malformed and oversized requests on new connections;
// every hostile connection the server closes is opened again. Alternating
// makes calm and attack rounds meet the same load from the rest of the
// machine. Every answer is compared with the one the first calm request of
// its key got.
//
// Prints, per kind of round: requests per second, 50th and 99th percentile
// and worst latency, errors (a failed connection, a status other than 200,
// an answer that differs), and for the attack the hostile connections the
// server closed.
//
// Usage: bench_web_load [kivo-path [photo-folder [seconds-per-round]]]
//   (defaults: kivo beside the benchmarks' build directory or in $KIVO_BIN;
//   the folder above; 4 seconds; 3 rounds of each kind).
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClients = 16;
constexpr int kRounds = 3;
constexpr int kSlowHeads = 300;
constexpr int kSlowBodies = 40;
constexpr int kSilent = 40;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

int Spawn(const std::vector<std::string>& args, int stderrFd, pid_t* pid) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
  const int rc = posix_spawn(pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

bool RunToEnd(const std::vector<std::string>& args) {
  pid_t pid;
  if (Spawn(args, -1, &pid) != 0) return false;
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int Connect(int port, int timeoutSeconds) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{timeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A kept-alive connection that reads answers by their Content-Length.
struct Connection {
  int fd = -1;
  std::string buffer;
  ~Connection() { Close(); }
  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    buffer.clear();
  }
  long retries = 0;
  // The status and body of the answer to request; -1 when the exchange
  // failed. As browsers do, a request that fails on a kept-alive connection
  // (the server may have closed it meanwhile) is sent once more on a new one.
  int Ask(int port, const std::string& request, std::string* body) {
    const bool reused = fd >= 0;
    const int status = Once(port, request, body);
    if (status >= 0 || !reused) return status;
    ++retries;
    return Once(port, request, body);
  }

 private:
  int Once(int port, const std::string& request, std::string* body) {
    if (fd < 0 && (fd = Connect(port, 30)) < 0) return -1;
    if (!SendAll(fd, request)) return Fail();
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill()) return Fail();
    }
    const std::string head = buffer.substr(0, end);
    buffer.erase(0, end + 4);
    const size_t at = head.find("Content-Length: ");
    if (head.compare(0, 9, "HTTP/1.1 ") != 0 || at == std::string::npos) return Fail();
    const int status = std::atoi(head.c_str() + 9);
    const size_t length = std::strtoul(head.c_str() + at + 16, nullptr, 10);
    while (buffer.size() < length) {
      if (!Fill()) return Fail();
    }
    body->assign(buffer, 0, length);
    buffer.erase(0, length);
    if (head.find("Connection: close") != std::string::npos) Close();
    return status;
  }

  bool Fill() {
    char chunk[65536];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
    return true;
  }
  int Fail() {
    Close();
    return -1;
  }
};

struct RoundResult {
  std::vector<double> latencies;
  long errors = 0;
  long retries = 0;
  double seconds = 0;
};

// The kivo serve process; its port from its first line.
struct Server {
  pid_t pid = -1;
  int port = 0;
  bool Start(const std::string& kivo, const std::string& db, const std::string& thumbs) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    const int rc = Spawn({kivo, "serve", "-d", db, "--port", "0", "--threads", "2", "--max-connections", "128",
                          "--request-timeout", "5", "--thumbnails", thumbs},
                         fds[1], &pid);
    ::close(fds[1]);
    if (rc != 0) {
      ::close(fds[0]);
      pid = -1;
      return false;
    }
    FILE* f = ::fdopen(fds[0], "r");
    char line[512];
    if (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
      const char* colon = std::strrchr(line, ':');
      if (colon != nullptr) port = std::atoi(colon + 1);
    }
    // Whatever else it says goes to our standard error.
    std::thread([f] {
      char buffer[1024];
      while (f != nullptr && std::fgets(buffer, sizeof buffer, f) != nullptr) std::fputs(buffer, stderr);
    }).detach();
    return port > 0;
  }
  ~Server() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      int status;
      ::waitpid(pid, &status, 0);
    }
  }
};

// The hostile peers of an attack round, kept up until stop.
class Attack {
 public:
  explicit Attack(int port) : port_(port) {}
  void Run(const std::atomic<bool>& stop) {
    std::thread malformed([&] { Malformed(stop); });
    struct Peer {
      int kind;  // 0 slow head, 1 stalled body, 2 silent
      int fd = -1;
      size_t sent = 0;
    };
    std::vector<Peer> peers;
    for (int i = 0; i < kSlowHeads; ++i) peers.push_back({0});
    for (int i = 0; i < kSlowBodies; ++i) peers.push_back({1});
    for (int i = 0; i < kSilent; ++i) peers.push_back({2});
    const std::string head = "GET /api/catalogs HTTP/1.1\r\nHost: bench\r\nX-Slow: " + std::string(4000, 'z');
    const std::string body =
        "POST /api/query?catalog=photos HTTP/1.1\r\nContent-Type: image/jpeg\r\nContent-Length: 1000000\r\n\r\n" +
        std::string(2000, 'b');
    while (!stop.load()) {
      for (Peer& p : peers) {
        if (p.fd >= 0) {
          // A closed connection shows as readable with nothing to read.
          pollfd q{p.fd, POLLIN, 0};
          char sink[256];
          if (::poll(&q, 1, 0) > 0 && ::recv(p.fd, sink, sizeof sink, MSG_DONTWAIT) <= 0) {
            ::close(p.fd);
            p.fd = -1;
            ++closedByServer;
          }
        }
        if (p.fd < 0) {
          p.fd = Connect(port_, 1);
          p.sent = 0;
          if (p.fd < 0) continue;
          ++opened;
          if (p.kind == 1 && !SendAll(p.fd, body)) continue;
        }
        if (p.kind == 0 && p.sent < head.size()) {
          if (::send(p.fd, head.data() + p.sent, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++p.sent;
        }
      }
      ::usleep(100000);
    }
    for (Peer& p : peers) {
      if (p.fd >= 0) ::close(p.fd);
    }
    malformed.join();
  }

  std::atomic<long> opened{0}, closedByServer{0}, malformedAnswered{0}, malformedUnanswered{0};

 private:
  void Malformed(const std::atomic<bool>& stop) {
    const std::string cases[] = {
        "garbage\r\n\r\n",
        "GET / HTTP/9.9\r\n\r\n",
        "GET /api/query?" + std::string(20000, 'q') + " HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nX: " + std::string(40000, 'h') + "\r\n\r\n",
        "POST /api/query HTTP/1.1\r\nContent-Length: 999999999999\r\n\r\n",
        "POST /api/query HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 9\r\n\r\n{not json",
        "POST /api/query HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
    };
    for (size_t i = 0; !stop.load(); ++i) {
      Connection c;
      std::string reply;
      const int status = c.Ask(port_, cases[i % (sizeof cases / sizeof cases[0])], &reply);
      if (status >= 400 && reply.find("\"error\"") != std::string::npos) {
        ++malformedAnswered;
      } else {
        if (std::getenv("KIVO_BENCH_VERBOSE") != nullptr) {
          std::fprintf(stderr, "bench_web_load: malformed request %zu: status %d: %s\n",
                       i % (sizeof cases / sizeof cases[0]), status, reply.c_str());
        }
        ++malformedUnanswered;
      }
      ::usleep(20000);
    }
  }
  int port_;
};

RoundResult Round(int port, const std::vector<std::string>& keys, double seconds,
                  std::map<std::string, std::string>* expected, std::mutex* mutex) {
  RoundResult result;
  std::mutex merge;
  std::vector<std::thread> clients;
  const Clock::time_point start = Clock::now();
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      Connection conn;
      std::vector<double> mine;
      long errors = 0;
      for (size_t i = static_cast<size_t>(c); Seconds(start, Clock::now()) < seconds; i += kClients) {
        const std::string& key = keys[i % keys.size()];
        const std::string request =
            "GET /api/query?catalog=photos&n=20&key=" + key + " HTTP/1.1\r\nHost: bench\r\n\r\n";
        std::string body;
        const Clock::time_point t0 = Clock::now();
        const int status = conn.Ask(port, request, &body);
        mine.push_back(Seconds(t0, Clock::now()) * 1000.0);
        bool same = true;
        if (status == 200) {
          std::lock_guard<std::mutex> lock(*mutex);
          auto it = expected->emplace(key, body).first;
          same = it->second == body;
        }
        if (status != 200 || !same) {
          if (errors++ == 0 && std::getenv("KIVO_BENCH_VERBOSE") != nullptr) {
            std::fprintf(stderr, "bench_web_load: %s: status %d: %s\n", key.c_str(), status, body.c_str());
          }
        }
      }
      std::lock_guard<std::mutex> lock(merge);
      result.latencies.insert(result.latencies.end(), mine.begin(), mine.end());
      result.errors += errors;
      result.retries += conn.retries;
    });
  }
  for (std::thread& t : clients) t.join();
  result.seconds = Seconds(start, Clock::now());
  return result;
}

void Print(const char* name, std::vector<double> latencies, long errors, long retries, double seconds) {
  std::sort(latencies.begin(), latencies.end());
  const size_t n = latencies.size();
  if (n == 0) {
    std::printf("%-14s no answers\n", name);
    return;
  }
  const double p50 = latencies[(n - 1) / 2];
  const double p99 = latencies[std::min(n - 1, static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n))) - 1)];
  std::printf("%-14s %7.1f req/s  p50 %7.2f ms  p99 %7.2f ms  worst %8.2f ms  errors %ld of %zu  resent %ld\n",
              name, static_cast<double>(n) / seconds, p50, p99, latencies.back(), errors, n, retries);
}

std::string DefaultKivo(const char* argv0) {
  const char* bin = std::getenv("KIVO_BIN");
  if (bin != nullptr && bin[0] != '\0') return std::string(bin) + "/kivo";
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv0);
  path = path.substr(0, path.rfind('/'));  // .../build/bench
  return path.substr(0, path.rfind('/')) + "/kivo";
}

// Every 5th .jpg of each folder below root (sorted), copied into dir/<folder>/.
std::vector<std::string> CopyPhotos(const std::string& root, const std::string& dir) {
  std::vector<std::string> keys;
  DIR* top = ::opendir(root.c_str());
  if (top == nullptr) return keys;
  std::vector<std::string> folders;
  while (dirent* e = ::readdir(top)) {
    if (e->d_name[0] != '.') folders.push_back(e->d_name);
  }
  ::closedir(top);
  std::sort(folders.begin(), folders.end());
  for (const std::string& folder : folders) {
    DIR* d = ::opendir((root + "/" + folder).c_str());
    if (d == nullptr) continue;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".jpg") == 0) names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    ::mkdir((dir + "/" + folder).c_str(), 0755);
    for (size_t i = 0; i < names.size(); i += 5) {
      if (RunToEnd({"/bin/cp", root + "/" + folder + "/" + names[i], dir + "/" + folder + "/" + names[i]})) {
        keys.push_back(folder + "/" + names[i]);
      }
    }
  }
  return keys;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::string kivo = argc > 1 && std::strcmp(argv[1], "-") != 0 ? argv[1] : DefaultKivo(argv[0]);
  const std::string photos = argc > 2 ? argv[2] : "/work/shared/data/wang1k";
  const double seconds = argc > 3 ? std::atof(argv[3]) : 4.0;
  const char* tmp = std::getenv("KIVO_TEST_TMP");
  std::string dir = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/web_load.XXXXXX";
  ::mkdir(dir.substr(0, dir.rfind('/')).c_str(), 0755);
  if (::mkdtemp(&dir[0]) == nullptr) {
    std::perror("bench_web_load: mkdtemp");
    return 1;
  }
  const std::string images = dir + "/photos", db = dir + "/db";
  ::mkdir(images.c_str(), 0755);
  const std::vector<std::string> keys = CopyPhotos(photos, images);
  int rc = 0;
  if (keys.empty()) {
    std::fprintf(stderr, "bench_web_load: no .jpg photographs in the folders of %s\n", photos.c_str());
    rc = 1;
  } else if (!RunToEnd({kivo, "index", "-q", "-d", db, "-c", "photos", images})) {
    std::fprintf(stderr, "bench_web_load: %s index failed\n", kivo.c_str());
    rc = 1;
  } else {
    Server server;
    if (!server.Start(kivo, db, dir + "/thumbnails")) {
      std::fprintf(stderr, "bench_web_load: %s serve did not start\n", kivo.c_str());
      rc = 1;
    } else {
      std::printf("kivo serve, %zu photographs, %d clients asking the best 20 by key, %d rounds of %.0f s each\n",
                  keys.size(), kClients, kRounds, seconds);
      std::printf("attack: %d slow heads, %d stalled bodies, %d silent connections, malformed requests; "
                  "server: 2 workers, 128 connection slots\n",
                  kSlowHeads, kSlowBodies, kSilent);
      std::map<std::string, std::string> expected;
      std::mutex mutex;
      std::vector<double> calm, attacked;
      long calmErrors = 0, attackErrors = 0, calmRetries = 0, attackRetries = 0;
      double calmSeconds = 0, attackSeconds = 0;
      long opened = 0, closed = 0, answered = 0, unanswered = 0;
      for (int r = 0; r < kRounds; ++r) {
        RoundResult c = Round(server.port, keys, seconds, &expected, &mutex);
        calm.insert(calm.end(), c.latencies.begin(), c.latencies.end());
        calmErrors += c.errors;
        calmRetries += c.retries;
        calmSeconds += c.seconds;

        Attack attack(server.port);
        std::atomic<bool> stop{false};
        std::thread hostile([&] { attack.Run(stop); });
        ::sleep(1);  // the hostile peers in place first
        RoundResult a = Round(server.port, keys, seconds, &expected, &mutex);
        stop.store(true);
        hostile.join();
        attacked.insert(attacked.end(), a.latencies.begin(), a.latencies.end());
        attackErrors += a.errors;
        attackRetries += a.retries;
        attackSeconds += a.seconds;
        opened += attack.opened.load();
        closed += attack.closedByServer.load();
        answered += attack.malformedAnswered.load();
        unanswered += attack.malformedUnanswered.load();
      }
      Print("calm", calm, calmErrors, calmRetries, calmSeconds);
      Print("under attack", attacked, attackErrors, attackRetries, attackSeconds);
      std::printf("hostile connections opened %ld, closed by the server %ld; malformed requests answered with a "
                  "JSON error %ld, not %ld\n",
                  opened, closed, answered, unanswered);
      if (calmErrors + attackErrors > 0 || unanswered > 0) rc = 1;
    }
  }
  RunToEnd({"/bin/rm", "-rf", dir});
  return rc;
}
