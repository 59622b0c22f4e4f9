// Query texts: the builder's exact output, and the server reading texts that
// are good, truncated, garbled or over the term limit.
#include <cstring>

#include "QueryFixture.h"

namespace {

using qtest::ColorBytes;
using qtest::Entries;
using qtest::QueryArrays;
using qtest::QueryFeature;
using qtest::Ranking;
using qtest::RecordData;
using qtest::TestCatalog;

const char* const kColorParms = "< W=1.000000:F=0:O=0:C=0:PNoop=. >";

std::string Text(const KvDatumClass& d) { return reinterpret_cast<const char*>(d.Data()); }

// A key set with the given entries.
KvKeyDatabaseClass* KeySet(std::initializer_list<std::pair<const char*, float>> entries) {
  KvKeyDatabaseClass* set = qtest::Connection()->NewKeyDatabase();
  for (const auto& [k, d] : entries) dynamic_cast<KvKeyMemoryDatabaseClass*>(set)->InsertKey(k, d);
  return set;
}

std::string SetText(KvKeyDatabaseClass* set) {
  KvDatumClass d;
  EXPECT_EQ(set->ToQueryString(d), 0);
  return Text(d);
}

struct Build {
  int rc;
  std::string text;
  unsigned long size;
};

Build BuildText(int n, std::vector<const char*> names, std::vector<KvGenericDataClass*> data,
                KvKeyDatabaseClass* r = nullptr, KvKeyDatabaseClass* s = nullptr,
                KvParameterClass** parms = nullptr) {
  KvDatumClass out;
  const int rc = KvBuildQueryString(n, "cat", r, s, static_cast<int>(names.size()), names.data(), parms,
                                    data.data(), out);
  return Build{rc, out.Data() != nullptr ? Text(out) : std::string(), out.Size()};
}

class QueryText : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(qtest::Connection(), nullptr); }
  std::unique_ptr<KvGenericDataClass> k_ = RecordData("cat", "k");
  std::unique_ptr<KvGenericDataClass> s_ = RecordData("cat", "s1");
};

TEST_F(QueryText, BuildsOneImageTermExactly) {
  const Build b = BuildText(10, {qtest::kColor}, {k_.get()});
  ASSERT_EQ(b.rc, 0);
  EXPECT_EQ(b.text, std::string("query 10 cat\n{\n  [ KvColorFeatureClass ") + kColorParms +
                        " <        22 e cat k  > ]\n}\n");
  EXPECT_EQ(b.size, b.text.size() + 1);
}

TEST_F(QueryText, BuildsRestrictionItems) {
  std::unique_ptr<KvKeyDatabaseClass> main(KeySet({{"k", 1.0f}}));
  std::unique_ptr<KvKeyDatabaseClass> sub(KeySet({{"s1", 0.5f}}));
  const std::string term =
      std::string("\n{\n  [ KvColorFeatureClass ") + kColorParms + " <        22 e cat k  > ]\n}\n";
  EXPECT_EQ(SetText(main.get()), "<        25 k 1.000000 >");

  Build b = BuildText(10, {qtest::kColor}, {k_.get()}, nullptr, sub.get());
  ASSERT_EQ(b.rc, 0);
  EXPECT_EQ(b.text, "query 10 cat p (  [ " + SetText(sub.get()) + " ] )" + term);

  b = BuildText(10, {qtest::kColor}, {k_.get()}, main.get(), sub.get());
  ASSERT_EQ(b.rc, 0);
  EXPECT_EQ(b.text, "query 10 cat\n [ " + SetText(main.get()) + " ] & p (  [ " + SetText(sub.get()) + " ] )" + term);

  b = BuildText(10, {qtest::kColor}, {k_.get()}, main.get(), nullptr);
  ASSERT_EQ(b.rc, 0);
  EXPECT_EQ(b.text, "query 10 cat\n [ " + SetText(main.get()) + " ]" + term);
}

TEST_F(QueryText, BuildsMainTermsThenTheSubPartBlock) {
  KvParameterClass w2;
  w2.SetW(2.0);
  KvParameterClass* parms[3] = {nullptr, &w2, nullptr};
  const Build b = BuildText(3, {qtest::kColorSub, qtest::kColor, qtest::kColor}, {s_.get(), k_.get(), k_.get()},
                            nullptr, nullptr, parms);
  ASSERT_EQ(b.rc, 0);
  const std::string k = " <        22 e cat k  > ]\n";
  EXPECT_EQ(b.text, std::string("query 3 cat\n{\n") +
                        "  [ KvColorFeatureClass < W=2.000000:F=0:O=0:C=0:P > <        22 e cat k  > ]\n" +
                        "& [ KvColorFeatureClass " + kColorParms + k +  //
                        " p (  [ KvColorSubPartFeatureClass " + kColorParms + " <        23 e cat s1  > ]\n" +
                        " )\n}\n");
}

