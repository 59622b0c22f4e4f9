#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KivoFeatures.h"
#include "KivoIndex.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "features/KvPresets.h"

namespace {

using kivo::FeatureSpec;

// The weight and Z text a spec's parameters give its feature.
std::pair<double, std::string> WeightAndZ(const FeatureSpec& spec) {
  kivo::FeatureInstance f;
  std::string error;
  EXPECT_TRUE(kivo::MakeFeatureInstance(spec, &f, &error)) << error;
  if (f.parameters == nullptr) return {-1.0, ""};
  const char* z = f.parameters->GetParameter("Z");
  return {f.parameters->GetW(), z != nullptr ? z : ""};
}

TEST(KivoFeatures, PresetsExpandIntoTheirFeaturesWithGivenParametersLast) {
  std::vector<FeatureSpec> specs;
  std::string error;
  ASSERT_TRUE(kivo::ExpandFeatureSpec("photo", &specs, &error)) << error;
  const std::vector<std::string> classes = kivo::PresetClasses("photo");
  ASSERT_EQ(specs.size(), classes.size());
  ASSERT_GE(specs.size(), 2u);
  for (size_t i = 0; i < specs.size(); ++i) {
    EXPECT_EQ(specs[i].name, classes[i]);
    EXPECT_EQ(WeightAndZ(specs[i]), std::make_pair(1.0, std::string("1"))) << specs[i].name;
  }
  // Parameters after the preset's name override each feature's own.
  specs.clear();
  ASSERT_TRUE(kivo::ExpandFeatureSpec("photo:W=2.5", &specs, &error)) << error;
  ASSERT_EQ(specs.size(), classes.size());
  for (const FeatureSpec& s : specs) EXPECT_EQ(WeightAndZ(s), std::make_pair(2.5, std::string("1"))) << s.name;
  // A feature spec stays one spec, short names resolved; specs are appended.
  ASSERT_TRUE(kivo::ExpandFeatureSpec("histogram:W=3", &specs, &error)) << error;
  ASSERT_EQ(specs.size(), classes.size() + 1);
  EXPECT_EQ(specs.back().name, "KvColorHistogramFeatureClass");
  EXPECT_EQ(specs.back().parameters, "W=3");
}

TEST(KivoFeatures, UnknownNamesAndBadParametersAreRefused) {
  for (const char* bad : {"nothing", "photo:W=heavy", "photoX", ":W=1"}) {
    std::vector<FeatureSpec> specs;
    std::string error;
    EXPECT_FALSE(kivo::ExpandFeatureSpec(bad, &specs, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_TRUE(kivo::PresetClasses("nothing").empty());
}

TEST(KivoFeatures, APresetFitsACatalogHoldingAllItsClasses) {
  std::vector<std::string> held = kivo::PresetClasses("photo");
  EXPECT_TRUE(kivo::PresetFits("photo", held));
  EXPECT_EQ(kivo::PresetForClasses(held), "photo");
  held.insert(held.begin(), "KvColorFeatureClass");
  EXPECT_EQ(kivo::PresetForClasses(held), "photo");
  held.pop_back();
  EXPECT_FALSE(kivo::PresetFits("photo", held));
  EXPECT_EQ(kivo::PresetForClasses(held), "");
  EXPECT_FALSE(kivo::PresetFits("nothing", held));
  // Every preset is made of classes the factory has, and kivo index gives a
  // new catalog the default preset's classes with the keyword class.
  for (const char* const* p = KvListPresets(); *p != nullptr; ++p) {
    for (const std::string& c : kivo::PresetClasses(*p)) {
      FeatureSpec spec{c, ""};
      kivo::FeatureInstance f;
      std::string error;
      EXPECT_TRUE(kivo::MakeFeatureInstance(spec, &f, &error)) << *p << ": " << error;
    }
    EXPECT_GT(KvPresetDuplicateDistance(*p), 0.0) << *p;
  }
  std::vector<std::string> defaults = kivo::PresetClasses(kivo::kDefaultPreset);
  defaults.push_back("KvTextFeatureClass");
  EXPECT_EQ(kivo::DefaultFeatures(), defaults);
  EXPECT_LT(KvPresetDuplicateDistance("nothing"), 0.0);
  EXPECT_EQ(KvFindPreset(nullptr), nullptr);
}

}  // namespace
