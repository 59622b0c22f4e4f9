// Dbm connection, table and iterator: directories, open modes, the 0/1/-1
// results, iteration order, table-name rules, and a fixed-seed run against a
// std::map model.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/KvError.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"
#include "KvTestUtil.h"

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Permission bits of path, or -1.
int FileMode(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 0777) : -1;
}

// A datum borrowing text (with its NUL when withNul).
struct TextDatum {
  TextDatum(const char* text, bool withNul = true) {
    datum.SetBytes(std::strlen(text) + (withNul ? 1 : 0),
                   reinterpret_cast<unsigned char*>(const_cast<char*>(text)), KvOwnNone);
  }
  KvDatumClass datum;
};

std::string Str(const KvDatumClass& d) {
  return std::string(reinterpret_cast<const char*>(d.Data()), d.Size());
}

std::unique_ptr<KvConnectClass> Connected(const std::string& dir, const char* mode) {
  std::unique_ptr<KvConnectClass> c(NewKvDbmConnectClass());
  EXPECT_NE(nullptr, c);
  if (c != nullptr) {
    EXPECT_EQ(0, c->Connect(dir.c_str(), mode));
  }
  return c;
}

// All (key, data) pairs of an open table, in walk order.
std::vector<std::pair<std::string, std::string>> Walk(KvDatabaseClass& table) {
  std::vector<std::pair<std::string, std::string>> records;
  std::unique_ptr<KvDbIteratorClass> it(table.NewIterator());
  EXPECT_NE(nullptr, it);
  if (it == nullptr) return records;
  KvDatumClass key, data;
  while (it->HasCurrent()) {
    EXPECT_EQ(0, it->Next(key, data, 1));
    records.emplace_back(Str(key), Str(data));
  }
  return records;
}

class Dbm : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    oldMask_ = umask(022);
    db_ = dir_.File("db");
    writer_ = Connected(db_, "w");
    table_.reset(writer_->NewDatabase());
    ASSERT_NE(nullptr, table_);
  }
  void TearDown() override { umask(oldMask_); }

  kvtest::TempDir dir_{"dbm"};
  std::string db_;
  mode_t oldMask_ = 0;
  std::unique_ptr<KvConnectClass> writer_;
  std::unique_ptr<KvDatabaseClass> table_;
};

TEST_F(Dbm, ConnectMakesTheDirectoryAndKeepsItsArguments) {
  EXPECT_TRUE(Exists(db_));
  EXPECT_EQ(0, writer_->Connect(db_.c_str(), "w"));
  EXPECT_EQ(-1, writer_->Connect(db_.c_str(), "r"));
  EXPECT_EQ(-1, writer_->Connect(dir_.File("other").c_str(), "w"));
  EXPECT_EQ(-1, writer_->Connect(db_.c_str(), nullptr));
  EXPECT_FALSE(Exists(dir_.File("other")));
  EXPECT_EQ(0, writer_->Disconnect());
  EXPECT_EQ(False, writer_->IsConnected());
  EXPECT_EQ(nullptr, writer_->GetDirectory());

  std::unique_ptr<KvConnectClass> c(NewKvDbmConnectClass());
  EXPECT_EQ(ENOENT, c->Connect(dir_.File("no/such/parent").c_str(), "w"));
  std::fclose(std::fopen(dir_.File("plain").c_str(), "w"));
  EXPECT_EQ(ENOTDIR, c->Connect(dir_.File("plain").c_str(), "w"));
  EXPECT_EQ(-1, c->Connect(nullptr, "w"));
  EXPECT_EQ(False, c->IsConnected());
  // Any mode may be kept; null too.
  EXPECT_EQ(0, c->Connect(db_.c_str(), nullptr));
  EXPECT_EQ(nullptr, c->GetMode());
  EXPECT_EQ(0, c->Connect(db_.c_str(), nullptr));
}

