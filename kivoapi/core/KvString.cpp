// Growable strings and hex encoding.
#include "core/KvString.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/KvError.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr unsigned long kMaxCapacity = 0xFFFFFFFFul;

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

KvStringClass::KvStringClass(const char* text, Boolean destructorDelete)
    : destructorDelete_(destructorDelete) {
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  const unsigned long size = text != nullptr ? length + 1 : 1;
  const unsigned long capacity = text != nullptr ? 2 * size : 64;
  if (capacity > kMaxCapacity) {
    KvError(KERR_Alloc, KERR_Fatal, -1, "KvStringClass()");
    valid_ = 0;
    return;
  }
  data_ = static_cast<char*>(KvNew(capacity, "KvStringClass()", KERR_Fatal));
  if (data_ == nullptr) {
    valid_ = 0;
    return;
  }
  capacity_ = static_cast<uint32_t>(capacity);
  size_ = static_cast<uint32_t>(size);
  if (text != nullptr) {
    std::memcpy(data_, text, length + 1);
  } else {
    data_[0] = '\0';
  }
}

KvStringClass::KvStringClass(unsigned long initialCapacity, Boolean destructorDelete)
    : destructorDelete_(destructorDelete) {
  unsigned long capacity = initialCapacity == 0 ? 1 : initialCapacity;
  if (capacity > kMaxCapacity) capacity = kMaxCapacity;
  data_ = static_cast<char*>(KvNew(capacity, "KvStringClass()", KERR_Fatal));
  if (data_ == nullptr) {
    valid_ = 0;
    return;
  }
  capacity_ = static_cast<uint32_t>(capacity);
  size_ = 1;
  data_[0] = '\0';
}

KvStringClass::~KvStringClass() {
  if (!valid_ || destructorDelete_) KvDelete(data_);
}

void KvStringClass::IncreaseSpace(unsigned long needed) {
  if (capacity_ >= needed) return;
  if (needed > kMaxCapacity) {
    KvError(KERR_Alloc, KERR_Fatal, -1, "KvStringClass::IncreaseSpace");
    valid_ = 0;
    return;
  }
  unsigned long capacity = 2ul * capacity_;
  if (capacity <= needed) capacity = needed;
  if (capacity > kMaxCapacity) capacity = kMaxCapacity;
  char* grown = static_cast<char*>(KvNew(capacity, "KvStringClass::IncreaseSpace", KERR_Fatal));
  if (grown == nullptr) {
    valid_ = 0;
    return;
  }
  if (size_ > 0 && data_ != nullptr) {
    std::memcpy(grown, data_, size_);
  } else {
    grown[0] = '\0';
  }
  KvDelete(data_);
  data_ = grown;
  capacity_ = static_cast<uint32_t>(capacity);
}

KvStringClass& KvStringClass::Assign(const char* text) {
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  const unsigned long needed = length + 1;
  IncreaseSpace(needed);
  if (capacity_ < needed) return *this;
  if (text != nullptr) {
    std::memmove(data_, text, length + 1);
  } else {
    data_[0] = '\0';
  }
  size_ = static_cast<uint32_t>(needed);
  return *this;
}

KvStringClass& KvStringClass::Append(const char* text) {
  if (text == nullptr) return *this;
  return AppendBytes(text, std::strlen(text));
}

KvStringClass& KvStringClass::AppendBytes(const char* text, unsigned long count) {
  if (text == nullptr) return *this;
  const unsigned long base = size_ == 0 ? 1 : size_;
  const unsigned long needed = base + count;
  IncreaseSpace(needed);
  if (capacity_ < needed) return *this;
  char* at = data_ + base - 1;
  std::memmove(at, text, count);
  at[count] = '\0';
  size_ = static_cast<uint32_t>(needed);
  return *this;
}

KvStringClass& KvStringClass::AppendFormat(const char* format, ...) {
  char small[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) return *this;
  if (static_cast<size_t>(n) < sizeof small) return AppendBytes(small, static_cast<unsigned long>(n));
  const unsigned long base = size_ == 0 ? 1 : size_;
  const unsigned long needed = base + static_cast<unsigned long>(n);
  IncreaseSpace(needed);
  if (capacity_ < needed) return *this;
  va_start(args, format);
  std::vsnprintf(data_ + base - 1, static_cast<size_t>(n) + 1, format, args);
  va_end(args);
  size_ = static_cast<uint32_t>(needed);
  return *this;
}

int KvStringClass::EncodeBuffer(const unsigned char* bytes, unsigned long count) {
  const unsigned long base = size_ == 0 ? 1 : size_;
  if (count > (kMaxCapacity - base) / 2) return -1;
  const unsigned long needed = base + 2 * count;
  IncreaseSpace(needed);
  if (capacity_ < needed) return -1;
  char* at = data_ + base - 1;
  for (unsigned long i = 0; i < count; ++i) {
    at[2 * i] = kHexDigits[bytes[i] >> 4];
    at[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
  }
  at[2 * count] = '\0';
  size_ = static_cast<uint32_t>(needed);
  return 0;
}

int KvDecodeHex(const char* text, size_t textLen, unsigned char* out, unsigned long maxBytes,
                unsigned long* written, size_t* consumed) {
  unsigned long n = 0;
  size_t pos = 0;
  int result = 0;
  while (pos < textLen) {
    const int high = HexValue(static_cast<unsigned char>(text[pos]));
    if (high < 0) break;
    if (n >= maxBytes) {
      KvError(KERR_General, KERR_NonFatal, "KvString:DecodeBuffer found more data than requested");
      result = -1;
      break;
    }
    // A second character that is not a hex digit counts as 0; a pair cut by
    // the end of the text takes 0 for its missing half.
    int low = 0;
    if (pos + 1 < textLen) {
      low = HexValue(static_cast<unsigned char>(text[pos + 1]));
      if (low < 0) low = 0;
    }
    out[n++] = static_cast<unsigned char>(high * 16 + low);
    pos += (pos + 1 < textLen) ? 2 : 1;
  }
  if (written != nullptr) *written = n;
  if (consumed != nullptr) *consumed = pos;
  return result;
}

int DecodeBuffer(const char* hex, unsigned char* out, unsigned long maxBytes) {
  if (hex == nullptr) return 0;
  return KvDecodeHex(hex, std::strlen(hex), out, maxBytes, nullptr, nullptr);
}
