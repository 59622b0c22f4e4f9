// The query server on the caller's objects: the best-N rule, N = 0 and N
// beyond the catalog, agreement with a straightforward evaluation, cascades
// by O, the complete short cut, restriction sets, mixed queries, KeyDistance,
// result ownership and the error record.
#include <cmath>
#include <cstring>
#include <map>

#include "QueryFixture.h"
#include "query/KvQueryKernel.h"
#include "query/KvQueryRules.h"

namespace {

using qtest::ColorBytes;
using qtest::Entries;
using qtest::QueryArrays;
using qtest::QueryFeature;
using qtest::Ranking;
using qtest::RecordData;
using qtest::TestCatalog;

// Values whose squared distance from (0, 0, 0) is exactly d (in units of
// 16384 squared): 8192 gives 0.25, two of them 0.5.
const std::string kHalf = ColorBytes(8192, 8192, 0);
const std::string kQuarter = ColorBytes(8192, 0, 0);
const std::string kOne = ColorBytes(16384, 0, 0);

// A catalog "queries" holding the query records: the query object (0, 0, 0).
TestCatalog& Queries() {
  static TestCatalog* catalog = [] {
    auto* c = new TestCatalog("queries", {qtest::kColor, qtest::kColorSub, qtest::kHistogram, qtest::kTexture});
    c->Put(qtest::kColor, "origin", ColorBytes(0, 0, 0));
    c->Put(qtest::kColorSub, "origin", ColorBytes(0, 0, 0));
    return c;
  }();
  return *catalog;
}

QueryFeature Origin(const char* feature = qtest::kColor, const std::string& parms = "") {
  return QueryFeature(feature, parms, RecordData(Queries().name(), "origin"));
}

class QueryServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(qtest::Connection(), nullptr);
    Queries();
  }
  // EvaluateObjects on the caller's objects. The previous result of q passes
  // to the caller at each call; the helper releases it unless it went back
  // in as a restriction set.
  KvKeyDatabaseClass* Search(KvQueryServerClass& q, unsigned long n, TestCatalog& cat,
                             std::vector<QueryFeature*> list, KvKeyDatabaseClass* restriction = nullptr,
                             KvKeyDatabaseClass* subRestriction = nullptr) {
    KvKeyDatabaseClass*& last = last_[&q];
    KvKeyDatabaseClass* previous = last;
    QueryArrays a(list);
    KvKeyDatabaseClass* result = q.EvaluateObjects(n, cat.get(), restriction, subRestriction, a.count(),
                                                   a.data.data(), a.features.data(), a.parameters.data());
    if (previous != nullptr && previous != restriction && previous != subRestriction) delete previous;
    last = result;
    return result;
  }

  KvQueryServerClass query_{qtest::Connection()};
  std::map<KvQueryServerClass*, KvKeyDatabaseClass*> last_;
};

TEST_F(QueryServer, EqualDistancesNeverDisplaceAnEarlierKey) {
  TestCatalog cat("ties", {qtest::kColor});
  cat.Put(qtest::kColor, {{"k1", kHalf}, {"k2", kQuarter}, {"k3", kHalf}});
  QueryFeature color = Origin();
  KvKeyDatabaseClass* result = Search(query_, 2, cat, {&color});
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  EXPECT_EQ(Entries(result), (Ranking{{"k2", 0.25f}, {"k1", 0.5f}}));
  EXPECT_EQ(query_.GetStatus(), 0);
}

TEST_F(QueryServer, CountsZeroAndBeyondTheCatalog) {
  TestCatalog cat("counts", {qtest::kColor});
  cat.Put(qtest::kColor, {{"b", kHalf}, {"a", kOne}, {"c", kQuarter}});
  QueryFeature color = Origin();
  KvKeyDatabaseClass* result = Search(query_, 0, cat, {&color});
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->GetCount(), 0);
  // The keyword command asks for 2^31 - 1 results; nothing is sized by N.
  result = Search(query_, 2147483647ul, cat, {&color});
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Entries(result), (Ranking{{"c", 0.25f}, {"b", 0.5f}, {"a", 1.0f}}));
  result = Search(query_, 0xFFFFFFFFFFul, cat, {&color});
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->GetCount(), 3);
}

