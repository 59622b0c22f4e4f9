// In-memory result sets: ordering, duplicate rules, the table interface,
// iterators, text forms (round trips, truncations, garbled texts) and a
// fixed-seed run against a model.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/KvError.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"
#include "KvTestUtil.h"

namespace {

using Pair = std::pair<float, std::string>;

struct TextDatum {
  explicit TextDatum(const std::string& text, bool withNul = true) : bytes(text) {
    datum.SetBytes(text.size() + (withNul ? 1 : 0),
                   reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.c_str())), KvOwnNone);
  }
  std::string bytes;
  KvDatumClass datum;
};

// A datum over an exact-size heap copy of text (no NUL behind it), so a read
// past its end is caught by the address sanitizer.
struct ExactDatum {
  explicit ExactDatum(const std::string& text) : bytes(new unsigned char[text.size() + 1]) {
    std::memcpy(bytes.get(), text.data(), text.size());
    datum.SetBytes(text.size(), text.empty() ? nullptr : bytes.get(), KvOwnNone);
  }
  std::unique_ptr<unsigned char[]> bytes;
  KvDatumClass datum;
};

std::vector<Pair> Contents(const KvKeyMemoryDatabaseClass& set) {
  std::vector<Pair> out;
  for (auto* e = set.FirstEntry(); e != nullptr; e = e->next) out.emplace_back(e->distance, e->key);
  return out;
}

int Insert(KvKeyMemoryDatabaseClass& set, const std::string& key, float distance) {
  TextDatum k(key);
  KvDatumClass d;
  EXPECT_EQ(0, set.SetDistance(d, distance));
  return set.Insert(k.datum, d);
}

std::string ToText(KvKeyMemoryDatabaseClass& set, bool withDistances) {
  KvDatumClass out;
  EXPECT_EQ(0, withDistances ? set.ToQueryString(out) : set.ToKeyString(out));
  return std::string(reinterpret_cast<const char*>(out.Data()), out.Size());
}

TEST(KeySet, EntriesAreOrderedByDistanceThenKey) {
  KvKeyMemoryDatabaseClass set(nullptr);
  EXPECT_EQ(0, Insert(set, "b", 0.5f));
  EXPECT_EQ(0, Insert(set, "a", 0.1f));
  EXPECT_EQ(0, Insert(set, "c", 0.5f));
  EXPECT_EQ((std::vector<Pair>{{0.1f, "a"}, {0.5f, "b"}, {0.5f, "c"}}), Contents(set));
  EXPECT_EQ(3, set.GetCount());
  // NaN goes behind every number and keeps the list ordered.
  EXPECT_EQ(0, set.InsertKey("n", NAN));
  EXPECT_EQ(0, set.InsertKey("z", INFINITY));
  EXPECT_EQ(0, set.InsertKey("m", 0.2f));
  const std::vector<Pair> got = Contents(set);
  ASSERT_EQ(6u, got.size());
  EXPECT_EQ("m", got[1].second);
  EXPECT_EQ("z", got[4].second);
  EXPECT_TRUE(std::isnan(got[5].first));
}

TEST(KeySet, OneEntryPerKeyWithTheSmallerDistance) {
  KvKeyMemoryDatabaseClass set(nullptr);
  ASSERT_EQ(0, Insert(set, "k", 0.5f));
  EXPECT_EQ(1, Insert(set, "k", 0.5f));
  EXPECT_EQ(1, Insert(set, "k", 0.9f));
  EXPECT_EQ(1, set.InsertKey("k", 0.7f));
  EXPECT_EQ(1, set.GetCount());
  // A smaller distance replaces the entry, also when other keys lie between
  // the new place and the old entry.
  ASSERT_EQ(0, Insert(set, "a", 0.2f));
  ASSERT_EQ(0, Insert(set, "b", 0.3f));
  EXPECT_EQ(0, Insert(set, "k", 0.1f));
  EXPECT_EQ((std::vector<Pair>{{0.1f, "k"}, {0.2f, "a"}, {0.3f, "b"}}), Contents(set));
  EXPECT_EQ(0, set.InsertKey("b", 0.0f));
  EXPECT_EQ(1, Insert(set, "a", 0.25f));
  EXPECT_EQ((std::vector<Pair>{{0.0f, "b"}, {0.1f, "k"}, {0.2f, "a"}}), Contents(set));
  EXPECT_EQ(0.2f, set.LastDistance());
}

