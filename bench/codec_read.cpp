// Read-and-palettize speed of the codec library against plain decoding.
//
//   bench_codec_read [folder-of-jpeg-photographs] [rounds]
//
// Makes 640x480 JPEG copies of the photographs in a temporary folder, then
// measures in the same run: images per second for Leptonica decoding to
// 32 bpp (the baseline), for gen_img_read_sizes + gen_img_get_palettized, and
// for the same read with a decoding deadline set (an hour ahead, so that
// only the cost of looking at it shows), and for decoding plus Leptonica's
// median-cut quantizer (for reference). Prints
// the ratio to the baseline and the mean absolute error per channel of each
// palettized result against the decoded photograph.
#include <dirent.h>
#include <unistd.h>

#include <leptonica/allheaders.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gen_img.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// CPU time of this thread in seconds: the machine may be shared, and time
// spent waiting for a core is not the codec's.
double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

bool HasJpegExtension(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto ends = [&lower](const char* ext) {
    std::string e(ext);
    return lower.size() > e.size() && lower.compare(lower.size() - e.size(), e.size(), e) == 0;
  };
  return ends(".jpg") || ends(".jpeg");
}

std::vector<std::string> ListPhotos(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    if (HasJpegExtension(e->d_name)) names.push_back(folder + "/" + e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Writes a 640x480 copy of each photograph into dir; returns the copies.
std::vector<std::string> MakeCopies(const std::vector<std::string>& photos, const std::string& dir) {
  std::vector<std::string> copies;
  for (size_t i = 0; i < photos.size(); ++i) {
    PIX* pix = pixRead(photos[i].c_str());
    if (pix == nullptr) continue;
    PIX* scaled = pixScaleToSize(pix, kWidth, kHeight);
    pixDestroy(&pix);
    if (scaled == nullptr) continue;
    std::string path = dir + "/photo" + std::to_string(i) + ".jpg";
    if (pixWriteJpeg(path.c_str(), scaled, 85, 0) == 0) copies.push_back(path);
    pixDestroy(&scaled);
  }
  return copies;
}

// Mean absolute error per channel of indices + planar palette against pix.
double MeanAbsError(PIX* pix, const unsigned char* indices, const unsigned char* palette) {
  int w = pixGetWidth(pix), h = pixGetHeight(pix);
  double sum = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      l_int32 r, g, b;
      pixGetRGBPixel(pix, x, y, &r, &g, &b);
      int e = indices[static_cast<size_t>(y) * w + x];
      sum += std::abs(r - palette[e]) + std::abs(g - palette[256 + e]) + std::abs(b - palette[512 + e]);
    }
  }
  return sum / (3.0 * w * h);
}

double MeanAbsErrorCmap(PIX* pix, PIX* quant) {
  PIX* rgb = pixRemoveColormap(quant, REMOVE_CMAP_TO_FULL_COLOR);
  if (rgb == nullptr) return -1;
  int w = pixGetWidth(pix), h = pixGetHeight(pix);
  double sum = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      l_int32 r, g, b, r2, g2, b2;
      pixGetRGBPixel(pix, x, y, &r, &g, &b);
      pixGetRGBPixel(rgb, x, y, &r2, &g2, &b2);
      sum += std::abs(r - r2) + std::abs(g - g2) + std::abs(b - b2);
    }
  }
  pixDestroy(&rgb);
  return sum / (3.0 * w * h);
}

}  // namespace

