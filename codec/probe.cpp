// Format detection by magic bytes and size from the header, without decoding
// pixels. Every read is bounded by the file's size, so a short or lying header
// is a clean ECORRUPT.
//
// Each header parser also gives the fewest bytes a file of its format needs
// to code the pixels it claims: exact for raw rows (PNM, uncompressed BMP),
// from the coding's best ratio where it has one (deflate 1032:1, LZW at most
// 4096 pixels per code of at least 3 bits, Huffman-coded JPEG at least one
// bit per block of every component it codes), and one byte per
// kMostPixelsPerByte pixels for codings without such a bound. A smaller file
// is refused before a decoder allocates for pixels that cannot be there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codec_internal.h"

namespace kvcodec {
namespace {

// Random-access reads of exact lengths from an open file.
class Source {
 public:
  Source(FILE* file, int64_t size) : file_(file), size_(size) {}
  int64_t size() const { return size_; }

  bool Read(int64_t offset, void* buf, size_t n) const {
    if (offset < 0 || offset > size_ || static_cast<int64_t>(n) > size_ - offset) return false;
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
    return std::fread(buf, 1, n, file_) == n;
  }

 private:
  FILE* file_;
  int64_t size_;
};

uint32_t Le16(const unsigned char* p) { return p[0] | (p[1] << 8); }
uint32_t Be16(const unsigned char* p) { return (p[0] << 8) | p[1]; }
uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint32_t Be32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

// Pixels one byte may stand for in codings with no bound of their own
// (arithmetic-coded JPEG, WebP, HEIF, compressed TIFF and BMP).
constexpr int64_t kMostPixelsPerByte = 65536;

int64_t CeilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }

// Result of a header parser: a status, the size found, and the fewest bytes
// a file needs for that many pixels.
struct Dims {
  int status = GEN_IMG_ECORRUPT;
  int64_t width = 0;
  int64_t height = 0;
  int64_t least_bytes = 0;
};

Dims Found(int64_t width, int64_t height, int64_t least_bytes = -1) {
  Dims d;
  d.status = GEN_IMG_OK;
  d.width = width;
  d.height = height;
  // The sizes are checked against the limits later; until then the products
  // may be large but stay far inside 64 bits (sides below 2^32).
  d.least_bytes = least_bytes >= 0 ? least_bytes : CeilDiv(width * height, kMostPixelsPerByte);
  return d;
}

bool IsSofMarker(int m) {
  // SOF0..SOF15 except DHT (C4), JPG (C8) and DAC (CC).
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// Fewest bytes of a Huffman-coded JPEG frame: every block of a scan takes at
// least one bit (its DC code, or a DC code and an end of block), and a
// decodable file codes at least its smallest component. comps holds the
// frame's component entries (id, sampling factors, table), count of them.
int64_t LeastJpegBytes(int64_t width, int64_t height, const unsigned char* comps, int count) {
  int h_max = 1, v_max = 1;
  for (int i = 0; i < count; ++i) {
    h_max = std::max(h_max, comps[3 * i + 1] >> 4);
    v_max = std::max(v_max, comps[3 * i + 1] & 15);
  }
  int64_t fewest = -1;
  for (int i = 0; i < count; ++i) {
    const int h = std::max(1, comps[3 * i + 1] >> 4), v = std::max(1, comps[3 * i + 1] & 15);
    const int64_t blocks = CeilDiv(CeilDiv(width * h, h_max), 8) * CeilDiv(CeilDiv(height * v, v_max), 8);
    if (fewest < 0 || blocks < fewest) fewest = blocks;
  }
  return CeilDiv(std::max<int64_t>(fewest, 1), 8);
}

Dims ProbeJpeg(const Source& src) {
  int64_t pos = 2;
  unsigned char b[9];
  for (;;) {
    if (!src.Read(pos, b, 2) || b[0] != 0xFF) return {};
    int marker = b[1];
    if (marker == 0xFF) {  // fill byte before a marker
      ++pos;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // no length field
      pos += 2;
      continue;
    }
    if (marker == 0x00 || marker == 0xD9 || marker == 0xDA) return {};  // no frame header
    if (!src.Read(pos + 2, b, 2)) return {};
    uint32_t length = Be16(b);
    if (length < 2) return {};
    if (IsSofMarker(marker)) {
      unsigned char frame[6 + 3 * 255];
      if (length < 8 || !src.Read(pos + 4, frame, 6)) return {};
      uint32_t height = Be16(frame + 1);
      uint32_t width = Be16(frame + 3);
      const int count = frame[5];
      // A zero height would be defined later by a DNL marker, which the
      // decoder does not support.
      if (width == 0 || height == 0 || count == 0 || length < 8u + 3u * count) return {};
      if (!src.Read(pos + 10, frame + 6, 3 * static_cast<size_t>(count))) return {};
      // SOF9 and up are arithmetic-coded, which has no bound per block.
      const bool huffman = marker < 0xC9;
      return huffman ? Found(width, height, LeastJpegBytes(width, height, frame + 6, count))
                     : Found(width, height);
    }
    pos += 2 + length;
  }
}

Dims ProbePng(const Source& src) {
  unsigned char b[18];
  if (!src.Read(8, b, 18)) return {};
  if (Be32(b) != 13 || std::memcmp(b + 4, "IHDR", 4) != 0) return {};
  uint32_t width = Be32(b + 8);
  uint32_t height = Be32(b + 12);
  if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) return {};
  if (!SizeAllowed(width, height)) return Found(width, height);  // refused anyway
  // Filtered rows (a filter byte each) deflated at best 1032:1.
  const int bit_depth = b[16];
  const int channels = b[17] == 2 ? 3 : b[17] == 4 ? 2 : b[17] == 6 ? 4 : 1;
  const int64_t raw = int64_t{height} * (1 + CeilDiv(int64_t{width} * channels * std::max(bit_depth, 1), 8));
  return Found(width, height, raw / 1032);
}

// The decoder returns the first image of a GIF, whose size is in its image
// descriptor, which may differ from the logical screen.
Dims ProbeGif(const Source& src) {
  unsigned char b[9];
  if (!src.Read(6, b, 7)) return {};
  int64_t pos = 13;
  if (b[4] & 0x80) pos += 3 * (int64_t{2} << (b[4] & 7));  // global colour table
  for (;;) {
    if (!src.Read(pos, b, 1)) return {};
    if (b[0] == 0x2C) {
      if (!src.Read(pos + 1, b, 9)) return {};
      uint32_t width = Le16(b + 4);
      uint32_t height = Le16(b + 6);
      if (width == 0 || height == 0) return {};
      // LZW codes of at least 3 bits, each standing for at most 4096 pixels.
      return Found(width, height, CeilDiv(CeilDiv(int64_t{width} * height, 4096) * 3, 8));
    }
    if (b[0] != 0x21) return {};  // trailer or garbage before any image
    pos += 2;                      // introducer and label
    for (;;) {                     // data sub-blocks up to the empty one
      if (!src.Read(pos, b, 1)) return {};
      pos += 1 + b[0];
      if (b[0] == 0) break;
    }
  }
}

// Bytes of uncompressed rows, each padded to four bytes (the last row's
// padding may be missing).
int64_t BmpRowBytes(int64_t width, int64_t height, int bits) {
  return (height - 1) * CeilDiv(width * bits, 32) * 4 + CeilDiv(width * bits, 8);
}

Dims ProbeBmp(const Source& src) {
  unsigned char b[20];
  if (!src.Read(14, b, 12)) return {};
  uint32_t header = Le32(b);
  if (header == 12) {  // core header
    const int64_t width = Le16(b + 4), height = Le16(b + 6);
    if (width == 0 || height == 0 || !src.Read(26, b + 12, 4)) return {};
    return Found(width, height, BmpRowBytes(width, height, std::max<int>(Le16(b + 14), 1)));
  }
  if (header < 16) return {};
  int64_t width = static_cast<int32_t>(Le32(b + 4));
  int64_t height = static_cast<int32_t>(Le32(b + 8));
  if (height < 0) height = -height;  // top-down rows
  if (width <= 0 || height == 0) return {};
  if (!SizeAllowed(width, height) || !src.Read(26, b + 12, 8)) return Found(width, height);
  const int bits = static_cast<int>(Le16(b + 14));
  const uint32_t compression = Le32(b + 16);
  // Plain rows (no compression, or bit fields over whole pixels).
  const bool raw = bits > 0 && (compression == 0 || compression == 3 || compression == 6);
  return raw ? Found(width, height, BmpRowBytes(width, height, bits)) : Found(width, height);
}

Dims ProbeTiff(const Source& src, bool big_endian) {
  auto u16 = [big_endian](const unsigned char* p) { return big_endian ? Be16(p) : Le16(p); };
  auto u32 = [big_endian](const unsigned char* p) { return big_endian ? Be32(p) : Le32(p); };
  unsigned char b[12];
  if (!src.Read(4, b, 4)) return {};
  int64_t ifd = u32(b);
  if (!src.Read(ifd, b, 2)) return {};
  uint32_t count = u16(b);
  int64_t width = -1;
  int64_t height = -1;
  for (uint32_t i = 0; i < count && (width < 0 || height < 0); ++i) {
    if (!src.Read(ifd + 2 + 12 * int64_t{i}, b, 12)) return {};
    uint32_t tag = u16(b);
    if (tag != 256 && tag != 257) continue;
    uint32_t type = u16(b + 2);
    int64_t value;
    if (type == 3) {
      value = u16(b + 8);
    } else if (type == 4) {
      value = u32(b + 8);
    } else {
      return {};
    }
    (tag == 256 ? width : height) = value;
  }
  if (width <= 0 || height <= 0) return {};
  return Found(width, height);
}

// PNM header tokens: decimal numbers separated by white space and comments.
class PnmScanner {
 public:
  PnmScanner(const unsigned char* p, size_t n) : p_(p), n_(n) {}

