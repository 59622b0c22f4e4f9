// Computation time of the texture, draw and keyword features on a 640 x 480
// photograph, and the distance cost per stored record of texture and draw,
// next to the average colour feature measured in the same run. Times are
// CPU time of the process.
//
//   bench_texture_draw [image.jpg] [records]
#include <leptonica/allheaders.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/KvDatum.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvDrawFeature.h"
#include "features/KvFeature.h"
#include "features/KvFeatureFactories.h"
#include "features/KvTextFeature.h"
#include "features/KvTextureFeature.h"

namespace {

// CPU time of this process: the machine is shared, and wall time would
// count other programs' turns.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock, duration>;
  static time_point now() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return time_point(duration(static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec));
  }
};

struct Photo {
  int w = 640;
  int h = 480;
  std::vector<unsigned char> pixels, palette, mask;
  std::string source;
};

// The photograph scaled to 640 x 480 and quantised to a palette, or a
// synthetic picture of the same size when no photograph can be read.
Photo LoadPhoto(const char* path) {
  Photo p;
  p.pixels.assign(p.w * p.h, 0);
  p.palette.assign(768, 0);
  p.mask.assign(p.w * p.h, 0xFF);
  PIX* original = path != nullptr ? pixRead(path) : nullptr;
  PIX* scaled = original != nullptr ? pixScaleToSize(original, p.w, p.h) : nullptr;
  PIX* rgb = scaled != nullptr ? pixConvertTo32(scaled) : nullptr;
  PIX* quant = rgb != nullptr ? pixOctreeColorQuant(rgb, 240, 0) : nullptr;
  PIXCMAP* cmap = quant != nullptr ? pixGetColormap(quant) : nullptr;
  if (cmap != nullptr && pixGetDepth(quant) == 8) {
    for (int i = 0; i < pixcmapGetCount(cmap) && i < 256; ++i) {
      int r, g, b;
      pixcmapGetColor(cmap, i, &r, &g, &b);
      p.palette[i] = static_cast<unsigned char>(r);
      p.palette[256 + i] = static_cast<unsigned char>(g);
      p.palette[512 + i] = static_cast<unsigned char>(b);
    }
    for (int y = 0; y < p.h; ++y) {
      const l_uint32* line = pixGetData(quant) + y * pixGetWpl(quant);
      for (int x = 0; x < p.w; ++x) p.pixels[y * p.w + x] = static_cast<unsigned char>(GET_DATA_BYTE(line, x));
    }
    p.source = path;
  } else {
    std::mt19937 rng(1);
    for (int i = 0; i < 256; ++i) {
      p.palette[i] = static_cast<unsigned char>(i);
      p.palette[256 + i] = static_cast<unsigned char>((i * 7) & 0xFF);
      p.palette[512 + i] = static_cast<unsigned char>(255 - i);
    }
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x)
        p.pixels[y * p.w + x] = static_cast<unsigned char>(((x / 40 + y / 30) * 37 + rng() % 9) & 0xFF);
    p.source = "synthetic";
  }
  pixDestroy(&quant);
  pixDestroy(&rgb);
  pixDestroy(&scaled);
  pixDestroy(&original);
  return p;
}

template <typename F>
double MillisecondsPerRun(int runs, F f) {
  const auto start = Clock::now();
  for (int i = 0; i < runs; ++i) f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / runs;
}

