// The real KvQSrv on damaged copies of the catalog: a table whose pages
// lead round in a circle, lie about their entries, hold garbage, are cut
// short or have bits flipped among their records. Each query on it is answered (an error where the damage shows) in
// bounded time, never with a signal or a worker lost, and the next query on
// the same worker gets its right answer.
#include <dirent.h>

#include <cstdint>
#include <random>

#include "ServerFixture.h"
#include "core/KvBytes.h"

namespace {

using stest::Answer;
using stest::ServerProcess;

// Leaf pages of a B-tree table file: the page size is at offset 20 of the
// first (meta) page; a page's header holds its next page at 16, its number of
// entries at 20, its type at 25 (5: leaf), and the entries' offsets from 26.
constexpr size_t kPageSizeAt = 20, kNextAt = 16, kEntriesAt = 20, kTypeAt = 25, kOffsetsAt = 26;
constexpr unsigned char kLeaf = 5;

// Little-endian fields of a page (offsets the callers have checked).
uint32_t Get32(const std::string& b, size_t at) {
  uint32_t v = 0;
  Decode32LE(reinterpret_cast<const unsigned char*>(b.data()) + at,
             reinterpret_cast<const unsigned char*>(b.data()) + b.size(), &v);
  return v;
}
uint16_t Get16(const std::string& b, size_t at) {
  uint16_t v = 0;
  Decode16LE(reinterpret_cast<const unsigned char*>(b.data()) + at,
             reinterpret_cast<const unsigned char*>(b.data()) + b.size(), &v);
  return v;
}
void Put16(std::string& b, size_t at, uint16_t v) {
  b[at] = static_cast<char>(v & 0xff);
  b[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& b, size_t at, uint32_t v) { Encode32LE(reinterpret_cast<unsigned char*>(&b[at]), v); }

using PageDamage = void (*)(std::string& file, size_t page, size_t pageSize);

void LoopToItself(std::string& f, size_t page, size_t size) {
  Put32(f, page * size + kNextAt, static_cast<uint32_t>(page));
}
void OffsetsOffThePage(std::string& f, size_t page, size_t size) {
  const size_t at = page * size;
  for (size_t i = 0; i < Get16(f, at + kEntriesAt) && kOffsetsAt + 2 * i + 2 <= size; ++i) {
    Put16(f, at + kOffsetsAt + 2 * i, 0xfff0);
  }
}
void HugeLengths(std::string& f, size_t page, size_t size) {
  const size_t at = page * size;
  for (size_t i = 0; i < Get16(f, at + kEntriesAt) && kOffsetsAt + 2 * i + 2 <= size; ++i) {
    const uint16_t offset = Get16(f, at + kOffsetsAt + 2 * i);
    if (offset + 2u < size) Put16(f, at + offset, 0xfff0);
  }
}
void Garbage(std::string& f, size_t page, size_t size) {
  std::mt19937 random(static_cast<unsigned>(page) * 7919u);
  for (int i = 0; i < 64; ++i) f[page * size + random() % size] = static_cast<char>(random());
}

// The histogram table's file in a copy of the photos catalog.
std::string TableFile(const std::string& database) {
  std::string found;
  DIR* dir = ::opendir(database.c_str());
  if (dir == nullptr) return found;
  while (dirent* e = ::readdir(dir)) {
    if (std::string(e->d_name).rfind("ColorHiF.", 0) == 0) found = database + "/" + e->d_name;
  }
  ::closedir(dir);
  return found;
}

class DamagedCatalog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    texts_ = stest::QueryTexts();
    good_ = stest::InProcess(texts_[0]);
    goodHisto_ = stest::InProcess(texts_[1]);
  }
  // A copy of the photos database with the histogram table rewritten by
  // damage (whole file: page size and contents).
  std::string DamagedCopy(const std::function<void(std::string&)>& damage) {
    const std::string copy = dir_.File("db" + std::to_string(copies_++));
    EXPECT_EQ(stest::Run({"/bin/cp", "-r", stest::Photos().database, copy}, dir_.File("cp.log")), 0);
    const std::string table = TableFile(copy);
    EXPECT_FALSE(table.empty());
    std::string bytes = kvtest::ReadFile(table);
    damage(bytes);
    kvtest::WriteFile(table, bytes);
    return copy;
  }

  static std::vector<std::string> texts_;  // [1]: histogram, [0]: average colour
  static Answer good_;        // of texts_[0]
  static Answer goodHisto_;   // of texts_[1]
  kvtest::TempDir dir_{"damaged"};
  int copies_ = 0;
};

std::vector<std::string> DamagedCatalog::texts_;
Answer DamagedCatalog::good_;
Answer DamagedCatalog::goodHisto_;

