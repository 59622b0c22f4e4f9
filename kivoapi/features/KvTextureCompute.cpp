// Tamura texture measures on the gray levels of a masked image.
#include "features/KvTextureCompute.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "core/KvError.h"
#include "image/KvThumbnail.h"

namespace {

struct KvDeleter {
  void operator()(void* p) const { KvDelete(p); }
};
template <typename T>
using KvBuffer = std::unique_ptr<T[], KvDeleter>;

constexpr int kBins = 16;
// Pixels whose mean gradient magnitude (|dH| + |dV|) / 2 exceeds this are
// edge pixels.
constexpr int kEdgeThreshold = 12;
// Beyond this many non-edge pixels the normalisation no longer fits 32-bit
// integers and is evaluated in floating point.
constexpr int64_t kIntegerNormaliseLimit = 2000000;
// A peak lower than the largest bin divided by this is noise.
constexpr int kPeakFloorDivisor = 5;
// Bins around a peak belong to it while they keep this share of its height.
constexpr double kSpreadShare = 0.35;
// A level whose contrast falls below this share of the best one so far is
// rejected.
constexpr double kCoarsenessKeep = 0.90000000001;
// Contrast (in hundredths) below which a texture is treated as flat.
constexpr int32_t kFlatContrast = 1100;
constexpr int kCoarsenessLevels = 4;

inline bool Included(const unsigned char* mask, size_t i) { return mask == nullptr || mask[i] != 0; }

// One peak of the direction histogram with the valleys around it. A segment
// whose end equals its start runs once round the whole circle.
struct Segment {
  int start;
  int peak;
  int end;
};

// Peaks and valleys of the circular histogram after smoothing each bin to the
// largest of itself and its two neighbours. On a flat run the extremum sits
// at the run's middle bin (the earlier one of two).
std::vector<Segment> FindSegments(const int32_t h[kBins]) {
  int32_t s[kBins];
  for (int i = 0; i < kBins; ++i) {
    s[i] = std::max(h[i], std::max(h[(i + kBins - 1) % kBins], h[(i + 1) % kBins]));
  }
  int first = -1;
  for (int i = 0; i < kBins; ++i) {
    if (s[i] != s[(i + kBins - 1) % kBins]) {
      first = i;
      break;
    }
  }
  if (first < 0) return {Segment{0, 8, 0}};

  struct Run {
    int start;
    int length;
    int32_t value;
  };
  std::vector<Run> runs;
  for (int k = 0; k < kBins; ++k) {
    const int i = (first + k) % kBins;
    if (runs.empty() || runs.back().value != s[i]) {
      runs.push_back(Run{i, 1, s[i]});
    } else {
      ++runs.back().length;
    }
  }
  // Extrema in circular order; they alternate between valleys and peaks.
  struct Extremum {
    int position;
    bool peak;
  };
  std::vector<Extremum> extrema;
  const int n = static_cast<int>(runs.size());
  for (int r = 0; r < n; ++r) {
    const int32_t before = runs[(r + n - 1) % n].value;
    const int32_t after = runs[(r + 1) % n].value;
    const int32_t v = runs[r].value;
    const int position = (runs[r].start + (runs[r].length - 1) / 2) % kBins;
    if (v > before && v > after) extrema.push_back(Extremum{position, true});
    if (v < before && v < after) extrema.push_back(Extremum{position, false});
  }
  std::vector<Segment> segments;
  const int m = static_cast<int>(extrema.size());
  for (int e = 0; e < m; ++e) {
    if (!extrema[e].peak) continue;
    // Alternation guarantees a valley on each side.
    const int before = extrema[(e + m - 1) % m].position;
    const int after = extrema[(e + 1) % m].position;
    segments.push_back(Segment{before, extrema[e].position, after});
  }
  std::sort(segments.begin(), segments.end(),
            [](const Segment& a, const Segment& b) { return a.peak < b.peak; });
  return segments;
}

// Removes segment i, merging its bins into the neighbour on the side of its
// higher valley. The last segment is never removed: it is re-seated at the
// largest bin and made to cover the whole circle.
void RemoveSegment(std::vector<Segment>& segments, size_t i, const int32_t h[kBins]) {
  const size_t n = segments.size();
  if (n == 1) {
    const int top = static_cast<int>(std::max_element(h, h + kBins) - h);
    const int opposite = (top + kBins / 2) % kBins;
    segments[0] = Segment{opposite, top, opposite};
    return;
  }
  const Segment gone = segments[i];
  if (h[gone.start] >= h[gone.end]) {
    segments[(i + n - 1) % n].end = gone.end;
  } else {
    segments[(i + 1) % n].start = gone.start;
  }
  segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(i));
}

