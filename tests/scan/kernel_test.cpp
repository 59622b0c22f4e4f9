// Scan kernels against the feature classes' own Distance: random and edge
// records, contiguous and indexed blocks of every length up to a few
// vectors, under every SIMD target this CPU runs, each forced in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "core/KvBytes.h"
#include "core/KvDatum.h"
#include "data/KvParameter.h"
#include "features/KvDrawFeature.h"
#include "features/KvFeature.h"
#include "scan/KvScanKernels.h"
#include "scan/KvScanLayouts.h"

namespace {

using Record = std::string;

struct Case {
  const char* name;
  const char* featureClass;
  // Query and stored records, and the query's parameter text.
  std::vector<Record> queries;
  std::vector<Record> stored;
  std::vector<std::string> parameters;
};

Record Words(const std::vector<int32_t>& words) {
  Record r(4 * words.size(), '\0');
  for (size_t i = 0; i < words.size(); ++i) {
    Encode32BE(reinterpret_cast<unsigned char*>(&r[4 * i]), static_cast<uint32_t>(words[i]));
  }
  return r;
}

Record Histogram(const std::vector<int16_t>& bins, int32_t selfTerm) {
  Record r(516, '\0');
  for (int i = 0; i < 256; ++i) {
    Encode16BE(reinterpret_cast<unsigned char*>(&r[2 * i]), static_cast<uint16_t>(bins[static_cast<size_t>(i)]));
  }
  Encode32BE(reinterpret_cast<unsigned char*>(&r[512]), static_cast<uint32_t>(selfTerm));
  return r;
}

// Histograms whose shares sum to 1000 over a few bins, with self terms
// large and small, missing and impossible, plus extreme bins.
std::vector<Record> Histograms(std::mt19937& rng, size_t n) {
  std::vector<Record> out;
  for (size_t k = 0; k < n; ++k) {
    std::vector<int16_t> bins(256, 0);
    int left = 1000;
    const int colours = 1 + static_cast<int>(rng() % 12);
    for (int c = 0; c < colours && left > 0; ++c) {
      const int share = c + 1 == colours ? left : static_cast<int>(rng() % (left + 1));
      bins[rng() % 256] += static_cast<int16_t>(share);
      left -= share;
    }
    int32_t selfTerm = static_cast<int32_t>(rng() % 3000000);
    if (k % 3 == 0) selfTerm = -100;  // no self term
    if (k % 7 == 0) selfTerm = 0;     // a self term that cannot belong to the bins
    out.push_back(Histogram(bins, selfTerm));
  }
  std::vector<int16_t> extreme(256, 32767);
  for (int i = 0; i < 256; i += 2) extreme[static_cast<size_t>(i)] = -32768;
  out.push_back(Histogram(extreme, 2147483647));
  out.push_back(Histogram(extreme, -1));
  out.push_back(Histogram(std::vector<int16_t>(256, 0), 0));
  return out;
}

std::vector<Record> Colors(std::mt19937& rng, size_t n) {
  std::vector<Record> out;
  for (size_t k = 0; k < n; ++k) {
    out.push_back(Words({static_cast<int32_t>(rng() % 4200000), static_cast<int32_t>(rng() % 4200000) - 2100000,
                         static_cast<int32_t>(rng() % 4200000) - 2100000}));
  }
  // Differences that need more than 31 bits take the wide sum.
  out.push_back(Words({INT32_MAX, INT32_MIN, 0}));
  out.push_back(Words({INT32_MIN, INT32_MAX, -1}));
  out.push_back(Words({0, 0, 0}));
  return out;
}

std::vector<Record> Textures(std::mt19937& rng, size_t n) {
  std::vector<Record> out;
  for (size_t k = 0; k < n; ++k) {
    out.push_back(Words({static_cast<int32_t>(rng() % 2), static_cast<int32_t>(rng() % 90000),
                         static_cast<int32_t>(rng() % 1300000), static_cast<int32_t>(rng() % 100000)}));
  }
  out.push_back(Words({0, INT32_MAX, INT32_MIN, INT32_MAX}));
  out.push_back(Words({1, INT32_MIN, INT32_MAX, INT32_MIN}));
  return out;
}

std::vector<Case> Cases() {
  std::mt19937 rng(15);
  std::vector<Case> cases;
  {
    std::vector<Record> stored = Colors(rng, 300);
    cases.push_back({"colour", "KvColorFeatureClass", {stored[0], stored[1], stored[300], stored[302]}, stored, {""}});
    cases.push_back({"colour sub-part", "KvColorSubPartFeatureClass", {stored[5], stored[301]}, stored, {""}});
  }
  {
    std::vector<Record> stored = Histograms(rng, 200);
    std::vector<Record> queries;
    for (const Record& r : stored) {
      if (queries.size() < 4 && Load32BE(reinterpret_cast<const unsigned char*>(&r[512])) < 0x80000000u) {
        queries.push_back(r);
      }
    }
    queries.push_back(stored[stored.size() - 3]);
    cases.push_back({"histogram", "KvColorHistogramFeatureClass", queries, stored, {""}});
    cases.push_back({"histogram sub-part", "KvColorHistogramSubPartFeatureClass", {queries[1]}, stored, {""}});
  }
  {
    // Partial matching: queries without self term (picker queries cover part
    // of the image, damaged ones more than all of it or less than nothing)
    // against stored histograms of few and of many colours.
    std::vector<Record> stored = Histograms(rng, 150);
    for (size_t k = 0; k < 60; ++k) {
      std::vector<int16_t> bins(256, 0);
      for (int n = 0; n < 1000; ++n) ++bins[(rng() % 64) * (1 + k % 4)];
      stored.push_back(Histogram(bins, -100));
    }
    // Bins just past the kernel's share table (1000) and below it.
    std::vector<int16_t> edge(256, 0);
    edge[17] = 1001;
    edge[200] = -1;
    stored.push_back(Histogram(edge, -100));
    edge[17] = 1000;
    edge[200] = 0;
    stored.push_back(Histogram(edge, -100));
    auto picker = [](std::vector<std::pair<int, int16_t>> shares) {
      std::vector<int16_t> bins(256, 0);
      for (const auto& [bin, share] : shares) bins[static_cast<size_t>(bin)] = share;
      return Histogram(bins, -100);
    };
    std::vector<int16_t> everywhere(256, 4);
    const std::vector<Record> queries = {
        picker({{17, 300}, {200, 120}}),
        picker({{0, 1000}}),
        picker({{17, 300}, {200, 120}, {201, 5}}),  // an odd number of colours: walks paired across records
        picker({{5, 250}, {6, 250}, {80, 250}, {255, 250}}),
        picker({{40, 1500}}),
        picker({{3, -20}, {9, 400}}),
        Histogram(everywhere, -100),
        stored[3],
        stored[160],
    };
    const std::vector<std::string> parameters = {
        "", "PHiLoCut=0.2,LoMult=3,HiMult=0.5,MinPnltyPct=0.01,Excess=0.4", "PMinPnltyPct=1", "PExcess=0",
        "PLoMult=0,HiMult=0,MinPnltyPct=0"};
    cases.push_back({"partial matching", "KvColorHistogramFeatureClass", queries, stored, parameters});
    cases.push_back({"partial matching sub-part", "KvColorHistogramSubPartFeatureClass", {queries[0], queries[6]},
                     stored, {""}});
  }
  {
    std::vector<Record> stored = Textures(rng, 300);
    cases.push_back({"texture",
                     "KvTextureFeatureClass",
                     {stored[0], stored[7], stored[300]},
                     stored,
                     {"", "PCoarseness=0.5,Contrast=0.00001,Directionality=3", "PCoarseness=0,Contrast=0",
                      "PCoarseness=-2,Contrast=1e-9,Directionality=1e300"}});
    cases.push_back({"texture sub-part", "KvTextureSubPartFeatureClass", {stored[3]}, stored, {"PContrast=2"}});
  }
  return cases;
}

// The feature's own distance of a stored record.
float OwnDistance(KvFeatureClass* query, KvParameterClass* parms, const Record& stored) {
  std::unique_ptr<KvFeatureClass> holder(KvCreateFeatureClass(query->GetClassName()));
  KvDatumClass d;
  d.SetBytes(stored.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(stored.data())), KvOwnNone);
  EXPECT_EQ(holder->FromByteString(d), 0);
  return query->Distance(holder.get(), parms, 3.4e38f);
}

