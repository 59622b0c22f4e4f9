// Placeholder until the texture, draw and text features land.
#include "features/KvFeatureFactories.h"

KvFeatureClass* NewKvTextureFeatureClass() { return nullptr; }
KvFeatureClass* NewKvTextureSubPartFeatureClass() { return nullptr; }
KvFeatureClass* NewKvDrawFeatureClass() { return nullptr; }
KvFeatureClass* NewKvTextFeatureClass() { return nullptr; }
