#include "KivoFeatures.h"

#include "KivoStore.h"
#include "KvFactory.h"
#include <algorithm>

#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "features/KvPresets.h"

namespace kivo {

FeatureInstance::FeatureInstance() = default;
FeatureInstance::~FeatureInstance() = default;
FeatureInstance::FeatureInstance(FeatureInstance&&) noexcept = default;
FeatureInstance& FeatureInstance::operator=(FeatureInstance&&) noexcept = default;

const std::vector<std::pair<std::string, std::string>>& FeatureShortNames() {
  static const std::vector<std::pair<std::string, std::string>> names = {
      {"colour", "KvColorFeatureClass"},      {"color", "KvColorFeatureClass"},
      {"histogram", "KvColorHistogramFeatureClass"}, {"texture", "KvTextureFeatureClass"},
      {"draw", "KvDrawFeatureClass"},         {"layout", "KvDrawFeatureClass"},
      {"text", "KvTextFeatureClass"},         {"keywords", "KvTextFeatureClass"},
  };
  return names;
}

std::string FeatureClassName(const std::string& name) {
  for (const auto& entry : FeatureShortNames()) {
    if (entry.first == name) return entry.second;
  }
  return name;
}

bool MakeFeatureInstance(const FeatureSpec& spec, FeatureInstance* out, std::string* error) {
  out->name = spec.name;
  out->feature.reset(KvCreateFeatureClass(spec.name.c_str()));
  if (out->feature == nullptr) {
    *error = "unknown feature " + spec.name;
    return false;
  }
  out->parameters.reset(KvCreateParameterClass(out->feature->GetParameterClassName()));
  if (out->parameters == nullptr || out->feature->GetParameters() == nullptr) {
    *error = "no parameters for feature " + spec.name;
    return false;
  }
  *out->parameters = *out->feature->GetParameters();
  if (!out->parameters->IsValid()) {
    *error = "no parameters for feature " + spec.name;
    return false;
  }
  if (!spec.parameters.empty() && out->parameters->FromCommandLineString(spec.parameters.c_str()) != 0) {
    *error = "bad parameters \"" + spec.parameters + "\" for feature " + spec.name;
    const std::string why = LibraryError();
    if (!why.empty()) *error += ": " + why;
    return false;
  }
  return true;
}

bool ParseFeatureSpec(const std::string& text, FeatureSpec* spec, std::string* error) {
  const size_t colon = text.find(':');
  spec->name = FeatureClassName(text.substr(0, colon));
  spec->parameters = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  if (spec->name.empty()) {
    *error = "empty feature name in \"" + text + "\"";
    return false;
  }
  FeatureInstance probe;
  return MakeFeatureInstance(*spec, &probe, error);
}

bool ExpandFeatureSpec(const std::string& text, std::vector<FeatureSpec>* specs, std::string* error) {
  const size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  const char* const* terms = KvFindPreset(name.c_str());
  if (terms == nullptr) {
    FeatureSpec spec;
    if (!ParseFeatureSpec(text, &spec, error)) return false;
    specs->push_back(spec);
    return true;
  }
  const std::string extra = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  for (; *terms != nullptr; ++terms) {
    std::string term = *terms;
    if (!extra.empty()) term += ":" + extra;
    FeatureSpec spec;
    if (!ParseFeatureSpec(term, &spec, error)) {
      *error = "preset " + name + ": " + *error;
      return false;
    }
    specs->push_back(spec);
  }
  return true;
}

std::vector<std::string> PresetClasses(const std::string& preset) {
  std::vector<std::string> out;
  const char* const* terms = KvFindPreset(preset.c_str());
  for (; terms != nullptr && *terms != nullptr; ++terms) {
    const std::string term = *terms;
    const std::string name = term.substr(0, term.find(':'));
    if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
  }
  return out;
}

bool PresetFits(const std::string& preset, const std::vector<std::string>& classes) {
  const std::vector<std::string> wanted = PresetClasses(preset);
  return !wanted.empty() && std::all_of(wanted.begin(), wanted.end(), [&](const std::string& c) {
    return std::find(classes.begin(), classes.end(), c) != classes.end();
  });
}

std::string PresetForClasses(const std::vector<std::string>& classes) {
  for (const char* const* name = KvListPresets(); *name != nullptr; ++name) {
    if (PresetFits(*name, classes)) return *name;
  }
  return std::string();
}

}  // namespace kivo
