// Format detection by magic bytes and size from the header, without decoding
// pixels. Every read is bounded by the file's size, so a short or lying header
// is a clean ECORRUPT.
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

// Result of a header parser: a status plus the size found.
struct Dims {
  int status = GEN_IMG_ECORRUPT;
  int64_t width = 0;
  int64_t height = 0;
};

Dims Found(int64_t width, int64_t height) {
  Dims d;
  d.status = GEN_IMG_OK;
  d.width = width;
  d.height = height;
  return d;
}

bool IsSofMarker(int m) {
  // SOF0..SOF15 except DHT (C4), JPG (C8) and DAC (CC).
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
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
      if (length < 8 || !src.Read(pos + 4, b, 5)) return {};
      uint32_t height = Be16(b + 1);
      uint32_t width = Be16(b + 3);
      // A zero height would be defined later by a DNL marker, which the
      // decoder does not support.
      if (width == 0 || height == 0) return {};
      return Found(width, height);
    }
    pos += 2 + length;
  }
}

Dims ProbePng(const Source& src) {
  unsigned char b[16];
  if (!src.Read(8, b, 16)) return {};
  if (Be32(b) != 13 || std::memcmp(b + 4, "IHDR", 4) != 0) return {};
  uint32_t width = Be32(b + 8);
  uint32_t height = Be32(b + 12);
  if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) return {};
  return Found(width, height);
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
      return Found(width, height);
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

Dims ProbeBmp(const Source& src) {
  unsigned char b[12];
  if (!src.Read(14, b, 12)) return {};
  uint32_t header = Le32(b);
  if (header == 12) return Found(Le16(b + 4), Le16(b + 6));  // core header
  if (header < 16) return {};
  int64_t width = static_cast<int32_t>(Le32(b + 4));
  int64_t height = static_cast<int32_t>(Le32(b + 8));
  if (height < 0) height = -height;  // top-down rows
  if (width <= 0 || height == 0) return {};
  return Found(width, height);
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
  if (kind != '7') {
    if (!scan.Number(&width) || !scan.Number(&height)) return {};
  } else {
    // PAM: "KEY value" lines up to ENDHDR.
    for (int lines = 0; lines < 64; ++lines) {
      std::string key = scan.Word();
      if (key == "ENDHDR") break;
      if (key == "WIDTH" || key == "HEIGHT") {
        if (!scan.Number(key == "WIDTH" ? &width : &height)) return {};
      } else if (key.empty()) {
        return {};
      }
      scan.SkipLine();
    }
  }
  if (width <= 0 || height <= 0) return {};
  return Found(width, height);
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
      break;
    case Format::kUnknown: return GEN_IMG_EFORMAT;
  }
  if (dims.status != GEN_IMG_OK) return dims.status;
  if (!SizeAllowed(dims.width, dims.height)) return GEN_IMG_ETOOBIG;
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
