// A scan view: one feature table's records as fixed-stride slots with their
// keys, read-only, either mapped from a scan file (shared with every process
// through the page cache) or built in memory from the table. Views are
// immutable and shared (std::shared_ptr), so a long-lived process keeps one
// mapped between queries while searches on several threads read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/KvScanFormat.h"
#include "scan/KvScanLayouts.h"

class KvDatabaseClass;

class KvScanView {
 public:
  ~KvScanView();
  KvScanView(const KvScanView&) = delete;
  KvScanView& operator=(const KvScanView&) = delete;

  // Walks the open table and builds its view in memory. Null (error recorded)
  // when the walk fails or memory runs out.
  static std::shared_ptr<KvScanView> Build(KvDatabaseClass* table, const KvScanLayout& layout);
  // Maps the scan file at path. Null with the reason in *why when it cannot
  // be opened or is not a well-formed scan file; records nothing.
  static std::shared_ptr<KvScanView> Map(const std::string& path, std::string* why);

  // Writes the view as a scan file at path (through a temporary file in the
  // same directory, synced, then renamed over path, so a crash leaves the old
  // file or the new one, never a part). stamp and tableName go into the
  // header. False (nothing left behind) on failure; records nothing.
  bool Write(const std::string& path, const KvScanStamp& stamp, const std::string& tableName) const;

  const KvScanHeader& Header() const { return header_; }
  uint32_t Layout() const { return header_.layout; }
  size_t Count() const { return count_; }
  size_t Stride() const { return stride_; }
  const unsigned char* Slots() const { return slots_; }
  const unsigned char* Slot(size_t i) const { return slots_ + i * stride_; }
  // The key of record i as stored (with or without its NUL).
  const char* Key(size_t i) const { return keyBytes_ + keyOffsets_[i]; }
  size_t KeySize(size_t i) const { return static_cast<size_t>(keyOffsets_[i + 1] - keyOffsets_[i]); }
  // Records whose slot is empty: their bytes are kept as the table holds them.
  size_t OddCount() const { return oddCount_; }
  const uint64_t* OddPositions() const { return oddPositions_; }
  // The table form of odd record k (the k-th odd position).
  const unsigned char* OddBytes(size_t k) const { return oddBytes_ + oddOffsets_[k]; }
  size_t OddSize(size_t k) const { return static_cast<size_t>(oddOffsets_[k + 1] - oddOffsets_[k]); }
  // Index k of position i among the odd records, or -1 when i is regular.
  int64_t OddIndex(size_t i) const;

  // The position of a key as a table lookup finds it: the bytes as given,
  // else the other form (a NUL added, or a trailing NUL dropped). -1 absent.
  int64_t Find(const char* key, size_t size) const;
  // True when both views hold exactly the same keys in the same order.
  bool SameKeys(const KvScanView& other) const;
  // The table form of record i: for a regular record decoded into buffer
  // (room for the layout's record size), for an odd one its stored bytes.
  const unsigned char* TableBytes(size_t i, unsigned char* buffer, size_t* size) const;
  // Bytes the view occupies (the file size for a mapped view).
  uint64_t Bytes() const { return header_.fileSize; }
  bool Mapped() const { return mapping_ != nullptr; }

 private:
  KvScanView() = default;
  int64_t Exact(const char* key, size_t size) const;
  // Checks what the header cannot: rising offsets and positions.
  bool CheckAreas(std::string* why) const;

  KvScanHeader header_;
  const KvScanLayout* layout_ = nullptr;
  size_t count_ = 0;
  size_t stride_ = 0;
  const unsigned char* slots_ = nullptr;
  const uint64_t* keyOffsets_ = nullptr;
  const char* keyBytes_ = nullptr;
  size_t oddCount_ = 0;
  const uint64_t* oddPositions_ = nullptr;
  const uint64_t* oddOffsets_ = nullptr;
  const unsigned char* oddBytes_ = nullptr;
  // Owner of the bytes: a mapping, or the vectors of a built view.
  void* mapping_ = nullptr;
  size_t mappingSize_ = 0;
  std::vector<unsigned char> ownSlots_;
  std::vector<uint64_t> ownKeyOffsets_;
  std::vector<char> ownKeyBytes_;
  std::vector<uint64_t> ownOddPositions_;
  std::vector<uint64_t> ownOddOffsets_;
  std::vector<unsigned char> ownOddBytes_;
};