// Builds a catalog of images and compares single and combined searches with
// the plain rule applied to every stored image.
TEST_F(QueryServer, AgreesWithTheStraightforwardEvaluation) {
  TestCatalog cat("agree", {qtest::kColor, qtest::kHistogram});
  std::vector<std::string> keys;
  TestCatalog::Rows colors, hists;
  for (unsigned i = 0; i < 120; ++i) {
    qtest::RandomImage image(i);
    char key[32];
    std::snprintf(key, sizeof key, "img%03u", (i * 37) % 120);
    keys.push_back(key);
    colors.emplace_back(key, qtest::Computed(qtest::kColor, image.get()));
    hists.emplace_back(key, qtest::Computed(qtest::kHistogram, image.get()));
  }
  cat.Put(qtest::kColor, colors);
  cat.Put(qtest::kHistogram, hists);
  // The query: the image of key img000 (one of the stored ones).
  auto make = [&](const char* f, const char* parms) {
    return QueryFeature(f, parms, RecordData(cat.name(), "img000"));
  };
  QueryFeature color = make(qtest::kColor, "W=2.5");
  QueryFeature hist = make(qtest::kHistogram, "W=0.75");
  ASSERT_NE(Search(query_, 1, cat, {&color, &hist}), nullptr) << GetErrorMSG();  // computes both query features

  std::sort(keys.begin(), keys.end());  // the table walk's order
  Ranking single, combined;
  for (const std::string& k : keys) {
    KvDatumClass bytes;
    ASSERT_EQ(cat.get()->GetFeature(k.c_str(), qtest::kColor, bytes), 0);
    const float dc = qtest::DistanceTo(color, kvtest::Bytes(bytes));
    ASSERT_EQ(cat.get()->GetFeature(k.c_str(), qtest::kHistogram, bytes), 0);
    const float dh = qtest::DistanceTo(hist, kvtest::Bytes(bytes));
    single.emplace_back(k, static_cast<float>(2.5 * dc));
    combined.emplace_back(k, static_cast<float>(2.5 * dc + 0.75 * dh));
  }
  for (unsigned long n : {1ul, 2ul, 7ul, 119ul, 120ul, 500ul}) {
    EXPECT_EQ(Entries(Search(query_, n, cat, {&color})), qtest::ReferenceBest(single, n)) << "n=" << n;
    EXPECT_EQ(Entries(Search(query_, n, cat, {&hist, &color})), qtest::ReferenceBest(combined, n)) << "n=" << n;
  }
  Ranking best = Entries(Search(query_, 3, cat, {&color}));
  ASSERT_FALSE(best.empty());
  EXPECT_EQ(best[0], (std::pair<std::string, float>("img000", 0.0f)));
}

TEST_F(QueryServer, CascadesFromTheLowestGroup) {
  TestCatalog cat("cascade", {qtest::kColor, qtest::kHistogram, qtest::kTexture});
  std::vector<std::string> keys;
  TestCatalog::Rows rows[3];
  const char* features[3] = {qtest::kColor, qtest::kHistogram, qtest::kTexture};
  for (unsigned i = 0; i < 40; ++i) {
    qtest::RandomImage image(1000 + i);
    char key[32];
    std::snprintf(key, sizeof key, "c%02u", i);
    keys.push_back(key);
    for (int f = 0; f < 3; ++f) rows[f].emplace_back(key, qtest::Computed(features[f], image.get()));
  }
  for (int f = 0; f < 3; ++f) cat.Put(features[f], rows[f]);
  for (int combine : {0, 1}) {
    auto make = [&](const char* f, std::string parms) {
      return QueryFeature(f, parms, RecordData(cat.name(), "c07"));
    };
    QueryFeature texture = make(qtest::kTexture, "O=2:W=3:C=" + std::to_string(combine));
    QueryFeature color = make(qtest::kColor, "O=1:W=2");
    QueryFeature hist = make(qtest::kHistogram, "O=1");
    const size_t n = 5;
    KvKeyDatabaseClass* result = Search(query_, n, cat, {&texture, &color, &hist});
    ASSERT_NE(result, nullptr) << GetErrorMSG();
    const Ranking got = Entries(result);

    Ranking first;
    for (const std::string& k : keys) {
      KvDatumClass c, h;
      ASSERT_EQ(cat.get()->GetFeature(k.c_str(), qtest::kColor, c), 0);
      ASSERT_EQ(cat.get()->GetFeature(k.c_str(), qtest::kHistogram, h), 0);
      first.emplace_back(k, static_cast<float>(2.0 * qtest::DistanceTo(color, kvtest::Bytes(c)) +
                                               1.0 * qtest::DistanceTo(hist, kvtest::Bytes(h))));
    }
    first = qtest::ReferenceBest(first, n);
    Ranking second;
    for (const auto& [k, d] : first) {
      KvDatumClass t;
      ASSERT_EQ(cat.get()->GetFeature(k.c_str(), qtest::kTexture, t), 0);
      float v = static_cast<float>(3.0 * qtest::DistanceTo(texture, kvtest::Bytes(t)));
      if (combine == 0) v += d;
      second.emplace_back(k, v);
    }
    EXPECT_EQ(got, qtest::ReferenceBest(second, n)) << "C=" << combine;
    EXPECT_EQ(got.front().first, "c07");
  }
}

