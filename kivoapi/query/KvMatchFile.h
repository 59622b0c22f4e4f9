// Query texts from match files, with synthetic query images for drawn
// examples (a single colour, a colour mix, a drawn picture).
//
// Match file (little-endian, no padding beyond what is listed):
//   header   S int32 (scene feature count), Q int32 (query feature count, <= 6)
//   records until the end of the file:
//     2 x int32 unused, kind int16 (0 = query object, else scene object)
//     Q (or S) feature entries of 12 bytes: used int16, 2 unused,
//       source int32 (1 = image file, else drawn), weight float32
//     query object: int32 n + n bytes unused; int32 n + n bytes drawn picture
//       (288 x 216 colour indices); 1 byte background index
//     scene object: 12 bytes unused
//     colour: int16 unused, red, green, blue uint16
//     colour mix: 5 x (index int16 (-1 empty), 2 unused, fraction float32)
//     int32 n + n bytes, twice; 1 byte; int32 n + n bytes (all unused)
//     six names, each int32 n + n bytes with the zero: average colour, colour
//       histogram, texture, sketch, unused, draw (128 bytes each, 640 for draw)
//
// Query slots: 0 average colour, 1 colour histogram, 2 texture, 3 not used,
// 4 draw, 5 sketch. The sketch slot is measured by the draw feature, from the
// sketch's image file or from the drawn picture.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/KvDatum.h"

class KvGenericImageDataClass;

struct KvMatchColor {
  uint16_t red;
  uint16_t green;
  uint16_t blue;
};

struct KvMatchColorMix {
  int16_t index;  // -1 for an empty entry
  float fraction;
};

constexpr int kKvDrawWidth = 288;
constexpr int kKvDrawHeight = 216;

// Writes the query text of the file's most recent query object into out. 0,
// or non-zero with the reason recorded (unreadable, truncated or malformed
// file, no query object, a feature that cannot be made); out is untouched
// then. The first argument is not used.
int KvConvertQueryFromMatchFile(const char* reserved, const char* matchFile, KvDatumClass& out,
                                const char* catalogName, int maxResults);

// Synthetic query images; each fills data with planes it owns. 0 or -1.
int KvMakeGenImageFromColor(KvGenericImageDataClass* data, const KvMatchColor& color);
int KvMakeGenImageFromHistColor(KvGenericImageDataClass* data, const KvMatchColorMix mix[5]);
int KvMakeGenImageFromDrawColor(KvGenericImageDataClass* data, const unsigned char* picture,
                                unsigned char background);

// Reads the header and all records of an open match file, checking them. 0,
// or -1 for a null file (10016), a malformed file or lack of memory.
int readQueryObjectsScenesNoX(FILE* file);
