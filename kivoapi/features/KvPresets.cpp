// The presets.
#include "features/KvPresets.h"

#include <cstring>

namespace {

const char* const kPhoto[] = {
    "KvHsvHistogramFeatureClass:W=1:PZ=1",
    nullptr,
};

struct Preset {
  const char* name;
  const char* const* terms;
};

const Preset kPresets[] = {{"photo", kPhoto}};
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
