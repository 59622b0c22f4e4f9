// Image data objects: an index plane with a palette, optional colour planes
// and a mask, filled from files, memory, picker descriptions or query strings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "data/KvGenericData.h"
#include "image/KvImage.h"

class KvGenericImageDataClass : public KvGenericDataClass {
 public:
  KvGenericImageDataClass();
  ~KvGenericImageDataClass() override;

  const char* GetClassName() const override { return "KvGenericImageDataClass"; }

  // For 'm' and 'p' first writes the pixel payload into the data datum; -1
  // (error recorded) when the framed text would pass 999,999,999 bytes.
  int ToQueryString(KvDatumClass& out) override;
  using KvGenericDataClass::FromQueryString;
  // Parses the query string and, for 'm' and 'p', rebuilds the planes from
  // its payload (the object owns them). -1 (error recorded, object reset) for
  // a payload that is garbled, truncated or does not match its sizes.
  int FromQueryString(const KvDatumClass& in, const char* featureName) override;
  // The mask packed with gen_img_packmask into out (released with KvDelete).
  int EncodeSubPartDef(KvDatumClass& out) const override;
  // Replaces the mask by the packed one in in; the sub-part flag says whether
  // it excludes any pixel.
  int DecodeSubPartDef(const KvDatumClass& in) override;

  // Releases everything the object holds and zeroes its image members.
  void Reset();
  // Reads the image (along "KivoImagePath") with its keyword text and the
  // mask (along "KivoMaskPath"); a missing or unusable mask gives an all-0xFF
  // one. Type 'm'. -1 (error recorded, object reset) when the image cannot be
  // read.
  int ReadImageDataFromFile(const char* imageFile, const char* maskFile, Boolean subPart);
  // ReadImageDataFromFile, then type 'p' whatever the result.
  int ReadImageDataFromPickerFile(const char* imageFile, const char* maskFile, Boolean subPart);
  // The description held in a text file: 1 when it cannot be opened (10015),
  // else as ReadPickerImageDescriptionString.
  int ReadPickerImageDescriptionFile(const char* fileName, Boolean subPart);
  // Paints the rectangles of a picker description ("D<w> <h> R<x> <y> <w> <h>
  // <r> <g> <b> ...") on a blank canvas. Type 'p'. 1 (error recorded, object
  // reset) for an unusable description: no text, a zero or oversized canvas,
  // a rectangle before the canvas, a second canvas, more than 256 rectangles;
  // -1 when memory runs out.
  int ReadPickerImageDescriptionString(const char* text, Boolean subPart);
  // Adopts the caller's planes (no copy); released by the object only when
  // ownsPlanes is True (then they must come from KvNew). 1 for a zero size or
  // a null pointer.
  int GetImageDataFromMemory(unsigned long xsize, unsigned long ysize, unsigned char* indexPlane,
                             unsigned char* palette, unsigned char* mask, Boolean subPart,
                             Boolean ownsPlanes);
  // Replaces the mask by the one read from maskFile (black palette entries
  // exclude a pixel). 0 for a null name; -1 (error recorded, previous mask
  // kept) when it cannot be read or its size differs from the image.
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
  // Releases the mask plane by its owner: its raster, the object (owns
  // planes) or the caller (nothing to do).
  void ReleaseMask();
  // Payload text of the query string (the three image-data source files).
  int BuildPayload();
  int ParsePayload(const char* text, size_t length);

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
