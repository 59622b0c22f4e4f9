// The keyword feature: matching, its byte string and its own table search.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KvMemoryTables.h"
#include "KvTestUtil.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeatureFactories.h"
#include "features/KvTextFeature.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

// A one-pixel memory image carrying keywords.
struct KeywordImage {
  unsigned char pixel[1] = {0};
  unsigned char palette[768] = {};
  unsigned char mask[1] = {0xFF};
  KvGenericImageDataClass data;

  explicit KeywordImage(const char* keywords, bool query = false) {
    data.GetImageDataFromMemory(1, 1, pixel, palette, mask, False, False);
    data.SetKeywordText(keywords);
    data.SetQuerySide(query ? True : False);
  }
};

std::unique_ptr<KvTextFeatureClass> Feature(const char* keywords, bool query) {
  auto f = std::make_unique<KvTextFeatureClass>();
  KeywordImage image(keywords, query);
  EXPECT_EQ(f->ComputeFeature(&image.data, nullptr), 0);
  return f;
}

float Match(const char* query, const char* stored) {
  auto q = Feature(query, true);
  auto t = Feature(stored, false);
  return q->Distance(t.get(), nullptr, -1.0f);
}

TEST(TextFeature, MatchesWordPrefixesInAnyAndAllWordsModes) {
  struct Case {
    const char* query;
    const char* stored;
    float expected;
  } cases[] = {
      {"red,car", "red sports car", 0.0f},
      {"red,car", "red bike", 0.5f},
      {"red,car", "blue bike", -1.0f},
      {"red car", "red bike", 0.5f},
      {"red,car,boat,sky", "sky car", 0.5f},
      {"red+car", "red sports car", 0.0f},
      {"red+car", "red bike", -1.0f},
      {"car+red", "scarlet red", -1.0f},
      {"car", "carpet", 0.0f},
      {"car", "scar", -1.0f},
      {"car", "big,carriage", 0.0f},
      {"car", "Car", -1.0f},
      {"sports car", "red sports", 0.5f},
      {"+", "anything", -1.0f},
      {",", "anything", -1.0f},
  };
  for (const Case& c : cases) {
    EXPECT_FLOAT_EQ(Match(c.query, c.stored), c.expected) << c.query << " / " << c.stored;
  }
}

TEST(TextFeature, QueryWordsAreBuiltOnlyOnTheQuerySide) {
  auto q = Feature("red+car,boat", true);
  EXPECT_EQ(q->GetAllWords(), 1);
  EXPECT_EQ(kvtest::Bytes(q->GetQueryWords()), std::string("red car boat\0", 13));
  EXPECT_EQ(kvtest::Bytes(q->GetKeywords()), std::string("red+car,boat\0", 13));

  auto stored = Feature("red+car", false);
  EXPECT_EQ(stored->GetQueryWords().Size(), 0u);
  // A feature that was not computed as a query has no words to look for.
  auto other = Feature("red", false);
  EXPECT_FLOAT_EQ(stored->Distance(other.get(), nullptr, -1.0f), -1.0f);
}

TEST(TextFeature, ByteStringIsTheKeywordTextWithItsNul) {
  auto f = Feature("red sports car", false);
  KvDatumClass bytes;
  ASSERT_EQ(f->ToByteString(bytes), 0);
  EXPECT_EQ(kvtest::Bytes(bytes), std::string("red sports car\0", 15));
  KvDatumClass ascii;
  ASSERT_EQ(f->ToAsciiString(ascii), 0);
  EXPECT_EQ(kvtest::Bytes(ascii), kvtest::Bytes(bytes));

  KvTextFeatureClass back;
  ASSERT_EQ(back.FromByteString(bytes), 0);
  EXPECT_EQ(kvtest::Bytes(back.GetKeywords()), kvtest::Bytes(bytes));

  // Decoding an empty record fails and keeps what was there.
  KvDatumClass empty;
  EXPECT_EQ(back.FromByteString(empty), -1);
  EXPECT_EQ(kvtest::Bytes(back.GetKeywords()), kvtest::Bytes(bytes));

  // A stored text without its NUL is matched within its bytes only.
  KvDatumClass unterminated;
  kvtest::SetText(unterminated, "blue car");
  ASSERT_EQ(back.FromByteString(unterminated), 0);
  auto q = Feature("car", true);
  EXPECT_FLOAT_EQ(q->Distance(&back, nullptr, -1.0f), 0.0f);
}

