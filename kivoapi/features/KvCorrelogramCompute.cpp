// Computation of the auto-correlogram on the working image. Each distance k
// is sampled at the eight points of its ring that lie on the axes and the
// diagonals. A pair of pixels is met from both of its ends, so comparing each
// pixel with its ring points at (k, 0), (0, k), (k, k) and (-k, k) counts
// every pair of one colour twice; the number of ring points inside the image
// for a pixel follows from its position.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/KvError.h"
#include "features/KvCorrelogramFeature.h"
#include "features/KvWorkingImage.h"

namespace {

using Correlogram = KvCorrelogramFeatureClass;

constexpr int kWorkingArea = 1 << 15;
constexpr uint8_t kNone = Correlogram::kColors;  // a masked cell

// Of the three positions p - k, p, p + k on an axis of n: how many are
// inside (1 to 3; p itself always is).
inline int Inside(int p, int k, int n) { return 1 + (p - k >= 0 ? 1 : 0) + (p + k < n ? 1 : 0); }

}  // namespace

constexpr int KvCorrelogramFeatureClass::kDistance[kDistances];

int KvCorrelogramFeatureClass::Compute(const KvGenericImageDataClass& image) {
  KvWorkingImage work;
  if (!KvMakeWorkingImage(image, kWorkingArea, &work)) return -1;
  const int w = work.width, h = work.height;
  std::vector<uint8_t> colour(work.Cells());
  for (size_t i = 0; i < colour.size(); ++i) {
    colour[i] = work.valid[i] == 0 ? kNone
                                   : static_cast<uint8_t>((work.red[i] >> 6) * 16 + (work.green[i] >> 6) * 4 +
                                                          (work.blue[i] >> 6));
  }
  uint32_t counts[2][kColors + 1] = {};
  for (size_t i = 0; i < colour.size(); ++i) ++counts[i & 1][colour[i]];
  uint32_t count[kColors + 1];
  for (int c = 0; c <= kColors; ++c) count[c] = counts[0][c] + counts[1][c];
  for (int d = 0; d < kDistances; ++d) {
    const int k = kDistance[d];
    // Every pixel is compared with its ring points to the right and below,
    // (k, 0), (0, k), (k, k) and (-k, k), and its colour's count takes the
    // matches at once. Pixels of even and odd columns count into separate
    // tables, so that a run of one colour does not wait on its own last sum.
    uint32_t same[2][kColors + 1] = {};
    std::vector<uint8_t> matches(static_cast<size_t>(w));
    for (int y = 0; y < h; ++y) {
      const uint8_t* a = &colour[static_cast<size_t>(y) * static_cast<size_t>(w)];
      const uint8_t* b = y + k < h ? a + static_cast<size_t>(k) * static_cast<size_t>(w) : nullptr;
      auto border = [&](int x) {
        const uint8_t c = a[x];
        uint32_t m = 0;
        if (x + k < w) m += a[x + k] == c;
        if (b != nullptr) {
          m += b[x] == c;
          if (x + k < w) m += b[x + k] == c;
          if (x >= k) m += b[x - k] == c;
        }
        same[x & 1][c] += m;
      };
      if (b == nullptr || 2 * k >= w) {
        for (int x = 0; x < w; ++x) border(x);
        continue;
      }
      for (int x = 0; x < k; ++x) border(x);
      // The interior's matches first, in a loop the compiler vectorises.
      for (int x = k; x < w - k; ++x) {
        const uint8_t c = a[x];
        matches[x] = static_cast<uint8_t>((a[x + k] == c) + (b[x] == c) + (b[x + k] == c) + (b[x - k] == c));
      }
      for (int x = k; x < w - k; ++x) same[x & 1][a[x]] += matches[x];
      for (int x = w - k; x < w; ++x) border(x);
    }
    // Ring points inside the image: the 3 x 3 pattern of positions at
    // offsets in {-k, 0, k}^2, less the pixel itself. Only pixels within k of
    // a border see fewer than eight; the others are counted in one sum.
    uint64_t from[kColors + 1] = {};
    for (int c = 0; c <= kColors; ++c) from[c] = 8ull * count[c];
    for (int y = 0; y < h; ++y) {
      const bool rowInside = y >= k && y + k < h;
      const int iy = Inside(y, k, h);
      for (int x = 0; x < w; ++x) {
        if (rowInside && x >= k && x + k < w) {
          x = w - k - 1;  // the rest of the row's interior sees all eight
          continue;
        }
        const uint8_t c = colour[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)];
        from[c] -= static_cast<uint64_t>(8 - (iy * Inside(x, k, w) - 1));
      }
    }
    for (int c = 0; c < kColors; ++c) {
      // A pair of one colour is met from both of its ends.
      const uint64_t pairs = 2ull * (static_cast<uint64_t>(same[0][c]) + same[1][c]);
      const double chance = from[c] == 0 ? 0.0 : static_cast<double>(pairs) / static_cast<double>(from[c]);
      bin_[c * kDistances + d] = static_cast<uint8_t>(std::lround(std::min(1.0, chance) * 255.0));
    }
  }
  return 0;
}
