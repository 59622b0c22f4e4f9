// Query requests of the HTTP API, read from a URL's parameters or from a
// JSON body, into the kivo query layer's request.
//
// Parameters (GET /api/query?..., or the fields of a multipart upload):
//   catalog=C  key=K  keywords=WORDS  sketch=DESCRIPTION-OR-JSON  n=N
//   f=FEATURE (repeated; a short name or CLASS[:PARAMETERS])
//   w=WEIGHT  (repeated; the i-th weight goes with the i-th feature)
// JSON body (POST /api/query with Content-Type application/json):
//   {"catalog": "C", "key": "K", "keywords": "...", "sketch": {...} or "D...",
//    "n": 20, "features": ["histogram", {"name": "texture", "weight": 2}]}
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "KivoQuery.h"

namespace kivo {
namespace web {

// Largest N a request may ask for, and the default.
constexpr int kMaxResults = 1000;
constexpr int kDefaultResults = 20;
// Most features one request may name.
constexpr size_t kMaxFeatures = 16;

struct WebQuery {
  std::string catalog;
  QueryRequest request;
};

using Params = std::multimap<std::string, std::string>;

// False with the reason for parameters that do not make a request (a
// missing catalog, a bad number or weight, more weights than features). The
// example itself is checked by the query layer.
bool QueryFromParams(const Params& params, WebQuery* query, std::string* error);
// The same from a JSON object.
bool QueryFromJson(std::string_view body, WebQuery* query, std::string* error);

// A feature with its weight: "histogram" and "2" give "histogram:W=2";
// a feature that has parameters already gets ":W=2" after them. False for a
// weight that is not a finite number of at least 0.
bool WeightedFeature(const std::string& feature, const std::string& weight, std::string* out, std::string* error);

}  // namespace web
}  // namespace kivo