TEST_F(QueryText, RefusesWhatCannotBeReadBack) {
  KvDatumClass out;
  kvtest::SetText(out, "untouched", true);
  const char* names[] = {"KvNoSuchFeatureClass"};
  KvGenericDataClass* data[] = {k_.get()};
  kvtest::ClearError();
  EXPECT_EQ(KvBuildQueryString(10, "cat", nullptr, nullptr, 1, names, nullptr, data, out), 1);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_UnknownFeatureClass);
  EXPECT_EQ(kvtest::Bytes(out), std::string("untouched") + '\0');

  const char* color[] = {qtest::kColor};
  EXPECT_EQ(KvBuildQueryString(-1, "cat", nullptr, nullptr, 1, color, nullptr, data, out), -1);
  EXPECT_EQ(KvBuildQueryString(1, nullptr, nullptr, nullptr, 1, color, nullptr, data, out), -1);
  const std::string longName(5000, 'c');
  EXPECT_EQ(KvBuildQueryString(1, longName.c_str(), nullptr, nullptr, 1, color, nullptr, data, out), -1);
  // A keyword text with ">" would end the data object early on reading.
  KvGenericImageDataClass words;
  words.SetType(KV_DATA_PICKER);
  words.SetKeywordText("a > b");
  KvGenericDataClass* wordData[] = {&words};
  const char* text[] = {qtest::kText};
  EXPECT_EQ(KvBuildQueryString(1, "cat", nullptr, nullptr, 1, text, nullptr, wordData, out), -1);
  KvGenericImageDataClass unset;
  KvGenericDataClass* unsetData[] = {&unset};
  EXPECT_EQ(KvBuildQueryString(1, "cat", nullptr, nullptr, 1, color, nullptr, unsetData, out), -1);
  EXPECT_EQ(kvtest::Bytes(out), std::string("untouched") + '\0');
}

// Evaluation of texts against a small catalog.
class QueryTextEval : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    catalog_ = new TestCatalog("texts", {qtest::kColor, qtest::kText, qtest::kColorSub});
    catalog_->Put(qtest::kColor, {{"a", ColorBytes(0, 0, 0)},
                                  {"b", ColorBytes(8192, 0, 0)},
                                  {"c", ColorBytes(8192, 8192, 0)},
                                  {"d", ColorBytes(16384, 0, 0)}});
    catalog_->Put(qtest::kText, {{"a", std::string("red car") + '\0'},
                                 {"c", std::string("red bike") + '\0'},
                                 {"d", std::string("red car") + '\0'}});
    catalog_->Put(qtest::kColorSub, "a", ColorBytes(0, 0, 0));
  }
  void SetUp() override { ASSERT_NE(qtest::Connection(), nullptr); }

  std::string ColorQuery(int n, const char* key = "a", const char* parms = nullptr) {
    std::unique_ptr<KvGenericDataClass> data = RecordData("texts", key);
    KvParameterClass p;
    if (parms != nullptr) p.FromCommandLineString(parms);
    KvParameterClass* ps[] = {&p};
    const Build b = BuildText(n, {qtest::kColor}, {data.get()}, nullptr, nullptr, parms != nullptr ? ps : nullptr);
    EXPECT_EQ(b.rc, 0);
    std::string text = b.text;
    text.replace(text.find(" cat"), 4, " texts");
    return text;
  }

  static TestCatalog* catalog_;
  KvQueryServerClass query_{qtest::Connection()};
};
TestCatalog* QueryTextEval::catalog_ = nullptr;

TEST_F(QueryTextEval, EvaluatesABuiltTextLikeItsObjects) {
  const std::string text = ColorQuery(3);
  const std::string copy = text;
  KvKeyDatabaseClass* result = query_.Evaluate(text.c_str());
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  EXPECT_EQ(text, copy);  // the caller's text is left as it was
  const Ranking expected{{"a", 0.0f}, {"b", 0.25f}, {"c", 0.5f}};
  EXPECT_EQ(Entries(result), expected);

  QueryFeature color(qtest::kColor, "", RecordData("texts", "a"));
  QueryArrays arrays({&color});
  KvKeyDatabaseClass* fromText = result;
  result = query_.EvaluateObjects(3, catalog_->get(), nullptr, nullptr, 1, arrays.data.data(),
                                  arrays.features.data(), arrays.parameters.data());
  EXPECT_EQ(Entries(result), expected);
  delete fromText;  // EvaluateObjects handed the earlier result to its caller
  delete query_.Evaluate(nullptr);  // null: refused
  EXPECT_EQ(query_.GetStatus(), -1);
}

