// The dbopen layer: open modes, the NUL rule of lookups, no-overwrite puts,
// ordered walks and the lifetime of returned data.
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/KvDbAccess.h"
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

DBT Bytes(const void* data, size_t size) {
  DBT dbt;
  dbt.data = const_cast<void*>(data);
  dbt.size = size;
  return dbt;
}

DBT Text(const char* text, bool withNul) { return Bytes(text, std::strlen(text) + (withNul ? 1 : 0)); }

std::string AsString(const DBT& dbt) {
  return std::string(static_cast<const char*>(dbt.data), dbt.size);
}

class DbAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    path_ = dir_.File("table");
    oldMask_ = umask(022);
    ASSERT_EQ(0, KvDbOpen(path_.c_str(), KV_DB_RDWR_CREATE, &db_));
  }
  void TearDown() override {
    if (db_ != nullptr) {
      EXPECT_EQ(0, KvDbClose(db_));
    }
    umask(oldMask_);
  }
  void Put(const DBT& key, const char* data) {
    DBT k = key;
    DBT d = Text(data, true);
    ASSERT_EQ(0, KvDbPut(db_, &k, &d, 0));
  }

  kvtest::TempDir dir_{"dbaccess"};
  std::string path_;
  DB* db_ = nullptr;
  mode_t oldMask_ = 0;
};

TEST_F(DbAccess, OpenMissingReadOnlyFailsAndCreateMakesMode0600) {
  DB* other = nullptr;
  EXPECT_EQ(-1, KvDbOpen(dir_.File("missing").c_str(), KV_DB_READ, &other));
  EXPECT_FALSE(Exists(dir_.File("missing")));
  EXPECT_EQ(0600, FileMode(path_));
  DB* reader = nullptr;
  ASSERT_EQ(0, KvDbOpen(path_.c_str(), KV_DB_READ, &reader));
  DBT key, data;
  EXPECT_EQ(1, KvDbSeq(reader, R_FIRST, &key, &data));  // empty B-tree
  EXPECT_EQ(0, KvDbClose(reader));
  EXPECT_EQ(-1, KvDbOpen(nullptr, KV_DB_READ, &other));
  EXPECT_EQ(-1, KvDbOpen(path_.c_str(), KV_DB_READ, nullptr));
}

TEST_F(DbAccess, LookupsFindKeysWithOrWithoutTheirNul) {
  Put(Text("withnul", true), "A");
  Put(Text("bare", false), "B");
  struct Case {
    const char* key;
    bool withNul;
    const char* expected;  // null: not found
  } cases[] = {
      {"withnul", false, "A"}, {"withnul", true, "A"}, {"bare", false, "B"},
      {"bare", true, "B"},     {"with", false, nullptr}, {"barex", false, nullptr},
  };
  for (const Case& c : cases) {
    // The key sits in a buffer of exactly its size: the retry must not read
    // behind it.
    const size_t size = std::strlen(c.key) + (c.withNul ? 1 : 0);
    std::unique_ptr<char[]> exact(new char[size]);
    std::memcpy(exact.get(), c.key, size);
    DBT key = Bytes(exact.get(), size);
    DBT data;
    const int result = KvDbGet(db_, &key, 0, &data);
    SCOPED_TRACE(std::string(c.key) + (c.withNul ? " +NUL" : ""));
    if (c.expected == nullptr) {
      EXPECT_EQ(1, result);
    } else {
      ASSERT_EQ(0, result);
      EXPECT_STREQ(c.expected, static_cast<const char*>(data.data));
    }
    EXPECT_EQ(size, key.size);  // the caller's key is left as it was
  }
}

TEST_F(DbAccess, LongKeyIsFoundFromItsBareText) {
  const std::string longKey(1000, 'k');
  Put(Text(longKey.c_str(), true), "long");
  DBT key = Bytes(longKey.data(), longKey.size());
  DBT data;
  ASSERT_EQ(0, KvDbGet(db_, &key, 0, &data));
  EXPECT_STREQ("long", static_cast<const char*>(data.data));
}

TEST_F(DbAccess, NoOverwritePutKeepsStoredData) {
  Put(Text("k", true), "first");
  DBT key = Text("k", true);
  DBT data = Text("second", true);
  EXPECT_EQ(1, KvDbPut(db_, &key, &data, R_NOOVERWRITE));
  DBT found;
  ASSERT_EQ(0, KvDbGet(db_, &key, 0, &found));
  EXPECT_STREQ("first", static_cast<const char*>(found.data));
  EXPECT_EQ(0, KvDbPut(db_, &key, &data, 0));
  ASSERT_EQ(0, KvDbGet(db_, &key, 0, &found));
  EXPECT_STREQ("second", static_cast<const char*>(found.data));
}

TEST_F(DbAccess, WalkDeliversKeysInAscendingByteOrder) {
  const std::vector<std::string> keys = {"b", "a", "\xff", "ab", "A", "aa", std::string("a\0z", 3)};
  for (const std::string& k : keys) Put(Bytes(k.data(), k.size()), "x");
  std::vector<std::string> walked;
  DBT key, data;
  for (int flag = R_FIRST; KvDbSeq(db_, flag, &key, &data) == 0; flag = R_NEXT) {
    walked.push_back(AsString(key));
  }
  EXPECT_EQ(1, KvDbSeq(db_, R_NEXT, &key, &data));
  const std::vector<std::string> expected = {"A", "a", std::string("a\0z", 3), "aa", "ab", "b", "\xff"};
  EXPECT_EQ(expected, walked);
  // Positioning lands at or after the given key.
  DBT at = Text("ab0", false);
  ASSERT_EQ(0, KvDbSeq(db_, R_CURSOR, &at, &data));
  EXPECT_EQ("b", AsString(at));
}

TEST_F(DbAccess, DeleteReportsTheLibraryResult) {
  Put(Text("k", true), "x");
  DBT key = Text("k", true);
  EXPECT_EQ(0, KvDbDel(db_, &key, 0));
  EXPECT_EQ(1, KvDbDel(db_, &key, 0));
  DBT data;
  EXPECT_EQ(1, KvDbGet(db_, &key, 0, &data));
}

TEST_F(DbAccess, InterleavedLookupsNeedACopyOfEarlierData) {
  Put(Text("one", true), "first value");
  Put(Text("two", true), "second value");
  DBT key = Text("one", true);
  DBT data;
  ASSERT_EQ(0, KvDbGet(db_, &key, 0, &data));
  const std::string kept = AsString(data);  // copied before the next call
  key = Text("two", true);
  ASSERT_EQ(0, KvDbGet(db_, &key, 0, &data));
  EXPECT_EQ(std::string("second value", 13), AsString(data));
  EXPECT_EQ(std::string("first value", 12), kept);
}

TEST_F(DbAccess, DataSurvivesCloseAndReopen) {
  Put(Text("k", true), "v");
  ASSERT_EQ(0, KvDbClose(db_));
  db_ = nullptr;
  ASSERT_EQ(0, KvDbOpen(path_.c_str(), KV_DB_READ, &db_));
  DBT key = Text("k", false);
  DBT data;
  ASSERT_EQ(0, KvDbGet(db_, &key, 0, &data));
  EXPECT_STREQ("v", static_cast<const char*>(data.data));
  DBT write = Text("x", true);
  EXPECT_EQ(1, KvDbPut(db_, &write, &data, 0));  // read-only handle
}

}  // namespace
