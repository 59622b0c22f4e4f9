// An epoll event loop that multiplexes a listening socket's connections and
// hands each complete request to a worker pool.
//
// Rules it keeps for every connection, whatever the protocol:
//  - A connection reaches a worker only once the protocol says a whole
//    request has arrived; until then it costs a descriptor, its protocol
//    object and the bytes that protocol keeps.
//  - At most maxConnections are open. When one more arrives, the connection
//    that has made no progress for the longest (not in a request, or in one
//    still arriving; progress is being accepted, a request completing and an
//    answer sent, not a byte of a request that never ends) is dropped to make
//    room; when every connection is being served or answered, the newcomer is
//    refused.
//  - A peer that sends or takes nothing for idleTimeoutMs is dropped, and so
//    is one whose request takes longer than requestTimeoutMs to arrive, or
//    whose answer longer than that to be taken.
//  - Stop() stops accepting and closes idle connections and requests still
//    arriving at once; requests already complete are served and answered,
//    for at most stopGraceMs, then Run returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "KvProtocol.h"
#include "KvWorkerPool.h"

struct KvLoopLimits {
  size_t maxConnections = 1024;
  int idleTimeoutMs = 30000;
  int requestTimeoutMs = 300000;
  int stopGraceMs = 60000;
};

class KvEventLoop {
 public:
  // Makes the protocol object of a new connection from the peer's
  // "IP:PORT"; null refuses the connection.
  using ProtocolFactory = std::function<std::unique_ptr<KvProtocol>(const std::string& peer)>;
  // Told of each connection refused because the table is full.
  using RefusalHook = std::function<void(const std::string& peer)>;

  KvEventLoop(const KvLoopLimits& limits, ProtocolFactory factory, KvWorkerPool& pool);
  ~KvEventLoop();
  KvEventLoop(const KvEventLoop&) = delete;
  KvEventLoop& operator=(const KvEventLoop&) = delete;

  void SetRefusalHook(RefusalHook hook) { refused_ = std::move(hook); }

  // Serves listenFd (a listening TCP socket; made non-blocking, and closed
  // when stopping) until Stop. 0, or -1 when the loop cannot be set up.
  int Run(int listenFd);
  // Asks Run to stop. Safe from a signal handler and from any thread.
  void Stop();

  // Open connections (for tests and statistics; loop thread only).
  size_t OpenConnections() const { return connections_.size(); }

 private:
  struct Connection;
  using Clock = int64_t;  // monotonic milliseconds

  void Accept(Clock now);
  bool ShedOldestIdle();
  void OnEvent(Connection& c, uint32_t events, Clock now);
  void Read(Connection& c, Clock now);
  void Write(Connection& c, Clock now);
  void Proceed(Connection& c, KvNext next, Clock now);
  void Dispatch(Connection& c);
  void WorkDone(Clock now);
  void Sweep(Clock now);
  void BeginStop(Clock now);
  void End(Connection& c, bool clean, const std::string& reason);
  void Watch(Connection& c, uint32_t events);
  bool Evictable(const Connection& c) const;

  KvLoopLimits limits_;
  ProtocolFactory factory_;
  KvWorkerPool& pool_;
  RefusalHook refused_;
  int epoll_ = -1;
  int wake_ = -1;
  int listen_ = -1;
  bool listening_ = false;
  Clock acceptPausedUntil_ = 0;
  bool stopping_ = false;
  Clock stopDeadline_ = 0;
  std::atomic<bool> stopRequested_{false};
  uint64_t nextId_ = 16;  // ids below are the loop's own descriptors
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
};
