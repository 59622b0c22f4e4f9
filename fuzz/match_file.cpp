// Match files (binary query and scene objects) converted into query texts.
// A file that converts gives a NUL-terminated text that the query server
// evaluates against the fixture catalog (a failure there must say so in the
// status: a texture slot without an image, for one, cannot be computed).
#include <cstring>
#include <string>

#include "FuzzUtil.h"
#include "query/KvMatchFile.h"
#include "query/KvQuery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kvfuzz::FixtureScope fixture;
  KvInitializeErrorStructure();
  const std::string path = kvfuzz::WriteScratchFile("query.match", data, size);
  KvDatumClass out;
  const int rc = KvConvertQueryFromMatchFile(nullptr, path.c_str(), out, kvfuzz::kFixtureCatalog, 10);
  if (rc != 0) {
    if (out.Data() != nullptr) __builtin_trap();  // no partial text is handed out
    return 0;
  }
  const std::string text(reinterpret_cast<const char*>(out.Data()), out.Size());
  if (text.compare(0, 13, "query 10 cat\n") != 0) __builtin_trap();
  if (text.back() != '\0' || std::strlen(text.c_str()) + 1 != text.size()) __builtin_trap();
  KvQueryServerClass query(nullptr);  // fresh per input, so findings replay
  if (!query.IsValid()) __builtin_trap();
  if (query.Evaluate(text.c_str()) == nullptr && query.GetStatus() == 0) __builtin_trap();
  return 0;
}
