// The epoll event loop: accepting, reading, writing, deadlines, shedding,
// hand-over to the workers and the stop.
#include "KvEventLoop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

const char kKvEndPeerClosed[] = "peer closed the connection";
const char kKvEndIdle[] = "peer idle too long";
const char kKvEndTooLong[] = "exchange took too long";
const char kKvEndShed[] = "dropped: too many connections";
const char kKvEndStopping[] = "server stopping";

namespace {

constexpr uint64_t kWakeId = 1;
constexpr uint64_t kListenId = 2;
constexpr uint64_t kDoneId = 3;
constexpr size_t kReadChunk = 64 * 1024;
// Deadlines are looked at this often; they are meant in seconds.
constexpr int kSweepMs = 100;
// How long accepting pauses when descriptors run out and nothing can be shed.
constexpr int kAcceptPauseMs = 100;
constexpr int kMaxAcceptsPerWake = 64;
// Output buffers larger than this are freed, not kept, once sent.
constexpr size_t kKeepOutput = 64 * 1024;

int64_t NowMs() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

std::string ErrorText(int number) {
  char buffer[128];
  return strerror_r(number, buffer, sizeof buffer);
}

std::string PeerName(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

struct KvEventLoop::Connection {
  uint64_t id = 0;
  int fd = -1;
  std::unique_ptr<KvProtocol> protocol;
  std::string out;
  size_t sent = 0;
  // At a worker: the loop leaves the connection and its protocol alone.
  bool working = false;
  // The request has been served and its answer is on its way.
  bool answering = false;
  bool closeWhenSent = false;
  // Close as soon as the work comes back (the loop is stopping).
  bool dropAfterWork = false;
  uint32_t watched = 0;  // epoll interest; 0 = not registered
  Clock lastActivity = 0;
  // When the connection last made progress: accepted, a request complete or
  // an answer sent. Shedding goes by it, not by lastActivity, so that a peer
  // trickling a request it never finishes does not pass for a fresh one.
  Clock since = 0;
  Clock deadline = 0;  // of the current request's arrival or answer; 0 none
};

KvEventLoop::KvEventLoop(const KvLoopLimits& limits, ProtocolFactory factory, KvWorkerPool& pool)
    : limits_(limits), factory_(std::move(factory)), pool_(pool) {
  if (limits_.maxConnections == 0) limits_.maxConnections = 1;
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

KvEventLoop::~KvEventLoop() {
  for (auto& entry : connections_) {
    // Whatever still runs on a worker finishes before the pool goes; the
    // descriptors are released here.
    if (entry.second->fd >= 0) ::close(entry.second->fd);
  }
  if (listen_ >= 0) ::close(listen_);
  if (wake_ >= 0) ::close(wake_);
  if (epoll_ >= 0) ::close(epoll_);
}

void KvEventLoop::Stop() {
  stopRequested_.store(true);
  const uint64_t one = 1;
  // Async-signal-safe; the flag alone stops the loop at its next sweep.
  if (::write(wake_, &one, sizeof one) < 0) {
  }
}

int KvEventLoop::Run(int listenFd) {
  if (epoll_ < 0 || wake_ < 0 || !pool_.valid()) return -1;
  listen_ = listenFd;
  const int flags = ::fcntl(listen_, F_GETFL);
  if (flags < 0 || ::fcntl(listen_, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.u64 = kWakeId;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &e) != 0) return -1;
  e.data.u64 = kDoneId;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, pool_.DoneFd(), &e) != 0) return -1;
  e.data.u64 = kListenId;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &e) != 0) return -1;
  listening_ = true;

  std::vector<epoll_event> events(256);
  Clock lastSweep = NowMs();
  for (;;) {
    if (stopRequested_.load() && !stopping_) BeginStop(NowMs());
    if (stopping_ && connections_.empty()) break;
    const int timeout = connections_.empty() && acceptPausedUntil_ == 0 && !stopping_ ? -1 : kSweepMs;
    const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeout);
    if (n < 0 && errno != EINTR) return -1;
    const Clock now = NowMs();
    for (int i = 0; i < n; ++i) {
      const uint64_t id = events[static_cast<size_t>(i)].data.u64;
      if (id == kWakeId) {
        uint64_t count;
        if (::read(wake_, &count, sizeof count) < 0) {
          // Nothing to read: the flag is what counts.
        }
      } else if (id == kListenId) {
        Accept(now);
      } else if (id == kDoneId) {
        WorkDone(now);
      } else {
        auto it = connections_.find(id);
        // A connection ended earlier in this round has no entry any more.
        if (it != connections_.end()) OnEvent(*it->second, events[static_cast<size_t>(i)].events, now);
      }
    }
    if (now - lastSweep >= kSweepMs || n == 0) {
      Sweep(now);
      lastSweep = now;
    }
  }
  return 0;
}

