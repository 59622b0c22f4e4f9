// gen_img_rescale_image: read any supported file, fit it into a box keeping
// its aspect ratio, optionally centre it on black at exactly the box size,
// and write it by extension (24-bit JPEG or PNG; GIF, BMP and TIFF through
// the quantizer).
#include <algorithm>
#include <new>

#include "codec_internal.h"
#include "gen_img_orient.h"

namespace kvcodec {
namespace {

struct Size {
  int width;
  int height;
};

// The largest size with the image's aspect ratio inside the box; one side
// touches the box, the other is rounded and at least 1.
Size FitInside(int w, int h, int box_w, int box_h) {
  int64_t iw = w, ih = h;
  if (iw * box_h >= ih * box_w) {  // width is the limit
    int64_t scaled = (ih * box_w * 2 + iw) / (2 * iw);
    return {box_w, static_cast<int>(std::max<int64_t>(1, scaled))};
  }
  int64_t scaled = (iw * box_h * 2 + ih) / (2 * ih);
  return {static_cast<int>(std::max<int64_t>(1, scaled)), box_h};
}

// JPEG shrink-on-load: the largest of 8, 4, 2 that keeps the decoded image
// at least as large as the target, so the final step still only shrinks.
int JpegReduction(int w, int h, Size target) {
  for (int r : {8, 4, 2}) {
    if (w / r >= target.width && h / r >= target.height) return r;
  }
  return 1;
}

// Any decoded image as 32 bpp RGB without alpha.
PixPtr ToRgb(PixPtr pix) {
  if (pixGetDepth(pix.get()) == 16) {
    pix.reset(pixConvert16To8(pix.get(), L_MS_BYTE));
    if (!pix) return nullptr;
  }
  if (pixGetDepth(pix.get()) != 32) {
    pix.reset(pixConvertTo32(pix.get()));
    if (!pix) return nullptr;
  }
  if (pixGetSpp(pix.get()) == 4) FlattenAlphaOntoWhite(pix.get());
  pixSetSpp(pix.get(), 3);
  return pix;
}

// Area averaging when shrinking both ways, interpolation otherwise.
PixPtr ScaleTo(PixPtr pix, Size target) {
  int w = pixGetWidth(pix.get()), h = pixGetHeight(pix.get());
  if (w == target.width && h == target.height) return pix;
  PixPtr scaled(target.width < w && target.height < h
                    ? pixScaleAreaMapToSize(pix.get(), target.width, target.height)
                    : pixScaleToSize(pix.get(), target.width, target.height));
  if (!scaled || pixGetWidth(scaled.get()) != target.width ||
      pixGetHeight(scaled.get()) != target.height || pixGetDepth(scaled.get()) != 32) {
    return nullptr;
  }
  pixSetSpp(scaled.get(), 3);
  return scaled;
}

PixPtr PadOnBlack(PIX* pix, int box_w, int box_h) {
  PixPtr canvas(pixCreate(box_w, box_h, 32));  // zeroed: black
  if (!canvas) return nullptr;
  int w = pixGetWidth(pix), h = pixGetHeight(pix);
  pixRasterop(canvas.get(), (box_w - w) / 2, (box_h - h) / 2, w, h, PIX_SRC, pix, 0, 0);
  pixSetSpp(canvas.get(), 3);
  return canvas;
}

// GIF, BMP and TIFF hold 256 colours: quantize into a colormapped image.
PixPtr Quantized(PIX* pix) {
  int w = pixGetWidth(pix), h = pixGetHeight(pix);
  std::vector<unsigned char> indices(static_cast<size_t>(w) * h);
  unsigned char palette[768];
  if (!QuantizeRgb(pix, indices.data(), palette)) return nullptr;
  return MakeColormappedPix(w, h, indices.data(), palette);
}

// The image turned upright for an orientation tag value (1 to 8 as in EXIF;
// other values leave it as it is).
PixPtr Oriented(PixPtr pix, int orientation) {
  if (orientation < 2 || orientation > 8) return pix;
  if (orientation >= 5) {
    // 5 to 8 turn the image a quarter: clockwise for 5, 6 and 7, then
    // mirrored for 5 and 7; 8 turns it anticlockwise.
    pix.reset(pixRotateOrth(pix.get(), orientation == 8 ? 3 : 1));
    if (!pix) return nullptr;
  }
  PIX* p = pix.get();
  switch (orientation) {
    case 2:
    case 5: pixFlipLR(p, p); break;
    case 3: pixRotate180(p, p); break;
    case 4:
    case 7: pixFlipTB(p, p); break;
    default: break;
  }
  pixSetSpp(p, 3);
  return pix;
}

int Rescale(const char* in_path, const char* out_path, int box_w, int box_h, bool pad, int orientation) {
  OutFormat out_format = OutFormatFromName(out_path);
  if (out_format == OutFormat::kNone) return GEN_IMG_EARG;
  if (!SizeAllowed(box_w, box_h)) return GEN_IMG_ETOOBIG;
  ImageInfo info;
  int status = ProbeFile(in_path, &info);
  if (status != GEN_IMG_OK) return status;
  const bool quarter = orientation >= 5 && orientation <= 8;
  const Size upright = FitInside(quarter ? info.height : info.width, quarter ? info.width : info.height, box_w, box_h);
  // The target in the stored pixel order, for the JPEG reduction.
  const Size stored = quarter ? Size{upright.height, upright.width} : upright;

  PixPtr pix;
  int reduction = info.format == Format::kJpeg ? JpegReduction(info.width, info.height, stored) : 1;
  // A reduced JPEG decode holds only the reduced pixels.
  if (!WithinPixelBudget((info.width + reduction - 1) / reduction, (info.height + reduction - 1) / reduction)) {
    return GEN_IMG_ETOOBIG;
  }
  status = DecodeFile(in_path, info.format, reduction, &pix);
  if (status != GEN_IMG_OK) return status;
  pix = ToRgb(std::move(pix));
  if (!pix) return GEN_IMG_ENOMEM;
  pix = ScaleTo(std::move(pix), stored);
  if (!pix) return GEN_IMG_ENOMEM;
  pix = Oriented(std::move(pix), orientation);
  if (!pix) return GEN_IMG_ENOMEM;
  if (pad) {
    pix = PadOnBlack(pix.get(), box_w, box_h);
    if (!pix) return GEN_IMG_ENOMEM;
  }
  if (out_format == OutFormat::kGif || out_format == OutFormat::kBmp ||
      out_format == OutFormat::kTiff) {
    pix = Quantized(pix.get());
    if (!pix) return GEN_IMG_ENOMEM;
  }
  return WritePix(out_path, pix.get(), out_format);
}

}  // namespace
}  // namespace kvcodec

int gen_img_rescale_image(const char* inPath, const char* outPath, int maxWidth, int maxHeight,
                          int pad) {
  if (inPath == nullptr || outPath == nullptr || maxWidth < 1 || maxHeight < 1) {
    return GEN_IMG_EARG;
  }
  try {
    kvcodec::QuietLeptonica();
    return kvcodec::Rescale(inPath, outPath, maxWidth, maxHeight, pad != 0, 1);
  } catch (const std::bad_alloc&) {
    return GEN_IMG_ENOMEM;
  }
}

int gen_img_rescale_oriented(const char* inPath, const char* outPath, int maxWidth, int maxHeight, int pad,
                             int orientation) {
  if (inPath == nullptr || outPath == nullptr || maxWidth < 1 || maxHeight < 1) {
    return GEN_IMG_EARG;
  }
  try {
    kvcodec::QuietLeptonica();
    return kvcodec::Rescale(inPath, outPath, maxWidth, maxHeight, pad != 0, orientation);
  } catch (const std::bad_alloc&) {
    return GEN_IMG_ENOMEM;
  }
}
