// Memory bounds of the readers: files whose headers claim far more pixels
// than their bytes can hold are refused before anything is allocated for
// them, and the pixel budget refuses real images too large for it. Memory is
// measured as the growth of the peak resident size of a child process that
// does the read, so what a decoder touches counts, whatever it frees later.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "codec_test_util.h"

namespace {

using codec_test::MakeColorImage;
using codec_test::Pix;
using codec_test::ReadBytes;
using codec_test::ReadPalettized;
using codec_test::TempDir;
using codec_test::WriteBytes;

struct Outcome {
  int status = -1;
  long grown_kb = -1;  // growth of the peak resident size
};

// Runs work in a child process: its status and how far the child's peak
// resident size grew while it ran.
Outcome InChild(const std::function<int()>& work) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    Outcome out;
    out.status = work();
    getrusage(RUSAGE_SELF, &after);
    out.grown_kb = after.ru_maxrss - before.ru_maxrss;
    const ssize_t n = write(fds[1], &out, sizeof out);
    _exit(n == static_cast<ssize_t>(sizeof out) ? 0 : 1);
  }
  close(fds[1]);
  Outcome out;
  if (pid < 0 || read(fds[0], &out, sizeof out) != static_cast<ssize_t>(sizeof out)) out = Outcome{};
  close(fds[0]);
  int wstatus = 0;
  if (pid > 0) waitpid(pid, &wstatus, 0);
  return out;
}

std::vector<unsigned char> Text(const std::string& s) { return std::vector<unsigned char>(s.begin(), s.end()); }

std::vector<unsigned char> Padded(std::vector<unsigned char> v, size_t size) {
  v.resize(std::max(v.size(), size), 0);
  return v;
}

// A WebP extended header (30 bytes) whose canvas is 16384 x 16384: 2^28
// pixels.
std::vector<unsigned char> TinyWebp() {
  const unsigned char bytes[30] = {'R', 'I', 'F', 'F', 22, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'X',
                                   10,  0,   0,   0,   0,  0, 0, 0, 0xFF, 0x3F, 0, 0xFF, 0x3F, 0};
  return std::vector<unsigned char>(bytes, bytes + sizeof bytes);
}

// A binary PPM of 319 bytes claiming 16384 x 16384 pixels.
std::vector<unsigned char> TinyPpm() {
  std::vector<unsigned char> v = Text("P6\n16384 16384\n255\n");
  v.resize(319, 0x80);
  return v;
}

// A real progressive JPEG of w x h whose frame header is rewritten to claim
// claim_w x claim_h.
std::vector<unsigned char> ProgressiveJpeg(const TempDir& dir, int w, int h, int claim_w, int claim_h) {
  Pix pix = MakeColorImage(w, h);
  const std::string path = dir.File("progressive.jpg");
  if (pixWriteJpeg(path.c_str(), pix.get(), 75, 1) != 0) return {};
  std::vector<unsigned char> v = ReadBytes(path);
  for (size_t i = 2; i + 9 < v.size(); ++i) {
    if (v[i] == 0xFF && v[i + 1] == 0xC2) {
      v[i + 5] = static_cast<unsigned char>(claim_h >> 8);
      v[i + 6] = static_cast<unsigned char>(claim_h & 255);
      v[i + 7] = static_cast<unsigned char>(claim_w >> 8);
      v[i + 8] = static_cast<unsigned char>(claim_w & 255);
      return v;
    }
  }
  return {};
}

class CodecBudget : public ::testing::Test {
 protected:
  void TearDown() override { gen_img_set_pixel_budget(0); }
  TempDir dir_;
};

