// Colour reduction of 32 bpp RGB images to at most 256 palette entries.
//
// 1. One pass builds a histogram over 5-bit-per-channel cells (32768 cells),
//    keeping per cell the pixel count and the sums of the 3 low bits of each
//    channel, so every cell knows the exact mean colour of its pixels.
// 2. An image whose pixels use at most 256 distinct colours is mapped exactly.
// 3. Otherwise the occupied cells are split greedily into 256 boxes: a box is
//    cut across its channel of largest variance, at the plane between cells
//    that most reduces the summed squared error, and the box whose cut gains
//    most is cut next.
// 4. The palette is the boxes' mean colours. Each occupied cell maps to its
//    nearest palette entry (not simply to its box; see nearest.cpp) through a
//    32768-entry table; a last pass writes one table lookup per pixel.
//
// Everything runs in a fixed order with deterministic tie-breaks, so the same
// pixels always give the same bytes. Tables live in per-thread scratch space
// reused from image to image; the per-pixel passes allocate nothing.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "codec_internal.h"

namespace kvcodec {
namespace {

constexpr int kCells = 1 << 15;
constexpr int kMaxColors = 256;
// Images up to this size keep their pixels' cell ids in scratch space (8 MB
// at most); larger ones compute them again for the final mapping.
constexpr size_t kMaxIdPixels = size_t{1} << 22;

inline uint32_t CellOf(l_uint32 v) {
  return ((v >> 17) & 0x7C00) | ((v >> 14) & 0x3E0) | ((v >> 11) & 0x1F);
}

struct CellStats {
  uint32_t n;
  uint32_t low[3];  // sums of the low 3 bits of red, green, blue
};

// Weighted moments of a set of cells: pixel count, sums of count * mean and
// of count * mean^2 per channel.
struct Moments {
  double n, s[3], q[3];
  void Add(const Moments& m) {
    n += m.n;
    for (int k = 0; k < 3; ++k) {
      s[k] += m.s[k];
      q[k] += m.q[k];
    }
  }
  Moments Minus(const Moments& m) const {
    Moments d;
    d.n = n - m.n;
    for (int k = 0; k < 3; ++k) {
      d.s[k] = s[k] - m.s[k];
      d.q[k] = q[k] - m.q[k];
    }
    return d;
  }
  double Variance(int k) const { return n > 0 ? q[k] - s[k] * s[k] / n : 0; }
  double Sse() const { return Variance(0) + Variance(1) + Variance(2); }
};

// One occupied cell: its moments, 5-bit coordinates and id.
struct Cell {
  Moments m;
  uint16_t id;
  uint8_t coord[3];
};

struct Box {
  int begin, end;   // range in the cell order
  Moments total;
  int axis, plane;  // best cut (axis -1: none): coord[axis] <= plane goes left
  double gain;      // squared error that cut removes
  Moments left;     // moments of the left part of that cut
};

// Per-thread tables reused from image to image, so the per-image cost is not
// dominated by fresh memory. The histogram is all zero between calls.
struct Scratch {
  std::vector<CellStats> stats = std::vector<CellStats>(kCells, CellStats{0, {0, 0, 0}});
  std::vector<Cell> cells;
  std::vector<FixedColor> means;  // cell mean colours, for the nearest search
  std::vector<int> order;  // cell indices, permuted by the box splitting
  std::vector<int> entry_of;
  std::vector<uint8_t> lut = std::vector<uint8_t>(kCells, 0);
  std::vector<uint16_t> ids;  // cell id per pixel, for images up to kMaxIdPixels
};

Scratch& ThreadScratch() {
  thread_local Scratch scratch;
  return scratch;
}

// Fills the histogram; with kKeepIds, also keeps each pixel's cell id in ids
// (row by row, no padding) so that the final mapping need not read the image
// again.
template <bool kKeepIds>
void BuildHistogram(PIX* pix, CellStats* stats, uint16_t* ids) {
  int width = pixGetWidth(pix), height = pixGetHeight(pix), wpl = pixGetWpl(pix);
  const l_uint32* data = pixGetData(pix);
  for (int y = 0; y < height; ++y) {
    const l_uint32* line = data + static_cast<size_t>(y) * wpl;
    uint16_t* row_ids = kKeepIds ? ids + static_cast<size_t>(y) * width : nullptr;
    for (int x = 0; x < width; ++x) {
      l_uint32 v = line[x];
      uint32_t id = CellOf(v);
      CellStats& s = stats[id];
      s.n++;
      s.low[0] += (v >> 24) & 7;
      s.low[1] += (v >> 16) & 7;
      s.low[2] += (v >> 8) & 7;
      if (kKeepIds) row_ids[x] = static_cast<uint16_t>(id);
    }
  }
}

// Collects the occupied cells in ascending id and clears the histogram.
void TakeOccupiedCells(CellStats* stats, std::vector<Cell>* cells, std::vector<FixedColor>* means) {
  cells->clear();
  means->clear();
  for (int id = 0; id < kCells; ++id) {
    CellStats& s = stats[id];
    if (s.n == 0) continue;
    Cell c;
    FixedColor f;
    c.id = static_cast<uint16_t>(id);
    c.coord[0] = static_cast<uint8_t>(id >> 10);
    c.coord[1] = static_cast<uint8_t>((id >> 5) & 31);
    c.coord[2] = static_cast<uint8_t>(id & 31);
    c.m.n = s.n;
    for (int k = 0; k < 3; ++k) {
      double mean = c.coord[k] * 8 + static_cast<double>(s.low[k]) / s.n;
      c.m.s[k] = c.m.n * mean;
      c.m.q[k] = c.m.n * mean * mean;
      // Rounded 16 * mean, in integers so that the search is exact.
      uint64_t twice = (uint64_t{s.low[k]} * 32 + s.n) / (uint64_t{2} * s.n);
      f.c[k] = c.coord[k] * 128 + static_cast<int32_t>(twice);
    }
    s = CellStats{0, {0, 0, 0}};
    cells->push_back(c);
    means->push_back(f);
  }
}

// Finds the box's best cut. The axes are tried in order of decreasing
// variance; along an axis the cells are summed per coordinate slice and every
// plane between occupied slices is scored by the squared error it removes.
void AnalyseBox(const std::vector<Cell>& cells, const int* order, Box* box) {
  box->axis = -1;
  box->gain = 0;
  int axes[3] = {0, 1, 2};
  std::sort(axes, axes + 3, [box](int a, int b) {
    double va = box->total.Variance(a), vb = box->total.Variance(b);
    return va != vb ? va > vb : a < b;
  });
  double whole = box->total.Sse();
  for (int a : axes) {
    Moments slices[32];
    std::memset(slices, 0, sizeof slices);
    int lo = 31, hi = 0;
    for (int i = box->begin; i < box->end; ++i) {
      const Cell& c = cells[order[i]];
      int p = c.coord[a];
      slices[p].Add(c.m);
      lo = std::min(lo, p);
      hi = std::max(hi, p);
    }
    Moments left;
    std::memset(&left, 0, sizeof left);
    for (int p = lo; p < hi; ++p) {
      if (slices[p].n == 0) continue;  // an empty slice moves nothing across the cut
      left.Add(slices[p]);
      double gain = whole - left.Sse() - box->total.Minus(left).Sse();
      if (gain > box->gain) {
        box->gain = gain;
        box->axis = a;
        box->plane = p;
        box->left = left;
      }
    }
    if (box->axis >= 0) return;
  }
}

// Greedy box splitting; fills colors with the box means and returns how many.
int SplitBoxes(const std::vector<Cell>& cells, std::vector<int>* order, int (*colors)[3]) {
  order->resize(cells.size());
  Box boxes[kMaxColors];
  Box& root = boxes[0];
  std::memset(&root.total, 0, sizeof root.total);
  for (size_t i = 0; i < cells.size(); ++i) {
    (*order)[i] = static_cast<int>(i);
    root.total.Add(cells[i].m);
  }
  root.begin = 0;
  root.end = static_cast<int>(cells.size());
  AnalyseBox(cells, order->data(), &root);
  // Boxes that can be cut, largest gain first, then lowest index.
  auto later = [&boxes](int a, int b) {
    return boxes[a].gain != boxes[b].gain ? boxes[a].gain < boxes[b].gain : a > b;
  };
  int heap[kMaxColors];
  int heap_size = 0;
  auto push = [&](int i) {
    if (boxes[i].axis < 0) return;
    heap[heap_size++] = i;
    std::push_heap(heap, heap + heap_size, later);
  };
  push(0);
  int count = 1;
  while (count < kMaxColors && heap_size > 0) {
    std::pop_heap(heap, heap + heap_size, later);
    int pick = heap[--heap_size];
    Box& box = boxes[pick];
    int axis = box.axis, plane = box.plane;
    int* mid = std::partition(order->data() + box.begin, order->data() + box.end,
                              [&cells, axis, plane](int i) { return cells[i].coord[axis] <= plane; });
    Box& right = boxes[count++];
    right.begin = static_cast<int>(mid - order->data());
    right.end = box.end;
    right.total = box.total.Minus(box.left);
    box.end = right.begin;
    box.total = box.left;
    AnalyseBox(cells, order->data(), &box);
    AnalyseBox(cells, order->data(), &right);
    push(pick);
    push(count - 1);
  }
  for (int i = 0; i < count; ++i) {
    for (int k = 0; k < 3; ++k) {
      double mean = boxes[i].total.s[k] / boxes[i].total.n;
      colors[i][k] = std::clamp(static_cast<int>(mean + 0.5), 0, 255);
    }
  }
  return count;
}

// Writes the palette without the entries no cell uses, and the table from
// cell to (renumbered) entry.
void MakePaletteAndTable(const std::vector<Cell>& cells, const std::vector<int>& entry_of,
                         const int (*colors)[3], int count, unsigned char* palette, uint8_t* lut) {
  bool in_use[kMaxColors] = {};
  for (int e : entry_of) in_use[e] = true;
  int renumber[kMaxColors];
  int dense = 0;
  std::memset(palette, 0, 768);
  for (int e = 0; e < count; ++e) {
    if (!in_use[e]) continue;
    palette[dense] = static_cast<unsigned char>(colors[e][0]);
    palette[256 + dense] = static_cast<unsigned char>(colors[e][1]);
    palette[512 + dense] = static_cast<unsigned char>(colors[e][2]);
    renumber[e] = dense++;
  }
  // Only cells that occur in the image are looked up later, so entries left
  // from earlier images are never read.
  for (size_t i = 0; i < cells.size(); ++i) {
    lut[cells[i].id] = static_cast<uint8_t>(renumber[entry_of[i]]);
  }
}

void MapPixels(PIX* pix, const uint8_t* lut, unsigned char* indices) {
  int width = pixGetWidth(pix), height = pixGetHeight(pix), wpl = pixGetWpl(pix);
  const l_uint32* data = pixGetData(pix);
  for (int y = 0; y < height; ++y) {
    const l_uint32* line = data + static_cast<size_t>(y) * wpl;
    unsigned char* out = indices + static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x) out[x] = lut[CellOf(line[x])];
  }
}

void MapIds(const uint16_t* ids, size_t count, const uint8_t* lut, unsigned char* indices) {
  for (size_t i = 0; i < count; ++i) indices[i] = lut[ids[i]];
}

}  // namespace

