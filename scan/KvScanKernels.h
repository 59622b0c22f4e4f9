// Scan kernels: the distance from a query feature to many stored records at
// once, read straight from the slots of a scan view (KvScanLayouts.h), with
// the SIMD instructions of the CPU the program runs on (chosen at run time).
//
// Every kernel gives, bit for bit, what the query feature's own Distance
// gives for the same record: it performs the same operations in the same
// order on every path (each record's sums are kept in the order of the
// feature's code; no contraction of multiplies and adds), so a search gives
// the same ranking with or without scan files.
//
// A kernel is made for a query feature whose parameters are applied; it
// holds copies of what it needs (or reads the query feature without
// changing it), so several threads may run one kernel at once. A kernel
// does not outlive its query feature. To add a kernel for a new layout: a query struct with the values the
// distance reads, a per-target function in KvScanKernels.cpp (the scalar
// form for tails and the SCALAR target, a vector form for whole blocks), a
// branch in KvSlotKernelFor, and a test of it against the class's Distance
// under every target (tests/scan/kernel_test.cpp). A large kernel takes a
// file of its own (KvScanDrawKernel.cpp) with its
// factory in KvScanKernelFactories.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class KvFeatureClass;
class KvParameterClass;

class KvSlotKernel {
 public:
  virtual ~KvSlotKernel() = default;
  // Distances of count slots of a view: slot r is at base + stride * p with
  // p = index[r], or p = first + r when index is null. out[r] receives the
  // distance (negative when the feature's Distance would fail).
  virtual void Distances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first,
                         size_t count, float* out) const = 0;
  // As Distances, for a search whose full best list refuses every record
  // whose weighted term float(weight x distance) is above worst (weight > 0,
  // worst >= 0): a kernel may stop measuring a record as soon as a lower
  // bound of its distance proves that, and give it +infinity instead. Every
  // other record gets the bits Distances gives. Kernels whose cost is the
  // same for every record keep this default.
  virtual void BoundedDistances(const unsigned char* base, size_t stride, const uint64_t* index, size_t first,
                                size_t count, double weight, float worst, float* out) const {
    (void)weight;
    (void)worst;
    Distances(base, stride, index, first, count, out);
  }
};

// The kernel for query (computed, parameters applied) with parms on slots of
// the given layout; null when there is none (the search then decodes each
// record for the feature's own Distance).
std::unique_ptr<KvSlotKernel> KvSlotKernelFor(KvFeatureClass* query, KvParameterClass* parms, uint32_t layout);

// SIMD targets compiled into the kernels that this CPU can run, best first,
// and the name of one.
std::vector<int64_t> KvScanKernelTargets();
const char* KvScanTargetName(int64_t target);
// Restricts the kernels to the given targets (0: every supported target
// again); the best of them runs from then on. For tests and benchmarks.
void KvScanForceTargets(int64_t targets);
// Name of the target the kernels run on now.
std::string KvScanCurrentTarget();
