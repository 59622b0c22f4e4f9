// Thumbnails, gray conversion and rectangle copies.
#pragma once

#include "core/KvBase.h"

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