TEST_F(CodecBudget, HeadersClaimingMorePixelsThanTheFileHoldsAreRefusedAtOnce) {
  const std::vector<unsigned char> jpeg = ProgressiveJpeg(dir_, 560, 400, 16384, 16384);
  ASSERT_GT(jpeg.size(), 10000u);
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
  };
  const Case cases[] = {
      {"30-byte WebP", TinyWebp()},
      {"319-byte PPM", TinyPpm()},
      {"progressive JPEG", jpeg},
      {"plain PGM", Padded(Text("P2\n4000 4000\n255\n"), 4000)},
      {"GIF", Padded({'G', 'I', 'F', '8', '9', 'a', 0xA0, 0x0F, 0xA0, 0x0F, 0, 0, 0, 0x2C, 0, 0, 0, 0, 0xA0, 0x0F,
                      0xA0, 0x0F, 0, 8},
                     1000)},
      {"PNG", Padded({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 0x30, 0,
                      0, 0, 0x30, 0, 8, 6, 0, 0, 0},
                     20000)},
      {"BMP", Padded({'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 0, 0x20, 0, 0, 0, 0x20, 0, 0, 1, 0,
                      24, 0, 0, 0, 0, 0},
                     100000)},
  };
  // The refusal must not depend on the budget: lifted, it still holds.
  for (const unsigned long long budget : {0ull, ~0ull}) {
    gen_img_set_pixel_budget(budget);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (budget == 0 ? ", default budget" : ", no budget"));
      const std::string path = dir_.File("claims");
      WriteBytes(path, c.bytes);
      const Outcome read = InChild([&] { return ReadPalettized(path).status; });
      EXPECT_EQ(read.status, GEN_IMG_ECORRUPT);
      EXPECT_LT(read.grown_kb, 16 * 1024);
      const Outcome scaled = InChild(
          [&] { return gen_img_rescale_image(path.c_str(), dir_.File("thumb.png").c_str(), 64, 64, 0); });
      EXPECT_EQ(scaled.status, GEN_IMG_ECORRUPT);
      EXPECT_LT(scaled.grown_kb, 16 * 1024);
    }
  }
}

TEST_F(CodecBudget, TheBudgetRefusesImagesWhosePixelsWouldExceedIt) {
  // 1 MiB: 262144 pixels at 4 bytes.
  gen_img_set_pixel_budget(1 << 20);
  EXPECT_EQ(gen_img_pixel_budget(), 1u << 20);
  struct Case {
    const char* name;
    int width, height, format;
    int read_status, thumb_status;
  };
  const Case cases[] = {
      {"PNG inside", 512, 512, IFF_PNG, GEN_IMG_OK, GEN_IMG_OK},
      {"PNG one row over", 512, 513, IFF_PNG, GEN_IMG_ETOOBIG, GEN_IMG_ETOOBIG},
      {"GIF over", 700, 700, IFF_GIF, GEN_IMG_ETOOBIG, GEN_IMG_ETOOBIG},
      {"TIFF over", 700, 700, IFF_TIFF, GEN_IMG_ETOOBIG, GEN_IMG_ETOOBIG},
      {"WebP over", 700, 700, IFF_WEBP, GEN_IMG_ETOOBIG, GEN_IMG_ETOOBIG},
      // A thumbnail decodes a JPEG reduced to 1/8, which fits.
      {"JPEG over", 1200, 1200, IFF_JFIF_JPEG, GEN_IMG_ETOOBIG, GEN_IMG_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pix pix = MakeColorImage(c.width, c.height);
    const std::string path = dir_.File("picture");
    ASSERT_EQ(pixWrite(path.c_str(), pix.get(), c.format), 0);
    const Outcome read = InChild([&] { return ReadPalettized(path).status; });
    EXPECT_EQ(read.status, c.read_status);
    EXPECT_EQ(gen_img_rescale_image(path.c_str(), dir_.File("thumb.png").c_str(), 100, 100, 0), c.thumb_status);
  }
  gen_img_set_pixel_budget(0);
  EXPECT_EQ(gen_img_pixel_budget(), 256u << 20);
  Pix pix = MakeColorImage(700, 700);
  const std::string path = dir_.File("picture.png");
  ASSERT_EQ(pixWrite(path.c_str(), pix.get(), IFF_PNG), 0);
  EXPECT_EQ(ReadPalettized(path).status, GEN_IMG_OK);
}

// A reduced decode of a progressive JPEG still keeps the coefficients of the
// whole image while its scans arrive; the budget bounds those as well.
TEST_F(CodecBudget, ProgressiveCoefficientsCountAgainstTheBudget) {
  Pix pix(pixCreate(4096, 4096, 32));
  pixSetAllArbitrary(pix.get(), 0x60a0c000);
  const std::string path = dir_.File("large.jpg");
  ASSERT_EQ(pixWriteJpeg(path.c_str(), pix.get(), 75, 1), 0);
  const std::string thumb = dir_.File("thumb.png");
  gen_img_set_pixel_budget(1 << 20);
  const Outcome small = InChild([&] { return gen_img_rescale_image(path.c_str(), thumb.c_str(), 100, 100, 0); });
  EXPECT_EQ(small.status, GEN_IMG_ETOOBIG);
  EXPECT_LT(small.grown_kb, 40 * 1024);
  gen_img_set_pixel_budget(64 << 20);
  EXPECT_EQ(gen_img_rescale_image(path.c_str(), thumb.c_str(), 100, 100, 0), GEN_IMG_OK);
}

}  // namespace
