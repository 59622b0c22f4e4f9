// The query-text frame: good texts, every truncation, garbled texts and the
// 16-term limit. Texts are copied into exact-size buffers without a NUL so a
// read past the end shows up under AddressSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "query/KvQueryText.h"

namespace {

// An exact-size heap copy of text (no NUL behind it).
class Exact {
 public:
  explicit Exact(std::string_view text) : size_(text.size()), bytes_(new char[text.size() == 0 ? 1 : text.size()]) {
    if (!text.empty()) std::memcpy(bytes_.get(), text.data(), text.size());
  }
  std::string_view view() const { return std::string_view(bytes_.get(), size_); }

 private:
  size_t size_;
  std::unique_ptr<char[]> bytes_;
};

// Parses an exact-size copy of text; the frame's views point into text
// itself afterwards (the copy's offsets are the same).
bool Parse(std::string_view text, KvQueryFrame* frame, std::string* error) {
  Exact copy(text);
  const bool ok = KvParseQueryFrame(copy.view(), frame, error);
  auto rebase = [&](std::string_view& view) {
    if (!view.empty()) view = text.substr(static_cast<size_t>(view.data() - copy.view().data()), view.size());
  };
  rebase(frame->catalogName);
  for (auto* terms : {&frame->mainTerms, &frame->subPartTerms}) {
    for (KvQueryTerm& t : *terms) rebase(t.featureName);
  }
  return ok;
}

std::string_view PieceText(std::string_view text, const KvQueryPiece& piece) {
  return text.substr(piece.begin, piece.end - piece.begin);
}

const char* const kParms = "< W=1.000000:F=0:O=0:C=0:PNoop=. >";
const char* const kData = "<        27 e cat key1  >";

std::string Term(const char* name) { return std::string(" [ ") + name + " " + kParms + " " + kData + " ]\n"; }

// As the builder writes it: both restrictions, two main terms, one sub-part term.
std::string FullText() {
  std::string text = "query 10 cat\n [ <        26 k1 0.500000 > ]";
  text += " & p (  [ <        26 s1 0.250000 > ] )";
  text += "\n{\n";
  text += " " + Term("KvColorFeatureClass");
  text += "&" + Term("KvTextureFeatureClass");
  text += " p ( " + Term("KvColorSubPartFeatureClass") + " )\n";
  text += "}\n";
  return text;
}

TEST(QueryFrame, ReadsEveryPartOfABuiltText) {
  const std::string text = FullText();
  KvQueryFrame frame;
  std::string error;
  ASSERT_TRUE(Parse(text, &frame, &error)) << error;
  EXPECT_EQ(frame.maxResults, 10u);
  EXPECT_EQ(frame.catalogName, "cat");
  ASSERT_TRUE(frame.hasRestriction);
  ASSERT_TRUE(frame.hasSubPartRestriction);
  EXPECT_EQ(PieceText(text, frame.restriction), "<        26 k1 0.500000 >");
  EXPECT_EQ(PieceText(text, frame.subPartRestriction), "<        26 s1 0.250000 >");
  ASSERT_EQ(frame.mainTerms.size(), 2u);
  ASSERT_EQ(frame.subPartTerms.size(), 1u);
  EXPECT_EQ(frame.mainTerms[0].featureName, "KvColorFeatureClass");
  EXPECT_EQ(frame.mainTerms[1].featureName, "KvTextureFeatureClass");
  EXPECT_EQ(frame.subPartTerms[0].featureName, "KvColorSubPartFeatureClass");
  EXPECT_EQ(PieceText(text, frame.mainTerms[1].parameters), kParms);
  EXPECT_EQ(PieceText(text, frame.mainTerms[1].data), kData);
}

TEST(QueryFrame, AcceptsTheShortForms) {
  struct Case {
    const char* text;
    bool restriction, subPart;
    size_t mains, subs;
  } cases[] = {
      {"query 0 c\n{\n}\n", false, false, 0, 0},
      {"query 5 c { [ F <> <x> ] }", false, false, 1, 0},
      {"query 5 c p (  [ <a> ] ) { [ F <> <x> ] [ G <> <y> ] }", false, true, 2, 0},
      {"query 5 c [ <a> ] { p ( [ F <> <x> ] & [ G <> <y> ] ) }", true, false, 0, 2},
      // Words are recognised by their first character; texts may abut.
      {"query 5 c {x [y F <W=2><x>]z }w", false, false, 1, 0},
      {"query 5 c { [ F < > < a b c > ] } trailing words are ignored", false, false, 1, 0},
  };
  for (const Case& c : cases) {
    KvQueryFrame frame;
    std::string error;
    ASSERT_TRUE(Parse(c.text, &frame, &error)) << c.text << ": " << error;
    EXPECT_EQ(frame.hasRestriction, c.restriction) << c.text;
    EXPECT_EQ(frame.hasSubPartRestriction, c.subPart) << c.text;
    EXPECT_EQ(frame.mainTerms.size(), c.mains) << c.text;
    EXPECT_EQ(frame.subPartTerms.size(), c.subs) << c.text;
  }
}

TEST(QueryFrame, ClampsTheResultCountTo32Bits) {
  KvQueryFrame frame;
  std::string error;
  ASSERT_TRUE(Parse("query 4294967295 c { }", &frame, &error));
  EXPECT_EQ(frame.maxResults, 4294967295u);
  ASSERT_TRUE(Parse("query 99999999999999999999999 c { }", &frame, &error));
  EXPECT_EQ(frame.maxResults, 4294967295u);
}

TEST(QueryFrame, RefusesGarbledTexts) {
  const std::string longName(256, 'n');
  struct Case {
    std::string text;
    const char* message;
  } cases[] = {
      {"", "must begin with the word \"query\""},
      {" query 1 c { }", "must begin with the word \"query\""},
      {"query10 c { }", "must begin with the word \"query\""},
      {"QUERY 1 c { }", "must begin with the word \"query\""},
      {"query", "maximum number of results but the text ended"},
      {"query -1 c { }", "not an unsigned number"},
      {"query 1x c { }", "not an unsigned number"},
      {"query 1", "catalog name but the text ended"},
      {"query 1 " + longName + " { }", "longer than 255"},
      {"query 1 c", "expected \"{\" but the text ended"},
      {"query 1 c x", "expected \"{\" but found"},
      {"query 1 c [ <a> ", "expected \"]\" but the text ended"},
      {"query 1 c [ a> ] { }", "key set text beginning with \"<\""},
      {"query 1 c [ <a ] { }", "no \">\" closes the key set text"},
      {"query 1 c [ <a> ] & q", "expected \"p\""},
      {"query 1 c p [", "expected \"(\""},
      {"query 1 c { [ F <W=1 <x> ] }", "expected a data object text"},
      {"query 1 c { [ F <W=1> <x ] }", "no \">\" closes the data object text"},
      {"query 1 c { [ F <W=1> ", "expected a data object text beginning"},
      {"query 1 c { [ <W=1> <x> ] }", "expected a feature class name"},
      {"query 1 c { [ F <> <x> ) }", "expected \"]\" after a term"},
      {"query 1 c { [ F <> <x> ]", "expected a term or \"}\" but the text ended"},
      {"query 1 c { x }", "expected \"[\", \"p\" or \"}\""},
      {"query 1 c { p ( ) }", "expected \"[\""},
      {"query 1 c { p ( [ F <> <x> ] }", "expected \"&\" or \")\""},
      {"query 1 c { p ( [ F <> <x> ] ) [ G <> <y> ] }", "expected \"}\""},
  };
  for (const Case& c : cases) {
    KvQueryFrame frame;
    std::string error;
    EXPECT_FALSE(Parse(c.text, &frame, &error)) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " gave: " << error;
    EXPECT_NE(error.find("at offset"), std::string::npos) << c.text;
  }
}

TEST(QueryFrame, EveryTruncationFailsCleanly) {
  const std::string text = FullText();
  const size_t closing = text.rfind('}');
  for (size_t length = 0; length <= text.size(); ++length) {
    KvQueryFrame frame;
    std::string error;
    const bool ok = Parse(std::string_view(text).substr(0, length), &frame, &error);
    EXPECT_EQ(ok, length > closing) << "length " << length << ": " << error;
    if (!ok) {
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(QueryFrame, ReadsAtMostSixteenTermsOfEachKind) {
  std::string mains = "query 3 c {\n";
  for (int i = 0; i < 17; ++i) mains += (i == 0 ? " " : "&") + Term("F");
  mains += " garbage after the limit is never read";
  KvQueryFrame frame;
  std::string error;
  ASSERT_TRUE(Parse(mains, &frame, &error)) << error;
  EXPECT_EQ(frame.mainTerms.size(), 16u);

  std::string subs = "query 3 c {\n p (";
  for (int i = 0; i < 17; ++i) subs += (i == 0 ? " " : "&") + Term("S");
  ASSERT_TRUE(Parse(subs, &frame, &error)) << error;
  EXPECT_EQ(frame.subPartTerms.size(), 16u);
}

TEST(QueryFrame, SurvivesRandomDamage) {
  const std::string text = FullText();
  std::mt19937 random(20240607);
  const char alphabet[] = "<>[](){}&p \n\tqueryx0";
  for (int round = 0; round < 20000; ++round) {
    std::string damaged = text;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = random() % damaged.size();
      switch (random() % 3) {
        case 0:
          damaged[at] = alphabet[random() % (sizeof alphabet - 1)];
          break;
        case 1:
          damaged.erase(at, 1 + random() % 8);
          break;
        default:
          damaged.insert(at, 1, alphabet[random() % (sizeof alphabet - 1)]);
      }
      if (damaged.empty()) damaged = "q";
    }
    KvQueryFrame frame;
    std::string error;
    if (Parse(damaged, &frame, &error)) {
      // Whatever was accepted lies inside the text and is well formed.
      for (const auto* terms : {&frame.mainTerms, &frame.subPartTerms}) {
        ASSERT_LE(terms->size(), 16u);
        for (const KvQueryTerm& t : *terms) {
          ASSERT_LT(t.parameters.begin, t.parameters.end);
          ASSERT_LE(t.data.end, damaged.size());
          ASSERT_EQ(damaged[t.data.begin], '<');
          ASSERT_EQ(damaged[t.data.end - 1], '>');
        }
      }
    } else {
      ASSERT_FALSE(error.empty());
    }
  }
}

}  // namespace

namespace {

// Continuations a refused prefix is tried with: none of them may rescue it.
const char* const kContinuations[] = {"", " ", "x", ">", "> ] }", "0 c { }", "y 1 c { }", " <x> ] }",
                                      " } ", "[ F <> <x> ] }", ") }", "&"};

// Whether refusing prefix early is sound: when KvQueryFrameRefused says so,
// every text beginning with it fails with the same message.
void ExpectRefusalHolds(std::string_view prefix, std::string_view rest) {
  std::string message;
  if (!KvQueryFrameRefused(prefix, &message)) return;
  std::vector<std::string> texts = {std::string(prefix) + std::string(rest)};
  for (const char* c : kContinuations) texts.push_back(std::string(prefix) + c);
  for (const std::string& text : texts) {
    KvQueryFrame frame;
    std::string error;
    ASSERT_FALSE(Parse(text, &frame, &error)) << "refused prefix " << prefix << " parses as " << text;
    ASSERT_EQ(error, message) << text;
  }
}

TEST(QueryFramePrefix, RefusedOnlyWhatNoContinuationRescues) {
  const std::string text = FullText();
  std::string message;
  for (size_t length = 0; length <= text.size(); ++length) {
    EXPECT_FALSE(KvQueryFrameRefused(std::string_view(text).substr(0, length), &message)) << length;
  }
  std::mt19937 random(20261209);
  const char alphabet[] = "<>[](){}&p \n\tqueryx0";
  size_t refused = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = text;
    for (int e = 0; e < 2; ++e) {
      const size_t at = random() % damaged.size();
      damaged[at] = alphabet[random() % (sizeof alphabet - 1)];
    }
    for (size_t length = 0; length <= damaged.size(); length += 1 + random() % 7) {
      Exact prefix(std::string_view(damaged).substr(0, length));
      ExpectRefusalHolds(prefix.view(), std::string_view(damaged).substr(length));
      if (KvQueryFrameRefused(prefix.view(), &message)) ++refused;
    }
  }
  EXPECT_GT(refused, 1000u);  // the check is not vacuous
}

TEST(QueryFramePrefix, LongTextsRefusedByTheirBeginning) {
  struct Case {
    std::string prefix;
    bool refused;
    const char* message;
  } cases[] = {
      {"q " + std::string(65536, 'a'), true, "must begin with the word \"query\" at offset 1"},
      {std::string(65536, 'q'), false, ""},  // the first word has not ended
      {"quer", false, ""},
      {"query 1 c x ", true, "expected \"{\" but found another word at offset 11"},
      {"query 1 c x", false, ""},
      {"query 1x c", true, "not an unsigned number at offset 8"},
      {"query 1 c [ a> ", true, "key set text beginning with \"<\" at offset 12"},
      {"query 1 c { [ F <W=1> <" + std::string(65536, 'a'), false, ""},  // an image still arriving
      {"query 1 c { [ F <W=1> <x> ] ", false, ""},
      {"query 1 c { ", false, ""},
  };
  for (const Case& c : cases) {
    std::string message;
    Exact prefix(c.prefix);
    EXPECT_EQ(KvQueryFrameRefused(prefix.view(), &message), c.refused) << c.prefix.substr(0, 40);
    if (c.refused) {
      EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
  }
}

}  // namespace
