// The transactional store behind the dbm tables, in one process: write scopes
// that commit or roll back as a whole (nested ones alone), walks that read one
// committed snapshot, directories written by older builds, plain dbopen
// readers of a cleanly closed catalog, and damaged pages as clean errors.
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/KvError.h"
#include "storage/KvConnect.h"
#include "storage/KvDbAccess.h"
#include "storage/KvStoreEnv.h"
#include "KvTestUtil.h"

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// A datum over a text with its NUL, as keys and values are stored.
struct Text {
  explicit Text(std::string t) : text(std::move(t)) {
    datum.SetBytes(text.size() + 1, reinterpret_cast<unsigned char*>(&text[0]), KvOwnNone);
  }
  operator const KvDatumClass&() const { return datum; }
  std::string text;
  KvDatumClass datum;
};

std::unique_ptr<KvConnectClass> Connected(const std::string& dir, const char* mode) {
  std::unique_ptr<KvConnectClass> c(NewKvDbmConnectClass());
  EXPECT_EQ(0, c->Connect(dir.c_str(), mode));
  return c;
}

// The keys of table name, in walk order; "!" marks a walk that failed.
std::vector<std::string> Keys(KvConnectClass& c, const char* name) {
  std::vector<std::string> keys;
  std::unique_ptr<KvDatabaseClass> t(c.NewDatabase());
  if (t->Open(name, "r") != 0) return {"!open"};
  std::unique_ptr<KvDbIteratorClass> it(t->NewIterator());
  KvDatumClass key, data;
  while (it->HasCurrent()) {
    if (it->NextView(key, data) != 0) {
      keys.push_back("!");
      break;
    }
    keys.emplace_back(reinterpret_cast<const char*>(key.Data()));
  }
  return keys;
}

void Put(KvConnectClass& c, const char* name, const std::string& key) {
  std::unique_ptr<KvDatabaseClass> t(c.NewDatabase());
  ASSERT_EQ(0, t->OpenForWrite(name));
  ASSERT_EQ(0, t->Update(Text(key), Text("v" + key), True));
  ASSERT_EQ(0, t->Close());
}

using Keylist = std::vector<std::string>;

TEST(StoreEnv, ScopesCommitWholeAndRollBackAlone) {
  kvtest::TempDir dir("store");
  auto c = Connected(dir.path(), "w");
  Put(*c, "T", "base");
  {
    KvStoreWriteScope outer(c.get());
    ASSERT_TRUE(outer.Ok());
    Put(*c, "T", "a");
    {
      KvStoreWriteScope inner(c.get());
      Put(*c, "T", "lost");
      Put(*c, "U", "lost");
      // left without Commit: only the inner writes go
    }
    {
      KvStoreWriteScope inner(c.get());
      Put(*c, "T", "b");
      ASSERT_EQ(0, inner.Commit());
    }
    // Inside the scope its own writes are seen.
    EXPECT_EQ(Keys(*c, "T"), (Keylist{"a", "b", "base"}));
    ASSERT_EQ(0, outer.Commit());
  }
  EXPECT_EQ(Keys(*c, "T"), (Keylist{"a", "b", "base"}));
  {
    KvStoreWriteScope outer(c.get());
    Put(*c, "T", "c");
    EXPECT_EQ(-2, outer.Finish(-2));  // a failed change leaves nothing behind
  }
  EXPECT_EQ(Keys(*c, "T"), (Keylist{"a", "b", "base"}));
  // A table made inside the rolled-back scope is gone with it.
  std::unique_ptr<KvDatabaseClass> u(c->NewDatabase());
  EXPECT_NE(0, u->Open("U", "r"));
  EXPECT_FALSE(Exists(dir.File("U")));
  // The environment's files are kept out of the database directory's listing.
  EXPECT_TRUE(Exists(dir.File(".KvEnv/writer.lock")));
}

TEST(StoreEnv, WalksReadOneCommittedSnapshot) {
  kvtest::TempDir dir("store");
  auto writer = Connected(dir.path(), "w");
  for (const char* k : {"k1", "k2", "k3"}) Put(*writer, "T", k);
  std::unique_ptr<KvDatabaseClass> t(writer->NewDatabase());
  ASSERT_EQ(0, t->Open("T", "r"));
  std::unique_ptr<KvDbIteratorClass> it(t->NewIterator());
  KvDatumClass key, data;
  ASSERT_EQ(0, it->NextView(key, data));
  EXPECT_STREQ("k1", reinterpret_cast<const char*>(key.Data()));
  // Changes committed during the walk are not seen by it, nor are changes
  // under way by another thread's scope.
  std::unique_ptr<KvDatabaseClass> w(writer->NewDatabase());
  ASSERT_EQ(0, w->OpenForWrite("T"));
  ASSERT_EQ(0, w->Delete(Text("k2")));
  ASSERT_EQ(0, w->Insert(Text("k25"), Text("new")));
  ASSERT_EQ(0, w->Close());
  Keylist rest;
  while (it->HasCurrent()) {
    ASSERT_EQ(0, it->NextView(key, data));
    rest.emplace_back(reinterpret_cast<const char*>(key.Data()));
  }
  EXPECT_EQ(rest, (Keylist{"k2", "k3"}));
  it.reset();
  EXPECT_EQ(Keys(*writer, "T"), (Keylist{"k1", "k25", "k3"}));
}

