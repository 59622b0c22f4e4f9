// Reading through gen_img_read_sizes / gen_img_get_palettized: every format,
// palette and gray handling, alpha, the quantizer, size limits, and damaged
// files that must fail cleanly and silently.
#include <array>
#include <cmath>
#include <cstring>
#include <random>

#include "codec_test_util.h"

namespace {

using codec_test::ExpectColor;
using codec_test::MakeColorImage;
using codec_test::MakeColormapped;
using codec_test::PaletteIndexAt;
using codec_test::Pix;
using codec_test::Read;
using codec_test::ReadBytes;
using codec_test::ReadPalettized;
using codec_test::TempDir;
using codec_test::WriteBytes;

// Mean absolute error per channel of a palettized read against pix.
double MeanAbsError(const Read& r, PIX* pix) {
  double sum = 0;
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      l_int32 red, green, blue;
      pixGetRGBPixel(pix, x, y, &red, &green, &blue);
      int e = PaletteIndexAt(r, x, y);
      sum += std::abs(red - r.palette[e]) + std::abs(green - r.palette[256 + e]) +
             std::abs(blue - r.palette[512 + e]);
    }
  }
  return sum / (3.0 * r.width * r.height);
}

std::vector<unsigned char> Bytes(std::initializer_list<int> list) {
  std::vector<unsigned char> v;
  for (int b : list) v.push_back(static_cast<unsigned char>(b));
  return v;
}

std::vector<unsigned char> PngHeader(uint32_t w, uint32_t h) {
  std::vector<unsigned char> v = Bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13,
                                        'I', 'H', 'D', 'R'});
  for (uint32_t x : {w, h}) {
    for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<unsigned char>(x >> s));
  }
  for (int b : {8, 2, 0, 0, 0, 0, 0, 0, 0}) v.push_back(static_cast<unsigned char>(b));
  return v;
}

std::vector<unsigned char> JpegHeader(int w, int h) {
  return Bytes({0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 0, 0, 0xFF, 0xC0, 0, 17, 8, h >> 8, h & 255, w >> 8,
                w & 255, 3, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0});
}

std::vector<unsigned char> GifHeader(int w, int h) {
  return Bytes({'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x21, 0xF9, 4, 0, 0, 0, 0, 0,
                0x2C, 0, 0, 0, 0, w & 255, w >> 8, h & 255, h >> 8, 0, 2, 0});
}

