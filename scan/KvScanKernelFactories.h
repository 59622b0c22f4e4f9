// Kernels made in their own files (one per feature family), for
// KvSlotKernelFor. Each returns null when the query is not one the kernel
// measures the feature's way (the search then decodes each record).
#pragma once

#include <memory>

#include "scan/KvScanKernels.h"

class KvColorHistogramFeatureClass;
class KvDrawFeatureClass;

// The layout distance of a sketch query whose elements are built.
std::unique_ptr<KvSlotKernel> KvDrawSlotKernel(const KvDrawFeatureClass& query);
// Partial matching of a histogram query without self term whose parameters
// are applied.
std::unique_ptr<KvSlotKernel> KvPartialSlotKernel(const KvColorHistogramFeatureClass& query);
