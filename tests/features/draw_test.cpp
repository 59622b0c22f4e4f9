// The sketch layout feature: grid computation, elements, byte string, and the
// layout distance against a direct reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KvTestUtil.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvColorSpace.h"
#include "features/KvDrawFeature.h"
#include "features/KvFeatureFactories.h"
#include "features/KvTextFeature.h"

namespace {

constexpr int kCols = kKvDrawColumns;
constexpr int kRows = kKvDrawRows;

using Grid = std::vector<int16_t>;  // rows x columns, -1 empty

Grid EmptyGrid() { return Grid(kCols * kRows, -1); }

// A query feature holding grid, post-processed with the given parameter texts.
std::unique_ptr<KvDrawFeatureClass> Query(const Grid& grid, const std::vector<std::pair<const char*, const char*>>& texts = {}) {
  auto f = std::make_unique<KvDrawFeatureClass>();
  for (int i = 0; i < kCols * kRows; ++i) f->SetCell(i / kCols, i % kCols, grid[i]);
  KvParameterClass parms;
  for (const auto& t : texts) parms.SetParameter(t.first, t.second);
  EXPECT_EQ(f->PostProcessQueryFeatures(&parms), 0);
  return f;
}

std::unique_ptr<KvDrawFeatureClass> Stored(const Grid& grid) {
  auto f = std::make_unique<KvDrawFeatureClass>();
  for (int i = 0; i < kCols * kRows; ++i) f->SetCell(i / kCols, i % kCols, static_cast<int16_t>(grid[i] & 0xFF));
  return f;
}

int32_t D(int a, int b) { return KvDrawFeatureClass::ColorDistanceTable()[(a & 0xFF) * 256 + (b & 0xFF)]; }

// Two bin colours as far apart as the table goes, and the table's largest
// value (65536 for any table with two different colours).
std::pair<int, int> FarthestPair() {
  int a = 0, b = 0;
  for (int i = 0; i < 256; ++i)
    for (int j = 0; j < 256; ++j)
      if (D(i, j) > D(a, b)) a = i, b = j;
  return {a, b};
}

// ---- direct reference of the layout distance ----

struct RefParams {
  int maxOffset = 0;
  bool burst = true;
  bool halo = false;
  int burstScale = 15;
  double borderWeight = 0.5;
};

double RefLayoutDist(const Grid& q, const Grid& t, const RefParams& p) {
  std::vector<int> label(q.size(), -1);
  int elements = 0;
  for (int s = 0; s < kCols * kRows; ++s) {
    if (q[s] < 0 || label[s] >= 0) continue;
    std::vector<int> todo{s};
    label[s] = elements;
    while (!todo.empty()) {
      const int c = todo.back();
      todo.pop_back();
      for (int i = -1; i <= 1; ++i)
        for (int j = -1; j <= 1; ++j) {
          const int y = c / kCols + i, x = c % kCols + j;
          if (y < 0 || x < 0 || y >= kRows || x >= kCols) continue;
          if (q[y * kCols + x] >= 0 && label[y * kCols + x] < 0) label[y * kCols + x] = elements, todo.push_back(y * kCols + x);
        }
    }
    ++elements;
  }
  if (elements == 0) return -1.0;
  auto weight = [&](int y, int x) { return (y == 0 || x == 0 || y == kRows - 1 || x == kCols - 1) ? p.borderWeight : 1.0; };
  auto P = [&](int y, int x, int dy, int dx) -> long long {
    const int ty = y + dy, tx = x + dx;
    if (ty < 0 || tx < 0 || ty >= kRows || tx >= kCols) return 65536;
    return D(q[y * kCols + x], t[ty * kCols + tx]);
  };
  long long total = 0;
  for (int e = 0; e < elements; ++e) {
    int top = kRows, bottom = -1, left = kCols, right = -1;
    std::vector<int> cells;
    for (int c = 0; c < kCols * kRows; ++c)
      if (label[c] == e) {
        cells.push_back(c);
        top = std::min(top, c / kCols), bottom = std::max(bottom, c / kCols);
        left = std::min(left, c % kCols), right = std::max(right, c % kCols);
      }
    long long best = 1073741823;
    for (int dy = -std::min(top, p.maxOffset); dy <= std::min(kRows - 1 - bottom, p.maxOffset); ++dy) {
      for (int dx = -std::min(left, p.maxOffset); dx <= std::min(kCols - 1 - right, p.maxOffset); ++dx) {
        long long sum = 0, haloSum = 0, borders = 0;
        for (int c : cells) {
          const int y = c / kCols, x = c % kCols;
          long long v = P(y, x, dy, dx);
          if (p.burst && p.burstScale > 0) {
            long long m = v;
            for (int i = -1; i <= 1; ++i)
              for (int j = -1; j <= 1; ++j) m = std::min(m, P(y, x, dy + i, dx + j));
            v = std::min(v, m + 65536 / p.burstScale);
          }
          sum += static_cast<long long>(v * weight(y, x));
          bool border = false;
          long long h = 65536;
          bool any = false;
          for (int i = -1; i <= 1; ++i)
            for (int j = -1; j <= 1; ++j) {
              if (i == 0 && j == 0) continue;
              const int ny = y + i, nx = x + j;
              const bool inside = ny >= 0 && nx >= 0 && ny < kRows && nx < kCols;
              if (inside && label[ny * kCols + nx] == e) continue;
              border = true;
              if (inside) {
                h = any ? std::min(h, P(y, x, dy + i, dx + j)) : P(y, x, dy + i, dx + j);
                any = true;
              }
            }
          if (border) {
            ++borders;
            haloSum += static_cast<long long>(h * weight(y, x));
          }
        }
        const long long n = cells.size();
        long long avg = (sum + n / 2) / n;
        if (p.halo) {
          const long long hv = (haloSum + borders / 2) / borders;
          const double u = avg / 65536.0, w = hv / 65536.0;
          const double c = ((1 - std::exp(-49 * u)) + std::exp(-49 * w)) / 2;
          avg = c < 1 ? static_cast<long long>(65536 * (-std::log(1 - c) / 49)) : 65536;
        }
        best = std::min(best, avg);
      }
    }
    total += best;
  }
  return static_cast<double>(total) / (elements * 65536.0);
}

// ---- direct reference of the layout grid ----

struct Picture {
  int w, h;
  std::vector<unsigned char> pixels, mask, palette;
};

int RefNearestBin(const double c[3]) {
  int best = 0;
  double bestD = 1000.0;
  for (int b = 0; b < 256; ++b) {
    double d = 0;
    for (int k = 0; k < 3; ++k) d += (kKvHistogramBinTable[b].c[k] - c[k]) * (kKvHistogramBinTable[b].c[k] - c[k]);
    if (std::sqrt(d) < bestD) bestD = std::sqrt(d), best = b;
  }
  return best;
}

Grid RefGrid(const Picture& p, bool picker) {
  double c[3][256];
  rgbLutToNewMTMV(256, p.palette.data(), p.palette.data() + 256, p.palette.data() + 512, c[0], c[1], c[2]);
  auto dist = [&](int a, int b) {
    return std::sqrt(std::pow(c[0][a] - c[0][b], 2) + std::pow(c[1][a] - c[1][b], 2) + std::pow(c[2][a] - c[2][b], 2));
  };
  Grid g(kCols * kRows);
  for (int r = 0; r < kRows; ++r) {
    for (int col = 0; col < kCols; ++col) {
      const int x0 = (col * p.w + kCols / 2) / kCols, x1 = col == kCols - 1 ? p.w : ((col + 1) * p.w + kCols / 2) / kCols;
      const int y0 = (r * p.h + kRows / 2) / kRows, y1 = r == kRows - 1 ? p.h : ((r + 1) * p.h + kRows / 2) / kRows;
      long long count[256] = {}, seen = 0;
      for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
          if (p.mask[y * p.w + x]) ++count[p.pixels[y * p.w + x]], ++seen;
      if (seen <= (x1 - x0) * (y1 - y0) / 4) {
        g[r * kCols + col] = -1;
        continue;
      }
      long long w[256], total = 0;
      for (int i = 0; i < 256; ++i) {
        const int a = static_cast<int>(100 * c[2][i]);
        w[i] = a < 26 ? count[i] * (50 + 2 * a) / 100 : count[i];
        total += w[i];
      }
      if (total == 0) {  // only a few dark pixels: plain counts decide
        for (int i = 0; i < 256; ++i) w[i] = count[i], total += count[i];
      }
      std::vector<int> order;
      for (int i = 0; i < 256; ++i)
        if (w[i] > 0) order.push_back(i);
      std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return w[a] > w[b]; });
      double color[3];
      if (w[order[0]] > total / 2 || picker) {
        for (int k = 0; k < 3; ++k) color[k] = c[k][order[0]];
      } else {
        const long long threshold = static_cast<long long>(total * 0.01);
        double bestRadius = 0;
        std::vector<int> best;
        for (size_t t = 0; t < 3 && t < order.size(); ++t) {
          const int me = order[t];
          std::vector<int> others;
          for (int j = 0; j < 256; ++j)
            if (j != me && w[j] > 0 && w[j] >= threshold) others.push_back(j);
          std::stable_sort(others.begin(), others.end(), [&](int a, int b) { return dist(me, a) < dist(me, b); });
          others.resize(std::min<size_t>(others.size(), w[me] >= threshold ? 9 : 10));
          std::vector<int> kept{me};
          long long sum = w[me];
          double radius = 0;
          for (int j : others) {
            if (sum >= total / 2) break;
            sum += w[j], radius = dist(me, j), kept.push_back(j);
          }
          if (t == 0 || radius < bestRadius) bestRadius = radius, best = kept;
        }
        double mass = 0;
        for (int k = 0; k < 3; ++k) color[k] = 0;
        for (int i : best) {
          for (int k = 0; k < 3; ++k) color[k] += w[i] * c[k][i];
          mass += w[i];
        }
        for (int k = 0; k < 3; ++k) color[k] /= mass;
      }
      g[r * kCols + col] = static_cast<int16_t>(RefNearestBin(color));
    }
  }
  return g;
}

