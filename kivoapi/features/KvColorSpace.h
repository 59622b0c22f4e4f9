// Colour coordinates (MTM, MTMV and the decorrelated NewMTMV), conversions of
// colour tables between RGB bytes and those coordinates, the process-wide
// colour tables built from the settings, and colour clustering.
#pragma once

#include <cstdint>

// One colour record of the fixed colour tables: RGB (8..248 for the base
// table), three coordinates, a population weight and a pinned flag.
struct KvColorRecord {
  uint16_t red;
  uint16_t green;
  uint16_t blue;
  double c[3];
  double weight;
  unsigned char pinned;
};

// The 256-row base colour table (MTM coordinates; rows 0..11 pinned).
extern const KvColorRecord kKvBaseColorTable[256];
// The colour histogram's 256 bin colours (NewMTMV coordinates) and the 4096
// cell map indexed by (R >> 4) * 256 + (G >> 4) * 16 + (B >> 4).
extern const KvColorRecord kKvHistogramBinTable[256];
extern const unsigned char kKvHistogramCellMap[4096];

// The gamma table: entry i is (i / 255) to the power 2.22 (linear RGB).
const double* KvGammaTable();

// Array conversions of n entries (one array per component). They work entry
// by entry without work arrays, so they always succeed and return 0.
// RGB bytes to MTM (S1, S2, T) through the gamma table and matrix A.
int rgbLutToMTM(unsigned long n, const unsigned char* red, const unsigned char* green,
                const unsigned char* blue, double* s1, double* s2, double* t);
int rgbLutToMTMV(unsigned long n, const unsigned char* red, const unsigned char* green,
                 const unsigned char* blue, double* c1, double* c2, double* c3);
int rgbLutToNewMTMV(unsigned long n, const unsigned char* red, const unsigned char* green,
                    const unsigned char* blue, double* c1, double* c2, double* c3);
// MTM (S1, S2, T) back to RGB bytes. -1 when a value falls outside the RGB
// cube by more than 0.01 (error 10021 recorded; every entry still written)
// or when Findroot does not converge.
int MTMToRgbLut(unsigned long n, const double* s1, const double* s2, const double* t,
                unsigned char* red, unsigned char* green, unsigned char* blue);

// Clusters n weighted points to k, keeping pinned points. 0 or -1.
int KvCluster(const KvColorRecord* points, int n, KvColorRecord* clusters, int k);
// map[i] = index of the cluster nearest to point i. 0 or -1.
int KvNnClustMap(const KvColorRecord* points, int n, const KvColorRecord* clusters, int k,
                 int unique, int* map);

// Reads KivoMTMmetricType, KivoColorDistSigma and KivoColorHistString and
// (re)builds the merged colour table and the RGB palette when the colour
// count changed. Safe to call from several threads. 0 or -1.
int KvColorInitialize();
// After a successful KvColorInitialize: the RGB palette (768 bytes, planar)
// and the merged table with its count.
const unsigned char* KvGetRGBHistogramLut();
const KvColorRecord* KvGetMergedColorTable(int* count);
int KvGetMTMMetricType();
double KvGetMTMMetricScale();
double KvGetColorDistSigma();
// Fills *palette with a new KvCNew 768-byte palette ordered by the eight RGB
// cube corners. 0 or -1.
int setRGBHistogramLut(const KvColorRecord* table, int n, unsigned char** palette);

// Weights of three coordinates from parameter texts: "v<factor>" divides the
// factor (empty or 0 means 1) by the variance (unless it is 0); any other
// text is a fixed weight. A null text counts as "v".
void KvCoordinateWeights(const char* const texts[3], const double variances[3], double weights[3]);

// 256-bin histogram of the first count pixels whose mask byte is not 0 (a
// null mask counts every pixel). Returns the number of pixels counted; when
// that is 0 it records 10003 with the source "kcComp".
uint64_t KvCountIndexHistogram(const unsigned char* pixels, const unsigned char* mask,
                               unsigned long count, uint32_t bins[256]);
