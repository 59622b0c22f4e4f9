// Query texts as a query server receives them: the frame, then the whole
// evaluation (restriction sets, parameter and data texts) against a scratch
// database that holds no catalog.
#include <string>
#include <string_view>

#include "FuzzUtil.h"
#include "query/KvQuery.h"
#include "query/KvQueryText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kvfuzz::UseScratchDatabase();
  KvInitializeErrorStructure();
  // The frame reader works on exact bounds: no terminating NUL behind it.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  KvQueryFrame frame;
  std::string error;
  KvParseQueryFrame(std::string_view(bytes.data(), bytes.size()), &frame, &error);
  static KvQueryServerClass* query = new KvQueryServerClass(nullptr);
  if (query->IsValid()) {
    const std::string text(bytes.c_str());  // a C string, as the exchange hands it over
    const std::string copy = text;
    query->Evaluate(text.c_str());
    if (text != copy) __builtin_trap();  // the caller's text must stay as it was
  }
  return 0;
}