std::string Bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  char text[32];
  std::snprintf(text, sizeof text, "%.9g (%08x)", static_cast<double>(f), u);
  return text;
}

class KernelTargets : public ::testing::Test {
 protected:
  void TearDown() override { KvScanForceTargets(0); }
};

// Encodes the stored records as slots of the class's layout.
std::vector<unsigned char> Slots(const KvScanLayout& layout, const std::vector<Record>& stored) {
  std::vector<unsigned char> slots(stored.size() * layout.stride);
  for (size_t i = 0; i < stored.size(); ++i) {
    EXPECT_TRUE(layout.encode(reinterpret_cast<const unsigned char*>(stored[i].data()), stored[i].size(),
                              slots.data() + i * layout.stride));
  }
  return slots;
}

// The query feature of a record with a parameter text applied the way the
// evaluator applies it; edit (when given) changes the feature before its
// first Distance.
struct Query {
  std::unique_ptr<KvFeatureClass> feature;
  KvParameterClass parms;
};
std::unique_ptr<Query> MakeQuery(const char* featureClass, const Record& q, const std::string& parameterText) {
  std::unique_ptr<Query> query(new Query);
  query->feature.reset(KvCreateFeatureClass(featureClass));
  KvDatumClass d;
  d.SetBytes(q.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(q.data())), KvOwnNone);
  EXPECT_EQ(query->feature->FromByteString(d), 0);
  query->parms = *query->feature->GetParameters();
  if (!parameterText.empty()) query->parms.FromCommandLineString(parameterText.c_str());
  return query;
}

