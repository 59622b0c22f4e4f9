// The event loop with a line protocol of its own (a request is a line, the
// answer is the line in capitals, and the connection stays open for the
// next): answers, several requests on one connection, shedding and refusal
// at the bound, the request deadline, and the stop.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvEventLoop.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// What the protocols of one loop saw, and a gate that holds Work back.
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = true;  // Work proceeds
  int working = 0;
  std::vector<std::string> ends;

  void WaitForWorking(int n) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return working >= n; });
  }
  void SetOpen(bool value) {
    std::lock_guard<std::mutex> lock(mutex);
    open = value;
    changed.notify_all();
  }
  size_t Ends(const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (const std::string& e : ends) n += e == reason;
    return n;
  }
};

class LineProtocol : public KvProtocol {
 public:
  explicit LineProtocol(Shared& shared) : shared_(shared) {}
  KvNext OnBytes(const unsigned char* data, size_t n, std::string&) override {
    line_.append(reinterpret_cast<const char*>(data), n);
    return line_.find('\n') != std::string::npos ? KvNext::kWork : KvNext::kRead;
  }
  void Work(KvWorkerState*) override {
    std::unique_lock<std::mutex> lock(shared_.mutex);
    ++shared_.working;
    shared_.changed.notify_all();
    shared_.changed.wait(lock, [&] { return shared_.open; });
    --shared_.working;
    const size_t end = line_.find('\n') + 1;
    answer_ = line_.substr(0, end);
    line_.erase(0, end);
    for (char& c : answer_) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  KvNext OnWorked(std::string& out) override {
    out += answer_;
    answer_.clear();
    if (out == "QUIT\n") return KvNext::kClose;
    return line_.find('\n') != std::string::npos ? KvNext::kWork : KvNext::kRead;
  }
  bool InRequest() const override { return !line_.empty(); }
  void OnEnd(const KvConnectionEnd& end) override {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.ends.push_back(end.clean ? "clean" : end.reason);
  }

 private:
  Shared& shared_;
  std::string line_;
  std::string answer_;
};

// A loop on a free loopback port, run on its own thread.
class Loop {
 public:
  explicit Loop(const KvLoopLimits& limits, int workers = 2)
      : pool_(workers, nullptr),
        loop_(limits, [this](const std::string&) { return std::make_unique<LineProtocol>(shared); }, pool_) {
    loop_.SetRefusalHook([this](const std::string&) { ++refused; });
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd, 128), 0);
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
    thread_ = std::thread([this, fd] { rc = loop_.Run(fd); });
  }
  ~Loop() {
    Stop();
    Join();
  }
  void Stop() { loop_.Stop(); }
  void Join() {
    shared.SetOpen(true);
    if (thread_.joinable()) thread_.join();
  }

  Shared shared;
  int port = 0;
  std::atomic<int> refused{0};
  int rc = -2;

 private:
  KvWorkerPool pool_;
  KvEventLoop loop_;
  std::thread thread_;
};

