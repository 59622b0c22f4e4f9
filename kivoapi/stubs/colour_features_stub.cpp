// Placeholder until the colour features land.
#include "features/KvFeatureFactories.h"

KvFeatureClass* NewKvColorFeatureClass() { return nullptr; }
KvFeatureClass* NewKvColorSubPartFeatureClass() { return nullptr; }
KvFeatureClass* NewKvColorHistogramFeatureClass() { return nullptr; }
KvFeatureClass* NewKvColorHistogramSubPartFeatureClass() { return nullptr; }
