// Small text helpers shared by the command library's source files.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>

#include "core/KvError.h"

namespace kivowrap {

// Copies text into a fixed buffer of capacity bytes, cutting it so that it
// always ends with a NUL (a null text gives the empty string). Returns true
// when the whole text fitted.
inline bool CopyName(char* buffer, size_t capacity, const char* text) {
  if (capacity == 0) return false;
  if (text == nullptr) {
    buffer[0] = '\0';
    return true;
  }
  const size_t length = std::strlen(text);
  const size_t n = length < capacity ? length : capacity - 1;
  // memmove: the text may be the buffer itself (a name copied onto itself).
  std::memmove(buffer, text, n);
  buffer[n] = '\0';
  return n == length;
}

template <size_t N>
inline bool CopyName(char (&buffer)[N], const char* text) {
  return CopyName(buffer, N, text);
}

// Runs body, the whole of a public method that works with standard
// containers, and turns an allocation failure inside it into the allocation
// error and -1, so that no exception leaves the command library.
template <typename Body>
int Guarded(const char* where, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, where);
    return -1;
  }
}

// Removes the first flag option -letter and keeps every other argument in
// its order, so that a flag never moves an option away from its value or
// splits an image/mask spec written before it.
inline bool TakeFlag(int& argc, char** argv, char letter) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && argv[i][0] == '-' && argv[i][1] == letter) {
      for (int j = i + 1; j < argc; ++j) argv[j - 1] = argv[j];
      --argc;
      argv[argc] = nullptr;
      return true;
    }
  }
  return false;
}

}  // namespace kivowrap
