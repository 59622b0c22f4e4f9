// Image data objects: loading from image and mask files and from memory, the
// reset, and the packed mask of sub-parts.
//
// Planes have one of three owners: the rasters of the image reader (file and
// mask loads, released with impfree), the object itself when owns planes is
// set (descriptions and query strings, released with KvDelete), or the
// caller (memory loads without ownership). A mask read from a file or decoded
// from a packed sub-part always comes with its own raster, whatever the owner
// of the other planes.
#include "data/KvGenericImageData.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "gen_img.h"

namespace {

void FreeRaster(ImpImage** raster) {
  int ignored = 0;  // impfree cannot fail
  impfree(&ignored, *raster);
  *raster = nullptr;
}

void Release(char** text) {
  KvDelete(*text);
  *text = nullptr;
}

bool HasZeroByte(const unsigned char* bytes, size_t count) {
  return std::memchr(bytes, 0, count) != nullptr;
}

void RecordGeneral(const char* text) { KvError(KERR_General, KERR_NonFatal, text); }

}  // namespace

KvGenericImageDataClass::KvGenericImageDataClass() = default;

KvGenericImageDataClass::~KvGenericImageDataClass() { Reset(); }

void KvGenericImageDataClass::ReleaseMask() {
  const bool fromRaster = maskRaster_ != nullptr && maskPlane_ == maskRaster_->data;
  if (!fromRaster && ownsPlanes_) KvDelete(maskPlane_);
  FreeRaster(&maskRaster_);
  maskPlane_ = nullptr;
}

void KvGenericImageDataClass::Reset() {
  ReleaseMask();
  if (ownsPlanes_) {
    // Planes that are the data of a raster go with the raster below.
    unsigned char* const rasterData[] = {imageRaster_ != nullptr ? imageRaster_->data : nullptr,
                                         paletteRaster_ != nullptr ? paletteRaster_->data : nullptr};
    for (unsigned char* plane : {indexPlane_, palette_, redPlane_, greenPlane_, bluePlane_}) {
      if (plane != nullptr && plane != rasterData[0] && plane != rasterData[1]) KvDelete(plane);
    }
  }
  FreeRaster(&imageRaster_);
  FreeRaster(&paletteRaster_);
  Release(&imageFileName_);
  Release(&maskFileName_);
  ownsPlanes_ = False;
  indexPlane_ = palette_ = redPlane_ = greenPlane_ = bluePlane_ = nullptr;
  xsize_ = ysize_ = 0;
  maskAllOnes_ = False;
}

int KvGenericImageDataClass::ReadImageDataFromFile(const char* imageFile, const char* maskFile,
                                                   Boolean subPart) {
  Reset();
  if (imageFile == nullptr) {
    RecordGeneral("KvImgDat::ReadImageDataFromFile: no image file name");
    return -1;
  }
  imageFileName_ = KvStrDup(imageFile, 0);
  if (imageFileName_ == nullptr) return -1;
  constexpr int kTextCapacity = 16384;
  char text[kTextCapacity];
  text[0] = '\0';
  int textSize = kTextCapacity;
  int status = 0;
  KvAnyread(&status, "KivoImagePath", imageFile, &imageRaster_, &paletteRaster_, text, &textSize);
  if (status != 0) {
    Reset();
    return -1;
  }
  indexPlane_ = imageRaster_->data;
  palette_ = paletteRaster_->data;
  xsize_ = imageRaster_->width;
  ysize_ = imageRaster_->height;
  if (SetKeywordText(text) != 0) {
    Reset();
    return -1;
  }
  subPart_ = False;
  type_ = KV_DATA_MEMORY;

  const int maskResult = UpdateMaskInImageObject(maskFile);
  subPart_ = maskResult == 0 && subPart_ && subPart ? True : False;
  if (maskResult != 0 || maskPlane_ == nullptr) {
    // No usable mask: every pixel belongs to the image.
    ReleaseMask();
    maskRaster_ = impalloc(&status, xsize_, ysize_, IMP_BYTE, "ReadImageDataFromFile");
    if (maskRaster_ == nullptr) {
      Reset();
      return -1;
    }
    maskPlane_ = maskRaster_->data;
    std::memset(maskPlane_, 0xFF, maskRaster_->dataSize);
    Release(&maskFileName_);
    maskAllOnes_ = True;
  }
  return 0;
}

int KvGenericImageDataClass::ReadImageDataFromPickerFile(const char* imageFile, const char* maskFile,
                                                         Boolean subPart) {
  const int result = ReadImageDataFromFile(imageFile, maskFile, subPart);
  type_ = KV_DATA_PICKER;
  return result;
}

