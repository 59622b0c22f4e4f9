// Colour coordinate conversions: RGB bytes to MTM, MTMV and NewMTMV, and MTM
// back to RGB bytes.
//
// MTM approximates the Munsell renotation: H = V(Y) is the value axis, M1 and
// M2 are the opponent differences V(1.02 X) - H and 0.4 (V(0.847 Z) - H), and
// S1, S2 stretch them into the chroma plane. MTMV uses a slightly different
// matrix, divides by the white point and keeps V linear near black; NewMTMV
// is a fixed linear map of MTMV that decorrelates the three coordinates.
//
// Every conversion works entry by entry with no work arrays, so converting a
// colour table cannot fail for lack of memory. This file depends only on the
// error record, so the table generator compiles it as it is.
#include <cmath>
#include <cstdio>

#include "core/KvError.h"
#include "features/KvColorSpace.h"

namespace {

// Matrix A (MTM) and its inverse as used, rows X, Y, Z (resp. R, G, B).
constexpr double kA[3][3] = {{0.3935, 0.3653, 0.1916}, {0.2124, 0.7011, 0.0865}, {0.0187, 0.1119, 0.9582}};
constexpr double kAInverse[3][3] = {{3.5064, -1.74, -0.5441}, {-1.069, 1.9777, 0.0352}, {0.0563, -0.197, 1.0501}};
// Matrix B (MTMV).
constexpr double kB[3][3] = {{0.396898446895009, 0.374793761612051, 0.209007791492939},
                             {0.212643168589561, 0.700924713811997, 0.086432117598442},
                             {0.020303985673616, 0.121498181651208, 1.040497832675177}};
// Map Q from MTMV (a, b, c) to NewMTMV.
constexpr double kQ1a = 0.030291691574032, kQ1b = -0.019172885213392;
constexpr double kQ2a = 0.00422545158637, kQ2b = 0.022327474928281;
constexpr double kQ3a = 0.007358639021739, kQ3b = 0.004150767120055, kQ3c = 0.023025577354297;

constexpr double kGamma = 2.22;
constexpr double kFindrootTolerance = 1e-7;
constexpr int kFindrootMaxIterations = 1000;

struct GammaTable {
  double v[256];
  GammaTable() {
    for (int i = 0; i < 256; ++i) v[i] = std::pow(i / 255.0, kGamma);
    v[0] = 0.0;
    v[255] = 1.0;
  }
};

// MTMV white point: the row sums of matrix B.
struct WhitePoint {
  double xn, yn, zn;
};

const WhitePoint& MtmvWhite() {
  static const WhitePoint white = {kB[0][0] + kB[0][1] + kB[0][2], kB[1][0] + kB[1][1] + kB[1][2],
                                   kB[2][0] + kB[2][1] + kB[2][2]};
  return white;
}

double VMtm(double t) { return 11.6 * std::cbrt(t) - 1.6; }

double FMtmv(double t) { return t > 0.00885645 ? 11.6 * std::cbrt(t) - 1.6 : 90.33296 * t; }

// (H, M1, M2) to (S1, S2, T); a zero radius leaves S1 = S2 = 0.
void ChromaPlane(double h, double m1, double m2, double* s1, double* s2, double* t) {
  const double r = std::sqrt(m1 * m1 + m2 * m2);
  if (r <= 0.0) {
    *s1 = 0.0;
    *s2 = 0.0;
  } else {
    *s1 = (0.966 * m1 / r + 8.88) * m1;
    *s2 = (2.558 * m2 / r + 8.025) * m2;
  }
  *t = 4.0 * h;
}

void LinearRgb(unsigned char r, unsigned char g, unsigned char b, double rgb[3]) {
  const double* gamma = KvGammaTable();
  rgb[0] = gamma[r];
  rgb[1] = gamma[g];
  rgb[2] = gamma[b];
}

void Multiply(const double m[3][3], const double in[3], double out[3]) {
  for (int i = 0; i < 3; ++i) out[i] = m[i][0] * in[0] + m[i][1] * in[1] + m[i][2] * in[2];
}

// Solves F(t) = a (alpha q + beta s) - b t (gamma q + delta s t) = 0 with
// q = sqrt(1 + t^2) by Newton's method from t. This is the ratio of the two
// opponent coordinates given S1 and S2 (a is the smaller in magnitude).
// 0, or -1 after recording 10001 when it does not converge.
int Findroot(double a, double b, double alpha, double beta, double gamma, double delta, double s,
             double* t) {
  double x = *t;
  double step = 0.0;
  for (int iteration = 1;; ++iteration) {
    const double q = std::sqrt(1.0 + x * x);
    const double f = a * (alpha * q + beta * s) - b * x * (gamma * q + delta * s * x);
    const double df = a * alpha * x / q - b * (gamma * q + 2.0 * delta * s * x + gamma * x * x / q);
    if (df == 0.0 || !std::isfinite(df)) break;
    step = f / df;
    x -= step;
    if (!std::isfinite(x)) break;
    if (std::fabs(step) <= kFindrootTolerance) {
      *t = x;
      return 0;
    }
    if (iteration > kFindrootMaxIterations) break;
  }
  char text[128];
  std::snprintf(text, sizeof text, "kcUtil:Findroot counter too large, error=%f\n", step);
  KvError(KERR_General, KERR_NonFatal, text);
  *t = x;
  return -1;
}

// (S1, S2) back to (M1, M2). -1 when the root search does not converge (the
// current estimate is still used).
int OpponentFromChroma(double s1, double s2, double* m1, double* m2) {
  const double sign1 = s1 >= 0.0 ? 1.0 : -1.0;
  const double sign2 = s2 >= 0.0 ? 1.0 : -1.0;
  if (s1 == 0.0) {
    *m1 = 0.0;
    *m2 = s2 / (sign2 * 2.558 + 8.025);
    return 0;
  }
  if (s2 == 0.0) {
    *m2 = 0.0;
    *m1 = s1 / (sign1 * 0.966 + 8.88);
    return 0;
  }
  int rc;
  if (std::fabs(s2) <= std::fabs(s1)) {
    // t = M2 / M1.
    double t = (8.88 * s2) / (8.025 * s1);
    rc = Findroot(s2, s1, 8.88, 0.966, 8.025, 2.558, sign1, &t);
    *m1 = s1 / (sign1 * 0.966 / std::sqrt(t * t + 1.0) + 8.88);
    *m2 = t * *m1;
  } else {
    // t = M1 / M2.
    double t = (8.025 * s1) / (8.88 * s2);
    rc = Findroot(s1, s2, 8.025, 2.558, 8.88, 0.966, sign2, &t);
    *m2 = s2 / (sign2 * 2.558 / std::sqrt(t * t + 1.0) + 8.025);
    *m1 = t * *m2;
  }
  return rc;
}

// Linear value to a byte; out-of-range values are clamped and, beyond the
// 0.01 tolerance, reported. False when reported.
bool LinearToByte(double value, const char* component, unsigned long index, unsigned char* out) {
  if (std::isnan(value)) {
    *out = 0;
    KvError(KERR_InvalidValue, KERR_NonFatal, component, static_cast<int>(index), value);
    return false;
  }
  if (value < 0.0) {
    *out = 0;
    if (value < -0.01) {
      KvError(KERR_InvalidValue, KERR_NonFatal, component, static_cast<int>(index), value);
      return false;
    }
    return true;
  }
  if (value > 1.0) {
    *out = 255;
    if (value > 1.01) {
      KvError(KERR_InvalidValue, KERR_NonFatal, component, static_cast<int>(index), value);
      return false;
    }
    return true;
  }
  *out = static_cast<unsigned char>(255.0 * std::pow(value, 1.0 / kGamma));
  return true;
}

}  // namespace

