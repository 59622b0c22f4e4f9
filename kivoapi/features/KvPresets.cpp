// The presets.
#include "features/KvPresets.h"

#include <cstring>

namespace {

// Colour over the whole image (HSV histogram), colour by bands of rows with
// the grain of surfaces (colour texture), edge structure (edge histogram)
// and colour change across edges and textures (colour difference), each
// divided by its catalog's mean distance so that they weigh alike. The bands
// tell sky from ground, the whole-image histogram keeps crops, which move
// content between the bands, near their originals.
const char* const kPhoto[] = {
    "KvHsvHistogramFeatureClass:W=1:PZ=1",
    "KvColorTextureFeatureClass:W=1:PZ=1",
    "KvEdgeHistogramFeatureClass:W=1:PZ=1",
    "KvColorDifferenceFeatureClass:W=1:PZ=1",
    nullptr,
};

struct Preset {
  const char* name;
  const char* const* terms;
  double duplicateDistance;
};

// The photo preset's terms each average 1 between two stored photographs,
// about 4 in all. Copies of one photograph scaled, recompressed (in another
// container too) or cropped lie mostly below 0.7 in all; the nearest other
// photograph rarely comes that close.
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