int KvGenericImageDataClass::UpdateMaskInImageObject(const char* maskFile) {
  if (maskFile == nullptr) return 0;
  ImpImage* mask = nullptr;
  ImpImage* maskPalette = nullptr;
  int status = 0;
  KvAnyread(&status, "KivoMaskPath", maskFile, &mask, &maskPalette, nullptr, nullptr);
  if (status != 0) return -1;
  // The name changes with the mask: a refused file leaves both as they were.
  const bool sameSize = mask->width == xsize_ && mask->height == ysize_;
  if (!sameSize) {
    KvError(KERR_ImageSizeMismatch, KERR_NonFatal, maskFile,
            imageFileName_ != nullptr ? imageFileName_ : "in memory",
            static_cast<int>(int64_t{xsize_} * ysize_), static_cast<int>(mask->pixelCount));
  }
  char* name = sameSize ? KvStrDup(maskFile, 0) : nullptr;
  if (name == nullptr) {
    FreeRaster(&mask);
    FreeRaster(&maskPalette);
    return -1;
  }
  KvDelete(maskFileName_);
  maskFileName_ = name;
  // A pixel is outside the mask when its colour in the mask's palette is black.
  unsigned char inside[256];
  const unsigned char* p = maskPalette->data;
  for (int i = 0; i < 256; ++i) inside[i] = (p[i] | p[256 + i] | p[512 + i]) != 0 ? 0xFF : 0x00;
  unsigned char* plane = mask->data;
  const size_t count = mask->dataSize;
  for (size_t i = 0; i < count; ++i) plane[i] = inside[plane[i]];
  FreeRaster(&maskPalette);

  ReleaseMask();
  maskRaster_ = mask;
  maskPlane_ = plane;
  const bool excludes = HasZeroByte(plane, count);
  subPart_ = excludes ? True : False;
  maskAllOnes_ = excludes ? False : True;
  return 0;
}

int KvGenericImageDataClass::GetImageDataFromMemory(unsigned long xsize, unsigned long ysize,
                                                    unsigned char* indexPlane, unsigned char* palette,
                                                    unsigned char* mask, Boolean subPart,
                                                    Boolean ownsPlanes) {
  if (xsize == 0 || ysize == 0 || indexPlane == nullptr || palette == nullptr || mask == nullptr) {
    return 1;
  }
  const auto limit = static_cast<unsigned long>(kKvMaxImagePixels);
  if (xsize > limit || ysize > limit || xsize * ysize > limit) {
    KvError(KERR_ImageDims, KERR_NonFatal, static_cast<int>(std::min(xsize, limit)),
            static_cast<int>(std::min(ysize, limit)), "KvImgDat::GetImageDataFromMemory");
    return 1;
  }
  Reset();
  xsize_ = static_cast<int32_t>(xsize);
  ysize_ = static_cast<int32_t>(ysize);
  indexPlane_ = indexPlane;
  palette_ = palette;
  maskPlane_ = mask;
  subPart_ = subPart;
  maskAllOnes_ = HasZeroByte(mask, xsize * ysize) ? False : True;
  type_ = KV_DATA_MEMORY;
  ownsPlanes_ = ownsPlanes;
  return 0;
}

int KvGenericImageDataClass::EncodeSubPartDef(KvDatumClass& out) const {
  if (xsize_ <= 0 || ysize_ <= 0 || maskPlane_ == nullptr) {
    char text[160];
    std::snprintf(text, sizeof text, "KvImgDat::EncodeSubPartDef - invalid image data: xsize(%d), ysize(%d), mask %s",
                  xsize_, ysize_, maskPlane_ == nullptr ? "is NULL" : "OK");
    RecordGeneral(text);
    return -1;
  }
  const size_t capacity = static_cast<size_t>(ysize_) * 2 * ((static_cast<size_t>(xsize_) + 7) / 8);
  auto* buffer = static_cast<unsigned char*>(KvNew(capacity, "KvGenericImageDataClass::EncodeSubPartDef", KERR_Fatal));
  if (buffer == nullptr) return -1;
  const int n = gen_img_packmask(maskPlane_, buffer, xsize_, ysize_);
  if (n < 1 || static_cast<size_t>(n) > capacity) {
    KvDelete(buffer);
    RecordGeneral("KvImgDat::EncodeSubPartDef transformation failed");
    return -1;
  }
  out.SetBytes(static_cast<unsigned long>(n), buffer, KvOwnKvDelete);
  return 0;
}

int KvGenericImageDataClass::DecodeSubPartDef(const KvDatumClass& in) {
  if (xsize_ <= 0 || ysize_ <= 0) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "KvImgDat::DecodeSubPartDef - image dimensions suggest image not initialised - Xsize=%d, Ysize=%d",
                  xsize_, ysize_);
    RecordGeneral(text);
    return -1;
  }
  if (in.Data() == nullptr || in.Size() == 0 || in.Size() > INT32_MAX) {
    RecordGeneral("KvImgDat::DecodeSubPartDef - Invalid subPartDatum supplied");
    return -1;
  }
  int status = 0;
  ImpImage* mask = impalloc(&status, xsize_, ysize_, IMP_BYTE, "KvGenericImageDataClass::DecodeSubPartDef");
  if (mask == nullptr) return -1;
  std::memset(mask->data, 0, mask->dataSize);
  if (gen_img_unpackmask(mask->data, in.Data(), static_cast<int>(in.Size()), xsize_, ysize_) != 0) {
    FreeRaster(&mask);
    RecordGeneral("KvImgDat::DecodeSubPartDef - transformation failure");
    return -1;
  }
  ReleaseMask();
  maskRaster_ = mask;
  maskPlane_ = mask->data;
  const bool excludes = HasZeroByte(maskPlane_, mask->dataSize);
  subPart_ = excludes ? True : False;
  maskAllOnes_ = excludes ? False : True;
  return 0;
}
