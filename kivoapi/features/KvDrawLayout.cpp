// The layout grid of an image: each cell takes the bin colour that best
// stands for the dominant colour of its unmasked pixels.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "features/KvColorSpace.h"
#include "features/KvDrawFeature.h"
#include "image/KvThumbnail.h"

namespace {

constexpr int kNearColors = 10;
// Share of the weighted total a colour needs to join a neighbour list.
constexpr double kListShare = 0.01;
// Colours darker than this (hundredths of the third coordinate) count less.
constexpr int kDarkLimit = 26;

struct Coordinates {
  double c1[256];
  double c2[256];
  double c3[256];
};

double ColorDistance(const Coordinates& t, int a, int b) {
  const double d1 = t.c1[a] - t.c1[b];
  const double d2 = t.c2[a] - t.c2[b];
  const double d3 = t.c3[a] - t.c3[b];
  return std::sqrt(d1 * d1 + d2 * d2 + d3 * d3);
}

// A colour's neighbours within the cell: itself first (when it has enough
// weight), then the nearest others by ascending distance.
struct NearList {
  int count = 0;
  int index[kNearColors];
  double distance[kNearColors];

  // Inserts behind every entry at the same or a smaller distance; a full list
  // takes a colour only when it is strictly nearer than its last entry.
  void Offer(int color, double d) {
    int at = count;
    while (at > 0 && distance[at - 1] > d) --at;
    if (at >= kNearColors) return;
    const int last = std::min(count, kNearColors - 1);
    for (int i = last; i > at; --i) {
      index[i] = index[i - 1];
      distance[i] = distance[i - 1];
    }
    index[at] = color;
    distance[at] = d;
    if (count < kNearColors) ++count;
  }
};

// The cell colour (NewMTMV) for the weighted counts of the cell's colours.
void CellColor(const int64_t weight[256], const Coordinates& t, bool picker, double out[3]) {
  int64_t total = 0;
  int top[3] = {-1, -1, -1};
  for (int i = 0; i < 256; ++i) {
    if (weight[i] <= 0) continue;
    total += weight[i];
    for (int r = 0; r < 3; ++r) {
      if (top[r] < 0 || weight[i] > weight[top[r]]) {
        for (int s = 2; s > r; --s) top[s] = top[s - 1];
        top[r] = i;
        break;
      }
    }
  }
  const int64_t half = total / 2;
  auto take = [&](int i) {
    out[0] = t.c1[i];
    out[1] = t.c2[i];
    out[2] = t.c3[i];
  };
  if (weight[top[0]] > half || picker) {
    take(top[0]);
    return;
  }
  // No dominant colour: grow a cluster round each of the three strongest
  // colours until it holds half of the weight, and keep the tightest one.
  const int64_t threshold = static_cast<int64_t>(static_cast<double>(total) * kListShare);
  double bestRadius = 0.0;
  int bestKept[kNearColors + 1];
  int bestCount = 0;
  for (int r = 0; r < 3 && top[r] >= 0; ++r) {
    const int c = top[r];
    NearList list;
    const bool selfListed = weight[c] >= threshold;
    if (selfListed) list.Offer(c, 0.0);
    for (int j = 0; j < 256; ++j) {
      if (j == c || weight[j] <= 0 || weight[j] < threshold) continue;
      list.Offer(j, ColorDistance(t, c, j));
    }
    int kept[kNearColors + 1];
    int keptCount = 0;
    kept[keptCount++] = c;
    int64_t sum = weight[c];
    double radius = 0.0;
    for (int k = selfListed ? 1 : 0; k < list.count && sum < half; ++k) {
      sum += weight[list.index[k]];
      radius = list.distance[k];
      kept[keptCount++] = list.index[k];
    }
    if (r == 0 || radius < bestRadius) {
      bestRadius = radius;
      bestCount = keptCount;
      std::copy(kept, kept + keptCount, bestKept);
    }
  }
  double sum[3] = {0.0, 0.0, 0.0};
  double mass = 0.0;
  for (int k = 0; k < bestCount; ++k) {
    const int i = bestKept[k];
    const double w = static_cast<double>(weight[i]);
    sum[0] += w * t.c1[i];
    sum[1] += w * t.c2[i];
    sum[2] += w * t.c3[i];
    mass += w;
  }
  for (int k = 0; k < 3; ++k) out[k] = sum[k] / mass;
}

// The bin colour nearest to a NewMTMV colour (the first of equals).
int16_t NearestBin(const double color[3]) {
  double best = 1000.0;
  int16_t bin = 0;
  for (int b = 0; b < 256; ++b) {
    const double d1 = kKvHistogramBinTable[b].c[0] - color[0];
    const double d2 = kKvHistogramBinTable[b].c[1] - color[1];
    const double d3 = kKvHistogramBinTable[b].c[2] - color[2];
    const double d = std::sqrt(d1 * d1 + d2 * d2 + d3 * d3);
    if (d < best) {
      best = d;
      bin = static_cast<int16_t>(b);
    }
  }
  return bin;
}

struct KvDeleter {
  void operator()(void* p) const { KvDelete(p); }
};

}  // namespace

