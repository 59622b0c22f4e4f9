// Generic data object query strings of every kind, image payloads and packed
// sub-part masks.
#include "FuzzUtil.h"
#include "data/KvGenericImageData.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kvfuzz::UseScratchDatabase();
  KvDatumClass in;
  kvfuzz::Load(in, data, size);
  KvGenericImageDataClass image;
  if (image.FromQueryString(in, "KvColorFeatureClass") == 0) {
    // A parsed object writes itself out again.
    KvDatumClass out;
    image.ToQueryString(out);
    KvDatumClass mask;
    image.EncodeSubPartDef(mask);
  }
  // The same bytes as a packed mask for a small image.
  KvGenericImageDataClass sized;
  unsigned char* pixels = static_cast<unsigned char*>(KvCNew(64, 1, "fuzz", KERR_Fatal));
  unsigned char* palette = static_cast<unsigned char*>(KvCNew(768, 1, "fuzz", KERR_Fatal));
  unsigned char* mask = static_cast<unsigned char*>(KvCNew(64, 1, "fuzz", KERR_Fatal));
  if (sized.GetImageDataFromMemory(8, 8, pixels, palette, mask, False, True) == 0) {
    sized.DecodeSubPartDef(in);
  }
  return 0;
}