// Runs the bounded form of kernel over every record for a few list bounds
// (weights, and worst entries from 0 to beyond the
// largest): each record gets its own distance's bits, or +infinity when the
// list would refuse that distance. Adds the records given up to *givenUp.
void ExpectBoundedMatches(const KvSlotKernel& kernel, const std::vector<unsigned char>& slots, size_t stride,
                          const std::vector<float>& expected, size_t* givenUp) {
  std::vector<float> sorted;
  for (float d : expected) {
    if (d >= 0.0f) sorted.push_back(d);
  }
  std::sort(sorted.begin(), sorted.end());
  std::vector<float> worsts = {0.0f, 3.4e38f};
  if (!sorted.empty()) {
    for (size_t at : {sorted.size() / 20, sorted.size() / 2}) worsts.push_back(sorted[at]);
  }
  for (double weight : {1.0, 0.37}) {
    for (float worst : worsts) {
      std::vector<float> out(expected.size(), -7.0f);
      for (size_t first = 0, n = 1; first < expected.size(); first += n, n = n % 29 + 1) {
        const size_t count = std::min(n, expected.size() - first);
        kernel.BoundedDistances(slots.data(), stride, nullptr, first, count, weight, worst, out.data() + first);
      }
      for (size_t i = 0; i < expected.size(); ++i) {
        if (Bits(out[i]) == Bits(expected[i])) continue;
        ++*givenUp;
        ASSERT_EQ(out[i], std::numeric_limits<float>::infinity()) << "record " << i << " worst " << worst;
        ASSERT_GE(expected[i], 0.0f) << "record " << i;
        ASSERT_GT(static_cast<float>(weight * static_cast<double>(expected[i])), worst)
            << "record " << i << " given up with distance " << Bits(expected[i]) << ", weight " << weight
            << ", worst " << Bits(worst);
      }
    }
  }
}

