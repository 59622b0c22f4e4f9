// Block counting of the colour histogram.
//
// Colours are grouped inside small blocks first, so that dithering and fine
// texture count as the block's dominant colours: a pixel joins the group whose
// mean colour is nearest in L1 unless that mean is 225 or more away, and each
// group counts in the bin of its mean colour.
#include <cstdlib>
#include <cstring>

#include "core/KvError.h"
#include "features/KvColorHistogramFeature.h"

namespace {

constexpr int kGroupThreshold = 225;

// The groups of one block: sums of R, G, B and a count per group.
struct BlockGroups {
  int32_t* sumR;
  int32_t* sumG;
  int32_t* sumB;
  int16_t* count;
  int used;
};

inline int CellOf(int r, int g, int b) { return (r >> 4) * 256 + (g >> 4) * 16 + (b >> 4); }

void GroupPixel(BlockGroups* groups, int r, int g, int b, int32_t start) {
  int best = -1;
  int32_t bestValue = start;
  for (int j = 0; j < groups->used; ++j) {
    const int32_t c = groups->count[j];
    const int32_t value =
        std::abs(r * c - groups->sumR[j]) + std::abs(g * c - groups->sumG[j]) + std::abs(b * c - groups->sumB[j]);
    if (value < bestValue) {
      bestValue = value;
      best = j;
    }
  }
  if (best < 0 || bestValue >= kGroupThreshold * groups->count[best]) {
    const int j = groups->used++;
    groups->sumR[j] = r;
    groups->sumG[j] = g;
    groups->sumB[j] = b;
    groups->count[j] = 1;
  } else {
    groups->sumR[best] += r;
    groups->sumG[best] += g;
    groups->sumB[best] += b;
    groups->count[best] += 1;
  }
}

}  // namespace

int KvComputeColorHistogram(const unsigned char* pixels, const unsigned char* mask, const unsigned char* lastPixel,
                            unsigned long width, const unsigned char* red, const unsigned char* green,
                            const unsigned char* blue, int blockSize, const unsigned char* cellMap,
                            const KvColorRecord* binTable, int binCount, int16_t* bins) {
  (void)binTable;  // the bins are found through the cell map
  if (pixels == nullptr || lastPixel == nullptr || lastPixel < pixels || width == 0 || red == nullptr ||
      green == nullptr || blue == nullptr || cellMap == nullptr || bins == nullptr || binCount < 1 ||
      binCount > 256 || blockSize < 1 || blockSize > 16) {
    KvError(KERR_General, KERR_NonFatal, "kcComp:KvComputeColorHistogram called with an unusable image");
    return -1;
  }
  const int n = blockSize;
  const int groupsMax = n * n;
  // One allocation for the three sum arrays and the count array.
  const size_t bytes = static_cast<size_t>(groupsMax) * (3 * sizeof(int32_t) + sizeof(int16_t));
  auto* storage = static_cast<unsigned char*>(KvNew(bytes, "kcComp:KvComputeColorHistogram", KERR_Fatal));
  if (storage == nullptr) return -1;
  BlockGroups groups;
  groups.sumR = reinterpret_cast<int32_t*>(storage);
  groups.sumG = groups.sumR + groupsMax;
  groups.sumB = groups.sumG + groupsMax;
  groups.count = reinterpret_cast<int16_t*>(groups.sumB + groupsMax);

  uint64_t counter[256] = {};
  uint64_t total = 0;
  const unsigned long pixelCount = static_cast<unsigned long>(lastPixel - pixels) + 1;
  const unsigned long rows = pixelCount / width;
  const unsigned long step = static_cast<unsigned long>(n);
  const int32_t start = groupsMax * 768;
  auto binOf = [&](int r, int g, int b) {
    const unsigned char bin = cellMap[CellOf(r, g, b)];
    return bin < binCount ? bin : binCount - 1;
  };
  // Blocks lie wholly inside the image: a block row ends before a block
  // would reach past the last column, and visiting ends before a block would
  // reach past the last row.
  for (unsigned long r0 = 0; r0 + step <= rows; r0 += step) {
    for (unsigned long c0 = 0; c0 + step <= width; c0 += step) {
      const unsigned long first = r0 * width + c0;
      const unsigned long lastRow = first + (step - 1) * width;
      if (mask != nullptr && (mask[first] == 0 || mask[first + step - 1] == 0 || mask[lastRow] == 0 ||
                              mask[lastRow + step - 1] == 0)) {
        continue;
      }
      groups.used = 0;
      for (unsigned long y = 0; y < step; ++y) {
        const unsigned char* row = pixels + first + y * width;
        for (unsigned long x = 0; x < step; ++x) {
          const unsigned char index = row[x];
          GroupPixel(&groups, red[index], green[index], blue[index], start);
        }
      }
      for (int j = 0; j < groups.used; ++j) {
        const int32_t c = groups.count[j];
        const int meanR = (groups.sumR[j] + c / 2) / c;
        const int meanG = (groups.sumG[j] + c / 2) / c;
        const int meanB = (groups.sumB[j] + c / 2) / c;
        counter[binOf(meanR, meanG, meanB)] += static_cast<uint64_t>(c);
        total += static_cast<uint64_t>(c);
      }
    }
  }
  KvDelete(storage);

  // Too few pixels in whole blocks (small or heavily masked images): count
  // every unmasked pixel by its own colour as well.
  if (total <= static_cast<uint64_t>(6 * groupsMax)) {
    for (unsigned long i = 0; i < pixelCount; ++i) {
      if (mask != nullptr && mask[i] == 0) continue;
      const unsigned char index = pixels[i];
      ++counter[binOf(red[index], green[index], blue[index])];
      ++total;
    }
  }
  if (total == 0) {
    KvError(KERR_NoPixels, KERR_NonFatal, "kcComp");
    std::memset(bins, 0, static_cast<size_t>(binCount) * sizeof(int16_t));
    return 0;
  }
  for (int i = 0; i < binCount; ++i) {
    bins[i] = static_cast<int16_t>(static_cast<double>(counter[i]) / static_cast<double>(total) * 1000.0 + 0.5);
  }
  return 0;
}
