// Kernels made in files of their own (one per feature family), for
// KvSlotKernelFor. Each returns null when the query is not one the kernel
// measures the feature's way (the search then decodes each record).
#pragma once

#include <memory>

#include "scan/KvScanKernels.h"

class KvColorDifferenceFeatureClass;
class KvColorHistogramFeatureClass;
class KvColorTextureFeatureClass;
class KvCorrelogramFeatureClass;
class KvDrawFeatureClass;
class KvEdgeHistogramFeatureClass;
class KvHsvBandsFeatureClass;
class KvHsvHistogramFeatureClass;
class KvParameterClass;

// Partial matching of a histogram query without self term whose parameters
// are applied (it holds what it needs; the query may go first).
std::unique_ptr<KvSlotKernel> KvPartialSlotKernel(const KvColorHistogramFeatureClass& query);
// The layout distance of a sketch query whose elements are built.
std::unique_ptr<KvSlotKernel> KvDrawSlotKernel(const KvDrawFeatureClass& query);
// The HSV histogram distance (with the normalisation factor parms holds).
std::unique_ptr<KvSlotKernel> KvHsvSlotKernel(const KvHsvHistogramFeatureClass& query, KvParameterClass* parms);
// The HSV band histogram distance (with the normalisation factor).
std::unique_ptr<KvSlotKernel> KvHsvBandsSlotKernel(const KvHsvBandsFeatureClass& query, KvParameterClass* parms);
// The colour-texture distance (with the normalisation factor).
std::unique_ptr<KvSlotKernel> KvColorTextureSlotKernel(const KvColorTextureFeatureClass& query,
                                                       KvParameterClass* parms);
// The edge histogram distance (Mirror=T and the normalisation factor as
// parms say) and the correlogram distance (with the normalisation factor).
std::unique_ptr<KvSlotKernel> KvEdgeHistogramSlotKernel(KvEdgeHistogramFeatureClass& query, KvParameterClass* parms);
std::unique_ptr<KvSlotKernel> KvCorrelogramSlotKernel(const KvCorrelogramFeatureClass& query,
                                                      KvParameterClass* parms);
// The colour-difference distance (with the normalisation factor).
std::unique_ptr<KvSlotKernel> KvColorDifferenceSlotKernel(const KvColorDifferenceFeatureClass& query,
                                                          KvParameterClass* parms);