// Spread of the bins around the segment's peak: the root of their second
// moment about the peak, over the bins that keep 35% of the peak height.
double SegmentSpread(const Segment& seg, const int32_t h[kBins]) {
  const int length = seg.end == seg.start ? kBins + 1 : (seg.end - seg.start + kBins) % kBins + 1;
  const int p = (seg.peak - seg.start + kBins) % kBins;
  const double height = h[seg.peak];
  if (height <= 0.0) return 0.0;
  auto bin = [&](int j) { return static_cast<double>(h[(seg.start + j) % kBins]); };
  double moment = 0.0;
  double mass = bin(p);
  for (int j = p - 1; j >= 1 && bin(j) / height > kSpreadShare; --j) {
    moment += static_cast<double>(j - p) * (j - p) * bin(j);
    mass += bin(j);
  }
  for (int j = p + 1; j < length && bin(j) / height > kSpreadShare; ++j) {
    moment += static_cast<double>(j - p) * (j - p) * bin(j);
    mass += bin(j);
  }
  return mass > 0.0 ? std::sqrt(moment / mass) : 0.0;
}

}  // namespace

int32_t KvTextureHundredths(double measure) {
  const double scaled = std::round(measure * 100.0);
  if (std::isnan(scaled)) return 0;
  if (scaled >= 2147483647.0) return INT32_MAX;
  if (scaled <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(scaled);
}

void KvTamReduce(const unsigned char* gray, const unsigned char* mask, int width, int height,
                 unsigned char* outGray, unsigned char* outMask) {
  const int ow = (width + 1) / 2;
  const int oh = (height + 1) / 2;
  for (int y = 0; y < oh; ++y) {
    for (int x = 0; x < ow; ++x) {
      unsigned sum = 0;
      unsigned count = 0;
      for (int dy = 0; dy < 2; ++dy) {
        const int sy = 2 * y + dy;
        if (sy >= height) break;
        for (int dx = 0; dx < 2; ++dx) {
          const int sx = 2 * x + dx;
          if (sx >= width) break;
          const size_t i = static_cast<size_t>(sy) * width + sx;
          if (!Included(mask, i)) continue;
          sum += gray[i];
          ++count;
        }
      }
      const size_t o = static_cast<size_t>(y) * ow + x;
      outGray[o] = static_cast<unsigned char>(count > 0 ? sum / count : 0);
      outMask[o] = count > 0 ? 0xFF : 0;
    }
  }
}

double KvTamContrast(const unsigned char* gray, const unsigned char* mask, int width, int height) {
  uint64_t hist[256] = {};
  const size_t n = width > 0 && height > 0 ? static_cast<size_t>(width) * height : 0;
  if (mask == nullptr) {
    for (size_t i = 0; i < n; ++i) ++hist[gray[i]];
  } else {
    for (size_t i = 0; i < n; ++i) hist[gray[i]] += mask[i] != 0;
  }
  double total = 0.0;
  double sum = 0.0;
  for (int g = 0; g < 256; ++g) {
    total += static_cast<double>(hist[g]);
    sum += static_cast<double>(hist[g]) * g;
  }
  if (total <= 0.0) return 1.0;
  const double mean = sum / total;
  double m2 = 0.0;
  double m4 = 0.0;
  for (int g = 0; g < 256; ++g) {
    const double d2 = (g - mean) * (g - mean);
    m2 += d2 * static_cast<double>(hist[g]);
    m4 += d2 * d2 * static_cast<double>(hist[g]);
  }
  const double variance = m2 / total;
  const double sigma = std::sqrt(variance);
  if (sigma < 1.0) return 1.0;
  const double kurtosis = (m4 / total) / (variance * variance);
  return sigma / std::pow(kurtosis, 0.25);
}

void KvTamDirectionHistogram(const unsigned char* gray, const unsigned char* mask, int width, int height,
                             int32_t bins[16]) {
  int64_t raw[kBins] = {};
  int64_t counted = 0;
  int64_t edges = 0;
  // A mask without a zero byte is the same as none: skip the per-pixel test.
  if (mask != nullptr && width > 0 && height > 0 &&
      std::memchr(mask, 0, static_cast<size_t>(width) * height) == nullptr) {
    mask = nullptr;
  }
  for (int y = 1; y + 1 < height; ++y) {
    const unsigned char* r0 = gray + static_cast<size_t>(y - 1) * width;
    const unsigned char* r1 = r0 + width;
    const unsigned char* r2 = r1 + width;
    const unsigned char* m0 = mask != nullptr ? mask + static_cast<size_t>(y - 1) * width : nullptr;
    for (int x = 1; x + 1 < width; ++x) {
      if (m0 != nullptr) {
        const unsigned char* m1 = m0 + width;
        const unsigned char* m2 = m1 + width;
        if (!(m0[x - 1] && m0[x] && m0[x + 1] && m1[x - 1] && m1[x] && m1[x + 1] && m2[x - 1] && m2[x] &&
              m2[x + 1])) {
          continue;
        }
      }
      const int left = r0[x - 1] + r1[x - 1] + r2[x - 1];
      const int right = r0[x + 1] + r1[x + 1] + r2[x + 1];
      const int top = r0[x - 1] + r0[x] + r0[x + 1];
      const int bottom = r2[x - 1] + r2[x] + r2[x + 1];
      const int dh = right - left;
      const int dv = top - bottom;
      ++counted;
      // (|dH| + |dV|) / 2 > 12, kept in integers.
      if (std::abs(dh) + std::abs(dv) <= 2 * kEdgeThreshold) continue;
      ++edges;
      int bin = kBins - 1;
      if (dh != 0) {
        const double angle = std::atan(static_cast<double>(dv) / dh) / M_PI + 0.5;
        bin = static_cast<int>(angle * (kBins - 1));
      }
      ++raw[bin];
    }
  }
  if (counted == 0) {
    for (int i = 0; i < kBins; ++i) bins[i] = 1;
    return;
  }
  const int64_t plain = counted - edges;
  for (int i = 0; i < kBins; ++i) {
    if (plain <= kIntegerNormaliseLimit) {
      bins[i] = static_cast<int32_t>((raw[i] * 1000 + (plain * 1000) / kBins) / counted);
    } else {
      const double v = (static_cast<double>(raw[i]) * 1000.0 + static_cast<double>(plain) * 1000.0 / kBins) /
                       static_cast<double>(counted);
      bins[i] = static_cast<int32_t>(v);
    }
  }
}

double KvTamDirectionSpread(const int32_t bins[16]) {
  std::vector<Segment> segments = FindSegments(bins);
  const int32_t largest = *std::max_element(bins, bins + kBins);
  for (size_t i = 0; i < segments.size();) {
    if (static_cast<int64_t>(bins[segments[i].peak]) * kPeakFloorDivisor < largest) {
      const size_t before = segments.size();
      RemoveSegment(segments, i, bins);
      if (segments.size() == before) ++i;  // re-seated, not removed
    } else {
      ++i;
    }
  }
  for (size_t i = 0; i < segments.size();) {
    const size_t n = segments.size();
    const Segment& s = segments[i];
    const int64_t height = bins[s.peak];
    const bool belowValley = height < 2 * static_cast<int64_t>(bins[s.start]) ||
                             height < 2 * static_cast<int64_t>(bins[s.end]);
    const bool notHighest =
        height <= bins[segments[(i + n - 1) % n].peak] || height <= bins[segments[(i + 1) % n].peak];
    if (belowValley && notHighest) {
      RemoveSegment(segments, i, bins);
      if (segments.size() == n) ++i;
    } else {
      ++i;
    }
  }
  double total = 0.0;
  for (const Segment& s : segments) total += SegmentSpread(s, bins);
  return total / static_cast<double>(segments.size());
}

double KvTamCoarseness(const unsigned char* gray, const unsigned char* mask, int width, int height,
                       int levels) {
  if (width <= 0 || height <= 0 || levels <= 0) return 0.0;
  levels = std::min(levels, 16);
  const size_t n = static_cast<size_t>(width) * height;
  const size_t planes = static_cast<size_t>(levels);
  KvBuffer<double> means(static_cast<double*>(
      KvCNew(planes * n, sizeof(double), "ktComp:KvTamCoarseness()", KERR_Fatal)));
  KvBuffer<unsigned char> valid(static_cast<unsigned char*>(
      KvCNew(planes * n, 1, "ktComp:KvTamCoarseness()", KERR_Fatal)));
  if (means == nullptr || valid == nullptr) return -100.0;

  // Level 0 is the pixel itself; level k averages the valid level k - 1
  // means of the four sub-windows of the 2^k window whose top-left corner is
  // the pixel, and is valid only where the pixel's own level k - 1 mean is.
  for (size_t i = 0; i < n; ++i) {
    means[i] = gray[i];
    valid[i] = Included(mask, i) ? 1 : 0;
  }
  for (int k = 1; k < levels; ++k) {
    const double* a = means.get() + (k - 1) * n;
    const unsigned char* va = valid.get() + (k - 1) * n;
    double* b = means.get() + k * n;
    unsigned char* vb = valid.get() + k * n;
    const int half = 1 << (k - 1);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const size_t i = static_cast<size_t>(y) * width + x;
        if (!va[i]) continue;
        double sum = a[i];
        int count = 1;
        const bool right = x + half < width;
        const bool below = y + half < height;
        if (right && va[i + half]) sum += a[i + half], ++count;
        if (below && va[i + static_cast<size_t>(half) * width]) {
          sum += a[i + static_cast<size_t>(half) * width], ++count;
        }
        if (right && below && va[i + static_cast<size_t>(half) * width + half]) {
          sum += a[i + static_cast<size_t>(half) * width + half], ++count;
        }
        b[i] = sum / count;
        vb[i] = 1;
      }
    }
  }

  std::vector<uint64_t> chosen(planes, 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const size_t i = static_cast<size_t>(y) * width + x;
      if (!valid[i]) continue;
      double best = 0.0;
      bool rejected = false;
      int choice = -1;
      for (int k = 0; k < levels; ++k) {
        const int d = 1 << k;
        const double* a = means.get() + k * n;
        const unsigned char* va = valid.get() + k * n;
        const size_t up = i - static_cast<size_t>(d) * width;
        const size_t down = i + static_cast<size_t>(d) * width;
        const bool inside = x - d >= 0 && x + d < width && y - d >= 0 && y + d < height;
        if (!inside || !va[i - d] || !va[i + d] || !va[up] || !va[down]) {
          if (!rejected) choice = levels - 1;
          break;
        }
        const double e = std::max(std::fabs(a[i - d] - a[i + d]), std::fabs(a[up] - a[down]));
        if (e < kCoarsenessKeep * best) {
          rejected = true;
        } else {
          choice = k;
          best = e;
        }
      }
      if (choice >= 0) ++chosen[choice];
    }
  }
  double weighted = 0.0;
  double total = 0.0;
  for (int k = 0; k < levels; ++k) {
    weighted += static_cast<double>(uint64_t{1} << k) * static_cast<double>(chosen[k]);
    total += static_cast<double>(chosen[k]);
  }
  return total > 0.0 ? weighted / total : 0.0;
}

