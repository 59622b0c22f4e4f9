// The image codec library: seven functions with integer results through which
// every image file is read and written. Pixels cross this interface as 8-bit
// palette indices, row by row (width x height bytes); a palette crosses as 768
// bytes in planar order (256 reds, 256 greens, 256 blues).
//
// Status values: 0 success; any other value is a failure (see GEN_IMG_E*).
// The library never prints: all failures come back as statuses.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum {
  GEN_IMG_OK = 0,
  GEN_IMG_EOPEN = 1,      // file cannot be opened
  GEN_IMG_EFORMAT = 2,    // unknown or unsupported format
  GEN_IMG_ECORRUPT = 3,   // corrupt or truncated data
  GEN_IMG_ETOOBIG = 4,    // more than 2^28 pixels, a side above 65535, or over the pixel budget
  GEN_IMG_ENOMEM = 5,     // out of memory
  GEN_IMG_EWRITE = 6,     // file cannot be written
  GEN_IMG_EARG = 7,       // bad argument (null pointer, zero size, bad extension)
  GEN_IMG_ETIME = 8,      // the calling thread's deadline passed (gen_img_set_deadline)
};

// Reader state owned by the caller between gen_img_read_sizes and
// gen_img_get_palettized (or gen_img_read_close). Zero it before use.
typedef struct gen_img_state {
  void* priv;      // codec-private data; null when no read is open
  int width;
  int height;
  int format;      // codec-private format code
} gen_img_state;

// The most memory, in bytes, the decoded pixels of one image may take,
// counted at 4 bytes a pixel; 0 restores the default of 256 MiB. Reading or
// rescaling a larger image fails with GEN_IMG_ETOOBIG before any pixel memory
// is allocated. Process-wide; any thread may set it.
void gen_img_set_pixel_budget(unsigned long long bytes);
unsigned long long gen_img_pixel_budget(void);

// The calling thread's deadline for decoding, in CLOCK_MONOTONIC nanoseconds;
// 0 (or less) means none. A read still decoding when it passes stops with
// GEN_IMG_ETIME: JPEG and PNG pixels are looked at every few rows, the other
// formats before and after their decoder runs. Pixels decoded within the
// deadline are the same as without one.
void gen_img_set_deadline(long long monotonicNs);

// Opens path for reading and learns its size from the header without decoding
// the pixels. 0: width and height set and the read is open in state. A file
// too small to hold the pixels its header claims is GEN_IMG_ECORRUPT, an
// image over the pixel budget GEN_IMG_ETOOBIG.
int gen_img_read_sizes(const char* path, int* width, int* height, gen_img_state* state, int flags);

// Decodes the open read into pixels (width x height bytes) and palette (768
// bytes, planar) and ends the read, whether it succeeds or not.
int gen_img_get_palettized(gen_img_state* state, unsigned char* pixels, unsigned char* palette);

// Ends a read opened by gen_img_read_sizes without decoding. Safe to call on
// a state with no open read.
int gen_img_read_close(gen_img_state* state);

// Writes a palettized image; the format follows the extension of path:
// .gif .png .bmp .tif .tiff keep the palette, .jpg .jpeg write 24-bit colour.
int gen_img_put_palettized(const char* path, int width, int height, const unsigned char* pixels,
                           const unsigned char* palette);

// Reads inPath, scales it to fit maxWidth x maxHeight (keeping the aspect
// ratio) and writes it by the extension of outPath (24-bit JPEG or PNG; GIF,
// BMP and TIFF quantized to 256 colours). pad 1 centres the scaled image on
// black at exactly maxWidth x maxHeight.
int gen_img_rescale_image(const char* inPath, const char* outPath, int maxWidth, int maxHeight,
                          int pad);

// Packs a width x height mask (0 = pixel outside) into out, whose capacity is
// height * 2 * ((width + 7) / 8) bytes; never writes more. Returns the number
// of bytes written, or a value below 1 on failure.
int gen_img_packmask(const unsigned char* mask, unsigned char* out, int width, int height);

// Restores into mask (width x height bytes, zero-filled by the caller) the
// mask packed by gen_img_packmask; inside pixels get 0xFF. Packed data that is
// truncated, has trailing bytes or does not fit the size is refused (non-zero).
int gen_img_unpackmask(unsigned char* mask, const unsigned char* packed, int packedLength, int width,
                       int height);

#ifdef __cplusplus
}
#endif
