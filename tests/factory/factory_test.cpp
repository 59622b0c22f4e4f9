// The class factory: names, their error numbers and severities, and the
// process-wide connection cache.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KvFactory.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvQuery.h"
#include "storage/KvConnect.h"
#include "KvTestUtil.h"

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

const char* const kFeatureNames[] = {
    "KvColorHistogramFeatureClass",        "KvDrawFeatureClass",
    "KvColorFeatureClass",                 "KvTextFeatureClass",
    "KvTextureFeatureClass",               "KvColorHistogramSubPartFeatureClass",
    "KvColorSubPartFeatureClass",          "KvTextureSubPartFeatureClass",
    // The descriptor classes follow the eight classic ones.
    "KvHsvHistogramFeatureClass",          "KvEdgeHistogramFeatureClass",
    "KvColorEdgeFeatureClass",             "KvCorrelogramFeatureClass",
    "KvHsvBandsFeatureClass",              "KvColorDifferenceFeatureClass",
    "KvColorTextureFeatureClass",
};
constexpr int kFeatureCount = sizeof kFeatureNames / sizeof kFeatureNames[0];

TEST(Factory, FeatureListHasEveryNameInOrder) {
  const char** list = KvListAllAvailableFeatures();
  ASSERT_NE(nullptr, list);
  for (int i = 0; i < kFeatureCount; ++i) EXPECT_STREQ(kFeatureNames[i], list[i]) << i;
  EXPECT_EQ(nullptr, list[kFeatureCount]);
  // The buffer is shared: a caller's change is undone by the next call.
  list[2] = "changed";
  list[kFeatureCount] = "junk";
  EXPECT_EQ(list, KvListAllAvailableFeatures());
  EXPECT_STREQ("KvColorFeatureClass", list[2]);
  EXPECT_EQ(nullptr, list[kFeatureCount]);
}

TEST(Factory, CatalogDefaultsAreTheClassicWholeImageClasses) {
  // A catalog filled without a feature list keeps the same tables however
  // many classes the factory offers: the descriptor classes are opt-in.
  const char* const expected[] = {"KvColorHistogramFeatureClass", "KvDrawFeatureClass", "KvColorFeatureClass",
                                  "KvTextFeatureClass", "KvTextureFeatureClass", nullptr};
  const char* const* list = KvListDefaultCatalogFeatures();
  for (int i = 0; expected[i] != nullptr; ++i) EXPECT_STREQ(expected[i], list[i]) << i;
  EXPECT_EQ(nullptr, list[5]);
}

TEST(Factory, UnknownNamesRecordTheirFamilysError) {
  struct Case {
    const char* family;
    const char* name;
    KERR_Type code;
    KERR_SeverityType severity;
  } cases[] = {
      {"feature", "kvcolorfeatureclass", KERR_UnknownFeatureClass, KERR_NonFatal},
      {"feature", nullptr, KERR_UnknownFeatureClass, KERR_NonFatal},
      {"feature", "", KERR_UnknownFeatureClass, KERR_NonFatal},
      {"connect", "kvdbmconnectclass", KERR_UnknownConnectClass, KERR_Fatal},
      {"connect", nullptr, KERR_UnknownConnectClass, KERR_Fatal},
      {"data", "KvGenericDataClass", KERR_UnknownDataClass, KERR_Fatal},
      {"data", nullptr, KERR_UnknownDataClass, KERR_Fatal},
      {"query", "KvQueryClass", KERR_UnknownQueryClass, KERR_Fatal},
      {"query", nullptr, KERR_UnknownQueryClass, KERR_Fatal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.family) + " " + (c.name != nullptr ? c.name : "(null)"));
    KvInitializeErrorStructure();
    const std::string family = c.family;
    bool made = true;
    if (family == "feature") made = KvCreateFeatureClass(c.name) != nullptr;
    if (family == "connect") made = KvCreateConnectClass(c.name) != nullptr;
    if (family == "data") made = KvCreateGenericDataClass(c.name) != nullptr;
    if (family == "query") made = KvCreateQueryClass(c.name) != nullptr;
    EXPECT_FALSE(made);
    EXPECT_EQ(c.code, GetErrorMSGNumber());
    EXPECT_EQ(c.severity, GetErrorMSGSeverity());
    const std::string shown = c.name != nullptr ? c.name : "(null)";
    EXPECT_NE(nullptr, std::strstr(GetErrorMSG(), (shown + ".").c_str())) << GetErrorMSG();
  }
}