// Computes the grid of a picture through the feature's public front.
int Compute(KvDrawFeatureClass& f, Picture& p, int32_t kind = KV_DATA_MEMORY, bool query = false) {
  KvGenericImageDataClass data;
  data.GetImageDataFromMemory(p.w, p.h, p.pixels.data(), p.palette.data(), p.mask.data(), False, False);
  data.SetType(kind);
  data.SetQuerySide(query ? True : False);
  KvParameterClass parms;
  return f.ComputeFeature(&data, &parms);
}

Grid GridOf(const KvDrawFeatureClass& f) {
  Grid g(kCols * kRows);
  for (int i = 0; i < kCols * kRows; ++i) g[i] = f.GetCell(i / kCols, i % kCols);
  return g;
}

Picture RandomPicture(std::mt19937& rng, int w, int h, int colours, int maskedPercent) {
  Picture p{w, h, std::vector<unsigned char>(w * h), std::vector<unsigned char>(w * h), std::vector<unsigned char>(768)};
  for (auto& v : p.palette) v = static_cast<unsigned char>(rng());
  for (int i = 0; i < w * h; ++i) {
    // Blocks of one colour with some noise, so that cells have dominant,
    // shared and scattered colours.
    const int block = ((i % w) / 3 + (i / w) / 2) % colours;
    p.pixels[i] = static_cast<unsigned char>(rng() % 4 == 0 ? rng() % colours : block);
    p.mask[i] = static_cast<int>(rng() % 100) < maskedPercent ? 0 : 0xFF;
  }
  return p;
}

