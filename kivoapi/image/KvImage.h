// In-memory rasters and the reading and writing of image files.
#pragma once

#include <cstdint>

// Pixel type codes of a raster. Every raster this system makes is type 1.
enum : int32_t { IMP_BIT_ROWS = 0, IMP_BYTE = 1, IMP_INVALID_TYPE = 9 };

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
// -1 for a size below 1, an invalid type or an allocation failure.
ImpImage* impalloc(int* status, int width, int height, int type, const char* tag);
// Releases the data and the record (null allowed); status becomes 0.
void impfree(int* status, ImpImage* image);

// Reads fileName (searched in the current directory, then along the ';' list
// of the setting pathVariable) into a palettized raster and its palette.
// Names beginning with "!@" make a 100 x 100 single-colour test image. When
// text and textSize are given (*textSize = capacity), the keyword text file
// beside the image is read into text with white space merged. status: 0, -1,
// or the codec's status. Outputs not produced are null.
void KvAnyread(int* status, const char* pathVariable, const char* fileName, ImpImage** image,
               ImpImage** palette, char* text, int* textSize);
// Writes image with palette to fileName (prefixed by the first entry of the
// setting dirVariable when given).
void KvAnywrite(int* status, const char* dirVariable, const char* fileName, const ImpImage* image,
                const ImpImage* palette);
