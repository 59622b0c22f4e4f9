#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "KivoShardRanks.h"
#include "KivoShardServe.h"

namespace {

using kivo::shard::TaskQueue;
using kivo::shard::ServedQuery;

ServedQuery Sample() {
  ServedQuery q;
  q.manifest.catalog = "photos";
  q.manifest.shards = {"photos.s0", "photos.s1", "photos.s2"};
  q.request.key = "bus/301.jpg";
  q.request.keywords = "bus+beach";
  q.request.features = {"colour:O=1", "texture:O=2:W=3"};
  q.request.n = 1000000;
  q.request.orient = false;
  q.imageBytes = std::string("\xff\xd8\x00\x01", 4);
  q.timeLimitMs = 20000;
  return q;
}

void ExpectSame(const ServedQuery& a, const ServedQuery& b) {
  EXPECT_EQ(a.stop, b.stop);
  EXPECT_EQ(a.manifest.catalog, b.manifest.catalog);
  EXPECT_EQ(a.manifest.shards, b.manifest.shards);
  EXPECT_EQ(a.request.image, b.request.image);
  EXPECT_EQ(a.request.key, b.request.key);
  EXPECT_EQ(a.request.keywords, b.request.keywords);
  EXPECT_EQ(a.request.sketch, b.request.sketch);
  EXPECT_EQ(a.request.features, b.request.features);
  EXPECT_EQ(a.request.n, b.request.n);
  EXPECT_EQ(a.request.orient, b.request.orient);
  EXPECT_EQ(a.imageBytes, b.imageBytes);
  EXPECT_EQ(a.timeLimitMs, b.timeLimitMs);
}

TEST(ShardServe, QueryRoundTripsAndRefusesEveryTruncation) {
  ServedQuery stop;
  stop.stop = true;
  ServedQuery small;
  small.manifest.catalog = "c";
  small.manifest.shards = {"c.s0"};
  for (const ServedQuery& q : {Sample(), stop, small}) {
    const std::string bytes = q.Encode();
    ServedQuery back;
    ASSERT_TRUE(back.Decode(bytes));
    ExpectSame(q, back);
    EXPECT_EQ(back.Encode(), bytes);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      EXPECT_FALSE(back.Decode(bytes.substr(0, cut))) << "cut at " << cut;
    }
    EXPECT_FALSE(back.Decode(bytes + '\0'));
  }
}

TEST(ShardServe, RefusesValuesNoQueryHas) {
  // The kind, the shard count, n and orient at the limits of what decodes.
  const std::string good = Sample().Encode();
  struct Case {
    size_t at;  // offset of a 32-bit field
    uint32_t value;
  };
  const size_t shardsAt = 4 + 4 + 6;
  const size_t tail = good.size() - 12;  // n, orient, time limit
  for (const Case& c : {Case{0, 2}, Case{shardsAt, 0}, Case{shardsAt, 1025}, Case{tail, 0}, Case{tail, 1000001},
                        Case{tail + 4, 2}}) {
    std::string bad = good;
    for (int i = 0; i < 4; ++i) bad[c.at + i] = static_cast<char>(c.value >> (24 - 8 * i));
    ServedQuery q;
    EXPECT_FALSE(q.Decode(bad)) << "field at " << c.at << " = " << c.value;
  }
  ServedQuery q;
  EXPECT_TRUE(q.Decode(good));
}

// Workers on several threads ask at once; the tasks run one at a time on
// the thread that takes them, as on rank 0's main thread, and each worker
// gets its own task's outcome.
TEST(ShardServe, QueueRunsEachWorkersTaskOnTheMainThread) {
  TaskQueue queue;
  constexpr int kWorkers = 4, kEach = 50;
  const std::thread::id main = std::this_thread::get_id();
  std::atomic<int> wrong{0};
  std::atomic<int> running{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < kEach; ++i) {
        const std::string asked = std::to_string(w * 1000 + i);
        std::string answer;
        const bool ran = queue.Run([&] {
          if (std::this_thread::get_id() != main || running.fetch_add(1) != 0) ++wrong;
          answer = asked;
          running.fetch_sub(1);
        });
        if (!ran || answer != asked) ++wrong;
      }
    });
  }
  std::thread closer;
  int answered = 0;
  while (queue.RunNext()) {
    if (++answered == kWorkers * kEach) closer = std::thread([&] { queue.Close(); });
  }
  for (std::thread& t : workers) t.join();
  closer.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(answered, kWorkers * kEach);
}

TEST(ShardServe, ClosedQueueFailsWaitingAndLaterTasks) {
  TaskQueue queue;
  bool ran = true, taskRan = false;
  std::thread waiting([&] { ran = queue.Run([&] { taskRan = true; }); });
  // Whether the task is queued yet or not, the close fails it.
  queue.Close();
  waiting.join();
  EXPECT_FALSE(ran);
  EXPECT_FALSE(taskRan);
  EXPECT_FALSE(queue.Run([&] { taskRan = true; }));
  EXPECT_FALSE(taskRan);
  EXPECT_FALSE(queue.RunNext());
}

}  // namespace
