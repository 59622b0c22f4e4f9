// The HTTP request reader of kivo serve, given the peer's bytes in pieces of
// the sizes the input's first bytes say, with small bounds; then the query
// string and, for a multipart request, the form. A complete request stays
// within the bounds, a refusal carries a status and a reason, and the pieces
// a request arrives in never change what is read.
#include <cstdint>
#include <string>
#include <vector>

#include "HttpRequest.h"

namespace {

using kivo::web::HttpLimits;
using kivo::web::HttpRequestReader;
using State = HttpRequestReader::State;

struct Outcome {
  std::vector<std::string> requests;  // method, path, query and body of each
  int status = 0;
};

Outcome ReadAll(const std::string& text, const std::vector<size_t>& steps, const HttpLimits& limits) {
  HttpRequestReader reader(limits);
  Outcome out;
  size_t at = 0, i = 0;
  State state = State::kNeedMore;
  while (at < text.size() && state != State::kFailed) {
    const size_t step = std::min(text.size() - at, steps.empty() ? text.size() : steps[i++ % steps.size()]);
    state = reader.Feed(text.data() + at, step);
    at += step;
    while (state == State::kComplete) {
      const kivo::web::HttpRequest& r = reader.Request();
      if (r.body.size() > limits.maxBodyBytes || r.target.size() > limits.maxTargetBytes || r.path.empty() ||
          r.path[0] != '/' || r.method.empty()) {
        __builtin_trap();
      }
      out.requests.push_back(r.method + '\n' + r.path + '\n' + r.query + '\n' + r.body);
      for (const auto& pair : kivo::web::ParseQuery(r.query)) (void)pair;
      const std::string type = r.Header("content-type");
      if (type.rfind("multipart/form-data", 0) == 0) {
        std::vector<kivo::web::HttpPart> parts;
        std::string error;
        if (!kivo::web::ParseMultipart(type, r.body, &parts, &error, 8)) {
          if (error.empty()) __builtin_trap();
        } else if (parts.size() > 8) {
          __builtin_trap();
        }
      }
      state = reader.Next();
    }
  }
  if (state == State::kFailed) {
    out.status = reader.ErrorStatus();
    if (out.status < 400 || out.status > 505 || reader.Error().empty()) __builtin_trap();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // First byte: how many piece sizes follow (0 to 7); each is 1 to 256.
  const size_t count = data[0] % 8;
  if (size < 1 + count) return 0;
  std::vector<size_t> steps;
  for (size_t i = 0; i < count; ++i) steps.push_back(static_cast<size_t>(data[1 + i]) + 1);
  const std::string text(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);
  HttpLimits limits;
  limits.maxHeadBytes = 512;
  limits.maxTargetBytes = 128;
  limits.maxFields = 8;
  limits.maxBodyBytes = 1024;
  const Outcome pieces = ReadAll(text, steps, limits);
  const Outcome whole = ReadAll(text, {}, limits);
  if (pieces.requests != whole.requests || pieces.status != whole.status) __builtin_trap();
  return 0;
}
