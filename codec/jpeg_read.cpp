// JPEG decoding straight into Leptonica images through libjpeg, with an error
// manager that never prints: libjpeg's default one writes warnings such as a
// premature end of file to stderr. Warnings that mean lost image data make the
// decode fail, so a truncated file never passes as a complete image.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jerror.h>
#include <jpeglib.h>

#include "codec_internal.h"

namespace kvcodec {
namespace {

// Progressive files with absurd numbers of scans cost time per scan over the
// whole image; real files have about ten.
constexpr int kMaxScans = 500;

struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  bool damaged;
  int status;
};

void OnError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  switch (cinfo->err->msg_code) {
    case JERR_OUT_OF_MEMORY: err->status = GEN_IMG_ENOMEM; break;
    // The whole-image coefficient buffers would exceed the memory allowed.
    case JERR_NO_BACKING_STORE: err->status = GEN_IMG_ETOOBIG; break;
    default: err->status = GEN_IMG_ECORRUPT; break;
  }
  std::longjmp(err->jump, 1);
}

void OnMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  err->pub.num_warnings++;
  switch (err->pub.msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_MUST_RESYNC:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
      err->damaged = true;
      break;
    default:
      break;  // cosmetic header oddities; the pixels are intact
  }
}

void OnOutput(j_common_ptr) {}

// libjpeg calls the monitor once per call that reads scanlines and, while a
// multi-scan file's scans are taken in, once per row of blocks.
struct Progress {
  jpeg_progress_mgr pub;
  int64_t deadline;  // of the calling thread; 0 none
  unsigned calls;
};

void OnProgress(j_common_ptr cinfo) {
  auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (dinfo->input_scan_number > kMaxScans) {
    err->status = GEN_IMG_ECORRUPT;
    std::longjmp(err->jump, 1);
  }
  auto* progress = reinterpret_cast<Progress*>(cinfo->progress);
  if (progress->deadline != 0 && ++progress->calls % kRowsPerDeadlineLook == 0 &&
      DeadlinePassed(progress->deadline)) {
    err->status = GEN_IMG_ETIME;
    std::longjmp(err->jump, 1);
  }
}

// Everything the setjmp frame touches lives here, so no object with a
// destructor is live across the jump.
struct JpegJob {
  FILE* file;
  int reduction;
  PIX* pix;                // result, owned by the job until handed out
  unsigned char* cmyk_row; // work row for CMYK files (malloc)
};