// ---- tests ----

TEST(DrawFeature, ClassValuesAndColorTable) {
  std::unique_ptr<KvFeatureClass> f(NewKvDrawFeatureClass());
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(f->IsValid());
  EXPECT_EQ(f->GetByteStringSize(), 112u);
  EXPECT_EQ(f->GetNumberOfElements(), 324u);
  EXPECT_EQ(f->SearchTable(nullptr, nullptr, 0, nullptr, nullptr, nullptr), 1);
  const KvParameterClass* parms = f->GetParameters();
  ASSERT_EQ(parms->GetCount(), 5u);
  const char* names[] = {"MaxOffset", "Halo", "Burst", "BorderWeight", "BurstScale"};
  const char* values[] = {".", ".", ".", "0.5", "15"};
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_STREQ(parms->GetName(i), names[i]);
    EXPECT_STREQ(parms->GetValue(i), values[i]);
  }
  // The colour distance table is symmetric, zero on the diagonal and scaled
  // to 65536 at its largest.
  int32_t largest = 0;
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(D(i, i), 0);
    for (int j = 0; j < 256; ++j) {
      EXPECT_EQ(D(i, j), D(j, i));
      largest = std::max(largest, D(i, j));
    }
  }
  EXPECT_EQ(largest, 65536);
}

