// The query client against servers played by hand: the defaults of host and
// port, the bytes of each step, replies split across reads, and servers that
// close early, send short or malformed replies, or announce too much.
#include "ServerFixture.h"
#include "core/KvBytes.h"
#include "query/KvQueryClient.h"

namespace {

using stest::FakeServer;
using stest::ReadBytes;
using stest::WriteBytes;

// A 16-byte block holding text and zeros.
std::string Block(const std::string& text) {
  std::string b = text;
  b.resize(16, '\0');
  return b;
}

// The announcement up to and including its zero byte.
std::string ReadAnnouncement(int fd) {
  std::string out;
  for (;;) {
    const std::string c = ReadBytes(fd, 1);
    if (c.empty()) return out;
    out += c;
    if (c[0] == '\0') return out;
  }
}

// Reads the announcement, acknowledges it and reads the text.
std::string ReadQuery(int fd) {
  const std::string announced = ReadAnnouncement(fd);
  WriteBytes(fd, Block("ack"));
  return ReadBytes(fd, std::strtoul(announced.c_str(), nullptr, 10));
}

// Writes bytes in pieces with a pause between them, so the client sees them
// in separate reads.
void WriteSplit(int fd, const std::string& bytes, size_t piece) {
  for (size_t at = 0; at < bytes.size(); at += piece) {
    WriteBytes(fd, bytes.substr(at, piece));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
}

class QueryClient : public ::testing::Test {
 protected:
  void SetUp() override {
    // The client takes its empty result set from the process-wide
    // connection, which must be the test catalog's.
    ASSERT_NE(stest::Photos().connection, nullptr);
  }
  void TearDown() override {
    Kvsetenv("KivoServerHost", nullptr);
    Kvsetenv("KivoServerPort", nullptr);
  }
  static void PointAt(int port) {
    Kvsetenv("KivoServerHost", "127.0.0.1");
    Kvsetenv("KivoServerPort", std::to_string(port).c_str());
  }
};

TEST_F(QueryClient, DefaultsToLocalhostPort5517) {
  ::unsetenv("KivoServerHost");
  ::unsetenv("KivoServerPort");
  // Unset, not a number, zero, empty: all mean 5517.
  const char* ports[] = {nullptr, "abc", "0", ""};
  for (const char* port : ports) {
    Kvsetenv("KivoServerHost", nullptr);
    Kvsetenv("KivoServerPort", port);
    std::string announced;
    FakeServer fake([&](int fd) { announced = ReadAnnouncement(fd); }, 5517);
    if (!fake.ok()) GTEST_SKIP() << "port 5517 is taken on this machine";
    KvQueryClientClass client;
    testing::internal::CaptureStderr();
    EXPECT_EQ(client.Evaluate("query 1 photos\n{\n}\n"), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fake.Join()) << (port != nullptr ? port : "(unset)");
    EXPECT_EQ(announced, std::string("20\0", 3));
  }
}

TEST_F(QueryClient, SendsEachStepExactly) {
  const std::string text(99, 'q');
  std::string announced, received, more = "unset";
  FakeServer fake([&](int fd) {
    announced = ReadAnnouncement(fd);
    WriteSplit(fd, Block("ack"), 5);
    received = ReadBytes(fd, 100);
    WriteSplit(fd, Block("0 7"), 9);
    // The client sends nothing more and closes.
    more = ReadBytes(fd, 1);
  });
  ASSERT_TRUE(fake.ok());
  PointAt(fake.port());
  KvQueryClientClass client;
  EXPECT_EQ(client.Evaluate(text.c_str()), nullptr);
  EXPECT_EQ(client.GetStatus(), 7);
  EXPECT_STREQ(GetErrorMSG(), "KIVO error: QueryClient: the server sent no result (status 7)");
  ASSERT_TRUE(fake.Join());
  EXPECT_EQ(announced, std::string("100\0", 4));
  EXPECT_EQ(received, text + '\0');
  EXPECT_EQ(more, "");
}

TEST_F(QueryClient, RebuildsTheResultAndCountsItsBytes) {
  std::unique_ptr<KvKeyDatabaseClass> set(stest::Photos().connection->NewKeyDatabase());
  auto* memory = dynamic_cast<KvKeyMemoryDatabaseClass*>(set.get());
  memory->InsertKey("b.png", 0.5f);
  memory->InsertKey("a.png", 0.25f);
  memory->InsertKey("c.png", 2.0f);
  KvDatumClass d;
  ASSERT_EQ(set->ToQueryString(d), 0);
  const std::string result = kvtest::Bytes(d);
  std::string okay, count, more = "unset";
  FakeServer fake([&](int fd) {
    ReadQuery(fd);
    WriteBytes(fd, Block(std::to_string(result.size()) + " 0"));
    okay = ReadBytes(fd, 6);
    WriteSplit(fd, result, 7);
    count = ReadBytes(fd, 4);
    more = ReadBytes(fd, 1);
  });
  ASSERT_TRUE(fake.ok());
  PointAt(fake.port());
  KvQueryClientClass client;
  KvKeyDatabaseClass* got = client.Evaluate("query 3 photos\n{\n}\n");
  ASSERT_NE(got, nullptr) << GetErrorMSG();
  EXPECT_EQ(client.GetStatus(), 0);
  KvDatumClass again;
  ASSERT_EQ(got->ToQueryString(again), 0);
  EXPECT_EQ(kvtest::Bytes(again), result);
  ASSERT_TRUE(fake.Join());
  EXPECT_EQ(okay, std::string("okay\0\0", 6));
  unsigned char expected[4];
  Encode32LE(expected, static_cast<uint32_t>(result.size()));
  EXPECT_EQ(count, std::string(reinterpret_cast<char*>(expected), 4));
  EXPECT_EQ(more, "");
}

TEST_F(QueryClient, BrokenServersEndWithAnError) {
  struct Case {
    const char* what;
    std::function<void(int)> serve;
    const char* error;
  };
  const Case cases[] = {
      {"closes at once", [](int) {}, "the server closed the connection or did not answer"},
      {"short acknowledgement",
       [](int fd) {
         ReadAnnouncement(fd);
         WriteBytes(fd, "12345678");
       },
       "the server closed the connection or did not answer"},
      {"no reply header",
       [](int fd) { ReadQuery(fd); },
       "the server closed the connection or did not answer"},
      {"short reply header",
       [](int fd) {
         ReadQuery(fd);
         WriteBytes(fd, "12 0");
       },
       "the server closed the connection or did not answer"},
      {"header not numbers",
       [](int fd) {
         ReadQuery(fd);
         WriteBytes(fd, Block("abc"));
       },
       "malformed reply header"},
      {"header without status",
       [](int fd) {
         ReadQuery(fd);
         WriteBytes(fd, Block("17"));
       },
       "malformed reply header"},
      {"size beyond any result",
       [](int fd) {
         ReadQuery(fd);
         WriteBytes(fd, Block("1000000000 0"));
       },
       "announced an oversized result"},
      {"negative size",
       [](int fd) {
         ReadQuery(fd);
         WriteBytes(fd, Block("-5 0"));
       },
       "announced an oversized result"},
      {"large size, few bytes",
       [](int fd) {
         ReadQuery(fd);
         WriteBytes(fd, Block("999999999 0"));
         ReadBytes(fd, 6);
         WriteBytes(fd, "< 10 >");
       },
       "the result was cut short"},
      {"result cut short",
       [](int fd) {
         ReadQuery(fd);
         WriteBytes(fd, Block("50 0"));
         ReadBytes(fd, 6);
         WriteBytes(fd, std::string(10, 'x'));
       },
       "the result was cut short"},
      {"result not a key set",
       [](int fd) {
         ReadQuery(fd);
         WriteBytes(fd, Block("8 0"));
         ReadBytes(fd, 6);
         WriteBytes(fd, std::string("garbage\0", 8));
         ReadBytes(fd, 4);
       },
       ""},
  };
  for (const Case& c : cases) {
    FakeServer fake(c.serve);
    ASSERT_TRUE(fake.ok());
    PointAt(fake.port());
    KvQueryClientClass client;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Evaluate("query 3 photos\n{\n}\n"), nullptr) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
    EXPECT_EQ(client.GetStatus(), -1) << c.what;
    EXPECT_NE(std::strstr(GetErrorMSG(), c.error), nullptr) << c.what << ": " << GetErrorMSG();
    EXPECT_NE(GetErrorMSG()[0], '\0') << c.what;
    fake.Join();
  }
}

TEST_F(QueryClient, NobodyListening) {
  // A port that was free a moment ago.
  int port = 0;
  {
    FakeServer probe([](int) {});
    ASSERT_TRUE(probe.ok());
    port = probe.port();
    PointAt(port);
    // The probe's handler gives up only after its wait; connect to release it.
    stest::RawPeer release(port);
  }
  KvQueryClientClass client;
  testing::internal::CaptureStderr();
  EXPECT_EQ(client.Evaluate("query 3 photos\n{\n}\n"), nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "QueryClient: Error - Unable to connect to socket.\nQueryClient Error: Connection refused\n");
  EXPECT_EQ(client.GetStatus(), -1);
  EXPECT_EQ(client.Evaluate(nullptr), nullptr);
  EXPECT_EQ(client.GetStatus(), -1);
}

}  // namespace
