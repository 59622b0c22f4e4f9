// kivo's worker threads: index, dups and thumbs give the same catalog and the
// same answers with any number of workers, while the writer commits small
// groups between the workers' results. This program also runs under the
// thread sanitizer.
#include <gtest/gtest.h>
#include <leptonica/allheaders.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "KivoDups.h"
#include "KivoIndex.h"
#include "KivoStore.h"
#include "KivoThumbs.h"
#include "KivoWorkers.h"
#include "KvImageFixtures.h"
#include "KvTestUtil.h"
#include "storage/KvCatalog.h"
#include "storage/KvCatalogUtil.h"

namespace {

using kivo::IndexOptions;
using kivo::IndexSummary;

const std::vector<std::string> kFeatures = {"KvColorFeatureClass", "KvColorHistogramFeatureClass",
                                            "KvTextureFeatureClass", "KvDrawFeatureClass"};

// A w x h picture of two colours split at a position of its own: pictures of
// different seeds have different features.
bool WritePicture(const std::string& path, int seed, int format) {
  const int w = 24 + seed % 7 * 4, h = 18 + seed % 5 * 3;
  PIX* pix = pixCreate(w, h, 32);
  if (pix == nullptr) return false;
  const int split = 2 + seed % (w - 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      if (x < split) {
        pixSetRGBPixel(pix, x, y, (seed * 37) % 256, (seed * 91) % 256, y * 255 / h);
      } else {
        pixSetRGBPixel(pix, x, y, 255 - (seed * 53) % 256, x * 255 / w, (seed * 19) % 256);
      }
    }
  }
  const bool ok = pixWrite(path.c_str(), pix, format) == 0;
  pixDestroy(&pix);
  return ok;
}

// Every record and the global information of every class of a catalog, and
// every file state, as text.
std::string DumpCatalog(const std::string& database, const std::string& catalog) {
  kivo::CatalogStore store;
  std::string error;
  if (!store.Open(database, catalog, false, &error)) return "cannot open: " + error;
  std::vector<std::string> classes;
  if (!store.FeatureClasses(&classes, &error)) return "cannot list: " + error;
  std::ostringstream dump;
  for (const std::string& name : classes) {
    KvStringClass table(64ul);
    KvDatumClass info;
    if (store.Catalog()->GetFeatureTableName(name.c_str(), table) != 0 ||
        store.Catalog()->GetGlobalFeatureInfo(name.c_str(), info) != 0) {
      return "no table for " + name;
    }
    dump << name << " info";
    for (unsigned char c : kvtest::Bytes(info)) dump << ' ' << static_cast<int>(c);
    dump << '\n';
    kvcat::TableGuard t(store.Connection()->NewDatabase(), true);
    if (t.get() == nullptr || t.Open(table.c_str(), "r") != 0) return "cannot open the table of " + name;
    std::unique_ptr<KvDbIteratorClass> it(t->NewIterator());
    KvDatumClass key, data;
    while (it != nullptr && it->HasCurrent()) {
      if (it->NextView(key, data) != 0) return "cannot walk the table of " + name;
      dump << name << ' ' << kvcat::DatumText(key) << ' ' << kvtest::Bytes(data).size() << ' ';
      for (unsigned char c : kvtest::Bytes(data)) dump << static_cast<int>(c) << ',';
      dump << '\n';
    }
  }
  std::map<std::string, kivo::FileState> states;
  if (!store.LoadFileStates(&states, &error)) return "cannot read the file states: " + error;
  for (const auto& s : states) {
    dump << "state " << s.first << ' ' << s.second.size << ' ' << s.second.hashHigh << ' ' << s.second.hashLow
         << '\n';
  }
  return dump.str();
}

// The default is one worker per core the process may use, which a narrowed
// CPU affinity (taskset, a container's CPU set) reduces.
TEST(KivoWorkerCount, FollowsTheRequestTheTasksAndTheUsableCores) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(kivo::UsableCores(), CPU_COUNT(&all));
  EXPECT_EQ(kivo::WorkerCount(0, 1000), CPU_COUNT(&all) < kivo::kMaxWorkers ? CPU_COUNT(&all) : kivo::kMaxWorkers);
  EXPECT_EQ(kivo::WorkerCount(5, 2), 2);
  EXPECT_EQ(kivo::WorkerCount(3, 0), 1);
  EXPECT_EQ(kivo::WorkerCount(500, 1000), kivo::kMaxWorkers);
  int first = 0;
  while (!CPU_ISSET(first, &all)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(kivo::UsableCores(), 1);
  EXPECT_EQ(kivo::WorkerCount(0, 1000), 1);
  EXPECT_EQ(kivo::WorkerCount(4, 1000), 4);
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
}

class KivoWorkers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kvtest::CodecWorks(dir_.path())) GTEST_SKIP() << "no image codec";
    tree_ = dir_.File("photos");
    for (const char* folder : {"", "/a", "/a/deep er", "/b"}) ::mkdir((tree_ + folder).c_str(), 0755);
    const char* folders[] = {"", "/a", "/a/deep er", "/b"};
    for (int i = 0; i < kPictures; ++i) {
      const std::string path =
          tree_ + folders[i % 4] + "/pic " + std::to_string(i) + (i % 3 == 0 ? ".jpg" : ".png");
      ASSERT_TRUE(WritePicture(path, i, i % 3 == 0 ? IFF_JFIF_JPEG : IFF_PNG)) << path;
    }
    // A damaged picture fails; a text file is no image and is passed over.
    const std::string whole = kvtest::ReadFile(tree_ + "/a/pic 1.png");
    kvtest::WriteFile(tree_ + "/b/broken.png", whole.substr(0, whole.size() / 2));
    kvtest::WriteFile(tree_ + "/notes.txt", "no picture here\n");
  }

  // Indexes the tree into database/cat with the given workers and group size.
  int Index(const std::string& database, int jobs, int group, IndexSummary* summary, std::string* messages) {
    IndexOptions o;
    o.database = database;
    o.catalog = "cat";
    o.features = kFeatures;
    o.paths = {tree_};
    o.root = tree_;
    o.jobs = jobs;
    o.groupImages = group;
    o.quiet = true;
    std::ostringstream out, err;
    const int rc = kivo::RunIndex(o, out, err, summary);
    *messages = err.str();
    return rc;
  }

  static constexpr int kPictures = 23;
  kvtest::TempDir dir_{"kivo_workers"};
  std::string tree_;
};