TEST(KeySet, TableOperationsKeepTheirResults) {
  KvKeyMemoryDatabaseClass set(nullptr);
  TextDatum missing("missing");
  KvDatumClass d;
  EXPECT_EQ(1, set.Get(missing.datum, d));
  EXPECT_EQ(1, set.Delete(missing.datum));
  ASSERT_EQ(0, set.SetDistance(d, 0.25f));
  EXPECT_EQ(1, set.Update(missing.datum, d, False));
  EXPECT_EQ(0, set.GetCount());
  EXPECT_EQ(0, set.Update(missing.datum, d, True));
  ASSERT_EQ(0, set.SetDistance(d, 0.75f));
  EXPECT_EQ(0, set.Update(missing.datum, d, False));
  // The key is the datum's text up to its NUL, with or without the NUL.
  TextDatum bare("missing", false);
  KvDatumClass got;
  ASSERT_EQ(0, set.Get(bare.datum, got));
  EXPECT_EQ(KvOwnKvDelete, got.BytesOwnership());
  EXPECT_EQ(0.75f, set.GetDistance(got));
  unsigned char three[3] = {1, 2, 3};
  KvDatumClass shortDatum;
  shortDatum.SetBytes(3, three, KvOwnNone);
  EXPECT_EQ(-2.0f, set.GetDistance(shortDatum));
  EXPECT_EQ(-2.0f, set.GetDistance(KvDatumClass()));
  EXPECT_EQ(0, set.Insert(TextDatum("nodist").datum, KvDatumClass()));
  EXPECT_EQ((std::vector<Pair>{{-2.0f, "nodist"}, {0.75f, "missing"}}), Contents(set));
  EXPECT_EQ(0, set.Remove());
  EXPECT_EQ(0, set.Sync());
  EXPECT_EQ(0, set.Create("x"));
}

TEST(KeySet, LongKeysAreStoredAndReturnedUnchanged) {
  KvKeyMemoryDatabaseClass set(nullptr);
  const std::string forty(40, 'q');
  const std::string thirtyOne(31, 'r');
  const std::string thirtyTwo(32, 's');
  ASSERT_EQ(0, Insert(set, forty, 1.0f));
  ASSERT_EQ(0, Insert(set, thirtyOne, 2.0f));
  ASSERT_EQ(0, Insert(set, thirtyTwo, 3.0f));
  EXPECT_EQ((std::vector<Pair>{{1.0f, forty}, {2.0f, thirtyOne}, {3.0f, thirtyTwo}}), Contents(set));
  KvDatumClass key, data;
  ASSERT_EQ(0, set.GetLast(key, data));
  EXPECT_EQ(thirtyTwo.size() + 1, key.Size());
  EXPECT_STREQ(thirtyTwo.c_str(), reinterpret_cast<const char*>(key.Data()));
  EXPECT_EQ(3.0f, set.GetDistance(data));
  EXPECT_EQ(0, set.Delete(TextDatum(forty).datum));
  EXPECT_EQ(0, set.DeleteLast());
  EXPECT_EQ(2.0f, set.LastDistance());
  EXPECT_EQ(0, set.DeleteLast());
  EXPECT_EQ(1, set.DeleteLast());
  EXPECT_EQ(-1.0f, set.LastDistance());
  EXPECT_EQ(1, set.GetLast(key, data));
}

