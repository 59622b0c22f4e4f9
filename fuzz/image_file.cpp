// Image files of every format the codec reads (JPEG, PNG, GIF, BMP, TIFF,
// PNM, WebP: chosen by content), read through KvAnyread into an image data
// object (with the same bytes as its keyword text file), then used as the
// mask of the same image and of a 100 x 100 test image. What reads is a
// consistent image from which the features compute.
#include <cstring>
#include <memory>

#include "FuzzUtil.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "gen_img.h"

namespace {

// Files whose header claims more pixels than this are left out: the library
// takes images up to 2^28 pixels, which is a matter of memory and time, not
// of parsing, and would only slow the run down.
constexpr int64_t kMaxFuzzedPixels = int64_t{1} << 22;
// Features are computed on images up to this size.
constexpr int64_t kMaxComputedPixels = int64_t{1} << 16;

void CheckImage(const KvGenericImageDataClass& image) {
  const int64_t n = int64_t{image.GetXSize()} * image.GetYSize();
  if (image.GetType() != 'm' || n < 1 || image.GetIndexPlane() == nullptr || image.GetPalette() == nullptr ||
      image.GetMaskPlane() == nullptr) {
    __builtin_trap();
  }
  const unsigned char* mask = image.GetMaskPlane();
  bool excludes = false;
  for (int64_t i = 0; i < n; ++i) {
    if (mask[i] != 0 && mask[i] != 0xFF) __builtin_trap();
    excludes |= mask[i] == 0;
  }
  // A sub-part is only claimed when the mask excludes something.
  if (image.GetSubPart() == True && !excludes) __builtin_trap();
}

// Every whole-image feature (the sub-part classes compute the same way).
void ComputeFeatures(KvGenericImageDataClass& image) {
  image.SetQuerySide(True);
  for (const char** name = KvListAllAvailableFeatures(); *name != nullptr; ++name) {
    std::unique_ptr<KvFeatureClass> feature(KvCreateFeatureClass(*name));
    if (!feature) __builtin_trap();
    if (feature->IsSubPartFeature() == True) continue;
    KvParameterClass parms;
    parms = *feature->GetParameters();
    if (feature->ComputeFeature(&image, &parms) != 0) continue;
    KvDatumClass bytes;
    if (feature->ToByteString(bytes) != 0 && feature->GetByteStringSize() != 0) __builtin_trap();
    const float d = feature->Distance(feature.get(), &parms, -1.0f);
    if (!(d >= 0.0f) && d != -1.0f) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KvInitializeErrorStructure();
  // Keyword texts are looked for along this setting too.
  static const bool textPath = Kvsetenv("KivoTextPath", kvfuzz::ScratchDir().c_str()) == 0;
  (void)textPath;
  const std::string path = kvfuzz::WriteScratchFile("image.img", data, size);
  kvfuzz::WriteScratchFile("image.img.txt", data, size);

  gen_img_state state = {nullptr, 0, 0, 0};
  int width = 0, height = 0;
  const int probed = gen_img_read_sizes(path.c_str(), &width, &height, &state, 0);
  gen_img_read_close(&state);
  if (probed == 0 && int64_t{width} * height > kMaxFuzzedPixels) return 0;

  // The file as an image with itself as the mask: the sizes agree.
  KvGenericImageDataClass image;
  const int rc = image.ReadImageDataFromFile(path.c_str(), path.c_str(), True);
  if (rc == 0) {
    if (image.GetXSize() != width || image.GetYSize() != height) __builtin_trap();
    CheckImage(image);
    if (image.GetMaskFileName() == nullptr) __builtin_trap();  // a readable mask of the right size
    // Keywords: white space merged into single blanks, cut to the buffer.
    const char* keywords = image.GetKeywordText();
    if (keywords == nullptr || std::strlen(keywords) >= 16384 || std::strstr(keywords, "  ") != nullptr ||
        std::strpbrk(keywords, "\t\n\v\f\r") != nullptr) {
      __builtin_trap();
    }
    if (int64_t{width} * height <= kMaxComputedPixels) ComputeFeatures(image);
  } else if (image.GetIndexPlane() != nullptr || image.GetMaskPlane() != nullptr) {
    __builtin_trap();  // a failed read leaves nothing behind
  }

  // The file as the mask of a 100 x 100 test image: refused unless it has
  // that size, and then the old mask stays.
  KvGenericImageDataClass test;
  if (test.ReadImageDataFromFile("!@r40g80bc0", nullptr, False) != 0) __builtin_trap();
  const unsigned char* before = test.GetMaskPlane();
  const int masked = test.UpdateMaskInImageObject(path.c_str());
  if (masked != 0 && test.GetMaskPlane() != before) __builtin_trap();
  if (masked == 0 && (width != 100 || height != 100)) __builtin_trap();
  CheckImage(test);
  return 0;
}