std::vector<unsigned char> BmpHeader(int32_t w, int32_t h) {
  std::vector<unsigned char> v = Bytes({'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0});
  for (int32_t x : {w, h}) {
    for (int s = 0; s < 32; s += 8) v.push_back(static_cast<unsigned char>(static_cast<uint32_t>(x) >> s));
  }
  for (int i = 0; i < 28; ++i) v.push_back(i == 2 ? 24 : i == 0 ? 1 : 0);
  return v;
}

std::vector<unsigned char> TiffHeader(uint32_t w, uint32_t h) {
  std::vector<unsigned char> v = Bytes({'I', 'I', 42, 0, 8, 0, 0, 0, 2, 0});
  for (uint32_t tag : {256u, 257u}) {
    uint32_t value = tag == 256 ? w : h;
    for (int b : {static_cast<int>(tag & 255), static_cast<int>(tag >> 8), 4, 0, 1, 0, 0, 0}) {
      v.push_back(static_cast<unsigned char>(b));
    }
    for (int s = 0; s < 32; s += 8) v.push_back(static_cast<unsigned char>(value >> s));
  }
  for (int i = 0; i < 4; ++i) v.push_back(0);
  return v;
}

std::vector<unsigned char> Padded(std::vector<unsigned char> v, size_t size) {
  v.resize(std::max(v.size(), size), 0);
  return v;
}

std::vector<unsigned char> Text(const char* s) {
  return std::vector<unsigned char>(s, s + std::strlen(s));
}

struct FormatCase {
  const char* name;
  int format;
  double max_error;  // lossy formats and GIF's own quantizing add error
};

const FormatCase kFormats[] = {
    {"jpeg", IFF_JFIF_JPEG, 8}, {"png", IFF_PNG, 5},   {"gif", IFF_GIF, 14},
    {"bmp", IFF_BMP, 5},        {"tiff", IFF_TIFF, 5}, {"pnm", IFF_PNM, 5},
    {"webp", IFF_WEBP, 8},
};

TEST(CodecRead, ReadsEveryFormatByContent) {
  TempDir dir;
  Pix src = MakeColorImage(53, 31);
  for (const FormatCase& f : kFormats) {
    SCOPED_TRACE(f.name);
    // The extension lies on purpose: the content decides.
    std::string path = dir.File(std::string(f.name) + ".dat");
    ASSERT_EQ(pixWrite(path.c_str(), src.get(), f.format), 0);
    Read r = ReadPalettized(path);
    ASSERT_EQ(r.status, GEN_IMG_OK);
    EXPECT_EQ(r.width, 53);
    EXPECT_EQ(r.height, 31);
    EXPECT_LT(MeanAbsError(r, src.get()), f.max_error);
  }
}

TEST(CodecRead, KeepsColormapIndicesAndEntries) {
  TempDir dir;
  struct Case {
    int colors, depth;
  };
  const Case cases[] = {{256, 8}, {200, 8}, {5, 8}, {16, 4}, {3, 2}, {2, 1}};
  const int formats[] = {IFF_GIF, IFF_PNG, IFF_BMP, IFF_TIFF};
  for (const Case& c : cases) {
    Pix src = MakeColormapped(19, 7, c.colors, c.depth);
    for (int format : formats) {
      // Leptonica expands 1-bit BMP colormaps to RGB, losing the indices.
      if (format == IFF_BMP && c.depth == 1) continue;
      SCOPED_TRACE(testing::Message() << c.colors << " colours, depth " << c.depth << ", format "
                                      << format);
      std::string path = dir.File("cmap");
      ASSERT_EQ(pixWrite(path.c_str(), src.get(), format), 0);
      Read r = ReadPalettized(path);
      ASSERT_EQ(r.status, GEN_IMG_OK);
      for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 19; ++x) ASSERT_EQ(PaletteIndexAt(r, x, y), (x + 3 * y) % c.colors);
      }
      for (int i = 0; i < 256; ++i) {
        if (i < c.colors) {
          ExpectColor(r, i, i, 255 - i, (i * 7) % 256);
        } else {
          ExpectColor(r, i, 0, 0, 0);
        }
      }
    }
  }
}

TEST(CodecRead, GrayImagesGetGrayPalettes) {
  TempDir dir;
  Pix gray(pixCreate(16, 16, 8));
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) pixSetPixel(gray.get(), x, y, static_cast<l_uint32>(y * 16 + x));
  }
  for (int format : {IFF_PNG, IFF_PNM, IFF_TIFF}) {
    SCOPED_TRACE(format);
    std::string path = dir.File("gray");
    ASSERT_EQ(pixWrite(path.c_str(), gray.get(), format), 0);
    Read r = ReadPalettized(path);
    ASSERT_EQ(r.status, GEN_IMG_OK);
    for (int i = 0; i < 256; ++i) {
      ASSERT_EQ(r.pixels[i], i);
      ExpectColor(r, i, i, i, i);
    }
  }
  // Lower depths: the sample value is the index, its gray level the entry.
  Pix two(pixCreate(4, 1, 2));
  for (int x = 0; x < 4; ++x) pixSetPixel(two.get(), x, 0, static_cast<l_uint32>(x));
  std::string path = dir.File("two.png");
  ASSERT_EQ(pixWrite(path.c_str(), two.get(), IFF_PNG), 0);
  Read r = ReadPalettized(path);
  ASSERT_EQ(r.status, GEN_IMG_OK);
  for (int x = 0; x < 4; ++x) {
    EXPECT_EQ(r.pixels[x], x);
    ExpectColor(r, x, x * 85, x * 85, x * 85);
  }
}

TEST(CodecRead, OneBitImagesShowBlackAsBlack) {
  TempDir dir;
  Pix bits(pixCreate(9, 2, 1));
  pixSetPixel(bits.get(), 0, 0, 1);  // Leptonica: 1 is black
  for (int format : {IFF_PNG, IFF_PNM, IFF_TIFF, IFF_BMP}) {
    SCOPED_TRACE(format);
    std::string path = dir.File("bits");
    ASSERT_EQ(pixWrite(path.c_str(), bits.get(), format), 0);
    Read r = ReadPalettized(path);
    ASSERT_EQ(r.status, GEN_IMG_OK);
    ExpectColor(r, PaletteIndexAt(r, 0, 0), 0, 0, 0);
    ExpectColor(r, PaletteIndexAt(r, 1, 0), 255, 255, 255);
  }
}