// Runs the kernel of query on every stored record under every target, in
// blocks of every length up to a few vectors, then through an index that
// visits the records out of order and twice, and compares each distance bit
// for bit with the feature's own. With givenUp, the bounded form too (once,
// on the best target: it is scalar code), adding the records it gave up.
void ExpectKernelMatches(const std::string& name, KvFeatureClass* query, KvParameterClass* parms,
                         const std::vector<Record>& stored, size_t* givenUp = nullptr) {
  const KvScanLayout* layout = KvScanLayoutForClass(query->GetClassName());
  ASSERT_NE(layout, nullptr) << name;
  const std::vector<unsigned char> slots = Slots(*layout, stored);
  std::vector<uint64_t> index;
  for (size_t i = 0; i < stored.size(); ++i) index.push_back((i * 37) % stored.size());
  // The feature's own first: its first Distance sets up what a kernel copies.
  std::vector<float> expected;
  for (const Record& s : stored) expected.push_back(OwnDistance(query, parms, s));
  std::unique_ptr<KvSlotKernel> kernel = KvSlotKernelFor(query, parms, layout->id);
  ASSERT_NE(kernel, nullptr) << name;
  for (int64_t target : KvScanKernelTargets()) {
    KvScanForceTargets(target);
    SCOPED_TRACE(name + " on " + KvScanTargetName(target));
    std::vector<float> out(stored.size(), -7.0f);
    for (size_t first = 0, n = 1; first < stored.size(); first += n, n = n % 37 + 1) {
      const size_t count = std::min(n, stored.size() - first);
      kernel->Distances(slots.data(), layout->stride, nullptr, first, count, out.data() + first);
    }
    for (size_t i = 0; i < stored.size(); ++i) {
      ASSERT_EQ(Bits(out[i]), Bits(expected[i])) << "record " << i;
    }
    kernel->Distances(slots.data(), layout->stride, index.data(), 0, index.size(), out.data());
    for (size_t r = 0; r < index.size(); ++r) {
      ASSERT_EQ(Bits(out[r]), Bits(expected[index[r]])) << "indexed row " << r;
    }
  }
  KvScanForceTargets(0);
  if (givenUp != nullptr) ExpectBoundedMatches(*kernel, slots, layout->stride, expected, givenUp);
}

TEST_F(KernelTargets, EveryKernelGivesTheFeaturesOwnDistanceOnEveryTarget) {
  ASSERT_FALSE(KvScanKernelTargets().empty());
  for (const Case& c : Cases()) {
    size_t givenUp = 0;
    for (const Record& q : c.queries) {
      for (const std::string& parameterText : c.parameters) {
        std::unique_ptr<Query> query = MakeQuery(c.featureClass, q, parameterText);
        // Only partial matching gives records up; the other kernels keep
        // the bounded form's default, their Distances.
        const bool partial = std::strncmp(c.name, "partial matching", 16) == 0;
        ExpectKernelMatches(std::string(c.name) + " with '" + parameterText + "'", query->feature.get(),
                            &query->parms, c.stored, partial ? &givenUp : nullptr);
        if (HasFatalFailure()) return;
      }
    }
    // Partial matching measures a record colour by colour and gives up on
    // the hopeless ones; the other kernels measure every record whole.
    if (std::strcmp(c.name, "partial matching") == 0) {
      EXPECT_GT(givenUp, 0u);
    }
  }
}

