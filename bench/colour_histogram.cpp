// Colour feature speed: histogram computation on a 640 x 480 photograph, and
// the per-record cost of each distance next to a plain 256-element dot
// product measured in the same run.
//
// Usage: bench_colour_histogram [photo.jpg]
// The photograph is scaled to 640 x 480 and reduced to a 256-colour palette
// with Leptonica; without a readable photograph a synthetic image is used.
#include <leptonica/allheaders.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/KvDatum.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvColorFeature.h"
#include "features/KvColorHistogramFeature.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kRecords = 4096;
constexpr int kPasses = 7;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

struct Image {
  std::vector<unsigned char> pixels = std::vector<unsigned char>(kWidth * kHeight);
  std::vector<unsigned char> palette = std::vector<unsigned char>(768);
  std::vector<unsigned char> mask = std::vector<unsigned char>(kWidth * kHeight, 0xFF);
  const char* source = "synthetic";
};

bool LoadPhoto(const char* path, Image* image) {
  PIX* pix = pixRead(path);
  if (pix == nullptr) return false;
  PIX* rgb = pixConvertTo32(pix);
  pixDestroy(&pix);
  PIX* scaled = rgb != nullptr ? pixScaleToSize(rgb, kWidth, kHeight) : nullptr;
  pixDestroy(&rgb);
  PIX* quant = scaled != nullptr ? pixOctreeColorQuant(scaled, 240, 0) : nullptr;
  pixDestroy(&scaled);
  if (quant == nullptr || pixGetDepth(quant) != 8 || pixGetColormap(quant) == nullptr) {
    pixDestroy(&quant);
    return false;
  }
  PIXCMAP* cmap = pixGetColormap(quant);
  for (int i = 0; i < pixcmapGetCount(cmap); ++i) {
    l_int32 r, g, b;
    pixcmapGetColor(cmap, i, &r, &g, &b);
    image->palette[i] = static_cast<unsigned char>(r);
    image->palette[256 + i] = static_cast<unsigned char>(g);
    image->palette[512 + i] = static_cast<unsigned char>(b);
  }
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      l_uint32 v = 0;
      pixGetPixel(quant, x, y, &v);
      image->pixels[y * kWidth + x] = static_cast<unsigned char>(v);
    }
  }
  pixDestroy(&quant);
  image->source = path;
  return true;
}

// Smooth colour gradients with a little noise.
void Synthesize(Image* image) {
  for (int i = 0; i < 256; ++i) {
    image->palette[i] = static_cast<unsigned char>((i * 37) & 255);
    image->palette[256 + i] = static_cast<unsigned char>((i * 91 + 40) & 255);
    image->palette[512 + i] = static_cast<unsigned char>((i * 13 + 100) & 255);
  }
  uint32_t state = 1;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      state = state * 1103515245u + 12345u;
      image->pixels[y * kWidth + x] = static_cast<unsigned char>((x / 40 + y / 30 * 16 + ((state >> 16) & 3)) & 255);
    }
  }
}

// Runs body over every record kPasses times; the best pass in ns per record.
template <typename Body>
double NsPerRecord(Body body) {
  double best = 1e30;
  for (int pass = 0; pass < kPasses; ++pass) {
    const auto start = Clock::now();
    body();
    best = std::min(best, Seconds(start, Clock::now()));
  }
  return best / kRecords * 1e9;
}

