// The query forms of the HTTP API: a URL query string (as the server splits
// it) or a JSON body, chosen by the first byte. Whatever is accepted stays
// within the request bounds, and a JSON sketch it carries is read by the
// sketch reader without fault.
#include <cstdint>
#include <string>

#include "HttpRequest.h"
#include "KivoSketch.h"
#include "WebParams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  kivo::web::WebQuery query;
  std::string error;
  bool ok;
  if (data[0] & 1) {
    ok = kivo::web::QueryFromJson(text, &query, &error);
  } else {
    kivo::web::Params params;
    for (auto& [name, value] : kivo::web::ParseQuery(text)) params.emplace(name, value);
    ok = kivo::web::QueryFromParams(params, &query, &error);
  }
  if (!ok) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  const kivo::QueryRequest& r = query.request;
  if (query.catalog.empty() || r.n < 1 || r.n > kivo::web::kMaxResults ||
      r.features.size() > kivo::web::kMaxFeatures || !r.image.empty()) {
    __builtin_trap();
  }
  for (const std::string& f : r.features) {
    if (f.empty()) __builtin_trap();
  }
  if (!r.sketch.empty() && r.sketch[0] == '{') {
    std::string description;
    if (!kivo::SketchToDescription(r.sketch, &description, &error) && error.empty()) __builtin_trap();
  }
  return 0;
}