TEST(CodecRead, AlphaIsCompositedOntoWhite) {
  TempDir dir;
  Pix rgba(pixCreate(3, 1, 32));
  pixSetSpp(rgba.get(), 4);
  l_uint32 v;
  composeRGBAPixel(255, 0, 0, 0, &v);  // transparent red
  pixSetPixel(rgba.get(), 0, 0, v);
  composeRGBAPixel(0, 0, 0, 128, &v);  // half-transparent black
  pixSetPixel(rgba.get(), 1, 0, v);
  composeRGBAPixel(0, 0, 255, 255, &v);  // opaque blue
  pixSetPixel(rgba.get(), 2, 0, v);
  std::string path = dir.File("alpha.png");
  ASSERT_EQ(pixWrite(path.c_str(), rgba.get(), IFF_PNG), 0);
  Read r = ReadPalettized(path);
  ASSERT_EQ(r.status, GEN_IMG_OK);
  ExpectColor(r, PaletteIndexAt(r, 0, 0), 255, 255, 255);
  ExpectColor(r, PaletteIndexAt(r, 1, 0), 127, 127, 127);
  ExpectColor(r, PaletteIndexAt(r, 2, 0), 0, 0, 255);
}

TEST(CodecRead, ColormapAlphaIsCompositedOntoWhite) {
  TempDir dir;
  Pix pix(pixCreate(2, 1, 8));
  PIXCMAP* cmap = pixcmapCreate(8);
  pixcmapAddRGBA(cmap, 0, 0, 0, 0);
  pixcmapAddRGBA(cmap, 10, 20, 30, 255);
  pixSetColormap(pix.get(), cmap);
  pixSetPixel(pix.get(), 1, 0, 1);
  std::string path = dir.File("trns.png");
  ASSERT_EQ(pixWrite(path.c_str(), pix.get(), IFF_PNG), 0);
  Read r = ReadPalettized(path);
  ASSERT_EQ(r.status, GEN_IMG_OK);
  EXPECT_EQ(r.pixels[0], 0);
  EXPECT_EQ(r.pixels[1], 1);
  ExpectColor(r, 0, 255, 255, 255);
  ExpectColor(r, 1, 10, 20, 30);
}

// 32-bit BMP pixels are stored B, G, R, X (some Leptonica versions swap red
// and blue when reading them).
TEST(CodecRead, ThirtyTwoBitBmpKeepsItsColours) {
  std::vector<unsigned char> bmp = BmpHeader(3, 1);
  bmp[28] = 32;  // bits per pixel
  const unsigned char pixels[] = {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0};  // red, green, blue
  bmp.insert(bmp.end(), pixels, pixels + sizeof pixels);
  TempDir dir;
  std::string path = dir.File("rgb32.bmp");
  WriteBytes(path, bmp);
  Read r = ReadPalettized(path);
  ASSERT_EQ(r.status, GEN_IMG_OK);
  ExpectColor(r, PaletteIndexAt(r, 0, 0), 255, 0, 0);
  ExpectColor(r, PaletteIndexAt(r, 1, 0), 0, 255, 0);
  ExpectColor(r, PaletteIndexAt(r, 2, 0), 0, 0, 255);
}

TEST(CodecRead, QuantizerIsDeterministicAndClose) {
  TempDir dir;
  Pix src = MakeColorImage(160, 120);
  std::string path = dir.File("color.png");
  ASSERT_EQ(pixWrite(path.c_str(), src.get(), IFF_PNG), 0);
  Read first = ReadPalettized(path);
  Read second = ReadPalettized(path);
  ASSERT_EQ(first.status, GEN_IMG_OK);
  ASSERT_EQ(second.status, GEN_IMG_OK);
  EXPECT_EQ(first.pixels, second.pixels);
  EXPECT_EQ(first.palette, second.palette);
  // At least as close as Leptonica's own median-cut quantizer.
  Pix reference(pixMedianCutQuant(src.get(), 0));
  Pix expanded(pixRemoveColormap(reference.get(), REMOVE_CMAP_TO_FULL_COLOR));
  double reference_error = 0;
  for (int y = 0; y < 120; ++y) {
    for (int x = 0; x < 160; ++x) {
      l_int32 r1, g1, b1, r2, g2, b2;
      pixGetRGBPixel(src.get(), x, y, &r1, &g1, &b1);
      pixGetRGBPixel(expanded.get(), x, y, &r2, &g2, &b2);
      reference_error += std::abs(r1 - r2) + std::abs(g1 - g2) + std::abs(b1 - b2);
    }
  }
  reference_error /= 3.0 * 160 * 120;
  double error = MeanAbsError(first, src.get());
  EXPECT_LT(error, 8.0);
  EXPECT_LE(error, reference_error);
  // The palette is dense: entries past the last used one are zero.
  int used = 0;
  for (unsigned char p : first.pixels) used = std::max(used, p + 1);
  for (int i = used; i < 256; ++i) ExpectColor(first, i, 0, 0, 0);
}