// Nanoseconds per record of query->Distance over the stored features.
double NanosecondsPerRecord(KvFeatureClass* query, const std::vector<std::unique_ptr<KvFeatureClass>>& stored,
                            KvParameterClass* parms, int passes, double* checksum) {
  double sum = 0.0;
  const auto start = Clock::now();
  for (int p = 0; p < passes; ++p) {
    for (const auto& t : stored) sum += query->Distance(t.get(), parms, -1.0f);
  }
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  *checksum += sum;
  return ns / (static_cast<double>(passes) * stored.size());
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "/usr/share/backgrounds/mate/nature/GreenMeadow.jpg";
  const size_t records = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 20000;
  Photo photo = LoadPhoto(path);
  std::printf("image: %s, %d x %d\n", photo.source.c_str(), photo.w, photo.h);

  KvGenericImageDataClass image;
  image.GetImageDataFromMemory(photo.w, photo.h, photo.pixels.data(), photo.palette.data(), photo.mask.data(),
                               False, False);
  image.SetKeywordText("meadow grass green sky");
  KvParameterClass parms;

  std::unique_ptr<KvFeatureClass> color(NewKvColorFeatureClass());
  const bool haveColor = color != nullptr && color->IsValid();
  KvTextureFeatureClass texture;
  KvDrawFeatureClass draw;
  KvTextFeatureClass text;
  if (!texture.IsValid() || !draw.IsValid()) {
    std::fprintf(stderr, "feature classes could not be set up\n");
    return 1;
  }

  std::printf("\ncomputation per 640x480 image (ms)\n");
  if (haveColor) {
    std::printf("  %-28s %10.3f   (yardstick)\n", "average colour",
                MillisecondsPerRun(20, [&] { color->ComputeFeature(&image, &parms); }));
  } else {
    std::printf("  %-28s %10s   (not available in this build)\n", "average colour", "-");
  }
  std::printf("  %-28s %10.3f\n", "texture", MillisecondsPerRun(10, [&] { texture.ComputeFeature(&image, &parms); }));
  std::printf("  %-28s %10.3f\n", "draw", MillisecondsPerRun(10, [&] { draw.ComputeFeature(&image, &parms); }));
  std::printf("  %-28s %10.4f\n", "keywords", MillisecondsPerRun(1000, [&] { text.ComputeFeature(&image, &parms); }));
  KvTextureValues photoTexture = texture.GetValues();
  std::printf("  texture of the image: coarseness %d contrast %d directionality %d\n", photoTexture.coarseness,
              photoTexture.contrast, photoTexture.directionality);

  // Stored records: the photograph's features with random variations.
  std::mt19937 rng(42);
  std::vector<std::unique_ptr<KvFeatureClass>> storedTexture, storedDraw, storedColor;
  for (size_t i = 0; i < records; ++i) {
    auto t = std::make_unique<KvTextureFeatureClass>();
    KvTextureValues v = photoTexture;
    v.coarseness += static_cast<int32_t>(rng() % 400) - 200;
    v.contrast += static_cast<int32_t>(rng() % 4000) - 2000;
    v.directionality += static_cast<int32_t>(rng() % 600) - 300;
    t->SetValues(v);
    storedTexture.push_back(std::move(t));
    auto d = std::make_unique<KvDrawFeatureClass>();
    for (int c = 0; c < kKvDrawMaxCells; ++c) {
      const int row = c / kKvDrawColumns, column = c % kKvDrawColumns;
      const int16_t base = draw.GetCell(row, column);
      d->SetCell(row, column, rng() % 3 == 0 ? static_cast<int16_t>(rng() % 256) : static_cast<int16_t>(base & 0xFF));
    }
    storedDraw.push_back(std::move(d));
    if (haveColor) {
      std::unique_ptr<KvFeatureClass> c(NewKvColorFeatureClass());
      c->ComputeFeature(&image, &parms);
      storedColor.push_back(std::move(c));
    }
  }

  std::printf("\ndistance per stored record (ns), %zu records\n", records);
  double checksum = 0.0;
  const int passes = 20;
  double yardstick = 0.0;
  if (haveColor) {
    yardstick = NanosecondsPerRecord(color.get(), storedColor, &parms, passes, &checksum);
    std::printf("  %-28s %10.1f   (yardstick)\n", "average colour", yardstick);
  } else {
    // Stand-in: the average colour distance is a squared distance of three
    // integers.
    std::vector<int32_t> values(records * 3);
    for (auto& v : values) v = static_cast<int32_t>(rng() % 30000);
    const int32_t q[3] = {12000, 15000, 9000};
    volatile double sink = 0.0;
    const auto start = Clock::now();
    for (int p = 0; p < passes; ++p) {
      for (size_t i = 0; i < records; ++i) {
        int64_t s = 0;
        for (int k = 0; k < 3; ++k) {
          const int64_t d = q[k] - values[i * 3 + k];
          s += d * d;
        }
        sink = sink + static_cast<double>(s) * (1.0 / (16384.0 * 16384.0));
      }
    }
    yardstick = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / (passes * records);
    std::printf("  %-28s %10.1f   (yardstick: stand-in, three-int squared distance)\n", "average colour", yardstick);
  }

  KvTextureFeatureClass textureQuery;
  textureQuery.SetValues(photoTexture);
  KvParameterClass textureParms;
  textureParms = *texture.GetParameters();
  const double tns = NanosecondsPerRecord(&textureQuery, storedTexture, &textureParms, passes, &checksum);
  std::printf("  %-28s %10.1f   (%.1fx)\n", "texture", tns, tns / yardstick);

  struct DrawCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> texts;
  } drawCases[] = {
      {"draw MaxOffset 0", {{"MaxOffset", "0"}}},
      {"draw MaxOffset 2", {{"MaxOffset", "2"}}},
      {"draw MaxOffset 2, halo", {{"MaxOffset", "2"}, {"Halo", "T"}}},
  };
  // A sketch: three painted areas on an empty canvas.
  std::vector<int16_t> sketch(kKvDrawMaxCells, -1);
  for (int y = 1; y <= 3; ++y)
    for (int x = 1; x <= 3; ++x) sketch[y * kKvDrawColumns + x] = draw.GetCell(2, 2);
  for (int y = 5; y <= 7; ++y)
    for (int x = 7; x <= 10; ++x) sketch[y * kKvDrawColumns + x] = draw.GetCell(6, 8);
  sketch[11] = draw.GetCell(0, 11);
  for (int sketched = 0; sketched < 2; ++sketched) {
   for (const DrawCase& c : drawCases) {
    KvDrawFeatureClass query;
    for (int i = 0; i < kKvDrawMaxCells; ++i) {
      query.SetCell(i / kKvDrawColumns, i % kKvDrawColumns,
                    sketched ? sketch[i] : draw.GetCell(i / kKvDrawColumns, i % kKvDrawColumns));
    }
    KvParameterClass drawParms;
    for (const auto& t : c.texts) drawParms.SetParameter(t.first, t.second);
    query.PostProcessQueryFeatures(&drawParms);
    const double dns = NanosecondsPerRecord(&query, storedDraw, &drawParms, passes / 4, &checksum);
    std::printf("  %-28s %10.1f   (%.1fx, %s, %d elements)\n", c.name, dns, dns / yardstick,
                sketched ? "sketch" : "photograph", query.GetElementCount());
   }
  }
  std::printf("\nchecksum %g\n", checksum);
  return 0;
}
