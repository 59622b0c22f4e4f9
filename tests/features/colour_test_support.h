// Small in-memory images and helpers shared by the colour feature tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/KvDatum.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"

namespace colourtest {

// An image held in vectors and handed to an image data object without copy.
struct TestImage {
  int width;
  int height;
  std::vector<unsigned char> pixels;
  std::vector<unsigned char> palette;
  std::vector<unsigned char> mask;
  KvGenericImageDataClass data;

  TestImage(int w, int h)
      : width(w), height(h), pixels(static_cast<size_t>(w) * h, 0), palette(768, 0),
        mask(static_cast<size_t>(w) * h, 0xFF) {}

  void SetColor(int index, int r, int g, int b) {
    palette[index] = static_cast<unsigned char>(r);
    palette[256 + index] = static_cast<unsigned char>(g);
    palette[512 + index] = static_cast<unsigned char>(b);
  }
  unsigned char& At(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
  unsigned char& MaskAt(int x, int y) { return mask[static_cast<size_t>(y) * width + x]; }
  // Loads the planes into data as a memory image ('m'), or a picker image.
  KvGenericImageDataClass* Load(Boolean subPart = False, int32_t type = 'm') {
    data.GetImageDataFromMemory(width, height, pixels.data(), palette.data(), mask.data(), subPart, False);
    data.SetType(type);
    return &data;
  }
};

// Deterministic pseudo-random numbers for the randomised comparisons.
struct Lcg {
  uint64_t state;
  explicit Lcg(uint64_t seed) : state(seed) {}
  uint32_t Next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
};

// Gives d a copy of bytes (an empty vector empties d).
inline void SetDatum(KvDatumClass& d, const std::vector<unsigned char>& bytes) {
  if (bytes.empty()) {
    d.Clear();
  } else {
    d.CopyBytes(bytes.data(), bytes.size(), "test");
  }
}

inline std::string DatumText(const KvDatumClass& d) {
  return std::string(reinterpret_cast<const char*>(d.Data()), d.Size());
}

inline std::string LastError() { return GetErrorMSG(); }

}  // namespace colourtest
