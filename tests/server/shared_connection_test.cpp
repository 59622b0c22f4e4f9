// Query objects of several threads on one connection, as the server's
// workers have them: each thread's first evaluation joins the storage
// environment through the shared connection, all at the same moment.
#include <atomic>
#include <thread>

#include "ServerFixture.h"

namespace {

using stest::Answer;

TEST(SharedConnection, WorkersJoiningAtOnceGetTheirOwnAnswers) {
  const std::vector<std::string> texts = stest::QueryTexts();
  std::vector<Answer> expected;
  for (const std::string& t : texts) expected.push_back(stest::InProcess(t));
  constexpr int kThreads = 4, kRounds = 6;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    // A fresh connection: its environment is joined by the first table use.
    KvConnectClass* connection = KvCreateConnectClass("KvDbmConnectClass");
    ASSERT_NE(connection, nullptr);
    ASSERT_EQ(connection->Connect(stest::Photos().database.c_str(), "r"), 0);
    std::atomic<int> waiting{kThreads}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        const size_t i = static_cast<size_t>(round + t * 3) % texts.size();
        --waiting;
        while (waiting.load() > 0) std::this_thread::yield();
        if (!(stest::InProcess(texts[i], connection) == expected[i])) ++wrong;
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    delete connection;
  }
}

}  // namespace
