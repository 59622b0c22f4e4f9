// Growable NUL-terminated text, and the hex helpers used by every text form.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/KvBase.h"

// A growable character buffer. size counts the terminating NUL (an empty
// string has size 1; size 0 only after a failed construction). Growth doubles
// the capacity when that is enough, else grows to exactly what is needed. An
// allocation failure marks the string invalid and leaves its text unchanged.
class KvStringClass {
 public:
  explicit KvStringClass(const char* text = nullptr, Boolean destructorDelete = True);
  explicit KvStringClass(unsigned long initialCapacity, Boolean destructorDelete = True);
  explicit KvStringClass(int initialCapacity, Boolean destructorDelete = True)
      : KvStringClass(static_cast<unsigned long>(initialCapacity < 0 ? 0 : initialCapacity),
                      destructorDelete) {}
  ~KvStringClass();
  KvStringClass(const KvStringClass&) = delete;
  KvStringClass& operator=(const KvStringClass&) = delete;

  unsigned long GetSize() const { return size_; }
  unsigned long GetCapacity() const { return capacity_; }
  // Length of the text without its NUL (0 for an empty or failed string).
  unsigned long GetLength() const { return size_ > 0 ? size_ - 1 : 0; }
  void SetDestructorDelete(Boolean flag) { destructorDelete_ = flag; }
  KvStringClass& Assign(const char* text);
  KvStringClass& Append(const char* text);
  // Appends exactly count bytes of text (which need not be NUL-terminated and
  // must not contain NUL), then a NUL.
  KvStringClass& AppendBytes(const char* text, unsigned long count);
  // printf-style append, never truncated: the string grows to fit.
  KvStringClass& AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Null when size < 2 (empty or failed string), else the text.
  char* GetString() const { return size_ < 2 ? nullptr : data_; }
  // The buffer itself, never null while valid (an empty string gives "").
  const char* c_str() const { return data_ != nullptr ? data_ : ""; }
  int IsValid() const { return valid_; }
  // Appends 2 * count lower-case hex digits; -1 when the buffer cannot grow.
  int EncodeBuffer(const unsigned char* bytes, unsigned long count);

 private:
  void IncreaseSpace(unsigned long needed);

  uint32_t capacity_ = 0;
  uint32_t size_ = 0;
  char* data_ = nullptr;
  Boolean destructorDelete_ = True;
  int32_t valid_ = 1;
};

// Decodes hex digit pairs of a NUL-terminated text into out, stopping before
// the first pair that does not begin with a hex digit (result 0). More than
// maxBytes pairs record 10001 at severity 0 and give -1; at most maxBytes
// bytes are written.
int DecodeBuffer(const char* hex, unsigned char* out, unsigned long maxBytes);

// Bounded form of DecodeBuffer for text that need not be NUL-terminated: reads
// at most textLen characters. *written (may be null) receives the number of
// bytes decoded and *consumed (may be null) the number of characters read.
int KvDecodeHex(const char* text, size_t textLen, unsigned char* out, unsigned long maxBytes,
                unsigned long* written, size_t* consumed);
