// Kernels made in files of their own (one per feature family), for
// KvSlotKernelFor. Each returns null when the query is not one the kernel
// measures the feature's way (the search then decodes each record).
#pragma once

#include <memory>

#include "scan/KvScanKernels.h"

class KvDrawFeatureClass;
class KvHsvHistogramFeatureClass;
class KvParameterClass;

// The layout distance of a sketch query whose elements are built.
std::unique_ptr<KvSlotKernel> KvDrawSlotKernel(const KvDrawFeatureClass& query);
// The HSV histogram distance (with the normalisation factor parms holds).
std::unique_ptr<KvSlotKernel> KvHsvSlotKernel(const KvHsvHistogramFeatureClass& query, KvParameterClass* parms);