int KvDrawFeatureClass::ComputeLayoutFeatures() {
  const KvGenericImageDataClass* image = image_;
  if (image == nullptr || image->GetIndexPlane() == nullptr || image->GetPalette() == nullptr) {
    KvError(KERR_NoPixels, KERR_NonFatal, "KvDrawFeatureClass::ComputeLayoutFeatures");
    return -1;
  }
  const int width = image->GetXSize();
  const int height = image->GetYSize();
  if (width < columns_ || height < rows_) {
    KvError(KERR_ImageDims, KERR_NonFatal, width, height, "KvDrawFeatureClass::ComputeLayoutFeatures");
    return -1;
  }
  const unsigned char* pixels = image->GetIndexPlane();
  const unsigned char* mask = image->GetMaskPlane();
  const unsigned char* palette = image->GetPalette();
  std::unique_ptr<Coordinates> table(new (std::nothrow) Coordinates);
  if (table == nullptr) {
    KvError(KERR_Alloc, KERR_Fatal, static_cast<int>(sizeof(Coordinates)), "KvDrawFeatureClass::ComputeLayoutFeatures");
    return -1;
  }
  if (rgbLutToNewMTMV(256, palette, palette + 256, palette + 512, table->c1, table->c2, table->c3) != 0) return -1;

  // Column c starts at (c * W + columns / 2) / columns; rows likewise.
  int xs[kKvDrawMaxCells + 1];
  int ys[kKvDrawMaxCells + 1];
  for (int c = 0; c < columns_; ++c) xs[c] = static_cast<int>((int64_t{c} * width + columns_ / 2) / columns_);
  for (int r = 0; r < rows_; ++r) ys[r] = static_cast<int>((int64_t{r} * height + rows_ / 2) / rows_);
  xs[columns_] = width;
  ys[rows_] = height;
  int maxWidth = 0;
  int maxHeight = 0;
  for (int c = 0; c < columns_; ++c) maxWidth = std::max(maxWidth, xs[c + 1] - xs[c]);
  for (int r = 0; r < rows_; ++r) maxHeight = std::max(maxHeight, ys[r + 1] - ys[r]);
  const size_t largest = static_cast<size_t>(maxWidth) * maxHeight;
  std::unique_ptr<unsigned char[], KvDeleter> buffers(
      static_cast<unsigned char*>(KvNew(2 * largest, "KvDrawFeatureClass::ComputeLayoutFeatures", KERR_Fatal)));
  if (buffers == nullptr) return -1;
  unsigned char* cellPixels = buffers.get();
  unsigned char* cellMask = cellPixels + largest;

  for (int r = 0; r < rows_; ++r) {
    for (int c = 0; c < columns_; ++c) {
      const int cw = xs[c + 1] - xs[c];
      const int ch = ys[r + 1] - ys[r];
      const size_t area = static_cast<size_t>(cw) * ch;
      KvCopyRect(cellPixels, cw, 0, 0, pixels, width, xs[c], ys[r], cw, ch);
      if (mask != nullptr) {
        KvCopyRect(cellMask, cw, 0, 0, mask, width, xs[c], ys[r], cw, ch);
      } else {
        std::memset(cellMask, 0xFF, area);
      }
      // A cell at most a quarter visible is empty (decided before counting
      // colours, which would report a cell without any visible pixel).
      size_t unmasked = 0;
      for (size_t i = 0; i < area; ++i) unmasked += cellMask[i] != 0;
      if (unmasked <= area / 4) {
        SetCell(r, c, -1);
        continue;
      }
      uint32_t counts[256];
      KvCountIndexHistogram(cellPixels, cellMask, area, counts);
      // Dark colours weigh less: a sketch's black outlines should not
      // decide a cell's colour.
      int64_t weight[256];
      int64_t total = 0;
      for (int i = 0; i < 256; ++i) {
        weight[i] = counts[i];
        const double lightness = 100.0 * table->c3[i];
        if (lightness < kDarkLimit) {
          const int a = lightness > -100.0 ? static_cast<int>(lightness) : -100;
          weight[i] = weight[i] * std::max(0, 50 + 2 * a) / 100;
        }
        total += weight[i];
      }
      // Cells of only a few dark pixels can weigh nothing at all: then the
      // plain counts decide.
      if (total == 0) {
        for (int i = 0; i < 256; ++i) weight[i] = counts[i];
      }
      double color[3];
      CellColor(weight, *table, picker_, color);
      SetCell(r, c, NearestBin(color));
    }
  }
  return 0;
}
