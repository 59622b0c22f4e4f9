// Decoding dispatch: JPEG and PNG through our own silent libjpeg/libpng
// readers, the other formats through Leptonica's stream readers (which report
// only through Leptonica's message system, silenced here).
#include <cstdio>

#include "codec_internal.h"

namespace kvcodec {
namespace {

void DiscardMessage(const char*) {}

// Leptonica 1.82 reads the bytes of 32-bit BMP pixels as R, G, B, A while
// the format stores B, G, R, X. Whether the installed Leptonica does so is
// checked once on a one-pixel red image, so a fixed version is left alone.
bool LeptonicaSwaps32BitBmp() {
  static const bool swaps = [] {
    static const unsigned char kRedPixel[] = {
        'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,        // file header
        40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 32, 0,      // 1 x 1, 32 bits
        0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,        // uncompressed
        0, 0, 0, 0, 0, 0, 0, 0,                                //
        0, 0, 255, 0};                                         // B, G, R, X
    PixPtr pix(pixReadMemBmp(kRedPixel, sizeof kRedPixel));
    if (!pix || pixGetDepth(pix.get()) != 32) return false;
    l_int32 r = 0, g = 0, b = 0;
    pixGetRGBPixel(pix.get(), 0, 0, &r, &g, &b);
    return r == 0 && b == 255;
  }();
  return swaps;
}

// Bits per pixel from a BMP header, or 0 when it cannot be read. Leaves the
// file at its start.
int BmpBitsPerPixel(FILE* file) {
  unsigned char b[2];
  bool ok = std::fseek(file, 28, SEEK_SET) == 0 && std::fread(b, 1, 2, file) == 2;
  std::rewind(file);
  return ok ? b[0] | (b[1] << 8) : 0;
}

void SwapRedAndBlue(PIX* pix) {
  int width = pixGetWidth(pix), height = pixGetHeight(pix), wpl = pixGetWpl(pix);
  l_uint32* data = pixGetData(pix);
  for (int y = 0; y < height; ++y) {
    l_uint32* line = data + static_cast<size_t>(y) * wpl;
    for (int x = 0; x < width; ++x) {
      l_uint32 v = line[x];
      line[x] = (v & 0x00FF00FFu) | ((v >> 16) & 0xFF00u) | ((v & 0xFF00u) << 16);
    }
  }
}

}  // namespace

void QuietLeptonica() {
  static const bool quiet = [] {
    setMsgSeverity(L_SEVERITY_NONE);
    leptSetStderrHandler(DiscardMessage);
    return true;
  }();
  (void)quiet;
}

int DecodeFile(const char* path, Format format, int reduction, PixPtr* out) {
  QuietLeptonica();
  int64_t size = 0;
  FilePtr file = OpenImageFile(path, &size);
  if (!file) return GEN_IMG_EOPEN;
  if (size > kMaxFileBytes) return GEN_IMG_ETOOBIG;
  FILE* f = file.get();
  // JPEG and PNG look at the deadline as they read rows; the other readers
  // run to their end once started, so it is looked at before and after them.
  const int64_t deadline = Deadline();
  if (DeadlinePassed(deadline)) return GEN_IMG_ETIME;
  PIX* pix = nullptr;
  int bmp_bits = 0;
  switch (format) {
    case Format::kJpeg: return DecodeJpeg(f, reduction, out);
    case Format::kPng: return DecodePng(f, out);
    case Format::kHeif: {
      file.reset();
      const int status = DecodeHeif(path, out);
      if (status == GEN_IMG_OK && DeadlinePassed(deadline)) {
        out->reset();
        return GEN_IMG_ETIME;
      }
      return status;
    }
    case Format::kGif: pix = pixReadStreamGif(f); break;
    case Format::kBmp:
      bmp_bits = BmpBitsPerPixel(f);
      pix = pixReadStreamBmp(f);
      break;
    case Format::kTiff: pix = pixReadStreamTiff(f, 0); break;
    case Format::kPnm: pix = pixReadStreamPnm(f); break;
    case Format::kWebp: pix = pixReadStreamWebP(f); break;
    case Format::kUnknown: return GEN_IMG_EFORMAT;
  }
  PixPtr result(pix);
  if (!result) return GEN_IMG_ECORRUPT;
  if (DeadlinePassed(deadline)) return GEN_IMG_ETIME;
  switch (pixGetDepth(pix)) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
      break;
    case 32:
      if (bmp_bits == 32 && LeptonicaSwaps32BitBmp()) SwapRedAndBlue(pix);
      if (pixGetSpp(pix) == 4) FlattenAlphaOntoWhite(pix);
      pixSetSpp(pix, 3);
      break;
    default:
      return GEN_IMG_EFORMAT;
  }
  *out = std::move(result);
  return GEN_IMG_OK;
}

void FlattenAlphaOntoWhite(PIX* pix) {
  int width = pixGetWidth(pix);
  int height = pixGetHeight(pix);
  int wpl = pixGetWpl(pix);
  l_uint32* data = pixGetData(pix);
  for (int y = 0; y < height; ++y) {
    l_uint32* line = data + static_cast<size_t>(y) * wpl;
    for (int x = 0; x < width; ++x) {
      l_uint32 v = line[x];
      l_uint32 a = v & 0xFF;
      l_uint32 white = 255 * (255 - a) + 127;
      l_uint32 r = ((v >> 24) * a + white) / 255;
      l_uint32 g = (((v >> 16) & 0xFF) * a + white) / 255;
      l_uint32 b = (((v >> 8) & 0xFF) * a + white) / 255;
      line[x] = (r << 24) | (g << 16) | (b << 8) | 0xFF;
    }
  }
  pixSetSpp(pix, 3);
}

}  // namespace kvcodec
