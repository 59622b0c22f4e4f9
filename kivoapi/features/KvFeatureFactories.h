// Exported feature factories. Each returns a new object owned by the caller
// (released by its virtual destructor), or null when it cannot be allocated.
// A returned object may be invalid (IsValid() == 0); the caller destroys it.
#pragma once

class KvFeatureClass;

KvFeatureClass* NewKvColorFeatureClass();
KvFeatureClass* NewKvColorSubPartFeatureClass();
KvFeatureClass* NewKvColorHistogramFeatureClass();
KvFeatureClass* NewKvColorHistogramSubPartFeatureClass();
KvFeatureClass* NewKvTextureFeatureClass();
KvFeatureClass* NewKvTextureSubPartFeatureClass();
KvFeatureClass* NewKvDrawFeatureClass();
KvFeatureClass* NewKvTextFeatureClass();
KvFeatureClass* NewKvHsvHistogramFeatureClass();
KvFeatureClass* NewKvHsvBandsFeatureClass();
KvFeatureClass* NewKvColorDifferenceFeatureClass();
KvFeatureClass* NewKvColorTextureFeatureClass();
KvFeatureClass* NewKvEdgeHistogramFeatureClass();
KvFeatureClass* NewKvColorEdgeFeatureClass();
KvFeatureClass* NewKvCorrelogramFeatureClass();
