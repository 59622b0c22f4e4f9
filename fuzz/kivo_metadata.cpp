// The metadata a photograph carries (EXIF, IPTC, XMP, read through Exiv2) as
// kivo index reads it: the orientation tag and the keyword fields. Damaged
// metadata gives the defaults, never a failure; the file form reads what the
// memory form reads; the keyword list is tidied into blank-separated words;
// and turning a raster by the orientation found and back restores it.
#include <string>
#include <vector>

#include "FuzzUtil.h"
#include "KivoPhoto.h"

namespace {

// The orientation that undoes another: a quarter turn one way is undone by
// one the other way; the mirrorings and the half turn undo themselves.
int Inverse(int orientation) { return orientation == 6 ? 8 : orientation == 8 ? 6 : orientation; }

bool Same(const kivo::PhotoMetadata& a, const kivo::PhotoMetadata& b) {
  return a.orientation == b.orientation && a.keywords == b.keywords;
}

void CheckKeywordText(const std::string& text) {
  if (text.empty()) return;
  if (text.front() == ' ' || text.back() == ' ') __builtin_trap();
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || (c == ' ' && text[i + 1] == ' ')) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    kivo::InitPhotoMetadata();
    return true;
  }();
  (void)ready;
  const kivo::PhotoMetadata fromMemory = kivo::ReadPhotoMetadata(data, size);
  if (fromMemory.orientation < 1 || fromMemory.orientation > 8) __builtin_trap();
  const std::string path = kvfuzz::WriteScratchFile("photo", data, size);
  if (!Same(fromMemory, kivo::ReadPhotoMetadata(path))) __builtin_trap();

  const std::string joined = kivo::JoinKeywords(fromMemory.keywords);
  CheckKeywordText(joined);
  // Tidy text stays as it is (unless it is long enough to be cut).
  if (joined.size() <= 1000 && kivo::JoinKeywords({joined}) != joined) __builtin_trap();

  int width = 3 + static_cast<int>(size % 5), height = 2 + static_cast<int>(size % 3);
  std::vector<unsigned char> raster(static_cast<size_t>(width * height));
  for (size_t i = 0; i < raster.size(); ++i) raster[i] = static_cast<unsigned char>(i);
  const std::vector<unsigned char> original = raster;
  const int w0 = width, h0 = height;
  kivo::ApplyOrientation(fromMemory.orientation, &width, &height, &raster);
  if (static_cast<size_t>(width * height) != original.size()) __builtin_trap();
  if (fromMemory.orientation >= 5 ? width != h0 || height != w0 : width != w0 || height != h0) __builtin_trap();
  kivo::ApplyOrientation(Inverse(fromMemory.orientation), &width, &height, &raster);
  if (width != w0 || height != h0 || raster != original) __builtin_trap();
  return 0;
}