Record Grid(int columns, int rows, const std::vector<int>& cells) {
  Record r(4 + cells.size(), '\0');
  Encode16BE(reinterpret_cast<unsigned char*>(&r[0]), static_cast<uint16_t>(columns));
  Encode16BE(reinterpret_cast<unsigned char*>(&r[2]), static_cast<uint16_t>(rows));
  for (size_t i = 0; i < cells.size(); ++i) r[4 + i] = static_cast<char>(cells[i] & 0xFF);
  return r;
}

// Stored sketch grids: noise, a few colour regions (as photographs give),
// one colour, the empty-cell byte, and grids of other shapes.
std::vector<Record> Grids(std::mt19937& rng) {
  std::vector<Record> out;
  for (int k = 0; k < 90; ++k) {
    std::vector<int> cells(108);
    const int palette = 1 + k % 6;
    int colours[6];
    for (int& c : colours) c = static_cast<int>(rng() % 256);
    for (int y = 0; y < 9; ++y) {
      for (int x = 0; x < 12; ++x) {
        cells[static_cast<size_t>(y * 12 + x)] =
            k % 5 == 0 ? static_cast<int>(rng() % 256) : colours[((y / 3) * 4 + x / 3 + (rng() % 4 == 0)) % palette];
      }
    }
    out.push_back(Grid(12, 9, cells));
  }
  out.push_back(Grid(12, 9, std::vector<int>(108, 0)));
  out.push_back(Grid(12, 9, std::vector<int>(108, 255)));
  out.push_back(Grid(108, 1, std::vector<int>(108, 7)));
  out.push_back(Grid(9, 12, std::vector<int>(108, 7)));
  out.push_back(Grid(12, 9, std::vector<int>(108, 7)));
  return out;
}

TEST_F(KernelTargets, SketchKernelGivesTheLayoutDistanceOfEverySketch) {
  std::mt19937 rng(115);
  const std::vector<Record> stored = Grids(rng);
  // Queries: a stored grid (one element filling the grid) and sketches made
  // of it by clearing cells: elements with room to move, single cells,
  // elements touching the edge and each other diagonally.
  struct Sketch {
    const char* name;
    size_t record;
    std::vector<std::pair<int, int>> keep;  // rows and column ranges kept: {row, bits of columns}
  };
  const std::vector<Sketch> sketches = {
      {"whole grid", 1, {}},
      {"two blocks", 2, {{1, 0x00E}, {2, 0x00E}, {5, 0x3C0}, {6, 0x3C0}, {7, 0x3C0}}},
      {"single cells", 3, {{0, 0x001}, {4, 0x020}, {8, 0x800}}},
      {"diagonal", 4, {{3, 0x010}, {4, 0x020}, {5, 0x040}, {6, 0x100}}},
      {"band", 5, {{0, 0xFFF}, {8, 0xFFF}}},
  };
  const std::vector<std::string> parameters = {
      "",
      "PMaxOffset=2",
      "PMaxOffset=20,Halo=T",
      "PBurst=F",
      "PBurst=F,Halo=T,BorderWeight=2",
      "PBurstScale=0,MaxOffset=1",
      "PBurstScale=1",
      "PHalo=T,MaxOffset=1,BorderWeight=0",
      "PBorderWeight=40000",           // sums past 32 bits
      "PBorderWeight=1e300,Halo=T",    // entries saturate
  };
  for (const Sketch& sketch : sketches) {
    for (const std::string& parameterText : parameters) {
      std::unique_ptr<Query> query = MakeQuery("KvDrawFeatureClass", stored[sketch.record], parameterText);
      auto* draw = static_cast<KvDrawFeatureClass*>(query->feature.get());
      if (!sketch.keep.empty()) {
        for (int y = 0; y < 9; ++y) {
          for (int x = 0; x < 12; ++x) {
            bool kept = false;
            for (const auto& [row, columns] : sketch.keep) kept = kept || (row == y && (columns >> x) & 1);
            if (!kept) draw->SetCell(y, x, -1);
          }
        }
      }
      ExpectKernelMatches(std::string("sketch ") + sketch.name + " with '" + parameterText + "'", draw,
                          &query->parms, stored);
      if (HasFatalFailure()) return;
    }
  }
  // A query of another shape measures the grids of its shape only.
  std::unique_ptr<Query> wide = MakeQuery("KvDrawFeatureClass", stored[stored.size() - 3], "PMaxOffset=3");
  ExpectKernelMatches("108 x 1 sketch", wide->feature.get(), &wide->parms, stored);
  // Mirror-tolerant queries compare each grid mirrored too: the stored grids
  // with their mirror images among them, so that the mirrored distance wins
  // for some, 0 for others, and grids of other shapes.
  std::vector<Record> withMirrors = stored;
  for (size_t k = 0; k < 6; ++k) {
    Record flipped = stored[k];
    for (int y = 0; y < 9; ++y) {
      for (int x = 0; x < 12; ++x) flipped[static_cast<size_t>(4 + y * 12 + x)] = stored[k][static_cast<size_t>(4 + y * 12 + 11 - x)];
    }
    withMirrors.push_back(flipped);
  }
  for (const char* parameterText : {"PMirror=T", "PMirror=T,MaxOffset=2,Halo=T", "PMirror=T,Burst=F"}) {
    for (size_t record : {size_t{1}, size_t{4}}) {
      std::unique_ptr<Query> mirrored = MakeQuery("KvDrawFeatureClass", stored[record], parameterText);
      ExpectKernelMatches(std::string("mirror-tolerant grid ") + std::to_string(record) + " with '" + parameterText + "'",
                          mirrored->feature.get(), &mirrored->parms, withMirrors);
      if (HasFatalFailure()) return;
    }
  }
}

