// The query client against the real KvQSrv on a real catalog: answers equal
// to in-process evaluation, concurrent clients, peers that disconnect, stall
// or announce too much, the stop signal, and the command line.
#include <atomic>
#include <memory>

#include "ServerFixture.h"
#include "core/KvBytes.h"
#include "query/KvQueryClient.h"

namespace {

using stest::Answer;
using stest::CountLines;
using stest::RawPeer;
using stest::ServerProcess;

class ClientServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(stest::Photos().connection, nullptr);
    if (texts_.empty()) {
      texts_ = stest::QueryTexts();
      for (const std::string& t : texts_) expected_.push_back(stest::InProcess(t));
    }
  }
  // Stops the server; it must exit 0 after its last line "KvQSrv: stopped".
  void StopCleanly(ServerProcess& server) {
    EXPECT_EQ(server.Stop(SIGTERM), 0) << server.LogText();
    const std::vector<std::string> log = server.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "KvQSrv: stopped") << server.LogText();
  }

  // The exchange of a well-behaved client, step by step, on a raw socket.
  static std::string Announce(const std::string& text) { return std::to_string(text.size() + 1) + '\0'; }

  static std::vector<std::string> texts_;
  static std::vector<Answer> expected_;
};

std::vector<std::string> ClientServer::texts_;
std::vector<Answer> ClientServer::expected_;

TEST_F(ClientServer, AnswersAsInProcessEvaluation) {
  // The texts cover every feature class, and two of them fail.
  size_t good = 0;
  for (const Answer& a : expected_) good += a.status == 0 && !a.text.empty();
  ASSERT_EQ(good, texts_.size() - 2);
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "2"}));
  server.PointClientHere();
  for (size_t i = 0; i < texts_.size(); ++i) {
    const Answer got = stest::ThroughClient(texts_[i]);
    EXPECT_EQ(got.text, expected_[i].text) << i << ": " << texts_[i].substr(0, 200);
    EXPECT_EQ(got.status, expected_[i].status) << i;
  }
  ASSERT_TRUE(server.WaitForLog("KvQSrv: peer=127.0.0.1:", texts_.size(), 10000)) << server.LogText();
  const std::vector<std::string> log = server.Log();
  EXPECT_EQ(CountLines(log, " status=0 result="), texts_.size() - 2);
  EXPECT_EQ(CountLines(log, " status=-1 result=0 "), 2u);
  EXPECT_EQ(CountLines(log, "error=KIVO error: KvQueryServerClass::Evaluate: malformed query text"), 1u);
  StopCleanly(server);
}

TEST_F(ClientServer, ClientRebuildsTheResultSet) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({}));
  server.PointClientHere();
  KvQueryClientClass client;
  KvKeyDatabaseClass* result = client.Evaluate(texts_[0].c_str());
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  EXPECT_EQ(result->GetCount(), 6);
  // The held set is replaced by the next evaluation; a failure leaves none.
  EXPECT_EQ(client.Evaluate(texts_.back().c_str()), nullptr);
  EXPECT_EQ(client.GetStatus(), -1);
  StopCleanly(server);
}

TEST_F(ClientServer, ConcurrentClientsGetTheirOwnAnswers) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "3"}));
  server.PointClientHere();
  constexpr int kClients = 8, kRounds = 5;
  std::atomic<int> wrong{0}, done{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int r = 0; r < kRounds; ++r) {
        const size_t i = static_cast<size_t>(c * 7 + r * 3) % texts_.size();
        if (!(stest::ThroughClient(texts_[i]) == expected_[i])) ++wrong;
        ++done;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(done.load(), kClients * kRounds);
  EXPECT_EQ(wrong.load(), 0);
  ASSERT_TRUE(server.WaitForLog("KvQSrv: peer=", kClients * kRounds, 10000));
  EXPECT_EQ(CountLines(server.Log(), "status=failed"), 0u) << server.LogText();
  StopCleanly(server);
}

