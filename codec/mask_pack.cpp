// Packed masks: gen_img_packmask and gen_img_unpackmask.
//
// A packed mask is a sequence of row records, top row first, that covers
// exactly `height` rows of `width` pixels. There is no header: width and
// height travel beside the packed bytes. Every record starts with a kind byte:
//
//   offset  size        meaning
//   0       1           kind: 0 empty row, 1 full row, 2 bitmap row, 3 run row,
//                       4 repeat of the previous row
//   kind 0  -           one row, every pixel outside
//   kind 1  -           one row, every pixel inside
//   kind 2  1           (width + 7) / 8 bytes: pixel x is bit 7 - x % 8 of
//                       byte x / 8, 1 = inside; unused low bits of the last
//                       byte are 0
//   kind 3  1           varint k >= 1, then k varint run lengths. Runs
//                       alternate outside, inside, outside, ... starting with
//                       outside; the first may be 0, the others are >= 1;
//                       their sum is below width and the rest of the row is
//                       one more run
//   kind 4  1           varint n >= 1: the previous row occurs n more times;
//                       never first and never right after another kind 4
//
// Varints are unsigned LEB128: 7 bits per byte, least significant group
// first, the high bit set on every byte but the last, at most 5 bytes, no
// superfluous zero group.
//
// The packer writes a run row only when it is shorter than the bitmap row, so
// no record takes more than 1 + (width + 7) / 8 bytes per row it covers; the
// output therefore never exceeds height * 2 * ((width + 7) / 8) bytes.
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "gen_img.h"

namespace {

enum Kind : uint8_t { kEmpty = 0, kFull = 1, kBitmap = 2, kRuns = 3, kRepeat = 4 };

// Appends bytes to a buffer of fixed capacity; reports when one would not fit.
class Writer {
 public:
  Writer(unsigned char* out, size_t capacity) : out_(out), capacity_(capacity) {}
  size_t size() const { return size_; }

  bool Byte(uint8_t b) {
    if (size_ >= capacity_) return false;
    out_[size_++] = b;
    return true;
  }
  bool Bytes(const unsigned char* p, size_t n) {
    if (n > capacity_ - size_) return false;
    std::memcpy(out_ + size_, p, n);
    size_ += n;
    return true;
  }
  bool Varint(uint64_t v) {
    while (v >= 0x80) {
      if (!Byte(static_cast<uint8_t>(v | 0x80))) return false;
      v >>= 7;
    }
    return Byte(static_cast<uint8_t>(v));
  }

 private:
  unsigned char* out_;
  size_t capacity_;
  size_t size_ = 0;
};

// Reads from packed bytes; every read checks the remaining length.
class Reader {
 public:
  Reader(const unsigned char* p, size_t n) : p_(p), n_(n) {}
  bool AtEnd() const { return pos_ == n_; }

  bool Byte(uint8_t* b) {
    if (pos_ >= n_) return false;
    *b = p_[pos_++];
    return true;
  }
  const unsigned char* Take(size_t n) {
    if (n > n_ - pos_) return nullptr;
    const unsigned char* p = p_ + pos_;
    pos_ += n;
    return p;
  }
  bool Varint(uint64_t* v) {
    *v = 0;
    for (int i = 0; i < 5; ++i) {
      uint8_t b;
      if (!Byte(&b)) return false;
      *v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) return i == 0 || b != 0;  // no superfluous zero group
    }
    return false;
  }

 private:
  const unsigned char* p_;
  size_t n_;
  size_t pos_ = 0;
};