// Converts one CMYK row to Leptonica RGB words. Adobe files store the inks
// inverted, which is what libjpeg hands out unchanged.
void CmykRowToRgb(const unsigned char* in, l_uint32* out, int width, bool inverted) {
  for (int x = 0; x < width; ++x) {
    unsigned c = in[4 * x], m = in[4 * x + 1], y = in[4 * x + 2], k = in[4 * x + 3];
    if (!inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    l_uint32 r = (c * k + 127) / 255, g = (m * k + 127) / 255, b = (y * k + 127) / 255;
    out[x] = (r << L_RED_SHIFT) | (g << L_GREEN_SHIFT) | (b << L_BLUE_SHIFT) | 0xFF;
  }
}

int RunJpegJob(JpegJob* job) {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  Progress progress;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnError;
  err.pub.emit_message = OnMessage;
  err.pub.output_message = OnOutput;
  err.damaged = false;
  err.status = GEN_IMG_ECORRUPT;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return err.status;
  }
  jpeg_create_decompress(&cinfo);
  progress.pub.progress_monitor = OnProgress;
  progress.deadline = Deadline();
  progress.calls = 0;
  cinfo.progress = &progress.pub;
  jpeg_stdio_src(&cinfo, job->file);
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&cinfo);
    return GEN_IMG_ECORRUPT;
  }
  if (!SizeAllowed(cinfo.image_width, cinfo.image_height)) {
    jpeg_destroy_decompress(&cinfo);
    return GEN_IMG_ETOOBIG;
  }
  cinfo.scale_num = 1;
  cinfo.scale_denom = static_cast<unsigned>(job->reduction);
  bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  bool gray = cinfo.jpeg_color_space == JCS_GRAYSCALE;
  // XBGR bytes form, on this little-endian target, exactly Leptonica's
  // 32-bit word R<<24 | G<<16 | B<<8 | X, so rows decode in place.
  cinfo.out_color_space = cmyk ? JCS_CMYK : gray ? JCS_GRAYSCALE : JCS_EXT_XBGR;
  jpeg_calc_output_dimensions(&cinfo);
  if (!WithinPixelBudget(cinfo.output_width, cinfo.output_height)) {
    jpeg_destroy_decompress(&cinfo);
    return GEN_IMG_ETOOBIG;
  }
  // Progressive and multi-scan files keep every coefficient of the full-size
  // image (2 bytes each, up to 8 a pixel for four components) while their
  // scans arrive; libjpeg fails rather than go past this.
  cinfo.mem->max_memory_to_use = static_cast<long>(2 * PixelBudget() + (int64_t{16} << 20));
  jpeg_start_decompress(&cinfo);

  int width = static_cast<int>(cinfo.output_width);
  int height = static_cast<int>(cinfo.output_height);
  job->pix = pixCreateNoInit(width, height, gray ? 8 : 32);
  if (job->pix == nullptr) {
    jpeg_destroy_decompress(&cinfo);
    return GEN_IMG_ENOMEM;
  }
  if (cmyk) {
    job->cmyk_row = static_cast<unsigned char*>(std::malloc(4 * static_cast<size_t>(width)));
    if (job->cmyk_row == nullptr) {
      jpeg_destroy_decompress(&cinfo);
      return GEN_IMG_ENOMEM;
    }
  }
  l_uint32* data = pixGetData(job->pix);
  int wpl = pixGetWpl(job->pix);
  // Several rows per call let libjpeg upsample straight into the image
  // instead of through its own spare row.
  constexpr int kMaxRowsPerCall = 8;
  JSAMPROW rows[kMaxRowsPerCall];
  while (cinfo.output_scanline < cinfo.output_height) {
    JDIMENSION first = cinfo.output_scanline;
    int n = 1;
    if (cmyk) {
      rows[0] = job->cmyk_row;
    } else {
      n = std::min<int>({cinfo.rec_outbuf_height, kMaxRowsPerCall,
                         static_cast<int>(cinfo.output_height - first)});
      for (int i = 0; i < n; ++i) {
        rows[i] = reinterpret_cast<JSAMPROW>(data + static_cast<size_t>(first + i) * wpl);
      }
    }
    if (jpeg_read_scanlines(&cinfo, rows, static_cast<JDIMENSION>(n)) == 0) break;
    if (cmyk) {
      CmykRowToRgb(job->cmyk_row, data + static_cast<size_t>(first) * wpl, width,
                   cinfo.saw_Adobe_marker);
    }
  }
  bool complete = cinfo.output_scanline == cinfo.output_height;
  if (complete) jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  if (!complete || err.damaged) return GEN_IMG_ECORRUPT;
  // Gray rows were written as plain bytes; Leptonica keeps 8-bit pixels in
  // big-endian order within each 32-bit word.
  if (gray) pixEndianByteSwap(job->pix);
  pixSetSpp(job->pix, gray ? 1 : 3);
  return GEN_IMG_OK;
}

}  // namespace

int DecodeJpeg(FILE* file, int reduction, PixPtr* out) {
  static_assert(L_RED_SHIFT == 24 && L_GREEN_SHIFT == 16 && L_BLUE_SHIFT == 8,
                "decoding in place needs Leptonica's little-endian word layout");
  if (reduction != 1 && reduction != 2 && reduction != 4 && reduction != 8) return GEN_IMG_EARG;
  JpegJob job{file, reduction, nullptr, nullptr};
  int status = RunJpegJob(&job);
  std::free(job.cmyk_row);
  PixPtr pix(job.pix);
  if (status != GEN_IMG_OK) return status;
  *out = std::move(pix);
  return GEN_IMG_OK;
}

}  // namespace kvcodec
