// The presets.
#include "features/KvPresets.h"

#include <cstring>

namespace {

// Colour (HSV histogram), edge structure (edge histogram) and colour
// adjacency (correlogram), each divided by its catalog's mean distance so
// that they weigh alike.
const char* const kPhoto[] = {
    "KvHsvHistogramFeatureClass:W=1:PZ=1",
    "KvEdgeHistogramFeatureClass:W=1:PZ=1",
    "KvCorrelogramFeatureClass:W=1:PZ=1",
    nullptr,
};

struct Preset {
  const char* name;
  const char* const* terms;
  double duplicateDistance;
};

// The photo preset's terms each average 1 between two stored photographs.
// Copies of one photograph scaled, recompressed or cropped lie mostly below
// 0.4 in all; the nearest other photograph rarely comes that close.
const Preset kPresets[] = {{"photo", kPhoto, 0.4}};
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
