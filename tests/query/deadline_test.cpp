// Evaluation time limits: the setting, nested scopes, and searches stopped
// by a deadline (single, combined and keyword searches), with the next
// evaluation on the same query object unaffected.
#include <cstring>
#include <thread>

#include "QueryFixture.h"
#include "core/KvEnv.h"
#include "query/KvDeadline.h"

namespace {

using qtest::ColorBytes;
using qtest::QueryArrays;
using qtest::QueryFeature;
using qtest::RecordData;
using qtest::TestCatalog;

constexpr int kRecords = 3000;  // several blocks of records

// A catalog "timed" with kRecords colour, histogram-free texture and keyword
// records, and the query record "origin".
TestCatalog& Timed() {
  static TestCatalog* catalog = [] {
    auto* c = new TestCatalog("timed", {qtest::kColor, qtest::kText});
    TestCatalog::Rows colours, words;
    for (int i = 0; i < kRecords; ++i) {
      const std::string key = "k" + std::to_string(i);
      colours.emplace_back(key, ColorBytes(i, 2 * i, 0));
      words.emplace_back(key, std::string(i % 2 ? "red car" : "blue sky") + '\0');
    }
    colours.emplace_back("origin", ColorBytes(0, 0, 0));
    c->Put(qtest::kColor, colours);
    c->Put(qtest::kText, words);
    return c;
  }();
  return *catalog;
}

// A deadline that has already passed.
KvDeadline Passed() {
  KvDeadline d;
  d.at = KvDeadline::Now() - 1;
  return d;
}

class Deadline : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(qtest::Connection(), nullptr);
    Timed();
    KvInitializeErrorStructure();
  }
  void TearDown() override { Kvsetenv("KivoQueryTimeLimit", nullptr); }

  // EvaluateObjects on "timed". The result stays q's; the previous one
  // passes to the caller at the call and is released here.
  KvKeyDatabaseClass* Search(KvQueryServerClass& q, std::vector<QueryFeature*> list) {
    QueryArrays a(list);
    KvKeyDatabaseClass* previous = last_;
    last_ = q.EvaluateObjects(5, Timed().get(), nullptr, nullptr, a.count(), a.data.data(), a.features.data(),
                              a.parameters.data());
    delete previous;
    return last_;
  }
  KvKeyDatabaseClass* last_ = nullptr;
};

TEST(DeadlineSetting, ReadsSecondsAsMilliseconds) {
  struct Case {
    const char* value;
    int64_t ms;
  } const cases[] = {
      {nullptr, 0}, {"", 0},     {"0", 0},      {"2", 2000}, {"0.25", 250}, {"0.0001", 1},
      {"1e9", 1000000000000}, {"1e12", 0}, {"abc", -1}, {"-1", -1}, {"3s", -1}, {"nan", -1}, {"inf", -1},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Kvsetenv("KivoQueryTimeLimit", c.value), 0);
    EXPECT_EQ(KvQueryTimeLimitMs(), c.ms) << (c.value ? c.value : "(unset)");
  }
  Kvsetenv("KivoQueryTimeLimit", nullptr);
}

TEST(DeadlineScope, TheEarlierDeadlineWinsAndIsRestored) {
  EXPECT_FALSE(KvCurrentDeadline().IsSet());
  EXPECT_FALSE(KvCurrentDeadline().Expired());
  {
    KvDeadlineScope outer(KvDeadline::In(60000));
    const int64_t at = KvCurrentDeadline().at;
    EXPECT_TRUE(KvCurrentDeadline().IsSet());
    {
      KvDeadlineScope later(KvDeadline::In(120000));
      EXPECT_EQ(KvCurrentDeadline().at, at);
      KvDeadlineScope none(KvDeadline::In(0));
      EXPECT_EQ(KvCurrentDeadline().at, at);
      KvDeadlineScope passed(Passed());
      EXPECT_TRUE(KvCurrentDeadline().Expired());
    }
    EXPECT_EQ(KvCurrentDeadline().at, at);
    // Another thread has no deadline of its own.
    bool otherSet = true;
    std::thread([&] { otherSet = KvCurrentDeadline().IsSet(); }).join();
    EXPECT_FALSE(otherSet);
  }
  EXPECT_FALSE(KvCurrentDeadline().IsSet());
}

