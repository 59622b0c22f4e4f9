// Named feature combinations: a preset stands for a list of features, each
// with its parameters (weight, normalisation, the feature's own), in the
// "ClassName:parameters" form of the command line. Every front end reads
// them from here.
#pragma once

// The terms of the preset called name, ending with a null entry, or null
// when there is no such preset. The texts are static.
const char* const* KvFindPreset(const char* name);
// The preset names, ending with a null entry.
const char* const* KvListPresets();
// The largest distance, in the preset's terms, at which two images are taken
// for copies of one photograph (another container, size or compression);
// -1 when there is no such preset.
double KvPresetDuplicateDistance(const char* name);