// Row bits, MSB first, 1 = inside.
void RowToBits(const unsigned char* row, int width, unsigned char* bits) {
  std::memset(bits, 0, static_cast<size_t>(width + 7) / 8);
  for (int x = 0; x < width; ++x) {
    if (row[x] != 0) bits[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
  }
}

// Encodes the row as runs into w; false when it does not fit.
bool EncodeRuns(const unsigned char* row, int width, Writer* w, std::vector<uint32_t>* runs) {
  runs->clear();
  bool inside = false;
  uint32_t length = 0;
  for (int x = 0; x < width; ++x) {
    if ((row[x] != 0) != inside) {
      runs->push_back(length);
      inside = !inside;
      length = 0;
    }
    ++length;
  }
  // The last run is implicit.
  if (!w->Byte(kRuns) || !w->Varint(runs->size())) return false;
  for (uint32_t r : *runs) {
    if (!w->Varint(r)) return false;
  }
  return true;
}

bool PackRow(const unsigned char* row, const unsigned char* bits, int width, Writer* out,
             std::vector<unsigned char>* scratch, std::vector<uint32_t>* runs) {
  size_t nbytes = static_cast<size_t>(width + 7) / 8;
  bool any_in = false, any_out = false;
  for (int x = 0; x < width && !(any_in && any_out); ++x) {
    (row[x] != 0 ? any_in : any_out) = true;
  }
  if (!any_in) return out->Byte(kEmpty);
  if (!any_out) return out->Byte(kFull);
  // Runs are used only when strictly shorter than the bitmap record.
  Writer trial(scratch->data(), nbytes);
  if (EncodeRuns(row, width, &trial, runs)) return out->Bytes(scratch->data(), trial.size());
  return out->Byte(kBitmap) && out->Bytes(bits, nbytes);
}

void Fill(unsigned char* p, size_t n, bool inside) { std::memset(p, inside ? 0xFF : 0, n); }

bool UnpackRecords(Reader* in, unsigned char* mask, int width, int height) {
  size_t w = static_cast<size_t>(width);
  size_t nbytes = (w + 7) / 8;
  int y = 0;
  bool last_was_repeat = false;
  while (y < height) {
    uint8_t kind;
    if (!in->Byte(&kind)) return false;
    unsigned char* row = mask + static_cast<size_t>(y) * w;
    bool repeat = false;
    switch (kind) {
      case kEmpty:
      case kFull:
        Fill(row, w, kind == kFull);
        ++y;
        break;
      case kBitmap: {
        const unsigned char* bits = in->Take(nbytes);
        if (bits == nullptr) return false;
        if ((width & 7) != 0 && (bits[nbytes - 1] & (0xFF >> (width & 7))) != 0) return false;
        for (size_t x = 0; x < w; ++x) row[x] = (bits[x >> 3] & (0x80 >> (x & 7))) ? 0xFF : 0;
        ++y;
        break;
      }
      case kRuns: {
        uint64_t k;
        if (!in->Varint(&k) || k < 1 || k > w) return false;
        uint64_t x = 0;
        bool inside = false;
        for (uint64_t i = 0; i < k; ++i, inside = !inside) {
          uint64_t run;
          if (!in->Varint(&run) || (i > 0 && run == 0) || run >= w - x) return false;
          Fill(row + x, run, inside);
          x += run;
        }
        Fill(row + x, w - x, inside);
        ++y;
        break;
      }
      case kRepeat: {
        uint64_t n;
        if (y == 0 || last_was_repeat || !in->Varint(&n) || n < 1 ||
            n > static_cast<uint64_t>(height - y)) {
          return false;
        }
        const unsigned char* prev = row - w;
        for (uint64_t i = 0; i < n; ++i, ++y) std::memcpy(mask + static_cast<size_t>(y) * w, prev, w);
        repeat = true;
        break;
      }
      default:
        return false;
    }
    last_was_repeat = repeat;
  }
  return in->AtEnd();  // trailing bytes are refused
}

}  // namespace

int gen_img_packmask(const unsigned char* mask, unsigned char* out, int width, int height) {
  if (mask == nullptr || out == nullptr || width < 1 || height < 1) return -1;
  int64_t nbytes = (int64_t{width} + 7) / 8;
  int64_t capacity = int64_t{height} * 2 * nbytes;
  if (capacity > INT_MAX) return -1;
  try {
    Writer writer(out, static_cast<size_t>(capacity));
    std::vector<unsigned char> bits(static_cast<size_t>(nbytes));
    std::vector<unsigned char> prev_bits(static_cast<size_t>(nbytes));
    std::vector<unsigned char> scratch(static_cast<size_t>(nbytes));
    std::vector<uint32_t> runs;
    uint64_t pending = 0;  // rows equal to the previous one, not yet written
    for (int y = 0; y < height; ++y) {
      const unsigned char* row = mask + static_cast<size_t>(y) * static_cast<size_t>(width);
      RowToBits(row, width, bits.data());
      if (y > 0 && bits == prev_bits) {
        ++pending;
        continue;
      }
      if (pending > 0 && !(writer.Byte(kRepeat) && writer.Varint(pending))) return -1;
      pending = 0;
      if (!PackRow(row, bits.data(), width, &writer, &scratch, &runs)) return -1;
      bits.swap(prev_bits);
    }
    if (pending > 0 && !(writer.Byte(kRepeat) && writer.Varint(pending))) return -1;
    return static_cast<int>(writer.size());
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

int gen_img_unpackmask(unsigned char* mask, const unsigned char* packed, int packedLength,
                       int width, int height) {
  if (mask == nullptr || packed == nullptr || packedLength < 1 || width < 1 || height < 1) {
    return GEN_IMG_EARG;
  }
  Reader reader(packed, static_cast<size_t>(packedLength));
  if (UnpackRecords(&reader, mask, width, height)) return GEN_IMG_OK;
  // Leave the caller's zero-filled buffer as it was given.
  std::memset(mask, 0, static_cast<size_t>(width) * static_cast<size_t>(height));
  return GEN_IMG_ECORRUPT;
}
