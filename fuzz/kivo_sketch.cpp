// The JSON form of a sketch query. Whatever is accepted becomes a picker
// description that the image reader accepts, painting a canvas of the size
// the object asked for; whatever is refused says why.
#include <cstdlib>
#include <string>

#include "FuzzUtil.h"
#include "KivoSketch.h"
#include "data/KvGenericImageData.h"

namespace {

// Canvases up to this many pixels are also painted: larger ones are read the
// same way and would only slow the run down.
constexpr long kPaintedPixels = 1L << 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KvInitializeErrorStructure();
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string description = "untouched", error;
  if (!kivo::SketchToDescription(text, &description, &error)) {
    if (error.empty() || description != "untouched") __builtin_trap();
    return 0;
  }
  if (!error.empty() || description.size() < 4 || description[0] != 'D') __builtin_trap();
  char* end = nullptr;
  const long width = std::strtol(description.c_str() + 1, &end, 10);
  const long height = std::strtol(end, &end, 10);
  if (width < 1 || width > kivo::kMaxSketchSide || height < 1 || height > kivo::kMaxSketchSide) __builtin_trap();
  size_t rects = 0;
  for (char c : description) rects += c == 'R';
  if (rects > static_cast<size_t>(kivo::kMaxSketchRects) + 1) __builtin_trap();
  if (width * height > kPaintedPixels) return 0;
  KvGenericImageDataClass image;
  if (image.ReadPickerImageDescriptionString(description.c_str(), False) != 0 ||
      static_cast<long>(image.GetXSize()) != width || static_cast<long>(image.GetYSize()) != height) {
    __builtin_trap();
  }
  return 0;
}
