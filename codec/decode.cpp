// Decoding dispatch: JPEG and PNG through our own silent libjpeg/libpng
// readers, the other formats through Leptonica's stream readers (which report
// only through Leptonica's message system, silenced here).
#include "codec_internal.h"

namespace kvcodec {
namespace {

void DiscardMessage(const char*) {}

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
  PIX* pix = nullptr;
  switch (format) {
    case Format::kJpeg: return DecodeJpeg(f, reduction, out);
    case Format::kPng: return DecodePng(f, out);
    case Format::kGif: pix = pixReadStreamGif(f); break;
    case Format::kBmp: pix = pixReadStreamBmp(f); break;
    case Format::kTiff: pix = pixReadStreamTiff(f, 0); break;
    case Format::kPnm: pix = pixReadStreamPnm(f); break;
    case Format::kWebp: pix = pixReadStreamWebP(f); break;
    case Format::kUnknown: return GEN_IMG_EFORMAT;
  }
  PixPtr result(pix);
  if (!result) return GEN_IMG_ECORRUPT;
  switch (pixGetDepth(pix)) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
      break;
    case 32:
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