TEST(KeySet, IteratorWalksTheSetInOrder) {
  KvKeyMemoryDatabaseClass set(nullptr);
  std::unique_ptr<KvDbIteratorClass> empty(set.NewIterator());
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(0, empty->HasCurrent());
  EXPECT_EQ(1, empty->First());
  KvDatumClass key, data;
  EXPECT_EQ(-1, empty->Next(key, data, 1));
  EXPECT_EQ(-1, empty->NextView(key, data));

  set.InsertKey("c", 0.3f);
  set.InsertKey("a", 0.1f);
  set.InsertKey("b", 0.2f);
  std::unique_ptr<KvDbIteratorClass> it(set.NewIterator());
  std::vector<std::string> walked;
  while (it->HasCurrent()) {
    ASSERT_EQ(0, it->Next(key, data, 1));
    EXPECT_EQ(KvOwnArrayDelete, key.BytesOwnership());
    EXPECT_EQ(2u, key.Size());
    walked.push_back(reinterpret_cast<const char*>(key.Data()));
  }
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), walked);
  EXPECT_EQ(-1, it->Next(key, data, 1));
  EXPECT_EQ(-1, it->Next(key, data, 7));
  ASSERT_EQ(0, it->Next(key, data, 0));
  EXPECT_STREQ("a", reinterpret_cast<const char*>(key.Data()));
  TextDatum b("b");
  key.SetBytes(b.datum.Size(), const_cast<unsigned char*>(b.datum.Data()), KvOwnNone);
  ASSERT_EQ(0, it->Next(key, data, 2));
  EXPECT_STREQ("b", reinterpret_cast<const char*>(key.Data()));
  EXPECT_EQ(0.2f, set.GetDistance(data));
  TextDatum none("none");
  key.SetBytes(none.datum.Size(), const_cast<unsigned char*>(none.datum.Data()), KvOwnNone);
  EXPECT_EQ(-1, it->Next(key, data, 2));
  EXPECT_EQ(0, it->First());
  std::vector<Pair> viewed;
  while (it->HasCurrent()) {
    ASSERT_EQ(0, it->NextView(key, data));
    EXPECT_EQ(KvOwnNone, key.BytesOwnership());
    viewed.emplace_back(set.GetDistance(data), reinterpret_cast<const char*>(key.Data()));
  }
  EXPECT_EQ(Contents(set), viewed);
}

TEST(KeySet, OpenAcceptsReadOrTheConnectionsMode) {
  kvtest::TempDir dir("keyset");
  std::unique_ptr<KvConnectClass> reader(NewKvDbmConnectClass());
  ASSERT_EQ(0, reader->Connect(dir.path().c_str(), "r"));
  std::unique_ptr<KvKeyDatabaseClass> set(reader->NewKeyDatabase());
  ASSERT_NE(nullptr, set);
  EXPECT_EQ(-1, set->Open("n", "w"));
  EXPECT_EQ(-1, set->Open("n", nullptr));
  EXPECT_EQ(nullptr, set->GetTableName());
  EXPECT_EQ(0, set->Open("n", "r"));
  EXPECT_STREQ("n", set->GetTableName());
  EXPECT_EQ(0, set->Close());
  EXPECT_EQ(nullptr, set->GetTableName());
  std::unique_ptr<KvConnectClass> writer(NewKvDbmConnectClass());
  ASSERT_EQ(0, writer->Connect(dir.path().c_str(), "w"));
  KvKeyMemoryDatabaseClass other(writer.get());
  EXPECT_EQ(0, other.Open("m", "write"));
  EXPECT_EQ(0, other.OpenForWrite("o"));
  EXPECT_STREQ("o", other.GetTableName());
  EXPECT_EQ(0u, other.GetComplete());
  other.SetComplete(1);
  EXPECT_EQ(1u, other.GetComplete());
}

TEST(KeySet, TextFormsHaveTheirExactLayout) {
  KvKeyMemoryDatabaseClass set(nullptr);
  EXPECT_EQ(std::string("<        14 >\0", 14), ToText(set, true));
  EXPECT_EQ(std::string("<        14 >\0", 14), ToText(set, false));
  set.InsertKey("k", 1.0f);
  EXPECT_EQ(std::string("<        25 k 1.000000 >\0", 25), ToText(set, true));
  set.InsertKey("b", 0.5f);
  EXPECT_EQ(std::string("<        18 b k >\0", 18), ToText(set, false));

  KvKeyMemoryDatabaseClass back(nullptr);
  EXPECT_EQ(0, back.FromQueryString(TextDatum("<        25 k 1.000000 >").datum));
  EXPECT_EQ((std::vector<Pair>{{1.0f, "k"}}), Contents(back));
  KvKeyMemoryDatabaseClass keys(nullptr);
  EXPECT_EQ(0, keys.FromKeyString(TextDatum("<        20 c a b >").datum));
  EXPECT_EQ((std::vector<Pair>{{-2.0f, "a"}, {-2.0f, "b"}, {-2.0f, "c"}}), Contents(keys));
}

TEST(KeySet, KeysThatCannotBeReadBackAreNotWritten) {
  for (const char* key : {"a b", "tab\tkey", ""}) {
    KvKeyMemoryDatabaseClass set(nullptr);
    ASSERT_EQ(0, set.InsertKey(key, 1.0f));
    KvDatumClass out;
    KvInitializeErrorStructure();
    EXPECT_EQ(-1, set.ToQueryString(out));
    EXPECT_EQ(-1, set.ToKeyString(out));
    EXPECT_EQ(KERR_General, GetErrorMSGNumber());
    EXPECT_EQ(0u, out.Size());
  }
}

