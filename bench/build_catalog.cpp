// Catalog build speed: KvMkDbs's work over a folder of photographs with the
// average colour and colour histogram features, against reading and
// computing the same features without storing them, measured in the same run.
//
//   bench_build_catalog [folder-of-jpeg-photographs] [rounds]
//
// Makes 640x480 JPEG copies of the photographs in a temporary folder, each in
// four orientations (so a catalog holds four times as many distinct images
// as there are photographs), then reports images per second for
//   read     read and palettize only (the codec through the image reader),
//   compute  read, compute both features and encode their byte strings,
//   build    the build command in-process (MakeDatabase on a fresh catalog in
//            the temporary folder),
//   in /dev/shm  the same build with the catalog on a memory file system,
//            where the disk syncs of every table close cost nothing,
// and the storing overhead, build time over compute time minus one. Times are
// wall-clock (storing waits for the disk) and CPU time of the process.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <leptonica/allheaders.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "KivoWrap.h"
#include "KvFactory.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"

namespace {

struct Clock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();
  double Wall() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  }
  double Cpu() const { return static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC; }
};

std::vector<std::string> MakeCopies(const std::string& folder, const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return names;
  std::vector<std::string> photos;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() > 4 && (name.compare(name.size() - 4, 4, ".jpg") == 0)) photos.push_back(folder + "/" + name);
  }
  closedir(d);
  std::sort(photos.begin(), photos.end());
  for (size_t i = 0; i < photos.size(); ++i) {
    PIX* pix = pixRead(photos[i].c_str());
    if (pix == nullptr) continue;
    PIX* scaled = pixScaleToSize(pix, 640, 480);
    pixDestroy(&pix);
    if (scaled == nullptr) continue;
    for (int turn = 0; turn < 4; ++turn) {
      PIX* variant = turn == 0   ? pixClone(scaled)
                     : turn == 1 ? pixFlipLR(nullptr, scaled)
                     : turn == 2 ? pixFlipTB(nullptr, scaled)
                                 : pixRotate180(nullptr, scaled);
      if (variant == nullptr) continue;
      const std::string name = "photo" + std::to_string(i) + "_" + std::to_string(turn) + ".jpg";
      if (pixWriteJpeg((dir + "/" + name).c_str(), variant, 85, 0) == 0) names.push_back(name);
      pixDestroy(&variant);
    }
    pixDestroy(&scaled);
  }
  return names;
}

void Report(const char* what, size_t images, double wall, double cpu) {
  std::printf("  %-12s %7.1f images/s wall (%6.2f ms/image), %7.1f images/s cpu\n", what, images / wall,
              1000.0 * wall / images, images / cpu);
}

// One in-process build command over images into a fresh catalog in db;
// false when it fails.
bool Build(const std::string& db, const char* const* featureNames, const std::vector<std::string>& images,
           double* wall, double* cpu) {
  std::vector<std::string> args = {"KvMkDbs", "-d", db, "-c", "bench", "-f", featureNames[0], "-f", featureNames[1]};
  args.insert(args.end(), images.begin(), images.end());
  std::vector<char*> argvCopy;
  for (std::string& a : args) argvCopy.push_back(&a[0]);
  argvCopy.push_back(nullptr);
  // The build command reports one line per image; keep them out of the
  // numbers' way.
  KvStringClass text(4096ul, True);
  Clock c;
  KivoWrapClass kivo;
  const int rc = kivo.MakeDatabase(static_cast<int>(argvCopy.size() - 1), argvCopy.data(), &text);
  *wall += c.Wall();
  *cpu += c.Cpu();
  if (rc != 0) KvPrintErrorMessage(stderr);
  return rc == 0;
}

void Overhead(const char* what, double wall, double cpu, double computeWall, double computeCpu) {
  std::printf("storing overhead over read+compute%s: %.1f%% wall, %.1f%% cpu (target: at most 25%%)\n", what,
              100.0 * (wall / computeWall - 1.0), 100.0 * (cpu / computeCpu - 1.0));
}

}  // namespace

int main(int argc, char** argv) {
  setMsgSeverity(L_SEVERITY_NONE);
  const std::string folder = argc > 1 ? argv[1] : "/usr/share/backgrounds/mate/nature";
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  char pattern[] = "/tmp/kvbuildXXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = pattern;
  const std::vector<std::string> images = MakeCopies(folder, dir);
  if (images.empty()) {
    std::fprintf(stderr, "no JPEG photographs in %s\n", folder.c_str());
    return 1;
  }
  if (chdir(dir.c_str()) != 0) return 1;
  std::printf("catalog build, %zu images of 640x480, %d rounds, features average colour + histogram\n",
              images.size(), rounds);

  const char* featureNames[] = {"KvColorFeatureClass", "KvColorHistogramFeatureClass"};
  std::unique_ptr<KvFeatureClass> features[2];
  for (int f = 0; f < 2; ++f) features[f].reset(KvCreateFeatureClass(featureNames[f]));
  if (!features[0] || !features[1]) return 1;

  // A memory file system, when there is one, for the build without disk
  // waits.
  std::string shm;
  char shmPattern[] = "/dev/shm/kvbuildXXXXXX";
  if (mkdtemp(shmPattern) != nullptr) shm = shmPattern;

  double readWall = 0, readCpu = 0, computeWall = 0, computeCpu = 0, buildWall = 0, buildCpu = 0;
  double shmWall = 0, shmCpu = 0;
  size_t done = 0;
  for (int round = 0; round < rounds; ++round) {
    {
      Clock c;
      for (const std::string& name : images) {
        KvGenericImageDataClass image;
        if (image.ReadImageDataFromFile(name.c_str(), nullptr, False) != 0) return 1;
      }
      readWall += c.Wall();
      readCpu += c.Cpu();
    }
    {
      Clock c;
      for (const std::string& name : images) {
        KvGenericImageDataClass image;
        if (image.ReadImageDataFromFile(name.c_str(), nullptr, False) != 0) return 1;
        for (auto& feature : features) {
          KvDatumClass bytes;
          if (feature->ComputeFeature(&image, feature->GetParameters()) != 0 || feature->ToByteString(bytes) != 0) {
            return 1;
          }
        }
      }
      computeWall += c.Wall();
      computeCpu += c.Cpu();
    }
    if (!Build("db" + std::to_string(round), featureNames, images, &buildWall, &buildCpu)) return 1;
    if (!shm.empty() && !Build(shm + "/db" + std::to_string(round), featureNames, images, &shmWall, &shmCpu)) {
      return 1;
    }
    done += images.size();
  }
  Report("read", done, readWall, readCpu);
  Report("compute", done, computeWall, computeCpu);
  Report("build", done, buildWall, buildCpu);
  if (!shm.empty()) Report("in /dev/shm", done, shmWall, shmCpu);
  Overhead("", buildWall, buildCpu, computeWall, computeCpu);
  if (!shm.empty()) Overhead(" in /dev/shm", shmWall, shmCpu, computeWall, computeCpu);
  std::string cleanup = "rm -rf '" + dir + "'";
  if (!shm.empty()) cleanup += " '" + shm + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 0;
}
