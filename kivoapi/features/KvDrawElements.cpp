// Query elements of the sketch layout feature and the layout distance.
//
// A query's painted cells are grouped into elements (8-connected). Each
// element may move as a whole by up to MaxOffset cells (and never past the
// grid's edge); its cost is the best average, over the shifts it may take,
// of its cells' colour distances to the stored grid. Every cell keeps three
// shift tables, filled once per stored grid so the search over shifts adds
// integers only:
//   plain  P(dy, dx): colour distance to the stored cell at the shifted
//          place (65536 outside the grid), over the allowed shifts widened
//          by one on each side when Burst or Halo needs the neighbours;
//   value  the cell's weighted cost at each allowed shift (with Burst, a
//          colour one cell away costs at most 65536 / BurstScale more);
//   halo   for border cells, the weighted distance to the stored colours
//          just outside the element's outline at each allowed shift.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/KvError.h"
#include "data/KvParameter.h"
#include "features/KvDrawFeature.h"

namespace {

constexpr int64_t kNoCost = 1073741823;
constexpr double kHaloSharpness = 49.0;

// Whole-number parameter text, saturated to [lo, hi].
long long ParseInteger(const char* text, long long lo, long long hi) {
  const long long v = std::strtoll(text, nullptr, 10);
  return std::min(hi, std::max(lo, v));
}

bool Keeps(const char* text) { return text == nullptr || std::strcmp(text, ".") == 0; }

}  // namespace

