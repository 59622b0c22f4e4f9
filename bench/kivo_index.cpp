// Indexing speed of the kivo command: `kivo index -j 2` against `-j 1` and
// against the build command KvMkDbs with the same features, all on the real
// disk and in the same run.
//
//   bench_kivo_index [folder-of-photographs] [rounds]
//
// The folder (default /work/shared/data/wang1k) is walked for .jpg files.
// Each round builds a fresh catalog of every photograph three times, in
// turn: KvMkDbs (one process, the list given with -l), kivo index -j 1 and
// kivo index -j 2, each in a new database folder below the current folder.
// The features are the average colour, colour histogram, texture and layout
// classes. The programs are the ones built beside this benchmark. The best
// round of each is reported (the machine may be shared; interleaving gives
// each the same chances), with the speed-ups the indexer aims at: -j 2 at
// least 1.8 times -j 1, and at least 1.6 times KvMkDbs.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kFeatures[] = {"KvColorFeatureClass", "KvColorHistogramFeatureClass", "KvTextureFeatureClass",
                                 "KvDrawFeatureClass"};

void FindPhotos(const std::string& dir, std::vector<std::string>* out) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      FindPhotos(path, out);
    } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".jpg") == 0) {
      out->push_back(path);
    }
  }
}

// Runs argv with its output discarded; the wall-clock seconds, or -1 when it
// failed.
double Run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr) {
      _exit(127);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

std::string ProgramDir() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string self(buffer, static_cast<size_t>(n));
  self = self.substr(0, self.rfind('/'));     // .../build/bench
  return self.substr(0, self.rfind('/'));     // .../build
}

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : "/work/shared/data/wang1k";
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  std::vector<std::string> photos;
  FindPhotos(folder, &photos);
  if (photos.empty()) {
    std::fprintf(stderr, "bench_kivo_index: no .jpg files below %s\n", folder.c_str());
    return 1;
  }
  const std::string bin = ProgramDir();
  char templ[] = "kivo_index_bench.XXXXXX";
  if (mkdtemp(templ) == nullptr) {
    std::perror("bench_kivo_index: mkdtemp");
    return 1;
  }
  const std::string work = templ;
  const std::string list = work + "/photos.txt";
  if (FILE* f = std::fopen(list.c_str(), "w")) {
    for (const std::string& p : photos) std::fprintf(f, "%s\n", p.c_str());
    std::fclose(f);
  }

  std::printf("kivo index over %zu photographs of %s, 4 features, best of %d interleaved rounds, disk: %s\n",
              photos.size(), folder.c_str(), rounds, work.c_str());
  double best[3] = {1e30, 1e30, 1e30};
  const char* names[3] = {"KvMkDbs (baseline)", "kivo index -j 1", "kivo index -j 2"};
  bool ok = true;
  for (int round = 0; round < rounds && ok; ++round) {
    for (int which = 0; which < 3 && ok; ++which) {
      const std::string db = work + "/db" + std::to_string(round) + "_" + std::to_string(which);
      mkdir(db.c_str(), 0755);
      std::vector<std::string> args;
      if (which == 0) {
        args = {bin + "/KvMkDbs", "-d", db, "-c", "bench"};
        for (const char* f : kFeatures) args.insert(args.end(), {"-f", f});
        args.insert(args.end(), {"-l", list});
      } else {
        args = {bin + "/kivo", "index", "-q", "-d", db, "-c", "bench", "-j", which == 1 ? "1" : "2"};
        for (const char* f : kFeatures) args.insert(args.end(), {"-f", f});
        args.push_back(folder);
      }
      const double s = Run(args);
      if (s < 0) {
        std::fprintf(stderr, "bench_kivo_index: %s failed\n", names[which]);
        ok = false;
        break;
      }
      std::printf("  round %d  %-20s %7.2f s  %7.1f images/s\n", round + 1, names[which], s,
                  static_cast<double>(photos.size()) / s);
      std::fflush(stdout);
      best[which] = std::min(best[which], s);
      Run({"/bin/rm", "-rf", db});
    }
  }
  Run({"/bin/rm", "-rf", work});
  if (!ok) return 1;
  std::printf("best:\n");
  for (int which = 0; which < 3; ++which) {
    std::printf("  %-20s %7.2f s  %7.1f images/s\n", names[which], best[which],
                static_cast<double>(photos.size()) / best[which]);
  }
  const double threads = best[1] / best[2], baseline = best[0] / best[2];
  std::printf("kivo -j 2 vs -j 1:    %.2fx (target 1.8x) %s\n", threads, threads >= 1.8 ? "ok" : "BELOW TARGET");
  std::printf("kivo -j 2 vs KvMkDbs: %.2fx (target 1.6x) %s\n", baseline, baseline >= 1.6 ? "ok" : "BELOW TARGET");
  return 0;
}
