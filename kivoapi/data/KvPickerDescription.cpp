// Picker descriptions: images painted from a text of coloured rectangles.
//
//   D<xsize> <ysize>                      the canvas (once, first)
//   R<x> <y> <w> <h> <r> <g> <b>          a rectangle of colour (r, g, b)
//
// Only 'D' and 'R' start a command; other characters are skipped. A number
// follows its letter directly and is followed by exactly one separator of
// any kind. Each painted rectangle takes the next palette entry, so at most
// 256 fit; later rectangles paint over earlier ones. Uncovered pixels are
// index 0 and outside the mask.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <vector>

#include "core/KvError.h"
#include "core/KvRegularFile.h"
#include "core/KvString.h"
#include "data/KvGenericImageData.h"

namespace {

constexpr char kTag[] = "KvGenericImageDataClass::ReadPickerImageDescriptionString";
// Colour indices are bytes: one palette entry per rectangle.
constexpr int kMaxRectangles = 256;

// Walks a description. Numbers read as atoi would (leading blanks, a sign,
// digits) and skip exactly what they read plus one separator.
class DescriptionReader {
 public:
  explicit DescriptionReader(const char* text) : p_(text) {}

  // Moves to the next command letter; false at the end of the text.
  bool NextCommand(char* command) {
    while (*p_ != '\0' && *p_ != 'D' && *p_ != 'R') ++p_;
    if (*p_ == '\0') return false;
    *command = *p_++;
    return true;
  }
  // False when the text ended before the number. *endedAfter says whether
  // the text ends right behind the number (no separator).
  bool Number(long* value, bool* endedAfter = nullptr) {
    if (*p_ == '\0') return false;
    char* end = nullptr;
    long v = std::strtol(p_, &end, 10);
    if (v > INT_MAX) v = INT_MAX;
    if (v < INT_MIN) v = INT_MIN;
    *value = v;
    p_ = end;
    if (endedAfter != nullptr) *endedAfter = *p_ == '\0';
    if (*p_ != '\0') ++p_;
    return true;
  }

 private:
  const char* p_;
};

// A painted rectangle: columns [x0, x1) of rows [y0, y1), never empty, in
// palette entry colour; order is its place in the description.
struct Rectangle {
  int32_t x0, x1, y0, y1;
  unsigned char colour;
};

// Paints the rectangles so that each pixel shows the last one covering it,
// writing every pixel at most once. Painting one rectangle after the other
// would cost up to 256 whole canvases: a few kilobytes of description could
// keep the reader busy for many seconds. Instead the rows are cut into bands
// at the rectangles' top and bottom edges, so every row of a band is covered
// by the same rectangles; the first row of a band is swept from left to right
// keeping the covering rectangles ordered by their place in the description
// (a pixel takes the colour of the latest), and the band's other rows are
// copies of it. Throws std::bad_alloc.
void PaintRectangles(const Rectangle* rects, size_t count, int32_t xsize, unsigned char* index,
                     unsigned char* mask) {
  std::vector<int32_t> edges;
  edges.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    edges.push_back(rects[i].y0);
    edges.push_back(rects[i].y1);
  }
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());

  struct Event {
    int32_t x;
    size_t order;
    bool starts;
  };
  std::vector<Event> events;
  events.reserve(2 * count);
  std::set<size_t> covering;
  const size_t rowBytes = static_cast<size_t>(xsize);
  for (size_t band = 0; band + 1 < edges.size(); ++band) {
    const int32_t top = edges[band], bottom = edges[band + 1];
    events.clear();
    for (size_t i = 0; i < count; ++i) {
      if (rects[i].y0 <= top && top < rects[i].y1) {
        events.push_back({rects[i].x0, i, true});
        events.push_back({rects[i].x1, i, false});
      }
    }
    if (events.empty()) continue;  // rows no rectangle covers stay outside
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.x < b.x; });
    unsigned char* firstIndex = index + static_cast<size_t>(top) * rowBytes;
    unsigned char* firstMask = mask + static_cast<size_t>(top) * rowBytes;
    covering.clear();
    for (size_t e = 0; e < events.size();) {
      const int32_t x = events[e].x;
      for (; e < events.size() && events[e].x == x; ++e) {
        if (events[e].starts) covering.insert(events[e].order);
        else covering.erase(events[e].order);
      }
      if (covering.empty() || e == events.size()) continue;
      const size_t width = static_cast<size_t>(events[e].x - x);
      std::memset(firstIndex + x, rects[*covering.rbegin()].colour, width);
      std::memset(firstMask + x, 0xFF, width);
    }
    for (int32_t row = top + 1; row < bottom; ++row) {
      std::memcpy(index + static_cast<size_t>(row) * rowBytes, firstIndex, rowBytes);
      std::memcpy(mask + static_cast<size_t>(row) * rowBytes, firstMask, rowBytes);
    }
  }
}

