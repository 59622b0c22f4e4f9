// Photographs as the kivo command reads them: pixels through the codec
// library, turned upright by the file's orientation tag, with the keywords
// of the file's metadata. (The four tools read the stored pixel order and
// side-file keywords only; their records stay as they are.)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class KvGenericImageDataClass;

namespace kivo {

// What the metadata of a file says; defaults when it has none.
struct PhotoMetadata {
  int orientation = 1;                // 1 to 8 as in the EXIF tag; 1 upright
  std::vector<std::string> keywords;  // XMP subject, IPTC keywords, Windows keywords and subject
};

// Reads the metadata of path through Exiv2. Files it cannot read, and
// unknown orientation values, give the defaults: metadata never makes an
// image fail.
PhotoMetadata ReadPhotoMetadata(const std::string& path);
// Reads metadata from a file held in memory (for the fuzz target).
PhotoMetadata ReadPhotoMetadata(const unsigned char* bytes, size_t size);
// Prepares the metadata reader for use from several threads; call once
// before starting them.
void InitPhotoMetadata();

// Reorders a width x height byte raster so that it appears upright for the
// given orientation; width and height are swapped for 5 to 8.
void ApplyOrientation(int orientation, int* width, int* height, std::vector<unsigned char>* pixels);

struct Photo {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> index;    // width x height palette indices
  std::vector<unsigned char> palette;  // 768 bytes, planar
  std::vector<unsigned char> mask;     // all 0xFF
  std::string keywords;                // blank-separated
};

struct PhotoOptions {
  bool orient = true;
  // Keywords added besides the metadata's (the folder names, for example).
  std::vector<std::string> extraKeywords;
  // Also read the side file "<image>.txt" as the tools do.
  bool sideFileKeywords = true;
};

// Reads path into photo. False with a reason ("not an image", "corrupt or
// truncated data", ...) otherwise; *notImage tells whether the content is of
// no image format the codec knows.
bool LoadPhoto(const std::string& path, const PhotoOptions& options, Photo* photo, std::string* reason,
               bool* notImage);
// True when the file's content is of an image format the codec reads
// (header only).
bool LooksLikeImage(const std::string& path);

// Points data at photo's planes (photo must outlive data's use) with its
// keyword text. 0, or non-zero with the error recorded.
int AttachPhoto(Photo& photo, KvGenericImageDataClass* data);

// Keyword list tidied for the keyword feature: white space runs become one
// blank inside a keyword, empty ones are dropped and repeats (compared
// without regard to case) are kept once, first occurrence first. Joined by
// blanks.
std::string JoinKeywords(const std::vector<std::string>& keywords);

}  // namespace kivo