TEST_F(Dbm, OpenFollowsTheConnectionMode) {
  std::unique_ptr<KvConnectClass> reader = Connected(db_, "r");
  std::unique_ptr<KvDatabaseClass> table(reader->NewDatabase());
  EXPECT_EQ(-1, table->Open("t", "w"));
  EXPECT_EQ(-1, table->Open("t", nullptr));
  EXPECT_EQ(-1, table->Open("t", "r"));  // missing file
  EXPECT_EQ(-1, table->OpenForWrite("t"));
  EXPECT_EQ(-1, table->Create("t"));
  EXPECT_EQ(-1, reader->CreateTable(table.get(), "t"));
  EXPECT_FALSE(Exists(db_ + "/t"));

  std::unique_ptr<KvConnectClass> odd = Connected(db_, "x");
  std::unique_ptr<KvDatabaseClass> oddTable(odd->NewDatabase());
  EXPECT_EQ(-1, oddTable->Open("t", "x"));
  EXPECT_FALSE(Exists(db_ + "/t"));

  ASSERT_EQ(0, writer_->CreateTable(table_.get(), "t"));
  EXPECT_EQ(0600, FileMode(db_ + "/t"));
  ASSERT_EQ(0, table->OpenForWrite("t"));  // read-only on an "r" connection
  EXPECT_EQ(db_ + "/t", table->GetTableName());
  TextDatum k("k"), v("v");
  EXPECT_EQ(1, table->Insert(k.datum, v.datum));
  EXPECT_EQ(1, table->Update(k.datum, v.datum, True));
  EXPECT_EQ(0, table->Close());
  EXPECT_EQ(-1, table->Close());
  EXPECT_EQ(nullptr, table->GetTableName());
}

TEST_F(Dbm, MisuseOfATableIsRefused) {
  TextDatum k("k"), v("v");
  KvDatumClass out;
  EXPECT_EQ(-1, table_->Insert(k.datum, v.datum));
  EXPECT_EQ(-1, table_->Update(k.datum, v.datum, True));
  EXPECT_EQ(-1, table_->Get(k.datum, out));
  EXPECT_EQ(-1, table_->Delete(k.datum));
  EXPECT_EQ(-1, table_->Sync());
  EXPECT_EQ(-1, table_->Remove());
  EXPECT_EQ(nullptr, table_->NewIterator());
  EXPECT_EQ(-1, table_->GetCount());
  EXPECT_EQ(-1, table_->Open(nullptr, "w"));
  EXPECT_EQ(-1, table_->Open("", "w"));
  ASSERT_EQ(0, table_->Open("t", "w"));
  EXPECT_EQ(-1, table_->Open("u", "w"));
  EXPECT_EQ(-1, table_->Create("u"));
  EXPECT_FALSE(Exists(db_ + "/u"));
  std::unique_ptr<KvDatabaseClass> other(writer_->NewDatabase());
  EXPECT_EQ(-1, other->Open("../escape", "w"));
  EXPECT_EQ(-1, other->Open("..\\escape", "w"));
  EXPECT_EQ(KERR_General, GetErrorMSGNumber());
  EXPECT_FALSE(Exists(dir_.File("escape")));
}

TEST_F(Dbm, RecordOperationsGiveTheirResults) {
  ASSERT_EQ(0, table_->Open("t", "w"));
  TextDatum k("key"), bare("key", false), v1("one"), v2("two");
  KvDatumClass out;
  EXPECT_EQ(1, table_->Update(k.datum, v1.datum, False));
  EXPECT_EQ(1, table_->Get(k.datum, out));
  EXPECT_EQ(0, table_->Insert(k.datum, v1.datum));
  EXPECT_EQ(1, table_->Insert(k.datum, v2.datum));
  ASSERT_EQ(0, table_->Get(bare.datum, out));
  EXPECT_EQ(KvOwnNone, out.BytesOwnership());
  EXPECT_STREQ("one", reinterpret_cast<const char*>(out.Data()));
  // An update from the bare text replaces the record stored with its NUL.
  EXPECT_EQ(0, table_->Update(bare.datum, v2.datum, False));
  EXPECT_EQ(0, table_->Update(bare.datum, v2.datum, True));
  std::vector<std::pair<std::string, std::string>> expected = {{std::string("key", 4), std::string("two", 4)}};
  EXPECT_EQ(expected, Walk(*table_));
  TextDatum n("new");
  EXPECT_EQ(0, table_->Update(n.datum, v1.datum, True));
  EXPECT_EQ(0, table_->Delete(bare.datum));
  EXPECT_EQ(1, table_->Delete(k.datum));
  EXPECT_EQ(0, table_->Get(n.datum, out));
  EXPECT_EQ(0, table_->Sync());
}

