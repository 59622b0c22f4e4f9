// Owned-or-borrowed byte buffer with a format text: the in-and-out parameter
// of every serialising operation.
#pragma once

#include <cstdint>

#include "core/KvBase.h"

enum KvOwnershipType : int32_t {
  KvOwnNone = 0,         // borrowed: never released by the datum
  KvOwnFree = 1,         // released with free
  KvOwnDelete = 2,       // released with scalar delete
  KvOwnArrayDelete = 3,  // released with delete[]
  KvOwnKvDelete = 4,     // released with KvDelete
};

class KvDatumClass : public KvBaseClass {
 public:
  KvDatumClass() = default;
  ~KvDatumClass() override;
  KvDatumClass(const KvDatumClass&) = delete;
  // Deep copy; on allocation failure the valid flag becomes 0 and the copy
  // stops part-way.
  KvDatumClass& operator=(const KvDatumClass& source);

  uint32_t GetClassId() const override { return 98732; }
  const char* GetClassName() const override { return "KvDatumClass"; }

  // Releases the current buffer by its ownership kind, then stores the three
  // values as given (no copy).
  virtual void SetBytes(unsigned long size, unsigned char* bytes, KvOwnershipType ownership);
  virtual void GetBytes(unsigned long& size, unsigned char*& bytes);
  virtual void GetBytes(unsigned long& size, const unsigned char*& bytes) const;
  virtual void GetBytes(unsigned long& size, const char*& bytes) const;
  virtual void SetFormat(char* format, KvOwnershipType ownership);
  virtual char* GetFormat() const { return format_; }

  // Non-virtual views for internal code.
  unsigned long Size() const { return size_; }
  const unsigned char* Data() const { return bytes_; }
  unsigned char* MutableData() { return bytes_; }
  KvOwnershipType BytesOwnership() const { return bytesOwnership_; }
  // Copies count bytes into a new KvNew buffer owned by the datum (tag names
  // the caller for the allocation message). -1 on allocation failure.
  int CopyBytes(const void* bytes, unsigned long count, const char* tag);
  // Empties the datum (releasing what it owns).
  void Clear() { SetBytes(0, nullptr, KvOwnNone); }

 protected:
  void CleanupBytes();
  void CleanupFormat();

 private:
  uint32_t size_ = 0;
  unsigned char* bytes_ = nullptr;
  char* format_ = nullptr;
  KvOwnershipType bytesOwnership_ = KvOwnNone;
  KvOwnershipType formatOwnership_ = KvOwnNone;
};
