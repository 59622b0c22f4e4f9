// Scan-file header: placement of the areas, encoding, and the checks a reader
// makes before trusting any offset (see KvScanFormat.h for the layout).
#include "scan/KvScanFormat.h"

#include <xxhash.h>

#include <cstring>

#include "scan/KvScanLayouts.h"

namespace {

constexpr unsigned char kMagic[8] = {'K', 'V', 'S', 'C', 'A', 'N', 'F', '\n'};
constexpr uint32_t kByteOrderMark = 0x01020304u;
constexpr size_t kChecksumOffset = 440;
constexpr size_t kNameOffset = 184;
constexpr uint64_t kAlign = 8;

void Put32(unsigned char* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
void Put64(unsigned char* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }
uint32_t Get32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint64_t Get64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint64_t AlignUp(uint64_t v) { return (v + kAlign - 1) & ~(kAlign - 1); }

// a * b, false on overflow.
bool Multiply(uint64_t a, uint64_t b, uint64_t* out) { return !__builtin_mul_overflow(a, b, out); }

// An area [offset, offset + size) inside a file, behind the previous one.
bool Area(uint64_t offset, uint64_t size, uint64_t* cursor, uint64_t fileSize) {
  if (offset % kAlign != 0 || offset < *cursor || offset > fileSize || size > fileSize - offset) return false;
  *cursor = offset + size;
  return true;
}

}  // namespace

bool KvScanStamp::operator==(const KvScanStamp& other) const {
  if (kind != other.kind) return false;
  for (int i = 0; i < 6; ++i) {
    if (words[i] != other.words[i]) return false;
  }
  return true;
}

uint64_t KvScanChecksum(const void* bytes, size_t size) { return XXH3_64bits(bytes, size); }

void KvScanPlaceAreas(KvScanHeader* h) {
  uint64_t at = kKvScanHeaderSize;
  h->recordsOffset = at;
  at = AlignUp(at + h->count * h->stride);
  h->keyOffsetsOffset = at;
  at += (h->count + 1) * 8;
  h->keyBytesOffset = at;
  at = AlignUp(at + h->keyBytesSize);
  h->oddPositionsOffset = at;
  at += h->oddCount * 8;
  h->oddOffsetsOffset = at;
  at += (h->oddCount + 1) * 8;
  h->oddBytesOffset = at;
  at = AlignUp(at + h->oddBytesSize);
  h->fileSize = at;
}

void KvScanEncodeHeader(const KvScanHeader& h, unsigned char* out) {
  std::memset(out, 0, kKvScanHeaderSize);
  std::memcpy(out, kMagic, sizeof kMagic);
  Put32(out + 8, kKvScanVersion);
  Put32(out + 12, kByteOrderMark);
  Put32(out + 16, static_cast<uint32_t>(kKvScanHeaderSize));
  Put32(out + 20, h.layout);
  Put32(out + 24, h.stride);
  Put32(out + 28, h.recordSize);
  Put64(out + 32, h.count);
  Put64(out + 40, h.recordsOffset);
  Put64(out + 48, h.keyOffsetsOffset);
  Put64(out + 56, h.keyBytesOffset);
  Put64(out + 64, h.keyBytesSize);
  Put64(out + 72, h.oddCount);
  Put64(out + 80, h.oddPositionsOffset);
  Put64(out + 88, h.oddOffsetsOffset);
  Put64(out + 96, h.oddBytesOffset);
  Put64(out + 104, h.oddBytesSize);
  Put64(out + 112, h.fileSize);
  Put64(out + 120, h.bodyChecksum);
  Put32(out + 128, h.stamp.kind);
  for (int i = 0; i < 6; ++i) Put64(out + 136 + 8 * i, h.stamp.words[i]);
  const size_t n = h.tableName.size() < kKvScanTableNameSize ? h.tableName.size() : kKvScanTableNameSize - 1;
  std::memcpy(out + kNameOffset, h.tableName.data(), n);
  Put64(out + kChecksumOffset, KvScanChecksum(out, kChecksumOffset));
}

bool KvScanDecodeHeader(const unsigned char* bytes, size_t available, uint64_t fileSize, KvScanHeader* h,
                        std::string* why) {
  auto fail = [why](const char* text) {
    if (why != nullptr) *why = text;
    return false;
  };
  if (bytes == nullptr || available < kKvScanHeaderSize || fileSize < kKvScanHeaderSize) {
    return fail("shorter than a scan-file header");
  }
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return fail("not a scan file");
  if (Get32(bytes + 8) != kKvScanVersion) return fail("another format version");
  if (Get32(bytes + 12) != kByteOrderMark) return fail("written on a machine of another byte order");
  if (Get32(bytes + 16) != kKvScanHeaderSize) return fail("another header size");
  if (Get64(bytes + kChecksumOffset) != KvScanChecksum(bytes, kChecksumOffset)) return fail("header checksum");
  KvScanHeader out;
  out.layout = Get32(bytes + 20);
  out.stride = Get32(bytes + 24);
  out.recordSize = Get32(bytes + 28);
  out.count = Get64(bytes + 32);
  out.recordsOffset = Get64(bytes + 40);
  out.keyOffsetsOffset = Get64(bytes + 48);
  out.keyBytesOffset = Get64(bytes + 56);
  out.keyBytesSize = Get64(bytes + 64);
  out.oddCount = Get64(bytes + 72);
  out.oddPositionsOffset = Get64(bytes + 80);
  out.oddOffsetsOffset = Get64(bytes + 88);
  out.oddBytesOffset = Get64(bytes + 96);
  out.oddBytesSize = Get64(bytes + 104);
  out.fileSize = Get64(bytes + 112);
  out.bodyChecksum = Get64(bytes + 120);
  out.stamp.kind = Get32(bytes + 128);
  for (int i = 0; i < 6; ++i) out.stamp.words[i] = Get64(bytes + 136 + 8 * i);
  const char* name = reinterpret_cast<const char*>(bytes + kNameOffset);
  out.tableName.assign(name, strnlen(name, kKvScanTableNameSize));

  const KvScanLayout* layout = KvScanLayoutById(out.layout);
  if (layout == nullptr) return fail("unknown record layout");
  if (out.stride != layout->stride || out.recordSize != layout->recordSize) return fail("stride of another layout");
  if (out.fileSize != fileSize) return fail("file size differs from the header's");
  if (out.oddCount > out.count) return fail("more odd records than records");
  uint64_t slots = 0, keyOffsets = 0, oddPositions = 0, oddOffsets = 0;
  if (!Multiply(out.count, out.stride, &slots) || !Multiply(out.count + 1, 8, &keyOffsets) ||
      !Multiply(out.oddCount, 8, &oddPositions) || !Multiply(out.oddCount + 1, 8, &oddOffsets) ||
      out.count == UINT64_MAX) {
    return fail("record counts out of range");
  }
  uint64_t cursor = kKvScanHeaderSize;
  if (!Area(out.recordsOffset, slots, &cursor, fileSize) ||
      !Area(out.keyOffsetsOffset, keyOffsets, &cursor, fileSize) ||
      !Area(out.keyBytesOffset, out.keyBytesSize, &cursor, fileSize) ||
      !Area(out.oddPositionsOffset, oddPositions, &cursor, fileSize) ||
      !Area(out.oddOffsetsOffset, oddOffsets, &cursor, fileSize) ||
      !Area(out.oddBytesOffset, out.oddBytesSize, &cursor, fileSize)) {
    return fail("an area lies outside the file or overlaps another");
  }
  *h = std::move(out);
  return true;
}
