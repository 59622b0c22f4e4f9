// Searches on the scan path against the table walk (KivoScanFiles=off) on
// catalogs of random records: the same keys, distances, unmeasurable counts
// and messages for single, combined and cascaded searches, with missing and
// damaged records, on one thread and several; and the life of scan files:
// written on first use, kept while the table is unchanged, detected as
// stale or damaged and rebuilt.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "../query/QueryFixture.h"
#include "core/KvEnv.h"
#include "scan/KvScanSearch.h"
#include "scan/KvScanStore.h"
#include "scan/KvScanView.h"

namespace {

using qtest::QueryArrays;
using qtest::QueryFeature;
using qtest::Ranking;
using qtest::RecordData;
using qtest::TestCatalog;

constexpr const char* kDraw = "KvDrawFeatureClass";

std::string Words(std::initializer_list<int32_t> words) {
  std::string r;
  for (int32_t w : words) {
    unsigned char b[4];
    Encode32BE(b, static_cast<uint32_t>(w));
    r.append(reinterpret_cast<const char*>(b), 4);
  }
  return r;
}

std::string HistogramBytes(std::mt19937& rng, bool partial) {
  std::string r(516, '\0');
  int left = 1000;
  while (left > 0) {
    const int share = std::min(left, 1 + static_cast<int>(rng() % 400));
    const size_t bin = rng() % 256;
    const uint16_t old = Load16BE(reinterpret_cast<const unsigned char*>(&r[2 * bin]));
    Encode16BE(reinterpret_cast<unsigned char*>(&r[2 * bin]), static_cast<uint16_t>(old + share));
    left -= share;
  }
  Encode32BE(reinterpret_cast<unsigned char*>(&r[512]),
             static_cast<uint32_t>(partial ? -100 : 200000 + static_cast<int32_t>(rng() % 800000)));
  return r;
}

std::string DrawBytes(std::mt19937& rng) {
  std::string r(112, '\xFF');
  Encode16BE(reinterpret_cast<unsigned char*>(&r[0]), 12);
  Encode16BE(reinterpret_cast<unsigned char*>(&r[2]), 9);
  for (int i = 0; i < 108; ++i) {
    if (rng() % 3 != 0) r[static_cast<size_t>(4 + i)] = static_cast<char>(rng() % 6 * 40);
  }
  return r;
}

// A catalog of n random records per feature: every 11th key has no texture,
// a few records of each table are damaged (wrong sizes), colours repeat so
// that distances tie, and key q0 is a good query for every feature.
void Fill(TestCatalog& cat, size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  TestCatalog::Rows colors, hists, textures, draws;
  for (size_t i = 0; i < n; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, i == 0 ? "q0" : "k%05zu", (i * 7919) % (n * 3));
    const int32_t c = static_cast<int32_t>(rng() % 50) * 10000;
    colors.emplace_back(key, Words({c, c / 2, -c}));
    hists.emplace_back(key, HistogramBytes(rng, i % 5 == 1));
    if (i % 11 != 5) {
      textures.emplace_back(key, Words({0, static_cast<int32_t>(rng() % 9000), static_cast<int32_t>(rng() % 130000),
                                        static_cast<int32_t>(rng() % 10000)}));
    }
    draws.emplace_back(key, DrawBytes(rng));
    if (i % 97 == 13) {
      colors.back().second = "short";
      hists.back().second.resize(100);
      draws.back().second = draws.back().second.substr(0, 60);
    }
  }
  cat.Put(qtest::kColor, colors);
  cat.Put(qtest::kHistogram, hists);
  cat.Put(qtest::kTexture, textures);
  cat.Put(kDraw, draws);
}

struct Outcome {
  Ranking ranking;
  int status = 0;
  std::string message;
  bool operator==(const Outcome& o) const {
    return ranking == o.ranking && status == o.status && message == o.message;
  }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  out << "status " << o.status << " '" << o.message << "' " << o.ranking.size() << " entries:";
  for (size_t i = 0; i < o.ranking.size() && i < 12; ++i) {
    out << " " << o.ranking[i].first << "=" << o.ranking[i].second;
  }
  return out;
}

// One query: features (class, parameters, key of the query record).
struct Spec {
  const char* feature;
  const char* parameters;
  const char* key;
};

class ScanSearch : public ::testing::Test {
 protected:
  void TearDown() override {
    Kvsetenv("KivoScanFiles", nullptr);
    Kvsetenv("KivoScanThreads", nullptr);
    KvScanSetRecordsPerThread(0);
  }

