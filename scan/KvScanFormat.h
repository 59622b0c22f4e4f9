// Scan files: a feature table's records laid out for streaming. The B-tree
// table stays the record of truth; a scan file is derived from it, checked
// against it before every use, and rebuilt when it no longer matches.
//
// A scan file holds, after a fixed header, every record of the table in key
// order at a fixed stride in this machine's byte order, the keys in a side
// array, and the records that do not have the feature's fixed form ("odd"
// records, for instance damaged ones) as the table holds them, so that they
// take the feature's own decoding and report what it reports.
//
// Header (native byte order; the byte-order mark tells a file from another
// machine, which is then rebuilt):
//   offset  size  meaning
//   0       8     magic "KVSCANF\n"
//   8       4     format version (1)
//   12      4     byte-order mark 0x01020304
//   16      4     header size (4096: the records start on a page)
//   20      4     layout of a record slot (KvScanLayoutId)
//   24      4     stride: bytes per record slot
//   28      4     size of a regular record in the table
//   32      8     record count (regular and odd)
//   40      8     offset of the record slots (count x stride bytes)
//   48      8     offset of the key offsets ((count + 1) x 8 bytes, rising)
//   56      8     offset of the key bytes
//   64      8     size of the key bytes
//   72      8     odd record count
//   80      8     offset of the odd positions (odd x 8 bytes, rising)
//   88      8     offset of the odd byte offsets ((odd + 1) x 8 bytes)
//   96      8     offset of the odd bytes
//   104     8     size of the odd bytes
//   112     8     file size
//   120     8     checksum of the body (XXH3-64 of bytes 4096 to the end)
//   128     4     kind of stamp (KvScanStampKind)
//   132     4     zero
//   136     48    stamp: six 64-bit words telling the table state the file
//                 was built from
//   184     256   table file name, NUL-padded
//   440     8     checksum of the header (XXH3-64 of bytes 0 to 439)
//   448     3648  zero
// Every area starts on an 8-byte boundary and lies inside the file; areas do
// not overlap. Keys are stored as the table stores them (with or without a
// terminating NUL).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t kKvScanVersion = 1;
constexpr size_t kKvScanHeaderSize = 4096;
constexpr size_t kKvScanTableNameSize = 256;

enum KvScanStampKind : uint32_t {
  kKvScanStampFileIdentity = 1,  // device, inode, size, mtime and ctime (ns)
  kKvScanStampChange = 2,        // the table's change stamp
};

struct KvScanStamp {
  uint32_t kind = 0;
  uint64_t words[6] = {0, 0, 0, 0, 0, 0};
  bool operator==(const KvScanStamp& other) const;
  bool operator!=(const KvScanStamp& other) const { return !(*this == other); }
};

struct KvScanHeader {
  uint32_t layout = 0;
  uint32_t stride = 0;
  uint32_t recordSize = 0;
  uint64_t count = 0;
  uint64_t recordsOffset = 0;
  uint64_t keyOffsetsOffset = 0;
  uint64_t keyBytesOffset = 0;
  uint64_t keyBytesSize = 0;
  uint64_t oddCount = 0;
  uint64_t oddPositionsOffset = 0;
  uint64_t oddOffsetsOffset = 0;
  uint64_t oddBytesOffset = 0;
  uint64_t oddBytesSize = 0;
  uint64_t fileSize = 0;
  uint64_t bodyChecksum = 0;
  KvScanStamp stamp;
  std::string tableName;
};

// Places the areas of a file with count records of the given stride, keyBytes
// key bytes, odd odd records and oddBytes odd bytes behind the header, and
// sets the offsets and the file size of header.
void KvScanPlaceAreas(KvScanHeader* header);

// Writes header into out (kKvScanHeaderSize bytes) with its checksum.
void KvScanEncodeHeader(const KvScanHeader& header, unsigned char* out);

// Reads and checks the header of a file of fileSize bytes whose first
// available bytes are at bytes (at least kKvScanHeaderSize for success). False
// with the reason in *why for a file that is not a well-formed scan file of
// this machine and version: wrong magic, version, byte order or checksum,
// areas outside the file, overlapping or misaligned, a stride other than the
// layout's. Reads nothing past bytes + available.
bool KvScanDecodeHeader(const unsigned char* bytes, size_t available, uint64_t fileSize, KvScanHeader* header,
                        std::string* why);

// XXH3-64 of a byte range.
uint64_t KvScanChecksum(const void* bytes, size_t size);
