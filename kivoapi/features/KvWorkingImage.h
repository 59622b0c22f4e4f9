// The image a descriptor is computed from: the unmasked pixels of an image
// data object reduced to a raster of about a fixed area, so that a
// photograph and a scaled copy of it give the same descriptor, and a large
// photograph costs one pass over its pixels and nothing more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class KvGenericImageDataClass;

// Hue in degrees [0, 360), saturation and value in [0, 1], of 8-bit RGB.
// A gray colour has hue 0 and saturation 0.
struct KvHsv {
  float h;
  float s;
  float v;
};
KvHsv KvRgbToHsv(int red, int green, int blue);

// Luminance of 8-bit RGB (0.299 R + 0.587 G + 0.114 B), in [0, 255].
inline float KvLuminance(float red, float green, float blue) {
  return 0.299f * red + 0.587f * green + 0.114f * blue;
}

struct KvWorkingImage {
  int width = 0;
  int height = 0;
  // Mean colour of each cell (row-major), and whether any unmasked source
  // pixel fell into it (1) or none (0).
  std::vector<uint8_t> red, green, blue, valid;
  // Unmasked source pixels in all.
  uint64_t covered = 0;

  size_t Cells() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
};

// Reduces image to a raster of about area cells with the image's aspect
// (an image of at most area pixels keeps its own size): each cell is the
// mean colour of the source pixels whose positions fall into it. False
// (10003 recorded, as for every feature that finds no pixel) when the image
// has no pixels or none is unmasked; an allocation failure throws
// std::bad_alloc.
bool KvMakeWorkingImage(const KvGenericImageDataClass& image, int area, KvWorkingImage* out);