TEST_F(QueryServer, TakesACompleteFeatureSearchAsItStands) {
  TestCatalog cat("keywords", {qtest::kText});
  const char* stored[][2] = {{"a", "red sports car"}, {"b", "red bike"}, {"c", "blue bike"}, {"d", "carpet"}};
  TestCatalog::Rows rows;
  for (auto& s : stored) rows.emplace_back(s[0], std::string(s[1]) + '\0');
  cat.Put(qtest::kText, rows);
  std::unique_ptr<KvGenericImageDataClass> words(new KvGenericImageDataClass);
  words->SetType(KV_DATA_PICKER);
  words->SetKeywordText("red,car");
  QueryFeature text(qtest::kText, "", std::move(words));
  // N = 1, yet every match comes back, unweighted and uncut.
  text.parameters->SetW(10.0);
  KvKeyDatabaseClass* result = Search(query_, 1, cat, {&text});
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  EXPECT_EQ(Entries(result), (Ranking{{"a", 0.0f}, {"b", 0.5f}, {"d", 0.5f}}));
  EXPECT_EQ(result->GetComplete(), 1u);
}

TEST_F(QueryServer, RestrictionKeysWithoutARecordAreSkipped) {
  TestCatalog cat("restrict", {qtest::kColor});
  cat.Put(qtest::kColor, {{"r1", kOne}, {"r2", kQuarter}, {"r3", kHalf}});
  KvKeyDatabaseClass* restriction = qtest::Connection()->NewKeyDatabase();
  KvKeyMemoryDatabaseClass* set = dynamic_cast<KvKeyMemoryDatabaseClass*>(restriction);
  ASSERT_NE(set, nullptr);
  set->InsertKey("r1", 0.125f);
  set->InsertKey("ghost", 0.0f);
  set->InsertKey("r3", 0.5f);
  QueryFeature color = Origin();
  KvKeyDatabaseClass* result = Search(query_, 10, cat, {&color}, restriction);
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  // C = 0 adds the restriction distance; r2 was not a candidate.
  EXPECT_EQ(Entries(result), (Ranking{{"r3", 1.0f}, {"r1", 1.125f}}));

  KvKeyDatabaseClass* again = qtest::Connection()->NewKeyDatabase();
  dynamic_cast<KvKeyMemoryDatabaseClass*>(again)->InsertKey("r1", 0.125f);
  QueryFeature noAdd = Origin(qtest::kColor, "C=1");
  result = Search(query_, 10, cat, {&noAdd}, again);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(Entries(result), (Ranking{{"r1", 1.0f}}));
}