TEST(TextFeature, ImageWithoutKeywordsCannotBeStored) {
  for (const char* keywords : {static_cast<const char*>(nullptr), ""}) {
    auto f = Feature(keywords, false);
    KvDatumClass bytes;
    EXPECT_EQ(f->ToByteString(bytes), -1);
    EXPECT_EQ(bytes.Size(), 0u);
    EXPECT_EQ(f->ToAsciiString(bytes), -1);
  }
  auto q = Feature("", true);
  EXPECT_EQ(q->GetQueryWords().Size(), 0u);
}

TEST(TextFeature, ComputeFeatureFromRecordsAndBadInputs) {
  KvTextFeatureClass f;
  KvGenericImageDataClass record;
  record.SetType(KV_DATA_RECORD);
  kvtest::SetText(record.GetFeatureDatum(), "stored words", true);
  ASSERT_EQ(f.ComputeFeature(&record, nullptr), 0);
  EXPECT_EQ(kvtest::Bytes(f.GetKeywords()), std::string("stored words\0", 13));

  struct Bad {
    int32_t type;
    bool nullData;
    KERR_Type error;
  } bad[] = {
      {KV_DATA_MEMORY, true, KERR_NullDatum},
      {'x', false, KERR_UnknownDataType},
      {KV_DATA_UNSET, false, KERR_UnknownDataType},
  };
  for (const Bad& b : bad) {
    KvGenericImageDataClass data;
    data.SetType(b.type);
    kvtest::ClearError();
    EXPECT_EQ(f.ComputeFeature(b.nullData ? nullptr : &data, nullptr), -1);
    EXPECT_EQ(GetErrorMSGNumber(), b.error);
  }

  // A sampler record with an empty datum cannot be decoded.
  KvGenericImageDataClass sampler;
  sampler.SetType(KV_DATA_SAMPLER);
  EXPECT_EQ(f.ComputeFeature(&sampler, nullptr), -1);
}

TEST(TextFeature, ClassValues) {
  std::unique_ptr<KvFeatureClass> f(NewKvTextFeatureClass());
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(f->IsValid());
  EXPECT_EQ(f->GetClassId(), 331007u);
  EXPECT_EQ(f->GetByteStringSize(), 0u);
  EXPECT_EQ(f->GetNumberOfElements(), 0u);
  EXPECT_EQ(f->GetGlobalInfoSize(), 77u);
  EXPECT_EQ(f->IsSubPartFeature(), False);
  EXPECT_FLOAT_EQ(f->GetDistanceHintForParameters(f.get(), nullptr, 1.0f), -1.0f);
  EXPECT_FLOAT_EQ(f->GetDistanceHintForTable(nullptr, nullptr, 1, nullptr, nullptr), -1.0f);
  EXPECT_STREQ(f->GetDataClassName(), "KvGenericImageDataClass");
  EXPECT_STREQ(f->GetParameterClassName(), "KvParameterClass");
  KvTextFeatureClass second;
  EXPECT_EQ(f->GetParameters(), second.GetParameters());
  EXPECT_EQ(f->GetParameters()->GetCount(), 0u);
}

class TextSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    Put("a", "red sports car");
    Put("b", "red bike");
    Put("c", "blue bike");
    Put("d", "carpet shop");
    Put("e", "scarf");
  }
  void Put(const std::string& key, const std::string& keywords) {
    table.Put(key, keywords + std::string(1, '\0'));
  }

  kvtest::MemoryTable table;
  kvtest::MemoryResultSet result;
};

TEST_F(TextSearch, WholeTableKeepsEveryMatchingKey) {
  auto q = Feature("red,car", true);
  ASSERT_EQ(q->SearchTable(&table, nullptr, 1, "cat", nullptr, &result), 0);
  const auto entries = result.Entries();
  ASSERT_EQ(entries.size(), 3u);  // N does not cut the answer
  EXPECT_EQ(entries[0].first, "a");
  EXPECT_FLOAT_EQ(entries[0].second, 0.0f);
  EXPECT_EQ(entries[1].first, "b");
  EXPECT_FLOAT_EQ(entries[1].second, 0.5f);
  EXPECT_EQ(entries[2].first, "d");
  EXPECT_FLOAT_EQ(entries[2].second, 0.5f);
  EXPECT_EQ(result.GetComplete(), 1u);
}