TEST_F(QueryTextEval, ReadsRestrictionsAndCascadesByO) {
  // Keyword term first (O = 0), then colour ranks only its matches.
  std::unique_ptr<KvGenericImageDataClass> words(new KvGenericImageDataClass);
  words->SetType(KV_DATA_PICKER);
  words->SetKeywordText("car");
  std::unique_ptr<KvGenericDataClass> key = RecordData("texts", "b");
  KvParameterClass textParms, colorParms;
  colorParms.FromCommandLineString("O=1:C=1");
  KvParameterClass* parms[] = {&textParms, &colorParms};
  Build b = BuildText(10, {qtest::kText, qtest::kColor}, {words.get(), key.get()}, nullptr, nullptr, parms);
  ASSERT_EQ(b.rc, 0);
  b.text.replace(b.text.find(" cat"), 4, " texts");
  KvKeyDatabaseClass* result = query_.Evaluate(b.text.c_str());
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  EXPECT_EQ(Entries(result), (Ranking{{"a", 0.25f}, {"d", 0.25f}}));

  // An explicit restriction set in the text.
  std::unique_ptr<KvKeyDatabaseClass> set(KeySet({{"d", 0.0f}, {"c", 0.0f}, {"zz", 0.0f}}));
  std::unique_ptr<KvGenericDataClass> a = RecordData("texts", "a");
  b = BuildText(10, {qtest::kColor}, {a.get()}, set.get());
  b.text.replace(b.text.find(" cat"), 4, " texts");
  result = query_.Evaluate(b.text.c_str());
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  EXPECT_EQ(Entries(result), (Ranking{{"c", 0.5f}, {"d", 1.0f}}));
}

TEST_F(QueryTextEval, ReadsSixteenTermsAndIgnoresTheRest) {
  std::string text = "query 2 texts\n{\n";
  for (int i = 0; i < 17; ++i) {
    text += std::string(i == 0 ? " " : "&") + " [ KvColorFeatureClass " + kColorParms + " <        24 e texts d  > ]\n";
  }
  text += "this tail is never read";
  KvKeyDatabaseClass* result = query_.Evaluate(text.c_str());
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  // Sixteen unit weights: b lies 0.25 from d, so 16 x 0.25.
  EXPECT_EQ(Entries(result), (Ranking{{"d", 0.0f}, {"b", 4.0f}}));
}

TEST_F(QueryTextEval, EveryTruncationFailsCleanly) {
  std::unique_ptr<KvKeyDatabaseClass> set(KeySet({{"a", 0.0f}, {"b", 0.5f}}));
  std::unique_ptr<KvGenericDataClass> a = RecordData("texts", "a");
  std::unique_ptr<KvGenericDataClass> s = RecordData("texts", "a");
  Build b = BuildText(5, {qtest::kColor, qtest::kColorSub}, {a.get(), s.get()}, set.get(), nullptr);
  ASSERT_EQ(b.rc, 0);
  b.text.replace(b.text.find(" cat"), 4, " texts");
  const size_t closing = b.text.rfind('}');
  ASSERT_NE(query_.Evaluate(b.text.c_str()), nullptr) << GetErrorMSG();
  for (size_t length = 0; length < closing; ++length) {
    // An exact-size buffer, so a read past the end is caught.
    std::unique_ptr<char[]> cut(new char[length + 1]);
    std::memcpy(cut.get(), b.text.data(), length);
    cut[length] = '\0';
    EXPECT_EQ(query_.Evaluate(cut.get()), nullptr) << "length " << length;
    EXPECT_NE(query_.GetStatus(), 0) << "length " << length;
  }
}

TEST_F(QueryTextEval, RefusesGarbledAndHostileTexts) {
  const std::string good = ColorQuery(3);
  auto with = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    const size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return t.replace(at, from.size(), to);
  };
  struct Case {
    std::string text;
    int status;
  } cases[] = {
      {"", -1},
      {"query", -1},
      {"query 3 texts { [ KvColorFeatureClass <", -1},
      {"query 3 texts { [ KvColorFeatureClass < W=1 > <        26 e texts a  ", -1},
      {with("KvColorFeatureClass", "KvNoSuchFeatureClass"), -1},
      {with("W=1.000000", "w=1.000000"), 1},                // unknown parameter item
      {with(" texts", " nosuchcatalog"), -1},               // no feature index
      {with("e texts a", "x texts a"), -1},                 // unknown data object type
      {with("e texts a", "e texts nokey"), 1},              // a key without a record
      {with("e texts a", "texts a"), -1},
      {"query 3 texts [ <     999999999 k > ] { }", -1},  // no features at all
      {"query 3 texts p ( [ < garbage > ] ) {\n}\n", -1},
  };
  for (const Case& c : cases) {
    kvtest::ClearError();
    EXPECT_EQ(query_.Evaluate(c.text.c_str()), nullptr) << c.text;
    EXPECT_EQ(query_.GetStatus(), c.status) << c.text << ": " << GetErrorMSG();
    EXPECT_NE(GetErrorMSGNumber(), 0) << c.text;
  }
  // The next good text succeeds: a failure leaves nothing behind.
  ASSERT_NE(query_.Evaluate(good.c_str()), nullptr) << GetErrorMSG();
  EXPECT_EQ(query_.GetStatus(), 0);
}

TEST_F(QueryTextEval, HugeCountsNeedNoMemory) {
  KvKeyDatabaseClass* result = query_.Evaluate(ColorQuery(2147483647).c_str());
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  EXPECT_EQ(result->GetCount(), 4);
  result = query_.Evaluate(
      "query 99999999999999999999 texts\n{\n  [ KvColorFeatureClass < W=1 > <        24 e texts a  > ]\n}\n");
  ASSERT_NE(result, nullptr) << GetErrorMSG();
  EXPECT_EQ(result->GetCount(), 4);
  result = query_.Evaluate(ColorQuery(0).c_str());
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->GetCount(), 0);
}

}  // namespace
