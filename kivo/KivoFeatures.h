// Feature specs of the kivo command: "CLASS[:PARAMETERS]" as the tools take
// them, where CLASS is a feature class name or one of the short names
// (colour, histogram, texture, draw, text, ...).
#pragma once

#include <memory>
#include <string>
#include <vector>

class KvFeatureClass;
class KvParameterClass;

namespace kivo {

struct FeatureSpec {
  std::string name;        // the class name
  std::string parameters;  // empty: the class defaults
};

// The class name a short name stands for; other names are returned as given.
std::string FeatureClassName(const std::string& name);
// The short names with their classes, for the help texts.
const std::vector<std::pair<std::string, std::string>>& FeatureShortNames();

// Splits and checks a spec: the class must be known to the factory and the
// parameters readable. False with the reason otherwise.
bool ParseFeatureSpec(const std::string& text, FeatureSpec* spec, std::string* error);

// Appends the specs text stands for: those of a preset ("photo", or
// "photo:PARAMETERS", whose parameters follow each of the preset's own and so
// override them), or the one spec of a feature. False with the reason for an
// unknown name or unreadable parameters.
bool ExpandFeatureSpec(const std::string& text, std::vector<FeatureSpec>* specs, std::string* error);

// Whether a catalog holding classes has every class of the preset.
bool PresetFits(const std::string& preset, const std::vector<std::string>& classes);
// The first preset, in preference order, that fits classes (empty when none
// does).
std::string PresetForClasses(const std::vector<std::string>& classes);
// The classes of a preset, in its order (empty for an unknown name).
std::vector<std::string> PresetClasses(const std::string& preset);

// A feature object and its own parameter set, made from a spec.
struct FeatureInstance {
  FeatureInstance();
  ~FeatureInstance();
  FeatureInstance(FeatureInstance&&) noexcept;
  FeatureInstance& operator=(FeatureInstance&&) noexcept;
  std::string name;
  std::unique_ptr<KvFeatureClass> feature;
  std::unique_ptr<KvParameterClass> parameters;
};
bool MakeFeatureInstance(const FeatureSpec& spec, FeatureInstance* out, std::string* error);

}  // namespace kivo
