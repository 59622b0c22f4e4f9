// Rasters, and image files read into and written from them through the codec.
#include "image/KvImage.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "gen_img.h"
#include "image/KvKeywordText.h"
#include "query/KvDeadline.h"

namespace {

constexpr char kAllocTag[] = "KvImpRtn:impalloc";
constexpr int kFoundNameSize = 200;
constexpr int kTestImageSide = 100;

// Data size in bytes of a raster, or -1 for an invalid type.
int64_t DataSize(int64_t width, int64_t height, int type) {
  switch (type) {
    case 0: return (width + 15) / 16 * height * 2;
    case 1:
    case 10: return width * height;
    case 2: return width * height * 2;
    case 3:
    case 6: return width * height * 4;
    case 4:
    case 7: return width * height * 8;
    case 8: return width * height * 16;
    case 5: return (height + 15) / 16 * width * 2;
    default: return -1;
  }
}

// Gives the codec the evaluation's deadline while it reads one image, so a
// query's time limit stops the decoding of a large one too.
class CodecDeadline {
 public:
  CodecDeadline() {
    const KvDeadline deadline = KvCurrentDeadline();
    gen_img_set_deadline(deadline.IsSet() ? static_cast<long long>(deadline.at) : 0);
  }
  ~CodecDeadline() { gen_img_set_deadline(0); }
  CodecDeadline(const CodecDeadline&) = delete;
  CodecDeadline& operator=(const CodecDeadline&) = delete;
};

void RecordCodecFailure(const char* file, int status) {
  // Running out of time is the evaluation's failure, not the file's.
  if (status == GEN_IMG_ETIME) {
    KvDeadlineFail("KvAnyrd:KvAnyread");
    return;
  }
  char text[160];
  std::snprintf(text, sizeof text, "%s (codec status %d)", KvCodecStatusText(status), status);
  KvError(KERR_AnyImage, KERR_NonFatal, file, text);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of the (at most) two hex digits at p, as "0x" followed by them
// scans with "%i": digits are taken until the first non-digit.
int TwoHexDigits(const char* p) {
  int value = 0;
  for (int i = 0; i < 2 && HexDigit(p[i]) >= 0; ++i) value = value * 16 + HexDigit(p[i]);
  return value;
}

void ReleaseOutputs(ImpImage** image, ImpImage** palette) {
  int ignored = 0;  // impfree cannot fail
  if (image != nullptr) {
    impfree(&ignored, *image);
    *image = nullptr;
  }
  if (palette != nullptr) {
    impfree(&ignored, *palette);
    *palette = nullptr;
  }
}

// A 100 x 100 raster of index 1 whose palette holds the colour the name
// spells (!@rRRgGGbBB) in every entry; any other name gives black.
int MakeTestImage(const char* fileName, ImpImage** image, ImpImage** palette) {
  int red = 0, green = 0, blue = 0;
  if (strnlen(fileName, 9) == 9 && fileName[2] == 'r' && fileName[5] == 'g' && fileName[8] == 'b') {
    red = TwoHexDigits(fileName + 3);
    green = TwoHexDigits(fileName + 6);
    blue = TwoHexDigits(fileName + 9);
  } else {
    std::fputs("generating all black test image\n", stderr);
  }
  int status = 0;
  if (palette != nullptr) {
    *palette = impalloc(&status, 256, 3, IMP_BYTE, "KvAnyrd:KvAnyread");
    if (*palette == nullptr) return -1;
    std::memset((*palette)->data, red, 256);
    std::memset((*palette)->data + 256, green, 256);
    std::memset((*palette)->data + 512, blue, 256);
  }
  *image = impalloc(&status, kTestImageSide, kTestImageSide, IMP_BYTE, "KvAnyrd:KvAnyread");
  if (*image == nullptr) return status;
  std::memset((*image)->data, 1, (*image)->dataSize);
  return 0;
}

// Finds and decodes a real image file. On failure the outputs are released.
int DecodeFile(const char* pathVariable, const char* fileName, char* found, ImpImage** image,
               ImpImage** palette) {
  const char* pathList = pathVariable != nullptr ? Kvgetenv(pathVariable) : nullptr;
  const int search = findfile(KV_FIND_CURRENT_DIR, pathList, fileName, found, kFoundNameSize);
  if (search < 0) return -1;
  if (search > 0) {
    KvError(KERR_ImageNotFound, KERR_NonFatal, fileName, pathList != nullptr ? pathList : "");
    return -1;
  }
  if (KvApplyPixelBudget() != 0) return -1;
  const CodecDeadline deadline;
  gen_img_state state = {nullptr, 0, 0, 0};
  int width = 0, height = 0;
  int status = gen_img_read_sizes(found, &width, &height, &state, 0);
  if (status != 0) {
    gen_img_read_close(&state);
    RecordCodecFailure(found, status);
    return status;
  }
  if (width < 1 || height < 1 || width > kKvMaxImageSide || height > kKvMaxImageSide ||
      int64_t{width} * height > kKvMaxImagePixels) {
    gen_img_read_close(&state);
    KvError(KERR_ImageDims, KERR_NonFatal, width, height, found);
    return -1;
  }
  *palette = impalloc(&status, 256, 3, IMP_BYTE, "KvAnyrd:KvAnyread");
  if (*palette != nullptr) *image = impalloc(&status, width, height, IMP_BYTE, "KvAnyrd:KvAnyread");
  if (*palette == nullptr || *image == nullptr) {
    gen_img_read_close(&state);
    ReleaseOutputs(image, palette);
    return -1;
  }
  status = gen_img_get_palettized(&state, (*image)->data, (*palette)->data);
  if (status != 0) {
    RecordCodecFailure(found, status);
    ReleaseOutputs(image, palette);
  }
  return status;
}

}  // namespace

const char* KvCodecStatusText(int status) {
  switch (status) {
    case GEN_IMG_OK: return "no error";
    case GEN_IMG_EOPEN: return "file cannot be opened";
    case GEN_IMG_EFORMAT: return "unknown or unsupported image format";
    case GEN_IMG_ECORRUPT: return "corrupt or truncated image data";
    case GEN_IMG_ETOOBIG:
      return "image too large (more than 2^28 pixels, a side above 65535, or over KivoPixelBudget)";
    case GEN_IMG_ENOMEM: return "out of memory";
    case GEN_IMG_EWRITE: return "file cannot be written";
    case GEN_IMG_EARG: return "invalid argument";
    case GEN_IMG_ETIME: return "the time limit passed while decoding";
    default: return "image codec failure";
  }
}

int KvApplyPixelBudget() {
  const char* text = Kvgetenv("KivoPixelBudget");
  if (text == nullptr || text[0] == '\0') {
    gen_img_set_pixel_budget(0);
    return 0;
  }
  errno = 0;
  char* end = nullptr;
  const double mib = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(mib) || mib <= 0.0) {
    KvError(KERR_General, KERR_NonFatal, "KvAnyrd:KvAnyread: KivoPixelBudget is not a positive number of MiB");
    return -1;
  }
  // The codec caps what it keeps at what its size limits allow.
  const double bytes = std::ceil(std::min(mib, 1e6) * 1048576.0);
  gen_img_set_pixel_budget(static_cast<unsigned long long>(bytes));
  return 0;
}