// HSV histogram records: sparse and dense roots as photographs give, roots
// past what a computation writes (damaged records are compared as stored),
// and the empty histogram.
Record HsvRecord(std::mt19937& rng, int kind) {
  Record r(512, '\0');
  for (int i = 0; i < 256; ++i) {
    uint16_t v = 0;
    if (kind == 1) v = static_cast<uint16_t>(rng() % 4 == 0 ? rng() % 32768 : 0);
    if (kind == 2) v = static_cast<uint16_t>(rng() % 32768);
    if (kind == 3) v = static_cast<uint16_t>(rng() % 2 == 0 ? 65535 : rng() % 65536);
    Encode16BE(reinterpret_cast<unsigned char*>(&r[2 * i]), v);
  }
  return r;
}

TEST_F(KernelTargets, HsvHistogramKernelGivesTheFeaturesOwnDistance) {
  std::mt19937 rng(116);
  std::vector<Record> stored;
  for (int k = 0; k < 60; ++k) stored.push_back(HsvRecord(rng, 1 + k % 3));
  stored.push_back(HsvRecord(rng, 0));
  stored.push_back(stored[3]);
  for (const Record& q : {stored[0], stored[1], stored[2], stored[60], stored[3]}) {
    // Without normalisation, and with the factor a catalog's mean gives.
    for (double factor : {0.0, 0.37, 3.0}) {
      std::unique_ptr<Query> query = MakeQuery("KvHsvHistogramFeatureClass", q, factor > 0.0 ? "PZ=1" : "");
      if (factor > 0.0) {
        ASSERT_EQ(query->parms.SetParameterNumber("Z", factor), 0);
      }
      ExpectKernelMatches("HSV histogram, factor " + std::to_string(factor), query->feature.get(), &query->parms,
                          stored);
      if (HasFatalFailure()) return;
    }
  }
}