bool KvEventLoop::Evictable(const Connection& c) const { return !c.working && !c.answering; }

void KvEventLoop::Watch(Connection& c, uint32_t events) {
  if (events == c.watched) return;
  epoll_event e{};
  e.events = events;
  e.data.u64 = c.id;
  if (events == 0) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
  } else if (c.watched == 0) {
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &e);
  } else {
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &e);
  }
  c.watched = events;
}

void KvEventLoop::Accept(Clock now) {
  for (int i = 0; i < kMaxAcceptsPerWake && listening_; ++i) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: make room from the idle, or wait a little
        // instead of spinning on the pending connection.
        if (ShedOldestIdle()) continue;
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listen_, nullptr);
        listening_ = false;
        acceptPausedUntil_ = now + kAcceptPauseMs;
      }
      return;
    }
    const std::string name = PeerName(peer);
    if (connections_.size() >= limits_.maxConnections && !ShedOldestIdle()) {
      if (refused_) refused_(name);
      ::close(fd);
      continue;
    }
    std::unique_ptr<KvProtocol> protocol = factory_ ? factory_(name) : nullptr;
    if (protocol == nullptr) {
      ::close(fd);
      continue;
    }
    auto c = std::make_unique<Connection>();
    c->id = nextId_++;
    c->fd = fd;
    c->protocol = std::move(protocol);
    c->lastActivity = now;
    c->since = now;
    Connection& ref = *c;
    connections_.emplace(c->id, std::move(c));
    Watch(ref, EPOLLIN | EPOLLRDHUP);
    // A peer usually sends its request right after connecting, so it is
    // often here already: read it now, before further accepts of this round
    // can shed the connection as one that has sent nothing yet.
    Read(ref, now);
  }
}

bool KvEventLoop::ShedOldestIdle() {
  Connection* oldest = nullptr;
  for (auto& entry : connections_) {
    Connection& c = *entry.second;
    if (Evictable(c) && (oldest == nullptr || c.since < oldest->since)) oldest = &c;
  }
  if (oldest == nullptr) return false;
  End(*oldest, false, kKvEndShed);
  return true;
}

void KvEventLoop::OnEvent(Connection& c, uint32_t events, Clock now) {
  if (c.working) return;
  if ((events & EPOLLOUT) != 0 && c.sent < c.out.size()) {
    Write(c, now);
    return;  // the connection may be gone; the next round reads
  }
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) Read(c, now);
}

void KvEventLoop::Read(Connection& c, Clock now) {
  static thread_local unsigned char chunk[kReadChunk];
  const ssize_t got = ::recv(c.fd, chunk, sizeof chunk, 0);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    End(c, false, ErrorText(errno));
    return;
  }
  if (got == 0) {
    End(c, false, kKvEndPeerClosed);
    return;
  }
  const bool wasInRequest = c.protocol->InRequest();
  c.lastActivity = now;
  const KvNext next = c.protocol->OnBytes(chunk, static_cast<size_t>(got), c.out);
  if (!wasInRequest && !c.answering && c.deadline == 0) c.deadline = now + limits_.requestTimeoutMs;
  Proceed(c, next, now);
}

