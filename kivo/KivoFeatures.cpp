#include "KivoFeatures.h"

#include "KivoStore.h"
#include "KvFactory.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"

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

}  // namespace kivo