TEST(DrawFeature, GridMatchesTheDirectReference) {
  std::mt19937 rng(99);
  const int sizes[][2] = {{12, 9}, {13, 10}, {25, 19}, {61, 44}, {120, 90}};
  for (const auto& size : sizes) {
    for (int colours : {1, 2, 4, 9, 40, 256}) {
      for (int masked : {0, 30}) {
        Picture p = RandomPicture(rng, size[0], size[1], colours, masked);
        for (bool picker : {false, true}) {
          KvDrawFeatureClass f;
          ASSERT_EQ(Compute(f, p, picker ? KV_DATA_PICKER : KV_DATA_MEMORY), 0);
          EXPECT_EQ(GridOf(f), RefGrid(p, picker))
              << size[0] << "x" << size[1] << " colours " << colours << " masked " << masked << " picker " << picker;
        }
      }
    }
  }
}

TEST(DrawFeature, CellsAtMostAQuarterVisibleAreEmpty) {
  // 48 x 36: every cell is 4 x 4 pixels of one grey.
  Picture p{48, 36, std::vector<unsigned char>(48 * 36, 1), std::vector<unsigned char>(48 * 36, 0),
            std::vector<unsigned char>(768, 128)};
  auto reveal = [&](int row, int column, int count) {
    for (int k = 0; k < count; ++k) p.mask[(row * 4 + k / 4) * 48 + column * 4 + k % 4] = 0xFF;
  };
  reveal(0, 0, 4);    // exactly a quarter: empty
  reveal(0, 1, 5);    // just over: painted
  reveal(2, 3, 12);   // three quarters
  reveal(8, 11, 16);  // whole
  KvDrawFeatureClass f;
  ASSERT_EQ(Compute(f, p), 0);
  const Grid g = GridOf(f);
  int painted = 0;
  for (int16_t v : g) painted += v >= 0;
  EXPECT_EQ(painted, 3);
  EXPECT_EQ(f.GetCell(0, 0), -1);
  EXPECT_GE(f.GetCell(0, 1), 0);
  EXPECT_EQ(f.GetCell(2, 3), f.GetCell(0, 1));
  EXPECT_EQ(f.GetCell(8, 11), f.GetCell(0, 1));
}

TEST(DrawFeature, ComputeFrontRefusals) {
  KvDrawFeatureClass f;
  std::mt19937 rng(3);
  struct Bad {
    int w, h;
    int32_t kind;
    KERR_Type error;
  } bad[] = {
      {11, 8, KV_DATA_MEMORY, KERR_ImageDims},
      {11, 9, KV_DATA_PICKER, KERR_ImageDims},
      {12, 8, KV_DATA_MEMORY, KERR_ImageDims},
      {12, 9, 'x', KERR_UnknownDataType},
  };
  for (const Bad& b : bad) {
    Picture p = RandomPicture(rng, b.w, b.h, 3, 0);
    kvtest::ClearError();
    EXPECT_EQ(Compute(f, p, b.kind), -1);
    EXPECT_EQ(GetErrorMSGNumber(), b.error);
  }
  EXPECT_STREQ(GetErrorMSG(), "KvDrawFeatureClass::ComputeFeature found unknown generic data type 120.");
  {
    Picture small = RandomPicture(rng, 11, 8, 3, 0);
    EXPECT_EQ(Compute(f, small), -1);
    EXPECT_STREQ(GetErrorMSG(),
                 "KIVO: Image dimensions width=11, height=8 at KvDrawFeatureClass::ComputeLayoutFeatures.");
  }
  Picture p = RandomPicture(rng, 12, 9, 3, 0);
  EXPECT_EQ(Compute(f, p), 0);
  EXPECT_EQ(f.GetElementCount(), 0);  // not a query: no elements yet
  EXPECT_EQ(Compute(f, p, KV_DATA_MEMORY, true), 0);
  EXPECT_EQ(f.GetElementCount(), 1);

  // A stored record decodes; a short one is refused.
  KvDatumClass bytes;
  ASSERT_EQ(f.ToByteString(bytes), 0);
  KvGenericImageDataClass record;
  record.SetType(KV_DATA_RECORD);
  record.GetFeatureDatum().CopyBytes(bytes.Data(), bytes.Size(), "test");
  KvDrawFeatureClass back;
  ASSERT_EQ(back.ComputeFeature(&record, nullptr), 0);
  EXPECT_EQ(GridOf(back).size(), GridOf(f).size());
  record.GetFeatureDatum().CopyBytes(bytes.Data(), bytes.Size() - 1, "test");
  EXPECT_EQ(back.ComputeFeature(&record, nullptr), -1);
}

