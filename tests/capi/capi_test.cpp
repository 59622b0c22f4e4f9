// The C interface on real catalogs: building, queries ranked as the command
// library ranks them, feature vectors, and every failure reported with -1 or
// null and a reason in kivo_last_error.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "KivoWrap.h"
#include "KvTestUtil.h"
#include "kivo.h"

namespace {

// Generated single-colour test images: the names are the images.
const char* const kImages[] = {"!@rffg00b00", "!@rf0g10b00", "!@r00gffb00", "!@r00g00bff", "!@r80g80b80"};
const char* const kFeatures[] = {"KvColorFeatureClass", "KvColorHistogramFeatureClass"};

using Ranking = std::vector<std::pair<std::string, std::string>>;

// A result list with distances as the tools print them.
Ranking Printed(KivoResults* r) {
  Ranking out;
  for (size_t i = 0; i < kivo_results_count(r); ++i) {
    char distance[32];
    std::snprintf(distance, sizeof distance, "%f", static_cast<double>(kivo_results_distance(r, i)));
    out.emplace_back(kivo_results_key(r, i), distance);
  }
  kivo_results_free(r);
  return out;
}

class CApi : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_.File("db");
    KivoCatalog* c = kivo_open(db_.c_str(), "photos", "w");
    ASSERT_NE(c, nullptr) << kivo_last_error();
    for (const char* f : kFeatures) ASSERT_EQ(kivo_add_feature(c, f), 0) << kivo_last_error();
    for (const char* image : kImages) ASSERT_EQ(kivo_add_image(c, image), 0) << kivo_last_error();
    kivo_close(c);
  }

  // The command library's ranking (what KvQBE and kivotcl print).
  Ranking WrapRanking(const std::function<int(KivoWrapClass&)>& setUp, int n) {
    KivoWrapClass wrap;
    EXPECT_EQ(wrap.Open("photos", db_.c_str(), "r"), 0);
    for (const char* f : kFeatures) EXPECT_EQ(wrap.AddFeature(f), 0);
    wrap.SetNumberOfResults(n);
    EXPECT_EQ(setUp(wrap), 0);
    Ranking out;
    EXPECT_EQ(wrap.Query([&](const char* key, float d) {
      char distance[32];
      std::snprintf(distance, sizeof distance, "%f", static_cast<double>(d));
      out.emplace_back(key, distance);
    }, nullptr), 0);
    return out;
  }

  kvtest::TempDir dir_{"capi"};
  std::string db_;
};

TEST_F(CApi, QueriesRankAsTheCommandLibrary) {
  KivoCatalog* c = kivo_open(db_.c_str(), "photos", "r");
  ASSERT_NE(c, nullptr) << kivo_last_error();
  char* list = kivo_list_features(c);
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "KvColorFeatureClass KvColorHistogramFeatureClass");
  kivo_free(list);

  KivoResults* r = nullptr;
  ASSERT_EQ(kivo_query_image(c, "!@rf0g10b00", kFeatures, nullptr, 2, nullptr, 4, &r), 0) << kivo_last_error();
  EXPECT_EQ(Printed(r), WrapRanking([](KivoWrapClass& w) { return w.SetQueryImage("!@rf0g10b00", nullptr); }, 4));
  // No classes named: the catalog's own, the same ones here.
  ASSERT_EQ(kivo_query_image(c, "!@rf0g10b00", nullptr, nullptr, 0, nullptr, 4, &r), 0);
  EXPECT_EQ(Printed(r), WrapRanking([](KivoWrapClass& w) { return w.SetQueryImage("!@rf0g10b00", nullptr); }, 4));
  ASSERT_EQ(kivo_query_key(c, "!@r00g00bff", kFeatures, nullptr, 2, nullptr, 10, &r), 0);
  Ranking byKey = Printed(r);
  EXPECT_EQ(byKey, WrapRanking([](KivoWrapClass& w) { return w.SetQueryKey("!@r00g00bff"); }, 10));
  ASSERT_EQ(byKey.size(), 5u);
  EXPECT_EQ(byKey[0].first, "!@r00g00bff");

  // A weight scales its feature's distances: with only one feature the order stays.
  const double weight[] = {4.0};
  ASSERT_EQ(kivo_query_key(c, "!@r00g00bff", kFeatures, weight, 1, nullptr, 10, &r), 0);
  const size_t n = kivo_results_count(r);
  ASSERT_EQ(n, 5u);
  KivoResults* plain = nullptr;
  ASSERT_EQ(kivo_query_key(c, "!@r00g00bff", kFeatures, nullptr, 1, nullptr, 10, &plain), 0);
  for (size_t i = 0; i < n; ++i) {
    EXPECT_STREQ(kivo_results_key(r, i), kivo_results_key(plain, i));
    EXPECT_NEAR(kivo_results_distance(r, i), 4.0f * kivo_results_distance(plain, i), 1e-4f);
  }
  kivo_results_free(r);
  kivo_results_free(plain);
  EXPECT_EQ(kivo_results_key(nullptr, 0), nullptr);
  kivo_close(c);
}

