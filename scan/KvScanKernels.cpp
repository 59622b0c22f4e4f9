// Scan kernels, compiled once per SIMD target and chosen at run time (see
// KvScanKernels.h for the contract). This file is read several times by
// Highway's foreach_target; the parts outside HWY_NAMESPACE are guarded.
//
// Layout of the work. Average colour and texture put one record in each
// lane (blocks of records loaded de-interleaved), so each lane repeats the
// feature's scalar steps. The histogram's quadratic form keeps one record at
// a time with its eight partial sums in the lanes, the same eight sums the
// feature's dot product keeps, combined in the same pairs at the end.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "scan/KvScanKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>

#ifndef KV_SCAN_KERNELS_SHARED
#define KV_SCAN_KERNELS_SHARED

namespace kvscan {

struct ColorQuery {
  int32_t q[3];
};

struct TextureQuery {
  int32_t q[3];
  double w[3];
};

struct HistogramQuery {
  alignas(64) double products[256];
  int32_t selfTerm;
};

// 2^-28: the squared inverse of the colour feature's fixed-point scale.
constexpr double kColorScale2 = (1.0 / 16384) * (1.0 / 16384);

inline int32_t Word(const unsigned char* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace kvscan

#endif  // KV_SCAN_KERNELS_SHARED

HWY_BEFORE_NAMESPACE();
namespace kvscan {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

inline const unsigned char* SlotAt(const unsigned char* base, size_t stride, const uint64_t* index, size_t first,
                                   size_t r) {
  return base + stride * (index != nullptr ? static_cast<size_t>(index[r]) : first + r);
}

// ---- average colour ------------------------------------------------------

float ColorOne(const ColorQuery& query, const unsigned char* slot) {
  uint64_t sum = 0;
  double wide = 0.0;
  bool exact = true;
  for (int k = 0; k < 3; ++k) {
    const int64_t d = static_cast<int64_t>(query.q[k]) - Word(slot + 4 * k);
    if (d > 0x7FFFFFFFLL || d < -0x7FFFFFFFLL) exact = false;
    const uint64_t magnitude = static_cast<uint64_t>(d < 0 ? -d : d);
    sum += magnitude * magnitude;
    wide += static_cast<double>(d) * static_cast<double>(d);
  }
  const double squared = exact ? static_cast<double>(sum) : wide;
  return static_cast<float>(squared * kColorScale2);
}

#if HWY_TARGET != HWY_SCALAR
// Half a block of colour records (their values promoted to 64-bit lanes):
// the squares summed exactly as unsigned 64-bit integers, then converted to
// double through its two 32-bit halves (each exact, one rounding in the
// sum, as the direct conversion rounds). False when a difference needs more
// than 31 bits: the caller takes the scalar form.
template <class D64>
bool ColorHalf(D64 d64, const hn::Vec<D64>* t, const ColorQuery& query, float* out) {
  const hn::RebindToUnsigned<D64> du64;
  const hn::Repartition<uint32_t, D64> du32;
  const hn::Rebind<double, D64> df64;
  const hn::Rebind<float, D64> df32;
  const auto limit = hn::Set(d64, 0x7FFFFFFFLL);
  const auto negLimit = hn::Set(d64, -0x7FFFFFFFLL);
  auto sum = hn::Zero(du64);
  auto ok = hn::Not(hn::Lt(limit, limit));  // all true
  for (int k = 0; k < 3; ++k) {
    const auto d = hn::Sub(hn::Set(d64, static_cast<int64_t>(query.q[k])), t[k]);
    ok = hn::And(ok, hn::And(hn::Not(hn::Gt(d, limit)), hn::Not(hn::Lt(d, negLimit))));
    const auto magnitude = hn::BitCast(du32, hn::IfThenElse(hn::Lt(d, hn::Zero(d64)), hn::Neg(d), d));
    sum = hn::Add(sum, hn::MulEven(magnitude, magnitude));
  }
  if (!hn::AllTrue(d64, ok)) return false;
  const hn::RebindToSigned<D64> di64;
  const auto high = hn::ConvertTo(df64, hn::BitCast(di64, hn::ShiftRight<32>(sum)));
  const auto low = hn::ConvertTo(df64, hn::BitCast(di64, hn::And(sum, hn::Set(du64, 0xFFFFFFFFull))));
  const auto squared = hn::Add(hn::Mul(high, hn::Set(df64, 4294967296.0)), low);
  hn::StoreU(hn::DemoteTo(df32, hn::Mul(squared, hn::Set(df64, kColorScale2))), df32, out);
  return true;
}
#endif

void ColorDistances(const ColorQuery& query, const unsigned char* base, size_t stride, const uint64_t* index,
                    size_t first, size_t count, float* out) {
  size_t r = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<int32_t> d32;
  const hn::Half<decltype(d32)> dh;
  const hn::Rebind<int64_t, decltype(dh)> d64;
  const size_t n = hn::Lanes(d32);
  if (index == nullptr && stride == 12) {
    const int32_t* p = reinterpret_cast<const int32_t*>(base + stride * first);
    for (; r + n <= count; r += n) {
      hn::Vec<decltype(d32)> v0, v1, v2;
      hn::LoadInterleaved3(d32, p + 3 * r, v0, v1, v2);
      const hn::Vec<decltype(d64)> lower[3] = {hn::PromoteTo(d64, hn::LowerHalf(dh, v0)),
                                               hn::PromoteTo(d64, hn::LowerHalf(dh, v1)),
                                               hn::PromoteTo(d64, hn::LowerHalf(dh, v2))};
      const hn::Vec<decltype(d64)> upper[3] = {hn::PromoteTo(d64, hn::UpperHalf(dh, v0)),
                                               hn::PromoteTo(d64, hn::UpperHalf(dh, v1)),
                                               hn::PromoteTo(d64, hn::UpperHalf(dh, v2))};
      if (!ColorHalf(d64, lower, query, out + r) || !ColorHalf(d64, upper, query, out + r + n / 2)) {
        for (size_t i = r; i < r + n; ++i) out[i] = ColorOne(query, base + stride * (first + i));
      }
    }
  }
#endif
  for (; r < count; ++r) out[r] = ColorOne(query, SlotAt(base, stride, index, first, r));
}

// ---- texture -------------------------------------------------------------

float TextureOne(const TextureQuery& query, const unsigned char* slot) {
  double sum = 0.0;
  for (int i = 0; i < 3; ++i) {
    const double d = static_cast<double>(static_cast<int64_t>(query.q[i]) - Word(slot + 4 + 4 * i));
    sum += query.w[i] * d * d;
  }
  return static_cast<float>(sum / 3.0);
}

void TextureDistances(const TextureQuery& query, const unsigned char* base, size_t stride, const uint64_t* index,
                      size_t first, size_t count, float* out) {
  size_t r = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<int32_t> d32;
  const hn::Half<decltype(d32)> dh;
  const hn::Rebind<double, decltype(dh)> df64;
  const hn::Rebind<float, decltype(dh)> df32;
  const size_t n = hn::Lanes(d32);
  if (index == nullptr && stride == 16) {
    const int32_t* p = reinterpret_cast<const int32_t*>(base + stride * first);
    for (; r + n <= count; r += n) {
      hn::Vec<decltype(d32)> flags, v[3];
      hn::LoadInterleaved4(d32, p + 4 * r, flags, v[0], v[1], v[2]);
      for (int half = 0; half < 2; ++half) {
        // The differences of two 32-bit values are exact in double, as the
        // feature's 64-bit difference converted.
        auto sum = hn::Zero(df64);
        for (int i = 0; i < 3; ++i) {
          const auto t = half == 0 ? hn::LowerHalf(dh, v[i]) : hn::UpperHalf(dh, v[i]);
          const auto d = hn::Sub(hn::Set(df64, static_cast<double>(query.q[i])), hn::PromoteTo(df64, t));
          sum = hn::Add(sum, hn::Mul(hn::Mul(hn::Set(df64, query.w[i]), d), d));
        }
        hn::StoreU(hn::DemoteTo(df32, hn::Div(sum, hn::Set(df64, 3.0))), df32, out + r + half * (n / 2));
      }
    }
  }
#endif
  for (; r < count; ++r) out[r] = TextureOne(query, SlotAt(base, stride, index, first, r));
}

// ---- colour histogram, quadratic form -----------------------------------

inline float QuadraticFinish(const HistogramQuery& query, const unsigned char* slot, const double* s) {
  // Without the stored histogram's self term the form has no meaning.
  if (Word(slot + 512) < 0) return -1.0f;
  const double dot = ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
  const double x = static_cast<double>(query.selfTerm) + static_cast<double>(Word(slot + 512)) - 2.0 * dot;
  const double d = x * 1e-6;
  if (d < -1e-5) return -1.0f;  // the stored histogram has no self term
  return static_cast<float>(d < 0.0 ? 0.0 : d);
}

// The eight partial sums of one record (sum m takes bins i with i mod 8 = m,
// in rising i), with the lanes holding consecutive sums.
void QuadraticSums(const HistogramQuery& query, const unsigned char* slot, double* s) {
  const hn::ScalableTag<double> df;
  const size_t n = hn::Lanes(df);
  const int16_t* bins = reinterpret_cast<const int16_t*>(slot);
  if (n > 8 || 8 % n != 0) {
    for (int m = 0; m < 8; ++m) s[m] = 0.0;
    for (int i = 0; i < 256; ++i) {
      int16_t b;
      std::memcpy(&b, bins + i, sizeof b);
      s[i % 8] += static_cast<double>(b) * query.products[i];
    }
    return;
  }
  const hn::Rebind<int32_t, decltype(df)> d32;
  const hn::Rebind<int16_t, decltype(df)> d16;
  const size_t groups = 8 / n;
  hn::Vec<decltype(df)> acc[8];
  for (size_t g = 0; g < groups; ++g) acc[g] = hn::Zero(df);
  for (size_t i = 0; i < 256; i += 8) {
    for (size_t g = 0; g < groups; ++g) {
      const size_t at = i + g * n;
      const auto b = hn::PromoteTo(df, hn::PromoteTo(d32, hn::LoadU(d16, bins + at)));
      acc[g] = hn::Add(acc[g], hn::Mul(b, hn::LoadU(df, query.products + at)));
    }
  }
  for (size_t g = 0; g < groups; ++g) hn::StoreU(acc[g], df, s + g * n);
}

void QuadraticDistances(const HistogramQuery& query, const unsigned char* base, size_t stride,
                        const uint64_t* index, size_t first, size_t count, float* out) {
  alignas(64) double s[2][8];
  size_t r = 0;
  // Two records at a time keep two independent chains of additions in
  // flight.
  for (; r + 2 <= count; r += 2) {
    const unsigned char* a = SlotAt(base, stride, index, first, r);
    const unsigned char* b = SlotAt(base, stride, index, first, r + 1);
    QuadraticSums(query, a, s[0]);
    QuadraticSums(query, b, s[1]);
    out[r] = QuadraticFinish(query, a, s[0]);
    out[r + 1] = QuadraticFinish(query, b, s[1]);
  }
  for (; r < count; ++r) {
    const unsigned char* a = SlotAt(base, stride, index, first, r);
    QuadraticSums(query, a, s[0]);
    out[r] = QuadraticFinish(query, a, s[0]);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace kvscan
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "scan/KvScanKernels.h"

#include "data/KvParameter.h"
#include "features/KvColorDifferenceFeature.h"
#include "features/KvColorFeature.h"
#include "features/KvColorHistogramFeature.h"
#include "features/KvColorTextureFeature.h"
#include "features/KvDrawFeature.h"
#include "features/KvCorrelogramFeature.h"
#include "features/KvEdgeHistogramFeature.h"
#include "features/KvHsvBandsFeature.h"
#include "features/KvHsvHistogramFeature.h"
#include "features/KvTextureFeature.h"
#include "scan/KvScanKernelFactories.h"
#include "scan/KvScanLayouts.h"

namespace kvscan {

HWY_EXPORT(ColorDistances);
HWY_EXPORT(TextureDistances);
HWY_EXPORT(QuadraticDistances);

namespace {

class ColorKernel : public KvSlotKernel {
 public:
  explicit ColorKernel(const ColorQuery& q) : q_(q) {}
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    HWY_DYNAMIC_DISPATCH(ColorDistances)(q_, base, stride, index, first, count, out);
  }

 private:
  ColorQuery q_;
};

class TextureKernel : public KvSlotKernel {
 public:
  explicit TextureKernel(const TextureQuery& q) : q_(q) {}
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    HWY_DYNAMIC_DISPATCH(TextureDistances)(q_, base, stride, index, first, count, out);
  }

 private:
  TextureQuery q_;
};

class QuadraticKernel : public KvSlotKernel {
 public:
  QuadraticKernel() = default;
  HistogramQuery& Query() { return q_; }
  void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first, size_t count,
                 float* out) const override {
    HWY_DYNAMIC_DISPATCH(QuadraticDistances)(q_, base, stride, index, first, count, out);
  }

 private:
  HistogramQuery q_;
};

bool Named(KvFeatureClass* query, uint32_t layout) {
  const KvScanLayout* l = KvScanLayoutById(layout);
  return l != nullptr && KvScanLayoutForClass(query->GetClassName()) == l;
}

// The texture weights as the feature's Distance reads them from parms.
void TextureWeights(KvParameterClass* parms, double w[3]) {
  static const char* const kNames[3] = {"Coarseness", "Contrast", "Directionality"};
  static const double kFallback[3] = {1.0 / (800.0 * 800.0), 1.0 / (12800.0 * 12800.0), 1.0 / (1000.0 * 1000.0)};
  constexpr double kNegligible = 1e-7;
  for (int i = 0; i < 3; ++i) {
    w[i] = 0.0;
    if (parms == nullptr) continue;
    for (uint32_t k = 0; k < parms->GetCount(); ++k) {
      if (std::strcmp(parms->GetName(k), kNames[i]) == 0) {
        w[i] = parms->GetNumber(k);
        break;
      }
    }
  }
  if (w[0] < kNegligible && w[1] < kNegligible && w[2] < kNegligible) {
    for (int i = 0; i < 3; ++i) w[i] = kFallback[i];
  }
}

}  // namespace
}  // namespace kvscan

std::unique_ptr<KvSlotKernel> KvSlotKernelFor(KvFeatureClass* query, KvParameterClass* parms, uint32_t layout) {
  using namespace kvscan;
  if (query == nullptr || !Named(query, layout)) return nullptr;
  switch (layout) {
    case kKvScanLayoutColor: {
      const auto* color = dynamic_cast<const KvColorFeatureClass*>(query);
      if (color == nullptr) return nullptr;
      ColorQuery q;
      for (int k = 0; k < 3; ++k) q.q[k] = color->GetValues()[k];
      return std::unique_ptr<KvSlotKernel>(new ColorKernel(q));
    }
    case kKvScanLayoutTexture: {
      const auto* texture = dynamic_cast<const KvTextureFeatureClass*>(query);
      if (texture == nullptr) return nullptr;
      TextureQuery q;
      const KvTextureValues& v = texture->GetValues();
      q.q[0] = v.coarseness;
      q.q[1] = v.contrast;
      q.q[2] = v.directionality;
      TextureWeights(parms, q.w);
      return std::unique_ptr<KvSlotKernel>(new TextureKernel(q));
    }
    case kKvScanLayoutDraw: {
      const auto* draw = dynamic_cast<const KvDrawFeatureClass*>(query);
      return draw != nullptr ? KvDrawSlotKernel(*draw) : nullptr;
    }
    case kKvScanLayoutHsvHistogram: {
      const auto* hsv = dynamic_cast<const KvHsvHistogramFeatureClass*>(query);
      return hsv != nullptr ? KvHsvSlotKernel(*hsv, parms) : nullptr;
    }
    case kKvScanLayoutEdgeHistogram: {
      auto* edge = dynamic_cast<KvEdgeHistogramFeatureClass*>(query);
      return edge != nullptr ? KvEdgeHistogramSlotKernel(*edge, parms) : nullptr;
    }
    case kKvScanLayoutCorrelogram: {
      const auto* correlogram = dynamic_cast<const KvCorrelogramFeatureClass*>(query);
      return correlogram != nullptr ? KvCorrelogramSlotKernel(*correlogram, parms) : nullptr;
    }
    case kKvScanLayoutColorDifference: {
      const auto* difference = dynamic_cast<const KvColorDifferenceFeatureClass*>(query);
      return difference != nullptr ? KvColorDifferenceSlotKernel(*difference, parms) : nullptr;
    }
    case kKvScanLayoutColorTexture: {
      const auto* texture = dynamic_cast<const KvColorTextureFeatureClass*>(query);
      return texture != nullptr ? KvColorTextureSlotKernel(*texture, parms) : nullptr;
    }
    case kKvScanLayoutHsvBands: {
      const auto* bands = dynamic_cast<const KvHsvBandsFeatureClass*>(query);
      return bands != nullptr ? KvHsvBandsSlotKernel(*bands, parms) : nullptr;
    }
    case kKvScanLayoutHistogram: {
      const auto* histogram = dynamic_cast<const KvColorHistogramFeatureClass*>(query);
      if (histogram == nullptr) return nullptr;
      if (histogram->GetSelfTerm() < 0) {
        return KvPartialSlotKernel(*histogram);
      }
      std::unique_ptr<QuadraticKernel> kernel(new QuadraticKernel);
      // The query's products, as the feature computes them.
      KvBuildHistogramSimilarity();
      const double* similarity = KvHistogramExpSimilarity();
      alignas(64) double bins[256];
      for (int i = 0; i < 256; ++i) bins[i] = histogram->GetBins()[i];
      for (int i = 0; i < 256; ++i) kernel->Query().products[i] = KvDot256(similarity + i * 256, bins);
      kernel->Query().selfTerm = histogram->GetSelfTerm();
      return kernel;
    }
    default:
      return nullptr;
  }
}

std::vector<int64_t> KvScanKernelTargets() { return hwy::SupportedAndGeneratedTargets(); }

const char* KvScanTargetName(int64_t target) { return hwy::TargetName(target); }

void KvScanForceTargets(int64_t targets) { hwy::SetSupportedTargetsForTest(targets); }

std::string KvScanCurrentTarget() {
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  return targets.empty() ? std::string("none") : std::string(hwy::TargetName(targets.front()));
}

#endif  // HWY_ONCE
