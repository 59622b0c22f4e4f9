// The process-wide colour tables built from the settings: the merged N-colour
// table clustered from the base table and the RGB palette ordered by the
// eight corners of the RGB cube; the coordinate weights from parameter texts;
// the index histogram of an image.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "features/KvColorSpace.h"

namespace {

constexpr int kBaseColors = 256;

struct MetricSetting {
  const char* name;
  int type;
  double scale;
};

const MetricSetting kMetrics[] = {
    {"MTMQFM", 1, 0.000283421},
    {"MTMEUC", 0, 0.000376446},
    {"MTMHUE", 2, 0.000399469},
};

struct KvDeleter {
  void operator()(void* p) const { KvDelete(p); }
};

// The tables of one build. A rebuild for another colour count keeps the old
// tables alive (retired) so that pointers handed out earlier stay valid.
struct ColorTables {
  std::unique_ptr<KvColorRecord, KvDeleter> merged;
  int count = 0;
  std::unique_ptr<unsigned char, KvDeleter> palette;
};

struct ColorState {
  std::mutex mutex;
  bool built = false;
  ColorTables current;
  std::vector<ColorTables> retired;
  int metricType = 1;
  double metricScale = 0.000283421;
  double sigma = 7.0;
};

ColorState& State() {
  static ColorState state;
  return state;
}

// Step 5 of the initialisation: the base table clustered to n colours. A
// pinned output keeps the RGB of the base row of the same index (pinned rows
// come first and survive clustering in order); the others take the RGB of
// their MTM coordinates. 0 or -1.
int BuildMergedTable(int n, ColorTables* out) {
  // KvCluster refuses impossible counts; allocate for at least one record.
  const size_t records = n > 0 && n <= kBaseColors ? static_cast<size_t>(n) : 1;
  std::unique_ptr<KvColorRecord, KvDeleter> merged(static_cast<KvColorRecord*>(
      KvCNew(records, sizeof(KvColorRecord), "kmInit:KvColorInitialize", KERR_Fatal)));
  if (merged == nullptr) return -1;
  if (KvCluster(kKvBaseColorTable, kBaseColors, merged.get(), n) != 0) return -1;
  std::unique_ptr<int, KvDeleter> map(
      static_cast<int*>(KvCNew(kBaseColors, sizeof(int), "kmInit:KvColorInitialize", KERR_Fatal)));
  if (map == nullptr) return -1;
  if (KvNnClustMap(kKvBaseColorTable, kBaseColors, merged.get(), n, 0, map.get()) != 0) return -1;
  KvColorRecord* table = merged.get();
  for (int i = 0; i < n; ++i) {
    KvColorRecord& r = table[i];
    if (r.pinned) {
      r.red = kKvBaseColorTable[i].red;
      r.green = kKvBaseColorTable[i].green;
      r.blue = kKvBaseColorTable[i].blue;
      continue;
    }
    unsigned char red = 0, green = 0, blue = 0;
    if (MTMToRgbLut(1, &r.c[0], &r.c[1], &r.c[2], &red, &green, &blue) != 0) return -1;
    r.red = red;
    r.green = green;
    r.blue = blue;
  }
  out->merged = std::move(merged);
  out->count = n;
  unsigned char* palette = nullptr;
  if (setRGBHistogramLut(table, n, &palette) != 0) return -1;
  out->palette.reset(palette);
  return 0;
}

}  // namespace

int KvColorInitialize() {
  int metricType = 1;
  double metricScale = kMetrics[0].scale;
  const char* metric = Kvgetenv("KivoMTMmetricType");
  if (metric != nullptr) {
    bool known = false;
    for (const MetricSetting& m : kMetrics) {
      if (std::strcmp(metric, m.name) == 0) {
        metricType = m.type;
        metricScale = m.scale;
        known = true;
      }
    }
    if (!known) {
      std::printf("Unknown MTM metric type \"%s\" specified in env KivoMTMmetricType, "
                  "defaulting to special Quadratic form\n", metric);
      std::fflush(stdout);
    }
  }
  const char* sigmaText = Kvgetenv("KivoColorDistSigma");
  const double sigma = sigmaText != nullptr ? std::atof(sigmaText) : 7.0;
  const char* histText = Kvgetenv("KivoColorHistString");
  // The leading number is the colour count; a suffix such as "m13" has no
  // effect.
  const int n = std::atoi(histText != nullptr ? histText : "256m13");

  ColorState& state = State();
  try {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.built || n != state.current.count) {
      ColorTables tables;
      if (BuildMergedTable(n, &tables) != 0) return -1;
      if (state.built) state.retired.push_back(std::move(state.current));
      state.current = std::move(tables);
      state.built = true;
    }
    state.metricType = metricType;
    state.metricScale = metricScale;
    state.sigma = sigma;
  } catch (const std::exception&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "kmInit:KvColorInitialize");
    return -1;
  }
  return 0;
}

