// Damaged table files of every kind (feature tables, the feature index, the
// sub-part catalog, a sampler table): cut short, zeroed ranges, flipped
// bytes. The real KvDumpDb and KvQBE must never die of a signal and never
// give a wrong answer silently: either the clean catalog's exact output, or a
// failing status with a message that names the damaged file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../catalog/CatalogFixture.h"
#include "KvTestUtil.h"
#include "StorageFixture.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvStoreCheck.h"

namespace {

const char* const kPhotos = "/work/shared/data/wang1k/beach";
constexpr size_t kPage = 4096;

std::string Program(const char* name) {
  const char* bin = std::getenv("KIVO_BIN");
  return std::string(bin != nullptr ? bin : ".") + "/" + name;
}

// Runs args with standard output and error into out: the exit status, or
// 1000 + the signal that ended it.
int RunProgram(const std::vector<std::string>& args, const std::string& out) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

struct Damage {
  const char* name;
  void (*apply)(std::string&);
};

void Zero(std::string& f, size_t at, size_t size) {
  for (size_t i = at; i < at + size && i < f.size(); ++i) f[i] = 0;
}
void Flip(std::string& f, size_t at, size_t size) {
  for (size_t i = at; i < at + size && i < f.size(); ++i) f[i] ^= 0x5a;
}

// The tables hold one or two pages of records: the second page is the last.
const Damage kDamages[] = {
    {"cut to 100 bytes", [](std::string& f) { f.resize(100); }},
    {"cut to its first page", [](std::string& f) { f.resize(kPage); }},
    {"cut inside the last page", [](std::string& f) { f.resize(f.size() - kPage / 2); }},
    {"first page zeroed", [](std::string& f) { Zero(f, 0, kPage); }},
    {"second page zeroed", [](std::string& f) { Zero(f, kPage, kPage); }},
    {"page header zeroed", [](std::string& f) { Zero(f, kPage, 32); }},
    {"flipped bytes in the first page", [](std::string& f) { Flip(f, 40, 16); }},
    {"flipped bytes in the second page", [](std::string& f) { Flip(f, kPage + 2000, 16); }},
};

const char* const kTables[] = {"ColorFeF.cat", "ColorHiF.cat", "FeatIdx.cat", "SubPIdx.cat", "samp.sam"};

class DamagedTables : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new kvtest::TempDir("damaged");
    const std::string masks = dir_->File("masks");
    ASSERT_EQ(0, ::mkdir(masks.c_str(), 0700));
    const std::string photo = kvtest::ReadFile(std::string(kPhotos) + "/100.jpg");
    if (photo.empty()) return;
    // The photograph is its own mask: every pixel that is not black.
    kvtest::WriteFile(masks + "/m100.jpg", photo);
    const std::string db = dir_->File("clean");
    const std::vector<std::string> build = {
        Program("KvMkDbs"), "-d", db, "-c", "cat", "-e", std::string("KivoImagePath=") + kPhotos,
        "-e", "KivoMaskPath=" + masks, "-f", "KvColorFeatureClass", "-f", "KvColorHistogramFeatureClass",
        "-f", "KvColorSubPartFeatureClass", "+p", "100.jpg", "(", "m100.jpg", ")", "101.jpg", "102.jpg",
        "103.jpg", "104.jpg"};
    ASSERT_EQ(0, RunProgram(build, dir_->File("build.out"))) << kvtest::ReadFile(dir_->File("build.out"));
    // A sampler with a few records, through the catalog.
    std::unique_ptr<KvConnectClass> connection(NewKvDbmConnectClass());
    ASSERT_EQ(0, connection->Connect(db.c_str(), "w"));
    std::unique_ptr<KvCatalogClass> catalog(connection->NewCatalog());
    ASSERT_EQ(0, catalog->Open("cat"));
    ASSERT_EQ(0, catalog->AddSampler("samp", "KvColorFeatureClass"));
    for (int i = 0; i < 40; ++i) {
      kvtest::TestImage image(8, 8, static_cast<unsigned char>(i * 6), 20, 200);
      ASSERT_EQ(0, catalog->AddSamplerRecords(("s" + std::to_string(i)).c_str(), "samp", image.get(), nullptr,
                                              KV_MODE_INSERT));
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (kvtest::ReadFile(std::string(kPhotos) + "/100.jpg").empty()) GTEST_SKIP() << "no photographs in " << kPhotos;
  }

  static std::vector<std::string> Dump(const std::string& db, const char* table) {
    return {Program("KvDumpDb"), "-d", db, table};
  }
  static std::vector<std::string> Query(const std::string& db) {
    return {Program("KvQBE"), "-d", db, "-c", "cat", "-f", "KvColorHistogramFeatureClass", "-f",
            "KvColorFeatureClass", "-n", "3", "-i", "101.jpg"};
  }

  // The clean answer (want: the clean catalog's output), or a failing status
  // whose message names table.
  void ExpectCleanOrNamedFailure(const std::vector<std::string>& damaged, const std::string& want,
                                 const char* table) {
    const std::string out = dir_->File("damaged.out");
    const int status = RunProgram(damaged, out);
    const std::string text = kvtest::ReadFile(out);
    ASSERT_LT(status, 1000) << "killed by signal " << status - 1000 << "\n" << text;
    if (status == 0) {
      EXPECT_EQ(text, want) << "a wrong answer with status 0";
    } else {
      EXPECT_NE(text.find(table), std::string::npos) << "the message does not name " << table << ":\n" << text;
    }
  }