TEST_F(DamagedCatalog, QueriesAreAnsweredAndTheWorkerServesTheNext) {
  struct Case {
    const char* name;
    PageDamage pages;     // applied to every leaf page, or
    size_t truncateTo;    // the file cut to this many bytes (pages null)
    bool mustFail;
  };
  const Case cases[] = {
      {"leaf pages leading to themselves", LoopToItself, 0, true},
      {"entries off the page", OffsetsOffThePage, 0, false},
      {"entries with huge lengths", HugeLengths, 0, false},
      {"garbage on every leaf", Garbage, 0, false},
      {"cut inside a page", nullptr, 5000, true},
      {"cut inside the meta page", nullptr, 100, true},
      {"empty", nullptr, 0, true},
  };
  ASSERT_EQ(good_.status, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string database = DamagedCopy([&](std::string& f) {
      if (c.pages == nullptr) {
        f.resize(std::min(f.size(), c.truncateTo));
        return;
      }
      const size_t size = Get32(f, kPageSizeAt);
      ASSERT_TRUE(size >= 512 && f.size() % size == 0) << size;
      size_t leaves = 0;
      for (size_t page = 1; page < f.size() / size; ++page) {
        if (static_cast<unsigned char>(f[page * size + kTypeAt]) != kLeaf) continue;
        c.pages(f, page, size);
        ++leaves;
      }
      ASSERT_GT(leaves, 0u);
    });
    ServerProcess server;
    // One worker: the second query proves it came back.
    ASSERT_TRUE(server.Start({"-w", "1", "-e", "KivoQueryTimeLimit=1"}, database));
    server.PointClientHere();
    const auto start = std::chrono::steady_clock::now();
    const Answer damaged = stest::ThroughClient(texts_[1]);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    if (c.mustFail) {
      EXPECT_EQ(damaged.status, -1);
      ASSERT_TRUE(server.WaitForLog(" status=-1 result=0 ", 1, 5000)) << server.LogText();
      EXPECT_EQ(stest::CountLines(server.Log(), " error="), 1u) << server.LogText();
    }
    EXPECT_EQ(stest::ThroughClient(texts_[0]), good_);
    EXPECT_EQ(server.Stop(SIGTERM), 0) << server.LogText();
  }
}

// Bits flipped where the records lie (past a leaf page's header and entry
// offsets), in one leaf or in every leaf: each histogram query is answered
// with the healthy catalog's answer or an error, the server lives on, and
// its next query (the average colour's table, untouched) gets its answer.
TEST_F(DamagedCatalog, FlippedBitsAmongTheRecordsAreAnsweredOrRefused) {
  struct Case {
    unsigned seed;
    int flipsPerPage;
    bool everyLeaf;
  };
  const Case cases[] = {{1, 1, false}, {2, 1, true}, {3, 8, false}, {4, 3, true}};
  ASSERT_EQ(good_.status, 0);
  ASSERT_EQ(goodHisto_.status, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seed);
    std::mt19937 random(c.seed);
    const std::string database = DamagedCopy([&](std::string& f) {
      const size_t size = Get32(f, kPageSizeAt);
      ASSERT_TRUE(size >= 512 && f.size() % size == 0) << size;
      std::vector<size_t> leaves;
      for (size_t page = 1; page < f.size() / size; ++page) {
        if (static_cast<unsigned char>(f[page * size + kTypeAt]) == kLeaf) leaves.push_back(page);
      }
      ASSERT_FALSE(leaves.empty());
      if (!c.everyLeaf) leaves = {leaves[random() % leaves.size()]};
      for (size_t page : leaves) {
        const size_t at = page * size;
        const size_t records = kOffsetsAt + 2 * Get16(f, at + kEntriesAt);
        ASSERT_LT(records, size);
        for (int i = 0; i < c.flipsPerPage; ++i) {
          f[at + records + random() % (size - records)] ^= static_cast<char>(1u << (random() % 8));
        }
      }
    });
    ServerProcess server;
    ASSERT_TRUE(server.Start({"-w", "1", "-e", "KivoQueryTimeLimit=1"}, database));
    server.PointClientHere();
    for (int round = 0; round < 2; ++round) {
      const Answer damaged = stest::ThroughClient(texts_[1]);
      if (damaged.status == 0) {
        EXPECT_EQ(damaged, goodHisto_) << round;
      } else {
        EXPECT_EQ(damaged.status, -1) << round;
        EXPECT_EQ(damaged.text, "") << round;
      }
      EXPECT_EQ(::kill(server.pid(), 0), 0) << server.LogText();
    }
    EXPECT_EQ(stest::ThroughClient(texts_[0]), good_) << server.LogText();
    EXPECT_EQ(stest::CountLines(server.Log(), "status=failed"), 0u) << server.LogText();
    EXPECT_EQ(server.Stop(SIGTERM), 0) << server.LogText();
  }
}

}  // namespace
