// Option scanning, defaults and name buffers of the command library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KivoWrap.h"
#include "KivoWrapText.h"

namespace {

// Owns an argument vector the way a program receives it (null-terminated).
class Args {
 public:
  explicit Args(std::vector<std::string> words) : words_(std::move(words)) {
    for (auto& w : words_) pointers_.push_back(w.data());
    pointers_.push_back(nullptr);
    argc = static_cast<int>(words_.size());
    argv = pointers_.data();
  }
  std::vector<std::string> Remaining() const {
    std::vector<std::string> out;
    for (int i = 0; i < argc; ++i) out.emplace_back(argv[i]);
    return out;
  }
  int argc;
  char** argv;

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

using Words = std::vector<std::string>;

TEST(Tools, GetOptionRepeatedValuesComeBackInOrder) {
  Args a({"prog", "-f", "a", "-x", "-f", "b", "img"});
  char* v = KivoWrapClass::GetOption(a.argc, a.argv, 'f', 0);
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "a");
  v = KivoWrapClass::GetOption(a.argc, a.argv, 'f', 0);
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "b");
  EXPECT_EQ(KivoWrapClass::GetOption(a.argc, a.argv, 'f', 0), nullptr);
  EXPECT_EQ(a.argc, 3);
  EXPECT_EQ(a.Remaining(), (Words{"prog", "-x", "img"}));
  EXPECT_EQ(a.argv[a.argc], nullptr);
}

struct OptionCase {
  Words input;
  char letter;
  int noValue;
  const char* expected;  // null: the option is not taken
  Words remaining;
};

TEST(Tools, GetOptionTable) {
  const OptionCase cases[] = {
      // A flag moves the first positional argument into its slot.
      {{"prog", "a", "b", "-h", "c"}, 'h', 1, "", {"prog", "b", "a", "c"}},
      // A flag at position 1 keeps the rest in order and the program name.
      {{"prog", "-h", "a", "b"}, 'h', 1, "", {"prog", "a", "b"}},
      {{"prog", "-h"}, 'h', 1, "", {"prog"}},
      // A value option matches by its first two characters; a value written
      // against the letter is the value.
      {{"prog", "-dfoo", "db", "x"}, 'd', 0, "foo", {"prog", "db", "x"}},
      // The first occurrence is taken; a repeat stays for the caller.
      {{"prog", "-d", "a", "-d", "b"}, 'd', 0, "a", {"prog", "-d", "b"}},
      // A flag counts only standing alone, so a file named like one stays.
      {{"prog", "-rainy.jpg", "-r"}, 'r', 1, "", {"prog", "-rainy.jpg"}},
      {{"prog", "-rainy.jpg"}, 'r', 1, nullptr, {"prog", "-rainy.jpg"}},
      // "--" ends the options.
      {{"prog", "--", "-r", "-d", "x"}, 'r', 1, nullptr, {"prog", "--", "-r", "-d", "x"}},
      {{"prog", "--", "-d", "x"}, 'd', 0, nullptr, {"prog", "--", "-d", "x"}},
      {{"prog", "-d", "--", "x"}, 'd', 0, "--", {"prog", "x"}},
      {{"prog", "x", "-d", "db", "y"}, 'd', 0, "db", {"prog", "x", "y"}},
      // A value option given last is not taken and nothing moves.
      {{"prog", "a", "-d"}, 'd', 0, nullptr, {"prog", "a", "-d"}},
      {{"prog", "-l"}, 'l', 0, nullptr, {"prog", "-l"}},
      // Absent options, and the program name is never scanned.
      {{"prog", "a", "b"}, 'd', 0, nullptr, {"prog", "a", "b"}},
      {{"-d", "a"}, 'd', 0, nullptr, {"-d", "a"}},
      {{"prog", "-", "d"}, 'd', 1, nullptr, {"prog", "-", "d"}},
      // Letters are case-sensitive.
      {{"prog", "-U", "a"}, 'u', 1, nullptr, {"prog", "-U", "a"}},
      {{"prog", "-U", "a"}, 'U', 1, "", {"prog", "a"}},
      // The value may itself look like an option.
      {{"prog", "-e", "-x", "img"}, 'e', 0, "-x", {"prog", "img"}},
  };
  for (const auto& c : cases) {
    Args a(c.input);
    const char* v = KivoWrapClass::GetOption(a.argc, a.argv, c.letter, c.noValue);
    std::string where = "letter " + std::string(1, c.letter) + " on " + c.input[1];
    if (c.expected == nullptr) {
      EXPECT_EQ(v, nullptr) << where;
    } else {
      ASSERT_NE(v, nullptr) << where;
      EXPECT_STREQ(v, c.expected) << where;
    }
    EXPECT_EQ(a.Remaining(), c.remaining) << where;
  }
}