bool QuantizeRgb(PIX* pix, unsigned char* indices, unsigned char* palette) {
  Scratch* scratch = nullptr;
  try {
    scratch = &ThreadScratch();
    std::vector<Cell>& cells = scratch->cells;
    size_t pixels = static_cast<size_t>(pixGetWidth(pix)) * pixGetHeight(pix);
    uint16_t* ids = nullptr;
    if (pixels <= kMaxIdPixels) {
      if (scratch->ids.size() < pixels) scratch->ids.resize(pixels);
      ids = scratch->ids.data();
    }
    if (ids != nullptr) {
      BuildHistogram<true>(pix, scratch->stats.data(), ids);
    } else {
      BuildHistogram<false>(pix, scratch->stats.data(), nullptr);
    }
    TakeOccupiedCells(scratch->stats.data(), &cells, &scratch->means);
    if (cells.size() <= kMaxColors && MapExactColors(pix, indices, palette)) return true;

    int colors[kMaxColors][3];
    int count = SplitBoxes(cells, &scratch->order, colors);
    scratch->entry_of.resize(cells.size());
    NearestEntries(scratch->means, colors, count, scratch->entry_of.data());
    MakePaletteAndTable(cells, scratch->entry_of, colors, count, palette, scratch->lut.data());
    if (ids != nullptr) {
      MapIds(ids, pixels, scratch->lut.data(), indices);
    } else {
      MapPixels(pix, scratch->lut.data(), indices);
    }
    return true;
  } catch (const std::bad_alloc&) {
    // The histogram may have been left partly filled.
    if (scratch != nullptr) {
      std::fill(scratch->stats.begin(), scratch->stats.end(), CellStats{0, {0, 0, 0}});
    }
    return false;
  }
}

}  // namespace kvcodec
