// Image data objects: an index plane with a palette, optional colour planes
// and a mask, filled from files, memory, picker descriptions or query strings.
#pragma once

#include <cstdint>

#include "data/KvGenericData.h"
#include "image/KvImage.h"

class KvGenericImageDataClass : public KvGenericDataClass {
 public:
  KvGenericImageDataClass();
  ~KvGenericImageDataClass() override;

  const char* GetClassName() const override { return "KvGenericImageDataClass"; }

  int ToQueryString(KvDatumClass& out) override;
  using KvGenericDataClass::FromQueryString;
  int FromQueryString(const KvDatumClass& in, const char* featureName) override;
  int EncodeSubPartDef(KvDatumClass& out) const override;
  int DecodeSubPartDef(const KvDatumClass& in) override;

  // Releases everything the object holds and zeroes its image members.
  void Reset();
  int ReadImageDataFromFile(const char* imageFile, const char* maskFile, Boolean subPart);
  int ReadImageDataFromPickerFile(const char* imageFile, const char* maskFile, Boolean subPart);
  int ReadPickerImageDescriptionFile(const char* fileName, Boolean subPart);
  int ReadPickerImageDescriptionString(const char* text, Boolean subPart);
  // Adopts the caller's planes (no copy); released by the object only when
  // ownsPlanes is True (then they must come from KvNew). 1 for a zero size or
  // a null pointer.
  int GetImageDataFromMemory(unsigned long xsize, unsigned long ysize, unsigned char* indexPlane,
                             unsigned char* palette, unsigned char* mask, Boolean subPart,
                             Boolean ownsPlanes);
  int UpdateMaskInImageObject(const char* maskFile);

  const unsigned char* GetIndexPlane() const { return indexPlane_; }
  const unsigned char* GetPalette() const { return palette_; }
  const unsigned char* GetRedPlane() const { return redPlane_; }
  const unsigned char* GetGreenPlane() const { return greenPlane_; }
  const unsigned char* GetBluePlane() const { return bluePlane_; }
  const unsigned char* GetMaskPlane() const { return maskPlane_; }
  int32_t GetXSize() const { return xsize_; }
  int32_t GetYSize() const { return ysize_; }
  Boolean GetMaskAllOnes() const { return maskAllOnes_; }
  const char* GetImageFileName() const { return imageFileName_; }
  const char* GetMaskFileName() const { return maskFileName_; }

 private:
  ImpImage* imageRaster_ = nullptr;
  ImpImage* paletteRaster_ = nullptr;
  ImpImage* maskRaster_ = nullptr;
  char* imageFileName_ = nullptr;
  char* maskFileName_ = nullptr;
  Boolean ownsPlanes_ = False;
  unsigned char* indexPlane_ = nullptr;
  unsigned char* palette_ = nullptr;
  unsigned char* redPlane_ = nullptr;
  unsigned char* greenPlane_ = nullptr;
  unsigned char* bluePlane_ = nullptr;
  unsigned char* maskPlane_ = nullptr;
  int32_t xsize_ = 0;
  int32_t ysize_ = 0;
  Boolean maskAllOnes_ = False;
};
