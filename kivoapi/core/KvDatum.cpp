// Byte buffers with ownership kinds.
#include "core/KvDatum.h"

#include <cstdlib>
#include <cstring>

#include "core/KvError.h"

namespace {

void Release(void* p, KvOwnershipType ownership) {
  if (p == nullptr) return;
  switch (ownership) {
    case KvOwnFree:
      std::free(p);
      break;
    case KvOwnDelete:
      delete static_cast<unsigned char*>(p);
      break;
    case KvOwnArrayDelete:
      delete[] static_cast<unsigned char*>(p);
      break;
    case KvOwnKvDelete:
      KvDelete(p);
      break;
    case KvOwnNone:
    default:
      break;
  }
}

}  // namespace

KvDatumClass::~KvDatumClass() {
  CleanupBytes();
  CleanupFormat();
}

void KvDatumClass::CleanupBytes() { Release(bytes_, bytesOwnership_); }

void KvDatumClass::CleanupFormat() { Release(format_, formatOwnership_); }

void KvDatumClass::SetBytes(unsigned long size, unsigned char* bytes, KvOwnershipType ownership) {
  if (bytes != bytes_) CleanupBytes();
  size_ = static_cast<uint32_t>(size);
  bytes_ = bytes;
  bytesOwnership_ = ownership;
}

void KvDatumClass::GetBytes(unsigned long& size, unsigned char*& bytes) {
  size = size_;
  bytes = bytes_;
}

void KvDatumClass::GetBytes(unsigned long& size, const unsigned char*& bytes) const {
  size = size_;
  bytes = bytes_;
}

void KvDatumClass::GetBytes(unsigned long& size, const char*& bytes) const {
  size = size_;
  bytes = reinterpret_cast<const char*>(bytes_);
}

void KvDatumClass::SetFormat(char* format, KvOwnershipType ownership) {
  if (format != format_) CleanupFormat();
  format_ = format;
  formatOwnership_ = ownership;
}

int KvDatumClass::CopyBytes(const void* bytes, unsigned long count, const char* tag) {
  if (count == 0) {
    SetBytes(0, nullptr, KvOwnNone);
    return 0;
  }
  unsigned char* copy = static_cast<unsigned char*>(KvNew(count, tag, KERR_Fatal));
  if (copy == nullptr) return -1;
  std::memcpy(copy, bytes, count);
  SetBytes(count, copy, KvOwnKvDelete);
  return 0;
}

KvDatumClass& KvDatumClass::operator=(const KvDatumClass& source) {
  if (&source == this) return *this;
  SetBytes(0, nullptr, KvOwnNone);
  SetFormat(nullptr, KvOwnNone);
  unsigned long count = 0;
  const unsigned char* bytes = nullptr;
  source.GetBytes(count, bytes);
  if (count != 0) {
    unsigned char* copy =
        static_cast<unsigned char*>(KvNew(count, "KvDatumClass::operator=", KERR_Fatal));
    if (copy == nullptr) {
      valid_ = 0;
      return *this;
    }
    std::memcpy(copy, bytes, count);
    SetBytes(count, copy, KvOwnKvDelete);
  }
  const char* format = source.GetFormat();
  if (format != nullptr) {
    const size_t length = std::strlen(format);
    char* copy = static_cast<char*>(KvNew(length + 1, "KvDatumClass::operator=", KERR_Fatal));
    if (copy == nullptr) {
      valid_ = 0;
      return *this;
    }
    std::memcpy(copy, format, length + 1);
    SetFormat(copy, KvOwnKvDelete);
  }
  return *this;
}
