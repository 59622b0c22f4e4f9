// The pixel payload of an image data object's query string.
//
// Key and value words, each followed by one blank, in this order:
//   xsize= <n> ysize= <n> subPart= <0|1>
//   mask= <MaskAllOnes | 2*xsize*ysize hex digits>   when a mask is held
//   lut= <1536 hex digits>                             when a palette is held
//   image= redImage= greenImage= blueImage= <2*xsize*ysize hex digits each>
// Hex is two lower-case digits per byte, high nibble first (read in either
// case). The sizes come first because the planes are sized by them.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "query/KvDeadline.h"

namespace {

constexpr char kTag[] = "KvGenericImageDataClass::FromQueryString";
constexpr size_t kPaletteBytes = 768;

// Value of each character as a hex digit, 0xFF for anything else.
struct HexValues {
  uint8_t value[256];
  HexValues() {
    std::memset(value, 0xFF, sizeof value);
    for (int c = 0; c < 10; ++c) value['0' + c] = static_cast<uint8_t>(c);
    for (int c = 0; c < 6; ++c) {
      value['a' + c] = static_cast<uint8_t>(10 + c);
      value['A' + c] = static_cast<uint8_t>(10 + c);
    }
  }
};

// Nibble lookups into a 16-character table: the compiler vectorises this
// loop, which a 256-entry table of digit pairs defeats.
char* EncodeHex(char* out, const unsigned char* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 15];
  }
  return out + 2 * count;
}

// Decodes exactly 2 * count digits; false when one of them is not hex. The
// check is folded into one flag so the loop has no early exit.
bool DecodeHex(const char* text, unsigned char* out, size_t count) {
  static const HexValues hex;
  unsigned bad = 0;
  for (size_t i = 0; i < count; ++i) {
    const unsigned high = hex.value[static_cast<unsigned char>(text[2 * i])];
    const unsigned low = hex.value[static_cast<unsigned char>(text[2 * i + 1])];
    bad |= high | low;
    out[i] = static_cast<unsigned char>((high << 4) | (low & 15u));
  }
  return (bad & 0xF0u) == 0;
}

// Planes are decoded in blocks of this many pixels, with a look at the
// evaluation's deadline between two: a query's time limit also stops the
// reading of a large image sent as pixels.
constexpr size_t kPixelsPerDeadlineLook = size_t{1} << 20;

enum class PlaneRead { kDone, kNotHex, kLate };

PlaneRead DecodePlane(const char* text, unsigned char* out, size_t count) {
  const KvDeadline deadline = KvCurrentDeadline();
  bool hex = true;
  for (size_t at = 0; at < count; at += kPixelsPerDeadlineLook) {
    if (deadline.Expired()) return PlaneRead::kLate;
    const size_t n = count - at < kPixelsPerDeadlineLook ? count - at : kPixelsPerDeadlineLook;
    hex = DecodeHex(text + 2 * at, out + at, n) && hex;
  }
  return hex ? PlaneRead::kDone : PlaneRead::kNotHex;
}

char* Put(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

int Refuse(const char* why, std::string_view key = std::string_view("")) {
  char text[200];
  std::snprintf(text, sizeof text, "KvImgDat::FromQueryString: %s%s%.*s", why, key.empty() ? "" : " ",
                static_cast<int>(key.size() > 40 ? 40 : key.size()), key.empty() ? "" : key.data());
  KvError(KERR_General, KERR_NonFatal, text);
  return -1;
}

// Blank-separated words of text that need not be NUL-terminated.
class WordReader {
 public:
  WordReader(const char* text, size_t length) : p_(text), end_(text + length) {}
  bool Next(std::string_view* word) {
    while (p_ < end_ && IsBlank(*p_)) ++p_;
    const char* start = p_;
    while (p_ < end_ && !IsBlank(*p_)) ++p_;
    *word = std::string_view(start, static_cast<size_t>(p_ - start));
    return p_ > start;
  }

 private:
  static bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == '\0';
  }
  const char* p_;
  const char* end_;
};

// A whole word as a decimal number with an optional sign.
bool ParseNumber(std::string_view word, int64_t* out) {
  size_t i = 0;
  bool negative = false;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
  if (i == word.size() || word.size() - i > 18) return false;
  int64_t v = 0;
  for (; i < word.size(); ++i) {
    if (word[i] < '0' || word[i] > '9') return false;
    v = v * 10 + (word[i] - '0');
  }
  *out = negative ? -v : v;
  return true;
}

