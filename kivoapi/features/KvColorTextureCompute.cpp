// Computation of the colour-texture feature: the band histograms from the
// palette image, the patterns on the working image's gray levels.
#include <cmath>
#include <vector>

#include "core/KvError.h"
#include "features/KvColorTextureFeature.h"
#include "features/KvWorkingImage.h"

int KvColorTextureFeatureClass::Compute(const KvGenericImageDataClass& image) {
  if (!KvHsvBandRoots(image, root_, norm_)) return -1;
  KvWorkingImage work;
  if (!KvMakeWorkingImage(image, kWorkingArea, &work)) return -1;
  const int w = work.width, h = work.height;
  const size_t cells = work.Cells();
  std::vector<float> gray(cells);
  for (size_t i = 0; i < cells; ++i) gray[i] = KvLuminance(work.red[i], work.green[i], work.blue[i]);
  uint32_t codes[256] = {};
  bool masked = false;
  for (size_t i = 0; i < cells && !masked; ++i) masked = work.valid[i] == 0;
  std::vector<uint8_t> code(static_cast<size_t>(w > 2 ? w - 2 : 0));
  for (int y = 1; y + 1 < h; ++y) {
    const float* up = gray.data() + static_cast<size_t>(y - 1) * w;
    const float* mid = up + w;
    const float* down = mid + w;
    // Neighbours in the order of PatternOf's bits, as plain loops over the
    // row that the compiler vectorises.
    for (int x = 1; x + 1 < w; ++x) {
      const float c = mid[x] + kLighter;
      code[x - 1] = static_cast<uint8_t>((up[x - 1] >= c) | (up[x] >= c) << 1 | (up[x + 1] >= c) << 2 |
                                         (mid[x + 1] >= c) << 3 | (down[x + 1] >= c) << 4 |
                                         (down[x] >= c) << 5 | (down[x - 1] >= c) << 6 | (mid[x - 1] >= c) << 7);
    }
    if (!masked) {
      for (int x = 1; x + 1 < w; ++x) ++codes[code[x - 1]];
      continue;
    }
    const uint8_t* vu = work.valid.data() + static_cast<size_t>(y - 1) * w;
    const uint8_t* vm = vu + w;
    const uint8_t* vd = vm + w;
    for (int x = 1; x + 1 < w; ++x) {
      const bool all = vu[x - 1] & vu[x] & vu[x + 1] & vm[x - 1] & vm[x] & vm[x + 1] & vd[x - 1] & vd[x] & vd[x + 1];
      if (all) ++codes[code[x - 1]];
    }
  }
  uint64_t counted = 0;
  uint64_t patterns[kPatterns] = {};
  for (unsigned c = 0; c < 256; ++c) {
    patterns[PatternOf(c)] += codes[c];
    counted += codes[c];
  }
  uint16_t* roots = root_ + kColorBins;
  norm_[kBands] = 0;
  for (int i = 0; i < kPatterns; ++i) {
    // No cell with all its neighbours (a raster under 3 x 3, a mask of
    // thin strokes) leaves the patterns at 0.
    const double share = counted == 0 ? 0.0 : static_cast<double>(patterns[i]) / static_cast<double>(counted);
    roots[i] = static_cast<uint16_t>(std::lround(std::sqrt(share) * kScale));
    norm_[kBands] += static_cast<uint64_t>(roots[i]) * roots[i];
  }
  return 0;
}