ImpImage* impalloc(int* status, int width, int height, int type, const char* tag) {
  (void)tag;  // diagnostics only
  *status = 0;
  const int64_t size = DataSize(width, height, type);
  if (width < 1 || height < 1 || size < 0) {
    *status = -1;
    return nullptr;
  }
  if (size > int64_t{UINT32_MAX} || int64_t{width} * height > INT32_MAX) {
    KvError(KERR_ImageDims, KERR_NonFatal, width, height, kAllocTag);
    *status = -1;
    return nullptr;
  }
  auto* image = static_cast<ImpImage*>(KvNew(sizeof(ImpImage), kAllocTag, KERR_Fatal));
  if (image == nullptr) {
    *status = -1;
    return nullptr;
  }
  image->data = static_cast<unsigned char*>(KvNew(static_cast<size_t>(size), kAllocTag, KERR_Fatal));
  if (image->data == nullptr) {
    KvDelete(image);
    *status = -1;
    return nullptr;
  }
  image->type = type;
  image->headerSize = 28;
  image->dataSize = static_cast<uint32_t>(size);
  image->width = width;
  image->height = height;
  image->pixelCount = width * height;
  return image;
}

void impfree(int* status, ImpImage* image) {
  *status = 0;
  if (image == nullptr) return;
  KvDelete(image->data);
  KvDelete(image);
}