TEST_F(QueryServer, MixedQueryDividesByTheNumberOfFeatures) {
  TestCatalog cat("mixed", {qtest::kColor, qtest::kColorSub});
  cat.Put(qtest::kColor, {{"p1", kOne}, {"p2", kQuarter}});
  cat.Put(qtest::kColorSub, {{"p1s1", kHalf}, {"p2s1", kQuarter}, {"orphan", kQuarter}});
  // The sub-part catalog: each sub-part key names its parent first.
  {
    std::unique_ptr<KvDatabaseClass> t(qtest::Connection()->NewDatabase());
    ASSERT_EQ(t->OpenForWrite("SubPIdx.mixed"), 0);
    for (auto [sub, parent] : {std::pair<const char*, const char*>{"p1s1", "p1 00"}, {"p2s1", "p2 00"}}) {
      KvDatumClass k, d;
      kvtest::SetText(k, sub, true);
      kvtest::SetText(d, parent, true);
      ASSERT_EQ(t->Update(k, d, True), 0);
    }
    t->Close();
  }
  QueryFeature main = Origin(qtest::kColor, "W=2");
  QueryFeature sub = Origin(qtest::kColorSub);
  KvKeyDatabaseClass* result = Search(query_, 10, cat, {&main, &sub});
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  // p1s1: (0.5 + 2 * 1.0) / 2; p2s1: (0.25 + 2 * 0.25) / 2; the orphan has no parent.
  EXPECT_EQ(Entries(result), (Ranking{{"p2s1", 0.375f}, {"p1s1", 1.25f}}));

  // A main restriction set keeps only sub-parts of its images.
  KvKeyDatabaseClass* images = qtest::Connection()->NewKeyDatabase();
  dynamic_cast<KvKeyMemoryDatabaseClass*>(images)->InsertKey("p1", 0.0f);
  result = Search(query_, 10, cat, {&main, &sub}, images);
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  EXPECT_EQ(Entries(result), (Ranking{{"p1s1", 1.25f}}));
}

TEST_F(QueryServer, KeyDistanceUsesTheFirstMainFeatureUnweighted) {
  TestCatalog cat("keydist", {qtest::kColor});
  cat.Put(qtest::kColor, "x", kHalf);
  float d = -5.0f;
  EXPECT_EQ(query_.KeyDistance("x", 1.0f, &d), -1);  // nothing evaluated yet
  QueryFeature color = Origin(qtest::kColor, "W=4");
  ASSERT_NE(Search(query_, 1, cat, {&color}), nullptr);
  EXPECT_EQ(query_.KeyDistance("x", 1.0f, &d), 0);
  EXPECT_EQ(d, 0.5f);
  EXPECT_EQ(query_.KeyDistance("nope", 1.0f, &d), 1);
  EXPECT_EQ(query_.KeyDistance(nullptr, 1.0f, &d), -1);
}

TEST_F(QueryServer, ResultSetsFollowTheOwnershipRules) {
  TestCatalog cat("owner", {qtest::kColor});
  cat.Put(qtest::kColor, {{"a", kHalf}, {"b", kQuarter}, {"c", kOne}});
  QueryFeature color = Origin();
  QueryArrays arrays({&color});
  KvQueryServerClass q(qtest::Connection());
  auto evaluate = [&](unsigned long n, KvKeyDatabaseClass* restriction) {
    return q.EvaluateObjects(n, cat.get(), restriction, nullptr, 1, arrays.data.data(), arrays.features.data(),
                             arrays.parameters.data());
  };
  // A result handed back as the next restriction set is owned again.
  KvKeyDatabaseClass* first = evaluate(2, nullptr);
  ASSERT_NE(first, nullptr);
  KvKeyDatabaseClass* second = evaluate(1, first);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Entries(second), (Ranking{{"b", 0.5f}}));  // 0.25 + its restriction distance 0.25

  // A result not handed back belongs to the caller after EvaluateObjects.
  KvKeyDatabaseClass* kept = evaluate(3, nullptr);
  ASSERT_NE(kept, nullptr);
  delete second;  // handed over by the call above
  KvKeyDatabaseClass* next = evaluate(1, nullptr);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(kept->GetCount(), 3);
  delete kept;

  // A cascade's result sits in the restriction slot; EvaluateObjects still
  // hands it over intact.
  QueryFeature o1 = Origin(qtest::kColor, "O=1");
  QueryFeature o2 = Origin(qtest::kColor, "O=2:C=1");
  QueryArrays two({&o2, &o1});
  KvKeyDatabaseClass* cascade = q.EvaluateObjects(2, cat.get(), nullptr, nullptr, 2, two.data.data(),
                                                  two.features.data(), two.parameters.data());
  ASSERT_NE(cascade, nullptr);
  delete next;  // handed over by the call above
  EXPECT_EQ(Entries(cascade), (Ranking{{"b", 0.25f}, {"a", 0.5f}}));
  ASSERT_NE(evaluate(1, nullptr), nullptr);
  EXPECT_EQ(cascade->GetCount(), 2);
  delete cascade;

  // Evaluate releases the previous result itself; the text's own result
  // goes with the query object.
  ASSERT_NE(q.Evaluate("query 1 owner\n{\n  [ KvColorFeatureClass < W=1 > <        24 e queries origin  > ]\n}\n"),
            nullptr)
      << GetErrorMSG();

  // Objects of the caller survive the query object.
  {
    KvQueryServerClass other(qtest::Connection());
    KvKeyDatabaseClass* own = other.EvaluateObjects(1, cat.get(), nullptr, nullptr, 1, arrays.data.data(),
                                                    arrays.features.data(), arrays.parameters.data());
    ASSERT_NE(own, nullptr);
  }
  EXPECT_EQ(color.feature->GetClassName(), std::string(qtest::kColor));
}