TEST_F(Dbm, LookupDataIsOnlyBorrowedUntilTheNextCall) {
  ASSERT_EQ(0, table_->Open("t", "w"));
  TextDatum a("a"), b("b"), va("value of a"), vb("value of b");
  ASSERT_EQ(0, table_->Insert(a.datum, va.datum));
  ASSERT_EQ(0, table_->Insert(b.datum, vb.datum));
  KvDatumClass first, second;
  ASSERT_EQ(0, table_->Get(a.datum, first));
  const std::string kept = Str(first);  // copied before the next lookup
  ASSERT_EQ(0, table_->Get(b.datum, second));
  EXPECT_EQ(std::string("value of b", 11), Str(second));
  EXPECT_EQ(std::string("value of a", 11), kept);
}

TEST_F(Dbm, GetCountTellsEmptyFromNotEmpty) {
  ASSERT_EQ(0, table_->Create("t"));
  EXPECT_TRUE(Exists(db_ + "/t"));
  ASSERT_EQ(0, table_->Open("t", "w"));
  EXPECT_EQ(0, table_->GetCount());
  KvDatumClass v;
  for (int i = 0; i < 5; ++i) {
    const std::string key = "k" + std::to_string(i);
    TextDatum k(key.c_str());
    ASSERT_EQ(0, table_->Insert(k.datum, v));
    EXPECT_EQ(1, table_->GetCount());  // sees the open table's writes
  }
}

TEST_F(Dbm, IteratorWalksInKeyOrderWithEveryMode) {
  ASSERT_EQ(0, table_->Open("t", "w"));
  const char* keys[] = {"pear", "apple", "fig", "banana", "zucchini"};
  for (const char* key : keys) {
    TextDatum k(key), v(key);
    ASSERT_EQ(0, table_->Insert(k.datum, v.datum));
  }
  std::unique_ptr<KvDbIteratorClass> it(table_->NewIterator());
  ASSERT_NE(nullptr, it);
  ASSERT_EQ(0, table_->Close());  // the iterator has its own handle
  KvDatumClass key, data;
  std::vector<std::string> walked;
  while (it->HasCurrent()) {
    ASSERT_EQ(0, it->Next(key, data, 1));
    EXPECT_EQ(KvOwnKvDelete, key.BytesOwnership());
    EXPECT_EQ(Str(key), Str(data));
    walked.push_back(reinterpret_cast<const char*>(key.Data()));
  }
  EXPECT_EQ((std::vector<std::string>{"apple", "banana", "fig", "pear", "zucchini"}), walked);
  EXPECT_EQ(1, it->Next(key, data, 1));
  EXPECT_EQ(-1, it->Next(key, data, 3));
  ASSERT_EQ(0, it->Next(key, data, 0));
  EXPECT_STREQ("apple", reinterpret_cast<const char*>(key.Data()));
  TextDatum from("c", false);
  key.SetBytes(from.datum.Size(), const_cast<unsigned char*>(from.datum.Data()), KvOwnNone);
  ASSERT_EQ(0, it->Next(key, data, 2));  // at or after "c"
  EXPECT_STREQ("fig", reinterpret_cast<const char*>(key.Data()));
  ASSERT_EQ(0, it->Next(key, data, 1));
  EXPECT_STREQ("pear", reinterpret_cast<const char*>(key.Data()));
  TextDatum past("zz", false);
  key.SetBytes(past.datum.Size(), const_cast<unsigned char*>(past.datum.Data()), KvOwnNone);
  EXPECT_EQ(1, it->Next(key, data, 2));
  EXPECT_EQ(0, it->HasCurrent());
  EXPECT_EQ(0, it->First());
  EXPECT_EQ(1, it->HasCurrent());

  // NextView hands out borrowed copies in buffers reused from step to step.
  std::vector<std::string> viewed;
  while (it->HasCurrent()) {
    ASSERT_EQ(0, it->NextView(key, data));
    EXPECT_EQ(KvOwnNone, key.BytesOwnership());
    EXPECT_EQ(KvOwnNone, data.BytesOwnership());
    EXPECT_EQ(Str(key), Str(data));
    viewed.push_back(reinterpret_cast<const char*>(key.Data()));
  }
  EXPECT_EQ(walked, viewed);
  EXPECT_NE(0, it->NextView(key, data));
}

