#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "KvTestUtil.h"
#include "core/KvBytes.h"
#include "query/KvQueryClient.h"
#include "query/KvQueryService.h"

namespace {

// A connected pair: the test plays the client on one end while the exchange
// runs on the other.
struct Pair {
  int client = -1;
  int server = -1;
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    client = fds[0];
    server = fds[1];
  }
  ~Pair() {
    if (client >= 0) close(client);
    if (server >= 0) close(server);
  }
};

KvQueryEvaluator Echo(std::string* seen) {
  return [seen](const char* text, KvDatumClass& reply) {
    *seen = text;
    const std::string answer = "<        14 >";
    reply.CopyBytes(answer.c_str(), answer.size() + 1, "test");
    return 0;
  };
}

std::string Send(int fd, const std::string& bytes) {
  EXPECT_EQ(KvSendSocket(fd, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()), bytes.size());
  return bytes;
}

std::string Receive(int fd, size_t n) {
  std::string out(n, '\0');
  out.resize(KvRecvSocket(fd, reinterpret_cast<unsigned char*>(&out[0]), n));
  return out;
}

TEST(QueryService, CompleteExchange) {
  Pair p;
  std::string seen;
  KvExchangeResult result;
  std::thread server([&] { KvServeQueryExchange(p.server, KvServiceLimits(), Echo(&seen), &result); });
  const std::string query = "query 5 cat\n{\n}\n";
  Send(p.client, std::to_string(query.size() + 1) + std::string(1, '\0'));
  EXPECT_EQ(Receive(p.client, 16).substr(0, 4), "okay");
  Send(p.client, query + std::string(1, '\0'));
  const std::string header = Receive(p.client, 16);
  EXPECT_STREQ(header.c_str(), "14 0");
  Send(p.client, std::string("okay\0\0", 6));
  EXPECT_EQ(Receive(p.client, 14), std::string("<        14 >\0", 14));
  unsigned char count[4];
  Encode32LE(count, 14);
  Send(p.client, std::string(reinterpret_cast<char*>(count), 4));
  server.join();
  EXPECT_TRUE(result.completed);
  EXPECT_EQ(seen, query);
  EXPECT_EQ(result.querySize, query.size() + 1);
}

TEST(QueryService, EmptyResultEndsAfterTheHeader) {
  Pair p;
  KvExchangeResult result;
  std::thread server([&] {
    KvServeQueryExchange(p.server, KvServiceLimits(), [](const char*, KvDatumClass&) { return 7; }, &result);
  });
  Send(p.client, std::string("2\0", 2));
  Receive(p.client, 16);
  Send(p.client, std::string("q\0", 2));
  EXPECT_STREQ(Receive(p.client, 16).c_str(), "0 7");
  server.join();
  EXPECT_TRUE(result.completed);
  EXPECT_EQ(result.status, 7);
}

TEST(QueryService, RefusesBadPeers) {
  struct Case {
    std::string bytes;
    const char* why;
  };
  KvServiceLimits limits;
  limits.maxQuerySize = 1000;
  limits.idleTimeoutMs = 200;
  const Case cases[] = {
      {std::string("1001\0", 5), "query larger than the server accepts"},
      {std::string("12x\0", 4), "malformed length announcement"},
      {std::string("\0", 1), "empty length announcement"},
      {std::string("0\0", 2), "zero length announcement"},
      {std::string(40, '9'), "malformed length announcement"},
      {std::string("10\0abc", 6), "peer closed the connection"},
      {std::string("12", 2), "peer closed the connection"},
  };
  for (const Case& c : cases) {
    Pair p;
    KvExchangeResult result;
    bool evaluated = false;
    std::thread server([&] {
      KvServeQueryExchange(p.server, limits, [&](const char*, KvDatumClass&) { evaluated = true; return 0; },
                           &result);
    });
    Send(p.client, c.bytes);
    shutdown(p.client, SHUT_WR);
    server.join();
    EXPECT_FALSE(result.completed) << c.why;
    EXPECT_FALSE(evaluated) << c.why;
    EXPECT_EQ(result.error, c.why);
  }
}