const unsigned char* KvGetRGBHistogramLut() {
  ColorState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.built ? state.current.palette.get() : nullptr;
}

const KvColorRecord* KvGetMergedColorTable(int* count) {
  ColorState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (count != nullptr) *count = state.built ? state.current.count : 0;
  return state.built ? state.current.merged.get() : nullptr;
}

int KvGetMTMMetricType() {
  ColorState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.metricType;
}

double KvGetMTMMetricScale() {
  ColorState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.metricScale;
}

double KvGetColorDistSigma() {
  ColorState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.sigma;
}

int setRGBHistogramLut(const KvColorRecord* table, int n, unsigned char** palette) {
  if (palette == nullptr) return -1;
  auto* lut = static_cast<unsigned char*>(KvCNew(3 * 256, 1, "kmInit:setRGBHistogramLut", KERR_Fatal));
  if (lut == nullptr) return -1;
  const int colors = table == nullptr || n < 0 ? 0 : (n > 256 ? 256 : n);
  // Squared RGB distance of every colour to every corner; bit 4 of a corner
  // is red at 255, bit 2 green, bit 1 blue.
  int32_t distance[8][256];
  for (int k = 0; k < 8; ++k) {
    const int cr = k & 4 ? 255 : 0, cg = k & 2 ? 255 : 0, cb = k & 1 ? 255 : 0;
    for (int c = 0; c < colors; ++c) {
      const int dr = table[c].red - cr, dg = table[c].green - cg, db = table[c].blue - cb;
      distance[k][c] = dr * dr + dg * dg + db * db;
    }
  }
  bool placed[256] = {};
  for (int row = 0; row < 32; ++row) {
    for (int k = 0; k < 8; ++k) {
      int best = -1;
      for (int c = 0; c < colors; ++c) {
        if (!placed[c] && (best < 0 || distance[k][c] < distance[k][best])) best = c;
      }
      if (best < 0) {
        *palette = lut;
        return 0;
      }
      const int slot = k * 32 + row;
      lut[slot] = static_cast<unsigned char>(table[best].red);
      lut[256 + slot] = static_cast<unsigned char>(table[best].green);
      lut[512 + slot] = static_cast<unsigned char>(table[best].blue);
      placed[best] = true;
    }
  }
  *palette = lut;
  return 0;
}

void KvCoordinateWeights(const char* const texts[3], const double variances[3], double weights[3]) {
  for (int i = 0; i < 3; ++i) {
    const char* p = texts[i] != nullptr ? texts[i] : "v";
    if (p[0] == 'V' || p[0] == 'v') {
      double factor = std::atof(p + 1);
      if (factor == 0.0) factor = 1.0;
      weights[i] = variances[i] != 0.0 ? factor / variances[i] : factor;
    } else {
      weights[i] = std::atof(p);
    }
  }
}

uint64_t KvCountIndexHistogram(const unsigned char* pixels, const unsigned char* mask, unsigned long count,
                               uint32_t bins[256]) {
  std::memset(bins, 0, 256 * sizeof(uint32_t));
  uint64_t total = 0;
  if (pixels != nullptr) {
    if (mask == nullptr) {
      for (unsigned long i = 0; i < count; ++i) ++bins[pixels[i]];
      total = count;
    } else {
      for (unsigned long i = 0; i < count; ++i) {
        const uint32_t in = mask[i] != 0 ? 1u : 0u;
        bins[pixels[i]] += in;
        total += in;
      }
    }
  }
  if (total == 0) KvError(KERR_NoPixels, KERR_NonFatal, "kcComp");
  return total;
}
