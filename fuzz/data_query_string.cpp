// Generic data object query strings of every kind ('e' and 's' fetch from the
// fixture catalog; 'm' and 'p' carry an image payload), and packed sub-part
// masks. What parses writes out again and reads back to the same object.
#include <cstring>
#include <memory>

#include "FuzzUtil.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"

namespace {

bool SamePlane(const unsigned char* a, const unsigned char* b, size_t n) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::memcmp(a, b, n) == 0;
}

// The written form of a parsed image reads back to the same planes.
void CheckImageRoundTrip(KvGenericImageDataClass& image) {
  KvDatumClass written;
  if (image.ToQueryString(written) != 0) return;  // e.g. an image too large for a query string
  KvGenericImageDataClass again;
  if (again.FromQueryString(written, "KvColorFeatureClass") != 0) __builtin_trap();
  const size_t n = static_cast<size_t>(image.GetXSize()) * static_cast<size_t>(image.GetYSize());
  if (again.GetType() != image.GetType() || again.GetXSize() != image.GetXSize() ||
      again.GetYSize() != image.GetYSize() || again.GetSubPart() != image.GetSubPart() ||
      again.GetMaskAllOnes() != image.GetMaskAllOnes() || !SamePlane(again.GetPalette(), image.GetPalette(), 768) ||
      !SamePlane(again.GetIndexPlane(), image.GetIndexPlane(), n) ||
      !SamePlane(again.GetMaskPlane(), image.GetMaskPlane(), n) ||
      !SamePlane(again.GetRedPlane(), image.GetRedPlane(), n) ||
      !SamePlane(again.GetGreenPlane(), image.GetGreenPlane(), n) ||
      !SamePlane(again.GetBluePlane(), image.GetBluePlane(), n)) {
    __builtin_trap();
  }
}

// A query-side feature computed from (or decoded for) the parsed object.
void ComputeQueryFeature(KvGenericImageDataClass& image, const char* featureName) {
  std::unique_ptr<KvFeatureClass> feature(KvCreateFeatureClass(featureName));
  if (!feature) return;
  KvParameterClass parms;
  parms = *feature->GetParameters();
  image.SetQuerySide(True);
  if (feature->ComputeFeature(&image, &parms) == 0) {
    const float d = feature->Distance(feature.get(), &parms, -1.0f);
    if (!(d >= 0.0f) && d != -1.0f) __builtin_trap();  // NaN or a negative distance
  }
}

// The bytes as a packed mask for an image whose size the first two bytes
// give; a mask that unpacks packs again to bytes that unpack to the same mask.
void CheckPackedMask(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const unsigned long width = 1 + data[0] % 64, height = 1 + data[1] % 64;
  const size_t n = width * height;
  auto* pixels = static_cast<unsigned char*>(KvCNew(n, 1, "fuzz", KERR_Fatal));
  auto* palette = static_cast<unsigned char*>(KvCNew(768, 1, "fuzz", KERR_Fatal));
  auto* mask = static_cast<unsigned char*>(KvCNew(n, 1, "fuzz", KERR_Fatal));
  KvGenericImageDataClass image;
  if (image.GetImageDataFromMemory(width, height, pixels, palette, mask, False, True) != 0) __builtin_trap();
  KvDatumClass packed;
  packed.CopyBytes(data + 2, size - 2, "fuzz");
  if (image.DecodeSubPartDef(packed) != 0) return;
  const bool excludes = std::memchr(image.GetMaskPlane(), 0, n) != nullptr;
  if ((image.GetSubPart() == True) != excludes) __builtin_trap();
  KvDatumClass repacked;
  if (image.EncodeSubPartDef(repacked) != 0) __builtin_trap();
  KvGenericImageDataClass again;
  auto* pixels2 = static_cast<unsigned char*>(KvCNew(n, 1, "fuzz", KERR_Fatal));
  auto* palette2 = static_cast<unsigned char*>(KvCNew(768, 1, "fuzz", KERR_Fatal));
  auto* mask2 = static_cast<unsigned char*>(KvCNew(n, 1, "fuzz", KERR_Fatal));
  again.GetImageDataFromMemory(width, height, pixels2, palette2, mask2, False, True);
  if (again.DecodeSubPartDef(repacked) != 0 || std::memcmp(again.GetMaskPlane(), image.GetMaskPlane(), n) != 0) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kvfuzz::FixtureScope fixture;
  const char* const* features = KvListAllAvailableFeatures();
  int count = 0;
  while (features[count] != nullptr) ++count;
  const char* featureName = features[size % static_cast<size_t>(count)];

  KvDatumClass in;
  kvfuzz::Load(in, data, size);
  KvGenericImageDataClass image;
  if (image.FromQueryString(in, featureName) == 0) {
    if (image.GetType() == 'm' || image.GetType() == 'p') CheckImageRoundTrip(image);
    // Fetching again leaves an image as it is and reads a record anew.
    image.FromQueryString(featureName);
    ComputeQueryFeature(image, featureName);
    KvDatumClass mask;
    image.EncodeSubPartDef(mask);
  }
  CheckPackedMask(data, size);
  return 0;
}