TEST(DeadlineScope, TickerLooksOncePerBlock) {
  KvDeadlineTicker ticker(Passed());
  for (uint32_t i = 1; i < kKvDeadlineBlock; ++i) ASSERT_FALSE(ticker.Tick()) << i;
  EXPECT_TRUE(ticker.Tick());
  KvDeadlineTicker never{KvDeadline()};
  for (uint32_t i = 0; i < 3 * kKvDeadlineBlock; ++i) ASSERT_FALSE(never.Tick());
}

TEST_F(Deadline, StopsEachKindOfSearchAndTheNextEvaluationRuns) {
  KvQueryServerClass q(qtest::Connection());
  QueryFeature colour(qtest::kColor, "", RecordData("timed", "origin"));
  QueryFeature colour2(qtest::kColor, "W=2", RecordData("timed", "origin"));
  auto words = std::make_unique<KvGenericImageDataClass>();
  words->SetType(KV_DATA_PICKER);
  words->SetKeywordText("car");
  QueryFeature keyword(qtest::kText, "", std::move(words));
  const std::vector<std::vector<QueryFeature*>> queries = {{&colour}, {&colour, &colour2}, {&keyword}};
  for (size_t i = 0; i < queries.size(); ++i) {
    {
      KvDeadlineScope limit(Passed());
      KvInitializeErrorStructure();
      EXPECT_EQ(Search(q, queries[i]), nullptr) << i;
      EXPECT_EQ(q.GetStatus(), -1) << i;
      EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal) << i;
      EXPECT_NE(std::strstr(GetErrorMSG(), "time limit is exceeded"), nullptr) << i << ": " << GetErrorMSG();
    }
    KvInitializeErrorStructure();
    KvKeyDatabaseClass* result = Search(q, queries[i]);
    ASSERT_NE(result, nullptr) << i << ": " << GetErrorMSG();
    EXPECT_EQ(q.GetStatus(), 0);
    EXPECT_GT(result->GetCount(), 0);
  }
}

TEST_F(Deadline, SettingLimitsEvaluateAndABadValueIsRefused) {
  KvQueryServerClass q(qtest::Connection());
  QueryFeature colour(qtest::kColor, "", RecordData("timed", "origin"));
  KvDatumClass text;
  const char* names[] = {qtest::kColor};
  KvParameterClass* parms[] = {colour.parameters.get()};
  KvGenericDataClass* data[] = {colour.data.get()};
  ASSERT_EQ(KvBuildQueryString(5, "timed", nullptr, nullptr, 1, names, parms, data, text), 0);
  const std::string query = kvtest::Bytes(text);

  Kvsetenv("KivoQueryTimeLimit", "30");
  EXPECT_NE(q.Evaluate(query.c_str()), nullptr) << GetErrorMSG();
  Kvsetenv("KivoQueryTimeLimit", "soon");
  KvInitializeErrorStructure();
  EXPECT_EQ(q.Evaluate(query.c_str()), nullptr);
  EXPECT_NE(std::strstr(GetErrorMSG(), "KivoQueryTimeLimit is not a number of seconds"), nullptr) << GetErrorMSG();
  EXPECT_EQ(Search(q, {&colour}), nullptr);
  // A caller's tighter scope is kept under a generous setting.
  Kvsetenv("KivoQueryTimeLimit", "30");
  {
    KvDeadlineScope limit(Passed());
    EXPECT_EQ(q.Evaluate(query.c_str()), nullptr);
  }
  EXPECT_NE(q.Evaluate(query.c_str()), nullptr) << GetErrorMSG();
}

}  // namespace
