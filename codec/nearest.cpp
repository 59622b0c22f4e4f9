// Nearest palette entry for many colours at once, exactly as a full scan
// would choose it (smallest squared distance, lowest entry among equals), but
// scanning only entries that can win.
//
// The colours are grouped in blocks spanning 32 levels per channel, eight
// blocks to a super-block of 64 levels. For the bounding box of each group's colours the palette is
// narrowed to candidates: entries whose smallest possible distance to the box
// does not exceed the smallest largest-possible distance of any entry. No
// other entry can be nearest to, or tie for, a point inside the box. The
// super-block narrows the whole palette, each block narrows its super-block's
// candidates, and each colour scans its block's candidates in order of their
// smallest possible distance, stopping once that exceeds the best found.
// All arithmetic is in integers, so the pruning is exact.
#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "codec_internal.h"

namespace kvcodec {
namespace {

constexpr int kMaxColors = 256;
constexpr int kKeys = 512;  // 64 super-blocks of 8 blocks

// Super-block (64 levels per channel, 1024 units) then block (32 levels).
inline int BlockKey(const FixedColor& p) {
  int super = ((p.c[0] >> 10) << 4) | ((p.c[1] >> 10) << 2) | (p.c[2] >> 10);
  int block = (((p.c[0] >> 9) & 1) << 2) | (((p.c[1] >> 9) & 1) << 1) | ((p.c[2] >> 9) & 1);
  return (super << 3) | block;
}

// A colour to look up, with its block key and its index in the input.
struct Query {
  int32_t c[3];
  int key;
  int index;
};

// Palette entries in 1/16 units, with their entry numbers.
struct EntrySet {
  int size;
  alignas(64) int32_t c[3][kMaxColors];
  int entry[kMaxColors];
};

// The queries in block key order (a stable counting sort).
void GroupByBlock(const std::vector<FixedColor>& points, std::vector<Query>* out) {
  int start[kKeys + 1] = {};
  for (const FixedColor& p : points) start[BlockKey(p) + 1]++;
  for (int b = 0; b < kKeys; ++b) start[b + 1] += start[b];
  out->resize(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    int key = BlockKey(points[i]);
    Query& q = (*out)[start[key]++];
    for (int k = 0; k < 3; ++k) q.c[k] = points[i].c[k];
    q.key = key;
    q.index = static_cast<int>(i);
  }
}

// Bounding box of queries[begin, end).
void Bounds(const Query* queries, size_t begin, size_t end, int32_t* lo, int32_t* hi) {
  for (int k = 0; k < 3; ++k) lo[k] = hi[k] = queries[begin].c[k];
  for (size_t i = begin + 1; i < end; ++i) {
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], queries[i].c[k]);
      hi[k] = std::max(hi[k], queries[i].c[k]);
    }
  }
}

// Smallest and largest possible squared distance from each entry of the set
// to a point of the box [lo, hi]. Straight integer code; with a fixed size
// the compiler vectorises it.
template <int kSize>
void BoxDistances(const EntrySet& set, const int32_t* lo, const int32_t* hi, int32_t* near,
                  int32_t* far) {
  const int n = kSize > 0 ? kSize : set.size;
  for (int e = 0; e < n; ++e) {
    int32_t dn = 0, df = 0;
    for (int k = 0; k < 3; ++k) {
      int32_t below = lo[k] - set.c[k][e], above = set.c[k][e] - hi[k];
      int32_t out = below > above ? below : above;
      out = out > 0 ? out : 0;
      int32_t reach = -below > -above ? -below : -above;
      dn += out * out;
      df += reach * reach;
    }
    near[e] = dn;
    far[e] = df;
  }
}