TEST_F(KernelTargets, RootPartKernelsGiveTheFeaturesOwnDistance) {
  // Three bands of the HSV histogram's record kinds, mixed, so that a band
  // may be empty beside full ones; the colour-texture records add a part of
  // 144 patterns of the same kinds.
  std::mt19937 rng(118);
  for (const char* featureClass : {"KvHsvBandsFeatureClass", "KvColorTextureFeatureClass"}) {
    const bool texture = std::string(featureClass) == "KvColorTextureFeatureClass";
    std::vector<Record> stored;
    for (int k = 0; k < 40; ++k) {
      Record r;
      for (int b = 0; b < 3; ++b) r += HsvRecord(rng, (k + b) % 4);
      if (texture) r += HsvRecord(rng, (k + 3) % 4).substr(0, 288);
      stored.push_back(r);
    }
    stored.push_back(Record(texture ? 1824 : 1536, '\0'));
    stored.push_back(stored[5]);
    for (const Record& q : {stored[1], stored[2], stored[5], stored[40]}) {
      for (double factor : {0.0, 0.37}) {
        std::unique_ptr<Query> query = MakeQuery(featureClass, q, factor > 0.0 ? "PZ=1" : "");
        if (factor > 0.0) {
          ASSERT_EQ(query->parms.SetParameterNumber("Z", factor), 0);
        }
        ExpectKernelMatches(std::string(featureClass) + ", factor " + std::to_string(factor), query->feature.get(),
                            &query->parms, stored);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST_F(KernelTargets, ByteRecordKernelsGiveTheFeaturesOwnDistance) {
  // Edge histogram (80 bins), correlogram (256 bins) and colour-difference
  // (146 16-bit bins) records: sparse, dense, saturated and empty, with
  // Mirror=T for the edge histogram and with and without a normalisation
  // factor.
  std::mt19937 rng(117);
  struct ByteCase {
    const char* featureClass;
    size_t size;
    std::vector<std::string> parameters;
  } cases[] = {{"KvEdgeHistogramFeatureClass", 80, {"", "PMirror=T", "PMirror=F"}},
               {"KvCorrelogramFeatureClass", 256, {""}},
               {"KvColorDifferenceFeatureClass", 292, {""}}};
  for (const ByteCase& c : cases) {
    std::vector<Record> stored;
    for (int k = 0; k < 50; ++k) {
      Record r(c.size, '\0');
      for (char& b : r) b = static_cast<char>(k % 3 == 0 ? (rng() % 3 == 0 ? rng() % 256 : 0) : rng() % 256);
      stored.push_back(r);
    }
    stored.push_back(Record(c.size, '\0'));
    stored.push_back(Record(c.size, '\xff'));
    stored.push_back(stored[4]);
    for (size_t q : {size_t{0}, size_t{1}, size_t{4}, stored.size() - 2}) {
      for (const std::string& parameterText : c.parameters) {
        for (double factor : {0.0, 0.21}) {
          std::string text = parameterText;
          if (factor > 0.0) text += text.empty() ? "PZ=1" : ",Z=1";
          std::unique_ptr<Query> query = MakeQuery(c.featureClass, stored[q], text);
          if (factor > 0.0) {
            ASSERT_EQ(query->parms.SetParameterNumber("Z", factor), 0);
          }
          ExpectKernelMatches(std::string(c.featureClass) + " with '" + text + "'", query->feature.get(),
                              &query->parms, stored);
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

TEST(ScanLayouts, SlotsGiveBackTheTableFormAndRefuseWhatTheFeatureRefuses) {
  struct Bad {
    const char* featureClass;
    Record bytes;
  };
  std::string draw(112, '\x03');
  Encode16BE(reinterpret_cast<unsigned char*>(&draw[0]), 12);
  Encode16BE(reinterpret_cast<unsigned char*>(&draw[2]), 9);
  std::string drawWide = draw;
  Encode16BE(reinterpret_cast<unsigned char*>(&drawWide[0]), 108);
  Encode16BE(reinterpret_cast<unsigned char*>(&drawWide[2]), 1);
  const std::vector<std::pair<const char*, Record>> good = {
      {"KvColorFeatureClass", Words({1, -2, INT32_MIN})},
      {"KvTextureFeatureClass", Words({1, INT32_MAX, -3, 4})},
      {"KvColorHistogramFeatureClass", Histogram(std::vector<int16_t>(256, -32768), -100)},
      {"KvDrawFeatureClass", draw},
      {"KvDrawFeatureClass", drawWide},
      {"KvHsvHistogramFeatureClass", Record(512, '\xff')},
      {"KvEdgeHistogramFeatureClass", Record(80, '\x7f')},
      {"KvCorrelogramFeatureClass", Record(256, '\xff')},
      {"KvHsvBandsFeatureClass", Record(1536, '\xff')},
      {"KvColorDifferenceFeatureClass", Record(292, '\xff')},
      {"KvColorTextureFeatureClass", Record(1824, '\xff')},
  };
  for (const auto& [featureClass, bytes] : good) {
    const KvScanLayout* layout = KvScanLayoutForClass(featureClass);
    ASSERT_NE(layout, nullptr);
    std::vector<unsigned char> slot(layout->stride), back(layout->recordSize);
    ASSERT_TRUE(layout->encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), slot.data()));
    layout->decode(slot.data(), back.data());
    EXPECT_EQ(std::string(back.begin(), back.end()), bytes) << featureClass;
  }
  std::string drawEmpty = draw;
  Encode16BE(reinterpret_cast<unsigned char*>(&drawEmpty[0]), 0);
  std::string drawShort = draw;
  Encode16BE(reinterpret_cast<unsigned char*>(&drawShort[0]), 11);
  std::string drawNegative = draw;
  Encode16BE(reinterpret_cast<unsigned char*>(&drawNegative[0]), static_cast<uint16_t>(-12));
  Encode16BE(reinterpret_cast<unsigned char*>(&drawNegative[2]), static_cast<uint16_t>(-9));
  const std::vector<Bad> bad = {
      {"KvColorFeatureClass", Words({1, 2})},
      {"KvColorFeatureClass", Words({1, 2, 3, 4})},
      {"KvTextureFeatureClass", Words({1, 2, 3})},
      {"KvColorHistogramFeatureClass", Record(515, '\0')},
      {"KvColorHistogramFeatureClass", Record()},
      {"KvDrawFeatureClass", drawEmpty},
      {"KvDrawFeatureClass", drawShort},
      {"KvDrawFeatureClass", drawNegative},
      {"KvDrawFeatureClass", draw.substr(0, 111)},
      {"KvHsvHistogramFeatureClass", Record(511, '\0')},
      {"KvHsvHistogramFeatureClass", Record(513, '\0')},
      {"KvEdgeHistogramFeatureClass", Record(79, '\0')},
      {"KvCorrelogramFeatureClass", Record(257, '\0')},
      {"KvHsvBandsFeatureClass", Record(512, '\0')},
      {"KvHsvBandsFeatureClass", Record(1535, '\0')},
      {"KvColorDifferenceFeatureClass", Record(291, '\0')},
      {"KvColorDifferenceFeatureClass", Record(294, '\0')},
      {"KvColorTextureFeatureClass", Record(1536, '\0')},
      {"KvColorTextureFeatureClass", Record(1825, '\0')},
  };
  for (const Bad& b : bad) {
    const KvScanLayout* layout = KvScanLayoutForClass(b.featureClass);
    std::vector<unsigned char> slot(layout->stride, 0xAB);
    EXPECT_FALSE(layout->encode(reinterpret_cast<const unsigned char*>(b.bytes.data()), b.bytes.size(), slot.data()))
        << b.featureClass << " " << b.bytes.size();
    // And the feature itself refuses it.
    std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(b.featureClass));
    KvDatumClass d;
    d.SetBytes(b.bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(b.bytes.data())), KvOwnNone);
    EXPECT_NE(f->FromByteString(d), 0) << b.featureClass;
  }
  EXPECT_EQ(KvScanLayoutForClass("KvTextFeatureClass"), nullptr);
}

}  // namespace