  bool Number(int64_t* out) {
    SkipSpace();
    int64_t v = 0;
    size_t digits = 0;
    while (pos_ < n_ && p_[pos_] >= '0' && p_[pos_] <= '9') {
      if (++digits > 9) return false;
      v = v * 10 + (p_[pos_++] - '0');
    }
    *out = v;
    return digits > 0;
  }

  // Reads one word (letters and underscores) after white space.
  std::string Word() {
    SkipSpace();
    std::string w;
    while (pos_ < n_ && ((p_[pos_] >= 'A' && p_[pos_] <= 'Z') || p_[pos_] == '_')) {
      w += static_cast<char>(p_[pos_++]);
    }
    return w;
  }

  void SkipLine() {
    while (pos_ < n_ && p_[pos_] != '\n') ++pos_;
  }

 private:
  void SkipSpace() {
    while (pos_ < n_) {
      unsigned char c = p_[pos_];
      if (c == '#') {
        SkipLine();
      } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
        ++pos_;
      } else {
        break;
      }
    }
  }

  const unsigned char* p_;
  size_t n_;
  size_t pos_ = 2;
};

Dims ProbePnm(const Source& src, int kind) {
  unsigned char buf[4096];
  size_t n = static_cast<size_t>(std::min<int64_t>(src.size(), sizeof buf));
  if (!src.Read(0, buf, n)) return {};
  PnmScanner scan(buf, n);
  int64_t width = 0;
  int64_t height = 0;
  int64_t depth = 1;
  int64_t maxval = 0;
  if (kind != '7') {
    if (!scan.Number(&width) || !scan.Number(&height)) return {};
    if (kind != '1' && kind != '4' && !scan.Number(&maxval)) maxval = 0;  // the decoder judges it
  } else {
    // PAM: "KEY value" lines up to ENDHDR.
    for (int lines = 0; lines < 64; ++lines) {
      std::string key = scan.Word();
      if (key == "ENDHDR") break;
      if (key == "WIDTH" || key == "HEIGHT") {
        if (!scan.Number(key == "WIDTH" ? &width : &height)) return {};
      } else if (key == "DEPTH" || key == "MAXVAL") {
        if (!scan.Number(key == "DEPTH" ? &depth : &maxval)) return {};
      } else if (key.empty()) {
        return {};
      }
      scan.SkipLine();
    }
  }
  if (width <= 0 || height <= 0) return {};
  if (!SizeAllowed(width, height) || depth > 4096) return Found(width, height);  // refused later
  // The raster's fewest bytes: plain bitmaps one character a pixel, plain
  // samples a digit and a separator each, raw samples one or two bytes.
  const int64_t pixels = width * height;
  const int64_t sample_bytes = maxval > 255 ? 2 : 1;
  int64_t least = 0;
  switch (kind) {
    case '1': least = pixels; break;
    case '2': least = 2 * pixels - 1; break;
    case '3': least = 6 * pixels - 1; break;
    case '4': least = height * CeilDiv(width, 8); break;
    case '5': least = pixels * sample_bytes; break;
    case '6': least = 3 * pixels * sample_bytes; break;
    default: least = pixels * std::max<int64_t>(depth, 1) * sample_bytes; break;
  }
  return Found(width, height, least);
}

