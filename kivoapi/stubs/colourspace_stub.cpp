// Placeholder until the colour spaces land.
#include "features/KvColorSpace.h"

int KvColorInitialize() { return -1; }
const unsigned char* KvGetRGBHistogramLut() { return nullptr; }

// Further placeholders used by the texture and draw features.
const KvColorRecord kKvHistogramBinTable[256] = {};
int rgbLutToNewMTMV(unsigned long, const unsigned char*, const unsigned char*, const unsigned char*, double*,
                    double*, double*) {
  return -1;
}
void KvCoordinateWeights(const char* const[3], const double[3], double weights[3]) {
  weights[0] = weights[1] = weights[2] = 0.0;
}
uint64_t KvCountIndexHistogram(const unsigned char*, const unsigned char*, unsigned long, uint32_t bins[256]) {
  for (int i = 0; i < 256; ++i) bins[i] = 0;
  return 0;
}
