#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WebParams.h"

namespace {

using kivo::web::Params;
using kivo::web::WebQuery;

TEST(WebParams, UrlParametersMakeRequests) {
  const struct {
    Params params;
    std::string key, keywords, sketch;
    int n;
    std::vector<std::string> features;
  } cases[] = {
      {{{"catalog", "c"}, {"key", "a/b.jpg"}}, "a/b.jpg", "", "", 20, {}},
      {{{"catalog", "c"}, {"keywords", "sea+sky"}, {"n", "1000"}}, "", "sea+sky", "", 1000, {}},
      {{{"catalog", "c"}, {"sketch", "D9 9"}, {"n", "1"}, {"f", "draw"}}, "", "", "D9 9", 1, {"draw"}},
      {{{"catalog", "c"}, {"key", "k"}, {"f", "colour"}, {"f", "texture"}, {"w", "2"}, {"w", "0.25"}},
       "k", "", "", 20, {"colour:W=2", "texture:W=0.25"}},
      // Weights pair with features in order; a feature without one keeps
      // its default, one with parameters gets the weight after them.
      {{{"catalog", "c"}, {"key", "k"}, {"f", "histogram:O=2"}, {"f", "draw"}, {"w", "0"}},
       "k", "", "", 20, {"histogram:O=2:W=0", "draw"}},
  };
  for (const auto& c : cases) {
    WebQuery q;
    std::string error;
    ASSERT_TRUE(kivo::web::QueryFromParams(c.params, &q, &error)) << error;
    EXPECT_EQ(q.catalog, "c");
    EXPECT_EQ(q.request.key, c.key);
    EXPECT_EQ(q.request.keywords, c.keywords);
    EXPECT_EQ(q.request.sketch, c.sketch);
    EXPECT_EQ(q.request.n, c.n);
    EXPECT_EQ(q.request.features, c.features);
    EXPECT_TRUE(q.request.image.empty());
  }
}

TEST(WebParams, BadUrlParametersAreRefused) {
  const struct {
    Params params;
    const char* reason;
  } cases[] = {
      {{{"key", "k"}}, "catalog is required"},
      {{{"catalog", "c"}, {"catalog", "d"}}, "more than once"},
      {{{"catalog", "c"}, {"n", ""}}, "n must be"},
      {{{"catalog", "c"}, {"n", "0"}}, "n must be"},
      {{{"catalog", "c"}, {"n", "-3"}}, "n must be"},
      {{{"catalog", "c"}, {"n", "1001"}}, "n must be"},
      {{{"catalog", "c"}, {"n", "99999999999999999999"}}, "n must be"},
      {{{"catalog", "c"}, {"n", "7 "}}, "n must be"},
      {{{"catalog", "c"}, {"f", ""}}, "empty feature"},
      {{{"catalog", "c"}, {"w", "1"}}, "more weights"},
      {{{"catalog", "c"}, {"f", "colour"}, {"w", "-1"}}, "weight"},
      {{{"catalog", "c"}, {"f", "colour"}, {"w", "nan"}}, "weight"},
      {{{"catalog", "c"}, {"f", "colour"}, {"w", "inf"}}, "weight"},
      {{{"catalog", "c"}, {"f", "colour"}, {"w", "1:O=3"}}, "weight"},
      {{{"catalog", "c"}, {"f", "colour"}, {"w", "1e7"}}, "weight"},
  };
  for (const auto& c : cases) {
    WebQuery q;
    std::string error;
    EXPECT_FALSE(kivo::web::QueryFromParams(c.params, &q, &error)) << c.reason;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  Params many = {{"catalog", "c"}};
  for (int i = 0; i < 17; ++i) many.emplace("f", "colour");
  WebQuery q;
  std::string error;
  EXPECT_FALSE(kivo::web::QueryFromParams(many, &q, &error));
  EXPECT_NE(error.find("at most 16"), std::string::npos) << error;
}

TEST(WebParams, JsonBodiesMakeRequests) {
  WebQuery q;
  std::string error;
  ASSERT_TRUE(kivo::web::QueryFromJson(
      R"({"catalog": "c", "sketch": {"width": 4, "height": 4, "rects": []}, "n": 3,
          "features": ["draw", {"name": "colour", "weight": 1.5}, {"name": "texture", "weight": null}]})",
      &q, &error))
      << error;
  EXPECT_EQ(q.request.sketch, R"({"height":4,"rects":[],"width":4})");
  EXPECT_EQ(q.request.n, 3);
  EXPECT_EQ(q.request.features, (std::vector<std::string>{"draw", "colour:W=1.5", "texture"}));
  ASSERT_TRUE(kivo::web::QueryFromJson(R"({"catalog": "c", "key": "k", "sketch": null, "n": null})", &q, &error));
  EXPECT_EQ(q.request.key, "k");
  EXPECT_EQ(q.request.n, 20);
  ASSERT_TRUE(kivo::web::QueryFromJson(R"({"catalog": "c", "sketch": "D4 4"})", &q, &error));
  EXPECT_EQ(q.request.sketch, "D4 4");
}

TEST(WebParams, BadJsonBodiesAreRefused) {
  const struct {
    const char* body;
    const char* reason;
  } cases[] = {
      {"", "not a JSON object"},
      {"{", "not a JSON object"},
      {"[]", "not a JSON object"},
      {"\"c\"", "not a JSON object"},
      {R"({"key": "k"})", "catalog"},
      {R"({"catalog": 1})", "must be a string"},
      {R"({"catalog": "c", "keywords": ["a"]})", "must be a string"},
      {R"({"catalog": "c", "sketch": 5})", "sketch"},
      {R"({"catalog": "c", "n": 2.5})", "\"n\""},
      {R"({"catalog": "c", "n": 0})", "\"n\""},
      {R"({"catalog": "c", "n": 1e300})", "\"n\""},
      {R"({"catalog": "c", "features": {}})", "must be a list"},
      {R"({"catalog": "c", "features": [1]})", "a feature is"},
      {R"({"catalog": "c", "features": [{"weight": 1}]})", "a feature is"},
      {R"({"catalog": "c", "features": [{"name": "colour", "weight": "2"}]})", "must be a number"},
      {R"({"catalog": "c", "features": [{"name": "colour", "weight": -2}]})", "weight"},
      {R"({"catalog": "c", "features": [""]})", "empty feature"},
  };
  for (const auto& c : cases) {
    WebQuery q;
    std::string error;
    EXPECT_FALSE(kivo::web::QueryFromJson(c.body, &q, &error)) << c.body;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.body << ": " << error;
  }
}

}  // namespace