TEST_F(ClientServer, MisbehavingPeersDoNotDisturbOthers) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "2", "-m", "4096", "-t", "1"}));
  server.PointClientHere();
  const std::string& text = texts_[0];
  {
    // Gone in the middle of the query text.
    RawPeer peer(server.port());
    ASSERT_TRUE(peer.Send("500" + std::string(1, '\0')));
    EXPECT_EQ(peer.Receive(16).size(), 16u);
    ASSERT_TRUE(peer.Send(std::string(100, 'q')));
  }
  {
    // Gone after the reply header, without asking for the result.
    RawPeer peer(server.port());
    ASSERT_TRUE(peer.Send(Announce(text)));
    EXPECT_EQ(peer.Receive(16).size(), 16u);
    ASSERT_TRUE(peer.Send(text + '\0'));
    EXPECT_EQ(peer.Receive(16).size(), 16u);
  }
  {
    // Gone before reading the result.
    RawPeer peer(server.port());
    ASSERT_TRUE(peer.Send(Announce(text)));
    peer.Receive(16);
    peer.Send(text + '\0');
    peer.Receive(16);
    peer.Send(std::string("okay\0\0", 6));
  }
  {
    // More than the server takes: closed without an acknowledgement.
    RawPeer peer(server.port());
    ASSERT_TRUE(peer.Send("5000" + std::string(1, '\0')));
    EXPECT_EQ(peer.Receive(16), "");
    // The client says so too.
    KvQueryClientClass client;
    EXPECT_EQ(client.Evaluate(std::string(5000, 'q').c_str()), nullptr);
    EXPECT_EQ(client.GetStatus(), -1);
    EXPECT_NE(std::strstr(GetErrorMSG(), "the server closed the connection"), nullptr) << GetErrorMSG();
  }
  {
    // Not a number at all.
    RawPeer peer(server.port());
    ASSERT_TRUE(peer.Send("hello" + std::string(1, '\0')));
    EXPECT_EQ(peer.Receive(16), "");
  }
  {
    // Stalled after the acknowledgement: dropped after the idle time.
    RawPeer peer(server.port());
    ASSERT_TRUE(peer.Send("100" + std::string(1, '\0')));
    EXPECT_EQ(peer.Receive(16).size(), 16u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(peer.Receive(1), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  }
  // Everyone else is still served.
  EXPECT_EQ(stest::ThroughClient(text), expected_[0]);
  ASSERT_TRUE(server.WaitForLog("KvQSrv: peer=", 8, 10000)) << server.LogText();
  const std::vector<std::string> log = server.Log();
  // A peer gone while the result is on its way may show as a reset or a
  // broken pipe instead of a close, depending on timing.
  EXPECT_EQ(CountLines(log, "status=failed (peer closed the connection)") +
                CountLines(log, "status=failed (Connection reset by peer)") +
                CountLines(log, "status=failed (Broken pipe)"),
            3u)
      << server.LogText();
  EXPECT_EQ(CountLines(log, "status=failed (query larger than the server accepts)"), 2u);
  EXPECT_EQ(CountLines(log, "status=failed (malformed length announcement)"), 1u);
  EXPECT_EQ(CountLines(log, "status=failed (peer idle too long)"), 1u);
  EXPECT_EQ(CountLines(log, " status=0 "), 1u);
  StopCleanly(server);
}

TEST_F(ClientServer, StalledClientCannotHoldTheOnlyWorker) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "1", "-t", "1"}));
  server.PointClientHere();
  RawPeer stalled(server.port());
  ASSERT_TRUE(stalled.Send("100" + std::string(1, '\0')));
  ASSERT_EQ(stalled.Receive(16).size(), 16u);
  // The stalled peer holds no worker: the query goes through at once.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(stest::ThroughClient(texts_[1]), expected_[1]);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_EQ(stalled.Receive(1), "");
  StopCleanly(server);
}