int KvComputeTextureFeatures(const unsigned char* pixels, const unsigned char* colorTable,
                             const unsigned char* mask, int width, int height, KvTextureValues* out) {
  const size_t n = width > 0 && height > 0 ? static_cast<size_t>(width) * height : 0;
  bool any = false;
  if (pixels != nullptr && colorTable != nullptr && n > 0) {
    any = mask == nullptr || std::find_if(mask, mask + n, [](unsigned char m) { return m != 0; }) != mask + n;
  }
  if (!any) {
    KvError(KERR_NoPixels, KERR_Fatal, "KvComputeTextureFeatures()");
    return -1;
  }
  KvBuffer<unsigned char> gray(
      static_cast<unsigned char*>(KvNew(n, "ktComp:KvComputeTextureFeatures", KERR_Fatal)));
  if (gray == nullptr) return -1;
  std::memcpy(gray.get(), pixels, n);
  MakeGrayFromPalette(gray.get(), n, colorTable);

  KvTextureValues values;
  values.contrast = KvTextureHundredths(KvTamContrast(gray.get(), mask, width, height));
  if (values.contrast < kFlatContrast) {
    values.directionality = kKvFlatTextureDirectionality;
    values.coarseness = kKvFlatTextureCoarseness;
    *out = values;
    return 0;
  }
  int32_t bins[kBins];
  KvTamDirectionHistogram(gray.get(), mask, width, height, bins);
  values.directionality = KvTextureHundredths(KvTamDirectionSpread(bins));

  // Coarseness works on the image reduced twice, each time to half size.
  const int w1 = (width + 1) / 2;
  const int h1 = (height + 1) / 2;
  const int w2 = (w1 + 1) / 2;
  const int h2 = (h1 + 1) / 2;
  const size_t n1 = static_cast<size_t>(w1) * h1;
  const size_t n2 = static_cast<size_t>(w2) * h2;
  KvBuffer<unsigned char> reduced(
      static_cast<unsigned char*>(KvNew(2 * (n1 + n2), "ktComp:KvComputeTextureFeatures", KERR_Fatal)));
  if (reduced == nullptr) return -1;
  unsigned char* g1 = reduced.get();
  unsigned char* m1 = g1 + n1;
  unsigned char* g2 = m1 + n1;
  unsigned char* m2 = g2 + n2;
  KvTamReduce(gray.get(), mask, width, height, g1, m1);
  KvTamReduce(g1, m1, w1, h1, g2, m2);
  const double coarseness = KvTamCoarseness(g2, m2, w2, h2, kCoarsenessLevels);
  if (coarseness < -99.0) return -1;
  values.coarseness = KvTextureHundredths(coarseness);
  *out = values;
  return 0;
}