TEST_F(QueryServer, RefusesMissingObjects) {
  TestCatalog cat("refuse", {qtest::kColor});
  QueryFeature color = Origin();
  QueryArrays a({&color});
  kvtest::ClearError();
  EXPECT_EQ(query_.EvaluateObjects(5, nullptr, nullptr, nullptr, 1, a.data.data(), a.features.data(),
                                   a.parameters.data()),
            nullptr);
  EXPECT_EQ(query_.GetStatus(), -1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_General);
  EXPECT_STREQ(GetErrorMSG(), "KIVO error: Evaluate catalog class is not created");
  // A restriction set handed over with a failing call is still released.
  KvKeyDatabaseClass* set = qtest::Connection()->NewKeyDatabase();
  EXPECT_EQ(query_.EvaluateObjects(5, nullptr, set, nullptr, 1, a.data.data(), a.features.data(),
                                   a.parameters.data()),
            nullptr);
  KvGenericDataClass* noData = nullptr;
  EXPECT_EQ(query_.EvaluateObjects(5, cat.get(), nullptr, nullptr, 1, &noData, a.features.data(),
                                   a.parameters.data()),
            nullptr);
  EXPECT_EQ(query_.EvaluateObjects(5, cat.get(), nullptr, nullptr, 0, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(query_.GetStatus(), -1);
  // A feature whose table is missing from the catalog.
  QueryFeature hist = Origin(qtest::kHistogram);
  QueryArrays h({&hist});
  EXPECT_EQ(query_.EvaluateObjects(5, cat.get(), nullptr, nullptr, 1, h.data.data(), h.features.data(),
                                   h.parameters.data()),
            nullptr);
  EXPECT_NE(query_.GetStatus(), 0);
}

TEST_F(QueryServer, AnOldFatalErrorDoesNotFailTheQuery) {
  TestCatalog cat("oldfatal", {qtest::kColor});
  cat.Put(qtest::kColor, "a", kQuarter);
  QueryFeature color = Origin();
  KvError(KERR_General, KERR_Fatal, "left over from earlier work");
  KvKeyDatabaseClass* result = Search(query_, 5, cat, {&color});
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->GetCount(), 1);
  // The old error is neither lost nor weakened.
  EXPECT_EQ(GetErrorMSGSeverity(), KERR_Fatal);
  EXPECT_STREQ(GetErrorMSG(), "KIVO error: left over from earlier work");
  kvtest::ClearError();
}

// A keyword term in the same group as an image feature: keys whose keywords
// do not match rank with the keyword feature's largest distance (1.0,
// weighted) instead of failing the query; a key without any keyword record
// lacks a record of a listed feature and is left out.
TEST_F(QueryServer, KeywordsBesideImageFeaturesRankNonMatchesLast) {
  TestCatalog cat("wordsmix", {qtest::kColor, qtest::kText});
  cat.Put(qtest::kColor, {{"a", kHalf}, {"b", kQuarter}, {"c", kOne}, {"d", kQuarter}});
  cat.Put(qtest::kText, {{"a", std::string("red car") + '\0'}, {"b", std::string("blue sky") + '\0'},
                         {"c", std::string("red") + '\0'}});
  auto words = [](const char* text) {
    std::unique_ptr<KvGenericImageDataClass> data(new KvGenericImageDataClass);
    data->SetType(KV_DATA_PICKER);
    data->SetKeywordText(text);
    return std::unique_ptr<KvGenericDataClass>(std::move(data));
  };
  QueryFeature color = Origin();
  QueryFeature text(qtest::kText, "W=2", words("red,car"));
  for (auto order : {std::vector<QueryFeature*>{&color, &text}, std::vector<QueryFeature*>{&text, &color}}) {
    kvtest::ClearError();
    KvKeyDatabaseClass* result = Search(query_, 10, cat, order);
    ASSERT_NE(result, nullptr) << GetErrorMSG();
    // a: 0.5 + 2 * 0; c: 1.0 + 2 * 0.5; b: 0.25 + 2 * 1.0; d has no keywords.
    EXPECT_EQ(Entries(result), (Ranking{{"a", 0.5f}, {"c", 2.0f}, {"b", 2.25f}}));
    EXPECT_EQ(query_.GetUnmeasuredRecords(), 0u);
    EXPECT_EQ(GetErrorMSGNumber(), 0);
  }
  // All words asked for: a partial match is no match either.
  QueryFeature all(qtest::kText, "", words("red+car"));
  KvKeyDatabaseClass* result = Search(query_, 10, cat, {&color, &all});
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  EXPECT_EQ(Entries(result), (Ranking{{"a", 0.5f}, {"b", 1.25f}, {"c", 2.0f}}));
}

// A stored record that cannot be measured (one that does not decode, or a
// histogram stored without its self term, whose quadratic distance is
// negative) is left out and counted; the query succeeds and reports the
// count at severity 0. Every search kind follows the same rule.
TEST_F(QueryServer, RecordsThatCannotBeMeasuredAreSkippedAndCounted) {
  TestCatalog cat("unmeasured", {qtest::kColor, qtest::kHistogram});
  qtest::RandomImage one(5), two(6);
  const std::string h1 = qtest::Computed(qtest::kHistogram, one.get());
  std::string noSelfTerm = qtest::Computed(qtest::kHistogram, two.get());
  ASSERT_EQ(noSelfTerm.size(), 516u);
  Encode32BE(reinterpret_cast<unsigned char*>(&noSelfTerm[512]), static_cast<uint32_t>(-100));
  cat.Put(qtest::kColor, {{"good", kQuarter}, {"short", std::string(5, 'x')}, {"noself", kHalf}, {"h", kOne}});
  cat.Put(qtest::kHistogram, {{"good", h1}, {"noself", noSelfTerm}, {"short", h1}, {"h", h1.substr(0, 100)}});
  QueryFeature color = Origin();
  QueryFeature hist(qtest::kHistogram, "", RecordData(cat.name(), "good"));

  struct Case {
    std::vector<QueryFeature*> features;
    std::vector<std::string> keys;
    uint64_t unmeasured;
  } cases[] = {
      {{&color}, {"good", "noself", "h"}, 1},
      {{&hist}, {"good", "short"}, 2},
      {{&color, &hist}, {"good"}, 3},
  };
  for (const Case& c : cases) {
    kvtest::ClearError();
    KvKeyDatabaseClass* result = Search(query_, 10, cat, c.features);
    ASSERT_NE(result, nullptr) << GetErrorMSG();
    std::vector<std::string> keys;
    for (const auto& e : Entries(result)) keys.push_back(e.first);
    EXPECT_EQ(keys, c.keys);
    EXPECT_EQ(query_.GetStatus(), 0);
    EXPECT_EQ(query_.GetUnmeasuredRecords(), c.unmeasured);
    EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
    const std::string expected = "KIVO error: KvQueryServerClass: " + std::to_string(c.unmeasured) +
                                 (c.unmeasured == 1 ? " stored record could not be measured and was left out"
                                                    : " stored records could not be measured and were left out");
    EXPECT_EQ(GetErrorMSG(), expected);
  }
  // A negative weight still fails the query: no record can be ranked by it.
  QueryFeature negative = Origin(qtest::kColor, "W=-1");
  EXPECT_EQ(Search(query_, 10, cat, {&negative}), nullptr);
  EXPECT_NE(std::strstr(GetErrorMSG(), "negative distance from feature KvColorFeatureClass"), nullptr);
}

}  // namespace

