// In-memory rasters and the reading and writing of image files.
#pragma once

#include <cstdint>

// Pixel type codes of a raster. Every raster this system makes is type 1.
enum : int32_t { IMP_BIT_ROWS = 0, IMP_BYTE = 1, IMP_INVALID_TYPE = 9 };

// Largest image the readers accept: a side above 65535 or more than 2^28
// pixels is refused before any pixel buffer is allocated.
constexpr int32_t kKvMaxImageSide = 65535;
constexpr int64_t kKvMaxImagePixels = int64_t{1} << 28;

// A raster record. data (owned) holds width x height pixels row by row. A
// palette is a type-1 raster of 256 x 3: row 0 reds, row 1 greens, row 2 blues.
struct ImpImage {
  int32_t type;
  int32_t headerSize;  // always 28
  uint32_t dataSize;
  unsigned char* data;
  int32_t width;
  int32_t height;
  int32_t pixelCount;
};

// New raster of the given size and type (data not cleared); null and status
// -1 for a size below 1, an invalid type, a data size or pixel count that
// does not fit 32 bits, or an allocation failure (10007 recorded).
ImpImage* impalloc(int* status, int width, int height, int type, const char* tag);
// Releases the data and the record (null allowed); status becomes 0.
void impfree(int* status, ImpImage* image);

// Reads fileName (searched in the current directory, then along the ';' list
// of the setting pathVariable) into a palettized raster and its palette.
// Names beginning with "!@" make a 100 x 100 single-colour test image. When
// text and textSize are given (*textSize = capacity), the keyword text file
// beside the image is read into text with white space merged and *textSize
// becomes its length plus one (0 and an empty text when there is none).
// status: 0, -1, or the codec's status; every failure records its reason.
// On failure both outputs are null (nothing for the caller to release); on
// success the caller releases them with impfree.
void KvAnyread(int* status, const char* pathVariable, const char* fileName, ImpImage** image,
               ImpImage** palette, char* text, int* textSize);
// Writes image with palette to fileName (prefixed by the first entry of the
// setting dirVariable when given). status: 0, -1 or the codec's status; a
// failure records its reason.
void KvAnywrite(int* status, const char* dirVariable, const char* fileName, const ImpImage* image,
                const ImpImage* palette);

// A short text saying what a non-zero codec status means.
const char* KvCodecStatusText(int status);

// Hands the "KivoPixelBudget" setting to the image codec: the most MiB the
// decoded pixels of one image may take, at 4 bytes a pixel (fractions
// allowed; unset or empty: 256). Every reader of image files calls it before
// reading. -1, with the error recorded and the budget left as it was, for a
// value that is not a positive number.
int KvApplyPixelBudget();