TEST_F(ClientServer, StopAnswersTheQueriesReceivedAndClosesTheRest) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "2"}));
  const std::string& text = texts_[2];
  // One peer whose query has been evaluated and which has its reply header,
  // one still sending its text, and idle ones.
  RawPeer answered(server.port());
  ASSERT_TRUE(answered.Send(Announce(text)));
  ASSERT_EQ(answered.Receive(16).size(), 16u);
  ASSERT_TRUE(answered.Send(text + '\0'));
  const std::string header = answered.Receive(16);
  ASSERT_EQ(header.size(), 16u);
  RawPeer partial(server.port());
  ASSERT_TRUE(partial.Send(Announce(text)));
  ASSERT_EQ(partial.Receive(16).size(), 16u);
  ASSERT_TRUE(partial.Send(text.substr(0, 10)));
  std::vector<std::unique_ptr<RawPeer>> idle;
  for (int i = 0; i < 20; ++i) idle.push_back(std::make_unique<RawPeer>(server.port()));
  ASSERT_TRUE(server.WaitForLog("KvQSrv: listening", 1, 1000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(server.pid(), SIGTERM), 0);
  // The idle and the partial are closed at once.
  EXPECT_EQ(partial.Receive(1), "");
  for (auto& peer : idle) EXPECT_EQ(peer->Receive(1), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  // The answered one still gets its result.
  unsigned long size = 0;
  int status = 1;
  ASSERT_EQ(std::sscanf(header.c_str(), "%lu %d", &size, &status), 2);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(size, expected_[2].text.size());
  ASSERT_TRUE(answered.Send(std::string("okay\0\0", 6)));
  EXPECT_EQ(answered.Receive(size), expected_[2].text);
  unsigned char count[4];
  Encode32LE(count, static_cast<uint32_t>(size));
  ASSERT_TRUE(answered.Send(std::string(reinterpret_cast<char*>(count), 4)));
  EXPECT_EQ(answered.Receive(1), "");
  StopCleanly(server);
  const std::vector<std::string> log = server.Log();
  EXPECT_EQ(CountLines(log, " status=0 "), 1u) << server.LogText();
  EXPECT_EQ(CountLines(log, "status=failed (server stopping)"), 21u) << server.LogText();
  // Nobody listens any more.
  RawPeer late(server.port());
  EXPECT_LT(late.fd(), 0);
}

TEST_F(ClientServer, StopWithOnlyIdlePeersExitsWithinASecond) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "2"}));
  std::vector<std::unique_ptr<RawPeer>> idle;
  for (int i = 0; i < 50; ++i) idle.push_back(std::make_unique<RawPeer>(server.port()));
  // A peer that announced a text and stalled counts as idle too.
  RawPeer stalled(server.port());
  ASSERT_TRUE(stalled.Send("100" + std::string(1, '\0')));
  ASSERT_EQ(stalled.Receive(16).size(), 16u);
  const auto start = std::chrono::steady_clock::now();
  StopCleanly(server);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// Peers that send nothing, or a byte now and then, cost the others nothing:
// every well-behaved query is answered at once while they stay connected.
TEST_F(ClientServer, IdleAndSlowPeersDoNotDelayOthers) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "2", "-t", "20"}));
  server.PointClientHere();
  std::vector<std::unique_ptr<RawPeer>> idle;
  for (int i = 0; i < 100; ++i) {
    idle.push_back(std::make_unique<RawPeer>(server.port()));
    ASSERT_GE(idle.back()->fd(), 0);
  }
  constexpr int kSlow = 8;
  std::atomic<bool> done{false};
  std::vector<std::thread> slow;
  for (int i = 0; i < kSlow; ++i) {
    slow.emplace_back([&] {
      RawPeer peer(server.port());
      const std::string& text = texts_[0];
      const std::string all = Announce(text) + text + '\0';
      for (size_t at = 0; at < all.size() && !done.load(); ++at) {
        if (!peer.Send(all.substr(at, 1))) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < texts_.size(); ++i) {
      const Answer got = stest::ThroughClient(texts_[i]);
      EXPECT_EQ(got.text, expected_[i].text) << i;
      EXPECT_EQ(got.status, expected_[i].status) << i;
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  done.store(true);
  for (std::thread& t : slow) t.join();
  // The idle peers were never dropped: they were not idle long enough.
  EXPECT_EQ(CountLines(server.Log(), "peer idle too long"), 0u) << server.LogText();
  StopCleanly(server);
}

// At the bound, the connection idle the longest makes room for a newcomer,
// and the newcomer's query is answered.
TEST_F(ClientServer, TheLongestIdleIsDroppedAtTheBound) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "1", "-n", "4"}));
  server.PointClientHere();
  std::vector<std::unique_ptr<RawPeer>> idle;
  for (int i = 0; i < 4; ++i) {
    idle.push_back(std::make_unique<RawPeer>(server.port()));
    // Later peers are active later: the first stays the longest idle.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(idle[3]->Send("1"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(stest::ThroughClient(texts_[1]), expected_[1]);
  EXPECT_EQ(idle[0]->Receive(1), "");
  ASSERT_TRUE(server.WaitForLog("status=failed (dropped: too many connections)", 1, 5000)) << server.LogText();
  // The client's connection is closed after its answer, so the other three
  // are still there.
  EXPECT_EQ(CountLines(server.Log(), "dropped: too many connections"), 1u) << server.LogText();
  for (size_t i = 1; i < 4; ++i) EXPECT_TRUE(idle[i]->Send("1")) << i;
  StopCleanly(server);
}

