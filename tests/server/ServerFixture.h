// The query server under test: a catalog built once by the real KvMkDbs from
// generated image files and test images, the process-wide connection on it
// (for evaluating the same texts in process), a KvQSrv process on a free
// loopback port with its log collected line by line, and raw sockets for
// peers that misbehave.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvFactory.h"
#include "KvTestUtil.h"
#include "core/KvDatum.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "query/KvQuery.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

extern char** environ;

namespace stest {

// A program of the build under test.
inline std::string Bin(const char* program) {
  const char* bin = std::getenv("KIVO_BIN");
  return std::string(bin != nullptr && bin[0] != '\0' ? bin : ".") + "/" + program;
}

// Runs a program to completion with stdout and stderr in logFile; its exit
// status, or -1 when it could not run or was killed.
int Run(const std::vector<std::string>& args, const std::string& logFile);

// The database built once per test program: catalog "photos" with the
// average colour, histogram, texture, draw and keyword features over
// generated image files and single-colour test images. The process-wide
// connection is opened on it.
struct PhotoCatalog {
  std::string database;
  std::string imageDir;
  std::vector<std::string> files;  // image file names (keys), in imageDir
  std::vector<std::string> tests;  // "!@rRRgGGbBB" keys
  const KvConnectClass* connection = nullptr;
};
const PhotoCatalog& Photos();

// The query texts the tests send: several feature classes, memory images,
// stored keys, picker descriptions, a keyword, a restriction set, a cascade,
// and two that fail (unknown catalog, malformed text).
std::vector<std::string> QueryTexts();

// The query text of a stored key as example: its n nearest by one feature
// (with the class's default parameters) in catalog.
std::string StoredKeyQuery(const std::string& key, const char* feature, int n, const char* catalog = "photos");

// The query text of a generated picture of w x h pixels, written to path and
// sent as pixels: its 5 nearest by the colour histogram.
std::string PictureQuery(const std::string& path, int w, int h);

// A query evaluated in this process (on connection, else the process-wide
// one): the result's query-string form (empty when the evaluation failed)
// and the status.
struct Answer {
  std::string text;
  int status = 0;
  bool operator==(const Answer& o) const { return text == o.text && status == o.status; }
};
Answer InProcess(const std::string& queryText, const KvConnectClass* connection = nullptr);
// The same through a query client (one per call).
Answer ThroughClient(const std::string& queryText);

// A KvQSrv process. The log (standard error) is read line by line by a
// thread so the server never blocks on it.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts "KvQSrv -d <database> <extra...>" on a free port of 127.0.0.1
  // and waits for its listening line; the database is the photos' unless
  // given. False (with the log printed) otherwise.
  bool Start(const std::vector<std::string>& extra, const std::string& database = std::string());
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Makes the query client of this process talk to this server.
  void PointClientHere() const;

  // Sends the signal and waits for the exit; the exit status, or -1 when the
  // process died of a signal.
  int Stop(int signal = SIGTERM);
  std::vector<std::string> Log();
  std::string LogText();
  // Waits until count log lines contain text; false after the timeout.
  bool WaitForLog(const std::string& text, size_t count, int timeoutMs);

 private:
  void ReadLog(int fd);

  pid_t pid_ = -1;
  int port_ = 0;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

// Counts the log lines containing text.
size_t CountLines(const std::vector<std::string>& lines, const std::string& text);

// A plain TCP connection to 127.0.0.1:port with 10-second timeouts, for
// peers that misbehave. fd is -1 when the connection failed.
class RawPeer {
 public:
  explicit RawPeer(int port);
  ~RawPeer() { Close(); }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;
  bool Send(const std::string& bytes);
  // Up to n bytes, stopping early at close or timeout.
  std::string Receive(size_t n);
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// One listening socket on 127.0.0.1 playing a query server by hand: the
// handler runs on a thread with the first connection accepted (within 10 s).
class FakeServer {
 public:
  // port 0 picks a free port; ok() is false when it cannot listen there.
  explicit FakeServer(std::function<void(int fd)> handler, int port = 0);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;
  bool ok() const { return listen_ >= 0; }
  int port() const { return port_; }
  // Waits for the handler to finish; whether a connection came at all.
  bool Join();

 private:
  int listen_ = -1;
  int port_ = 0;
  bool accepted_ = false;
  std::thread thread_;
};

// Exactly n bytes from fd (shorter at close or a 10-second timeout).
std::string ReadBytes(int fd, size_t n);
bool WriteBytes(int fd, const std::string& bytes);

}  // namespace stest
