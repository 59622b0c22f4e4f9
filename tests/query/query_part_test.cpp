// A query text evaluated part by part (KvQueryPartClass) over two catalogs
// that split the records of a third by key, the parts' answers merged
// between searches by the full order: the same entries as the query object's
// evaluation of the text on the whole catalog, for one search, a cascade
// from keywords, a restriction set and a feature's own every-match search.
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "QueryFixture.h"
#include "query/KvBestList.h"
#include "query/KvQueryPart.h"

namespace {

using qtest::ColorBytes;
using qtest::Entries;
using qtest::Ranking;
using qtest::RecordData;
using qtest::TestCatalog;

std::string Text(KvGenericDataClass* data) {
  KvDatumClass d;
  EXPECT_EQ(data->ToQueryString(d), 0);
  std::string text(reinterpret_cast<const char*>(d.Data()), d.Size());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::string Record(const char* key) { return Text(RecordData("whole", key).get()); }

std::string Words(const char* words) {
  KvGenericImageDataClass data;
  data.SetType(KV_DATA_PICKER);
  data.SetKeywordText(words);
  return Text(&data);
}

class QueryPart : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const TestCatalog::Rows colours = {{"a", ColorBytes(0, 0, 0)},
                                       {"b", ColorBytes(8192, 0, 0)},
                                       {"c", ColorBytes(8192, 8192, 0)},
                                       {"d", ColorBytes(16384, 0, 0)}};
    const TestCatalog::Rows words = {{"a", std::string("red car") + '\0'},
                                     {"c", std::string("red bike") + '\0'},
                                     {"d", std::string("red car") + '\0'}};
    whole_ = new TestCatalog("whole", {qtest::kColor, qtest::kText});
    whole_->Put(qtest::kColor, colours);
    whole_->Put(qtest::kText, words);
    // Part pa holds a and c, part pb holds b and d.
    parts_[0] = new TestCatalog("pa", {qtest::kColor, qtest::kText});
    parts_[1] = new TestCatalog("pb", {qtest::kColor, qtest::kText});
    for (int p = 0; p < 2; ++p) {
      TestCatalog::Rows c, w;
      for (const auto& r : colours) {
        if ((r.first == "a" || r.first == "c") == (p == 0)) c.push_back(r);
      }
      for (const auto& r : words) {
        if ((r.first == "a" || r.first == "c") == (p == 0)) w.push_back(r);
      }
      parts_[p]->Put(qtest::kColor, c);
      parts_[p]->Put(qtest::kText, w);
    }
  }

  // The text ("@" standing for the catalog name) on the whole catalog.
  Ranking Whole(const std::string& text) {
    KvQueryServerClass query(qtest::Connection());
    std::string t = text;
    t.replace(t.find('@'), 1, "whole");
    KvKeyDatabaseClass* result = query.Evaluate(t.c_str());
    EXPECT_NE(result, nullptr) << GetErrorMSG();
    return Entries(result);
  }

  // The text on the two parts, merged after every search.
  Ranking Merged(const std::string& text) {
    std::vector<std::unique_ptr<KvCatalogClass>> catalogs;
    std::vector<std::unique_ptr<KvQueryPartClass>> parts;
    for (const char* name : {"pa", "pb"}) {
      catalogs.emplace_back(qtest::Connection()->NewCatalog());
      parts.push_back(std::make_unique<KvQueryPartClass>(qtest::Connection(), catalogs.back().get()));
      std::string t = text;
      t.replace(t.find('@'), 1, name);
      EXPECT_EQ(parts.back()->Parse(t.c_str()), 0) << GetErrorMSG();
    }
    EXPECT_EQ(parts[0]->Searches(), parts[1]->Searches());
    Ranking merged;
    for (size_t i = 0; i < parts[0]->Searches(); ++i) {
      std::vector<std::unique_ptr<KvKeyDatabaseClass>> sets;
      bool every = false;
      for (auto& p : parts) {
        KvKeyDatabaseClass* set = nullptr;
        bool all = false;
        EXPECT_EQ(p->RunSearch(i, &set, &all), 0) << GetErrorMSG();
        sets.emplace_back(set);
        every = every || all;
      }
      KvBestList best(every ? UINT32_MAX : parts[0]->MaxResults());
      for (auto& set : sets) {
        for (const auto& [key, distance] : Entries(set.get())) best.OfferRanked(key.data(), key.size(), distance);
      }
      merged.clear();
      for (const auto& e : best.Sorted()) merged.emplace_back(e.first, e.second);
      for (auto& p : parts) {
        KvKeyDatabaseClass* set = qtest::Connection()->NewKeyDatabase();
        for (const auto& [key, distance] : merged) {
          dynamic_cast<KvKeyMemoryDatabaseClass*>(set)->InsertKey(key.c_str(), distance);
        }
        p->SetMerged(i, set);
      }
    }
    return merged;
  }

  static TestCatalog* whole_;
  static TestCatalog* parts_[2];
};
TestCatalog* QueryPart::whole_ = nullptr;
TestCatalog* QueryPart::parts_[2] = {nullptr, nullptr};

TEST_F(QueryPart, MergedPartsAnswerAsTheWholeCatalog) {
  const std::string colour = "[ KvColorFeatureClass < W=1 > " + Record("b") + " ]";
  const std::vector<std::string> texts = {
      // One search, best 3 of 4 across both parts.
      "query 3 @\n{\n  " + colour + "\n}\n",
      // Keywords first (O = 0), then colour ranks their matches.
      "query 10 @\n{\n  [ KvTextFeatureClass < W=1 > " + Words("car") +
          " ]\n  [ KvColorFeatureClass < W=1:O=1:C=1 > " + Record("b") + " ]\n}\n",
      // Colour's best 2 over both parts (b, then a before c and d at the
      // same distance), then keywords rank those two alone.
      "query 2 @\n{\n  " + colour + "\n  [ KvTextFeatureClass < W=1:O=1 > " + Words("red") + " ]\n}\n",
      // An explicit restriction set, with a key no part holds.
      "query 10 @\n [ <        35 d 0.000000 c 0.000000 zz 0.000000 > ]\n{\n  " + colour + "\n}\n",
      // The keyword feature's own search answers every match, beyond N.
      "query 1 @\n{\n  [ KvTextFeatureClass < W=1 > " + Words("red") + " ]\n}\n",
  };
  for (const std::string& text : texts) {
    const Ranking whole = Whole(text);
    EXPECT_FALSE(whole.empty()) << text;
    EXPECT_EQ(Merged(text), whole) << text;
  }
  EXPECT_EQ(Whole(texts.back()).size(), 3u);  // every match, though N is 1
}

TEST_F(QueryPart, RefusesWhatItCannotRun) {
  std::unique_ptr<KvCatalogClass> catalog(qtest::Connection()->NewCatalog());
  KvQueryPartClass part(qtest::Connection(), catalog.get());
  KvKeyDatabaseClass* set = nullptr;
  bool all = true;
  EXPECT_NE(part.RunSearch(0, &set, &all), 0);  // nothing parsed
  EXPECT_EQ(set, nullptr);
  EXPECT_FALSE(all);
  EXPECT_NE(part.Parse("query 3 pa { [ KvNoSuchFeatureClass < W=1 > "), 0);
  KvQueryPartClass again(qtest::Connection(), catalog.get());
  EXPECT_NE(again.Parse(nullptr), 0);
  EXPECT_NE(again.Parse(("query 3 nosuchcatalog\n{\n  [ KvColorFeatureClass < W=1 > " + Record("a") + " ]\n}\n").c_str()), 0);
}

}  // namespace
