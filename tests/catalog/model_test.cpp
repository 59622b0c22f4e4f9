// One fixed-seed sequence of inserts, updates, deletes and walks against the
// catalog and a std::map model, compared after every step.
#include <map>
#include <random>
#include <string>
#include <vector>

#include "CatalogFixture.h"

namespace {

using kvtest::kColor;
using kvtest::kHistogram;
using kvtest::TestImage;

using Model = std::map<std::string, std::map<std::string, std::string>>;  // key -> class -> bytes

constexpr int kKeys = 10;
constexpr int kVersions = 3;

class ModelTest : public kvtest::CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    if (!kvtest::FeatureAvailable(kColor) || !kvtest::FeatureAvailable(kHistogram)) {
      GTEST_SKIP() << "colour features not available";
    }
    ASSERT_EQ(catalog_->AddFeatureClass(kColor, 0, 0, 0), 0);
    ASSERT_EQ(catalog_->AddFeatureClass(kHistogram, 0, 0, 0), 0);
    for (int k = 0; k < kKeys; ++k) {
      for (int v = 0; v < kVersions; ++v) {
        images_.push_back(std::make_unique<TestImage>(5 + v, 3 + k % 4, static_cast<unsigned char>(25 * k),
                                                      static_cast<unsigned char>(80 * v), 7));
        for (const char* f : {kColor, kHistogram}) expected_[{Index(k, v), f}] = kvtest::ComputeBytes(f, images_.back()->get());
      }
    }
  }
  static int Index(int k, int v) { return k * kVersions + v; }

  // The catalog's tables and counters against the model.
  void Compare(const Model& model, int step) {
    for (const char* f : {kColor, kHistogram}) {
      std::vector<std::pair<std::string, std::string>> want;
      for (const auto& [key, classes] : model) {
        auto it = classes.find(f);
        if (it != classes.end()) want.emplace_back(key, it->second);
      }
      ASSERT_EQ(Walk(TableOf(f)), want) << "step " << step << " " << f;
      ASSERT_EQ(catalog_->GetGlobalCounter1(f), want.size()) << "step " << step << " " << f;
    }
  }

  std::vector<std::unique_ptr<TestImage>> images_;
  std::map<std::pair<int, std::string>, std::string> expected_;
};

TEST_F(ModelTest, RandomSequenceMatchesAMap) {
  std::mt19937 rng(20240611u);
  Model model;
  const std::vector<std::vector<const char*>> lists = {{kColor, kHistogram}, {kColor}, {kHistogram}};
  const char* listText[] = {nullptr, kColor, kHistogram};
  for (int step = 0; step < 250; ++step) {
    const int k = static_cast<int>(rng() % kKeys);
    const std::string key = "img" + std::to_string(k);
    const int which = static_cast<int>(rng() % 3);
    const std::vector<const char*>& classes = lists[static_cast<size_t>(which)];
    auto& stored = model[key];
    const int op = static_cast<int>(rng() % 10);
    if (op < 6) {
      const int mode = static_cast<int>(rng() % 4);
      const int v = static_cast<int>(rng() % kVersions);
      // What the catalog should do: the first class that fails its check
      // stops the call; otherwise the marked classes are written.
      int want = 0;
      std::vector<const char*> marked;
      for (const char* f : classes) {
        const bool present = stored.count(f) != 0;
        if (present && mode == KV_MODE_INSERT) want = 4;
        if (!present && mode == KV_MODE_UPDATE) want = 5;
        if (want != 0) break;
        if (!(present && mode == KV_MODE_INCREMENTAL)) marked.push_back(f);
      }
      if (want == 0 && mode == KV_MODE_INCREMENTAL && !marked.empty() && marked.size() == classes.size()) want = 6;
      ASSERT_EQ(catalog_->AddRecord(key.c_str(), images_[static_cast<size_t>(Index(k, v))]->get(), nullptr, mode,
                                    listText[which]),
                want)
          << "step " << step << " mode " << mode << " key " << key;
      if (want == 0) {
        for (const char* f : marked) stored[f] = expected_[{Index(k, v), f}];
      }
    } else if (op < 8) {
      size_t missing = 0;
      for (const char* f : classes) missing += stored.erase(f) == 0 ? 1 : 0;
      const int want = missing == classes.size() ? static_cast<int>(missing) : 0;
      ASSERT_EQ(catalog_->DeleteRecord(key.c_str(), listText[which]), want) << "step " << step;
    } else if (op == 8) {
      for (const char* f : classes) {
        KvDatumClass out;
        const int rc = catalog_->GetFeature(key.c_str(), f, out);
        if (stored.count(f) != 0) {
          ASSERT_EQ(rc, 0) << "step " << step;
          ASSERT_EQ(kvtest::Bytes(out), stored[f]) << "step " << step;
        } else {
          ASSERT_EQ(rc, 1) << "step " << step;
        }
      }
    } else {
      ASSERT_EQ(catalog_->KeyExists(key.c_str()), stored.empty() ? False : True) << "step " << step;
    }
    if (stored.empty()) model.erase(key);
    Compare(model, step);
  }
  EXPECT_FALSE(model.empty());
}

}  // namespace
