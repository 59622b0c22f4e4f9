// Several command-library objects in one process share the factory's one
// connection: an object must keep working (or fail cleanly) after another
// one has released or replaced it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "KivoWrap.h"
#include "KvTestUtil.h"
#include "core/KvError.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"

namespace {

constexpr const char* kColor = "KvColorFeatureClass";

// An object with the colour feature on catalog "pics" of database, opened
// for writing.
void OpenForWriting(KivoWrapClass& wrap, const std::string& database) {
  ASSERT_EQ(wrap.Open("pics", database.c_str(), "w"), 0);
  ASSERT_EQ(wrap.AddFeature(kColor), 0);
}

std::string Directory(const KivoWrapClass& wrap) {
  return wrap.GetConnection() != nullptr ? wrap.GetConnection()->GetDirectory() : "(none)";
}

TEST(Tools, ObjectsOnTwoDatabasesTakeTheConnectionInTurn) {
  kvtest::TempDir dir("shared");
  const std::string a = dir.File("a");
  const std::string b = dir.File("b");
  KivoWrapClass first;
  OpenForWriting(first, a);
  ASSERT_EQ(first.AddImages("!@rffg00b00"), 0);

  // The second object needs a connection to another database: the cached one
  // is replaced, and the first object takes its own again when it resumes.
  KivoWrapClass second;
  OpenForWriting(second, b);
  EXPECT_EQ(Directory(second), b);
  ASSERT_EQ(second.AddImages("!@r00gffb00"), 0);

  EXPECT_EQ(first.Resume(), 0);
  EXPECT_EQ(Directory(first), a);
  ASSERT_NE(first.GetCatalog(), nullptr);
  EXPECT_STREQ(first.GetCatalog()->GetName(), "pics");
  ASSERT_EQ(first.AddImages("!@r00g00bff"), 0);
  EXPECT_EQ(first.GetNumberOfRecords(kColor), 2);

  EXPECT_EQ(second.Resume(), 0);
  EXPECT_EQ(second.GetNumberOfRecords(kColor), 1);
  // Resuming an object whose connection is still the cached one changes
  // nothing.
  const KvConnectClass* held = second.GetConnection();
  EXPECT_EQ(second.Resume(), 0);
  EXPECT_EQ(second.GetConnection(), held);
}

TEST(Tools, ObjectsResumeAfterATemporaryObjectClosesTheSharedConnection) {
  kvtest::TempDir dir("shared");
  const std::string a = dir.File("a");
  KivoWrapClass kept;
  OpenForWriting(kept, a);
  ASSERT_EQ(kept.AddImages("!@rffg00b00"), 0);

  // Same database and mode: the temporary shares the connection, and its
  // Close releases it for both.
  {
    KivoWrapClass temporary;
    ASSERT_EQ(temporary.Open("pics", a.c_str(), "w"), 0);
    EXPECT_EQ(temporary.GetConnection(), kept.GetConnection());
    EXPECT_EQ(temporary.GetNumberOfRecords(kColor), 1);
  }
  EXPECT_EQ(kept.Resume(), 0);
  ASSERT_EQ(kept.AddImages("!@r00gffb00"), 0);
  EXPECT_EQ(kept.GetNumberOfRecords(kColor), 2);

  // A read-only object on the same database takes a read-only connection; the
  // writing object then needs its own back to write.
  KivoWrapClass reader;
  ASSERT_EQ(reader.Open("pics", a.c_str(), "r"), 0);
  EXPECT_EQ(reader.GetNumberOfRecords(kColor), 2);
  EXPECT_EQ(kept.Resume(), 0);
  ASSERT_EQ(kept.AddImages("!@r00g00bff"), 0);
  reader.Close();
  kept.Close();
  EXPECT_EQ(kept.Resume(), 0);
  EXPECT_EQ(kept.GetConnection(), nullptr);
}

TEST(Tools, ObjectThatCannotReconnectFailsCleanly) {
  kvtest::TempDir dir("shared");
  const std::string a = dir.File("a");
  KivoWrapClass kept;
  OpenForWriting(kept, a);
  {
    KivoWrapClass other;
    ASSERT_EQ(other.Open("pics", dir.File("b").c_str(), "w"), 0);
  }
  // The database directory is gone and a plain file stands in its place.
  ASSERT_EQ(std::system(("rm -rf '" + a + "'").c_str()), 0);
  kvtest::WriteFile(a, "not a directory");
  EXPECT_EQ(kept.Resume(), -1);
  EXPECT_EQ(kept.GetConnection(), nullptr);
  EXPECT_EQ(kept.GetCatalog(), nullptr);
  EXPECT_EQ(kept.GetNumberOfRecords(kColor), -1);
  EXPECT_EQ(kept.AddImages("!@rffg00b00"), -1);
  EXPECT_STREQ(GetErrorMSG(), "KIVO error: catalog not opened");
}

}  // namespace
