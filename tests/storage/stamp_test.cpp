// Stamps of table files whose pages were found sound: a later opener skips
// the page check only for the very file that was checked. Whatever changed
// it since (a zeroed page, times set back, a stamp copied from another
// table or garbled) brings the check back, and the damage is named.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "KvTestUtil.h"
#include "StorageFixture.h"
#include "storage/KvConnect.h"
#include "storage/KvStoreEnv.h"
#include "storage/KvStoreStamp.h"

namespace {

constexpr size_t kPage = 4096;

// Table name of dir with n records, written and closed; its times are left
// to settle so that the next opener may stamp it.
std::string WriteSettledTable(kvtest::TempDir& dir, const char* name, int n) {
  const std::string path = stortest::WriteTable(dir, name, n);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  return path;
}

// The error recorded when a reader opens table name of dir, "" when it opens.
std::string OpenFailure(kvtest::TempDir& dir, const char* name) {
  std::unique_ptr<KvConnectClass> c(NewKvDbmConnectClass());
  EXPECT_EQ(0, c->Connect(dir.path().c_str(), "r"));
  std::unique_ptr<KvDatabaseClass> t(c->NewDatabase());
  kvtest::ClearError();
  if (t->Open(name, "r") == 0) return "";
  return GetErrorMSG();
}

std::string StampOf(kvtest::TempDir& dir, const char* name) {
  return dir.File(std::string(kKvStoreEnvDirectory) + "/" + kKvStoreStampDirectory + "/" + name);
}

void ZeroPage(const std::string& path, size_t page) {
  std::string bytes = kvtest::ReadFile(path);
  ASSERT_GE(bytes.size(), (page + 1) * kPage);
  for (size_t i = page * kPage; i < (page + 1) * kPage; ++i) bytes[i] = 0;
  kvtest::WriteFile(path, bytes);
}

void ExpectRefused(kvtest::TempDir& dir, const std::string& path) {
  const std::string message = OpenFailure(dir, "T");
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("page 2 is zeroed"), std::string::npos) << message;
}

TEST(TableStamps, ACleanOpenStampsAndTheNextOpenerSkipsTheCheck) {
  kvtest::TempDir dir("stamps");
  const std::string path = WriteSettledTable(dir, "T", 300);
  EXPECT_EQ(OpenFailure(dir, "T"), "");
  const std::string stamp = kvtest::ReadFile(StampOf(dir, "T"));
  ASSERT_FALSE(stamp.empty());
  KvStoreFileIdentity now;
  ASSERT_TRUE(KvStoreIdentityOf(path, &now));
  EXPECT_TRUE(KvStoreStamped(dir.File(kKvStoreEnvDirectory), "T", now));
  EXPECT_EQ(OpenFailure(dir, "T"), "");
  // Only the stamp itself is left in the folder, no temporary file.
  EXPECT_EQ(::access((StampOf(dir, "T") + ".tmp").c_str(), F_OK), -1);
}

TEST(TableStamps, DamageAfterTheStampIsStillRefused) {
  kvtest::TempDir dir("stamps");
  const std::string path = WriteSettledTable(dir, "T", 300);
  EXPECT_EQ(OpenFailure(dir, "T"), "");
  ASSERT_FALSE(kvtest::ReadFile(StampOf(dir, "T")).empty());
  ZeroPage(path, 2);
  ExpectRefused(dir, path);
  // Refused again: a failed check stamps nothing.
  ExpectRefused(dir, path);
}

TEST(TableStamps, TimesSetBackAfterTheDamageDoNotHideIt) {
  kvtest::TempDir dir("stamps");
  const std::string path = WriteSettledTable(dir, "T", 300);
  EXPECT_EQ(OpenFailure(dir, "T"), "");
  struct stat before;
  ASSERT_EQ(0, ::stat(path.c_str(), &before));
  ZeroPage(path, 2);
  // Same size, same modification time: only the change time tells.
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
  ExpectRefused(dir, path);
}

TEST(TableStamps, AStampOfAnotherFileOrGarbageIsIgnored) {
  kvtest::TempDir dir("stamps");
  const std::string path = WriteSettledTable(dir, "T", 300);
  WriteSettledTable(dir, "U", 300);
  EXPECT_EQ(OpenFailure(dir, "U"), "");
  const std::string other = kvtest::ReadFile(StampOf(dir, "U"));
  ASSERT_FALSE(other.empty());
  ZeroPage(path, 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const std::string bad[] = {
      other,                                    // the sound table beside it
      "",                                       // empty
      other.substr(0, other.size() / 2),        // cut short
      "kivo page check 1 garbage\n",            // garbled
      std::string(300, 'x'),                    // longer than any stamp
      other.substr(0, other.size() - 1) + "0\n",  // one digit more
  };
  for (const std::string& text : bad) {
    SCOPED_TRACE(text);
    kvtest::WriteFile(StampOf(dir, "T"), text);
    ExpectRefused(dir, path);
  }
  // A garbled stamp of a sound file only costs a check, which stamps it anew.
  kvtest::WriteFile(StampOf(dir, "U"), "garbage");
  EXPECT_EQ(OpenFailure(dir, "U"), "");
  EXPECT_EQ(kvtest::ReadFile(StampOf(dir, "U")), other);
}

TEST(TableStamps, AFileChangedJustNowIsNotStamped) {
  kvtest::TempDir dir("stamps");
  const std::string path = WriteSettledTable(dir, "T", 10);
  KvStoreFileIdentity identity;
  ASSERT_TRUE(KvStoreIdentityOf(path, &identity));
  const std::string home = dir.File(kKvStoreEnvDirectory);
  // Looked at in the same tick as its last change: a change right after
  // could keep its times.
  KvStoreFileIdentity fresh = identity;
  fresh.taken = identity.changed;
  KvStoreStamp(home, "T", fresh);
  EXPECT_FALSE(KvStoreStamped(home, "T", identity));
  KvStoreStamp(home, "T", identity);
  EXPECT_TRUE(KvStoreStamped(home, "T", identity));
  KvStoreUnstamp(home, "T");
  EXPECT_FALSE(KvStoreStamped(home, "T", identity));
}

}  // namespace