double PlainDot(const double* a, const double* b) {
  double s = 0.0;
  for (int i = 0; i < 256; ++i) s += a[i] * b[i];
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  setLeptDebugOK(0);
  Image image;
  const char* path = argc > 1 ? argv[1] : "/usr/share/backgrounds/mate/nature/Garden.jpg";
  if (!LoadPhoto(path, &image)) Synthesize(&image);

  // Histogram computation.
  KvGenericImageDataClass data;
  data.GetImageDataFromMemory(kWidth, kHeight, image.pixels.data(), image.palette.data(), image.mask.data(), False,
                              False);
  KvColorHistogramFeatureClass query;
  double computeBest = 1e30, countBest = 1e30;
  volatile uint64_t sink = 0;
  for (int pass = 0; pass < kPasses; ++pass) {
    auto start = Clock::now();
    if (query.ComputeFeature(&data, nullptr) != 0) {
      std::fprintf(stderr, "histogram computation failed\n");
      return 1;
    }
    computeBest = std::min(computeBest, Seconds(start, Clock::now()));
    uint32_t bins[256];
    start = Clock::now();
    sink = sink + KvCountIndexHistogram(image.pixels.data(), image.mask.data(), kWidth * kHeight, bins);
    countBest = std::min(countBest, Seconds(start, Clock::now()));
  }
  KvColorFeatureClass averageQuery;
  averageQuery.ComputeFeature(&data, nullptr);
  std::printf("image: %s, %d x %d, %d non-zero bins, selfTerm %d\n", image.source, kWidth, kHeight,
              static_cast<int>(std::count_if(query.GetBins(), query.GetBins() + 256, [](int16_t b) { return b != 0; })),
              query.GetSelfTerm());
  std::printf("histogram computation:        %8.3f ms   (baseline: index histogram of the same pixels %.3f ms)\n",
              computeBest * 1e3, countBest * 1e3);

  // Stored records: histograms of tiles of the photograph, encoded.
  std::vector<unsigned char> histRecords(static_cast<size_t>(kRecords) * 516);
  std::vector<unsigned char> colorRecords(static_cast<size_t>(kRecords) * 12);
  std::vector<std::unique_ptr<KvColorHistogramFeatureClass>> targets;
  std::vector<std::unique_ptr<KvColorFeatureClass>> colorTargets;
  {
    const int tile = 40;
    std::vector<unsigned char> pixels(tile * tile), mask(tile * tile, 0xFF);
    for (int r = 0; r < kRecords; ++r) {
      const int tx = (r * 7) % (kWidth / tile), ty = (r * 3 + r / 16) % (kHeight / tile);
      for (int y = 0; y < tile; ++y) {
        std::memcpy(&pixels[y * tile], &image.pixels[(ty * tile + y) * kWidth + tx * tile], tile);
      }
      // Vary the records so that they are not all alike.
      for (int i = 0; i < r % 97; ++i) pixels[(i * 131 + r) % (tile * tile)] = static_cast<unsigned char>(r + i);
      KvGenericImageDataClass tileData;
      tileData.GetImageDataFromMemory(tile, tile, pixels.data(), image.palette.data(), mask.data(), False, False);
      auto h = std::make_unique<KvColorHistogramFeatureClass>();
      auto c = std::make_unique<KvColorFeatureClass>();
      h->ComputeFeature(&tileData, nullptr);
      c->ComputeFeature(&tileData, nullptr);
      KvDatumClass bytes;
      h->ToByteString(bytes);
      std::memcpy(&histRecords[static_cast<size_t>(r) * 516], bytes.Data(), 516);
      c->ToByteString(bytes);
      std::memcpy(&colorRecords[static_cast<size_t>(r) * 12], bytes.Data(), 12);
      targets.push_back(std::move(h));
      colorTargets.push_back(std::move(c));
    }
  }
  // Baseline vectors: the same bins as doubles, one 256-double vector per
  // record, against a 256-double query vector.
  std::vector<double> baseline(static_cast<size_t>(kRecords) * 256), queryVector(256);
  for (int r = 0; r < kRecords; ++r) {
    for (int i = 0; i < 256; ++i) baseline[static_cast<size_t>(r) * 256 + i] = targets[r]->GetBins()[i];
  }
  for (int i = 0; i < 256; ++i) queryVector[i] = query.GetBins()[i] * 0.5;

  KvParameterClass* parms = query.GetParameters();
  volatile double total = 0;
  const double dot = NsPerRecord([&] {
    double s = 0;
    for (int r = 0; r < kRecords; ++r) s += PlainDot(&baseline[static_cast<size_t>(r) * 256], queryVector.data());
    total = total + s;
  });
  const double dotFixed = NsPerRecord([&] {
    double s = 0;
    for (int r = 0; r < kRecords; ++r) s += KvDot256(&baseline[static_cast<size_t>(r) * 256], queryVector.data());
    total = total + s;
  });

  auto distanceAlone = [&](KvFeatureClass& q, auto& stored) {
    return NsPerRecord([&] {
      double s = 0;
      for (int r = 0; r < kRecords; ++r) s += q.Distance(stored[r].get(), parms, 0.0f);
      total = total + s;
    });
  };
  auto decodeAndDistance = [&](KvFeatureClass& q, KvFeatureClass& target, const std::vector<unsigned char>& records,
                               unsigned long size) {
    return NsPerRecord([&] {
      double s = 0;
      KvDatumClass datum;
      for (int r = 0; r < kRecords; ++r) {
        datum.SetBytes(size, const_cast<unsigned char*>(&records[static_cast<size_t>(r) * size]), KvOwnNone);
        target.FromByteString(datum);
        s += q.Distance(&target, parms, 0.0f);
      }
      datum.SetBytes(0, nullptr, KvOwnNone);
      total = total + s;
    });
  };

  KvColorHistogramFeatureClass histTarget;
  KvColorFeatureClass colorTarget;
  const double quadAlone = distanceAlone(query, targets);
  const double quadDecode = decodeAndDistance(query, histTarget, histRecords, 516);

  // Partial matching: a four-colour picker-like query, and the photograph's
  // own histogram without self term (an image scaled by its coverage).
  KvColorHistogramFeatureClass picker, partialPhoto;
  {
    std::vector<unsigned char> bytes(516, 0);
    const int colours[4][2] = {{4, 400}, {2, 300}, {7, 200}, {87, 100}};
    for (const auto& c : colours) {
      bytes[2 * c[0]] = static_cast<unsigned char>(c[1] >> 8);
      bytes[2 * c[0] + 1] = static_cast<unsigned char>(c[1]);
    }
    bytes[512] = bytes[513] = bytes[514] = 0xFF;
    bytes[515] = 0x9C;  // -100
    KvDatumClass datum;
    datum.SetBytes(516, bytes.data(), KvOwnNone);
    picker.FromByteString(datum);
    KvDatumClass photoBytes;
    query.ToByteString(photoBytes);
    std::memcpy(photoBytes.MutableData() + 512, bytes.data() + 512, 4);
    partialPhoto.FromByteString(photoBytes);
    datum.SetBytes(0, nullptr, KvOwnNone);
  }
  const double pickAlone = distanceAlone(picker, targets);
  const double pickDecode = decodeAndDistance(picker, histTarget, histRecords, 516);
  const double photoAlone = distanceAlone(partialPhoto, targets);
  const double photoDecode = decodeAndDistance(partialPhoto, histTarget, histRecords, 516);
  const double avgAlone = distanceAlone(averageQuery, colorTargets);
  const double avgDecode = decodeAndDistance(averageQuery, colorTarget, colorRecords, 12);

  std::printf("per stored record (%d records, best of %d passes):\n", kRecords, kPasses);
  std::printf("  baseline: plain 256-element dot product        %8.1f ns\n", dot);
  std::printf("  baseline: the same in the distance's fixed order %6.1f ns\n", dotFixed);
  std::printf("  quadratic form:      distance %8.1f ns (%.2fx dot)   decode+distance %8.1f ns (%.2fx dot)\n",
              quadAlone, quadAlone / dot, quadDecode, quadDecode / dot);
  std::printf("  partial, 4 colours:  distance %8.1f ns (%.2fx dot)   decode+distance %8.1f ns (%.2fx dot)\n",
              pickAlone, pickAlone / dot, pickDecode, pickDecode / dot);
  std::printf("  partial, photograph: distance %8.1f ns (%.2fx dot)   decode+distance %8.1f ns (%.2fx dot)\n",
              photoAlone, photoAlone / dot, photoDecode, photoDecode / dot);
  std::printf("  average colour:      distance %8.1f ns (%.2fx dot)   decode+distance %8.1f ns (%.2fx dot)\n",
              avgAlone, avgAlone / dot, avgDecode, avgDecode / dot);
  return total == 12345.678 ? 1 : 0;
}