TEST(Factory, KnownFeatureNamesMakeTheirClassOrReportTheFailure) {
  for (const char* name : kFeatureNames) {
    SCOPED_TRACE(name);
    KvInitializeErrorStructure();
    std::unique_ptr<KvFeatureClass> feature(KvCreateFeatureClass(name));
    EXPECT_NE(KERR_UnknownFeatureClass, GetErrorMSGNumber());
    if (feature != nullptr) {
      EXPECT_STREQ(name, feature->GetClassName());
      EXPECT_EQ(1u, feature->IsValid());
    } else if (GetErrorMSGNumber() == KERR_NewFailed) {
      EXPECT_NE(nullptr, std::strstr(GetErrorMSG(), "KvCreateFeatureClass"));
    }
  }
}

TEST(Factory, ObjectsAreMadeByTheirNames) {
  std::unique_ptr<KvConnectClass> connection(KvCreateConnectClass("KvDbmConnectClass"));
  ASSERT_NE(nullptr, connection);
  EXPECT_STREQ("KvDbmConnectClass", connection->GetClassName());
  EXPECT_EQ(False, connection->IsConnected());
  std::unique_ptr<KvGenericDataClass> data(KvCreateGenericDataClass("KvGenericImageDataClass"));
  ASSERT_NE(nullptr, data);
  EXPECT_STREQ("KvGenericImageDataClass", data->GetClassName());
  for (const char* name : {"KvParameterClass", "anything at all", "", static_cast<const char*>(nullptr)}) {
    std::unique_ptr<KvParameterClass> parameters(KvCreateParameterClass(name));
    ASSERT_NE(nullptr, parameters);
    EXPECT_STREQ("KvParameterClass", parameters->GetClassName());
  }
}

TEST(Factory, QueryClassesAreLocalServers) {
  kvtest::TempDir dir("factory-query");
  Kvsetenv("KivoDatabaseName", dir.File("db").c_str());
  for (const char* name : {"KvQueryServerClass", "KvQueryClientClass"}) {
    std::unique_ptr<KvQueryClass> query(KvCreateQueryClass(name));
    // Null while no connection or catalog can be had; never another class.
    if (query != nullptr) {
      EXPECT_STREQ("KvQueryServerClass", query->GetClassName());
    }
  }
  const KvConnectClass* cached = KvGetConnection(nullptr, nullptr, nullptr);
  if (cached != nullptr) {
    EXPECT_EQ(0, KvDestroyConnection(cached));
  }
  Kvsetenv("KivoDatabaseName", nullptr);
}

// The cache is process-wide: each test leaves it empty.
class Connection : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    unsetenv("KivoConnectMode");
    unsetenv("KivoDatabaseName");
    unsetenv("KivoConnectClass");
    KvClearSettings();
  }
  void TearDown() override {
    const KvConnectClass* cached = KvGetConnection("r", dir_.File("cleanup").c_str(), nullptr);
    if (cached != nullptr) {
      EXPECT_EQ(0, KvDestroyConnection(cached));
    }
    KvClearSettings();
  }

  kvtest::TempDir dir_{"factory"};
};