int32_t KvDrawWeighted(int64_t value, double weight) {
  const double v = static_cast<double>(value) * weight;
  if (!(v > 0.0)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  return static_cast<int32_t>(v);
}

int64_t KvDrawHaloCost(int64_t average, int64_t halo) {
  const double u = static_cast<double>(average) / kKvDrawDistanceScale;
  const double v = static_cast<double>(halo) / kKvDrawDistanceScale;
  const double c = ((1.0 - std::exp(-kHaloSharpness * u)) + std::exp(-kHaloSharpness * v)) / 2.0;
  // The cost saturates at 65536 from c = 1 - e^-49 on. That bound rounds to
  // 1.0 in double precision, so test c < 1: at c = 1 the logarithm would be
  // infinite.
  if (c < 1.0) {
    return static_cast<int64_t>(kKvDrawDistanceScale * (-std::log(1.0 - c) / kHaloSharpness));
  }
  return kKvDrawDistanceScale;
}

void KvDrawFeatureClass::FreeElements() {
  elements_.clear();
  elements_.shrink_to_fit();
  tables_.reset();
  elementsBuilt_ = false;
}

int KvDrawFeatureClass::PostProcessQueryFeatures(KvParameterClass* parms) {
  FreeElements();
  const int n = columns_ * rows_;
  int label[kKvDrawMaxCells];
  std::fill(label, label + n, -1);
  try {
    // Label the painted cells: each unlabeled one, in reading order, starts
    // an element that takes every painted cell reachable through its eight
    // neighbours.
    int stack[kKvDrawMaxCells];
    for (int start = 0; start < n; ++start) {
      if (cells_[start] < 0 || label[start] >= 0) continue;
      const int id = static_cast<int>(elements_.size());
      elements_.emplace_back();
      Element& e = elements_.back();
      e.top = rows_;
      e.left = columns_;
      int maxRow = -1;
      int maxColumn = -1;
      int depth = 0;
      stack[depth++] = start;
      label[start] = id;
      while (depth > 0) {
        const int at = stack[--depth];
        const int y = at / columns_;
        const int x = at % columns_;
        e.cells.push_back(ElementCell{static_cast<int16_t>(y), static_cast<int16_t>(x), false, 0, 1.0, nullptr,
                                      nullptr, nullptr});
        e.top = std::min(e.top, y);
        e.left = std::min(e.left, x);
        maxRow = std::max(maxRow, y);
        maxColumn = std::max(maxColumn, x);
        for (int i = -1; i <= 1; ++i) {
          for (int j = -1; j <= 1; ++j) {
            const int ny = y + i;
            const int nx = x + j;
            if (ny < 0 || nx < 0 || ny >= rows_ || nx >= columns_) continue;
            const int k = ny * columns_ + nx;
            if (cells_[k] < 0 || label[k] >= 0) continue;
            label[k] = id;
            stack[depth++] = k;
          }
        }
      }
      e.bottom = rows_ - 1 - maxRow;
      e.right = columns_ - 1 - maxColumn;
    }
  } catch (const std::bad_alloc&) {
    FreeElements();
    KvError(KERR_Alloc, KERR_Fatal, -1, "KvDrawFeatureClass::PostProcessQueryFeatures");
    return -1;
  }

  // Border cells touch the grid's edge, another element or an empty cell.
  for (size_t id = 0; id < elements_.size(); ++id) {
    Element& e = elements_[id];
    for (ElementCell& cell : e.cells) {
      for (int i = -1; i <= 1; ++i) {
        for (int j = -1; j <= 1; ++j) {
          if (i == 0 && j == 0) continue;
          const int ny = cell.row + i;
          const int nx = cell.column + j;
          const bool inside = ny >= 0 && nx >= 0 && ny < rows_ && nx < columns_;
          if (inside && label[ny * columns_ + nx] == static_cast<int>(id)) continue;
          cell.border = true;
          if (inside) cell.haloNeighbours |= static_cast<uint16_t>(1u << ((i + 1) * 3 + (j + 1)));
        }
      }
      if (cell.border) ++e.borderCount;
    }
  }
  if (SetupElementDistTables() != 0) return -1;
  ApplyParameters(parms);
  for (int y = 0; y < rows_; ++y) {
    for (int x = 0; x < columns_; ++x) {
      const bool edge = y == 0 || x == 0 || y == rows_ - 1 || x == columns_ - 1;
      cellWeights_[y * columns_ + x] = edge ? borderWeight_ : 1.0;
    }
  }
  for (Element& e : elements_) {
    for (ElementCell& cell : e.cells) cell.weight = cellWeights_[cell.row * columns_ + cell.column];
  }
  elementsBuilt_ = true;
  return 0;
}

int KvDrawFeatureClass::SetupElementDistTables() {
  // One block holds every cell's tables: plain and value for every cell,
  // halo for border cells.
  size_t total = 0;
  for (const Element& e : elements_) {
    for (const ElementCell& cell : e.cells) total += static_cast<size_t>(e.TableSize()) * (cell.border ? 3 : 2);
  }
  tables_.reset();
  if (total > 0) {
    tables_.reset(static_cast<int32_t*>(
        KvCNew(total, sizeof(int32_t), "KvDrawFeatureClass::SetupElementDistTables", KERR_Fatal)));
    if (tables_ == nullptr) {
      FreeElements();
      return -1;
    }
  }
  int32_t* next = tables_.get();
  for (Element& e : elements_) {
    const size_t size = static_cast<size_t>(e.TableSize());
    for (ElementCell& cell : e.cells) {
      cell.plain = next;
      cell.value = next + size;
      next += 2 * size;
      if (cell.border) {
        cell.halo = next;
        next += size;
      }
    }
  }
  return 0;
}

void KvDrawFeatureClass::ApplyParameters(KvParameterClass* parms) {
  if (parms == nullptr) return;
  const char* text = parms->GetParameter("MaxOffset");
  if (!Keeps(text)) maxOffset_ = static_cast<int16_t>(ParseInteger(text, 0, INT16_MAX));
  text = parms->GetParameter("Burst");
  if (!Keeps(text) && std::strcmp(text, "F") == 0) burst_ = false;
  text = parms->GetParameter("Halo");
  if (!Keeps(text) && std::strcmp(text, "T") == 0) halo_ = true;
  // Not among the class defaults: a set without it compares as before.
  text = parms->GetParameter("Mirror");
  if (!Keeps(text) && std::strcmp(text, "T") == 0) mirror_ = true;
  text = parms->GetParameter("BorderWeight");
  if (!Keeps(text)) {
    const double w = std::atof(text);
    if (w >= 0.0) borderWeight_ = w;
  }
  text = parms->GetParameter("BurstScale");
  if (!Keeps(text)) {
    const long long s = ParseInteger(text, -1, INT32_MAX);
    if (s >= 0) burstScale_ = static_cast<int32_t>(s);
  }
}

int64_t KvDrawFeatureClass::ElementCost(const Element& e, const KvDrawFeatureClass& stored) const {
  const int32_t* distance = ColorDistanceTable();
  const int ext = (halo_ || burst_) ? 1 : 0;
  const int dyLo = -std::min<int>(e.top, maxOffset_);
  const int dyHi = std::min<int>(e.bottom, maxOffset_);
  const int dxLo = -std::min<int>(e.left, maxOffset_);
  const int dxHi = std::min<int>(e.right, maxOffset_);
  const int width = e.TableWidth();
  // Offset of shift (0, 0) in a table; shift (dy, dx) is origin + dy * width + dx.
  const int origin = (e.top + 1) * width + e.left + 1;
  const int32_t bonus = burstScale_ > 0 ? kKvDrawDistanceScale / burstScale_ : 0;
  const bool burst = burst_ && burstScale_ > 0;
  const bool halo = halo_;
  const int span = dxHi - dxLo + 1 + 2 * ext;

  for (const ElementCell& cell : e.cells) {
    const int32_t* row = distance + static_cast<size_t>(cells_[cell.row * columns_ + cell.column] & 0xFF) * 256;
    // Plain distances over the widened shift range, row by row; the part of
    // a row that falls outside the stored grid costs the full distance.
    const int xFirst = cell.column + dxLo - ext;
    const int inLo = std::max(0, -xFirst);
    const int inHi = std::min(span, stored.columns_ - xFirst);
    for (int dy = dyLo - ext; dy <= dyHi + ext; ++dy) {
      int32_t* out = cell.plain + origin + dy * width + dxLo - ext;
      const int ty = cell.row + dy;
      if (ty < 0 || ty >= stored.rows_ || inLo >= inHi) {
        std::fill(out, out + span, kKvDrawDistanceScale);
        continue;
      }
      const int16_t* source = stored.cells_ + ty * stored.columns_ + xFirst;
      std::fill(out, out + inLo, kKvDrawDistanceScale);
      for (int k = inLo; k < inHi; ++k) out[k] = row[source[k] & 0xFF];
      std::fill(out + inHi, out + span, kKvDrawDistanceScale);
    }
    const bool unit = cell.weight == 1.0;
    const bool haloCell = halo && cell.border;
    for (int dy = dyLo; dy <= dyHi; ++dy) {
      const int32_t* p = cell.plain + origin + dy * width;
      int32_t* value = cell.value + origin + dy * width;
      for (int dx = dxLo; dx <= dxHi; ++dx) {
        int32_t v = p[dx];
        if (burst) {
          const int32_t* up = p + dx - width;
          const int32_t* down = p + dx + width;
          const int32_t around = std::min({up[-1], up[0], up[1], p[dx - 1], v, p[dx + 1], down[-1], down[0], down[1]});
          v = std::min<int32_t>(v, around + bonus);
        }
        value[dx] = unit ? v : KvDrawWeighted(v, cell.weight);
      }
      if (!haloCell) continue;
      int32_t* haloOut = cell.halo + origin + dy * width;
      for (int dx = dxLo; dx <= dxHi; ++dx) {
        int32_t h = kKvDrawDistanceScale;
        bool any = false;
        for (int k = 0; k < 9; ++k) {
          if (!(cell.haloNeighbours & (1u << k))) continue;
          const int32_t q = p[dx + (k / 3 - 1) * width + (k % 3 - 1)];
          h = any ? std::min(h, q) : q;
          any = true;
        }
        haloOut[dx] = unit ? h : KvDrawWeighted(h, cell.weight);
      }
    }
  }

  const int64_t n = static_cast<int64_t>(e.cells.size());
  const int64_t nb = e.borderCount;
  int64_t best = kNoCost;
  for (int dy = dyLo; dy <= dyHi; ++dy) {
    for (int dx = dxLo; dx <= dxHi; ++dx) {
      const int k = origin + dy * width + dx;
      int64_t sum = 0;
      for (const ElementCell& cell : e.cells) sum += cell.value[k];
      int64_t cost = (sum + n / 2) / n;
      if (halo && nb > 0) {
        int64_t haloSum = 0;
        for (const ElementCell& cell : e.cells) {
          if (cell.border) haloSum += cell.halo[k];
        }
        cost = KvDrawHaloCost(cost, (haloSum + nb / 2) / nb);
      }
      best = std::min(best, cost);
    }
  }
  return best;
}

float KvDrawFeatureClass::LayoutDist(KvDrawFeatureClass* other) {
  if (other == nullptr) {
    KvError(KERR_Coerce, KERR_NonFatal, "KvDrawFeatureClass::LayoutDist", "KvFeatureClass", "KvDrawFeatureClass");
    return -1.0f;
  }
  if (other->columns_ != columns_ || other->rows_ != rows_) return 1000000.0f;
  if (elements_.empty()) {
    KvError(KERR_General, KERR_NonFatal, "KvDrawFeatureClass::LayoutDist: the query has no painted cell");
    return -1.0f;
  }
  int64_t total = 0;
  for (const Element& e : elements_) total += ElementCost(e, *other);
  const double d = static_cast<double>(total) / (static_cast<double>(elements_.size()) * kKvDrawDistanceScale);
  if (d < -1e-6) return -1.0f;
  if (d < 0.0) return 0.0f;
  return static_cast<float>(d);
}
