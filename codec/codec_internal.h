// Internal interfaces of the image codec library: format probing, decoding to
// Leptonica images, palettizing and the colour quantizer. Nothing here crosses
// the gen_img_* boundary; statuses are the GEN_IMG_* values of gen_img.h.
#pragma once

#include <leptonica/allheaders.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "gen_img.h"

namespace kvcodec {

struct PixDeleter {
  void operator()(PIX* pix) const { pixDestroy(&pix); }
};
// Owns one Leptonica image; pixDestroy on release.
using PixPtr = std::unique_ptr<PIX, PixDeleter>;

// File formats, chosen by content. The values are stored in gen_img_state::format.
enum class Format : int {
  kUnknown = 0,
  kJpeg = 1,
  kPng = 2,
  kGif = 3,
  kBmp = 4,
  kTiff = 5,
  kPnm = 6,
  kWebp = 7,
  kHeif = 8,  // HEIC, AVIF and the other brands of the HEIF container
};

// Largest image the library handles: 2^28 pixels, 65535 per side.
constexpr int64_t kMaxPixels = int64_t{1} << 28;
constexpr int64_t kMaxSide = 65535;
// Largest file handed to the decoders (some read whole files into memory).
constexpr int64_t kMaxFileBytes = int64_t{1} << 30;

inline bool SizeAllowed(int64_t width, int64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide &&
         width * height <= kMaxPixels;
}

// Decoded pixels are counted at 4 bytes each, the 32-bit form most decoders
// produce, against the process-wide pixel budget (gen_img_set_pixel_budget).
constexpr int64_t kBytesPerDecodedPixel = 4;
constexpr int64_t kDefaultPixelBudget = int64_t{256} << 20;
int64_t PixelBudget();
inline bool WithinPixelBudget(int64_t width, int64_t height) {
  return width * height <= PixelBudget() / kBytesPerDecodedPixel;
}

// The calling thread's decoding deadline (gen_img_set_deadline), 0 for none,
// and whether it has passed; only a set deadline reads the clock.
int64_t Deadline();
bool DeadlinePassed(int64_t deadline);
// Rows decoded between two looks at the deadline.
constexpr int kRowsPerDeadlineLook = 16;

// Silences Leptonica for the whole process (message severity and its stderr
// handler). Cheap after the first call; every public entry point calls it.
void QuietLeptonica();

// What the header of an image file says.
struct ImageInfo {
  Format format = Format::kUnknown;
  int width = 0;
  int height = 0;
};

// Reads only the header of path: format by magic bytes, width and height.
// GEN_IMG_EOPEN, EFORMAT (unknown content), ECORRUPT (short or inconsistent
// header, or a file too small to hold the pixels its header claims) or
// ETOOBIG (over the size limits) on failure. The pixel budget is the
// caller's to apply: it depends on how the image will be decoded.
int ProbeFile(const char* path, ImageInfo* info);

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens path for binary reading if it is a regular file; *size gets its
// length. Null when it cannot be opened.
FilePtr OpenImageFile(const char* path, int64_t* size);

// Decodes the image file at path, whose content has the given format, into
// *out. For JPEG a reduction of 2, 4 or 8 decodes at that fraction of the size
// (rounded up); other formats ignore it. Possible results: 1, 2, 4, 8, 16 bpp
// (with or without colormap) or 32 bpp RGB with spp 3 (alpha already
// composited onto white).
int DecodeFile(const char* path, Format format, int reduction, PixPtr* out);
int DecodeJpeg(FILE* file, int reduction, PixPtr* out);
int DecodePng(FILE* file, PixPtr* out);

// HEIF-family files through libheif (heif_read.cpp). IsHeifBrand looks at the
// first 12 bytes (an "ftyp" box with one of the image brands); ProbeHeif
// reads the container's boxes but no pixels.
bool IsHeifBrand(const unsigned char* magic, size_t n);
int ProbeHeif(const char* path, int64_t* width, int64_t* height);
int DecodeHeif(const char* path, PixPtr* out);

// Replaces alpha by compositing onto white; the image becomes spp 3.
void FlattenAlphaOntoWhite(PIX* pix32);

// Turns any decoded image into 8-bit indices (width x height bytes, no row
// padding) and a planar 768-byte palette; see palettize.cpp for the rules.
int PalettizePix(PIX* pix, unsigned char* pixels, unsigned char* palette);

// Reduces a 32 bpp RGB image to at most 256 colours. Deterministic: the same
// pixels always give the same indices and palette. Unused palette entries are
// zero. Returns false only when memory runs out.
bool QuantizeRgb(PIX* pix32, unsigned char* indices, unsigned char* palette);

// Images with at most 256 distinct colours keep them exactly: indices into a
// palette in ascending colour order. False (nothing written) when there are
// more colours.
bool MapExactColors(PIX* pix32, unsigned char* indices, unsigned char* palette);

// A colour in 1/16 units per channel (0 to 4080).
struct FixedColor {
  int32_t c[3];
};

// For every point, the entry of colors[0, count) (0 to 255 per channel) at
// the smallest squared distance, the lowest such entry on ties: exactly what
// a full scan finds. entry_of has room for points.size() values.
void NearestEntries(const std::vector<FixedColor>& points, const int (*colors)[3], int count,
                    int* entry_of);

// An 8 bpp image with a 256-entry colormap from indices and a planar palette.
PixPtr MakeColormappedPix(int width, int height, const unsigned char* indices,
                          const unsigned char* palette);

// Output formats chosen by a file name's extension.
enum class OutFormat { kNone, kJpeg, kPng, kGif, kBmp, kTiff };
OutFormat OutFormatFromName(const char* path);

// Encodes pix in the given format and writes it to path; GEN_IMG_EWRITE when
// the file cannot be written (a partial file is removed).
int WritePix(const char* path, PIX* pix, OutFormat format);

}  // namespace kvcodec