void KvEventLoop::Write(Connection& c, Clock now) {
  while (c.sent < c.out.size()) {
    const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        Watch(c, EPOLLOUT | EPOLLRDHUP);
        return;
      }
      End(c, false, ErrorText(errno));
      return;
    }
    c.sent += static_cast<size_t>(n);
    c.lastActivity = now;
  }
  if (c.out.capacity() > kKeepOutput) {
    std::string().swap(c.out);
  } else {
    c.out.clear();
  }
  c.sent = 0;
  if (c.closeWhenSent) {
    End(c, true, std::string());
    return;
  }
  if (c.answering && !c.protocol->InRequest()) {
    // The answer is complete: the connection is idle again.
    c.answering = false;
    c.deadline = 0;
    c.since = now;
    if (stopping_) {
      End(c, false, kKvEndStopping);
      return;
    }
  }
  Watch(c, EPOLLIN | EPOLLRDHUP);
}

void KvEventLoop::Proceed(Connection& c, KvNext next, Clock now) {
  switch (next) {
    case KvNext::kWork:
      Dispatch(c);
      return;
    case KvNext::kClose:
      c.closeWhenSent = true;
      break;
    case KvNext::kRead:
      break;
  }
  Write(c, now);
}

void KvEventLoop::Dispatch(Connection& c) {
  if (stopping_) {
    // Only requests complete before the stop are served.
    End(c, false, kKvEndStopping);
    return;
  }
  Watch(c, 0);
  c.working = true;
  c.answering = true;
  c.deadline = 0;
  pool_.Submit(c.id, c.protocol.get());
}

void KvEventLoop::WorkDone(Clock now) {
  for (uint64_t id : pool_.TakeDone()) {
    auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    Connection& c = *it->second;
    c.working = false;
    if (c.dropAfterWork) {
      End(c, false, kKvEndStopping);
      continue;
    }
    c.lastActivity = now;
    c.deadline = now + limits_.requestTimeoutMs;
    Proceed(c, c.protocol->OnWorked(c.out), now);
  }
}

void KvEventLoop::Sweep(Clock now) {
  if (!listening_ && !stopping_ && acceptPausedUntil_ != 0 && now >= acceptPausedUntil_) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = kListenId;
    listening_ = ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &e) == 0;
    acceptPausedUntil_ = 0;
  }
  if (stopping_ && now >= stopDeadline_) {
    // The grace is over: requests still waiting for a worker are dropped,
    // answers still on their way are cut, and work still running is closed
    // as soon as it comes back.
    for (uint64_t id : pool_.DropWaiting()) {
      auto it = connections_.find(id);
      if (it != connections_.end()) it->second->working = false;
    }
  }
  std::vector<Connection*> expired;
  std::vector<const char*> reasons;
  for (auto& entry : connections_) {
    Connection& c = *entry.second;
    if (c.working) {
      if (stopping_ && now >= stopDeadline_) c.dropAfterWork = true;
      continue;
    }
    const char* reason = nullptr;
    if (stopping_ && now >= stopDeadline_) {
      reason = kKvEndStopping;
    } else if (now - c.lastActivity >= limits_.idleTimeoutMs) {
      reason = kKvEndIdle;
    } else if (c.deadline != 0 && now >= c.deadline) {
      reason = kKvEndTooLong;
    }
    if (reason != nullptr) {
      expired.push_back(&c);
      reasons.push_back(reason);
    }
  }
  for (size_t i = 0; i < expired.size(); ++i) End(*expired[i], false, reasons[i]);
}

void KvEventLoop::BeginStop(Clock now) {
  stopping_ = true;
  stopDeadline_ = now + limits_.stopGraceMs;
  if (listen_ >= 0) {
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, listen_, nullptr);
    ::close(listen_);
    listen_ = -1;
  }
  listening_ = false;
  std::vector<Connection*> idle;
  for (auto& entry : connections_) {
    if (Evictable(*entry.second)) idle.push_back(entry.second.get());
  }
  for (Connection* c : idle) End(*c, false, kKvEndStopping);
}

void KvEventLoop::End(Connection& c, bool clean, const std::string& reason) {
  if (c.watched != 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
  ::close(c.fd);
  c.fd = -1;
  KvConnectionEnd end;
  end.clean = clean;
  end.reason = reason;
  c.protocol->OnEnd(end);
  connections_.erase(c.id);  // c is gone from here on
}
