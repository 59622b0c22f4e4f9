#include "StorageFixture.h"

#include <memory>

#include <gtest/gtest.h>

#include "core/KvDatum.h"
#include "storage/KvConnect.h"

namespace stortest {

std::string WriteTable(kvtest::TempDir& dir, const char* name, int n) {
  std::unique_ptr<KvConnectClass> c(NewKvDbmConnectClass());
  EXPECT_EQ(0, c->Connect(dir.path().c_str(), "w"));
  std::unique_ptr<KvDatabaseClass> t(c->NewDatabase());
  EXPECT_EQ(0, t->Open(name, "w"));
  for (int i = 0; i < n; ++i) {
    KvDatumClass key, data;
    kvtest::SetText(key, "key" + std::to_string(10000 + i), true);
    kvtest::SetText(data, std::string(60, static_cast<char>('a' + i % 26)));
    EXPECT_EQ(0, t->Insert(key, data));
  }
  EXPECT_EQ(0, t->Close());
  return dir.File(name);
}

}  // namespace stortest