TEST(DrawFeature, ElementsFollowEightNeighbourConnectivity) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, int>> painted;  // (row, column)
    std::vector<int> cells;                    // per element
    std::vector<int> borders;
  } cases[] = {
      {"single middle cell", {{4, 6}}, {1}, {1}},
      {"diagonal pair", {{3, 3}, {4, 4}}, {2}, {2}},
      {"two apart", {{3, 3}, {3, 5}}, {1, 1}, {1, 1}},
      {"3x3 block", {{2, 2}, {2, 3}, {2, 4}, {3, 2}, {3, 3}, {3, 4}, {4, 2}, {4, 3}, {4, 4}}, {9}, {8}},
      {"reading order", {{0, 11}, {8, 0}, {4, 5}}, {1, 1, 1}, {1, 1, 1}},
      {"nothing", {}, {}, {}},
  };
  for (const Case& c : cases) {
    Grid g = EmptyGrid();
    for (const auto& p : c.painted) g[p.first * kCols + p.second] = 7;
    auto q = Query(g);
    ASSERT_EQ(q->GetElementCount(), static_cast<int>(c.cells.size())) << c.what;
    for (int e = 0; e < q->GetElementCount(); ++e) {
      EXPECT_EQ(q->GetElementCells(e), c.cells[e]) << c.what;
      EXPECT_EQ(q->GetElementBorderCells(e), c.borders[e]) << c.what;
    }
  }
  // A full grid is one element whose border is the outer ring.
  Grid full(kCols * kRows, 3);
  auto q = Query(full);
  ASSERT_EQ(q->GetElementCount(), 1);
  EXPECT_EQ(q->GetElementBorderCells(0), 2 * (kCols + kRows) - 4);
}

TEST(DrawFeature, ParametersAreReadFromTheirTexts) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> texts;
    int maxOffset;
    bool burst, halo;
    int burstScale;
    double borderWeight;
  } cases[] = {
      {{}, 0, true, false, 15, 0.5},
      {{{"MaxOffset", "."}, {"Burst", "."}, {"Halo", "."}, {"BurstScale", "."}, {"BorderWeight", "."}}, 0, true, false, 15, 0.5},
      {{{"MaxOffset", "2"}, {"Burst", "F"}, {"Halo", "T"}, {"BurstScale", "4"}, {"BorderWeight", "1.5"}}, 2, false, true, 4, 1.5},
      {{{"MaxOffset", "-3"}, {"Burst", "f"}, {"Halo", "t"}, {"BurstScale", "-1"}, {"BorderWeight", "-2"}}, 0, true, false, 15, 0.5},
      {{{"MaxOffset", "99999999999"}, {"BurstScale", "0"}, {"BorderWeight", "0"}}, 32767, true, false, 0, 0.0},
  };
  Grid g = EmptyGrid();
  g[40] = 1;
  for (const Case& c : cases) {
    auto q = Query(g, c.texts);
    EXPECT_EQ(q->GetMaxOffset(), c.maxOffset);
    EXPECT_EQ(q->GetBurst(), c.burst);
    EXPECT_EQ(q->GetHalo(), c.halo);
    EXPECT_EQ(q->GetBurstScale(), c.burstScale);
    EXPECT_DOUBLE_EQ(q->GetBorderWeight(), c.borderWeight);
  }
}

TEST(DrawFeature, IdenticalGridsWithoutBurstAndHaloAreAtZero) {
  std::mt19937 rng(5);
  Grid g = EmptyGrid();
  for (int i = 0; i < kCols * kRows; ++i) g[i] = rng() % 3 == 0 ? -1 : static_cast<int16_t>(rng() % 256);
  auto q = Query(g, {{"Burst", "F"}});
  auto t = Stored(g);
  KvParameterClass parms;
  EXPECT_FLOAT_EQ(q->Distance(t.get(), &parms, -1.0f), 0.0f);
}

