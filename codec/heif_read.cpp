// HEIF-family images (HEIC, AVIF and other brands of the same container)
// through libheif: the primary image, with the container's own rotation,
// mirroring and cropping applied, decoded to 8-bit RGB.
#include <libheif/heif.h>

#include <cstring>
#include <memory>

#include "codec_internal.h"

namespace kvcodec {
namespace {

struct ContextDeleter {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleDeleter {
  void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageDeleter {
  void operator()(heif_image* i) const { heif_image_release(i); }
};
struct OptionsDeleter {
  void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};
using ContextPtr = std::unique_ptr<heif_context, ContextDeleter>;
using HandlePtr = std::unique_ptr<heif_image_handle, HandleDeleter>;

void InitOnce() {
  static const bool ready = [] {
    heif_init(nullptr);
    return true;
  }();
  (void)ready;
}

// Opens path and its primary image; the status of the first failure.
int OpenPrimary(const char* path, ContextPtr* context, HandlePtr* handle) {
  InitOnce();
  int64_t size = 0;
  if (!OpenImageFile(path, &size)) return GEN_IMG_EOPEN;
  if (size > kMaxFileBytes) return GEN_IMG_ETOOBIG;
  context->reset(heif_context_alloc());
  if (!*context) return GEN_IMG_ENOMEM;
  // Tiles are decoded on the calling thread: callers that want several
  // cores read several images at once.
  heif_context_set_max_decoding_threads(context->get(), 0);
  if (heif_context_read_from_file(context->get(), path, nullptr).code != heif_error_Ok) {
    return GEN_IMG_ECORRUPT;
  }
  heif_image_handle* h = nullptr;
  if (heif_context_get_primary_image_handle(context->get(), &h).code != heif_error_Ok || h == nullptr) {
    return GEN_IMG_ECORRUPT;
  }
  handle->reset(h);
  return GEN_IMG_OK;
}

}  // namespace

bool IsHeifBrand(const unsigned char* m, size_t n) {
  static const char* const kBrands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                        "hevm", "hevs", "mif1", "msf1", "avif", "avis"};
  if (n < 12 || std::memcmp(m + 4, "ftyp", 4) != 0) return false;
  for (const char* brand : kBrands) {
    if (std::memcmp(m + 8, brand, 4) == 0) return true;
  }
  return false;
}

int ProbeHeif(const char* path, int64_t* width, int64_t* height) {
  ContextPtr context;
  HandlePtr handle;
  const int status = OpenPrimary(path, &context, &handle);
  if (status != GEN_IMG_OK) return status;
  *width = heif_image_handle_get_width(handle.get());
  *height = heif_image_handle_get_height(handle.get());
  return *width > 0 && *height > 0 ? GEN_IMG_OK : GEN_IMG_ECORRUPT;
}

int DecodeHeif(const char* path, PixPtr* out) {
  ContextPtr context;
  HandlePtr handle;
  int status = OpenPrimary(path, &context, &handle);
  if (status != GEN_IMG_OK) return status;
  const int64_t w = heif_image_handle_get_width(handle.get());
  const int64_t h = heif_image_handle_get_height(handle.get());
  if (!SizeAllowed(w, h)) return w > 0 && h > 0 ? GEN_IMG_ETOOBIG : GEN_IMG_ECORRUPT;
  const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
  std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
  if (!options) return GEN_IMG_ENOMEM;
  options->convert_hdr_to_8bit = 1;
  heif_image* decoded = nullptr;
  const heif_error e = heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB,
                                         alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                                         options.get());
  std::unique_ptr<heif_image, ImageDeleter> image(decoded);
  if (e.code == heif_error_Memory_allocation_error) return GEN_IMG_ENOMEM;
  if (e.code != heif_error_Ok || !image) return GEN_IMG_ECORRUPT;
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  const int pw = heif_image_get_primary_width(image.get());
  const int ph = heif_image_get_primary_height(image.get());
  const int step = alpha ? 4 : 3;
  if (plane == nullptr || pw != w || ph != h || stride < pw * step) return GEN_IMG_ECORRUPT;
  PixPtr pix(pixCreate(pw, ph, 32));
  if (!pix) return GEN_IMG_ENOMEM;
  l_uint32* data = pixGetData(pix.get());
  const int wpl = pixGetWpl(pix.get());
  for (int y = 0; y < ph; ++y) {
    const uint8_t* src = plane + static_cast<size_t>(y) * stride;
    l_uint32* line = data + static_cast<size_t>(y) * wpl;
    for (int x = 0; x < pw; ++x, src += step) {
      line[x] = (static_cast<l_uint32>(src[0]) << 24) | (src[1] << 16) | (src[2] << 8) | (alpha ? src[3] : 0xFF);
    }
  }
  if (alpha) {
    FlattenAlphaOntoWhite(pix.get());
  } else {
    pixSetSpp(pix.get(), 3);
  }
  *out = std::move(pix);
  return GEN_IMG_OK;
}

}  // namespace kvcodec
