// Scan kernel of the sketch layout feature, compiled once per SIMD target
// and chosen at run time (see KvScanKernels.h for the contract).
//
// The layout distance is integer work up to the last step: table look-ups,
// minima and sums of 32-bit values, then a rounded division per element and
// shift. Integer sums and minima do not depend on their order, so the vector
// form keeps one stored grid in each lane (a block of grids transposed so
// that one cell of every lane is one load) and sums over the query cells in
// whatever order suits it; each lane then ends with the feature's own steps.
// Where an element's sums could leave 32 bits (very large border weights)
// the records take the scalar form, which sums in 64 bits as the feature
// does. The halo cost and the weighting of a table entry are the feature's
// own functions (KvDrawHaloCost, KvDrawWeighted) or, in lanes, the same
// IEEE operations in the same order. The table look-ups are most of the
// work; on AVX-512 they are register permutes of 16-bit rows rather than
// gathers (the values, the order of the sums and the steps are the same).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scan/KvScanDrawKernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "features/KvDrawFeature.h"

#ifndef KV_SCAN_DRAW_KERNEL_SHARED
#define KV_SCAN_DRAW_KERNEL_SHARED

namespace kvscan {

struct DrawCell {
  int row;
  int column;
  const int32_t* distance;  // the colour distance row of the cell's colour
  double weight;
  bool unit;      // weight 1: entries are taken as they are
  bool haloCell;  // a border cell of a query with Halo
  uint16_t haloNeighbours;
  size_t plainAt;  // its widened table in DrawQuery::plainIndex
};

struct DrawElement {
  int dyLo, dyHi, dxLo, dxHi;
  int64_t cells;        // n
  int64_t borderCells;  // nb
  size_t firstCell;
  // Every sum of the element fits a 32-bit lane (the vector form may run).
  bool narrow;
};

struct DrawQuery {
  int columns = 0;
  int rows = 0;
  int ext = 0;
  bool burst = false;
  bool halo = false;
  int32_t bonus = 0;
  std::vector<DrawElement> elements;
  std::vector<DrawCell> cells;
  // The vector form looks up each distinct pair of a colour and a stored
  // grid cell once per block: lookupRow and lookupCell list the pairs, and
  // plainIndex gives for every entry of every cell's widened table (row by
  // row, as DrawElementOne fills plain) the pair it reads. Pair 0 stands for
  // a place outside the grid: the full distance.
  std::vector<const int32_t*> lookupRow;
  std::vector<int32_t> lookupCell;
  std::vector<uint32_t> plainIndex;
  // The same rows in 16 bits, the query's colours only, for the AVX-512
  // form's look-ups in registers: the full distance 65536 is kept as 65535,
  // which no entry of the colour distance table holds (checked when built;
  // empty when one does). lookupRow16 gives each pair's row in rows16. The
  // pairs are numbered row by row, an even count of each row after pair 0,
  // so that pairs 2k + 1 and 2k + 2 read one row.
  std::vector<uint16_t> rows16;
  std::vector<int32_t> lookupRow16;
};

constexpr int64_t kDrawNoCost = 1073741823;
// Allowed shifts of an element and entries of its widened plain table: an
// element may move at most over the grid, so a 108-cell grid bounds both.
constexpr int kDrawMaxShifts = kKvDrawMaxCells;
constexpr int kDrawMaxPlain = 330;  // (rows + 2) x (columns + 2) for rows x columns = 108
constexpr size_t kDrawMaxLanes = 16;

inline int16_t Half16(const unsigned char* p) {
  int16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline float DrawFinish(const DrawQuery& query, int64_t total) {
  const double d =
      static_cast<double>(total) / (static_cast<double>(query.elements.size()) * kKvDrawDistanceScale);
  if (d < -1e-6) return -1.0f;
  if (d < 0.0) return 0.0f;
  return static_cast<float>(d);
}

// The feature's element cost for one stored grid (cells at grid).
inline int64_t DrawElementOne(const DrawQuery& q, const DrawElement& e, const unsigned char* grid) {
  const int sy = e.dyHi - e.dyLo + 1;
  const int sx = e.dxHi - e.dxLo + 1;
  const int wx = sx + 2 * q.ext;
  const int wy = sy + 2 * q.ext;
  int64_t sums[kDrawMaxShifts] = {};
  int64_t haloSums[kDrawMaxShifts] = {};
  int32_t plain[kDrawMaxPlain];
  for (int64_t c = 0; c < e.cells; ++c) {
    const DrawCell& cell = q.cells[e.firstCell + static_cast<size_t>(c)];
    for (int y = 0; y < wy; ++y) {
      const int ty = cell.row + e.dyLo - q.ext + y;
      for (int x = 0; x < wx; ++x) {
        const int tx = cell.column + e.dxLo - q.ext + x;
        const bool inside = ty >= 0 && ty < q.rows && tx >= 0 && tx < q.columns;
        plain[y * wx + x] = inside ? cell.distance[grid[ty * q.columns + tx]] : kKvDrawDistanceScale;
      }
    }
    for (int y = 0; y < sy; ++y) {
      for (int x = 0; x < sx; ++x) {
        const int32_t* p = plain + (y + q.ext) * wx + x + q.ext;
        int32_t v = p[0];
        if (q.burst) {
          const int32_t around =
              std::min({p[-wx - 1], p[-wx], p[-wx + 1], p[-1], v, p[1], p[wx - 1], p[wx], p[wx + 1]});
          v = std::min<int32_t>(v, around + q.bonus);
        }
        sums[y * sx + x] += cell.unit ? v : KvDrawWeighted(v, cell.weight);
        if (!cell.haloCell) continue;
        int32_t h = kKvDrawDistanceScale;
        bool any = false;
        for (int k = 0; k < 9; ++k) {
          if (!(cell.haloNeighbours & (1u << k))) continue;
          const int32_t n = p[(k / 3 - 1) * wx + (k % 3 - 1)];
          h = any ? std::min(h, n) : n;
          any = true;
        }
        haloSums[y * sx + x] += cell.unit ? h : KvDrawWeighted(h, cell.weight);
      }
    }
  }
  int64_t best = kDrawNoCost;
  for (int s = 0; s < sy * sx; ++s) {
    int64_t cost = (sums[s] + e.cells / 2) / e.cells;
    if (q.halo && e.borderCells > 0) {
      cost = KvDrawHaloCost(cost, (haloSums[s] + e.borderCells / 2) / e.borderCells);
    }
    best = std::min(best, cost);
  }
  return best;
}

inline float DrawOne(const DrawQuery& q, const unsigned char* slot) {
  if (Half16(slot) != q.columns || Half16(slot + 2) != q.rows) return 1000000.0f;
  int64_t total = 0;
  for (const DrawElement& e : q.elements) total += DrawElementOne(q, e, slot + 4);
  return DrawFinish(q, total);
}

}  // namespace kvscan

#endif  // KV_SCAN_DRAW_KERNEL_SHARED

HWY_BEFORE_NAMESPACE();
namespace kvscan {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
// KvDrawWeighted in lanes: trunc(v * weight), 0 when not positive, at most
// INT32_MAX.
template <class D32>
hn::Vec<D32> WeightedLanes(D32 d32, hn::Vec<D32> v, double weight) {
  const hn::Half<D32> dh;
  const hn::Rebind<double, decltype(dh)> df;
  const auto w = hn::Set(df, weight);
  const auto zero = hn::Zero(df);
  const auto top = hn::Set(df, 2147483647.0);
  auto one = [&](hn::Vec<decltype(dh)> half) {
    const auto x = hn::Mul(hn::PromoteTo(df, half), w);
    const auto clamped = hn::IfThenElse(hn::Ge(x, top), top, x);
    return hn::DemoteTo(dh, hn::IfThenElse(hn::Gt(x, zero), clamped, zero));
  };
  return hn::Combine(d32, one(hn::UpperHalf(dh, v)), one(hn::LowerHalf(dh, v)));
}

// The element costs of the lanes' grids added to total; looked holds the
// lanes' values of every look-up pair (pair u of lane l at u * lanes + l).
template <class D32>
void DrawElementLanes(D32 d32, const DrawQuery& q, const DrawElement& e, const int32_t* looked, int64_t* total) {
  const size_t lanes = hn::Lanes(d32);
  const int sy = e.dyHi - e.dyLo + 1;
  const int sx = e.dxHi - e.dxLo + 1;
  const int wx = sx + 2 * q.ext;
  HWY_ALIGN int32_t sums[kDrawMaxShifts * kDrawMaxLanes];
  HWY_ALIGN int32_t haloSums[kDrawMaxShifts * kDrawMaxLanes];
  const auto full = hn::Set(d32, kKvDrawDistanceScale);
  const auto bonus = hn::Set(d32, q.bonus);
  for (int s = 0; s < sy * sx; ++s) {
    hn::Store(hn::Zero(d32), d32, sums + s * lanes);
    hn::Store(hn::Zero(d32), d32, haloSums + s * lanes);
  }
  for (int64_t c = 0; c < e.cells; ++c) {
    const DrawCell& cell = q.cells[e.firstCell + static_cast<size_t>(c)];
    const uint32_t* plain = q.plainIndex.data() + cell.plainAt;
    for (int y = 0; y < sy; ++y) {
      for (int x = 0; x < sx; ++x) {
        const uint32_t* p = plain + (y + q.ext) * wx + x + q.ext;
        auto at = [&](int dy, int dx) { return hn::LoadU(d32, looked + size_t{p[dy * wx + dx]} * lanes); };
        auto v = at(0, 0);
        if (q.burst) {
          auto around = hn::Min(hn::Min(hn::Min(at(-1, -1), at(-1, 0)), hn::Min(at(-1, 1), at(0, -1))),
                                hn::Min(hn::Min(at(0, 1), at(1, -1)), hn::Min(at(1, 0), at(1, 1))));
          around = hn::Min(around, v);
          v = hn::Min(v, hn::Add(around, bonus));
        }
        if (!cell.unit) v = WeightedLanes(d32, v, cell.weight);
        int32_t* sum = sums + (y * sx + x) * lanes;
        hn::Store(hn::Add(hn::Load(d32, sum), v), d32, sum);
        if (!cell.haloCell) continue;
        auto h = full;
        for (int k = 0; k < 9; ++k) {
          if (cell.haloNeighbours & (1u << k)) h = hn::Min(h, at(k / 3 - 1, k % 3 - 1));
        }
        if (!cell.unit) h = WeightedLanes(d32, h, cell.weight);
        int32_t* haloSum = haloSums + (y * sx + x) * lanes;
        hn::Store(hn::Add(hn::Load(d32, haloSum), h), d32, haloSum);
      }
    }
  }
  if (q.halo && e.borderCells > 0) {
    for (size_t l = 0; l < lanes; ++l) {
      int64_t best = kDrawNoCost;
      for (int s = 0; s < sy * sx; ++s) {
        const int64_t cost = KvDrawHaloCost((sums[s * lanes + l] + e.cells / 2) / e.cells,
                                            (haloSums[s * lanes + l] + e.borderCells / 2) / e.borderCells);
        best = std::min(best, cost);
      }
      total[l] += best;
    }
    return;
  }
  // Without the halo the cost rises with the sum: the smallest sum gives
  // the best cost.
  auto least = hn::Load(d32, sums);
  for (int s = 1; s < sy * sx; ++s) least = hn::Min(least, hn::Load(d32, sums + s * lanes));
  HWY_ALIGN int32_t smallest[kDrawMaxLanes];
  hn::Store(least, d32, smallest);
  for (size_t l = 0; l < lanes; ++l) {
    total[l] += std::min<int64_t>(kDrawNoCost, (smallest[l] + e.cells / 2) / e.cells);
  }
}
#endif

#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
// The look-up pairs of 16 lanes (grid: the lanes' colours, cell by cell) in
// into, pair u at u * 16. Two pairs of one row are looked up together as 32
// lanes of 16 bits in registers, far fewer steps than gathers: a row of 256
// entries is four tables of 64, bits 6 and 7 of the colour pick one.
inline void LookUpPairs16(const DrawQuery& q, const int32_t* grid, int32_t* into) {
  const int32_t* places = q.lookupCell.data();
  const int32_t* rowOf = q.lookupRow16.data();
  const uint16_t* rows = q.rows16.data();
  const size_t pairs = q.lookupRow16.size();
  const __m512i full = _mm512_set1_epi32(0xFFFF);
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i bit6 = _mm512_set1_epi16(0x40);
  const __m512i bit7 = _mm512_set1_epi16(0x80);
  for (size_t u = 1; u < pairs; u += 2) {
    const __m256i a = _mm512_cvtepi32_epi16(_mm512_load_si512(grid + static_cast<size_t>(places[u]) * 16));
    const __m256i b = _mm512_cvtepi32_epi16(_mm512_load_si512(grid + static_cast<size_t>(places[u + 1]) * 16));
    const __m512i colours = _mm512_inserti64x4(_mm512_castsi256_si512(a), b, 1);
    const uint16_t* r = rows + rowOf[u];
    auto part = [&](int k) {
      return _mm512_permutex2var_epi16(_mm512_loadu_si512(r + 64 * k), colours, _mm512_loadu_si512(r + 64 * k + 32));
    };
    const __mmask32 high6 = _mm512_test_epi16_mask(colours, bit6);
    const __mmask32 high7 = _mm512_test_epi16_mask(colours, bit7);
    const __m512i v = _mm512_mask_blend_epi16(high7, _mm512_mask_blend_epi16(high6, part(0), part(1)),
                                              _mm512_mask_blend_epi16(high6, part(2), part(3)));
    __m512i first = _mm512_cvtepu16_epi32(_mm512_castsi512_si256(v));
    __m512i second = _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(v, 1));
    // 65535 stands for the full distance.
    first = _mm512_mask_add_epi32(first, _mm512_cmpeq_epi32_mask(first, full), first, one);
    second = _mm512_mask_add_epi32(second, _mm512_cmpeq_epi32_mask(second, full), second, one);
    _mm512_storeu_si512(into + u * 16, first);
    _mm512_storeu_si512(into + (u + 1) * 16, second);
  }
}
#endif

void DrawDistances(const DrawQuery& q, const unsigned char* base, size_t stride, const uint64_t* index,
                   size_t first, size_t count, float* out) {
  auto slotAt = [&](size_t r) {
    return base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
  };
  size_t r = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<int32_t> d32;
  const size_t lanes = hn::Lanes(d32);
  bool narrow = lanes <= kDrawMaxLanes;
  for (const DrawElement& e : q.elements) narrow = narrow && e.narrow;
  const size_t cellCount = static_cast<size_t>(q.columns) * static_cast<size_t>(q.rows);
  HWY_ALIGN int32_t grid[kKvDrawMaxCells * kDrawMaxLanes];
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
  const bool compact = lanes == 16 && !q.rows16.empty();
#else
  const bool compact = false;
#endif
  // Kept by the thread from call to call: it only grows.
  thread_local std::vector<int32_t> looked;
  if (narrow && looked.size() < q.lookupRow.size() * lanes) looked.resize(q.lookupRow.size() * lanes);
  for (; narrow && r + lanes <= count; r += lanes) {
    bool same = true;
    for (size_t l = 0; l < lanes; ++l) {
      const unsigned char* slot = slotAt(r + l);
      same = same && Half16(slot) == q.columns && Half16(slot + 2) == q.rows;
      for (size_t k = 0; k < cellCount; ++k) grid[k * lanes + l] = slot[4 + k];
    }
    if (!same) {
      for (size_t l = 0; l < lanes; ++l) out[r + l] = DrawOne(q, slotAt(r + l));
      continue;
    }
    // The vector stores may alias anything: the loop bounds and pointers
    // are read once.
    int32_t* into = looked.data();
    const int32_t* const* rows = q.lookupRow.data();
    const int32_t* places = q.lookupCell.data();
    const size_t pairs = q.lookupRow.size();
    hn::StoreU(hn::Set(d32, kKvDrawDistanceScale), d32, into);
    if (compact) {
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
      LookUpPairs16(q, grid, into);
#endif
    } else {
      for (size_t u = 1; u < pairs; ++u) {
        const auto colours = hn::Load(d32, grid + static_cast<size_t>(places[u]) * lanes);
        hn::StoreU(hn::GatherIndex(d32, rows[u], colours), d32, into + u * lanes);
      }
    }
    int64_t total[kDrawMaxLanes] = {};
    for (const DrawElement& e : q.elements) DrawElementLanes(d32, q, e, looked.data(), total);
    for (size_t l = 0; l < lanes; ++l) out[r + l] = DrawFinish(q, total[l]);
  }
#endif
  for (; r < count; ++r) out[r] = DrawOne(q, slotAt(r));
}

}  // namespace HWY_NAMESPACE
}  // namespace kvscan
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "scan/KvScanKernelFactories.h"

