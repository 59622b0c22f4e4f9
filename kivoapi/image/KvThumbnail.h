// Thumbnails, gray conversion and rectangle copies.
#pragma once

#include "core/KvBase.h"

struct ImpImage;

// 8-bit thumbnail with the fixed 128-colour cube palette, reduced and
// dithered here. 0 success, 1 input unreadable, 2 output not written, -1 out
// of memory.
int KvReadImageWriteThumbnail(const char* inputName, const char* outputName, int width, int height,
                              Boolean pad);
// 24-bit thumbnail through the codec's rescaler: its status, or 1 when the
// input is not found.
int KvReadImageWrite24bitThumbnail(const char* inputName, const char* outputName, int width,
                                   int height, Boolean pad);
// Replaces each pixel's palette index by the gray value of that entry.
void MakeGrayFromPalette(unsigned char* pixels, unsigned long count, const unsigned char* palette);
// Copies rows bytes-wide rectangles between rasters.
void KvCopyRect(unsigned char* dst, int dstRowLength, int dstColumn, int dstRow,
                const unsigned char* src, int srcRowLength, int srcColumn, int srcRow, int widthBytes,
                int rows);

// The two steps of the 8-bit thumbnail, for its tests. KvThumbnailSize gives
// the thumbnail size for a w x h source (width, height at least 1).
// KvReduceAndDither fills dst (type 1, its size already set) from source
// through its planar palette with the fixed thumbnail palette's indices.
void KvThumbnailSize(int w, int h, int width, int height, Boolean pad, int* dw, int* dh);
void KvReduceAndDither(const ImpImage& source, const unsigned char* palette, ImpImage& dst);
// The fixed 768-byte planar thumbnail palette.
const unsigned char* KvThumbnailPalette();