TEST_F(TextSearch, RestrictionSetLimitsTheCandidates) {
  kvtest::MemoryResultSet restriction;
  restriction.Add("b", 3.0f);
  restriction.Add("c", 1.0f);
  restriction.Add("missing", 2.0f);  // no keyword record: no match
  auto q = Feature("bike", true);
  ASSERT_EQ(q->SearchTable(&table, &restriction, 10, nullptr, nullptr, &result), 0);
  const auto entries = result.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].first, "b");
  EXPECT_EQ(entries[1].first, "c");
}

TEST_F(TextSearch, AllWordsQuery) {
  auto q = Feature("red+bike", true);
  ASSERT_EQ(q->SearchTable(&table, nullptr, 10, nullptr, nullptr, &result), 0);
  const auto entries = result.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].first, "b");
}

TEST_F(TextSearch, FailuresEndTheSearch) {
  auto q = Feature("red", true);
  {
    kvtest::MemoryTable broken;
    broken.Put("x", "red");
    broken.Put("y", "");  // an empty stored record cannot be decoded
    kvtest::MemoryResultSet r;
    EXPECT_EQ(q->SearchTable(&broken, nullptr, 10, nullptr, nullptr, &r), -1);
    EXPECT_EQ(r.GetComplete(), 0u);
  }
  {
    table.FailAt(2);
    kvtest::MemoryResultSet r;
    EXPECT_EQ(q->SearchTable(&table, nullptr, 10, nullptr, nullptr, &r), -1);
    table.FailAt(-1);
  }
  {
    kvtest::MemoryResultSet r;
    r.FailInsert();
    EXPECT_EQ(q->SearchTable(&table, nullptr, 10, nullptr, nullptr, &r), -1);
  }
  kvtest::MemoryResultSet r;
  EXPECT_EQ(q->SearchTable(nullptr, nullptr, 10, nullptr, nullptr, &r), -1);
  EXPECT_EQ(q->SearchTable(&table, nullptr, 10, nullptr, nullptr, nullptr), -1);
}

// The same search over a stored table into the library's own result sets.
TEST(TextFeature, SearchesAStoredTableIntoAResultSet) {
  kvtest::TempDir dir("kw");
  std::unique_ptr<KvConnectClass> connection(NewKvDbmConnectClass());
  ASSERT_NE(connection, nullptr);
  ASSERT_EQ(connection->Connect(dir.path().c_str(), "w"), 0);
  std::unique_ptr<KvDatabaseClass> table(connection->NewDatabase());
  ASSERT_EQ(connection->CreateTable(table.get(), "keywords"), 0);
  ASSERT_EQ(table->Open("keywords", "w"), 0);
  const char* rows[][2] = {{"img1", "red sports car"}, {"img2", "red bike"}, {"img3", "blue bike"}, {"img4", "carpet"}};
  for (const auto& row : rows) {
    KvDatumClass key, value;
    kvtest::SetText(key, row[0], true);
    kvtest::SetText(value, row[1], true);
    ASSERT_EQ(table->Insert(key, value), 0);
  }

  auto q = Feature("red,car", true);
  KvKeyMemoryDatabaseClass result(connection.get());
  ASSERT_EQ(q->SearchTable(table.get(), nullptr, 1, "cat", nullptr, &result), 0);
  EXPECT_EQ(result.GetComplete(), 1u);
  std::vector<std::pair<std::string, float>> got;
  for (auto* e = result.FirstEntry(); e != nullptr; e = e->next) got.emplace_back(e->key, e->distance);
  const std::vector<std::pair<std::string, float>> expected = {{"img1", 0.0f}, {"img2", 0.5f}, {"img4", 0.5f}};
  EXPECT_EQ(got, expected);

  KvKeyMemoryDatabaseClass restriction(connection.get());
  ASSERT_EQ(restriction.InsertKey("img4", 0.25f), 0);
  ASSERT_EQ(restriction.InsertKey("img3", 0.5f), 0);
  ASSERT_EQ(restriction.InsertKey("img9", 0.75f), 0);
  KvKeyMemoryDatabaseClass restricted(connection.get());
  ASSERT_EQ(q->SearchTable(table.get(), &restriction, 1, "cat", nullptr, &restricted), 0);
  ASSERT_EQ(restricted.GetCount(), 1);
  EXPECT_STREQ(restricted.FirstEntry()->key, "img4");
  table->Close();
}

}  // namespace
