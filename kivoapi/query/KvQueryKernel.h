// Scan kernels: the distance of a stored record computed straight from its
// bytes for query features of known classes, chosen once per search.
//
// The general path decodes every record into a holder object and calls the
// query feature's virtual Distance. For a colour histogram queried by the
// quadratic form that costs more than the B-tree walk itself, so the kernel
// fuses decoding and the product with the query's precomputed products,
// doing the same arithmetic in the same order as the feature class. The
// first records of every scan are also measured the general way and compared
// bit for bit; any difference switches the kernel off for the rest of the
// scan, so results are those of the general path either way.
#pragma once

#include <cstdint>

class KvFeatureClass;

class KvScanKernel {
 public:
  // Chooses the kernel for query (with its parameters already applied by
  // ComputeFeature); none when the class is not one it knows.
  explicit KvScanKernel(KvFeatureClass* query);
  KvScanKernel(const KvScanKernel&) = delete;
  KvScanKernel& operator=(const KvScanKernel&) = delete;

  bool Active() const { return kind_ != Kind::kNone; }
  // Distance of the record's bytes (size bytes). False when the record is
  // not one the kernel can read (its size); the caller then takes the
  // general path, which reports the problem.
  bool Distance(const unsigned char* bytes, unsigned long size, float* distance) const;
  // Records a comparison with the general path; after a mismatch the kernel
  // is off. True while further comparisons are wanted.
  bool WantsCheck() const { return checksLeft_ > 0; }
  void Checked(bool same);

 private:
  enum class Kind { kNone, kHistogramQuadratic };
  Kind kind_ = Kind::kNone;
  int checksLeft_ = 16;
  int32_t selfTerm_ = 0;
  alignas(64) double products_[256];
};
