// Exact palettes for images with at most 256 distinct colours.
#include <algorithm>
#include <cstring>

#include "codec_internal.h"

namespace kvcodec {
namespace {

constexpr size_t kMaxColors = 256;
constexpr uint32_t kSlots = 1024;  // open addressing, at most a quarter full

// A colour as a hash key: the RGB bits with the low bit set, so 0 marks a
// free slot.
inline l_uint32 KeyOf(l_uint32 pixel) { return (pixel & 0xFFFFFF00u) | 1; }

uint32_t SlotOf(const std::vector<l_uint32>& keys, l_uint32 key) {
  uint32_t h = (key * 2654435761u) >> 22;
  while (keys[h] != 0 && keys[h] != key) h = (h + 1) & (kSlots - 1);
  return h;
}

}  // namespace

bool MapExactColors(PIX* pix, unsigned char* indices, unsigned char* palette) {
  std::vector<l_uint32> keys(kSlots, 0);
  std::vector<l_uint32> colors;
  colors.reserve(kMaxColors);
  int width = pixGetWidth(pix), height = pixGetHeight(pix), wpl = pixGetWpl(pix);
  const l_uint32* data = pixGetData(pix);
  for (int y = 0; y < height; ++y) {
    const l_uint32* line = data + static_cast<size_t>(y) * wpl;
    for (int x = 0; x < width; ++x) {
      l_uint32 key = KeyOf(line[x]);
      uint32_t slot = SlotOf(keys, key);
      if (keys[slot] != 0) continue;
      if (colors.size() == kMaxColors) return false;
      keys[slot] = key;
      colors.push_back(key);
    }
  }
  // Palette in ascending colour order, so it does not depend on pixel order.
  std::sort(colors.begin(), colors.end());
  std::vector<unsigned char> index_of(kSlots, 0);
  std::memset(palette, 0, 768);
  for (size_t i = 0; i < colors.size(); ++i) {
    index_of[SlotOf(keys, colors[i])] = static_cast<unsigned char>(i);
    palette[i] = static_cast<unsigned char>(colors[i] >> 24);
    palette[256 + i] = static_cast<unsigned char>(colors[i] >> 16);
    palette[512 + i] = static_cast<unsigned char>(colors[i] >> 8);
  }
  for (int y = 0; y < height; ++y) {
    const l_uint32* line = data + static_cast<size_t>(y) * wpl;
    unsigned char* out = indices + static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x) out[x] = index_of[SlotOf(keys, KeyOf(line[x]))];
  }
  return true;
}

}  // namespace kvcodec