TEST(DrawFeature, BurstChargesAColorOneCellAwayAFixedPrice) {
  const auto [a, b] = FarthestPair();
  ASSERT_GT(D(a, b), 4369);
  // The query paints a at (4, 6); the stored grid has b there and a one cell
  // to the right.
  Grid q = EmptyGrid();
  q[4 * kCols + 6] = static_cast<int16_t>(a);
  Grid t(kCols * kRows, static_cast<int16_t>(b));
  t[4 * kCols + 7] = static_cast<int16_t>(a);
  auto stored = Stored(t);
  KvParameterClass parms;
  EXPECT_FLOAT_EQ(Query(q, {{"BurstScale", "15"}})->Distance(stored.get(), &parms, -1), 4369.0f / 65536.0f);
  EXPECT_FLOAT_EQ(Query(q, {{"Burst", "F"}})->Distance(stored.get(), &parms, -1), D(a, b) / 65536.0f);
  // BurstScale 0 switches the spread off.
  EXPECT_FLOAT_EQ(Query(q, {{"BurstScale", "0"}})->Distance(stored.get(), &parms, -1), D(a, b) / 65536.0f);
  // With MaxOffset 1 the element moves onto its colour.
  EXPECT_FLOAT_EQ(Query(q, {{"MaxOffset", "1"}, {"Burst", "F"}})->Distance(stored.get(), &parms, -1), 0.0f);
}

TEST(DrawFeature, HaloChargesColourThatContinuesPastTheOutline) {
  const auto [a, b] = FarthestPair();
  Grid q = EmptyGrid();
  q[4 * kCols + 6] = static_cast<int16_t>(a);
  KvParameterClass parms;
  auto query = Query(q, {{"Burst", "F"}, {"Halo", "T"}});
  // The colour stops at the outline: no charge.
  Grid alone(kCols * kRows, static_cast<int16_t>(b));
  alone[4 * kCols + 6] = static_cast<int16_t>(a);
  EXPECT_FLOAT_EQ(query->Distance(Stored(alone).get(), &parms, -1), 0.0f);
  // The colour runs on: half way, 65536 * ln 2 / 49.
  Grid runsOn(kCols * kRows, static_cast<int16_t>(a));
  EXPECT_FLOAT_EQ(query->Distance(Stored(runsOn).get(), &parms, -1), 927.0f / 65536.0f);
  // Wrong colour inside and the query colour all round: the cost saturates
  // at the largest distance.
  Grid inverse(kCols * kRows, static_cast<int16_t>(a));
  inverse[4 * kCols + 6] = static_cast<int16_t>(b);
  EXPECT_FLOAT_EQ(query->Distance(Stored(inverse).get(), &parms, -1), 1.0f);
}

TEST(DrawFeature, MatchesTheDirectReferenceOnRandomGrids) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 60; ++round) {
    Grid q = EmptyGrid(), t(kCols * kRows);
    const int density = 1 + round % 5;
    for (int i = 0; i < kCols * kRows; ++i) {
      q[i] = rng() % 6 < static_cast<unsigned>(density) ? static_cast<int16_t>(rng() % 256) : -1;
      t[i] = static_cast<int16_t>(rng() % 256);
    }
    if (std::all_of(q.begin(), q.end(), [](int16_t v) { return v < 0; })) q[0] = 1;
    RefParams p;
    p.maxOffset = round % 4;
    p.burst = round % 3 != 0;
    p.halo = round % 2 == 0;
    p.burstScale = round % 7 == 0 ? 0 : 1 + round % 20;
    p.borderWeight = (round % 5) * 0.25;
    const std::string offset = std::to_string(p.maxOffset), scale = std::to_string(p.burstScale),
                      weight = std::to_string(p.borderWeight);
    auto query = Query(q, {{"MaxOffset", offset.c_str()},
                           {"Burst", p.burst ? "T" : "F"},
                           {"Halo", p.halo ? "T" : "F"},
                           {"BurstScale", scale.c_str()},
                           {"BorderWeight", weight.c_str()}});
    auto stored = Stored(t);
    KvParameterClass parms;
    EXPECT_FLOAT_EQ(query->Distance(stored.get(), &parms, -1), static_cast<float>(RefLayoutDist(q, t, p)))
        << "round " << round;
    // The same query object compares with many stored grids.
    EXPECT_FLOAT_EQ(query->Distance(query.get(), &parms, -1),
                    static_cast<float>(RefLayoutDist(q, [&] {
                      Grid self = q;
                      for (auto& v : self) v = static_cast<int16_t>(v & 0xFF);
                      return self;
                    }(), p)))
        << "round " << round;
  }
}

