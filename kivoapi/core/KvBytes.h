// Fixed-width big-endian encoding and decoding. Every on-disk and on-wire
// integer goes through these helpers. Readers take (pointer, limit) so a short
// record is a clean failure and never a read past the buffer.
#pragma once

#include <cstdint>
#include <cstring>

inline void Encode16BE(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

inline void Encode32BE(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

inline uint16_t Load16BE(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t Load32BE(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// False when fewer than 2 (4) bytes remain before limit.
inline bool Decode16BE(const unsigned char* p, const unsigned char* limit, uint16_t* out) {
  if (p == nullptr || limit - p < 2) return false;
  *out = Load16BE(p);
  return true;
}

inline bool Decode32BE(const unsigned char* p, const unsigned char* limit, uint32_t* out) {
  if (p == nullptr || limit - p < 4) return false;
  *out = Load32BE(p);
  return true;
}

inline void Encode64BE(unsigned char* p, uint64_t v) {
  Encode32BE(p, static_cast<uint32_t>(v >> 32));
  Encode32BE(p + 4, static_cast<uint32_t>(v));
}

// False when fewer than 8 bytes remain before limit.
inline bool Decode64BE(const unsigned char* p, const unsigned char* limit, uint64_t* out) {
  if (p == nullptr || limit - p < 8) return false;
  *out = (static_cast<uint64_t>(Load32BE(p)) << 32) | Load32BE(p + 4);
  return true;
}

inline void Encode32LE(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

inline bool Decode32LE(const unsigned char* p, const unsigned char* limit, uint32_t* out) {
  if (p == nullptr || limit - p < 4) return false;
  *out = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  return true;
}

inline bool Decode16LE(const unsigned char* p, const unsigned char* limit, uint16_t* out) {
  if (p == nullptr || limit - p < 2) return false;
  *out = static_cast<uint16_t>(p[0] | (p[1] << 8));
  return true;
}