TEST_F(CApi, RemovedImagesLeaveQueriesAndVectors) {
  KivoCatalog* c = kivo_open(db_.c_str(), "photos", "w");
  ASSERT_NE(c, nullptr);
  KivoVectors* v = nullptr;
  ASSERT_EQ(kivo_feature_vectors(c, "KvColorHistogramFeatureClass", &v), 0) << kivo_last_error();
  ASSERT_EQ(kivo_vectors_count(v), 5u);
  ASSERT_EQ(kivo_vectors_dimension(v), 256u);
  for (size_t i = 0; i < 5; ++i) {
    double sum = 0;
    for (size_t j = 0; j < 256; ++j) sum += kivo_vectors_data(v)[i * 256 + j];
    EXPECT_NEAR(sum, 1.0, 0.01) << kivo_vectors_key(v, i);
  }
  kivo_vectors_free(v);

  ASSERT_EQ(kivo_remove_image(c, "!@r80g80b80"), 0) << kivo_last_error();
  ASSERT_EQ(kivo_feature_vectors(c, "KvColorFeatureClass", &v), 0);
  ASSERT_EQ(kivo_vectors_count(v), 4u);
  EXPECT_EQ(kivo_vectors_dimension(v), 3u);
  for (size_t i = 1; i < 4; ++i) EXPECT_LT(std::string(kivo_vectors_key(v, i - 1)), kivo_vectors_key(v, i));
  kivo_vectors_free(v);
  KivoResults* r = nullptr;
  ASSERT_EQ(kivo_query_image(c, "!@r80g80b80", nullptr, nullptr, 0, nullptr, 10, &r), 0);
  EXPECT_EQ(kivo_results_count(r), 4u);
  kivo_results_free(r);
  // Adding the same key twice fails and keeps the first record.
  EXPECT_EQ(kivo_add_image(c, "!@rffg00b00"), -1);
  EXPECT_STRNE(kivo_last_error(), "");
  kivo_close(c);
}

TEST_F(CApi, FailuresReturnMinusOneWithAReason) {
  KivoCatalog* w = kivo_open(db_.c_str(), "photos", "w");
  KivoCatalog* r = kivo_open(db_.c_str(), "photos", "r");
  ASSERT_NE(w, nullptr);
  ASSERT_NE(r, nullptr);
  KivoResults* results = nullptr;
  KivoVectors* vectors = nullptr;
  const char* unknown[] = {"NoSuchFeatureClass"};
  const char* nullName[] = {nullptr};
  struct Case {
    const char* label;
    std::function<int()> call;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"missing catalog", [&] { return kivo_open(db_.c_str(), "other", "r") ? 0 : -1; }, "other"},
      {"bad mode", [&] { return kivo_open(db_.c_str(), "photos", "a") ? 0 : -1; }, "mode"},
      {"null database", [&] { return kivo_open(nullptr, "photos", "r") ? 0 : -1; }, "no database"},
      {"feature on a read-only catalog", [&] { return kivo_add_feature(r, "KvTextureFeatureClass"); }, "writing"},
      {"image on a read-only catalog", [&] { return kivo_add_image(r, "!@r10g10b10"); }, "writing"},
      {"key with a blank", [&] { return kivo_remove_image(w, "a b"); }, "white space"},
      {"unreadable image", [&] { return kivo_add_image(w, "missing.ppm"); }, "missing.ppm"},
      {"query image missing",
       [&] { return kivo_query_image(r, "missing.ppm", nullptr, nullptr, 0, nullptr, 5, &results); }, "missing.ppm"},
      {"query key missing", [&] { return kivo_query_key(r, "nokey", nullptr, nullptr, 0, nullptr, 5, &results); },
       "nokey"},
      {"unknown feature class",
       [&] { return kivo_query_image(r, "!@rffg00b00", unknown, nullptr, 1, nullptr, 5, &results); },
       "NoSuchFeatureClass"},
      {"null feature name",
       [&] { return kivo_query_image(r, "!@rffg00b00", nullName, nullptr, 1, nullptr, 5, &results); }, "null"},
      {"no place for results", [&] { return kivo_query_image(r, "!@rffg00b00", nullptr, nullptr, 0, nullptr, 5, nullptr); },
       "results"},
      {"empty keywords", [&] { return kivo_query_keywords(r, "", &results); }, "keywords"},
      {"keyword class has no vectors", [&] { return kivo_feature_vectors(r, "KvTextFeatureClass", &vectors); },
       "no vector form"},
      {"class not in the catalog", [&] { return kivo_feature_vectors(r, "KvTextureFeatureClass", &vectors); },
       "no feature class"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), -1) << c.label;
    EXPECT_NE(std::string(kivo_last_error()).find(c.reason), std::string::npos)
        << c.label << ": " << kivo_last_error();
    EXPECT_GE(kivo_last_error_number(), 10000) << c.label;
  }
  // A call that succeeds starts with an empty record.
  char* list = kivo_list_features(r);
  EXPECT_STREQ(kivo_last_error(), "");
  kivo_free(list);
  kivo_close(r);
  kivo_close(w);
  kivo_close(nullptr);
}

}  // namespace