// Resident size of a process in KiB (0 when it cannot be read).
long ResidentKiB(pid_t pid) {
  const std::string status = kvtest::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// Peak resident size of a process in KiB (0 when it cannot be read).
long PeakResidentKiB(pid_t pid) {
  const std::string status = kvtest::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// A large query text is freed with everything its evaluation kept once it is
// answered: the server's resident size returns near its idle size.
TEST_F(ClientServer, LargeTextsAreFreedAfterTheirAnswer) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' allocators keep freed memory in quarantine, so a
  // server built with them never shrinks back to its idle size.
  GTEST_SKIP() << "resident size is not meaningful under a sanitizer";
#endif
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "2"}));
  server.PointClientHere();
  EXPECT_EQ(stest::ThroughClient(texts_[0]), expected_[0]);
  const long idle = ResidentKiB(server.pid());
  ASSERT_GT(idle, 0);
  // Not a query: a data object text still open after 32 MiB, so the text is
  // kept whole, evaluated and answered -1.
  const std::string large = "query 5 photos { [ KvColorFeatureClass <> <" + std::string(32u << 20, 'q');
  for (int i = 0; i < 2; ++i) EXPECT_EQ(stest::ThroughClient(large).status, -1);
  EXPECT_EQ(stest::ThroughClient(texts_[0]), expected_[0]);
  EXPECT_LT(ResidentKiB(server.pid()), idle + 8 * 1024) << "idle " << idle << " KiB";
  ASSERT_TRUE(server.WaitForLog("no \">\" closes the data object text", 2, 5000)) << server.LogText();
  StopCleanly(server);
}

// A long text whose beginning already cannot be a query is read to its end
// and answered -1 with the message its evaluation gives, without being kept:
// the server grows by no more than the part it looked at.
TEST_F(ClientServer, LongMalformedTextsAreRefusedAsTheyArrive) {
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "1"}));
  server.PointClientHere();
  EXPECT_EQ(stest::ThroughClient(texts_[0]), expected_[0]);
  const long peakBefore = PeakResidentKiB(server.pid());
  const std::string large = "q " + std::string(64u << 20, 'a');
  for (int i = 0; i < 2; ++i) EXPECT_EQ(stest::ThroughClient(large).status, -1);
  EXPECT_EQ(stest::ThroughClient(texts_[1]), expected_[1]);
  ASSERT_TRUE(server.WaitForLog("size=67108867 status=-1 result=0 ms=", 2, 5000)) << server.LogText();
  EXPECT_EQ(CountLines(server.Log(), "size=67108867 status=-1 result=0 ms="), 2u) << server.LogText();
  EXPECT_EQ(CountLines(server.Log(), " error=KIVO error: KvQueryServerClass::Evaluate: malformed query text: the "
                                     "query text must begin with the word \"query\" at offset 1"),
            2u)
      << server.LogText();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A 64 MiB text kept would raise the peak by as much.
  EXPECT_LT(PeakResidentKiB(server.pid()), peakBefore + 16 * 1024) << "peak before " << peakBefore << " KiB";