namespace kvscan {

HWY_EXPORT(DrawDistances);

namespace {

// Slots of mirrored grids: the two sizes, then the cells.
constexpr size_t kDrawSlot = 4 + kKvDrawMaxCells;

class DrawKernel : public KvSlotKernel {
 public:
  DrawKernel(DrawQuery q, bool mirror) : q_(std::move(q)), mirror_(mirror) {}
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    HWY_DYNAMIC_DISPATCH(DrawDistances)(q_, base, stride, index, first, count, out);
    if (!mirror_ || count == 0) return;
    // A mirror-tolerant query also measures each grid mirrored left to
    // right, as the feature does, and keeps the smaller of two positive
    // distances. Kept by the thread from call to call: they only grow.
    thread_local std::vector<unsigned char> flipped;
    thread_local std::vector<float> again;
    if (flipped.size() < count * kDrawSlot) flipped.resize(count * kDrawSlot);
    if (again.size() < count) again.resize(count);
    for (size_t r = 0; r < count; ++r) {
      const unsigned char* slot = base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
      unsigned char* to = flipped.data() + r * kDrawSlot;
      std::memcpy(to, slot, kDrawSlot);
      const int columns = Half16(slot), rows = Half16(slot + 2);
      // A grid of another shape is not measured: its bytes stay as they are.
      if (columns != q_.columns || rows != q_.rows) continue;
      for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < columns; ++x) to[4 + y * columns + x] = slot[4 + y * columns + (columns - 1 - x)];
      }
    }
    HWY_DYNAMIC_DISPATCH(DrawDistances)(q_, flipped.data(), kDrawSlot, nullptr, 0, count, again.data());
    for (size_t r = 0; r < count; ++r) {
      if (out[r] > 0.0f && again[r] >= 0.0f && again[r] < out[r]) out[r] = again[r];
    }
  }

 private:
  DrawQuery q_;
  bool mirror_;
};