TEST_F(Connection, FirstConnectionIsKeptUntilDestroyed) {
  const std::string first = dir_.File("first");
  const std::string second = dir_.File("second");
  const KvConnectClass* connection = KvGetConnection("w", first.c_str(), nullptr);
  ASSERT_NE(nullptr, connection);
  EXPECT_STREQ("KvDbmConnectClass", connection->GetClassName());
  EXPECT_STREQ(first.c_str(), connection->GetDirectory());
  EXPECT_STREQ("w", connection->GetMode());
  EXPECT_TRUE(Exists(first));
  EXPECT_EQ(connection, KvGetConnection("r", second.c_str(), "NoSuchClass"));
  EXPECT_STREQ(first.c_str(), connection->GetDirectory());
  EXPECT_FALSE(Exists(second));

  KvDbmConnectClass foreign;
  EXPECT_EQ(-1, KvDestroyConnection(&foreign));
  EXPECT_EQ(-1, KvDestroyConnection(nullptr));
  EXPECT_EQ(connection, KvGetConnection(nullptr, nullptr, nullptr));
  EXPECT_EQ(0, KvDestroyConnection(connection));
  EXPECT_EQ(-1, KvDestroyConnection(connection));
}

TEST_F(Connection, SettingsSupplyMissingArguments) {
  const std::string database = dir_.File("fromsetting");
  ASSERT_EQ(0, Kvsetenv("KivoDatabaseName", database.c_str()));
  ASSERT_EQ(0, Kvsetenv("KivoConnectMode", "w"));
  const KvConnectClass* connection = KvGetConnection(nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, connection);
  EXPECT_STREQ(database.c_str(), connection->GetDirectory());
  EXPECT_STREQ("w", connection->GetMode());
  EXPECT_EQ(0, KvDestroyConnection(connection));

  // No mode anywhere: the connection is asked to connect with a null mode.
  ASSERT_EQ(0, Kvsetenv("KivoConnectMode", nullptr));
  connection = KvGetConnection(nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, connection);
  EXPECT_EQ(nullptr, connection->GetMode());
  EXPECT_EQ(0, KvDestroyConnection(connection));

  ASSERT_EQ(0, Kvsetenv("KivoConnectClass", "OtherConnectClass"));
  KvInitializeErrorStructure();
  EXPECT_EQ(nullptr, KvGetConnection("r", nullptr, nullptr));
  EXPECT_EQ(KERR_UnknownConnectClass, GetErrorMSGNumber());
}

TEST_F(Connection, FailedConnectLeavesNothingCached) {
  const std::string plain = dir_.File("plainfile");
  std::fclose(std::fopen(plain.c_str(), "w"));
  KvInitializeErrorStructure();
  EXPECT_EQ(nullptr, KvGetConnection("r", plain.c_str(), nullptr));
  EXPECT_EQ(KERR_ConnectFailed, GetErrorMSGNumber());
  EXPECT_EQ(KERR_Fatal, GetErrorMSGSeverity());
  EXPECT_EQ("KvCreate: Connection to database " + plain + " with mode r failed.",
            std::string(GetErrorMSG()));
  EXPECT_EQ(nullptr, KvGetConnection(nullptr, plain.c_str(), nullptr));
  EXPECT_NE(nullptr, std::strstr(GetErrorMSG(), "with mode (null) failed."));
  const KvConnectClass* connection = KvGetConnection("r", dir_.File("good").c_str(), nullptr);
  ASSERT_NE(nullptr, connection);
  EXPECT_EQ(0, KvDestroyConnection(connection));
}

TEST_F(Connection, ThreadsShareOneConnection) {
  const std::string database = dir_.File("threads");
  std::vector<const KvConnectClass*> got(8, nullptr);
  std::vector<const char**> lists(8, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      got[i] = KvGetConnection("r", database.c_str(), nullptr);
      lists[i] = KvListAllAvailableFeatures();
    });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_NE(nullptr, got[0]);
  for (int i = 1; i < 8; ++i) {
    EXPECT_EQ(got[0], got[i]);
    EXPECT_EQ(lists[0], lists[i]);
  }
  EXPECT_STREQ("KvTextureSubPartFeatureClass", lists[0][7]);
  EXPECT_EQ(0, KvDestroyConnection(got[0]));
}

}  // namespace