  Outcome Run(TestCatalog& cat, unsigned long n, const std::vector<Spec>& specs, bool scan) {
    Kvsetenv("KivoScanFiles", scan ? "on" : "off");
    std::vector<std::unique_ptr<QueryFeature>> features;
    std::vector<QueryFeature*> list;
    for (const Spec& s : specs) {
      features.push_back(std::make_unique<QueryFeature>(s.feature, s.parameters, RecordData(cat.name(), s.key)));
      list.push_back(features.back().get());
    }
    QueryArrays a(list);
    KvQueryServerClass q(qtest::Connection());
    KvError(KERR_Type(0), KERR_NonFatal, "clean");
    KvKeyDatabaseClass* result = q.EvaluateObjects(n, cat.get(), nullptr, nullptr, a.count(), a.data.data(),
                                                   a.features.data(), a.parameters.data());
    Outcome out;
    out.ranking = qtest::Entries(result);
    out.status = q.GetStatus();
    out.message = GetErrorMSG() != nullptr ? GetErrorMSG() : "";
    return out;
  }

  void ExpectSame(TestCatalog& cat, const std::vector<std::vector<Spec>>& queries) {
    for (const auto& specs : queries) {
      for (unsigned long n : {1ul, 10ul, 200ul, 100000ul}) {
        const Outcome walk = Run(cat, n, specs, false);
        const Outcome scan = Run(cat, n, specs, true);
        std::string name;
        for (const Spec& s : specs) name += std::string(s.feature) + "<" + s.parameters + "> ";
        EXPECT_EQ(scan, walk) << name << "N=" << n;
        EXPECT_FALSE(walk.ranking.empty() && walk.status == 0) << name;
      }
    }
  }
};

const std::vector<std::vector<Spec>>& Queries() {
  static const std::vector<std::vector<Spec>> queries = {
      {{qtest::kColor, "", "q0"}},
      {{qtest::kHistogram, "W=0.5", "q0"}},
      {{qtest::kHistogram, "", "k00001"}},  // no self term: partial matching
      {{qtest::kHistogram, "W=0.37", "k00001"}},
      {{qtest::kTexture, "PCoarseness=0.001,Contrast=0.0001", "q0"}},
      {{qtest::kTexture, "", "q0"}},
      {{kDraw, "", "q0"}},
      {{kDraw, "PMaxOffset=2,Halo=T", "q0"}},
      {{kDraw, "PMaxOffset=1,Burst=F,BorderWeight=2", "q0"}},
      // Combined: texture is missing for some keys, which are skipped.
      {{qtest::kColor, "W=2", "q0"}, {qtest::kHistogram, "", "q0"}, {qtest::kTexture, "", "q0"}},
      {{qtest::kTexture, "", "q0"}, {qtest::kColor, "", "q0"}},
      // Cascades: the second search is restricted to the first one's keys.
      {{qtest::kColor, "O=1", "q0"}, {qtest::kHistogram, "O=2", "q0"}},
      {{qtest::kColor, "O=1", "q0"}, {qtest::kTexture, "O=2:C=1", "q0"}, {kDraw, "O=3", "q0"}},
      {{qtest::kTexture, "O=1", "q0"}, {kDraw, "O=2:C=900", "q0"}, {qtest::kHistogram, "O=2", "k00001"}},
      // Weights that make a term negative fail the query on both paths, also
      // in a restricted search.
      {{qtest::kColor, "W=-1", "q0"}},
      {{qtest::kColor, "O=1", "q0"}, {qtest::kTexture, "O=2", "q0"}, {kDraw, "O=2:W=-1", "q0"}},
  };
  return queries;
}

TEST_F(ScanSearch, RanksLikeTheTableWalkOnOneThread) {
  TestCatalog cat("scanone", {qtest::kColor, qtest::kHistogram, qtest::kTexture, kDraw});
  Fill(cat, 1500, 1);
  ExpectSame(cat, Queries());
}

TEST_F(ScanSearch, RanksLikeTheTableWalkOnSeveralThreads) {
  TestCatalog cat("scanmany", {qtest::kColor, qtest::kHistogram, qtest::kTexture, kDraw});
  Fill(cat, 3000, 2);
  Kvsetenv("KivoScanThreads", "3");
  KvScanSetRecordsPerThread(256);
  ExpectSame(cat, Queries());
}

