// Scan kernels for known feature classes (see the header for the contract).
//
// Colour histogram record (516 bytes, big-endian): 256 signed 16-bit bins,
// then the signed 32-bit self term.
#include "query/KvQueryKernel.h"

#include "core/KvBytes.h"
#include "features/KvColorHistogramFeature.h"
#include "features/KvFeature.h"

namespace {

constexpr int kBins = KvColorHistogramFeatureClass::kBins;
constexpr unsigned long kHistogramRecord = 2 * kBins + 4;

// sum over i of bin_t[i] * products[i], with the bins decoded on the fly;
// eight interleaved partial sums combined pairwise, exactly as the feature
// class's own product of the two arrays.
double HistogramDot(const unsigned char* __restrict bytes, const double* __restrict products) {
  double acc0 = 0, acc1 = 0, acc2 = 0, acc3 = 0, acc4 = 0, acc5 = 0, acc6 = 0, acc7 = 0;
  auto bin = [bytes](int i) {
    return static_cast<double>(static_cast<int16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]));
  };
  for (int i = 0; i < kBins; i += 8) {
    acc0 += bin(i) * products[i];
    acc1 += bin(i + 1) * products[i + 1];
    acc2 += bin(i + 2) * products[i + 2];
    acc3 += bin(i + 3) * products[i + 3];
    acc4 += bin(i + 4) * products[i + 4];
    acc5 += bin(i + 5) * products[i + 5];
    acc6 += bin(i + 6) * products[i + 6];
    acc7 += bin(i + 7) * products[i + 7];
  }
  return ((acc0 + acc4) + (acc1 + acc5)) + ((acc2 + acc6) + (acc3 + acc7));
}

}  // namespace

KvScanKernel::KvScanKernel(KvFeatureClass* query) {
  // Both the whole-image and the sub-part histogram derive from the class.
  const auto* histogram = dynamic_cast<const KvColorHistogramFeatureClass*>(query);
  if (histogram == nullptr || histogram->GetSelfTerm() < 0) return;
  // Partial matching (no self term) stays on the general path.
  KvBuildHistogramSimilarity();
  const double* similarity = KvHistogramExpSimilarity();
  alignas(64) double bins[kBins];
  const int16_t* b = histogram->GetBins();
  for (int i = 0; i < kBins; ++i) bins[i] = b[i];
  for (int i = 0; i < kBins; ++i) products_[i] = KvDot256(similarity + i * kBins, bins);
  selfTerm_ = histogram->GetSelfTerm();
  kind_ = Kind::kHistogramQuadratic;
}

bool KvScanKernel::Distance(const unsigned char* bytes, unsigned long size, float* distance) const {
  if (kind_ != Kind::kHistogramQuadratic || bytes == nullptr || size != kHistogramRecord) return false;
  const int32_t storedSelfTerm = static_cast<int32_t>(Load32BE(bytes + 2 * kBins));
  // A stored histogram without self term cannot be compared by the form.
  if (storedSelfTerm < 0) {
    *distance = -1.0f;
    return true;
  }
  const double x = static_cast<double>(selfTerm_) + static_cast<double>(storedSelfTerm) -
                   2.0 * HistogramDot(bytes, products_);
  const double d = x * 1e-6;
  // A self term that does not belong to the bins can give a strongly
  // negative value.
  *distance = d < -1e-5 ? -1.0f : static_cast<float>(d < 0.0 ? 0.0 : d);
  return true;
}

void KvScanKernel::Checked(bool same) {
  if (!same) {
    kind_ = Kind::kNone;
    checksLeft_ = 0;
    return;
  }
  if (checksLeft_ > 0) --checksLeft_;
}