TEST(CodecRead, AtMost256ColoursAreKeptExactly) {
  TempDir dir;
  Pix src(pixCreate(64, 4, 32));
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 64; ++x) {
      int i = y * 64 + x;  // 256 distinct colours
      pixSetRGBPixel(src.get(), x, y, (i * 37) % 256, (i * 101) % 256, i);
    }
  }
  std::string path = dir.File("exact.png");
  ASSERT_EQ(pixWrite(path.c_str(), src.get(), IFF_PNG), 0);
  Read r = ReadPalettized(path);
  ASSERT_EQ(r.status, GEN_IMG_OK);
  EXPECT_EQ(MeanAbsError(r, src.get()), 0.0);
}

TEST(CodecRead, SizesComeFromTheHeaderAlone) {
  TempDir dir;
  Pix src = MakeColorImage(300, 200);
  std::string path = dir.File("big.png");
  ASSERT_EQ(pixWrite(path.c_str(), src.get(), IFF_PNG), 0);
  std::vector<unsigned char> bytes = ReadBytes(path);
  // Header intact, half the pixels gone: still enough bytes for what the
  // header claims, so only decoding finds the loss.
  bytes.resize(bytes.size() / 2);
  WriteBytes(path, bytes);
  gen_img_state state = {};
  int w = 0, h = 0;
  ASSERT_EQ(gen_img_read_sizes(path.c_str(), &w, &h, &state, 0), GEN_IMG_OK);
  EXPECT_EQ(w, 300);
  EXPECT_EQ(h, 200);
  std::vector<unsigned char> pixels(300 * 200);
  unsigned char palette[768];
  EXPECT_EQ(gen_img_get_palettized(&state, pixels.data(), palette), GEN_IMG_ECORRUPT);
  EXPECT_EQ(state.priv, nullptr);
}

TEST(CodecRead, RefusesOversizedImagesFromTheHeader) {
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    int status;
  };
  const Case cases[] = {
      {"png wide", PngHeader(65536, 1), GEN_IMG_ETOOBIG},
      {"png area", PngHeader(20000, 20000), GEN_IMG_ETOOBIG},
      // Padded to the fewest bytes that can hold its pixels, so only the
      // size limits speak (the pixel budget is lifted below).
      {"png limit", Padded(PngHeader(65535, 4096), 4096 * (1 + 65535 * 3) / 1032), GEN_IMG_OK},
      {"jpeg area", JpegHeader(65535, 65535), GEN_IMG_ETOOBIG},
      {"gif area", GifHeader(65535, 65535), GEN_IMG_ETOOBIG},
      {"bmp wide", BmpHeader(100000, 1), GEN_IMG_ETOOBIG},
      {"bmp top-down area", BmpHeader(30000, -30000), GEN_IMG_ETOOBIG},
      {"tiff area", TiffHeader(40000, 40000), GEN_IMG_ETOOBIG},
      {"pnm wide", Text("P6\n70000 10\n255\n"), GEN_IMG_ETOOBIG},
      {"pam tall", Text("P7\nWIDTH 1\nHEIGHT 70000\nDEPTH 3\nMAXVAL 255\nENDHDR\n"), GEN_IMG_ETOOBIG},
      {"webp canvas", Bytes({'R', 'I', 'F', 'F', 30, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'X',
                             10, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0x0F}),
       GEN_IMG_ETOOBIG},
  };
  TempDir dir;
  gen_img_set_pixel_budget(~0ull);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.File("huge");
    WriteBytes(path, c.bytes);
    gen_img_state state = {};
    int w = 0, h = 0;
    EXPECT_EQ(gen_img_read_sizes(path.c_str(), &w, &h, &state, 0), c.status);
    gen_img_read_close(&state);
    EXPECT_EQ(state.priv, nullptr);
    if (c.status != GEN_IMG_OK) {
      EXPECT_EQ(gen_img_rescale_image(path.c_str(), dir.File("out.png").c_str(), 10, 10, 0), c.status);
    }
  }
  gen_img_set_pixel_budget(0);
}

