// Record layouts of scan files: for each feature class with a fixed-size
// record, how a table record becomes a fixed-stride slot in this machine's
// byte order, and back.
//
// Adding a feature class to the scan path takes two steps:
//   1. here, a KvScanLayout entry (a new id, the class names that store
//      records of this form, the record size, the slot stride, and the
//      Encode/Decode pair; Encode refuses every record the class's own
//      FromByteString would refuse, so those stay odd records);
//   2. in KvScanKernels, a kernel for the query classes of that layout
//      (see KvScanKernels.h), with its test against the class's Distance.
// A class without a layout is searched through its table as before.
#pragma once

#include <cstddef>
#include <cstdint>

enum KvScanLayoutId : uint32_t {
  kKvScanLayoutColor = 1,      // 3 x int32
  kKvScanLayoutHistogram = 2,  // 256 x int16 bins, int32 self term
  kKvScanLayoutTexture = 3,    // 4 x int32: flags, coarseness, contrast, directionality
  kKvScanLayoutDraw = 4,       // int16 columns, int16 rows, 108 cell bytes
  // Layouts of the descriptor classes.
  kKvScanLayoutHsvHistogram = 16,   // 256 x uint16 roots, uint64 norm
  kKvScanLayoutEdgeHistogram = 17,  // 80 bin bytes
  kKvScanLayoutCorrelogram = 18,    // 256 bin bytes
  kKvScanLayoutHsvBands = 19,       // 3 x 256 x uint16 roots, 3 x uint64 norms
  kKvScanLayoutColorDifference = 20,  // 146 x uint16 bins, uint32 their sum
  kKvScanLayoutColorTexture = 21,     // 912 x uint16 roots, 4 x uint64 norms
};

struct KvScanLayout {
  uint32_t id;
  // Feature classes whose tables hold records of this form (null-terminated).
  const char* const* classes;
  uint32_t recordSize;  // bytes of a regular record in the table
  uint32_t stride;      // bytes of a slot
  // Writes the slot of a table record of size bytes; false (slot untouched)
  // when the record is not one the class reads as a regular record.
  bool (*encode)(const unsigned char* record, size_t size, unsigned char* slot);
  // Writes the table form (recordSize bytes) of a slot.
  void (*decode)(const unsigned char* slot, unsigned char* record);
};

// The layout of a feature class's records, or null.
const KvScanLayout* KvScanLayoutForClass(const char* className);
// The layout with this id, or null.
const KvScanLayout* KvScanLayoutById(uint32_t id);