#else
  (void)peakBefore;
#endif
  StopCleanly(server);
}

// A query whose large image (24 million pixels, 48 MB of text) takes longer to
// read than the time limit fails with the limit's message while its pixels
// are read, and the worker (the only one) answers the next query.
TEST_F(ClientServer, TimeLimitStopsTheReadingOfALargeImage) {
  kvtest::TempDir dir("large_image");
  const std::string large = stest::PictureQuery(dir.File("large.png"), 6000, 4000);
  ASSERT_FALSE(large.empty());
  ServerProcess server;
  ASSERT_TRUE(server.Start({"-w", "1", "-e", "KivoQueryTimeLimit=0.05"}));
  server.PointClientHere();
  const auto start = std::chrono::steady_clock::now();
  const Answer answer = stest::ThroughClient(large);
  EXPECT_EQ(answer.status, -1);
  EXPECT_EQ(answer.text, "");
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(server.WaitForLog(" status=-1 result=0 ", 1, 5000)) << server.LogText();
  EXPECT_EQ(CountLines(server.Log(), "error=KIVO error: KvImgDat::FromQueryString: the evaluation's time limit is "
                                     "exceeded"),
            1u)
      << server.LogText();
  EXPECT_EQ(stest::ThroughClient(texts_[0]), expected_[0]) << ms << " ms for the large image";
  StopCleanly(server);
}

TEST_F(ClientServer, CommandLine) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string output;
  };
  const std::string usage =
      "Usage: KvQSrv -d database [-w workers] [-m maxQueryBytes] [-t idleSeconds] [-n maxConnections] "
      "[-e EnvVar=EnvValue ...]\n";
  const std::string db = stest::Photos().database;
  const Case cases[] = {
      {{}, 2, usage},
      {{"-d"}, 2, usage},
      {{"-d", db, "-w", "0"}, 2, usage},
      {{"-d", db, "-w", "65"}, 2, usage},
      {{"-d", db, "-w", "2x"}, 2, usage},
      {{"-d", db, "-m", "-5"}, 2, usage},
      {{"-d", db, "-t", "0"}, 2, usage},
      {{"-d", db, "-t", "99999999999"}, 2, usage},
      {{"-d", db, "-n", "0"}, 2, usage},
      {{"-d", db, "-x"}, 2, usage},
      {{"-d", db + "/missing"}, 1, "KvQSrv: no database directory " + db + "/missing\n"},
      {{"-d", db, "-e", "KivoServerPort=abc"}, 1, "KvQSrv: invalid port abc\n"},
      {{"-d", db, "-e", "KivoServerPort=70000"}, 1, "KvQSrv: invalid port 70000\n"},
  };
  kvtest::TempDir dir("cmdline");
  for (const Case& c : cases) {
    std::vector<std::string> args = {stest::Bin("KvQSrv")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const std::string log = dir.File("log");
    EXPECT_EQ(stest::Run(args, log), c.status) << args.size();
    EXPECT_EQ(kvtest::ReadFile(log), c.output) << args.size();
  }
  // A port already taken.
  ServerProcess first;
  ASSERT_TRUE(first.Start({}));
  const std::string log = dir.File("busy");
  EXPECT_EQ(stest::Run({stest::Bin("KvQSrv"), "-d", db, "-e", "KivoServerHost=127.0.0.1", "-e",
                        "KivoServerPort=" + std::to_string(first.port())},
                       log),
            1);
  EXPECT_NE(kvtest::ReadFile(log).find("KvQSrv: bind"), std::string::npos) << kvtest::ReadFile(log);
  // SIGINT stops it as cleanly as SIGTERM.
  EXPECT_EQ(first.Stop(SIGINT), 0) << first.LogText();
  EXPECT_EQ(first.Log().back(), "KvQSrv: stopped");
}

}  // namespace