const double* KvGammaTable() {
  static const GammaTable table;
  return table.v;
}

int rgbLutToMTM(unsigned long n, const unsigned char* red, const unsigned char* green,
                const unsigned char* blue, double* s1, double* s2, double* t) {
  for (unsigned long i = 0; i < n; ++i) {
    double rgb[3], xyz[3];
    LinearRgb(red[i], green[i], blue[i], rgb);
    Multiply(kA, rgb, xyz);
    const double h = VMtm(xyz[1]);
    const double m1 = VMtm(1.02 * xyz[0]) - h;
    const double m2 = 0.4 * (VMtm(0.847 * xyz[2]) - h);
    ChromaPlane(h, m1, m2, &s1[i], &s2[i], &t[i]);
  }
  return 0;
}

int rgbLutToMTMV(unsigned long n, const unsigned char* red, const unsigned char* green,
                 const unsigned char* blue, double* c1, double* c2, double* c3) {
  const WhitePoint& white = MtmvWhite();
  for (unsigned long i = 0; i < n; ++i) {
    double rgb[3], xyz[3];
    LinearRgb(red[i], green[i], blue[i], rgb);
    Multiply(kB, rgb, xyz);
    const double h = FMtmv(xyz[1]);
    const double m1 = FMtmv(xyz[0] / white.xn) - h;
    const double m2 = 0.4 * (FMtmv(xyz[2] / white.zn) - h);
    ChromaPlane(h, m1, m2, &c1[i], &c2[i], &c3[i]);
  }
  return 0;
}

int rgbLutToNewMTMV(unsigned long n, const unsigned char* red, const unsigned char* green,
                    const unsigned char* blue, double* c1, double* c2, double* c3) {
  if (rgbLutToMTMV(n, red, green, blue, c1, c2, c3) != 0) return -1;
  for (unsigned long i = 0; i < n; ++i) {
    const double a = c1[i], b = c2[i], c = c3[i];
    c1[i] = kQ1a * a + kQ1b * b;
    c2[i] = kQ2a * a + kQ2b * b;
    c3[i] = kQ3a * a + kQ3b * b + kQ3c * c;
  }
  return 0;
}

int MTMToRgbLut(unsigned long n, const double* s1, const double* s2, const double* t,
                unsigned char* red, unsigned char* green, unsigned char* blue) {
  int rc = 0;
  for (unsigned long i = 0; i < n; ++i) {
    double m1 = 0.0, m2 = 0.0;
    if (OpponentFromChroma(s1[i], s2[i], &m1, &m2) != 0) rc = -1;
    const double h = t[i] / 4.0;
    const double x = (h + m1 + 1.6) / 11.6;
    const double y = (h + 1.6) / 11.6;
    const double z = (h + m2 / 0.4 + 1.6) / 11.6;
    const double xyz[3] = {x * x * x / 1.02, y * y * y, z * z * z / 0.847};
    double rgb[3];
    Multiply(kAInverse, xyz, rgb);
    if (!LinearToByte(rgb[0], "R", i, &red[i])) rc = -1;
    if (!LinearToByte(rgb[1], "G", i, &green[i])) rc = -1;
    if (!LinearToByte(rgb[2], "B", i, &blue[i])) rc = -1;
  }
  return rc;
}