TEST(QueryService, HeaderThatCannotFitBecomesAnEmptyFailure) {
  Pair p;
  KvExchangeResult result;
  std::thread server([&] {
    KvServeQueryExchange(p.server, KvServiceLimits(),
                         [](const char*, KvDatumClass& reply) {
                           reply.CopyBytes(std::string(123456, 'x').c_str(), 123457, "test");
                           return -2000000000;
                         },
                         &result);
  });
  Send(p.client, std::string("2\0", 2));
  Receive(p.client, 16);
  Send(p.client, std::string("q\0", 2));
  EXPECT_STREQ(Receive(p.client, 16).c_str(), "0 -1");
  server.join();
  EXPECT_TRUE(result.completed);
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(result.resultSize, 0u);
}

TEST(QueryService, StalledPeerTimesOut) {
  Pair p;
  KvServiceLimits limits;
  limits.idleTimeoutMs = 100;
  KvExchangeResult result;
  std::thread server([&] {
    KvServeQueryExchange(p.server, limits, [](const char*, KvDatumClass&) { return 0; }, &result);
  });
  Send(p.client, std::string("100\0", 4));
  Receive(p.client, 16);
  Send(p.client, "only a little");
  server.join();
  EXPECT_FALSE(result.completed);
  EXPECT_EQ(result.error, "peer idle too long");
}

TEST(QueryService, SocketHelpersStopAtClose) {
  Pair p;
  Send(p.client, "abc");
  close(p.client);
  p.client = -1;
  unsigned char buffer[10];
  EXPECT_EQ(KvRecvSocket(p.server, buffer, sizeof buffer), 3u);
  EXPECT_LT(KvSendSocket(p.server, buffer, 1u << 20), 1u << 20);
}

}  // namespace

namespace {

// A text of several MiB fed in uneven pieces: it grows through the small
// buffer, the move to pages of its own and several remappings, and arrives
// byte for byte, cut at its NUL.
TEST(QueryService, LargeTextArrivesWholeThroughEveryGrowth) {
  std::string text(5u << 20, ' ');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + (i * 7919u) % 26);
  const std::string wire = std::to_string(text.size() + 1) + '\0' + text + '\0';
  KvServiceLimits limits;
  KvQueryExchange x(limits);
  std::string out;
  size_t at = 0, piece = 1;
  KvQueryExchange::Step step = KvQueryExchange::Step::kNeedBytes;
  while (at < wire.size() && step == KvQueryExchange::Step::kNeedBytes) {
    const size_t n = std::min(piece, wire.size() - at);
    step = x.Feed(reinterpret_cast<const unsigned char*>(wire.data()) + at, n, out);
    at += n;
    piece = piece * 3 + 1;  // 1, 4, 13, ... bytes: pieces across every boundary
    if (piece > 300000) piece = 65537;
  }
  ASSERT_EQ(step, KvQueryExchange::Step::kEvaluate);
  EXPECT_EQ(at, wire.size());
  ASSERT_NE(x.Text(), nullptr);
  EXPECT_EQ(std::strlen(x.Text()), text.size());
  EXPECT_TRUE(std::memcmp(x.Text(), text.data(), text.size()) == 0);
  KvDatumClass none;
  EXPECT_EQ(x.Answer(0, none, out), KvQueryExchange::Step::kDone);
  EXPECT_EQ(x.Text(), nullptr);
}

TEST(QueryService, TextBufferKeepsItsBytesAndReleases) {
  KvTextBuffer b;
  std::string all;
  for (size_t n : {size_t{10}, size_t{70000}, size_t{1} << 20, size_t{3} << 20, size_t{5}}) {
    const std::string more(n, static_cast<char>('A' + all.size() % 26));
    ASSERT_TRUE(b.Reserve(all.size() + n));
    EXPECT_GE(b.capacity(), all.size() + n);
    b.Append(more.data(), more.size());
    all += more;
    ASSERT_EQ(b.size(), all.size());
    EXPECT_TRUE(std::memcmp(b.data(), all.data(), all.size()) == 0) << n;
  }
  ASSERT_TRUE(b.Reserve(1));  // never shrinks
  EXPECT_GE(b.capacity(), all.size());
  b.Release();
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.capacity(), 0u);
  ASSERT_TRUE(b.Reserve(3));
  b.Append("xyz", 3);
  EXPECT_EQ(std::string(b.data(), 3), "xyz");
}

}  // namespace
