// Computation of the edge histogram. Blocks are laid over the working image
// so that about 1100 of them cover it; each is split into four quarters whose
// mean gray levels feed five 2 x 2 edge filters.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/KvError.h"
#include "features/KvEdgeHistogramFeature.h"
#include "features/KvWorkingImage.h"

namespace {

using Edge = KvEdgeHistogramFeatureClass;

constexpr int kWorkingArea = 1 << 16;
constexpr double kBlocks = 1100.0;
// Smallest filter response (in gray levels) that counts as an edge.
constexpr float kEdgeThreshold = 11.0f;
constexpr float kRoot2 = 1.41421356f;

}  // namespace

int KvEdgeKind(float a, float b, float c, float d) {
  const float response[5] = {
      std::fabs(a - b + c - d),                // vertical
      std::fabs(a + b - c - d),                // horizontal
      std::fabs(kRoot2 * a - kRoot2 * d),      // 45 degrees
      std::fabs(kRoot2 * b - kRoot2 * c),      // 135 degrees
      std::fabs(2.0f * a - 2.0f * b - 2.0f * c + 2.0f * d),  // non-directional
  };
  int best = 0;
  for (int k = 1; k < 5; ++k) {
    if (response[k] > response[best]) best = k;
  }
  return response[best] >= kEdgeThreshold ? best : -1;
}

int KvEdgeHistogramFeatureClass::Compute(const KvGenericImageDataClass& image) {
  KvWorkingImage work;
  if (!KvMakeWorkingImage(image, kWorkingArea, &work)) return -1;
  const int w = work.width, h = work.height;
  std::vector<float> gray(work.Cells());
  for (size_t i = 0; i < gray.size(); ++i) gray[i] = KvLuminance(work.red[i], work.green[i], work.blue[i]);

  // Block side: even, at least 2, so that about kBlocks blocks fit.
  const int side = std::max(2, 2 * static_cast<int>(std::sqrt(static_cast<double>(w) * h / kBlocks) / 2.0));
  const int half = side / 2;
  uint32_t count[kBins] = {};
  uint32_t blocks[kGrid * kGrid] = {};
  for (int gy = 0; gy < kGrid; ++gy) {
    const int y0 = gy * h / kGrid, y1 = (gy + 1) * h / kGrid;
    for (int gx = 0; gx < kGrid; ++gx) {
      const int x0 = gx * w / kGrid, x1 = (gx + 1) * w / kGrid;
      const int region = gy * kGrid + gx;
      for (int by = y0; by + side <= y1; by += side) {
        for (int bx = x0; bx + side <= x1; bx += side) {
          float quarter[4] = {0, 0, 0, 0};
          int valid = 0;
          for (int y = 0; y < side; ++y) {
            const size_t row = static_cast<size_t>(by + y) * static_cast<size_t>(w) + static_cast<size_t>(bx);
            for (int x = 0; x < side; ++x) {
              quarter[(y >= half ? 2 : 0) + (x >= half ? 1 : 0)] += gray[row + static_cast<size_t>(x)];
              valid += work.valid[row + static_cast<size_t>(x)];
            }
          }
          // Blocks that reach outside the unmasked area are left out.
          if (valid != side * side) continue;
          const float n = static_cast<float>(half * half);
          const int kind = KvEdgeKind(quarter[0] / n, quarter[1] / n, quarter[2] / n, quarter[3] / n);
          ++blocks[region];
          if (kind >= 0) ++count[region * kKinds + kind];
        }
      }
    }
  }
  for (int r = 0; r < kGrid * kGrid; ++r) {
    for (int k = 0; k < kKinds; ++k) {
      const int i = r * kKinds + k;
      bin_[i] = blocks[r] == 0 ? 0
                               : static_cast<uint8_t>((count[i] * 255u + blocks[r] / 2) / blocks[r]);
    }
  }
  return 0;
}