// Keeps the entries of `from` that can be nearest to a point of the box
// whose distances are near/far; to_near gets their smallest distances.
void KeepCandidates(const EntrySet& from, const int32_t* near, const int32_t* far, EntrySet* to,
                    int32_t* to_near) {
  int32_t bound = far[0];
  for (int e = 1; e < from.size; ++e) bound = std::min(bound, far[e]);
  int m = 0;
  for (int e = 0; e < from.size; ++e) {
    if (near[e] > bound) continue;
    for (int k = 0; k < 3; ++k) to->c[k][m] = from.c[k][e];
    to->entry[m] = from.entry[e];
    to_near[m++] = near[e];
  }
  to->size = m;
}

// Reorders the set by smallest possible distance, then entry (insertion
// sort: the lists are short).
void SortCandidates(EntrySet* set, int32_t* near) {
  for (int i = 1; i < set->size; ++i) {
    int32_t c[3] = {set->c[0][i], set->c[1][i], set->c[2][i]};
    int32_t n = near[i];
    int entry = set->entry[i];
    int j = i;
    for (; j > 0 && (near[j - 1] > n || (near[j - 1] == n && set->entry[j - 1] > entry)); --j) {
      for (int k = 0; k < 3; ++k) set->c[k][j] = set->c[k][j - 1];
      near[j] = near[j - 1];
      set->entry[j] = set->entry[j - 1];
    }
    for (int k = 0; k < 3; ++k) set->c[k][j] = c[k];
    near[j] = n;
    set->entry[j] = entry;
  }
}

// The nearest candidate to q; candidates sorted by SortCandidates.
int Nearest(const EntrySet& cand, const int32_t* near, const int32_t* q) {
  // Distance and entry in one key: the smallest key is the smallest distance
  // with the lowest entry.
  int64_t best = INT64_MAX;
  for (int c = 0; c < cand.size && near[c] <= (best >> 8); ++c) {
    int32_t dr = cand.c[0][c] - q[0], dg = cand.c[1][c] - q[1], db = cand.c[2][c] - q[2];
    int64_t key = (int64_t{dr * dr + dg * dg + db * db} << 8) | cand.entry[c];
    best = key < best ? key : best;
  }
  return static_cast<int>(best & 0xFF);
}

}  // namespace

void NearestEntries(const std::vector<FixedColor>& points, const int (*colors)[3], int count,
                    int* entry_of) {
  if (points.empty() || count < 1) return;
  thread_local std::vector<Query> queries;
  GroupByBlock(points, &queries);
  // Unused entries sit far away (yet without overflowing the squares): never
  // candidates, never the bound.
  auto palette = std::make_unique<EntrySet>();
  palette->size = kMaxColors;
  for (int e = 0; e < kMaxColors; ++e) {
    for (int k = 0; k < 3; ++k) palette->c[k][e] = e < count ? colors[e][k] * 16 : 1 << 14;
    palette->entry[e] = e;
  }
  auto super_set = std::make_unique<EntrySet>();
  auto block_set = std::make_unique<EntrySet>();
  alignas(64) int32_t near[kMaxColors], far[kMaxColors], super_near[kMaxColors];
  alignas(64) int32_t block_near[kMaxColors];
  const Query* q = queries.data();
  size_t n = queries.size();
  for (size_t i = 0; i < n;) {
    int super = q[i].key >> 3;
    size_t super_end = i + 1;
    while (super_end < n && q[super_end].key >> 3 == super) ++super_end;
    int32_t lo[3], hi[3];
    Bounds(q, i, super_end, lo, hi);
    BoxDistances<kMaxColors>(*palette, lo, hi, near, far);
    KeepCandidates(*palette, near, far, super_set.get(), super_near);
    while (i < super_end) {
      size_t end = i + 1;
      while (end < super_end && q[end].key == q[i].key) ++end;
      Bounds(q, i, end, lo, hi);
      BoxDistances<0>(*super_set, lo, hi, near, far);
      KeepCandidates(*super_set, near, far, block_set.get(), block_near);
      SortCandidates(block_set.get(), block_near);
      for (; i < end; ++i) entry_of[q[i].index] = Nearest(*block_set, block_near, q[i].c);
    }
  }
}

}  // namespace kvcodec
