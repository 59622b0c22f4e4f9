// Photographs for the kivo command: codec pixels, orientation, metadata
// keywords.
#include "KivoPhoto.h"

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cstring>
#include <set>

#include "KivoFold.h"
#include "data/KvGenericImageData.h"
#include "gen_img.h"
#include "image/KvImage.h"
#include "image/KvKeywordText.h"

namespace kivo {
namespace {

// Keywords longer than this are cut; the keyword feature reads words of at
// most 1023 characters.
constexpr size_t kMaxKeyword = 1000;
// Side-file keyword text is read into a buffer of this size, as the tools do.
constexpr int kSideTextCapacity = 16384;

std::string Utf16LeToUtf8(const std::vector<unsigned char>& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t u = bytes[i] | (bytes[i + 1] << 8);
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      const uint32_t low = bytes[i + 2] | (bytes[i + 3] << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    AppendUtf8(out, u);
  }
  return out;
}

void SplitInto(const std::string& text, char separator, std::vector<std::string>& out) {
  size_t i = 0;
  while (i <= text.size()) {
    size_t j = text.find(separator, i);
    if (j == std::string::npos) j = text.size();
    out.push_back(text.substr(i, j - i));
    i = j + 1;
  }
}

// Files in the HEIF family carry their orientation in the container, which
// the decoder applies; a stray EXIF orientation must not turn them again.
bool IsHeifFamily(const Exiv2::Image& image) { return image.imageType() == Exiv2::ImageType::bmff; }

// The opened image is borrowed; its opener keeps the library's own pointer.
PhotoMetadata ReadFrom(Exiv2::Image* image) {
  PhotoMetadata m;
  if (image == nullptr) return m;
  image->readMetadata();
  const Exiv2::ExifData& exif = image->exifData();
  auto orientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
  if (orientation != exif.end() && orientation->count() > 0 && !IsHeifFamily(*image)) {
    const long value = orientation->toLong(0);
    if (value >= 1 && value <= 8) m.orientation = static_cast<int>(value);
  }
  for (const auto& d : image->xmpData()) {
    if (d.key() != "Xmp.dc.subject") continue;
    for (long i = 0; i < d.count(); ++i) m.keywords.push_back(d.toString(i));
  }
  for (const auto& d : image->iptcData()) {
    if (d.key() == "Iptc.Application2.Keywords") m.keywords.push_back(d.toString());
  }
  for (const char* tag : {"Exif.Image.XPKeywords", "Exif.Image.XPSubject"}) {
    auto it = exif.findKey(Exiv2::ExifKey(tag));
    if (it == exif.end() || it->size() == 0 || it->size() > (1 << 20)) continue;
    std::vector<unsigned char> raw(static_cast<size_t>(it->size()));
    it->copy(raw.data(), Exiv2::littleEndian);
    SplitInto(Utf16LeToUtf8(raw), ';', m.keywords);
  }
  return m;
}

template <typename Open>
PhotoMetadata Guarded(Open open) {
  try {
    // auto: the library's own owning pointer, whatever type it is.
    auto image = open();
    return ReadFrom(image.get());
  } catch (...) {
    // Unreadable or damaged metadata: the image is read without it.
    return PhotoMetadata();
  }
}

}  // namespace

void InitPhotoMetadata() {
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  Exiv2::XmpParser::initialize();
  Exiv2::enableBMFF(true);
}

PhotoMetadata ReadPhotoMetadata(const std::string& path) {
  return Guarded([&] { return Exiv2::ImageFactory::open(path); });
}

PhotoMetadata ReadPhotoMetadata(const unsigned char* bytes, size_t size) {
  if (bytes == nullptr || size == 0) return PhotoMetadata();
  return Guarded([&] { return Exiv2::ImageFactory::open(bytes, static_cast<long>(size)); });
}

void ApplyOrientation(int orientation, int* width, int* height, std::vector<unsigned char>* pixels) {
  if (orientation < 2 || orientation > 8) return;
  const int w = *width, h = *height;
  const bool swap = orientation >= 5;
  const int dw = swap ? h : w, dh = swap ? w : h;
  std::vector<unsigned char> out(pixels->size());
  const unsigned char* src = pixels->data();
  for (int y = 0; y < dh; ++y) {
    unsigned char* row = out.data() + static_cast<size_t>(y) * dw;
    for (int x = 0; x < dw; ++x) {
      int sx = x, sy = y;
      switch (orientation) {
        case 2: sx = w - 1 - x; break;
        case 3: sx = w - 1 - x; sy = h - 1 - y; break;
        case 4: sy = h - 1 - y; break;
        case 5: sx = y; sy = x; break;
        case 6: sx = y; sy = h - 1 - x; break;
        case 7: sx = w - 1 - y; sy = h - 1 - x; break;
        case 8: sx = w - 1 - y; sy = x; break;
      }
      row[x] = src[static_cast<size_t>(sy) * w + sx];
    }
  }
  pixels->swap(out);
  *width = dw;
  *height = dh;
}

bool LooksLikeImage(const std::string& path) {
  gen_img_state state{};
  int w = 0, h = 0;
  const int rc = gen_img_read_sizes(path.c_str(), &w, &h, &state, 0);
  gen_img_read_close(&state);
  return rc != GEN_IMG_EFORMAT && rc != GEN_IMG_EOPEN;
}

std::string JoinKeywords(const std::vector<std::string>& keywords) {
  std::string out;
  std::set<std::string> seen;
  for (const std::string& k : keywords) {
    std::string tidy;
    for (char c : k) {
      const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
      if (space) {
        if (!tidy.empty() && tidy.back() != ' ') tidy.push_back(' ');
      } else if (static_cast<unsigned char>(c) >= 0x20) {
        tidy.push_back(c);
      }
    }
    while (!tidy.empty() && tidy.back() == ' ') tidy.pop_back();
    if (tidy.size() > kMaxKeyword) tidy.resize(kMaxKeyword);
    if (tidy.empty() || !seen.insert(FoldCase(tidy)).second) continue;
    if (!out.empty()) out.push_back(' ');
    out += tidy;
  }
  return out;
}

bool LoadPhoto(const std::string& path, const PhotoOptions& options, Photo* photo, std::string* reason,
               bool* notImage) {
  *notImage = false;
  if (KvApplyPixelBudget() != 0) {
    *reason = "KivoPixelBudget is not a positive number of MiB";
    return false;
  }
  gen_img_state state{};
  int w = 0, h = 0;
  int rc = gen_img_read_sizes(path.c_str(), &w, &h, &state, 0);
  if (rc == GEN_IMG_OK) {
    try {
      photo->index.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
      photo->palette.assign(768, 0);
    } catch (const std::bad_alloc&) {
      gen_img_read_close(&state);
      *reason = "out of memory";
      return false;
    }
    rc = gen_img_get_palettized(&state, photo->index.data(), photo->palette.data());
  }
  gen_img_read_close(&state);
  if (rc != GEN_IMG_OK) {
    *notImage = rc == GEN_IMG_EFORMAT;
    switch (rc) {
      case GEN_IMG_EOPEN: *reason = std::string("cannot open: ") + std::strerror(errno); break;
      case GEN_IMG_EFORMAT: *reason = "not an image"; break;
      case GEN_IMG_ECORRUPT: *reason = "corrupt or truncated image"; break;
      case GEN_IMG_ETOOBIG: *reason = "image too large"; break;
      case GEN_IMG_ENOMEM: *reason = "out of memory"; break;
      default: *reason = "cannot be read (status " + std::to_string(rc) + ")"; break;
    }
    return false;
  }
  const PhotoMetadata meta = ReadPhotoMetadata(path);
  if (options.orient) ApplyOrientation(meta.orientation, &w, &h, &photo->index);
  photo->width = w;
  photo->height = h;
  photo->mask.assign(photo->index.size(), 0xFF);

  std::vector<std::string> keywords;
  if (options.sideFileKeywords) {
    char text[kSideTextCapacity];
    int size = kSideTextCapacity;
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // A side file that cannot be looked for (a directory name too long for
    // its search) only means no side-file keywords.
    if (KvReadKeywordText(path.c_str(), base.c_str(), false, text, &size) == 0 && size > 1) {
      SplitInto(std::string(text, static_cast<size_t>(size - 1)), ' ', keywords);
    }
  }
  keywords.insert(keywords.end(), meta.keywords.begin(), meta.keywords.end());
  keywords.insert(keywords.end(), options.extraKeywords.begin(), options.extraKeywords.end());
  photo->keywords = JoinKeywords(keywords);
  return true;
}

int AttachPhoto(Photo& photo, KvGenericImageDataClass* data) {
  const int rc = data->GetImageDataFromMemory(static_cast<unsigned long>(photo.width),
                                              static_cast<unsigned long>(photo.height), photo.index.data(),
                                              photo.palette.data(), photo.mask.data(), False, False);
  if (rc != 0) return rc;
  return data->SetKeywordText(photo.keywords.empty() ? nullptr : photo.keywords.c_str());
}

}  // namespace kivo