TEST(KeySet, ReadingTextsGivesTheExpectedResults) {
  struct Case {
    const char* text;
    int result;
    size_t count;
  } cases[] = {
      {"", 0, 0},
      {"<        14 >", 0, 0},
      {"<20 a 1 >", 0, 1},
      {"< 0 k 1 >", 0, 1},
      {"< 99999999999999999999999999 a 1 b 2 >", 0, 2},
      {"  <   9\ta\t0.5\n>  ", 0, 1},
      {"< 0 a nan b inf >", 0, 2},
      {"< 0 a 1 a 2 >", 0, 1},  // read from the back: a 1 replaces a 2
      {"< 0 a 2 a 1 >", 1, 1},  // read from the back: a 2 is refused
      {"x", -1, 0},
      {"<", -1, 0},
      {"< 12", -1, 0},
      {"<  >", -1, 0},
      {"< 14>", -1, 0},
      {"< 1a a 1 >", -1, 0},
      {"< 20 a >", -1, 0},
      {"< 20 a b >", -1, 0},
      {"< 20 a 1.0.0 >", -1, 0},
      {"< 20 a 1.0 >x", -1, 0},
      {"< 20 a 1.0x>", -1, 0},
      {"< 20 a 1 b>", -1, 0},
      {"> 20 a 1 <", -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    KvKeyMemoryDatabaseClass set(nullptr);
    ExactDatum in(c.text);
    KvInitializeErrorStructure();
    EXPECT_EQ(c.result, set.FromQueryString(in.datum));
    EXPECT_EQ(static_cast<long>(c.count), set.GetCount());
    if (c.result == -1) {
      EXPECT_EQ(KERR_General, GetErrorMSGNumber());
      EXPECT_NE(nullptr, std::strstr(GetErrorMSG(), "FromQueryString"));
    }
  }
  KvKeyMemoryDatabaseClass set(nullptr);
  EXPECT_EQ(-1, set.FromQueryString(ExactDatum("< 0 a " + std::string(64, '1') + " >").datum));
  EXPECT_EQ(0, set.FromQueryString(ExactDatum("< 0 a " + std::string(63, '1') + " >").datum));
  EXPECT_EQ(-1, set.FromKeyString(ExactDatum("< 0 a b").datum));
  EXPECT_EQ(0, set.FromKeyString(ExactDatum("< 0 a b >").datum));
}

// Random sets, written and read back in both forms; the reader gets the text
// with its NUL, without it, and in a buffer that ends right after ">".
TEST(KeySet, TextFormsRoundTrip) {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    KvKeyMemoryDatabaseClass set(nullptr);
    const int n = static_cast<int>(random() % 30);
    std::set<std::string> used;  // unique keys: the key form would refuse twins
    for (int i = 0; i < n; ++i) {
      const std::string key = "key" + std::to_string(random() % 50) + std::string(random() % 3 == 0 ? 35 : 0, 'L');
      if (!used.insert(key).second) continue;
      ASSERT_EQ(0, set.InsertKey(key.c_str(), static_cast<float>(random() % 9) / 4.0f - 0.5f));
    }
    const std::string text = ToText(set, true);
    for (size_t cut : {size_t(0), size_t(1)}) {
      KvKeyMemoryDatabaseClass back(nullptr);
      ASSERT_EQ(0, back.FromQueryString(ExactDatum(text.substr(0, text.size() - cut)).datum));
      ASSERT_EQ(Contents(set), Contents(back));
    }
    KvKeyMemoryDatabaseClass keys(nullptr);
    ASSERT_EQ(0, keys.FromKeyString(ExactDatum(ToText(set, false)).datum));
    std::vector<Pair> expected;
    for (const Pair& p : Contents(set)) expected.emplace_back(-2.0f, p.second);
    std::sort(expected.begin(), expected.end(), [](const Pair& a, const Pair& b) { return a.second < b.second; });
    ASSERT_EQ(expected, Contents(keys));
  }
}

