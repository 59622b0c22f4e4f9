// Placeholder until image reading, writing and thumbnails land. The two
// raster helpers are complete.
#include "image/KvImage.h"
#include "image/KvThumbnail.h"

#include <cstring>

ImpImage* impalloc(int* status, int, int, int, const char*) {
  *status = -1;
  return nullptr;
}
void impfree(int* status, ImpImage*) { *status = 0; }
void KvAnyread(int* status, const char*, const char*, ImpImage** image, ImpImage** palette, char*, int*) {
  *status = -1;
  if (image != nullptr) *image = nullptr;
  if (palette != nullptr) *palette = nullptr;
}
void KvAnywrite(int* status, const char*, const char*, const ImpImage*, const ImpImage*) { *status = -1; }
int KvReadImageWriteThumbnail(const char*, const char*, int, int, Boolean) { return 1; }
int KvReadImageWrite24bitThumbnail(const char*, const char*, int, int, Boolean) { return 1; }

void MakeGrayFromPalette(unsigned char* pixels, unsigned long count, const unsigned char* palette) {
  unsigned char gray[256];
  for (unsigned i = 0; i < 256; ++i) {
    gray[i] = static_cast<unsigned char>((299u * palette[i] + 587u * palette[256 + i] + 114u * palette[512 + i] + 500u) / 1000u);
  }
  for (unsigned long i = 0; i < count; ++i) pixels[i] = gray[pixels[i]];
}

void KvCopyRect(unsigned char* dst, int dstRowLength, int dstColumn, int dstRow, const unsigned char* src,
                int srcRowLength, int srcColumn, int srcRow, int widthBytes, int rows) {
  for (int r = 0; r < rows; ++r) {
    std::memcpy(dst + static_cast<long>(dstRow + r) * dstRowLength + dstColumn,
                src + static_cast<long>(srcRow + r) * srcRowLength + srcColumn, static_cast<size_t>(widthBytes));
  }
}
