// Query texts as a query server receives them: the frame reader on the exact
// bytes (and its refusal of beginnings), then the whole parse and evaluation against the fixture catalog (so
// catalog opens, restriction sets, stored records, sampler and sub-part terms
// and image payloads all go past the parse). A fresh query object per input
// keeps findings reproducible.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <set>
#include <string>
#include <string_view>

#include "FuzzUtil.h"
#include "query/KvQuery.h"
#include "query/KvQueryText.h"
#include "storage/KvKeyDatabase.h"

namespace {

// Every key a result may name: the whole-image and sub-part keys stored.
bool IsFixtureKey(const std::string& key) {
  static const std::set<std::string> keys = {"red", "green", "blue", "quad", "quad.left"};
  return keys.count(key) != 0;
}

void CheckPiece(std::string_view text, const KvQueryPiece& piece) {
  if (piece.begin >= piece.end || piece.end > text.size() || text[piece.begin] != '<' ||
      text[piece.end - 1] != '>') {
    __builtin_trap();
  }
}

// The frame reader on bytes with nothing behind them: a frame it accepts
// points at "<...>" texts inside them, with at most 16 terms of each kind.
bool CheckFrame(std::string_view text) {
  KvQueryFrame frame;
  std::string error;
  if (!KvParseQueryFrame(text, &frame, &error)) {
    if (error.empty()) __builtin_trap();  // a refusal says why
    return false;
  }
  if (frame.mainTerms.size() > kKvMaxQueryTerms || frame.subPartTerms.size() > kKvMaxQueryTerms ||
      frame.catalogName.size() > kKvMaxCatalogName) {
    __builtin_trap();
  }
  if (frame.hasRestriction) CheckPiece(text, frame.restriction);
  if (frame.hasSubPartRestriction) CheckPiece(text, frame.subPartRestriction);
  for (const auto* terms : {&frame.mainTerms, &frame.subPartTerms}) {
    for (const KvQueryTerm& term : *terms) {
      CheckPiece(text, term.parameters);
      CheckPiece(text, term.data);
    }
  }
  return true;
}

// The early refusal of long texts: a beginning it refuses is refused by the
// whole text's reader too, with the same message, whatever follows it.
void CheckRefusal(std::string_view text) {
  for (size_t length = 0; length <= text.size(); length += 1 + length / 4) {
    std::string message;
    if (!KvQueryFrameRefused(text.substr(0, length), &message)) continue;
    KvQueryFrame frame;
    std::string error;
    if (KvParseQueryFrame(text, &frame, &error) || error != message) __builtin_trap();
  }
}

void CheckResult(KvKeyDatabaseClass* result, const std::string& text) {
  unsigned long n = 0;
  if (std::sscanf(text.c_str(), "query %lu", &n) != 1) __builtin_trap();  // accepted without a count
  // At most N keys, except that a keyword term's own search keeps every
  // match and can hand its set on as it stands.
  if (result->GetCount() < 0 ||
      (static_cast<unsigned long>(result->GetCount()) > n && text.find("KvTextFeatureClass") == std::string::npos)) {
    __builtin_trap();
  }
  KvDatumClass keys;
  if (result->ToKeyString(keys) != 0 || keys.Size() < 14) __builtin_trap();
  // Behind the 12-byte frame head: the keys, ">" and a NUL.
  const std::string body(reinterpret_cast<const char*>(keys.Data()) + 12, keys.Size() - 13);
  size_t at = 0;
  for (;;) {
    at = body.find_first_not_of(' ', at);
    if (at == std::string::npos) __builtin_trap();
    const size_t end = body.find(' ', at);
    const std::string word = body.substr(at, end - at);
    if (word == ">") break;
    if (!IsFixtureKey(word)) __builtin_trap();
    at = end;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kvfuzz::FixtureScope fixture;
  KvInitializeErrorStructure();
  // The frame reader works on exact bounds: no terminating NUL behind them.
  CheckFrame(std::string_view(reinterpret_cast<const char*>(data), size));
  CheckRefusal(std::string_view(reinterpret_cast<const char*>(data), size));

  // A C string, as the socket exchange hands it over.
  const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
  const std::string copy = text;
  KvQueryServerClass query(nullptr);
  if (!query.IsValid()) __builtin_trap();  // the fixture catalog's connection is there
  KvKeyDatabaseClass* result = query.Evaluate(text.c_str());
  if (text != copy) __builtin_trap();  // the caller's text is as it was
  if (result == nullptr) {
    if (query.GetStatus() == 0) __builtin_trap();  // a failure says so
    return 0;
  }
  if (!CheckFrame(text)) __builtin_trap();  // evaluated, so its frame reads
  CheckResult(result, text);
  float distance = 0.0f;
  query.KeyDistance("quad", -1.0f, &distance);
  return 0;
}
