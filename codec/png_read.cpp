// PNG decoding into Leptonica images through libpng, with error and warning
// handlers that never print (libpng's defaults write to stderr). The file must
// be complete up to its IEND chunk.
//
// Results: palette and gray files of up to 8 bits become an 8 bpp image whose
// colormap holds the palette or the gray levels, so indices stay the sample
// values; files with alpha are composited onto white; gray files with alpha
// become plain 8 bpp gray; colour files become 32 bpp RGB.
#include <png.h>

#include <cstdlib>
#include <cstring>

#include "codec_internal.h"

namespace kvcodec {
namespace {

// Everything the setjmp frame touches lives here, so no object with a
// destructor is live across the jump.
struct PngJob {
  FILE* file;
  PIX* pix;          // result, owned by the job until handed out
  png_bytep* rows;   // row pointers (malloc)
};

void ReadBytes(png_structp png, png_bytep out, size_t n) {
  auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
  if (std::fread(out, 1, n, job->file) != n) png_error(png, "truncated");
}

void OnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void OnWarning(png_structp, png_const_charp) {}

int Composite(int value, int alpha) { return (value * alpha + 255 * (255 - alpha) + 127) / 255; }

// The colormap of a palette file, each entry composited onto white by its
// tRNS alpha.
PIXCMAP* PaletteColormap(png_structp png, png_infop info) {
  png_colorp colors = nullptr;
  int count = 0;
  if (png_get_PLTE(png, info, &colors, &count) == 0 || count < 1 || count > 256) return nullptr;
  png_bytep alpha = nullptr;
  int alpha_count = 0;
  if (png_get_valid(png, info, PNG_INFO_tRNS)) {
    png_get_tRNS(png, info, &alpha, &alpha_count, nullptr);
  }
  PIXCMAP* cmap = pixcmapCreate(8);
  for (int i = 0; cmap != nullptr && i < count; ++i) {
    int a = (alpha != nullptr && i < alpha_count) ? alpha[i] : 255;
    pixcmapAddColor(cmap, Composite(colors[i].red, a), Composite(colors[i].green, a),
                    Composite(colors[i].blue, a));
  }
  return cmap;
}

// Gray levels of a 1, 2, 4 or 8-bit gray file; a transparent level is white.
PIXCMAP* GrayColormap(png_structp png, png_infop info, int bit_depth) {
  int levels = 1 << bit_depth;
  int transparent = -1;
  png_color_16p trans = nullptr;
  if (png_get_valid(png, info, PNG_INFO_tRNS) &&
      png_get_tRNS(png, info, nullptr, nullptr, &trans) != 0 && trans != nullptr) {
    transparent = trans->gray;
  }
  PIXCMAP* cmap = pixcmapCreate(8);
  for (int v = 0; cmap != nullptr && v < levels; ++v) {
    int g = (v == transparent) ? 255 : v * 255 / (levels - 1);
    pixcmapAddColor(cmap, g, g, g);
  }
  return cmap;
}

enum class Layout { kIndexed, kGrayAlpha, kRgb, kRgba };

int RunPngJob(PngJob* job) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, job, OnError, OnWarning);
  if (png == nullptr) return GEN_IMG_ENOMEM;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return GEN_IMG_ENOMEM;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return GEN_IMG_ECORRUPT;
  }
  png_set_read_fn(png, job, ReadBytes);
  png_set_user_limits(png, kMaxSide, kMaxSide);
  png_read_info(png, info);

  png_uint_32 width = 0, height = 0;
  int bit_depth = 0, color_type = 0;
  png_get_IHDR(png, info, &width, &height, &bit_depth, &color_type, nullptr, nullptr, nullptr);
  if (!SizeAllowed(width, height) || !WithinPixelBudget(width, height)) {
    png_destroy_read_struct(&png, &info, nullptr);
    return GEN_IMG_ETOOBIG;
  }
  bool has_trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;

  Layout layout;
  if (color_type == PNG_COLOR_TYPE_PALETTE ||
      (color_type == PNG_COLOR_TYPE_GRAY && (bit_depth <= 8 || !has_trns))) {
    layout = Layout::kIndexed;
  } else if (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_GRAY_ALPHA) {
    layout = Layout::kGrayAlpha;
  } else if ((color_type & PNG_COLOR_MASK_ALPHA) || has_trns) {
    layout = Layout::kRgba;
  } else {
    layout = Layout::kRgb;
  }
  if (layout == Layout::kIndexed) {
    png_set_packing(png);  // one index per byte
    png_set_scale_16(png);
  } else {
    png_set_scale_16(png);
    if (has_trns) png_set_tRNS_to_alpha(png);
    if (layout == Layout::kGrayAlpha) png_set_gray_to_rgb(png);
    // Bytes A,B,G,R (or X,B,G,R) form Leptonica's 32-bit word R<<24|G<<16|B<<8|A
    // on this little-endian target.
    png_set_bgr(png);
    if (layout == Layout::kRgb) {
      png_set_filler(png, 0xFF, PNG_FILLER_BEFORE);
    } else {
      png_set_swap_alpha(png);
    }
  }
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);

  int depth = layout == Layout::kIndexed ? 8 : 32;
  job->pix = pixCreateNoInit(static_cast<int>(width), static_cast<int>(height), depth);
  job->rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * height));
  if (job->pix == nullptr || job->rows == nullptr) {
    png_destroy_read_struct(&png, &info, nullptr);
    return GEN_IMG_ENOMEM;
  }
  if (png_get_rowbytes(png, info) != static_cast<size_t>(width) * (depth / 8)) {
    png_destroy_read_struct(&png, &info, nullptr);
    return GEN_IMG_ECORRUPT;
  }
  if (layout == Layout::kIndexed) {
    // No libpng call between making the colormap and handing it to the
    // image, so a jump cannot leak it.
    PIXCMAP* cmap = color_type == PNG_COLOR_TYPE_PALETTE
                        ? PaletteColormap(png, info)
                        : GrayColormap(png, info, bit_depth <= 8 ? bit_depth : 8);
    if (cmap == nullptr) {
      png_destroy_read_struct(&png, &info, nullptr);
      return GEN_IMG_ECORRUPT;
    }
    pixSetColormap(job->pix, cmap);
  }
  l_uint32* data = pixGetData(job->pix);
  int wpl = pixGetWpl(job->pix);
  for (png_uint_32 y = 0; y < height; ++y) {
    job->rows[y] = reinterpret_cast<png_bytep>(data + static_cast<size_t>(y) * wpl);
  }
  // The rows pass by pass, as png_read_image reads them, with a look at the
  // deadline every few rows.
  const int64_t deadline = Deadline();
  int untilLook = kRowsPerDeadlineLook;
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < height; ++y) {
      png_read_row(png, job->rows[y], nullptr);
      if (--untilLook == 0) {
        untilLook = kRowsPerDeadlineLook;
        if (DeadlinePassed(deadline)) {
          png_destroy_read_struct(&png, &info, nullptr);
          return GEN_IMG_ETIME;
        }
      }
    }
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);

  if (layout == Layout::kIndexed) {
    // Leptonica keeps 8-bit pixels in big-endian order within each word.
    pixEndianByteSwap(job->pix);
    pixSetSpp(job->pix, 1);
  } else if (layout == Layout::kRgb) {
    pixSetSpp(job->pix, 3);
  } else {
    pixSetSpp(job->pix, 4);
    FlattenAlphaOntoWhite(job->pix);
  }
  if (layout == Layout::kGrayAlpha) {
    PIX* gray = pixGetRGBComponent(job->pix, COLOR_RED);
    pixDestroy(&job->pix);
    job->pix = gray;
    if (gray == nullptr) return GEN_IMG_ENOMEM;
  }
  return GEN_IMG_OK;
}

}  // namespace

int DecodePng(FILE* file, PixPtr* out) {
  PngJob job{file, nullptr, nullptr};
  int status = RunPngJob(&job);
  std::free(job.rows);
  PixPtr pix(job.pix);
  if (status != GEN_IMG_OK) return status;
  *out = std::move(pix);
  return GEN_IMG_OK;
}

}  // namespace kvcodec
