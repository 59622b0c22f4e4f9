// Writing: output format by extension, encoding through Leptonica into memory
// and one checked write of the file, and gen_img_put_palettized.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "codec_internal.h"

namespace kvcodec {
namespace {

constexpr int kJpegQuality = 90;

struct LeptFree {
  void operator()(l_uint8* p) const { lept_free(p); }
};

std::string LowerExtension(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  const char* dot = std::strrchr(base, '.');
  if (dot == nullptr) return std::string();
  std::string ext(dot + 1);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return ext;
}

bool WriteBytes(const char* path, const l_uint8* data, size_t size) {
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(data, 1, size, file) == size;
  ok = (std::fclose(file) == 0) && ok;
  if (!ok) std::remove(path);  // never leave a partial image behind
  return ok;
}

}  // namespace

OutFormat OutFormatFromName(const char* path) {
  std::string ext = LowerExtension(path);
  if (ext == "jpg" || ext == "jpeg") return OutFormat::kJpeg;
  if (ext == "png") return OutFormat::kPng;
  if (ext == "gif") return OutFormat::kGif;
  if (ext == "bmp") return OutFormat::kBmp;
  if (ext == "tif" || ext == "tiff") return OutFormat::kTiff;
  return OutFormat::kNone;
}

int WritePix(const char* path, PIX* pix, OutFormat format) {
  QuietLeptonica();
  l_uint8* raw = nullptr;
  size_t size = 0;
  l_ok failed = 1;
  switch (format) {
    case OutFormat::kJpeg: failed = pixWriteMemJpeg(&raw, &size, pix, kJpegQuality, 0); break;
    case OutFormat::kPng: failed = pixWriteMemPng(&raw, &size, pix, 0.0f); break;
    case OutFormat::kGif: failed = pixWriteMemGif(&raw, &size, pix); break;
    case OutFormat::kBmp: failed = pixWriteMemBmp(&raw, &size, pix); break;
    case OutFormat::kTiff: failed = pixWriteMemTiff(&raw, &size, pix, IFF_TIFF_LZW); break;
    case OutFormat::kNone: return GEN_IMG_EARG;
  }
  std::unique_ptr<l_uint8, LeptFree> data(raw);
  if (failed != 0 || !data || size == 0) return GEN_IMG_ENOMEM;
  return WriteBytes(path, data.get(), size) ? GEN_IMG_OK : GEN_IMG_EWRITE;
}

PixPtr MakeColormappedPix(int width, int height, const unsigned char* indices,
                          const unsigned char* palette) {
  PixPtr pix(pixCreateNoInit(width, height, 8));
  if (!pix) return nullptr;
  PIXCMAP* cmap = pixcmapCreate(8);
  if (cmap == nullptr) return nullptr;
  for (int i = 0; i < 256; ++i) pixcmapAddColor(cmap, palette[i], palette[256 + i], palette[512 + i]);
  pixSetColormap(pix.get(), cmap);
  l_uint32* data = pixGetData(pix.get());
  int wpl = pixGetWpl(pix.get());
  for (int y = 0; y < height; ++y) {
    l_uint32* line = data + static_cast<size_t>(y) * wpl;
    std::memcpy(line, indices + static_cast<size_t>(y) * width, static_cast<size_t>(width));
    // Padding bytes of the last word are written too, so the image holds
    // no uninitialised memory.
    std::memset(reinterpret_cast<unsigned char*>(line) + width, 0,
                static_cast<size_t>(wpl) * 4 - static_cast<size_t>(width));
  }
  // Leptonica keeps 8-bit pixels in big-endian order within each word.
  pixEndianByteSwap(pix.get());
  return pix;
}

}  // namespace kvcodec

int gen_img_put_palettized(const char* path, int width, int height, const unsigned char* pixels,
                           const unsigned char* palette) {
  using namespace kvcodec;
  if (path == nullptr || pixels == nullptr || palette == nullptr || width < 1 || height < 1) {
    return GEN_IMG_EARG;
  }
  OutFormat format = OutFormatFromName(path);
  if (format == OutFormat::kNone) return GEN_IMG_EARG;
  if (!SizeAllowed(width, height)) return GEN_IMG_ETOOBIG;
  try {
    QuietLeptonica();
    PixPtr pix = MakeColormappedPix(width, height, pixels, palette);
    if (!pix) return GEN_IMG_ENOMEM;
    if (format == OutFormat::kJpeg) {
      pix.reset(pixConvertTo32(pix.get()));
      if (!pix) return GEN_IMG_ENOMEM;
      pixSetSpp(pix.get(), 3);
    }
    return WritePix(path, pix.get(), format);
  } catch (const std::bad_alloc&) {
    return GEN_IMG_ENOMEM;
  }
}
