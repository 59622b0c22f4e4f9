#include "WebParams.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace kivo {
namespace web {
namespace {

using nlohmann::json;

bool ReadCount(const std::string& text, int* n, std::string* error) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, value);
  if (text.empty() || r.ec != std::errc() || r.ptr != end || value < 1 || value > kMaxResults) {
    *error = "n must be a whole number from 1 to " + std::to_string(kMaxResults);
    return false;
  }
  *n = value;
  return true;
}

// The one value of a parameter that may be given once.
bool Single(const Params& params, const char* name, std::string* out, std::string* error) {
  const auto range = params.equal_range(name);
  if (range.first == range.second) return true;
  if (std::next(range.first) != range.second) {
    *error = std::string("parameter ") + name + " given more than once";
    return false;
  }
  *out = range.first->second;
  return true;
}

bool AddFeature(WebQuery* query, const std::string& feature, std::string* error) {
  if (query->request.features.size() >= kMaxFeatures) {
    *error = "at most " + std::to_string(kMaxFeatures) + " features";
    return false;
  }
  if (feature.empty()) {
    *error = "empty feature name";
    return false;
  }
  query->request.features.push_back(feature);
  return true;
}

bool JsonText(const json& o, const char* name, std::string* out, std::string* error) {
  auto it = o.find(name);
  if (it == o.end() || it->is_null()) return true;
  if (!it->is_string()) {
    *error = std::string("\"") + name + "\" must be a string";
    return false;
  }
  *out = it->get<std::string>();
  return true;
}

}  // namespace

bool WeightedFeature(const std::string& feature, const std::string& weight, std::string* out, std::string* error) {
  char* end = nullptr;
  const double w = std::strtod(weight.c_str(), &end);
  if (weight.empty() || end != weight.c_str() + weight.size() || !std::isfinite(w) || w < 0 || w > 1e6) {
    *error = "a weight must be a number from 0 to 1000000, not \"" + weight + "\"";
    return false;
  }
  *out = feature + ":W=" + weight;  // after any parameters it already has
  return true;
}

bool QueryFromParams(const Params& params, WebQuery* query, std::string* error) {
  *query = WebQuery();
  query->request.n = kDefaultResults;
  std::string n;
  if (!Single(params, "catalog", &query->catalog, error) || !Single(params, "key", &query->request.key, error) ||
      !Single(params, "keywords", &query->request.keywords, error) ||
      !Single(params, "sketch", &query->request.sketch, error) || !Single(params, "n", &n, error)) {
    return false;
  }
  if (query->catalog.empty()) {
    *error = "parameter catalog is required";
    return false;
  }
  if (params.count("n") != 0 && !ReadCount(n, &query->request.n, error)) return false;
  std::vector<std::string> weights;
  for (auto [it, end] = params.equal_range("w"); it != end; ++it) weights.push_back(it->second);
  size_t i = 0;
  for (auto [it, end] = params.equal_range("f"); it != end; ++it, ++i) {
    std::string feature = it->second;
    if (i < weights.size() && !WeightedFeature(it->second, weights[i], &feature, error)) return false;
    if (!AddFeature(query, feature, error)) return false;
  }
  if (weights.size() > i) {
    *error = "more weights (w) than features (f)";
    return false;
  }
  return true;
}

bool QueryFromJson(std::string_view body, WebQuery* query, std::string* error) {
  *query = WebQuery();
  query->request.n = kDefaultResults;
  const json o = json::parse(body.begin(), body.end(), nullptr, false);
  if (o.is_discarded() || !o.is_object()) {
    *error = "the body is not a JSON object";
    return false;
  }
  if (!JsonText(o, "catalog", &query->catalog, error) || !JsonText(o, "key", &query->request.key, error) ||
      !JsonText(o, "keywords", &query->request.keywords, error)) {
    return false;
  }
  if (query->catalog.empty()) {
    *error = "\"catalog\" is required";
    return false;
  }
  if (auto s = o.find("sketch"); s != o.end() && !s->is_null()) {
    if (s->is_string()) {
      query->request.sketch = s->get<std::string>();
    } else if (s->is_object()) {
      query->request.sketch = s->dump();
    } else {
      *error = "\"sketch\" must be an object or a description string";
      return false;
    }
  }
  if (auto n = o.find("n"); n != o.end() && !n->is_null()) {
    if (!n->is_number_integer() || n->get<long long>() < 1 || n->get<long long>() > kMaxResults) {
      *error = "\"n\" must be a whole number from 1 to " + std::to_string(kMaxResults);
      return false;
    }
    query->request.n = static_cast<int>(n->get<long long>());
  }
  if (auto f = o.find("features"); f != o.end() && !f->is_null()) {
    if (!f->is_array()) {
      *error = "\"features\" must be a list";
      return false;
    }
    for (const json& item : *f) {
      std::string feature;
      if (item.is_string()) {
        feature = item.get<std::string>();
      } else if (item.is_object() && item.contains("name") && item["name"].is_string()) {
        feature = item["name"].get<std::string>();
        if (auto w = item.find("weight"); w != item.end() && !w->is_null()) {
          if (!w->is_number()) {
            *error = "a feature's \"weight\" must be a number";
            return false;
          }
          if (!WeightedFeature(feature, w->dump(), &feature, error)) return false;
        }
      } else {
        *error = "a feature is a name or {\"name\": ..., \"weight\": ...}";
        return false;
      }
      if (!AddFeature(query, feature, error)) return false;
    }
  }
  return true;
}

}  // namespace web
}  // namespace kivo
