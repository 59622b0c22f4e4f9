// Colour reduction of 32 bpp RGB images to at most 256 palette entries.
//
// 1. One pass builds a histogram over 5-bit-per-channel cells (32768 cells),
//    keeping per cell the pixel count and the sums of the 3 low bits of each
//    channel, so every cell knows the exact mean colour of its pixels.
// 2. An image whose pixels use at most 256 distinct colours is mapped exactly.
// 3. Otherwise the occupied cells are split greedily into 256 boxes: each box
//    is cut by the axis-aligned plane between cells that most reduces the
//    summed squared error, and the box whose best cut gains most is cut next.
// 4. The palette is the boxes' mean colours. Each occupied cell maps to its
//    nearest palette entry (not simply to its box) through a 32768-entry
//    table; a last pass writes one table lookup per pixel.
//
// Everything runs in a fixed order with deterministic tie-breaks, so the same
// pixels always give the same bytes. Tables live in per-thread scratch space
// reused from image to image; the per-pixel passes allocate nothing.
#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "codec_internal.h"

namespace kvcodec {
namespace {

constexpr int kCells = 1 << 15;
constexpr int kMaxColors = 256;
constexpr int kBlocks = 512;  // 4 x 4 x 4 cells each, for the nearest search

inline uint32_t CellOf(l_uint32 v) {
  return ((v >> 17) & 0x7C00) | ((v >> 14) & 0x3E0) | ((v >> 11) & 0x1F);
}

struct CellStats {
  uint32_t n;
  uint32_t low[3];  // sums of the low 3 bits of red, green, blue
};

// One occupied cell: 5-bit coordinates, exact mean colour, pixel count and
// the weighted moments the box splitting sums up.
struct Cell {
  uint8_t coord[3];
  uint16_t id;
  float mean[3];
  double n;
  double s[3];  // n * mean
  double q;     // n * |mean|^2
};

struct Moments {
  double n, s[3], q;
  void Add(const Cell& c) {
    n += c.n;
    s[0] += c.s[0];
    s[1] += c.s[1];
    s[2] += c.s[2];
    q += c.q;
  }
  double Sse() const { return n > 0 ? q - (s[0] * s[0] + s[1] * s[1] + s[2] * s[2]) / n : 0; }
};

struct Box {
  int begin, end;   // range in the cell order
  int axis, plane;  // best cut (axis -1: none): coord[axis] <= plane goes left
  double gain;      // squared error that cut removes
  Moments total;
};

// Per-thread tables reused from image to image, so the per-image cost is not
// dominated by fresh memory. The histogram is all zero between calls.
struct Scratch {
  std::vector<CellStats> stats = std::vector<CellStats>(kCells, CellStats{0, {0, 0, 0}});
  std::vector<Cell> cells;
  std::vector<int> order;  // cell indices, permuted by the box splitting
  std::vector<int> entry_of;
  std::vector<uint8_t> lut = std::vector<uint8_t>(kCells, 0);
};

Scratch& ThreadScratch() {
  thread_local Scratch scratch;
  return scratch;
}

void BuildHistogram(PIX* pix, CellStats* stats) {
  int width = pixGetWidth(pix), height = pixGetHeight(pix), wpl = pixGetWpl(pix);
  const l_uint32* data = pixGetData(pix);
  for (int y = 0; y < height; ++y) {
    const l_uint32* line = data + static_cast<size_t>(y) * wpl;
    for (int x = 0; x < width; ++x) {
      l_uint32 v = line[x];
      CellStats& s = stats[CellOf(v)];
      s.n++;
      s.low[0] += (v >> 24) & 7;
      s.low[1] += (v >> 16) & 7;
      s.low[2] += (v >> 8) & 7;
    }
  }
}

// Collects the occupied cells in ascending id and clears the histogram.
void TakeOccupiedCells(CellStats* stats, std::vector<Cell>* cells) {
  cells->clear();
  for (int id = 0; id < kCells; ++id) {
    CellStats& s = stats[id];
    if (s.n == 0) continue;
    Cell c;
    c.id = static_cast<uint16_t>(id);
    c.coord[0] = static_cast<uint8_t>(id >> 10);
    c.coord[1] = static_cast<uint8_t>((id >> 5) & 31);
    c.coord[2] = static_cast<uint8_t>(id & 31);
    c.n = s.n;
    c.q = 0;
    for (int k = 0; k < 3; ++k) {
      c.mean[k] = static_cast<float>(c.coord[k] * 8 + static_cast<double>(s.low[k]) / s.n);
      c.s[k] = c.n * c.mean[k];
      c.q += c.n * c.mean[k] * c.mean[k];
    }
    s = CellStats{0, {0, 0, 0}};
    cells->push_back(c);
  }
}

// Sums the box's cells per coordinate slice and finds its best cut.
void AnalyseBox(const Cell* cells, const int* order, Box* box) {
  Moments slices[3][32];
  std::memset(slices, 0, sizeof slices);
  int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
  for (int i = box->begin; i < box->end; ++i) {
    const Cell& c = cells[order[i]];
    for (int a = 0; a < 3; ++a) {
      slices[a][c.coord[a]].Add(c);
      lo[a] = std::min<int>(lo[a], c.coord[a]);
      hi[a] = std::max<int>(hi[a], c.coord[a]);
    }
  }
  Moments& total = box->total;
  std::memset(&total, 0, sizeof total);
  for (int p = lo[0]; p <= hi[0]; ++p) {
    const Moments& m = slices[0][p];
    total.n += m.n;
    for (int k = 0; k < 3; ++k) total.s[k] += m.s[k];
    total.q += m.q;
  }
  box->gain = 0;
  box->axis = -1;
  double whole = total.Sse();
  for (int a = 0; a < 3; ++a) {
    Moments left;
    std::memset(&left, 0, sizeof left);
    for (int p = lo[a]; p < hi[a]; ++p) {
      const Moments& m = slices[a][p];
      if (m.n == 0) continue;  // an empty slice moves nothing across the cut
      left.n += m.n;
      for (int k = 0; k < 3; ++k) left.s[k] += m.s[k];
      left.q += m.q;
      Moments right;
      right.n = total.n - left.n;
      for (int k = 0; k < 3; ++k) right.s[k] = total.s[k] - left.s[k];
      right.q = total.q - left.q;
      double gain = whole - left.Sse() - right.Sse();
      if (gain > box->gain) {
        box->gain = gain;
        box->axis = a;
        box->plane = p;
      }
    }
  }
}

// Greedy box splitting; fills colors with the box means and returns how many.
int SplitBoxes(const std::vector<Cell>& cells, std::vector<int>* order, int (*colors)[3]) {
  order->resize(cells.size());
  for (size_t i = 0; i < cells.size(); ++i) (*order)[i] = static_cast<int>(i);
  Box boxes[kMaxColors];
  int count = 1;
  boxes[0].begin = 0;
  boxes[0].end = static_cast<int>(cells.size());
  AnalyseBox(cells.data(), order->data(), &boxes[0]);
  while (count < kMaxColors) {
    int pick = -1;
    for (int i = 0; i < count; ++i) {
      if (boxes[i].axis >= 0 && (pick < 0 || boxes[i].gain > boxes[pick].gain)) pick = i;
    }
    if (pick < 0) break;  // no box can be cut any more
    Box& box = boxes[pick];
    int axis = box.axis, plane = box.plane;
    int* first = order->data() + box.begin;
    int* mid = std::partition(first, order->data() + box.end, [&cells, axis, plane](int i) {
      return cells[i].coord[axis] <= plane;
    });
    Box& right = boxes[count++];
    right.begin = static_cast<int>(mid - order->data());
    right.end = box.end;
    box.end = right.begin;
    AnalyseBox(cells.data(), order->data(), &box);
    AnalyseBox(cells.data(), order->data(), &right);
  }
  for (int i = 0; i < count; ++i) {
    for (int k = 0; k < 3; ++k) {
      double mean = boxes[i].total.s[k] / boxes[i].total.n;
      colors[i][k] = std::clamp(static_cast<int>(mean + 0.5), 0, 255);
    }
  }
  return count;
}

inline int BlockOf(const Cell& c) {
  return ((c.coord[0] >> 2) << 6) | ((c.coord[1] >> 2) << 3) | (c.coord[2] >> 2);
}

// Cell indices grouped by block (a stable counting sort).
void GroupByBlock(const std::vector<Cell>& cells, std::vector<int>* order) {
  int start[kBlocks + 1] = {};
  for (const Cell& c : cells) start[BlockOf(c) + 1]++;
  for (int b = 0; b < kBlocks; ++b) start[b + 1] += start[b];
  order->resize(cells.size());
  for (size_t i = 0; i < cells.size(); ++i) (*order)[start[BlockOf(cells[i])]++] = static_cast<int>(i);
}

// For every cell, the nearest palette entry: the smallest distance and among
// equal distances the lowest entry, exactly what a full scan finds. Per block
// only candidates are scanned: entries whose smallest possible distance to
// the bounding box of the block's cells does not exceed the smallest
// largest-possible distance of any entry. No other entry can be nearest to a
// point inside the box.
void AssignNearest(const std::vector<Cell>& cells, const std::vector<int>& by_block,
                   const int (*colors)[3], int count, int* entry_of) {
  // Unused entries sit far away: never candidates, never the bound.
  alignas(64) float pal[3][kMaxColors];
  for (int e = 0; e < kMaxColors; ++e) {
    for (int k = 0; k < 3; ++k) pal[k][e] = e < count ? static_cast<float>(colors[e][k]) : 1e6f;
  }
  alignas(64) float near[kMaxColors], far[kMaxColors];
  alignas(64) float cand[3][kMaxColors];
  int cand_entry[kMaxColors];
  size_t n = by_block.size();
  for (size_t i = 0; i < n;) {
    int block = BlockOf(cells[by_block[i]]);
    float lo[3], hi[3];
    for (int k = 0; k < 3; ++k) lo[k] = hi[k] = cells[by_block[i]].mean[k];
    size_t j = i + 1;
    for (; j < n && BlockOf(cells[by_block[j]]) == block; ++j) {
      for (int k = 0; k < 3; ++k) {
        lo[k] = std::min(lo[k], cells[by_block[j]].mean[k]);
        hi[k] = std::max(hi[k], cells[by_block[j]].mean[k]);
      }
    }
    for (int e = 0; e < kMaxColors; ++e) {
      float dn = 0, df = 0;
      for (int k = 0; k < 3; ++k) {
        float p = pal[k][e];
        float out = std::max(std::max(lo[k] - p, p - hi[k]), 0.0f);
        float reach = std::max(p - lo[k], hi[k] - p);
        dn += out * out;
        df += reach * reach;
      }
      near[e] = dn;
      far[e] = df;
    }
    float bound = far[0];
    for (int e = 1; e < kMaxColors; ++e) bound = std::min(bound, far[e]);
    // Slack for rounding: an extra candidate costs time, never correctness.
    bound = bound * 1.0001f + 0.01f;
    int m = 0;
    for (int e = 0; e < count; ++e) {
      if (near[e] > bound) continue;
      for (int k = 0; k < 3; ++k) cand[k][m] = pal[k][e];
      cand_entry[m++] = e;
    }
    for (; i < j; ++i) {
      const float* q = cells[by_block[i]].mean;
      float best = 1e30f;
      int pick = 0;
      for (int c = 0; c < m; ++c) {
        float dr = cand[0][c] - q[0], dg = cand[1][c] - q[1], db = cand[2][c] - q[2];
        float d = dr * dr + dg * dg + db * db;
        if (d < best) {
          best = d;
          pick = c;
        }
      }
      entry_of[by_block[i]] = cand_entry[pick];
    }
  }
}

// Images with at most 256 distinct colours keep them exactly. Returns false
// (having written nothing) when there are more.
bool MapExactColors(PIX* pix, unsigned char* indices, unsigned char* palette) {
  constexpr int kSlots = 1024;  // open addressing, at most 1/4 full
  std::vector<l_uint32> keys(kSlots, 0);  // colour | 1; 0 marks a free slot
  std::vector<int> slot_index(kSlots, -1);
  std::vector<l_uint32> colors;
  colors.reserve(kMaxColors);
  int width = pixGetWidth(pix), height = pixGetHeight(pix), wpl = pixGetWpl(pix);
  const l_uint32* data = pixGetData(pix);
  auto slot_of = [&keys](l_uint32 key) {
    uint32_t h = (key * 2654435761u) >> 22;
    while (keys[h] != 0 && keys[h] != key) h = (h + 1) & (kSlots - 1);
    return h;
  };
  for (int y = 0; y < height; ++y) {
    const l_uint32* line = data + static_cast<size_t>(y) * wpl;
    for (int x = 0; x < width; ++x) {
      l_uint32 key = (line[x] & 0xFFFFFF00u) | 1;
      uint32_t s = slot_of(key);
      if (keys[s] == 0) {
        if (colors.size() == kMaxColors) return false;
        keys[s] = key;
        colors.push_back(key);
      }
    }
  }
  // Palette in ascending colour order, so it does not depend on pixel order.
  std::sort(colors.begin(), colors.end());
  std::memset(palette, 0, 768);
  for (size_t i = 0; i < colors.size(); ++i) {
    slot_index[slot_of(colors[i])] = static_cast<int>(i);
    palette[i] = static_cast<unsigned char>(colors[i] >> 24);
    palette[256 + i] = static_cast<unsigned char>(colors[i] >> 16);
    palette[512 + i] = static_cast<unsigned char>(colors[i] >> 8);
  }
  for (int y = 0; y < height; ++y) {
    const l_uint32* line = data + static_cast<size_t>(y) * wpl;
    unsigned char* out = indices + static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      out[x] = static_cast<unsigned char>(slot_index[slot_of((line[x] & 0xFFFFFF00u) | 1)]);
    }
  }
  return true;
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

}  // namespace

bool QuantizeRgb(PIX* pix, unsigned char* indices, unsigned char* palette) {
  Scratch* scratch = nullptr;
  try {
    scratch = &ThreadScratch();
    std::vector<Cell>& cells = scratch->cells;
    BuildHistogram(pix, scratch->stats.data());
    TakeOccupiedCells(scratch->stats.data(), &cells);
    if (cells.size() <= kMaxColors && MapExactColors(pix, indices, palette)) return true;

    int colors[kMaxColors][3];
    int count = SplitBoxes(cells, &scratch->order, colors);
    GroupByBlock(cells, &scratch->order);
    scratch->entry_of.resize(cells.size());
    AssignNearest(cells, scratch->order, colors, count, scratch->entry_of.data());
    MakePaletteAndTable(cells, scratch->entry_of, colors, count, palette, scratch->lut.data());
    MapPixels(pix, scratch->lut.data(), indices);
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