Dims ProbeWebp(const Source& src) {
  unsigned char b[18];
  if (!src.Read(12, b, 18)) return {};
  if (std::memcmp(b, "VP8 ", 4) == 0) {
    if (b[11] != 0x9D || b[12] != 0x01 || b[13] != 0x2A) return {};
    uint32_t width = Le16(b + 14) & 0x3FFF;
    uint32_t height = Le16(b + 16) & 0x3FFF;
    if (width == 0 || height == 0) return {};
    return Found(width, height);
  }
  if (std::memcmp(b, "VP8L", 4) == 0) {
    if (b[8] != 0x2F) return {};
    uint32_t bits = Le32(b + 9);
    return Found(1 + (bits & 0x3FFF), 1 + ((bits >> 14) & 0x3FFF));
  }
  if (std::memcmp(b, "VP8X", 4) == 0) {
    uint32_t width = 1 + (b[12] | (b[13] << 8) | (b[14] << 16));
    uint32_t height = 1 + (b[15] | (b[16] << 8) | (b[17] << 16));
    return Found(width, height);
  }
  return {};
}

Format FormatFromMagic(const unsigned char* m, size_t n) {
  static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (n >= 3 && m[0] == 0xFF && m[1] == 0xD8 && m[2] == 0xFF) return Format::kJpeg;
  if (n >= 8 && std::memcmp(m, kPng, 8) == 0) return Format::kPng;
  if (n >= 6 && (std::memcmp(m, "GIF87a", 6) == 0 || std::memcmp(m, "GIF89a", 6) == 0)) {
    return Format::kGif;
  }
  if (n >= 2 && m[0] == 'B' && m[1] == 'M') return Format::kBmp;
  if (n >= 4 && (std::memcmp(m, "II*\0", 4) == 0 || std::memcmp(m, "MM\0*", 4) == 0)) {
    return Format::kTiff;
  }
  if (n >= 3 && m[0] == 'P' && m[1] >= '1' && m[1] <= '7' &&
      (m[2] == ' ' || m[2] == '\t' || m[2] == '\n' || m[2] == '\r')) {
    return Format::kPnm;
  }
  if (n >= 12 && std::memcmp(m, "RIFF", 4) == 0 && std::memcmp(m + 8, "WEBP", 4) == 0) {
    return Format::kWebp;
  }
  if (IsHeifBrand(m, n)) return Format::kHeif;
  return Format::kUnknown;
}

}  // namespace