bool StartsWith(std::string_view word, std::string_view key) {
  return word.size() >= key.size() && word.compare(0, key.size(), key) == 0;
}

}  // namespace

int KvGenericImageDataClass::BuildPayload() {
  const size_t planeBytes = static_cast<size_t>(xsize_ > 0 ? xsize_ : 0) * static_cast<size_t>(ysize_ > 0 ? ysize_ : 0);
  const bool planes = planeBytes > 0;
  char head[96];
  const int headLength = std::snprintf(head, sizeof head, "xsize= %ld ysize= %ld subPart= %ld ",
                                       static_cast<long>(xsize_), static_cast<long>(ysize_),
                                       static_cast<long>(subPart_ != False ? 1 : 0));
  struct Item {
    std::string_view key;
    const unsigned char* plane;
    size_t bytes;
  };
  const Item items[] = {
      {"lut= ", palette_, kPaletteBytes},
      {"image= ", planes ? indexPlane_ : nullptr, planeBytes},
      {"redImage= ", planes ? redPlane_ : nullptr, planeBytes},
      {"greenImage= ", planes ? greenPlane_ : nullptr, planeBytes},
      {"blueImage= ", planes ? bluePlane_ : nullptr, planeBytes},
  };
  const bool writeMask = planes && maskPlane_ != nullptr;
  // Exact length first, so an image too large for a query string is refused
  // before anything is allocated.
  uint64_t length = static_cast<uint64_t>(headLength);
  if (writeMask) length += 7 + (maskAllOnes_ ? 11 : 2 * uint64_t{planeBytes});
  for (const Item& item : items) {
    if (item.plane != nullptr) length += item.key.size() + 2 * uint64_t{item.bytes} + 1;
  }
  const size_t keyword = keywordText_ != nullptr ? std::strlen(keywordText_) : 0;
  const uint64_t framed = length + keyword + 3 + static_cast<uint64_t>(std::snprintf(
                                                       nullptr, 0, "<           %c %lu ", 'm',
                                                       static_cast<unsigned long>(keyword)));
  if (framed > kKvMaxFramedLength) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "KvImgDat::ToQueryString: image of %d x %d is too large for a query string", xsize_, ysize_);
    KvError(KERR_General, KERR_NonFatal, text);
    return -1;
  }
  char* buffer = static_cast<char*>(KvNew(static_cast<size_t>(length) + 1, "KvGenericImageDataClass::ToQueryString", KERR_Fatal));
  if (buffer == nullptr) return -1;
  char* at = Put(buffer, std::string_view(head, static_cast<size_t>(headLength)));
  if (writeMask) {
    at = Put(at, "mask= ");
    at = maskAllOnes_ ? Put(at, "MaskAllOnes") : EncodeHex(at, maskPlane_, planeBytes);
    *at++ = ' ';
  }
  for (const Item& item : items) {
    if (item.plane == nullptr) continue;
    at = Put(at, item.key);
    at = EncodeHex(at, item.plane, item.bytes);
    *at++ = ' ';
  }
  *at = '\0';
  data_.SetBytes(static_cast<unsigned long>(length), reinterpret_cast<unsigned char*>(buffer), KvOwnKvDelete);
  return 0;
}

int KvGenericImageDataClass::ToQueryString(KvDatumClass& out) {
  if ((type_ == KV_DATA_MEMORY || type_ == KV_DATA_PICKER) && BuildPayload() != 0) return -1;
  return KvGenericDataClass::ToQueryString(out);
}

int KvGenericImageDataClass::FromQueryString(const KvDatumClass& in, const char* featureName) {
  const int rc = KvGenericDataClass::FromQueryString(in, featureName);
  if (rc != 0) return rc;
  Reset();
  if (type_ != KV_DATA_MEMORY && type_ != KV_DATA_PICKER) return 0;
  ownsPlanes_ = True;
  if (ParsePayload(reinterpret_cast<const char*>(data_.Data()), data_.Size()) != 0) {
    Reset();
    return -1;
  }
  return 0;
}

