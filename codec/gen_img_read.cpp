// Reading: gen_img_read_sizes learns the size from the header and keeps the
// path and format in the reader state; gen_img_get_palettized decodes and
// palettizes, then ends the read; gen_img_read_close ends it without decoding.
#include <new>
#include <string>

#include "codec_internal.h"

namespace kvcodec {
namespace {

// What an open read keeps between the two calls (state->priv).
struct OpenRead {
  std::string path;
  Format format;
  int width;
  int height;
};

// Takes the open read out of the state; the caller owns the result.
std::unique_ptr<OpenRead> TakeRead(gen_img_state* state) {
  std::unique_ptr<OpenRead> read(static_cast<OpenRead*>(state->priv));
  state->priv = nullptr;
  return read;
}

int DecodeOpenRead(const OpenRead& read, unsigned char* pixels, unsigned char* palette) {
  PixPtr pix;
  int status = DecodeFile(read.path.c_str(), read.format, 1, &pix);
  if (status != GEN_IMG_OK) return status;
  // The caller sized its buffers from the header; a decoder that disagrees
  // with the header means an inconsistent file.
  if (pixGetWidth(pix.get()) != read.width || pixGetHeight(pix.get()) != read.height) {
    return GEN_IMG_ECORRUPT;
  }
  if (DeadlinePassed(Deadline())) return GEN_IMG_ETIME;
  return PalettizePix(pix.get(), pixels, palette);
}

}  // namespace
}  // namespace kvcodec

using kvcodec::OpenRead;

// A state that still holds an open read has that read ended first.
int gen_img_read_sizes(const char* path, int* width, int* height, gen_img_state* state,
                       int flags) {
  (void)flags;  // no reader options are defined
  if (state == nullptr) return GEN_IMG_EARG;
  kvcodec::TakeRead(state);
  if (path == nullptr || width == nullptr || height == nullptr) return GEN_IMG_EARG;
  try {
    kvcodec::QuietLeptonica();
    kvcodec::ImageInfo info;
    int status = kvcodec::ProbeFile(path, &info);
    if (status != GEN_IMG_OK) return status;
    // The caller allocates for the whole image next, and the decoder after it.
    if (!kvcodec::WithinPixelBudget(info.width, info.height)) return GEN_IMG_ETOOBIG;
    state->priv = new OpenRead{path, info.format, info.width, info.height};
    state->width = *width = info.width;
    state->height = *height = info.height;
    state->format = static_cast<int>(info.format);
    return GEN_IMG_OK;
  } catch (const std::bad_alloc&) {
    return GEN_IMG_ENOMEM;
  }
}

int gen_img_get_palettized(gen_img_state* state, unsigned char* pixels, unsigned char* palette) {
  if (state == nullptr) return GEN_IMG_EARG;
  std::unique_ptr<OpenRead> read = kvcodec::TakeRead(state);
  if (!read || pixels == nullptr || palette == nullptr) return GEN_IMG_EARG;
  try {
    return kvcodec::DecodeOpenRead(*read, pixels, palette);
  } catch (const std::bad_alloc&) {
    return GEN_IMG_ENOMEM;
  }
}

int gen_img_read_close(gen_img_state* state) {
  if (state != nullptr) kvcodec::TakeRead(state);
  return GEN_IMG_OK;
}