// The largest value a sum of n entries of at most `largest` can reach, with
// the rounding term, fits a 32-bit lane.
bool Fits(int64_t largest, int64_t n) { return largest + n / 2 < INT32_MAX; }

}  // namespace
}  // namespace kvscan

std::unique_ptr<KvSlotKernel> KvDrawSlotKernel(const KvDrawFeatureClass& query) {
  using namespace kvscan;
  const int32_t* distance = KvDrawFeatureClass::ColorDistanceTable();
  if (distance == nullptr || !query.ElementsBuilt() || query.GetElementCount() == 0) {
    return nullptr;
  }
  DrawQuery q;
  q.columns = query.GetColumns();
  q.rows = query.GetRows();
  if (q.columns <= 0 || q.rows <= 0 || q.columns * q.rows > kKvDrawMaxCells ||
      (q.columns + 2) * (q.rows + 2) > kDrawMaxPlain) {
    return nullptr;
  }
  q.ext = query.GetHalo() || query.GetBurst() ? 1 : 0;
  q.burst = query.GetBurst() && query.GetBurstScale() > 0;
  q.halo = query.GetHalo();
  q.bonus = query.GetBurstScale() > 0 ? kKvDrawDistanceScale / query.GetBurstScale() : 0;
  const int maxOffset = query.GetMaxOffset();
  for (int e = 0; e < query.GetElementCount(); ++e) {
    int top, bottom, left, right;
    query.GetElementMargins(e, &top, &bottom, &left, &right);
    DrawElement element;
    element.dyLo = -std::min(top, maxOffset);
    element.dyHi = std::min(bottom, maxOffset);
    element.dxLo = -std::min(left, maxOffset);
    element.dxHi = std::min(right, maxOffset);
    element.cells = query.GetElementCells(e);
    element.borderCells = query.GetElementBorderCells(e);
    element.firstCell = q.cells.size();
    int64_t largest = 0;
    int64_t largestHalo = 0;
    for (int c = 0; c < query.GetElementCells(e); ++c) {
      DrawCell cell;
      bool border;
      query.GetElementCell(e, c, &cell.row, &cell.column, &border, &cell.haloNeighbours, &cell.weight);
      cell.distance = distance + static_cast<size_t>(query.GetCell(cell.row, cell.column) & 0xFF) * 256;
      cell.unit = cell.weight == 1.0;
      cell.haloCell = q.halo && border;
      // Entries are at most the full distance; weighting keeps that order.
      const int64_t most = cell.unit ? kKvDrawDistanceScale : KvDrawWeighted(kKvDrawDistanceScale, cell.weight);
      largest += most;
      if (cell.haloCell) largestHalo += most;
      q.cells.push_back(cell);
    }
    element.narrow = Fits(largest, element.cells) && Fits(largestHalo, element.borderCells);
    q.elements.push_back(element);
  }
  // The look-up pairs of the vector form, each distinct pair once.
  std::vector<uint32_t> pairOf(256 * static_cast<size_t>(kKvDrawMaxCells), 0);
  q.lookupRow.push_back(nullptr);
  q.lookupCell.push_back(0);
  for (const DrawElement& e : q.elements) {
    const int wy = e.dyHi - e.dyLo + 1 + 2 * q.ext;
    const int wx = e.dxHi - e.dxLo + 1 + 2 * q.ext;
    for (int64_t c = 0; c < e.cells; ++c) {
      DrawCell& cell = q.cells[e.firstCell + static_cast<size_t>(c)];
      cell.plainAt = q.plainIndex.size();
      const size_t colour = static_cast<size_t>(cell.distance - distance) / 256;
      for (int y = 0; y < wy; ++y) {
        const int ty = cell.row + e.dyLo - q.ext + y;
        for (int x = 0; x < wx; ++x) {
          const int tx = cell.column + e.dxLo - q.ext + x;
          uint32_t pair = 0;
          if (ty >= 0 && ty < q.rows && tx >= 0 && tx < q.columns) {
            const int place = ty * q.columns + tx;
            uint32_t& known = pairOf[colour * kKvDrawMaxCells + static_cast<size_t>(place)];
            if (known == 0) {
              known = static_cast<uint32_t>(q.lookupRow.size());
              q.lookupRow.push_back(cell.distance);
              q.lookupCell.push_back(place);
            }
            pair = known;
          }
          q.plainIndex.push_back(pair);
        }
      }
    }
  }
  // Pairs numbered row by row, a spare copy of a row's last pair where its
  // count is odd, and the 16-bit rows of the colours they read.
  std::vector<uint32_t> order(q.lookupRow.size() - 1);
  for (size_t u = 0; u < order.size(); ++u) order[u] = static_cast<uint32_t>(u + 1);
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return q.lookupRow[a] < q.lookupRow[b]; });
  std::vector<uint32_t> renumbered(q.lookupRow.size(), 0);
  std::vector<const int32_t*> rows{nullptr};
  std::vector<int32_t> places{0};
  std::vector<int32_t> rows16At{0};
  bool fits = true;
  for (size_t k = 0; k < order.size(); ++k) {
    const uint32_t u = order[k];
    const int32_t* row = q.lookupRow[u];
    if (k == 0 || row != q.lookupRow[order[k - 1]]) {
      for (int g = 0; g < 256; ++g) {
        fits = fits && row[g] >= 0 && row[g] <= kKvDrawDistanceScale && row[g] != 65535;
        q.rows16.push_back(static_cast<uint16_t>(std::min(row[g], 65535)));
      }
    }
    renumbered[u] = static_cast<uint32_t>(rows.size());
    rows.push_back(row);
    places.push_back(q.lookupCell[u]);
    rows16At.push_back(static_cast<int32_t>(q.rows16.size()) - 256);
    const bool last = k + 1 == order.size() || q.lookupRow[order[k + 1]] != row;
    if (last && rows.size() % 2 == 0) {
      rows.push_back(row);
      places.push_back(q.lookupCell[u]);
      rows16At.push_back(rows16At.back());
    }
  }
  for (uint32_t& pair : q.plainIndex) pair = renumbered[pair];
  q.lookupRow = std::move(rows);
  q.lookupCell = std::move(places);
  q.lookupRow16 = std::move(rows16At);
  if (!fits) {
    q.rows16.clear();
    q.lookupRow16.clear();
  }
  return std::unique_ptr<KvSlotKernel>(new DrawKernel(std::move(q), query.GetMirror()));
}

#endif  // HWY_ONCE