int Refuse(const char* why) {
  char text[200];
  std::snprintf(text, sizeof text, "KvImgDat::ReadPickerImageDescriptionString: %s", why);
  KvError(KERR_General, KERR_NonFatal, text);
  return 1;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

int KvGenericImageDataClass::ReadPickerImageDescriptionString(const char* text, Boolean subPart) {
  // Start from an empty object so nothing held before can leak.
  Reset();
  if (text == nullptr) return Refuse("no description");
  ownsPlanes_ = True;
  palette_ = static_cast<unsigned char*>(KvCNew(768, 1, kTag, KERR_Fatal));
  if (palette_ == nullptr) return -1;

  int result = 0;
  int colour = 0;
  Rectangle rects[kMaxRectangles];
  size_t rectCount = 0;
  DescriptionReader reader(text);
  char command = 0;
  while (result == 0 && reader.NextCommand(&command)) {
    if (command == 'D') {
      long xsize = 0, ysize = 0;
      bool ended = false;
      if (indexPlane_ != nullptr) {
        result = Refuse("a second D command");
      } else if (!reader.Number(&xsize, &ended) || ended || !reader.Number(&ysize) || xsize <= 0 ||
                 ysize <= 0) {
        result = Refuse("D needs a width and a height above 0");
      } else if (static_cast<int64_t>(xsize) * ysize > kKvMaxImagePixels) {
        result = Refuse("canvas larger than 2^28 pixels");
      } else {
        const size_t count = static_cast<size_t>(xsize) * static_cast<size_t>(ysize);
        indexPlane_ = static_cast<unsigned char*>(KvCNew(count, 1, kTag, KERR_Fatal));
        maskPlane_ = static_cast<unsigned char*>(KvCNew(count, 1, kTag, KERR_Fatal));
        if (indexPlane_ == nullptr || maskPlane_ == nullptr) {
          result = -1;
        } else {
          xsize_ = static_cast<int32_t>(xsize);
          ysize_ = static_cast<int32_t>(ysize);
        }
      }
      continue;
    }
    // R: a rectangle.
    if (xsize_ == 0 || ysize_ == 0) {
      result = Refuse("R before the canvas size (D)");
      continue;
    }
    long v[7];
    int got = 0;
    while (got < 7 && reader.Number(&v[got])) ++got;
    if (got < 7) break;  // the text ended inside the rectangle: dropped
    if (colour == kMaxRectangles) {
      result = Refuse("more than 256 rectangles");
      continue;
    }
    const long x = std::min<long>(std::max<long>(v[0], 0), xsize_);
    const long y = std::min<long>(std::max<long>(v[1], 0), ysize_);
    // A negative or too large extent reaches to the canvas edge.
    const long w = v[2] < 0 || v[2] >= xsize_ - x ? xsize_ - x : v[2];
    const long h = v[3] < 0 || v[3] >= ysize_ - y ? ysize_ - y : v[3];
    palette_[colour] = static_cast<unsigned char>(v[4]);
    palette_[256 + colour] = static_cast<unsigned char>(v[5]);
    palette_[512 + colour] = static_cast<unsigned char>(v[6]);
    if (w > 0 && h > 0) {
      rects[rectCount++] = {static_cast<int32_t>(x), static_cast<int32_t>(x + w), static_cast<int32_t>(y),
                            static_cast<int32_t>(y + h), static_cast<unsigned char>(colour)};
    }
    ++colour;
  }
  if (result == 0 && rectCount > 0) {
    try {
      PaintRectangles(rects, rectCount, xsize_, indexPlane_, maskPlane_);
    } catch (const std::bad_alloc&) {
      KvError(KERR_Alloc, KERR_Fatal, -1, kTag);
      result = -1;
    }
  }
  if (result != 0) {
    Reset();
    return result;
  }
  subPart_ = subPart;
  const size_t count = static_cast<size_t>(xsize_) * static_cast<size_t>(ysize_);
  maskAllOnes_ = maskPlane_ != nullptr && std::memchr(maskPlane_, 0, count) != nullptr ? False : True;
  type_ = KV_DATA_PICKER;
  return 0;
}

int KvGenericImageDataClass::ReadPickerImageDescriptionFile(const char* fileName, Boolean subPart) {
  std::unique_ptr<FILE, FileCloser> file(fileName != nullptr ? KvOpenRegularFile(fileName, "r") : nullptr);
  if (file == nullptr) {
    KvError(KERR_OpenFile, KERR_NonFatal, "KvImgDat::ReadPickerImageDescriptionFile",
            fileName != nullptr ? fileName : "");
    return 1;
  }
  KvStringClass description(1024ul);
  char line[1024];
  while (description.IsValid() && std::fgets(line, sizeof line, file.get()) != nullptr) {
    description.Append(line);
  }
  if (!description.IsValid()) return -1;
  return ReadPickerImageDescriptionString(description.c_str(), subPart);
}
