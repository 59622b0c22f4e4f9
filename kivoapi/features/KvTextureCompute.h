// Tamura texture measures (coarseness, contrast, directionality) of the
// unmasked part of a palettized image, computed on its gray levels.
#pragma once

#include <cstdint>

// The four words of a texture feature. The measures are in hundredths,
// rounded half away from zero and saturated to the 32-bit range.
struct KvTextureValues {
  int32_t flags = 0;  // bit 0: left out of the catalog statistics
  int32_t coarseness = 0;
  int32_t contrast = 0;
  int32_t directionality = 0;
};

// Values a texture without enough contrast gets: no direction, finest scale.
constexpr int32_t kKvFlatTextureDirectionality = 900;
constexpr int32_t kKvFlatTextureCoarseness = 100;

// Computes the three measures of the width x height index plane pixels seen
// through the planar 768-byte colorTable; mask bytes of 0 exclude a pixel (a
// null mask includes every pixel). Fills *out (flags 0) and returns 0; -1
// when every pixel is masked (10003, fatal) or memory runs out (10007).
int KvComputeTextureFeatures(const unsigned char* pixels, const unsigned char* colorTable,
                             const unsigned char* mask, int width, int height, KvTextureValues* out);

// Tamura coarseness of a gray image over levels window sizes 1, 2, 4, ...
// (mask bytes of 0 are invalid pixels): the mean chosen window size, 0 when
// no pixel chose one. Below -99 when memory runs out (10007 recorded).
double KvTamCoarseness(const unsigned char* gray, const unsigned char* mask, int width, int height,
                       int levels);

// The steps of the computation, for callers that need one measure alone.
// Contrast of the unmasked gray levels (1.0 for a spread below one level or
// no unmasked pixel).
double KvTamContrast(const unsigned char* gray, const unsigned char* mask, int width, int height);
// The 16-bin edge direction histogram, normalised so that non-edge pixels
// spread evenly over the bins (every bin 1 when no pixel has a complete
// unmasked 3 x 3 neighbourhood inside the image).
void KvTamDirectionHistogram(const unsigned char* gray, const unsigned char* mask, int width, int height,
                            int32_t bins[16]);
// Mean spread of the peaks of a normalised direction histogram.
double KvTamDirectionSpread(const int32_t bins[16]);
// Halves a gray image with its mask: each output pixel is the integer mean
// of the unmasked pixels of its 2 x 2 block, masked when there are none.
// Output sizes are (width + 1) / 2 x (height + 1) / 2.
void KvTamReduce(const unsigned char* gray, const unsigned char* mask, int width, int height,
                 unsigned char* outGray, unsigned char* outMask);
// A measure in hundredths: round half away from zero, saturate to 32 bits.
int32_t KvTextureHundredths(double measure);