class Peer {
 public:
  explicit Peer(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval t{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  bool connected() const { return connected_; }
  ~Peer() { ::close(fd_); }
  bool Send(const std::string& s) { return ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == ssize_t(s.size()); }
  // Up to n bytes; fewer at close or after the timeout.
  std::string Receive(size_t n) {
    std::string out;
    char buffer[256];
    while (out.size() < n) {
      const ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
      if (got <= 0) break;
      out.append(buffer, static_cast<size_t>(got));
    }
    return out;
  }
  bool Closed() { return Receive(1).empty(); }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST(EventLoop, AnswersRequestsInOrderOnOneConnection) {
  Loop loop(KvLoopLimits{});
  Peer a(loop.port), b(loop.port);
  // Two requests in one send, and one in pieces.
  ASSERT_TRUE(a.Send("one\ntwo\n"));
  ASSERT_TRUE(b.Send("thr"));
  ASSERT_TRUE(b.Send("ee\n"));
  EXPECT_EQ(a.Receive(8), "ONE\nTWO\n");
  EXPECT_EQ(b.Receive(6), "THREE\n");
  ASSERT_TRUE(a.Send("quit\n"));
  EXPECT_EQ(a.Receive(5), "QUIT\n");
  EXPECT_TRUE(a.Closed());
  loop.Stop();
  loop.Join();
  EXPECT_EQ(loop.rc, 0);
  EXPECT_EQ(loop.shared.Ends("clean"), 1u);
  EXPECT_EQ(loop.shared.Ends(kKvEndStopping), 1u);
}

TEST(EventLoop, ShedsTheLongestIdleAndRefusesWhenAllAreBusy) {
  KvLoopLimits limits;
  limits.maxConnections = 2;
  Loop loop(limits, 1);
  loop.shared.SetOpen(false);
  Peer busy(loop.port);
  ASSERT_TRUE(busy.Send("held\n"));
  loop.shared.WaitForWorking(1);
  Peer idle(loop.port);
  std::this_thread::sleep_for(milliseconds(50));
  // The table is full: the idle one makes room for the newcomer.
  Peer newcomer(loop.port);
  EXPECT_TRUE(idle.Closed());
  ASSERT_TRUE(newcomer.Send("new\n"));  // waits for the only worker: not idle any more
  std::this_thread::sleep_for(milliseconds(50));
  Peer refused(loop.port);
  EXPECT_TRUE(refused.Closed());
  EXPECT_EQ(loop.refused.load(), 1);
  loop.shared.SetOpen(true);
  EXPECT_EQ(busy.Receive(5), "HELD\n");
  EXPECT_EQ(newcomer.Receive(4), "NEW\n");
  EXPECT_EQ(loop.shared.Ends(kKvEndShed), 1u);
}

// A peer that keeps sending bytes of a request it never finishes makes no
// progress: at the bound it goes before a younger peer that has sent
// nothing yet.
TEST(EventLoop, ShedsThePeerWithoutProgressNotTheLastToSendAByte) {
  KvLoopLimits limits;
  limits.maxConnections = 2;
  Loop loop(limits, 1);
  Peer trickle(loop.port);
  ASSERT_TRUE(trickle.Send("a"));
  std::this_thread::sleep_for(milliseconds(50));
  Peer quiet(loop.port);
  std::this_thread::sleep_for(milliseconds(50));
  ASSERT_TRUE(trickle.Send("b"));
  std::this_thread::sleep_for(milliseconds(50));
  Peer newcomer(loop.port);
  EXPECT_TRUE(trickle.Closed());
  ASSERT_TRUE(newcomer.Send("new\n"));
  EXPECT_EQ(newcomer.Receive(4), "NEW\n");
  ASSERT_TRUE(quiet.Send("still here\n"));
  EXPECT_EQ(quiet.Receive(11), "STILL HERE\n");
  EXPECT_EQ(loop.shared.Ends(kKvEndShed), 1u);
}

TEST(EventLoop, DropsIdlePeersAndRequestsThatTakeTooLong) {
  KvLoopLimits limits;
  limits.idleTimeoutMs = 300;
  limits.requestTimeoutMs = 600;
  Loop loop(limits);
  Peer idle(loop.port), trickle(loop.port), quick(loop.port);
  const auto start = steady_clock::now();
  // A byte every 100 ms is never idle, but the request never completes.
  std::thread sender([&] {
    for (int i = 0; i < 15; ++i) {
      if (!trickle.Send("x")) return;
      std::this_thread::sleep_for(milliseconds(100));
    }
  });
  ASSERT_TRUE(quick.Send("fast\n"));
  EXPECT_EQ(quick.Receive(5), "FAST\n");
  EXPECT_TRUE(idle.Closed());
  EXPECT_TRUE(trickle.Closed());
  const auto took = steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(500));
  EXPECT_LT(took, milliseconds(1200));
  sender.join();
  EXPECT_EQ(loop.shared.Ends(kKvEndTooLong), 1u);
  EXPECT_GE(loop.shared.Ends(kKvEndIdle), 1u);
}

TEST(EventLoop, StopClosesTheIdleAtOnceAndFinishesTheWork) {
  Loop loop(KvLoopLimits{});
  loop.shared.SetOpen(false);
  Peer working(loop.port), partial(loop.port), idle(loop.port);
  ASSERT_TRUE(working.Send("last\n"));
  ASSERT_TRUE(partial.Send("half"));
  loop.shared.WaitForWorking(1);
  std::this_thread::sleep_for(milliseconds(50));
  loop.Stop();
  EXPECT_TRUE(idle.Closed());
  EXPECT_TRUE(partial.Closed());
  // Nothing new is accepted.
  Peer late(loop.port);
  EXPECT_FALSE(late.connected());
  loop.shared.SetOpen(true);
  EXPECT_EQ(working.Receive(5), "LAST\n");
  EXPECT_TRUE(working.Closed());
  loop.Join();
  EXPECT_EQ(loop.rc, 0);
  EXPECT_EQ(loop.shared.Ends(kKvEndStopping), 3u);
}

TEST(EventLoop, StopGraceEndsWorkThatRunsOver) {
  KvLoopLimits limits;
  limits.stopGraceMs = 200;
  Loop loop(limits, 1);
  loop.shared.SetOpen(false);
  Peer running(loop.port), waiting(loop.port);
  ASSERT_TRUE(running.Send("a\n"));
  loop.shared.WaitForWorking(1);
  ASSERT_TRUE(waiting.Send("b\n"));  // queued behind the only worker
  std::this_thread::sleep_for(milliseconds(50));
  const auto start = steady_clock::now();
  loop.Stop();
  // The queued request is dropped when the grace is over; the running one
  // is closed as soon as its work comes back, without its answer.
  EXPECT_TRUE(waiting.Closed());
  EXPECT_GE(steady_clock::now() - start, milliseconds(150));
  loop.shared.SetOpen(true);
  EXPECT_TRUE(running.Closed());
  loop.Join();
  EXPECT_EQ(loop.shared.Ends(kKvEndStopping), 2u);
}

}  // namespace
