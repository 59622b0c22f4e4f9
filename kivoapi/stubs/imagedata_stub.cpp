// Placeholder until image data objects land: memory images work, everything
// else fails.
#include <cstring>

#include "core/KvError.h"
#include "data/KvGenericImageData.h"

KvGenericImageDataClass::KvGenericImageDataClass() = default;
KvGenericImageDataClass::~KvGenericImageDataClass() { Reset(); }

void KvGenericImageDataClass::Reset() {
  if (ownsPlanes_) {
    KvDelete(palette_);
    KvDelete(indexPlane_);
    KvDelete(maskPlane_);
    KvDelete(redPlane_);
    KvDelete(greenPlane_);
    KvDelete(bluePlane_);
  }
  ownsPlanes_ = False;
  indexPlane_ = palette_ = redPlane_ = greenPlane_ = bluePlane_ = maskPlane_ = nullptr;
  xsize_ = ysize_ = 0;
  maskAllOnes_ = False;
}

int KvGenericImageDataClass::GetImageDataFromMemory(unsigned long xsize, unsigned long ysize,
                                                    unsigned char* indexPlane, unsigned char* palette,
                                                    unsigned char* mask, Boolean subPart, Boolean ownsPlanes) {
  if (xsize == 0 || ysize == 0 || indexPlane == nullptr || palette == nullptr || mask == nullptr) return 1;
  Reset();
  xsize_ = static_cast<int32_t>(xsize);
  ysize_ = static_cast<int32_t>(ysize);
  indexPlane_ = indexPlane;
  palette_ = palette;
  maskPlane_ = mask;
  subPart_ = subPart;
  maskAllOnes_ = std::memchr(mask, 0, xsize * ysize) == nullptr ? True : False;
  type_ = KV_DATA_MEMORY;
  ownsPlanes_ = ownsPlanes;
  return 0;
}

int KvGenericImageDataClass::ToQueryString(KvDatumClass&) { return -1; }
int KvGenericImageDataClass::FromQueryString(const KvDatumClass&, const char*) { return -1; }
int KvGenericImageDataClass::EncodeSubPartDef(KvDatumClass&) const { return -1; }
int KvGenericImageDataClass::DecodeSubPartDef(const KvDatumClass&) { return -1; }
int KvGenericImageDataClass::ReadImageDataFromFile(const char*, const char*, Boolean) { return -1; }
int KvGenericImageDataClass::ReadImageDataFromPickerFile(const char*, const char*, Boolean) { return -1; }
int KvGenericImageDataClass::ReadPickerImageDescriptionFile(const char*, Boolean) { return -1; }
int KvGenericImageDataClass::ReadPickerImageDescriptionString(const char*, Boolean) { return -1; }
int KvGenericImageDataClass::UpdateMaskInImageObject(const char*) { return -1; }