TEST_F(Dbm, RemoveDeletesTheFile) {
  ASSERT_EQ(0, table_->Open("t", "w"));
  ASSERT_TRUE(Exists(db_ + "/t"));
  EXPECT_EQ(0, table_->Remove());
  EXPECT_FALSE(Exists(db_ + "/t"));
  EXPECT_EQ(-1, table_->Close());
}

TEST_F(Dbm, DirectoryWithTrailingSeparatorGetsNoSecondOne) {
  std::unique_ptr<KvConnectClass> c = Connected(db_ + "/", "w");
  std::unique_ptr<KvDatabaseClass> table(c->NewDatabase());
  ASSERT_EQ(0, table->Open("t", "w"));
  EXPECT_EQ(db_ + "/t", table->GetTableName());
}

TEST_F(Dbm, TableAndFileNamesFollowTheShortNameRule) {
  struct Case {
    const char* prefix;
    const char* name;
    const char* suffix;
    const char* expected;
  } cases[] = {
      {"KvColorFeatureClass", "F", "test", "ColorFeF.test"},
      {"KvColorFeatureClass", "FX", "test", "ColorFFX.test"},
      {"KvColorFeatureClass", "FD", "test", "ColorFFD.test"},
      {"KvColorHistogramSubPartFeatureClass", "P", "c", "ColorHiP.c"},
      {"KvTextFeatureClass", "F", "cat", "TextFeaF.cat"},
      {"KvAb", "F", "c", "AbF.c"},
      {"ColorFeature", "F", "c", "ColorFeF.c"},
      {"KvColorFeatureClass", "ABCDEFGH", "c", "ColorFABCDEFGH.c"},
      {"KvColorFeatureClass", "F", "", "ColorFeF"},
      {"KvColorFeatureClass", "F", nullptr, "ColorFeF"},
      {nullptr, "sampler15chars_", "sam", "sampler15chars_.sam"},
      {nullptr, "s", "sam", "s.sam"},
  };
  KvStringClass out(64);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    ASSERT_EQ(0, writer_->MakeTableName(c.prefix, c.name, c.suffix, out));
    EXPECT_STREQ(c.expected, out.c_str());
  }
  ASSERT_EQ(0, writer_->MakeFileName("FeatIdx", "test", out));
  EXPECT_STREQ("FeatIdx.test", out.c_str());
  ASSERT_EQ(0, writer_->MakeFileName("SampIdx", "", out));
  EXPECT_STREQ("SampIdx", out.c_str());
}

