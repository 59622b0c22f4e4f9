// Picker descriptions (D and R commands painting rectangles on a canvas), in
// their string form and read from a file. An accepted description gives a
// consistent 'p' image that writes out and reads back unchanged and from
// which the image features compute.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>

#include "FuzzUtil.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"

namespace {

// Descriptions asking for a canvas larger than this are left out: the reader
// takes canvases up to 2^28 pixels, which costs memory and time but parses
// no differently, and would only slow the run down.
constexpr int64_t kMaxFuzzedPixels = int64_t{1} << 20;
// Canvases up to this many pixels also go through the query-string form and
// the features.
constexpr int64_t kCheckedPixels = 1 << 16;

// The canvas the description's first command asks for, read as the reader
// reads it (a second D is refused anyway); 0 when it starts with R.
int64_t RequestedPixels(const char* p) {
  while (*p != '\0' && *p != 'D' && *p != 'R') ++p;
  if (*p != 'D') return 0;
  char* end = nullptr;
  const long x = std::strtol(p + 1, &end, 10);
  if (*end != '\0') ++end;
  const long y = std::strtol(end, nullptr, 10);
  if (x <= 0 || y <= 0) return 0;
  return std::min<int64_t>(x, INT32_MAX) * std::min<int64_t>(y, INT32_MAX);
}

void CheckConsistent(const KvGenericImageDataClass& image, Boolean subPart) {
  if (image.GetType() != 'p' || image.GetPalette() == nullptr || image.GetSubPart() != subPart) __builtin_trap();
  const int64_t n = int64_t{image.GetXSize()} * image.GetYSize();
  if (n == 0) {
    if (image.GetIndexPlane() != nullptr || image.GetMaskAllOnes() != True) __builtin_trap();
    return;
  }
  const unsigned char* mask = image.GetMaskPlane();
  if (image.GetIndexPlane() == nullptr || mask == nullptr) __builtin_trap();
  bool excludes = false;
  for (int64_t i = 0; i < n; ++i) {
    if (mask[i] != 0 && mask[i] != 0xFF) __builtin_trap();
    // Uncovered pixels keep index 0.
    if (mask[i] == 0 && image.GetIndexPlane()[i] != 0) __builtin_trap();
    excludes |= mask[i] == 0;
  }
  if ((image.GetMaskAllOnes() == True) == excludes) __builtin_trap();
}

bool SameImage(const KvGenericImageDataClass& a, const KvGenericImageDataClass& b) {
  const size_t n = static_cast<size_t>(a.GetXSize()) * static_cast<size_t>(a.GetYSize());
  auto same = [](const unsigned char* p, const unsigned char* q, size_t count) {
    if (p == nullptr || q == nullptr) return p == q;
    return std::memcmp(p, q, count) == 0;
  };
  return a.GetXSize() == b.GetXSize() && a.GetYSize() == b.GetYSize() && a.GetSubPart() == b.GetSubPart() &&
         a.GetMaskAllOnes() == b.GetMaskAllOnes() && same(a.GetPalette(), b.GetPalette(), 768) &&
         same(a.GetIndexPlane(), b.GetIndexPlane(), n) && same(a.GetMaskPlane(), b.GetMaskPlane(), n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KvInitializeErrorStructure();
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (RequestedPixels(text.c_str()) > kMaxFuzzedPixels) return 0;
  const Boolean subPart = size % 2 == 0 ? True : False;
  KvGenericImageDataClass image;
  const int rc = image.ReadPickerImageDescriptionString(text.c_str(), subPart);
  if (rc != 0 && rc != 1) __builtin_trap();
  if (rc != 0) {
    // A refused description leaves nothing behind.
    if (image.GetIndexPlane() != nullptr || image.GetMaskPlane() != nullptr || image.GetPalette() != nullptr) {
      __builtin_trap();
    }
    return 0;
  }
  CheckConsistent(image, subPart);

  // The file form reads the same description (up to its first NUL, where
  // the text of the string form ends too).
  if (text.find('\0') == std::string::npos) {
    const std::string path = kvfuzz::WriteScratchFile("picker.txt", data, size);
    KvGenericImageDataClass fromFile;
    if (fromFile.ReadPickerImageDescriptionFile(path.c_str(), subPart) != 0 || !SameImage(image, fromFile)) {
      __builtin_trap();
    }
  }

  if (int64_t{image.GetXSize()} * image.GetYSize() > kCheckedPixels) return 0;
  KvDatumClass written;
  if (image.ToQueryString(written) != 0) __builtin_trap();
  KvGenericImageDataClass again;
  if (again.FromQueryString(written, "KvDrawFeatureClass") != 0 || again.GetType() != 'p' ||
      !SameImage(image, again)) {
    __builtin_trap();
  }
  // Drawn pictures are what the sketch and colour features get as queries.
  for (const char* name : {"KvDrawFeatureClass", "KvColorHistogramFeatureClass", "KvColorFeatureClass"}) {
    std::unique_ptr<KvFeatureClass> feature(KvCreateFeatureClass(name));
    if (!feature) __builtin_trap();
    KvParameterClass parms;
    parms = *feature->GetParameters();
    image.SetQuerySide(True);
    if (feature->ComputeFeature(&image, &parms) == 0) {
      const float d = feature->Distance(feature.get(), &parms, -1.0f);
      if (!(d >= 0.0f) && d != -1.0f) __builtin_trap();  // -1: a sketch with nothing painted
    }
  }
  return 0;
}