TEST(DrawFeature, MirrorComparesTheMirroredGridTooAndTakesTheSmaller) {
  auto mirrorOf = [](const Grid& g) {
    Grid out(g.size());
    for (int y = 0; y < kRows; ++y)
      for (int x = 0; x < kCols; ++x) out[y * kCols + x] = g[y * kCols + kCols - 1 - x];
    return out;
  };
  std::mt19937 rng(20261208);
  for (int round = 0; round < 30; ++round) {
    Grid q = EmptyGrid(), t(kCols * kRows);
    for (int i = 0; i < kCols * kRows; ++i) {
      q[i] = rng() % 3 == 0 ? static_cast<int16_t>(rng() % 256) : -1;
      t[i] = static_cast<int16_t>(rng() % 256);
    }
    q[0] = 7;
    RefParams p;
    p.maxOffset = round % 3;
    p.halo = round % 2 == 0;
    const std::string offset = std::to_string(p.maxOffset);
    auto mirrored = Query(q, {{"MaxOffset", offset.c_str()}, {"Halo", p.halo ? "T" : "F"}, {"Mirror", "T"}});
    auto plain = Query(q, {{"MaxOffset", offset.c_str()}, {"Halo", p.halo ? "T" : "F"}});
    EXPECT_TRUE(mirrored->GetMirror());
    EXPECT_FALSE(plain->GetMirror());
    auto stored = Stored(t);
    KvParameterClass parms;
    const double expected = std::min(RefLayoutDist(q, t, p), RefLayoutDist(q, mirrorOf(t), p));
    EXPECT_FLOAT_EQ(mirrored->Distance(stored.get(), &parms, -1), static_cast<float>(expected)) << round;
    EXPECT_FLOAT_EQ(plain->Distance(stored.get(), &parms, -1), static_cast<float>(RefLayoutDist(q, t, p)));
    // The stored grid is left as it was, for the next query.
    for (int i = 0; i < kCols * kRows; ++i) ASSERT_EQ(stored->GetCell(i / kCols, i % kCols), t[i] & 0xFF);
  }
  // A layout finds its mirror image at distance 0 only with Mirror=T.
  const auto [a, b] = FarthestPair();
  Grid left = EmptyGrid();
  for (int y = 0; y < kRows; ++y) left[y * kCols] = left[y * kCols + 1] = static_cast<int16_t>(a);
  Grid full(kCols * kRows, static_cast<int16_t>(b));
  for (int i = 0; i < kCols * kRows; ++i)
    if (left[i] >= 0) full[i] = left[i];
  auto flippedStored = Stored(mirrorOf(full));
  KvParameterClass parms;
  EXPECT_EQ(Query(left, {{"Burst", "F"}, {"Mirror", "T"}})->Distance(flippedStored.get(), &parms, -1), 0.0f);
  EXPECT_GT(Query(left, {{"Burst", "F"}})->Distance(flippedStored.get(), &parms, -1), 0.1f);
  // Other texts leave it off; it is not among the class defaults, so the
  // listed parameters stay as they were.
  EXPECT_FALSE(Query(left, {{"Mirror", "F"}})->GetMirror());
  EXPECT_FALSE(Query(left, {{"Mirror", "."}})->GetMirror());
  KvDrawFeatureClass probe;
  EXPECT_EQ(probe.GetParameters()->GetParameter("Mirror"), nullptr);
}

TEST(DrawFeature, DistanceFailuresAndGridSizes) {
  Grid g = EmptyGrid();
  g[50] = 9;
  auto q = Query(g);
  KvParameterClass parms;

  // A stored grid of another shape (6 x 18 fills the same 112 bytes).
  KvDatumClass bytes;
  std::string s(112, '\0');
  s[1] = 6;
  s[3] = 18;
  kvtest::SetText(bytes, s);
  KvDrawFeatureClass other;
  ASSERT_EQ(other.FromByteString(bytes), 0);
  EXPECT_EQ(other.GetColumns(), 6);
  EXPECT_FLOAT_EQ(q->Distance(&other, &parms, -1), 1000000.0f);

  // A query without any painted cell has nothing to compare.
  auto empty = Query(EmptyGrid());
  auto t = Stored(Grid(kCols * kRows, 1));
  kvtest::ClearError();
  EXPECT_FLOAT_EQ(empty->Distance(t.get(), &parms, -1), -1.0f);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_General);

  KvTextFeatureClass text;
  kvtest::ClearError();
  EXPECT_FLOAT_EQ(q->Distance(&text, &parms, -1), -1.0f);
  EXPECT_EQ(GetErrorMSGNumber(), KERR_Coerce);
  EXPECT_STREQ(GetErrorMSG(),
               "KvDrawFeatureClass::Distance coerce failed from type KvFeatureClass to type KvDrawFeatureClass.");
  EXPECT_FLOAT_EQ(q->Distance(nullptr, &parms, -1), -1.0f);
}