int main(int argc, char** argv) {
  setMsgSeverity(L_SEVERITY_NONE);
  std::string folder = argc > 1 ? argv[1] : "/usr/share/backgrounds/mate/nature";
  int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  std::vector<std::string> photos = ListPhotos(folder);
  if (photos.empty()) {
    std::fprintf(stderr, "no JPEG photographs in %s\n", folder.c_str());
    return 1;
  }
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr ? base : "/tmp") + "/codec_read.XXXXXX";
  std::vector<char> dirbuf(templ.begin(), templ.end());
  dirbuf.push_back('\0');
  if (mkdtemp(dirbuf.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  std::string dir(dirbuf.data());
  std::vector<std::string> copies = MakeCopies(photos, dir);
  if (copies.empty()) {
    std::fprintf(stderr, "could not make 640x480 copies\n");
    return 1;
  }

  std::vector<unsigned char> pixels(static_cast<size_t>(kWidth) * kHeight);
  unsigned char palette[768];
  double t_decode = 0, t_palettize = 0, t_deadline = 0, t_median = 0;
  long failures = 0;
  // Every copy through gen_img; with a deadline, one an hour ahead. The CPU
  // seconds it took.
  auto read_all = [&](bool deadline) {
    if (deadline) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      gen_img_set_deadline((static_cast<long long>(now.tv_sec) + 3600) * 1000000000);
    }
    const double start = CpuSeconds();
    for (const std::string& path : copies) {
      gen_img_state state = {};
      int w = 0, h = 0;
      if (gen_img_read_sizes(path.c_str(), &w, &h, &state, 0) != 0 ||
          static_cast<size_t>(w) * h > pixels.size() ||
          gen_img_get_palettized(&state, pixels.data(), palette) != 0) {
        gen_img_read_close(&state);
        ++failures;
      }
    }
    const double spent = CpuSeconds() - start;
    gen_img_set_deadline(0);
    return spent;
  };
  // Interleaved rounds so that both measures see the same machine load.
  for (int round = 0; round < rounds; ++round) {
    double t0 = CpuSeconds();
    for (const std::string& path : copies) {
      PIX* pix = pixRead(path.c_str());
      if (pix == nullptr) ++failures;
      pixDestroy(&pix);
    }
    double t1 = CpuSeconds();
    // The reads with and without a deadline take turns at going first.
    const double first = read_all(round % 2 == 1);
    const double second = read_all(round % 2 == 0);
    t_palettize += round % 2 == 0 ? first : second;
    t_deadline += round % 2 == 0 ? second : first;
    double t2 = CpuSeconds();
    if (round < 3) {  // the reference quantizer is slow; a few rounds suffice
      for (const std::string& path : copies) {
        PIX* pix = pixRead(path.c_str());
        PIX* quant = pix != nullptr ? pixMedianCutQuant(pix, 0) : nullptr;
        pixDestroy(&quant);
        pixDestroy(&pix);
      }
      t_median += CpuSeconds() - t2;
    }
    t_decode += t1 - t0;
  }

  double mae_ours = 0, mae_median = 0;
  for (const std::string& path : copies) {
    PIX* pix = pixRead(path.c_str());
    gen_img_state state = {};
    int w = 0, h = 0;
    gen_img_read_sizes(path.c_str(), &w, &h, &state, 0);
    gen_img_get_palettized(&state, pixels.data(), palette);
    mae_ours += MeanAbsError(pix, pixels.data(), palette);
    PIX* quant = pixMedianCutQuant(pix, 0);
    mae_median += MeanAbsErrorCmap(pix, quant);
    pixDestroy(&quant);
    pixDestroy(&pix);
  }
  for (const std::string& path : copies) std::remove(path.c_str());
  rmdir(dir.c_str());

  double n = static_cast<double>(copies.size());
  double decode_rate = n * rounds / t_decode;
  double palettize_rate = n * rounds / t_palettize;
  double median_rate = n * std::min(rounds, 3) / t_median;
  std::printf("%zu photographs at %dx%d, %d rounds\n", copies.size(), kWidth, kHeight, rounds);
  std::printf("decode only (Leptonica, 32 bpp):        %8.1f images/s\n", decode_rate);
  std::printf("gen_img read + palettize:              %8.1f images/s  ratio %.2f\n",
              palettize_rate, decode_rate / palettize_rate);
  const double deadline_rate = n * rounds / t_deadline;
  std::printf("gen_img read + palettize, deadline set: %8.1f images/s  ratio %.2f\n", deadline_rate,
              decode_rate / deadline_rate);
  std::printf("decode + Leptonica median cut (ref.):  %8.1f images/s  ratio %.2f\n", median_rate,
              decode_rate / median_rate);
  std::printf("mean absolute error per channel: gen_img %.2f, median cut %.2f\n", mae_ours / n,
              mae_median / n);
  if (failures != 0) {
    std::printf("%ld reads failed\n", failures);
    return 1;
  }
  return 0;
}
