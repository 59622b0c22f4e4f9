// Computation of the colour-difference feature on the working image: each
// cell's L*a*b* colour, its colour bin, its edge direction from the three
// channels' Sobel gradients (the direction of strongest change of the
// colour as a whole), then the differences of the cell pairs kApart cells
// apart.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "core/KvError.h"
#include "features/KvColorDifferenceFeature.h"
#include "features/KvWorkingImage.h"

namespace {

using Difference = KvColorDifferenceFeatureClass;

// The cube root part of L*a*b*, tabulated over [0, kCubeTop] and
// interpolated linearly (relative luminances of 8-bit colours stay below
// 1.0009).
constexpr int kCubeSteps = 4096;
constexpr float kCubeTop = 1.0625f;

struct Tables {
  float linear[256];              // sRGB component to linear light
  float cube[kCubeSteps + 2];     // f(t) at t = i * kCubeTop / kCubeSteps
};

const Tables& LabTables() {
  static const Tables tables = [] {
    Tables t;
    for (int i = 0; i < 256; ++i) {
      const double c = i / 255.0;
      t.linear[i] = static_cast<float>(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
    }
    for (int i = 0; i < kCubeSteps + 2; ++i) {
      const double x = static_cast<double>(i) * kCubeTop / kCubeSteps;
      t.cube[i] = static_cast<float>(x > 0.008856 ? std::cbrt(x) : 7.787 * x + 16.0 / 116.0);
    }
    return t;
  }();
  return tables;
}

float Cube(const Tables& t, float x) {
  const float at = std::min(std::max(x, 0.0f), kCubeTop) * (kCubeSteps / kCubeTop);
  const int i = std::min(static_cast<int>(at), kCubeSteps);
  const float f = at - static_cast<float>(i);
  return t.cube[i] + f * (t.cube[i + 1] - t.cube[i]);
}

// atan2(y, x) in degrees, [0, 360), within a thousandth of a degree; 0 for
// (0, 0). The quadrants are added in whole degrees, so that the angles of
// horizontal and vertical edges, which real images are full of, come out
// exact and in their own bins. Without branches: the directions of
// neighbouring cells follow no pattern a branch predictor could learn.
float Degrees(float y, float x) {
  const float ax = std::fabs(x), ay = std::fabs(y);
  const float hi = std::max(std::max(ax, ay), 1e-30f), lo = std::min(ax, ay);
  const float z = lo / hi, z2 = z * z;
  float a = 57.2957795f * z *
            (0.99997726f +
             z2 * (-0.33262347f + z2 * (0.19354346f + z2 * (-0.11643287f + z2 * (0.05265332f + z2 * -0.01172120f)))));
  a += static_cast<float>(ay > ax) * (90.0f - 2.0f * a);
  a += static_cast<float>(x < 0.0f) * (180.0f - 2.0f * a);
  a += static_cast<float>(y < 0.0f) * (360.0f - 2.0f * a);
  return a >= 360.0f ? 0.0f : a;
}

// The cell of v among cells of 1 / perUnit from `from` on, the outer ones
// open.
int Cell(float v, float from, float perUnit, int cells) {
  const int c = static_cast<int>((v - from) * perUnit);
  return c < 0 ? 0 : c >= cells ? cells - 1 : c;
}

}  // namespace

int KvColorDifferenceFeatureClass::Compute(const KvGenericImageDataClass& image) {
  KvWorkingImage work;
  if (!KvMakeWorkingImage(image, kWorkingArea, &work)) return -1;
  const int w = work.width, h = work.height;
  const size_t cells = work.Cells();
  const Tables& t = LabTables();
  std::vector<float> lab(3 * cells);
  float* L = lab.data();
  float* A = L + cells;
  float* B = A + cells;
  std::vector<uint8_t> colour(cells), direction(cells);
  for (size_t i = 0; i < cells; ++i) {
    const float r = t.linear[work.red[i]], g = t.linear[work.green[i]], b = t.linear[work.blue[i]];
    const float fx = Cube(t, (0.4124f * r + 0.3576f * g + 0.1805f * b) * (1.0f / 0.95047f));
    const float fy = Cube(t, 0.2126f * r + 0.7152f * g + 0.0722f * b);
    const float fz = Cube(t, (0.0193f * r + 0.1192f * g + 0.9505f * b) * (1.0f / 1.08883f));
    L[i] = 116.0f * fy - 16.0f;
    A[i] = 500.0f * (fx - fy);
    B[i] = 200.0f * (fy - fz);
    colour[i] = static_cast<uint8_t>((Cell(L[i], 0.0f, 0.08f, kLightness) * kChroma + Cell(A[i], -40.0f, 0.05f, kChroma)) *
                                         kChroma +
                                     Cell(B[i], -40.0f, 0.05f, kChroma));
  }
  // Edge directions: the Sobel gradients of the three channels (borders
  // repeated) summed into one structure tensor per cell; the direction of
  // its main axis, in 18 steps over a half turn, is the step of twice that
  // angle in 20-degree sectors of a full turn.
  // Each row: the border cells repeated into a padded copy of the three
  // rows around it, then plain loops the compiler can vectorise.
  const size_t padded = static_cast<size_t>(w) + 2;
  std::vector<float> rows(9 * padded), tensor(3 * static_cast<size_t>(w));
  float* gxx = tensor.data();
  float* gyy = gxx + w;
  float* gxy = gyy + w;
  for (int y = 0; y < h; ++y) {
    const int around[3] = {std::max(y - 1, 0), y, std::min(y + 1, h - 1)};
    for (int c = 0; c < 3; ++c) {
      for (int k = 0; k < 3; ++k) {
        const float* from = lab.data() + static_cast<size_t>(c) * cells + static_cast<size_t>(around[k]) * w;
        float* to = rows.data() + (3 * c + k) * padded;
        std::copy(from, from + w, to + 1);
        to[0] = from[0];
        to[w + 1] = from[w - 1];
      }
    }
    std::fill(tensor.begin(), tensor.end(), 0.0f);
    for (int c = 0; c < 3; ++c) {
      const float* up = rows.data() + 3 * c * padded;
      const float* mid = up + padded;
      const float* down = mid + padded;
      for (int x = 0; x < w; ++x) {
        const float gx = (up[x + 2] + 2.0f * mid[x + 2] + down[x + 2]) - (up[x] + 2.0f * mid[x] + down[x]);
        const float gy = (down[x] + 2.0f * down[x + 1] + down[x + 2]) - (up[x] + 2.0f * up[x + 1] + up[x + 2]);
        gxx[x] += gx * gx;
        gyy[x] += gy * gy;
        gxy[x] += gx * gy;
      }
    }
    uint8_t* out = direction.data() + static_cast<size_t>(y) * w;
    for (int x = 0; x < w; ++x) {
      const int step = static_cast<int>(Degrees(2.0f * gxy[x], gxx[x] - gyy[x]) * (1.0f / 20.0f));
      out[x] = static_cast<uint8_t>(std::min(step, kDirections - 1));
    }
  }
  // The pairs: right and below (the diagonals add nothing measurable).
  // Neighbouring pairs often add to one bin; four copies of the bins, taken
  // in turn along a row, keep those additions from waiting on each other.
  double colours[4][kColors] = {};
  double directions[4][kDirections] = {};
  uint64_t valid = 0;
  for (size_t i = 0; i < cells; ++i) valid += work.valid[i];
  const bool masked = valid < cells;
  const int offsets[2][2] = {{0, kApart}, {kApart, 0}};
  for (const auto& offset : offsets) {
    const int dy = offset[0], dx = offset[1];
    const int x0 = std::max(0, -dx), x1 = std::min(w, w - dx);
    if (x1 <= x0) continue;
    for (int y = 0; y + dy < h; ++y) {
      const size_t row = static_cast<size_t>(y) * static_cast<size_t>(w);
      const size_t other = row + static_cast<size_t>(dy) * static_cast<size_t>(w) + static_cast<size_t>(dx);
      for (int x = x0; x < x1; ++x) {
        const size_t p = row + static_cast<size_t>(x), q = other + static_cast<size_t>(x);
        const bool sameDirection = direction[p] == direction[q];
        const bool sameColour = colour[p] == colour[q];
        if (!sameDirection && !sameColour) continue;
        if (masked && (work.valid[p] == 0 || work.valid[q] == 0)) continue;
        const float dl = L[p] - L[q], da = A[p] - A[q], db = B[p] - B[q];
        const double d = std::sqrt(dl * dl + da * da + db * db);
        const int copy = x & 3;
        if (sameDirection) colours[copy][colour[p]] += d;
        if (sameColour) directions[copy][direction[p]] += d;
      }
    }
  }
  const double scale = kScale / static_cast<double>(valid);
  sum_ = 0;
  for (int i = 0; i < kBins; ++i) {
    const double* copies = i < kColors ? &colours[0][i] : &directions[0][i - kColors];
    const size_t step = i < kColors ? kColors : kDirections;
    const double v = ((copies[0] + copies[step]) + (copies[2 * step] + copies[3 * step])) * scale;
    bin_[i] = static_cast<uint16_t>(std::min(65535.0, std::floor(v + 0.5)));
    sum_ += bin_[i];
  }
  return 0;
}
