// Placeholder until the colour spaces land.
#include "features/KvColorSpace.h"

int KvColorInitialize() { return -1; }
const unsigned char* KvGetRGBHistogramLut() { return nullptr; }