TEST(CodecRead, BadFilesFailWithTheirStatus) {
  TempDir dir;
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    int status;
  };
  const Case cases[] = {
      {"empty", {}, GEN_IMG_EFORMAT},
      {"text", Text("just some words, not an image\n"), GEN_IMG_EFORMAT},
      {"png signature only", Bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}), GEN_IMG_ECORRUPT},
      {"png zero width", PngHeader(0, 5), GEN_IMG_ECORRUPT},
      {"jpeg without frame", Bytes({0xFF, 0xD8, 0xFF, 0xD9}), GEN_IMG_ECORRUPT},
      {"jpeg bad segment", Bytes({0xFF, 0xD8, 0xFF, 0xE0, 0, 1}), GEN_IMG_ECORRUPT},
      {"gif without image", Bytes({'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x3B}),
       GEN_IMG_ECORRUPT},
      {"bmp zero width", BmpHeader(0, 4), GEN_IMG_ECORRUPT},
      {"tiff without size", Bytes({'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0}), GEN_IMG_ECORRUPT},
      {"pnm without size", Text("P5\n# only a comment\n"), GEN_IMG_ECORRUPT},
      {"heic file type box only", Bytes({0, 0, 0, 16, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c', 0, 0, 0, 0}),
       GEN_IMG_ECORRUPT},
      {"video file type", Bytes({0, 0, 0, 16, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 0, 0}),
       GEN_IMG_EFORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.File("bad");
    WriteBytes(path, c.bytes);
    EXPECT_EQ(ReadPalettized(path).status, c.status);
  }
  EXPECT_EQ(ReadPalettized(dir.File("missing.png")).status, GEN_IMG_EOPEN);
  EXPECT_EQ(ReadPalettized(dir.File("")).status, GEN_IMG_EOPEN);  // the folder itself
}

// Every truncation of a small file fails, and nothing reaches the terminal.
TEST(CodecRead, EveryTruncationFailsSilently) {
  TempDir dir;
  Pix color = MakeColorImage(24, 16);
  Pix cmap = MakeColormapped(24, 16, 40);
  struct Case {
    int format;
    PIX* pix;
  };
  const Case cases[] = {{IFF_JFIF_JPEG, color.get()},
                        {IFF_PNG, color.get()},
                        {IFF_PNG, cmap.get()},
                        {IFF_GIF, cmap.get()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    std::string whole = dir.File("whole");
    ASSERT_EQ(pixWrite(whole.c_str(), c.pix, c.format), 0);
    std::vector<unsigned char> bytes = ReadBytes(whole);
    ASSERT_EQ(ReadPalettized(whole).status, GEN_IMG_OK);
    testing::internal::CaptureStderr();
    std::string cut = dir.File("cut");
    for (size_t n = 0; n < bytes.size(); ++n) {
      WriteBytes(cut, std::vector<unsigned char>(bytes.begin(), bytes.begin() + n));
      ASSERT_NE(ReadPalettized(cut).status, GEN_IMG_OK) << "length " << n << " of " << bytes.size();
      if (n % 97 == 0) {
        ASSERT_NE(gen_img_rescale_image(cut.c_str(), dir.File("t.png").c_str(), 8, 8, 1), GEN_IMG_OK);
      }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
}

// Random damage to valid files of every format must never crash, leak or
// print; whether a damaged file still decodes depends on where it was hit.
TEST(CodecRead, DamagedFilesNeverCrashOrPrint) {
  TempDir dir;
  Pix src = MakeColorImage(20, 12);
  std::mt19937 rng(12345);
  testing::internal::CaptureStderr();
  for (const FormatCase& f : kFormats) {
    std::string whole = dir.File(std::string("whole.") + f.name);
    ASSERT_EQ(pixWrite(whole.c_str(), src.get(), f.format), 0);
    std::vector<unsigned char> bytes = ReadBytes(whole);
    std::string hurt = dir.File("hurt");
    for (int round = 0; round < 150; ++round) {
      std::vector<unsigned char> copy = bytes;
      int hits = 1 + static_cast<int>(rng() % 4);
      for (int i = 0; i < hits; ++i) copy[rng() % copy.size()] = static_cast<unsigned char>(rng());
      WriteBytes(hurt, copy);
      Read r = ReadPalettized(hurt);
      if (r.status == GEN_IMG_OK) {
        EXPECT_EQ(r.pixels.size(), static_cast<size_t>(r.width) * r.height);
      }
    }
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(CodecRead, ReaderStateIsAlwaysReleased) {
  TempDir dir;
  Pix src = MakeColorImage(8, 8);
  std::string path = dir.File("s.png");
  ASSERT_EQ(pixWrite(path.c_str(), src.get(), IFF_PNG), 0);
  gen_img_state state = {};
  int w = 0, h = 0;
  // A second open on the same state ends the first read.
  ASSERT_EQ(gen_img_read_sizes(path.c_str(), &w, &h, &state, 0), GEN_IMG_OK);
  ASSERT_EQ(gen_img_read_sizes(path.c_str(), &w, &h, &state, 0), GEN_IMG_OK);
  EXPECT_EQ(gen_img_read_close(&state), GEN_IMG_OK);
  EXPECT_EQ(state.priv, nullptr);
  EXPECT_EQ(gen_img_read_close(&state), GEN_IMG_OK);
  // Missing buffers fail but still end the read.
  ASSERT_EQ(gen_img_read_sizes(path.c_str(), &w, &h, &state, 0), GEN_IMG_OK);
  EXPECT_EQ(gen_img_get_palettized(&state, nullptr, nullptr), GEN_IMG_EARG);
  EXPECT_EQ(state.priv, nullptr);
  // No open read.
  unsigned char pixels[64], palette[768];
  EXPECT_EQ(gen_img_get_palettized(&state, pixels, palette), GEN_IMG_EARG);
  EXPECT_EQ(gen_img_read_sizes(nullptr, &w, &h, &state, 0), GEN_IMG_EARG);
  EXPECT_EQ(gen_img_read_sizes(path.c_str(), nullptr, &h, &state, 0), GEN_IMG_EARG);
  EXPECT_EQ(gen_img_read_sizes(path.c_str(), &w, &h, nullptr, 0), GEN_IMG_EARG);
  EXPECT_EQ(gen_img_read_close(nullptr), GEN_IMG_OK);
}

// HEIC and AVIF files made by libheif's own encoder from a two-colour
// picture: size from the container, colours kept (lossless, no chroma
// subsampling), every truncation refused.
TEST(CodecRead, ReadsHeifContainers) {
  if (std::system("command -v heif-enc >/dev/null 2>&1") != 0) GTEST_SKIP() << "heif-enc is not installed";
  TempDir dir;
  Pix src(pixCreate(64, 48, 32));
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) pixSetRGBPixel(src.get(), x, y, x < 32 ? 200 : 10, 30, x < 32 ? 20 : 220);
  }
  const std::string png = dir.File("two.png");
  ASSERT_EQ(pixWrite(png.c_str(), src.get(), IFF_PNG), 0);
  for (const char* name : {"two.heic", "two.avif"}) {
    SCOPED_TRACE(name);
    const std::string path = dir.File(name);
    const std::string cmd = "heif-enc -L -p chroma=444 -o '" + path + "' '" + png + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    Read r = ReadPalettized(path);
    ASSERT_EQ(r.status, GEN_IMG_OK);
    EXPECT_EQ(r.width, 64);
    EXPECT_EQ(r.height, 48);
    for (const auto& [x, y, red, blue] : {std::array<int, 4>{3, 3, 200, 20}, {60, 44, 10, 220}}) {
      const int i = PaletteIndexAt(r, x, y);
      EXPECT_NEAR(r.palette[i], red, 6) << x << "," << y;
      EXPECT_NEAR(r.palette[256 + i], 30, 6) << x << "," << y;
      EXPECT_NEAR(r.palette[512 + i], blue, 6) << x << "," << y;
    }
    const std::vector<unsigned char> bytes = ReadBytes(path);
    const std::string cut = dir.File("cut");
    for (size_t n = 12; n < bytes.size(); n += std::max<size_t>(1, bytes.size() / 23)) {
      WriteBytes(cut, std::vector<unsigned char>(bytes.begin(), bytes.begin() + static_cast<long>(n)));
      EXPECT_NE(ReadPalettized(cut).status, GEN_IMG_OK) << "length " << n << " of " << bytes.size();
    }
  }
}

}  // namespace