TEST_F(KivoWorkers, IndexGivesTheSameCatalogWithAnyNumberOfWorkers) {
  IndexSummary one, many;
  std::string messages;
  EXPECT_EQ(Index(dir_.File("one"), 1, 3, &one, &messages), 1) << messages;
  EXPECT_EQ(Index(dir_.File("many"), 4, 2, &many, &messages), 1) << messages;
  for (const IndexSummary* s : {&one, &many}) {
    EXPECT_EQ(s->added, static_cast<size_t>(kPictures));
    EXPECT_EQ(s->failed, 1u);
    ASSERT_EQ(s->failures.size(), 1u);
    EXPECT_EQ(s->failures[0].first, tree_ + "/b/broken.png");
  }
  const std::string dump = DumpCatalog(dir_.File("one"), "cat");
  ASSERT_NE(dump.find("state a/deep%20er/pic%202.png "), std::string::npos) << dump.substr(0, 2000);
  EXPECT_EQ(dump, DumpCatalog(dir_.File("many"), "cat"));
}

TEST_F(KivoWorkers, ReRunsWithWorkersFollowTheChangesOfTheTree) {
  IndexSummary s;
  std::string messages;
  const std::string db = dir_.File("db");
  ASSERT_EQ(Index(db, 3, 4, &s, &messages), 1) << messages;
  ASSERT_EQ(Index(db, 3, 4, &s, &messages), 1) << messages;
  EXPECT_EQ(s.added + s.updated + s.removed, 0u);
  EXPECT_EQ(s.skipped, static_cast<size_t>(kPictures));

  // One picture changed, one touched with the same content, one deleted.
  ASSERT_TRUE(WritePicture(tree_ + "/a/pic 5.png", 1000, IFF_PNG));
  const timeval times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimes((tree_ + "/b/pic 7.png").c_str(), times), 0);
  ASSERT_EQ(std::remove((tree_ + "/pic 8.png").c_str()), 0);
  ASSERT_EQ(Index(db, 3, 1, &s, &messages), 1) << messages;
  EXPECT_EQ(s.added, 0u);
  EXPECT_EQ(s.updated, 1u);
  EXPECT_EQ(s.removed, 1u);
  EXPECT_EQ(s.skipped, static_cast<size_t>(kPictures - 2));

  // The same catalog as one fresh run on one worker over the changed tree.
  IndexSummary fresh;
  ASSERT_EQ(Index(dir_.File("fresh"), 1, 256, &fresh, &messages), 1) << messages;
  EXPECT_EQ(fresh.added, static_cast<size_t>(kPictures - 1));
  EXPECT_EQ(DumpCatalog(db, "cat"), DumpCatalog(dir_.File("fresh"), "cat"));
}

TEST_F(KivoWorkers, DupsAndThumbsOnThreadsAnswerAsOnOne) {
  // Two copies under other names: one group of three.
  for (const char* copy : {"/b/copy one.png", "/a/copy two.png"}) {
    kvtest::WriteFile(tree_ + copy, kvtest::ReadFile(tree_ + "/a/pic 1.png"));
  }
  IndexSummary s;
  std::string messages;
  const std::string db = dir_.File("db");
  ASSERT_EQ(Index(db, 2, 5, &s, &messages), 1) << messages;

  auto groups = [&](int jobs) {
    kivo::DupsOptions o;
    o.database = db;
    o.catalog = "cat";
    o.jobs = jobs;
    o.quiet = true;
    kivo::DupsResult result;
    std::string error;
    std::ostringstream err;
    EXPECT_EQ(kivo::FindDuplicates(o, err, &result, &error), kivo::kQueryOk) << error;
    std::ostringstream text;
    kivo::WriteDupsTsv(text, result);
    return text.str();
  };
  const std::string one = groups(1);
  EXPECT_EQ(one,
            "group\tkey\tpath\tdistance\n"
            "1\ta/copy%20two.png\t" + tree_ + "/a/copy two.png\t0.000000\n"
            "1\ta/pic%201.png\t" + tree_ + "/a/pic 1.png\t0.000000\n"
            "1\tb/copy%20one.png\t" + tree_ + "/b/copy one.png\t0.000000\n");
  EXPECT_EQ(groups(3), one);

  kivo::ThumbsOptions t;
  t.database = db;
  t.catalog = "cat";
  t.output = dir_.File("thumbs/new folder");
  t.size = 16;
  t.format = "png";
  t.jobs = 3;
  t.quiet = true;
  kivo::ThumbsSummary summary;
  std::ostringstream out, err;
  EXPECT_EQ(kivo::MakeThumbnails(t, out, err, &summary), 0) << err.str();
  EXPECT_EQ(summary.written, static_cast<size_t>(kPictures + 2));
  int w = 0, h = 0;
  ASSERT_TRUE(kvtest::PictureSize(t.output + "/a/deep er/pic 2.png", &w, &h));
  EXPECT_EQ(std::max(w, h), 16);
}

}  // namespace