// Mixed searches: sub-part features drive (their own terms measured on
// threads), each sub-part's parent is looked up in the catalog and its
// whole-image terms added. Parents have two sub-parts each; some sub-parts
// have no parent, some parents are missing a feature, a few sub-part records
// are damaged.
TEST_F(ScanSearch, MixedSearchesRankLikeTheTableWalkOnSeveralThreads) {
  constexpr const char* kHistogramSub = "KvColorHistogramSubPartFeatureClass";
  TestCatalog cat("scanmixed", {qtest::kColor, qtest::kHistogram, qtest::kColorSub, kHistogramSub});
  std::mt19937 rng(7);
  TestCatalog::Rows colors, hists, subColors, subHists;
  std::vector<std::pair<std::string, std::string>> parents;
  for (size_t i = 0; i < 1200; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "p%05zu", (i * 7919) % 5000);
    const int32_t c = static_cast<int32_t>(rng() % 40) * 10000;
    colors.emplace_back(key, Words({c, -c, c / 3}));
    if (i % 13 != 4) hists.emplace_back(key, HistogramBytes(rng, false));
    for (int part = 0; part < 2; ++part) {
      const std::string sub = std::string(key) + "s" + std::to_string(part);
      const int32_t d = static_cast<int32_t>(rng() % 40) * 10000;
      subColors.emplace_back(sub, Words({d, d / 2, -d}));
      subHists.emplace_back(sub, HistogramBytes(rng, part == 1 && i % 3 == 0));
      if (i % 89 == 7) subHists.back().second.resize(200);
      if (i % 17 != 3) parents.emplace_back(sub, std::string(key) + " 0" + std::to_string(part));
    }
  }
  cat.Put(qtest::kColor, colors);
  cat.Put(qtest::kHistogram, hists);
  cat.Put(qtest::kColorSub, subColors);
  cat.Put(kHistogramSub, subHists);
  {
    std::unique_ptr<KvDatabaseClass> t(qtest::Connection()->NewDatabase());
    ASSERT_EQ(t->OpenForWrite("SubPIdx.scanmixed"), 0);
    for (const auto& [sub, parent] : parents) {
      KvDatumClass k, d;
      k.SetBytes(sub.size() + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(sub.c_str())), KvOwnNone);
      d.SetBytes(parent.size() + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(parent.c_str())), KvOwnNone);
      ASSERT_EQ(t->Update(k, d, True), 0);
    }
    t->Close();
  }
  const std::string sub = colors[5].first + "s0";
  const std::string subPartial = colors[3].first + "s1";  // no self term: partial matching
  const std::vector<std::vector<Spec>> queries = {
      {{qtest::kColorSub, "", sub.c_str()}, {qtest::kColor, "W=2", colors[5].first.c_str()}},
      {{kHistogramSub, "", sub.c_str()}, {qtest::kColorSub, "", sub.c_str()}, {qtest::kHistogram, "", colors[5].first.c_str()}},
      {{kHistogramSub, "", subPartial.c_str()}, {qtest::kColor, "", colors[3].first.c_str()}},
      {{qtest::kColorSub, "W=-1", sub.c_str()}, {qtest::kColor, "", colors[5].first.c_str()}},
  };
  Kvsetenv("KivoScanThreads", "3");
  KvScanSetRecordsPerThread(256);
  ExpectSame(cat, queries);
}

// Opens the table of feature in cat for reading.
std::unique_ptr<KvDatabaseClass> OpenTable(TestCatalog& cat, const char* feature) {
  KvStringClass name(64ul);
  EXPECT_EQ(cat.get()->GetFeatureTableName(feature, name), 0);
  std::unique_ptr<KvDatabaseClass> t(qtest::Connection()->NewDatabase());
  EXPECT_EQ(t->Open(name.c_str(), "r"), 0);
  return t;
}