TEST(KeySet, EveryTruncationIsRefusedCleanly) {
  KvKeyMemoryDatabaseClass set(nullptr);
  set.InsertKey("alpha", 0.25f);
  set.InsertKey(std::string(40, 'w').c_str(), 1.5f);
  set.InsertKey("b", -3.0f);
  for (bool withDistances : {true, false}) {
    const std::string text = ToText(set, withDistances);
    for (size_t length = 0; length < text.size(); ++length) {
      SCOPED_TRACE(length);
      KvKeyMemoryDatabaseClass back(nullptr);
      ExactDatum in(text.substr(0, length));
      const int result = withDistances ? back.FromQueryString(in.datum) : back.FromKeyString(in.datum);
      if (length == 0 || length >= text.size() - 1) {
        EXPECT_EQ(0, result);
        EXPECT_EQ(length == 0 ? 0 : 3, back.GetCount());
      } else {
        EXPECT_EQ(-1, result);
        EXPECT_EQ(0, back.GetCount());
      }
    }
  }
}

// Mutated texts must never crash, hang or read past the datum; a refused
// text adds nothing.
TEST(KeySet, GarbledTextsNeverCrash) {
  KvKeyMemoryDatabaseClass source(nullptr);
  for (int i = 0; i < 6; ++i) source.InsertKey(("k" + std::to_string(i)).c_str(), i * 0.5f);
  const std::string text = ToText(source, true);
  const char alphabet[] = "<> \t0123456789.-+eEnaifx\0\xff";
  std::mt19937 random(99);
  for (int round = 0; round < 3000; ++round) {
    std::string garbled = text;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = random() % (garbled.size() + 1);
      const char c = alphabet[random() % (sizeof alphabet - 1)];
      switch (random() % 3) {
        case 0:
          if (at < garbled.size()) garbled[at] = c;
          break;
        case 1:
          garbled.insert(garbled.begin() + static_cast<long>(at), c);
          break;
        default:
          if (at < garbled.size()) garbled.erase(at, 1);
      }
    }
    KvKeyMemoryDatabaseClass set(nullptr);
    ExactDatum in(garbled);
    const int result = round % 2 ? set.FromQueryString(in.datum) : set.FromKeyString(in.datum);
    ASSERT_TRUE(result == 0 || result == 1 || result == -1) << result;
    if (result == -1) {
      ASSERT_EQ(0, set.GetCount());
    }
  }
}

// The model: a set ordered by (distance, key) holding one pair per key. An
// insert of a key it holds replaces the pair when it sorts first, and is
// refused otherwise.
struct Before {
  bool operator()(const Pair& a, const Pair& b) const {
    return a.first != b.first ? a.first < b.first : a.second < b.second;
  }
};
using Model = std::set<Pair, Before>;

int ModelInsert(Model& model, const Pair& p) {
  for (auto it = model.begin(); it != model.end(); ++it) {
    if (it->second != p.second) continue;
    if (!Before()(p, *it)) return 1;
    model.erase(it);
    break;
  }
  model.insert(p);
  return 0;
}

Model::iterator ModelFind(Model& model, const std::string& key) {
  for (auto it = model.begin(); it != model.end(); ++it) {
    if (it->second == key) return it;
  }
  return model.end();
}

TEST(KeySet, RandomOperationsMatchAModel) {
  KvKeyMemoryDatabaseClass set(nullptr);
  Model model;
  std::mt19937 random(424242);
  const float distances[] = {0.0f, 0.25f, 0.5f, 0.5f, 1.0f, -2.0f, 3.75f};
  for (int step = 0; step < 5000; ++step) {
    const std::string key =
        "img" + std::to_string(random() % 25) + (random() % 4 == 0 ? std::string(30, 'z') : "");
    const float distance = distances[random() % (sizeof distances / sizeof distances[0])];
    TextDatum k(key, random() % 2 == 0);
    KvDatumClass d;
    ASSERT_EQ(0, set.SetDistance(d, distance));
    switch (random() % 7) {
      case 0:
        ASSERT_EQ(ModelInsert(model, {distance, key}), set.Insert(k.datum, d));
        break;
      case 1:
        ASSERT_EQ(ModelInsert(model, {distance, key}), set.InsertKey(key.c_str(), distance));
        break;
      case 2: {
        const Boolean insert = random() % 2 ? True : False;
        auto it = ModelFind(model, key);
        const bool was = it != model.end();
        if (was) model.erase(it);
        const int expected = was || insert ? ModelInsert(model, {distance, key}) : 1;
        ASSERT_EQ(expected, set.Update(k.datum, d, insert));
        break;
      }
      case 3: {
        auto it = ModelFind(model, key);
        ASSERT_EQ(it == model.end() ? 1 : 0, set.Delete(k.datum));
        if (it != model.end()) model.erase(it);
        break;
      }
      case 4: {
        ASSERT_EQ(model.empty() ? 1 : 0, set.DeleteLast());
        if (!model.empty()) model.erase(std::prev(model.end()));
        break;
      }
      case 5: {
        auto it = ModelFind(model, key);
        KvDatumClass got;
        ASSERT_EQ(it == model.end() ? 1 : 0, set.Get(k.datum, got));
        if (it != model.end()) {
          ASSERT_EQ(it->first, set.GetDistance(got));
        }
        break;
      }
      default:
        // The best-N pattern: replace the worst entry by a better one.
        if (!model.empty() && distance < set.LastDistance()) {
          ASSERT_EQ(0, set.DeleteLast());
          model.erase(std::prev(model.end()));
          ASSERT_EQ(ModelInsert(model, {distance, key}), set.InsertKey(key.c_str(), distance));
        }
    }
    ASSERT_EQ(std::vector<Pair>(model.begin(), model.end()), Contents(set)) << "step " << step;
    ASSERT_EQ(static_cast<long>(model.size()), set.GetCount());
    ASSERT_EQ(model.empty() ? -1.0f : std::prev(model.end())->first, set.LastDistance());
  }
}

