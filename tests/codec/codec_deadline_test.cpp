// The calling thread's decoding deadline: a read decodes the same pixels
// with a deadline still ahead as without one, a passed deadline stops every
// format with GEN_IMG_ETIME, and in JPEG and PNG files it stops the decoding
// of a large image part-way, not after it.
#include <time.h>

#include <chrono>
#include <thread>

#include "codec_test_util.h"

namespace {

using codec_test::MakeColorImage;
using codec_test::MakeColormapped;
using codec_test::Pix;
using codec_test::Read;
using codec_test::ReadPalettized;
using codec_test::TempDir;

long long NowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Clears the thread's deadline when a test ends, however it ends.
struct DeadlineReset {
  ~DeadlineReset() { gen_img_set_deadline(0); }
};

TEST(CodecDeadline, SamePixelsAheadOfItAndRefusedOncePassed) {
  TempDir dir;
  Pix color = MakeColorImage(120, 90);
  Pix indexed = MakeColormapped(120, 90, 40);
  struct Case {
    const char* name;
    int format;
    PIX* pix;
  } cases[] = {
      {"a.jpg", IFF_JFIF_JPEG, color.get()}, {"a.png", IFF_PNG, color.get()}, {"b.png", IFF_PNG, indexed.get()},
      {"a.gif", IFF_GIF, indexed.get()},     {"a.bmp", IFF_BMP, color.get()},  {"a.tif", IFF_TIFF, color.get()},
      {"a.pnm", IFF_PNM, color.get()},       {"a.webp", IFF_WEBP, color.get()},
  };
  const DeadlineReset reset;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File(c.name);
    ASSERT_EQ(pixWrite(path.c_str(), c.pix, c.format), 0);
    gen_img_set_deadline(0);
    const Read plain = ReadPalettized(path);
    ASSERT_EQ(plain.status, GEN_IMG_OK);
    gen_img_set_deadline(NowNs() + 3600ll * 1000000000);
    const Read ahead = ReadPalettized(path);
    ASSERT_EQ(ahead.status, GEN_IMG_OK);
    EXPECT_TRUE(ahead.pixels == plain.pixels);
    EXPECT_TRUE(ahead.palette == plain.palette);
    gen_img_set_deadline(NowNs() - 1);
    EXPECT_EQ(ReadPalettized(path).status, GEN_IMG_ETIME);
    gen_img_set_deadline(0);
    EXPECT_EQ(ReadPalettized(path).status, GEN_IMG_OK);
  }
}

// Deadlines belong to the thread that set them.
TEST(CodecDeadline, OtherThreadsKeepTheirOwn) {
  TempDir dir;
  const std::string path = dir.File("a.png");
  Pix color = MakeColorImage(64, 48);
  ASSERT_EQ(pixWrite(path.c_str(), color.get(), IFF_PNG), 0);
  const DeadlineReset reset;
  gen_img_set_deadline(NowNs() - 1);
  int other = -1;
  std::thread t([&] { other = ReadPalettized(path).status; });
  t.join();
  EXPECT_EQ(other, GEN_IMG_OK);
  EXPECT_EQ(ReadPalettized(path).status, GEN_IMG_ETIME);
}

// A 2400 x 1800 image: a deadline a millisecond away stops its decoding
// after a few rows (or, in a progressive JPEG, rows of blocks of its scans),
// well before a whole decode would end.
TEST(CodecDeadline, StopsALargeImagePartWay) {
  TempDir dir;
  Pix color = MakeColorImage(2400, 1800);
  const DeadlineReset reset;
  ASSERT_EQ(pixWrite(dir.File("large.jpg").c_str(), color.get(), IFF_JFIF_JPEG), 0);
  ASSERT_EQ(pixWriteJpeg(dir.File("progressive.jpg").c_str(), color.get(), 75, 1), 0);
  ASSERT_EQ(pixWrite(dir.File("large.png").c_str(), color.get(), IFF_PNG), 0);
  for (const char* name : {"large.jpg", "progressive.jpg", "large.png"}) {
    SCOPED_TRACE(name);
    const std::string path = dir.File(name);
    gen_img_set_deadline(0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ReadPalettized(path).status, GEN_IMG_OK);
    const auto whole = std::chrono::steady_clock::now() - start;
    start = std::chrono::steady_clock::now();
    gen_img_set_deadline(NowNs() + 1000000);
    EXPECT_EQ(ReadPalettized(path).status, GEN_IMG_ETIME);
    const auto stopped = std::chrono::steady_clock::now() - start;
    gen_img_set_deadline(0);
    EXPECT_LT(stopped * 2, whole) << std::chrono::duration<double, std::milli>(stopped).count() << " ms against "
                                  << std::chrono::duration<double, std::milli>(whole).count() << " ms";
  }
}

}  // namespace