TEST_F(ScanSearch, ScanFilesAreWrittenCheckedAndRebuiltWhenStaleOrDamaged) {
  TestCatalog cat("scanlife", {qtest::kColor, qtest::kHistogram, qtest::kTexture, kDraw});
  Fill(cat, 400, 3);
  std::unique_ptr<KvDatabaseClass> table = OpenTable(cat, qtest::kColor);
  const std::string file = KvScanFilePath(table.get());
  EXPECT_EQ(KvScanVerify(table.get(), qtest::kColor), 1);  // none yet
  KvScanSource source;
  ASSERT_EQ(KvScanRefresh(table.get(), qtest::kColor, &source), 0) << GetErrorMSG();
  EXPECT_EQ(source, KvScanSource::kBuiltAndWritten);
  EXPECT_EQ(KvScanVerify(table.get(), qtest::kColor), 0);
  // A second process maps the file; this one keeps its view.
  KvScanForgetAll();
  ASSERT_NE(KvScanAcquire(table.get(), qtest::kColor, &source), nullptr);
  EXPECT_EQ(source, KvScanSource::kFile);
  ASSERT_NE(KvScanAcquire(table.get(), qtest::kColor, &source), nullptr);
  EXPECT_EQ(source, KvScanSource::kCache);
  const std::vector<Spec> query = {{qtest::kColor, "", "q0"}};
  EXPECT_EQ(Run(cat, 50, query, true), Run(cat, 50, query, false));

  // The table changes behind the file's back: the file is stale, and the
  // search sees the new record (the query's own colour under the first key).
  const Outcome before = Run(cat, 1, query, true);
  ASSERT_EQ(before.ranking.size(), 1u);
  EXPECT_NE(before.ranking[0].first, "a0");
  std::string q0Color;
  {
    KvDatumClass key, data;
    key.SetBytes(3, reinterpret_cast<unsigned char*>(const_cast<char*>("q0")), KvOwnNone);
    ASSERT_EQ(table->Get(key, data), 0);
    q0Color.assign(reinterpret_cast<const char*>(data.Data()), data.Size());
  }
  cat.Put(qtest::kColor, "a0", q0Color);
  EXPECT_EQ(KvScanVerify(table.get(), qtest::kColor), -1);
  const Outcome changed = Run(cat, 1, query, true);
  EXPECT_EQ(changed, Run(cat, 1, query, false));
  ASSERT_EQ(changed.ranking.size(), 1u);
  EXPECT_EQ(changed.ranking[0], (std::pair<std::string, float>("a0", 0.0f)));
  ASSERT_EQ(KvScanRefresh(table.get(), qtest::kColor, &source), 0) << GetErrorMSG();
  EXPECT_EQ(source, KvScanSource::kBuiltAndWritten);
  EXPECT_EQ(KvScanVerify(table.get(), qtest::kColor), 0);

  // Damaged files, cut short or with a byte changed, are found by the full
  // check; a damaged header is refused by every search, which rebuilds the
  // file. (Bytes of the body are not checked at each mapping: damage there
  // gives other distances but never a read outside the file.)
  const std::string good = kvtest::ReadFile(file);
  ASSERT_GT(good.size(), kKvScanHeaderSize);
  const std::vector<std::pair<size_t, size_t>> damage = {
      {0, 1}, {20, 1}, {40, 1}, {300, 1}, {good.size() - 3, 1}, {kKvScanHeaderSize + 5, 1}};
  for (const auto& [at, n] : damage) {
    std::string bad = good;
    for (size_t i = at; i < at + n; ++i) bad[i] = static_cast<char>(bad[i] ^ 0x5A);
    kvtest::WriteFile(file, bad);
    KvScanForgetAll();
    EXPECT_EQ(KvScanVerify(table.get(), qtest::kColor), -1) << "byte " << at;
    if (at < kKvScanHeaderSize) {
      EXPECT_EQ(Run(cat, 20, query, true), Run(cat, 20, query, false)) << "byte " << at;
    }
  }
  kvtest::WriteFile(file, good.substr(0, good.size() / 2));
  KvScanForgetAll();
  EXPECT_EQ(KvScanVerify(table.get(), qtest::kColor), -1);
  ASSERT_EQ(KvScanRefresh(table.get(), qtest::kColor, &source), 0);
  EXPECT_EQ(KvScanVerify(table.get(), qtest::kColor), 0);
  EXPECT_EQ(kvtest::ReadFile(file), good);  // the same table gives the same bytes

  // With scan files off nothing is read or written.
  ::unlink(file.c_str());
  KvScanForgetAll();
  Run(cat, 5, query, false);
  EXPECT_EQ(KvScanVerify(table.get(), qtest::kColor), 1);
}

TEST_F(ScanSearch, AFeatureWithoutLayoutKeepsTheTableWalk) {
  TestCatalog cat("scannone", {qtest::kColor});
  cat.Put(qtest::kColor, {{"a", Words({1, 2, 3})}, {"b", Words({0, 0, 0})}});
  std::unique_ptr<KvDatabaseClass> table = OpenTable(cat, qtest::kColor);
  EXPECT_EQ(KvScanAcquire(table.get(), "KvTextFeatureClass"), nullptr);
  Kvsetenv("KivoScanFiles", "off");
  EXPECT_EQ(KvScanAcquire(table.get(), qtest::kColor), nullptr);
  Kvsetenv("KivoScanFiles", "on");
  EXPECT_NE(KvScanAcquire(table.get(), qtest::kColor), nullptr);
}

}  // namespace