  // Output of a command on the clean catalog (status 0 checked).
  static std::string CleanOutput(const std::vector<std::string>& args) {
    const std::string out = dir_->File("clean.out");
    EXPECT_EQ(0, RunProgram(args, out));
    return kvtest::ReadFile(out);
  }

  static kvtest::TempDir* dir_;
};

kvtest::TempDir* DamagedTables::dir_ = nullptr;

TEST_F(DamagedTables, DumpAndQueryGiveTheCleanAnswerOrNameTheFile) {
  const std::string clean = dir_->File("clean");
  const std::string query = CleanOutput(Query(clean));
  int copies = 0;
  for (const char* table : kTables) {
    const std::string dump = CleanOutput(Dump(clean, table));
    const std::string bytes = kvtest::ReadFile(clean + "/" + table);
    ASSERT_GE(bytes.size(), 2 * kPage) << table;
    for (const Damage& d : kDamages) {
      SCOPED_TRACE(std::string(table) + ": " + d.name);
      const std::string db = dir_->File("copy" + std::to_string(copies++));
      ASSERT_EQ(0, RunProgram({"/bin/cp", "-r", clean, db}, dir_->File("cp.out")));
      std::string damaged = bytes;
      d.apply(damaged);
      kvtest::WriteFile(db + "/" + table, damaged);
      ExpectCleanOrNamedFailure(Dump(db, table), dump, table);
      // A query reads the feature index and feature tables only.
      if (std::string(table).find(".cat") != std::string::npos && std::string(table) != "SubPIdx.cat") {
        ExpectCleanOrNamedFailure(Query(db), query, table);
      }
      ASSERT_EQ(0, RunProgram({"/bin/rm", "-rf", db}, dir_->File("rm.out")));
    }
  }
}

}  // namespace

namespace {

// The error recorded when a reader opens table T of dir, or "" when it opens.
std::string OpenFailure(kvtest::TempDir& dir) {
  std::unique_ptr<KvConnectClass> c(NewKvDbmConnectClass());
  EXPECT_EQ(0, c->Connect(dir.path().c_str(), "r"));
  std::unique_ptr<KvDatabaseClass> t(c->NewDatabase());
  kvtest::ClearError();
  if (t->Open("T", "r") == 0) return "";
  return GetErrorMSG();
}

TEST(TablePages, EachBadPageIsNamed) {
  struct Case {
    const char* name;
    void (*apply)(std::string&);
    const char* message;
  };
  // An all-zero header passes for a page never written, so the check names
  // it; any other bad header fails the page's checksum as it is read.
  const Case cases[] = {
      {"zeroed page", [](std::string& f) { Zero(f, 2 * kPage, kPage); }, "page 2 is zeroed"},
      {"zeroed header", [](std::string& f) { Zero(f, 3 * kPage, 26); }, "page 3 is zeroed"},
      {"another page's header", [](std::string& f) { f[2 * kPage + 8] = 7; }, "page 2 cannot be read"},
      {"unknown kind", [](std::string& f) { f[2 * kPage + 25] = 42; }, "page 2 cannot be read"},
      {"cut short", [](std::string& f) { f.resize(f.size() - kPage); }, "is missing: the file was cut short"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kvtest::TempDir dir("pages");
    const std::string path = stortest::WriteTable(dir, "T", 300);
    std::string bytes = kvtest::ReadFile(path);
    ASSERT_GE(bytes.size(), 5 * kPage);
    EXPECT_EQ(OpenFailure(dir), "");
    c.apply(bytes);
    kvtest::WriteFile(path, bytes);
    const std::string message = OpenFailure(dir);
    EXPECT_NE(message.find(path), std::string::npos) << message;
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
  }
}

TEST(TablePages, VerifyAndSalvageReadWhatIsLeft) {
  kvtest::TempDir dir("salvage");
  const std::string path = stortest::WriteTable(dir, "T", 300);
  std::string problem;
  EXPECT_TRUE(KvStoreVerifyFile(path, &problem)) << problem;
  std::vector<std::string> keys;
  auto take = [&keys](const std::string& k, const std::string&) {
    keys.push_back(k);
    return true;
  };
  ASSERT_TRUE(KvStoreWalkFile(path, take, &problem)) << problem;
  EXPECT_EQ(keys.size(), 300u);
  EXPECT_EQ(keys.front(), std::string("key10000", 9));
  keys.clear();
  ASSERT_TRUE(KvStoreSalvageFile(path, take, &problem)) << problem;
  EXPECT_EQ(keys.size(), 300u);

  std::string bytes = kvtest::ReadFile(path);
  Zero(bytes, 2 * kPage, kPage);
  kvtest::WriteFile(path, bytes);
  EXPECT_FALSE(KvStoreVerifyFile(path, &problem));
  EXPECT_NE(problem.find("Page 2"), std::string::npos) << problem;
  keys.clear();
  EXPECT_FALSE(KvStoreWalkFile(path, take, &problem));
  keys.clear();
  ASSERT_TRUE(KvStoreSalvageFile(path, take, &problem)) << problem;
  // The records of the other leaves, each once.
  EXPECT_GT(keys.size(), 200u);
  EXPECT_LT(keys.size(), 300u);
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
}

}  // namespace