void KvAnyread(int* status, const char* pathVariable, const char* fileName, ImpImage** image,
               ImpImage** palette, char* text, int* textSize) {
  int localStatus = 0;
  if (status == nullptr) status = &localStatus;
  if (image != nullptr) *image = nullptr;
  if (palette != nullptr) *palette = nullptr;
  if (fileName == nullptr || image == nullptr) {
    KvError(KERR_General, KERR_NonFatal, "KvAnyrd:KvAnyread: no file name or image output");
    *status = -1;
    return;
  }
  const bool testImage = fileName[0] == '!' && fileName[1] == '@';
  char found[kFoundNameSize] = "";
  if (testImage) {
    *status = MakeTestImage(fileName, image, palette);
  } else if (palette == nullptr) {
    KvError(KERR_General, KERR_NonFatal, "KvAnyrd:KvAnyread: an image file needs a palette output");
    *status = -1;
  } else {
    *status = DecodeFile(pathVariable, fileName, found, image, palette);
  }
  if (*status != 0) {
    ReleaseOutputs(image, palette);
    return;
  }
  if (text != nullptr && textSize != nullptr && *textSize > 0) {
    if (KvReadKeywordText(found, fileName, testImage, text, textSize) != 0) {
      ReleaseOutputs(image, palette);
      *status = -1;
    }
  }
}

void KvAnywrite(int* status, const char* dirVariable, const char* fileName, const ImpImage* image,
                const ImpImage* palette) {
  int localStatus = 0;
  if (status == nullptr) status = &localStatus;
  if (fileName == nullptr || image == nullptr || image->data == nullptr || palette == nullptr ||
      palette->data == nullptr || palette->dataSize < 768 || image->type != IMP_BYTE) {
    KvError(KERR_General, KERR_NonFatal, "KvAnywr:KvAnywrite: no file name, image or palette to write");
    *status = -1;
    return;
  }
  // The directory is the first entry of the setting, which must end with a
  // separator: the name is appended directly.
  size_t directoryLength = 0;
  const char* directory = nullptr;
  if (dirVariable != nullptr) {
    directory = Kvgetenv(dirVariable);
    if (directory != nullptr) {
      const char* cut = std::strchr(directory, ';');
      directoryLength = cut != nullptr ? static_cast<size_t>(cut - directory) : std::strlen(directory);
    }
  }
  const size_t nameLength = std::strlen(fileName);
  char* name = static_cast<char*>(KvNew(directoryLength + nameLength + 1, "KvAnywr:KvAnywrite", KERR_Fatal));
  if (name == nullptr) {
    *status = -1;
    return;
  }
  if (directoryLength > 0) std::memcpy(name, directory, directoryLength);
  std::memcpy(name + directoryLength, fileName, nameLength + 1);
  *status = gen_img_put_palettized(name, image->width, image->height, image->data, palette->data);
  if (*status != 0) RecordCodecFailure(name, *status);
  KvDelete(name);
}