TEST(DrawFeature, ElementsAreBuiltAtTheFirstDistance) {
  KvDrawFeatureClass q;
  for (int i = 0; i < kCols * kRows; ++i) q.SetCell(i / kCols, i % kCols, -1);
  q.SetCell(4, 4, 12);
  auto t = Stored(Grid(kCols * kRows, 12));
  KvParameterClass parms;
  parms.SetParameter("Burst", "F");
  EXPECT_EQ(q.GetElementCount(), 0);
  EXPECT_FLOAT_EQ(q.Distance(t.get(), &parms, -1), 0.0f);
  EXPECT_EQ(q.GetElementCount(), 1);
  EXPECT_FALSE(q.GetBurst());
}

TEST(DrawFeature, ByteStringRoundTripAndBadLengths) {
  KvDrawFeatureClass f;
  for (int i = 0; i < kCols * kRows; ++i) f.SetCell(i / kCols, i % kCols, static_cast<int16_t>(i * 7 % 257 - 1));
  KvDatumClass bytes;
  ASSERT_EQ(f.ToByteString(bytes), 0);
  ASSERT_EQ(bytes.Size(), 112u);
  EXPECT_EQ(bytes.Data()[0], 0);
  EXPECT_EQ(bytes.Data()[1], 12);
  EXPECT_EQ(bytes.Data()[2], 0);
  EXPECT_EQ(bytes.Data()[3], 9);
  EXPECT_EQ(bytes.Data()[4], 255);  // cell 0 is empty (-1)
  KvDrawFeatureClass back;
  ASSERT_EQ(back.FromByteString(bytes), 0);
  for (int i = 0; i < kCols * kRows; ++i) {
    EXPECT_EQ(back.GetCell(i / kCols, i % kCols), f.GetCell(i / kCols, i % kCols) & 0xFF) << i;
  }

  const std::string good = kvtest::Bytes(bytes);
  for (size_t n = 0; n <= 120; ++n) {
    if (n == 112) continue;
    KvDatumClass bad;
    kvtest::SetText(bad, n <= good.size() ? good.substr(0, n) : good + std::string(n - good.size(), '\1'));
    kvtest::ClearError();
    EXPECT_EQ(back.FromByteString(bad), -1) << n;
    EXPECT_EQ(GetErrorMSGNumber(), KERR_ByteStringSize);
    EXPECT_EQ(GetErrorMSGSeverity(), KERR_NonFatal);
  }
  // Grids that do not fill 108 cells are refused too.
  const int dims[][2] = {{-12, -9}, {0, 108}, {108, 0}, {12, 10}, {1, 1}};
  for (const auto& d : dims) {
    std::string s = good;
    s[0] = static_cast<char>((d[0] >> 8) & 0xFF), s[1] = static_cast<char>(d[0] & 0xFF);
    s[2] = static_cast<char>((d[1] >> 8) & 0xFF), s[3] = static_cast<char>(d[1] & 0xFF);
    KvDatumClass bad;
    kvtest::SetText(bad, s);
    EXPECT_EQ(back.FromByteString(bad), -1) << d[0] << "x" << d[1];
    EXPECT_EQ(back.GetColumns(), 12);
  }
}

TEST(DrawFeature, AsciiFormPrintsTheGrid) {
  KvDrawFeatureClass f;
  for (int i = 0; i < kCols * kRows; ++i) f.SetCell(i / kCols, i % kCols, static_cast<int16_t>(i == 13 ? -1 : i));
  KvDatumClass text;
  ASSERT_EQ(f.ToAsciiString(text), 0);
  std::string expected = "  12    9\n";
  for (int y = 0; y < kRows; ++y) {
    for (int x = 0; x < kCols; ++x) {
      char cell[8];
      std::snprintf(cell, sizeof cell, "%4d", y * kCols + x == 13 ? -1 : y * kCols + x);
      expected += cell;
    }
    expected += "\n";
  }
  EXPECT_EQ(kvtest::Bytes(text), expected);
}

}  // namespace