int KvGenericImageDataClass::ParsePayload(const char* text, size_t length) {
  WordReader words(text != nullptr ? text : "", text != nullptr ? length : 0);
  bool sawXSize = false, sawYSize = false;
  bool pendingAllOnes = false;
  std::string_view key, value;
  while (words.Next(&key)) {
    if (!words.Next(&value)) return Refuse("value missing after", key);
    const bool xKey = StartsWith(key, "xsize="), yKey = StartsWith(key, "ysize=");
    if (xKey || yKey || StartsWith(key, "subPart")) {
      int64_t number = 0;
      if (!ParseNumber(value, &number)) return Refuse("malformed number after", key);
      if (!xKey && !yKey) {
        subPart_ = number != 0 ? True : False;
        continue;
      }
      if (indexPlane_ != nullptr || maskPlane_ != nullptr || redPlane_ != nullptr ||
          greenPlane_ != nullptr || bluePlane_ != nullptr) {
        return Refuse("image size given after its planes");
      }
      if (number < 0 || number > kKvMaxImagePixels) return Refuse("image size out of range");
      (xKey ? xsize_ : ysize_) = static_cast<int32_t>(number);
      (xKey ? sawXSize : sawYSize) = true;
      if (int64_t{xsize_} * ysize_ > kKvMaxImagePixels) return Refuse("image larger than 2^28 pixels");
      continue;
    }
    unsigned char** plane = nullptr;
    if (StartsWith(key, "mask=")) plane = &maskPlane_;
    else if (StartsWith(key, "image=")) plane = &indexPlane_;
    else if (StartsWith(key, "lut=")) plane = &palette_;
    else if (StartsWith(key, "redImage=")) plane = &redPlane_;
    else if (StartsWith(key, "greenImage=")) plane = &greenPlane_;
    else if (StartsWith(key, "blueImage=")) plane = &bluePlane_;
    if (plane == nullptr) continue;  // unknown key: its value is skipped
    if (*plane != nullptr || (plane == &maskPlane_ && pendingAllOnes)) return Refuse("plane given twice:", key);
    const size_t bytes = plane == &palette_ ? kPaletteBytes : static_cast<size_t>(xsize_) * static_cast<size_t>(ysize_);
    if (bytes == 0) return Refuse("plane given before the image size:", key);
    const bool allOnes = plane == &maskPlane_ && value == "MaskAllOnes";
    // The value must hold the whole plane: a short one is a truncated
    // payload, and checking first keeps a few bytes of text from allocating
    // a plane of an absurd size.
    if (!allOnes && value.size() > 2 * bytes) {
      KvError(KERR_General, KERR_NonFatal, "KvString:DecodeBuffer found more data than requested");
      return -1;
    }
    if (!allOnes && value.size() < 2 * bytes) return Refuse("plane shorter than the image size:", key);
    if (allOnes) {
      // Filled once the index plane has shown that the size is real, so a
      // few bytes of text cannot make the object allocate a huge mask.
      pendingAllOnes = true;
      maskAllOnes_ = True;
      continue;
    }
    *plane = static_cast<unsigned char*>(KvNew(bytes, kTag, KERR_Fatal));
    if (*plane == nullptr) return -1;
    const PlaneRead read = DecodePlane(value.data(), *plane, bytes);
    if (read == PlaneRead::kLate) return KvDeadlineFail("KvImgDat::FromQueryString");
    if (read == PlaneRead::kNotHex) return Refuse("non-hex digit in plane", key);
    if (plane == &maskPlane_) maskAllOnes_ = False;
  }
  if (pendingAllOnes && indexPlane_ != nullptr) {
    const size_t bytes = static_cast<size_t>(xsize_) * static_cast<size_t>(ysize_);
    maskPlane_ = static_cast<unsigned char*>(KvNew(bytes, kTag, KERR_Fatal));
    if (maskPlane_ == nullptr) return -1;
    std::memset(maskPlane_, 0xFF, bytes);
  }
  if (!sawXSize || !sawYSize) return Refuse("image size missing");
  const bool empty = xsize_ == 0 && ysize_ == 0;
  if (!empty && (xsize_ == 0 || ysize_ == 0)) return Refuse("one image size is 0");
  if (!empty && (indexPlane_ == nullptr || palette_ == nullptr || maskPlane_ == nullptr)) {
    return Refuse("image, palette or mask missing");
  }
  if (empty) maskAllOnes_ = True;
  return 0;
}