TEST(StoreEnv, OlderDirectoriesAreReadAsTheyAreAndTakenInOnTheFirstWrite) {
  kvtest::TempDir dir("store");
  // A table as the earlier builds wrote it: a plain dbopen file.
  DB* db = nullptr;
  ASSERT_EQ(0, KvDbOpen(dir.File("Old.c").c_str(), KV_DB_RDWR_CREATE, &db));
  for (const char* k : {"x", "y"}) {
    DBT key{const_cast<char*>(k), std::strlen(k) + 1};
    DBT data{const_cast<char*>(k), std::strlen(k) + 1};
    ASSERT_EQ(0, KvDbPut(db, &key, &data, 0));
  }
  ASSERT_EQ(0, KvDbClose(db));
  {
    auto reader = Connected(dir.path(), "r");
    EXPECT_EQ(Keys(*reader, "Old.c"), (Keylist{"x", "y"}));
  }
  EXPECT_FALSE(Exists(dir.File(".KvEnv")));  // a reader creates nothing
  {
    auto writer = Connected(dir.path(), "w");
    Put(*writer, "Old.c", "z");
    EXPECT_EQ(Keys(*writer, "Old.c"), (Keylist{"x", "y", "z"}));
  }
  EXPECT_TRUE(Exists(dir.File(".KvEnv")));
  // Closed cleanly, every table reads through the dbopen interface.
  ASSERT_EQ(0, KvDbOpen(dir.File("Old.c").c_str(), KV_DB_READ, &db));
  Keylist seen;
  DBT key, data;
  for (int flag = R_FIRST; KvDbSeq(db, flag, &key, &data) == 0; flag = R_NEXT) {
    seen.emplace_back(static_cast<const char*>(key.data));
  }
  EXPECT_EQ(seen, (Keylist{"x", "y", "z"}));
  KvDbClose(db);
}

TEST(StoreEnv, DamagedPagesAreErrorsNamingTheFile) {
  kvtest::TempDir dir("store");
  {
    auto writer = Connected(dir.path(), "w");
    KvStoreWriteScope scope(writer.get());
    for (int i = 0; i < 400; ++i) Put(*writer, "T", "key" + std::to_string(1000 + i) + std::string(40, 'x'));
    Put(*writer, "U", "u1");
    ASSERT_EQ(0, scope.Commit());
  }
  std::string bytes = kvtest::ReadFile(dir.File("T"));
  ASSERT_GT(bytes.size(), 4u * 4096);
  // Flipped bytes in a page past the first ones, then the whole file cut.
  for (size_t i = 0; i < 16; ++i) bytes[3 * 4096 + 1000 + i] ^= 0x5a;
  kvtest::WriteFile(dir.File("T"), bytes);
  for (int round = 0; round < 2; ++round) {
    auto reader = Connected(dir.path(), "r");
    kvtest::ClearError();
    const Keylist keys = Keys(*reader, "T");
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys.back(), "!");
    EXPECT_NE(std::string(GetErrorMSG()).find(dir.File("T")), std::string::npos) << GetErrorMSG();
    // The damage does not spread: another table of the directory reads on.
    EXPECT_EQ(Keys(*reader, "U"), (Keylist{"u1"}));
  }
}

void OnFileSize(int) {}

// A write past the file-size limit must fail as an error, not end the
// process; a program that handles the signal itself keeps its handler.
TEST(StoreEnv, FileSizeSignalIsIgnoredUnlessTheProgramHandlesIt) {
  struct sigaction saved{};
  ASSERT_EQ(0, ::sigaction(SIGXFSZ, nullptr, &saved));
  struct sigaction set{};
  sigemptyset(&set.sa_mask);
  set.sa_handler = OnFileSize;
  ASSERT_EQ(0, ::sigaction(SIGXFSZ, &set, nullptr));
  struct sigaction now{};
  {
    kvtest::TempDir dir("store");
    auto writer = Connected(dir.path(), "w");
    Put(*writer, "T", "a");
    ASSERT_EQ(0, ::sigaction(SIGXFSZ, nullptr, &now));
    EXPECT_EQ(now.sa_handler, &OnFileSize);
  }
  set.sa_handler = SIG_DFL;
  ASSERT_EQ(0, ::sigaction(SIGXFSZ, &set, nullptr));
  {
    kvtest::TempDir dir("store");
    auto writer = Connected(dir.path(), "w");
    Put(*writer, "T", "a");
    ASSERT_EQ(0, ::sigaction(SIGXFSZ, nullptr, &now));
    EXPECT_EQ(now.sa_handler, SIG_IGN);
  }
  ASSERT_EQ(0, ::sigaction(SIGXFSZ, &saved, nullptr));
}

}  // namespace
