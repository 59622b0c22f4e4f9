// Peak memory of reading files whose headers claim 2^28 pixels that their
// bytes cannot hold, beside two baselines measured in the same run: the same
// files through Leptonica's own readers (what decoding them costs without the
// codec's checks), and a real photograph read through the codec.
//
//   bench_codec_claims [photograph.jpg]
//
// Each read runs in a child process (address space capped at 4 GiB); the
// growth of its peak resident size and its wall time are printed.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <leptonica/allheaders.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "gen_img.h"

namespace {

struct Measure {
  int status = -1;
  long grown_kb = -1;
  double ms = 0;
};

Measure InChild(const std::function<int()>& work) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    rlimit cap{4ul << 30, 4ul << 30};
    setrlimit(RLIMIT_AS, &cap);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    Measure m;
    m.status = work();
    m.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    getrusage(RUSAGE_SELF, &after);
    m.grown_kb = after.ru_maxrss - before.ru_maxrss;
    const ssize_t n = write(fds[1], &m, sizeof m);
    _exit(n == static_cast<ssize_t>(sizeof m) ? 0 : 1);
  }
  close(fds[1]);
  Measure m;
  if (pid < 0 || read(fds[0], &m, sizeof m) != static_cast<ssize_t>(sizeof m)) m = Measure{};
  close(fds[0]);
  int ws = 0;
  if (pid > 0) waitpid(pid, &ws, 0);
  return m;
}

int CodecRead(const std::string& path) {
  gen_img_state state{};
  int w = 0, h = 0;
  int rc = gen_img_read_sizes(path.c_str(), &w, &h, &state, 0);
  if (rc != 0) return rc;
  std::vector<unsigned char> pixels(static_cast<size_t>(w) * h);
  unsigned char palette[768];
  return gen_img_get_palettized(&state, pixels.data(), palette);
}

int LeptonicaRead(const std::string& path) {
  setMsgSeverity(L_SEVERITY_NONE);
  PIX* pix = pixRead(path.c_str());
  const int ok = pix != nullptr ? 0 : 1;
  pixDestroy(&pix);
  return ok;
}

void Write(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// A progressive JPEG of a textured 320 x 240 picture whose frame header is
// rewritten to claim 16384 x 16384.
std::vector<unsigned char> ClaimingJpeg(const std::string& scratch) {
  PIX* pix = pixCreate(320, 240, 32);
  for (int y = 0; y < 240; ++y) {
    for (int x = 0; x < 320; ++x) pixSetRGBPixel(pix, x, y, (x * 7 + y * 3) % 256, (x * y) % 256, (x ^ y) % 256);
  }
  pixWriteJpeg(scratch.c_str(), pix, 75, 1);
  pixDestroy(&pix);
  std::vector<unsigned char> v = ReadAll(scratch);
  for (size_t i = 2; i + 9 < v.size(); ++i) {
    if (v[i] == 0xFF && v[i + 1] == 0xC2) {
      v[i + 5] = 0x40, v[i + 6] = 0, v[i + 7] = 0x40, v[i + 8] = 0;
      break;
    }
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string photo = argc > 1 ? argv[1] : "/work/shared/data/wang1k/beach/100.jpg";
  char dir_template[] = "/tmp/bench_claims.XXXXXX";
  if (mkdtemp(dir_template) == nullptr) return 1;
  const std::string dir = dir_template;

  struct File {
    const char* name;
    std::string path;
  };
  std::vector<unsigned char> ppm(319, 0x80);
  const char header[] = "P6\n16384 16384\n255\n";
  std::memcpy(ppm.data(), header, sizeof header - 1);
  const std::vector<unsigned char> webp = {'R', 'I', 'F', 'F', 22, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8',
                                           'X', 10,  0,   0,   0,   0,  0, 0, 0, 0xFF, 0x3F, 0, 0xFF, 0x3F, 0};
  const std::vector<unsigned char> jpeg = ClaimingJpeg(dir + "/scratch.jpg");
  std::vector<File> files = {{"WebP header, 30 bytes", dir + "/claims.webp"},
                             {"PPM, 319 bytes", dir + "/claims.ppm"},
                             {"progressive JPEG", dir + "/claims.jpg"}};
  Write(files[0].path, webp);
  Write(files[1].path, ppm);
  Write(files[2].path, jpeg);

  std::printf("files claiming 16384 x 16384 pixels (a 1 GiB decode at 32 bits)\n");
  std::printf("%-24s %8s | %-26s | %-26s\n", "file", "bytes", "codec: peak growth, time", "baseline: Leptonica alone");
  for (const File& f : files) {
    const Measure guarded = InChild([&] { return CodecRead(f.path); });
    const Measure bare = InChild([&] { return LeptonicaRead(f.path); });
    std::printf("%-24s %8zu | %8.1f MiB %8.2f ms st %d | %8.1f MiB %8.2f ms st %d\n", f.name, ReadAll(f.path).size(),
                guarded.grown_kb / 1024.0, guarded.ms, guarded.status, bare.grown_kb / 1024.0, bare.ms, bare.status);
  }
  std::fflush(stdout);
  const Measure real = InChild([&] { return CodecRead(photo); });
  std::printf("%-24s %8zu | %8.1f MiB %8.2f ms st %d | (a real photograph, for scale)\n", "photograph",
              ReadAll(photo).size(), real.grown_kb / 1024.0, real.ms, real.status);
  const std::string cleanup = "rm -rf '" + dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