namespace {

// The rule every scan applies to a feature's distance of a stored record.
TEST(QueryRules, DistancesBecomeTermsOrAreLeftOut) {
  const KvTermRule image{2.0, 0, -1.0f};
  const KvTermRule keywords{3.0, 0, 1.0f};
  const KvTermRule negative{-1.0, 0, -1.0f};
  struct Case {
    const KvTermRule* rule;
    float distance;
    KvTermOutcome outcome;
    double term;
  } cases[] = {
      {&image, 0.0f, KvTermOutcome::kScored, 0.0},
      {&image, 0.25f, KvTermOutcome::kScored, 0.5},
      {&image, -1.0f, KvTermOutcome::kUnmeasurable, 0.0},
      {&image, -0.5f, KvTermOutcome::kUnmeasurable, 0.0},
      {&image, std::nanf(""), KvTermOutcome::kUnmeasurable, 0.0},
      {&keywords, 0.5f, KvTermOutcome::kScored, 1.5},
      {&keywords, -1.0f, KvTermOutcome::kScored, 3.0},
      {&keywords, -2.0f, KvTermOutcome::kUnmeasurable, 0.0},
      {&negative, 0.5f, KvTermOutcome::kNegative, -0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.distance);
    double term = 0.0;
    EXPECT_EQ(KvWeighDistance(*c.rule, c.distance, &term), c.outcome);
    if (c.outcome != KvTermOutcome::kUnmeasurable) {
      EXPECT_EQ(term, c.term);
    }
  }
  std::unique_ptr<KvFeatureClass> text(KvCreateFeatureClass(qtest::kText));
  std::unique_ptr<KvFeatureClass> color(KvCreateFeatureClass(qtest::kColor));
  KvParameterClass parms;
  parms.SetW(0.5);
  EXPECT_EQ(KvMakeTermRule(text.get(), &parms).noMatch, 1.0f);
  EXPECT_LT(KvMakeTermRule(color.get(), &parms).noMatch, 0.0f);
  EXPECT_EQ(KvMakeTermRule(color.get(), &parms).weight, 0.5);
}

// The histogram scan kernel gives the feature's own distance, bit for bit,
// for ordinary and for odd records.
TEST(QueryKernel, HistogramKernelMatchesTheFeature) {
  qtest::RandomImage image(77);
  std::unique_ptr<KvFeatureClass> query(KvCreateFeatureClass(qtest::kHistogram));
  std::unique_ptr<KvParameterClass> parms(new KvParameterClass);
  *parms = *query->GetParameters();
  image.get()->SetQuerySide(True);
  ASSERT_EQ(query->ComputeFeature(image.get(), parms.get()), 0);
  KvScanKernel kernel(query.get());
  ASSERT_TRUE(kernel.Active());
  std::unique_ptr<KvFeatureClass> holder(KvCreateFeatureClass("KvColorHistogramSubPartFeatureClass"));
  unsigned s = 99;
  auto next = [&s] {
    s = s * 1103515245u + 12345u;
    return (s >> 8) & 0xFFFF;
  };
  for (int n = 0; n < 3000; ++n) {
    unsigned char bytes[516] = {};
    if (n % 3 == 0) {
      // A computed histogram.
      qtest::RandomImage other(static_cast<unsigned>(n));
      const std::string b = qtest::Computed(qtest::kHistogram, other.get());
      ASSERT_EQ(b.size(), 516u);
      std::memcpy(bytes, b.data(), 516);
    } else {
      // Arbitrary values, self terms included (-100 and noise).
      for (int i = 0; i < 256; ++i) {
        Encode16BE(bytes + 2 * i, static_cast<uint16_t>(next() % 7 == 0 ? next() : next() % 40));
      }
      Encode32BE(bytes + 512, n % 5 == 0 ? static_cast<uint32_t>(-100) : next() * 1000u);
    }
    KvDatumClass record;
    record.SetBytes(516, bytes, KvOwnNone);
    ASSERT_EQ(holder->FromByteString(record), 0);
    const float expected = query->Distance(holder.get(), parms.get(), 1.0f);
    float got = 0.0f;
    ASSERT_TRUE(kernel.Distance(bytes, 516, &got));
    ASSERT_EQ(std::memcmp(&expected, &got, sizeof got), 0) << n << ": " << expected << " vs " << got;
  }
  float unused;
  unsigned char short_record[515] = {};
  EXPECT_FALSE(kernel.Distance(short_record, 515, &unused));

  // Partial matching and other classes keep the general path.
  KvGenericImageDataClass picker;
  ASSERT_EQ(picker.ReadPickerImageDescriptionString("D20 20 R0 0 20 20 255 0 0", False), 0);
  ASSERT_EQ(query->ComputeFeature(&picker, parms.get()), 0);
  EXPECT_FALSE(KvScanKernel(query.get()).Active());
  std::unique_ptr<KvFeatureClass> color(KvCreateFeatureClass(qtest::kColor));
  EXPECT_FALSE(KvScanKernel(color.get()).Active());
}

}  // namespace