int ProbeFile(const char* path, ImageInfo* info) {
  int64_t size = 0;
  FilePtr file = OpenImageFile(path, &size);
  if (!file) return GEN_IMG_EOPEN;
  Source src(file.get(), size);

  unsigned char magic[12];
  size_t n = static_cast<size_t>(std::min<int64_t>(size, sizeof magic));
  if (!src.Read(0, magic, n)) return GEN_IMG_EOPEN;
  Format format = FormatFromMagic(magic, n);

  Dims dims;
  switch (format) {
    case Format::kJpeg: dims = ProbeJpeg(src); break;
    case Format::kPng: dims = ProbePng(src); break;
    case Format::kGif: dims = ProbeGif(src); break;
    case Format::kBmp: dims = ProbeBmp(src); break;
    case Format::kTiff: dims = ProbeTiff(src, magic[0] == 'M'); break;
    case Format::kPnm: dims = ProbePnm(src, magic[1]); break;
    case Format::kWebp: dims = ProbeWebp(src); break;
    case Format::kHeif:
      file.reset();
      dims.status = ProbeHeif(path, &dims.width, &dims.height);
      if (SizeAllowed(dims.width, dims.height)) dims.least_bytes = CeilDiv(dims.width * dims.height, kMostPixelsPerByte);
      break;
    case Format::kUnknown: return GEN_IMG_EFORMAT;
  }
  if (dims.status != GEN_IMG_OK) return dims.status;
  if (!SizeAllowed(dims.width, dims.height)) return GEN_IMG_ETOOBIG;
  if (size < dims.least_bytes) return GEN_IMG_ECORRUPT;
  info->format = format;
  info->width = static_cast<int>(dims.width);
  info->height = static_cast<int>(dims.height);
  return GEN_IMG_OK;
}

FilePtr OpenImageFile(const char* path, int64_t* size) {
  // Opened non-blocking and checked before reading: a FIFO named like an
  // image would otherwise block open() until a writer comes.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FilePtr file(::fdopen(fd, "rb"));
  if (!file) {
    ::close(fd);
    return nullptr;
  }
  *size = st.st_size;
  return file;
}

}  // namespace kvcodec