// Reading a text into a filled set gives what inserting its pairs one by one
// from the last gives, up to the first refused one: texts in any order, with
// and without repeated keys.
TEST(KeySet, ReadingMatchesInsertingFromTheBack) {
  std::mt19937 random(31337);
  for (int round = 0; round < 300; ++round) {
    KvKeyMemoryDatabaseClass set(nullptr);
    Model model;
    const int keyPool = round % 3 == 0 ? 12 : 400;
    for (int i = static_cast<int>(random() % 10); i > 0; --i) {
      const std::string key = "k" + std::to_string(random() % keyPool);
      const float distance = static_cast<float>(random() % 8) / 4.0f;
      ASSERT_EQ(ModelInsert(model, {distance, key}), set.InsertKey(key.c_str(), distance));
    }
    std::vector<Pair> pairs;
    std::string text = "< 0 ";
    for (int i = static_cast<int>(random() % 40); i > 0; --i) {
      pairs.emplace_back(static_cast<float>(random() % 8) / 4.0f, "k" + std::to_string(random() % keyPool));
      char number[32];
      std::snprintf(number, sizeof number, "%f", static_cast<double>(pairs.back().first));
      text += pairs.back().second + " " + number + " ";
    }
    text += ">";
    int expected = 0;
    for (auto it = pairs.rbegin(); it != pairs.rend() && expected == 0; ++it) {
      expected = ModelInsert(model, *it);
    }
    ASSERT_EQ(expected, set.FromQueryString(ExactDatum(text).datum)) << text;
    ASSERT_EQ(std::vector<Pair>(model.begin(), model.end()), Contents(set)) << text;
    ASSERT_EQ(static_cast<long>(model.size()), set.GetCount());
  }
}

// One repeated key once sent reading down a walk of the set per pair: a
// 630 KB text of 50000 pairs took 5 s. The outcome is that of inserting the
// pairs from the back, one at a time.
TEST(KeySet, LongTextsWithARepeatedKeyReadInOnePass) {
  std::string text = "< 0 ";
  const int n = 60000;
  for (int i = 0; i < n; ++i) text += "k" + std::to_string(i) + " " + std::to_string((i * 7919) % 1000) + ".5 ";
  // Read first: k0 at 1.0; the leading k0 at 0.5, read last, replaces it.
  const std::string repeated = text + "k0 1.0 >";
  KvKeyMemoryDatabaseClass set(nullptr);
  ASSERT_EQ(set.FromQueryString(ExactDatum(repeated).datum), 0);
  EXPECT_EQ(set.GetCount(), n);
  KvDatumClass got;
  ASSERT_EQ(0, set.Get(TextDatum("k0").datum, got));
  EXPECT_EQ(0.5f, set.GetDistance(got));
  // Read first: k7 at 0.25; reading stops at the leading k7 (433.5), which
  // comes after it, once k59999 down to k8 are in.
  const std::string stopped = text + "k7 0.25 >";
  KvKeyMemoryDatabaseClass partial(nullptr);
  EXPECT_EQ(partial.FromQueryString(ExactDatum(stopped).datum), 1);
  EXPECT_EQ(partial.GetCount(), 1 + (n - 8));
}

}  // namespace