void ExpectDefaults(const KivoWrapClass& w) {
  EXPECT_STREQ(w.GetCatalogName(), "orv33");
  EXPECT_STREQ(w.GetDatabaseName(), "KivoData");
  EXPECT_STREQ(w.GetMode(), "r");
  EXPECT_EQ(w.GetNumberOfResults(), 20);
  EXPECT_EQ(w.GetThumbnailWidth(), 100);
  EXPECT_EQ(w.GetThumbnailHeight(), 100);
  EXPECT_EQ(w.GetThumbnailPad(), 0);
  EXPECT_EQ(w.GetThumbnail24Bit(), 0);
  EXPECT_EQ(w.GetVerbose(), 0);
  EXPECT_STREQ(w.GetKeyword(), "");
  EXPECT_EQ(w.GetFeatureCount(), 0);
  EXPECT_EQ(w.GetConnection(), nullptr);
  EXPECT_EQ(w.GetCatalog(), nullptr);
}

TEST(Tools, FreshObjectHasDefaults) {
  KivoWrapClass w;
  ExpectDefaults(w);
}

TEST(Tools, CloseForgetsEverySetting) {
  KivoWrapClass w("cat", "db", "w");
  EXPECT_STREQ(w.GetCatalogName(), "cat");
  EXPECT_STREQ(w.GetDatabaseName(), "db");
  EXPECT_STREQ(w.GetMode(), "w");
  w.SetVerbose(1);
  w.SetKeyword("sunset");
  EXPECT_EQ(w.SetNumberOfResults(5), 20);
  w.SetThumbnailSize(64, 32);
  w.SetThumbnailPad(1);
  w.SetThumbnail24Bit(1);
  EXPECT_EQ(w.Close(), 0);
  ExpectDefaults(w);
  // A second Close on an empty object is harmless.
  EXPECT_EQ(w.Close(), 0);
  ExpectDefaults(w);
}

TEST(Tools, OverlongNamesAreCut) {
  const std::string longName(1000, 'n');
  KivoWrapClass w(longName.c_str(), longName.c_str(), "rw");
  EXPECT_EQ(std::string(w.GetCatalogName()), std::string(255, 'n'));
  EXPECT_EQ(std::string(w.GetDatabaseName()), std::string(255, 'n'));
  EXPECT_STREQ(w.GetMode(), "r");
  w.SetKeyword(longName.c_str());
  EXPECT_EQ(std::string(w.GetKeyword()), std::string(127, 'n'));
  w.SetKeyword(nullptr);
  EXPECT_STREQ(w.GetKeyword(), "");
}

TEST(Tools, NullNamesKeepDefaults) {
  KivoWrapClass w(nullptr, nullptr, nullptr);
  ExpectDefaults(w);
}

}  // namespace

TEST(Tools, CountsOnTheCommandLine) {
  const struct {
    const char* text;
    bool ok;
    int value;
  } cases[] = {
      {"5", true, 5},          {"-1", true, -1},   {"+7", true, 7},     {"0", true, 0},
      {"2147483647", true, 2147483647},            {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0}, {"ten", false, 0}, {"5x", false, 0},    {"", false, 0},
      {"-", false, 0},          {" 5", false, 0},  {"99999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    int value = 12345;
    EXPECT_EQ(kivowrap::ReadCount(c.text, &value), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 12345) << c.text;
  }
}
