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

// Option scanning shared by the commands. An argument "--" ends the options:
// nothing after it is ever taken as one. A flag (an option without a value)
// counts only when it stands alone ("-r"), so an image named "-rainy.jpg"
// stays an image; an option with a value matches by its first two
// characters, and "-ddb" is "-d" with the value "db".
inline bool IsOptionsEnd(const char* arg) { return arg != nullptr && std::strcmp(arg, "--") == 0; }

// Position of the first argument that is option -letter, or -1.
inline int FindOption(int argc, char** argv, char letter, bool flag) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr) continue;
    if (IsOptionsEnd(arg)) return -1;
    if (arg[0] == '-' && arg[1] == letter && (!flag || arg[2] == '\0')) return i;
  }
  return -1;
}

// Removes count arguments at position at, keeping the others in order.
inline void RemoveArguments(int& argc, char** argv, int at, int count) {
  for (int j = at + count; j < argc; ++j) argv[j - count] = argv[j];
  argc -= count;
  argv[argc] = nullptr;
}

// Removes the first flag option -letter and keeps every other argument in
// its order, so that a flag never moves an option away from its value or
// splits an image/mask spec written before it.
inline bool TakeFlag(int& argc, char** argv, char letter) {
  const int at = FindOption(argc, argv, letter, true);
  if (at < 0) return false;
  RemoveArguments(argc, argv, at, 1);
  return true;
}

// Once the options are taken: removes the "--" that ended them, so that the
// arguments after it are the positional ones.
inline void DropOptionsEnd(int& argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (IsOptionsEnd(argv[i])) {
      RemoveArguments(argc, argv, i, 1);
      return;
    }
  }
}

// Reads a count given on the command line: an optional sign and decimal
// digits, nothing else, within the 32-bit range. False for anything else.
inline bool ReadCount(const char* text, int* value) {
  if (text == nullptr) return false;
  const char* p = text;
  if (*p == '-' || *p == '+') ++p;
  if (*p == '\0') return false;
  long long v = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + (*p - '0');
    if (v > 2147483648LL) return false;
  }
  if (text[0] == '-') v = -v;
  if (v > 2147483647LL) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace kivowrap