TEST_F(Dbm, NamesThatWouldLeaveTheDirectoryAreRefused) {
  struct Case {
    const char* prefix;
    const char* name;
    const char* suffix;
  } tableCases[] = {
      {nullptr, "sampler16chars__", "sam"},
      {nullptr, "../up", "sam"},
      {nullptr, "a\\b", "sam"},
      {nullptr, "s", "x/y"},
      {"Kv/ab", "F", "c"},
      {"KvColorFeatureClass", "ABCDEFGHIJ", "c"},
      {nullptr, nullptr, "sam"},
      {nullptr, "", "sam"},
      {nullptr, ".", ""},
      {nullptr, "..", nullptr},
  };
  KvStringClass out("stale");
  for (const Case& c : tableCases) {
    SCOPED_TRACE(c.name != nullptr ? c.name : "(null)");
    KvInitializeErrorStructure();
    EXPECT_EQ(-1, writer_->MakeTableName(c.prefix, c.name, c.suffix, out));
    EXPECT_EQ(KERR_General, GetErrorMSGNumber());
    EXPECT_EQ(KERR_Fatal, GetErrorMSGSeverity());
    EXPECT_NE(nullptr, std::strstr(GetErrorMSG(), "MakeTableName"));
    EXPECT_STREQ("", out.c_str());
  }
  const char* fileCases[][2] = {{"a/b", "c"}, {"FeatIdx", "..\\x"}, {nullptr, "c"}, {"", "c"}, {"..", ""}};
  for (const auto& c : fileCases) {
    KvInitializeErrorStructure();
    EXPECT_EQ(-1, writer_->MakeFileName(c[0], c[1], out));
    EXPECT_EQ(KERR_General, GetErrorMSGNumber());
  }
  std::string longSuffix(300, 'c');
  EXPECT_EQ(-1, writer_->MakeFileName("FeatIdx", longSuffix.c_str(), out));
}

TEST_F(Dbm, NewObjectsAreBoundToTheConnection) {
  std::unique_ptr<KvKeyDatabaseClass> set(writer_->NewKeyDatabase());
  ASSERT_NE(nullptr, set);
  EXPECT_EQ(writer_.get(), set->GetConnection());
  EXPECT_EQ(writer_.get(), table_->GetConnection());
  EXPECT_EQ(-1, writer_->CreateTable(nullptr, "t"));
}

// A fixed-seed run of inserts, updates, deletes, lookups and walks compared
// with a std::map after every step. Keys are written with their NUL, and
// looked up, updated and deleted from either form; an update that inserts
// from the bare text stores the bare form.
TEST_F(Dbm, RandomOperationsMatchAMapModel) {
  ASSERT_EQ(0, table_->Open("model", "w"));
  std::map<std::string, std::string> model;  // stored key bytes -> value
  auto storedForm = [&model](const std::string& text) -> const std::string* {
    for (const std::string& form : {text + std::string(1, '\0'), text}) {
      auto it = model.find(form);
      if (it != model.end()) return &it->first;
    }
    return nullptr;
  };
  std::mt19937 random(20240611);
  for (int step = 0; step < 600; ++step) {
    const std::string key = "key" + std::to_string(random() % 40);
    const std::string value = "value" + std::to_string(random() % 1000) + std::string(random() % 50, 'x');
    TextDatum k(key.c_str()), bare(key.c_str(), false), v(value.c_str());
    const std::string* stored = storedForm(key);
    const bool present = stored != nullptr;
    const bool useBare = random() % 2;
    const KvDatumClass& anyKey = useBare ? bare.datum : k.datum;
    const std::string fullValue = value + std::string(1, '\0');
    KvDatumClass out;
    switch (random() % 5) {
      case 0:
        ASSERT_EQ(present ? 1 : 0, table_->Insert(k.datum, v.datum));
        if (!present) model[key + std::string(1, '\0')] = fullValue;
        break;
      case 1: {
        const Boolean insert = random() % 2 ? True : False;
        ASSERT_EQ(present || insert ? 0 : 1, table_->Update(anyKey, v.datum, insert));
        if (present) model[*stored] = fullValue;
        else if (insert) model[Str(anyKey)] = fullValue;
        break;
      }
      case 2:
        ASSERT_EQ(present ? 0 : 1, table_->Delete(anyKey));
        if (present) model.erase(*stored);
        break;
      case 3:
        ASSERT_EQ(present ? 0 : 1, table_->Get(anyKey, out));
        if (present) {
          ASSERT_EQ(model[*stored], Str(out));
        }
        break;
      default: {
        std::vector<std::pair<std::string, std::string>> expected(model.begin(), model.end());
        ASSERT_EQ(expected, Walk(*table_));
        ASSERT_EQ(model.empty() ? 0 : 1, table_->GetCount());
      }
    }
  }
}

}  // namespace
