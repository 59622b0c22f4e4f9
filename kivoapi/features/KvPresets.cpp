// The presets.
#include "features/KvPresets.h"

#include <cstring>

namespace {

// Colour by bands of rows with the grain of surfaces (colour texture), edge
// structure (edge histogram), colour change across edges and textures
// (colour difference) and how colours cluster (correlogram), each divided by
// its catalog's mean distance so that they weigh alike. The nearest 150 are
// then re-ranked by shared neighbourhoods: photographs of one subject are
// near one another as well as near the query.
const char* const kPhoto[] = {
    "KvColorTextureFeatureClass:W=1:PZ=1,Rerank=150",
    "KvEdgeHistogramFeatureClass:W=1:PZ=1,Rerank=150",
    "KvColorDifferenceFeatureClass:W=1:PZ=1,Rerank=150",
    "KvCorrelogramFeatureClass:W=1:PZ=1,Rerank=150",
    nullptr,
};

struct Preset {
  const char* name;
  const char* const* terms;
  double duplicateDistance;
};

// The photo preset's terms each average 1 between two stored photographs,
// about 4 in all. Copies of one photograph scaled or recompressed (in
// another container too) lie mostly below 0.7 in all, by the weighted
// distance before re-ranking; the nearest other photograph rarely comes that
// close.
const Preset kPresets[] = {{"photo", kPhoto, 0.7}};
const char* const kNames[] = {"photo", nullptr};

}  // namespace

const char* const* KvFindPreset(const char* name) {
  if (name == nullptr) return nullptr;
  for (const Preset& preset : kPresets) {
    if (std::strcmp(preset.name, name) == 0) return preset.terms;
  }
  return nullptr;
}

const char* const* KvListPresets() { return kNames; }

double KvPresetDuplicateDistance(const char* name) {
  if (name == nullptr) return -1.0;
  for (const Preset& preset : kPresets) {
    if (std::strcmp(preset.name, name) == 0) return preset.duplicateDistance;
  }
  return -1.0;
}
