#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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

namespace {

// Feeds wire to x in 64 KiB reads, as the event loop does; the steps seen
// after each read.
std::vector<KvQueryExchange::Step> FeedInReads(KvQueryExchange& x, const std::string& wire, std::string& out) {
  std::vector<KvQueryExchange::Step> steps;
  for (size_t at = 0; at < wire.size(); at += 65536) {
    const size_t n = std::min<size_t>(65536, wire.size() - at);
    steps.push_back(x.Feed(reinterpret_cast<const unsigned char*>(wire.data()) + at, n, out));
  }
  return steps;
}

std::string Wire(const std::string& text) { return std::to_string(text.size() + 1) + '\0' + text + '\0'; }

// A long text the refusal turns down is read to its end, never reaches
// kEvaluate, and is answered status -1 with no result only after its last
// byte; one it lets through arrives whole. Short texts are not looked at.
TEST(QueryService, LongTextsRefusedAsTheyArrive) {
  struct Seen {
    size_t calls = 0;
    size_t prefix = 0;
    bool whole = false;
  };
  auto refusal = [](Seen* seen, bool refuse) {
    return [seen, refuse](std::string_view prefix, bool whole, std::string* message) {
      ++seen->calls;
      seen->prefix = prefix.size();
      seen->whole = whole;
      *message = "refused here";
      return refuse;
    };
  };
  const std::string text = "q " + std::string(3u << 20, 'a');
  {
    Seen seen;
    KvQueryExchange x{KvServiceLimits()};
    x.SetRefusal(refusal(&seen, true));
    std::string out;
    const std::vector<KvQueryExchange::Step> steps = FeedInReads(x, Wire(text), out);
    for (size_t i = 0; i + 1 < steps.size(); ++i) ASSERT_EQ(steps[i], KvQueryExchange::Step::kNeedBytes) << i;
    EXPECT_EQ(steps.back(), KvQueryExchange::Step::kDone);
    EXPECT_EQ(seen.calls, 1u);
    // Looked at as soon as the first kRefusalPrefix bytes are in.
    EXPECT_GE(seen.prefix, KvQueryExchange::kRefusalPrefix);
    EXPECT_LT(seen.prefix, KvQueryExchange::kRefusalPrefix + 65536);
    EXPECT_FALSE(seen.whole);
    EXPECT_EQ(x.refusedWith(), "refused here");
    EXPECT_EQ(out, std::string("okay", 4) + std::string(12, '\0') + "0 -1" + std::string(12, '\0'));
    EXPECT_EQ(x.result().status, -1);
    EXPECT_TRUE(x.result().completed);
    EXPECT_EQ(x.result().querySize, text.size() + 1);
  }
  {
    Seen seen;
    KvQueryExchange x{KvServiceLimits()};
    x.SetRefusal(refusal(&seen, false));
    std::string out;
    EXPECT_EQ(FeedInReads(x, Wire(text), out).back(), KvQueryExchange::Step::kEvaluate);
    EXPECT_EQ(seen.calls, 1u);
    EXPECT_TRUE(x.refusedWith().empty());
    ASSERT_NE(x.Text(), nullptr);
    EXPECT_EQ(std::string(x.Text()), text);
  }
  {
    // A NUL early in the text ends it: the refusal sees it whole.
    Seen seen;
    KvQueryExchange x{KvServiceLimits()};
    x.SetRefusal(refusal(&seen, true));
    std::string out;
    std::string cut = text;
    cut[10] = '\0';
    EXPECT_EQ(FeedInReads(x, Wire(cut), out).back(), KvQueryExchange::Step::kDone);
    EXPECT_EQ(seen.prefix, 10u);
    EXPECT_TRUE(seen.whole);
  }
  {
    Seen seen;
    KvQueryExchange x{KvServiceLimits()};
    x.SetRefusal(refusal(&seen, true));
    std::string out;
    EXPECT_EQ(FeedInReads(x, Wire("q " + std::string(200000, 'a')), out).back(), KvQueryExchange::Step::kEvaluate);
    EXPECT_EQ(seen.calls, 0u);
  }
}

// The refusal KvQSrv uses gives the message the evaluation records.
TEST(QueryService, MalformedQueryRefusalNamesTheOffset) {
  std::string message;
  EXPECT_TRUE(KvRefuseMalformedQuery("q " + std::string(65536, 'a'), false, &message));
  EXPECT_NE(message.find("KIVO error: KvQueryServerClass::Evaluate: malformed query text: the query text must "
                         "begin with the word \"query\" at offset 1"),
            std::string::npos)
      << message;
  EXPECT_FALSE(KvRefuseMalformedQuery("query 5 cat { [ F <W=1> <" + std::string(65536, 'a'), false, &message));
  EXPECT_TRUE(KvRefuseMalformedQuery("query 5 cat", true, &message));
  EXPECT_FALSE(KvRefuseMalformedQuery("query 5 cat { }", true, &message));
}

}  // namespace
