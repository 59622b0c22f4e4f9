// A served query as rank 0 broadcasts it to the ranks of kivo serve: any
// bytes are decoded or refused, and what decodes encodes back to the same
// bytes.
#include <cstdint>
#include <string>

#include "KivoShardServe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  kivo::shard::ServedQuery query;
  if (!query.Decode(bytes)) return 0;
  if (query.Encode() != bytes) __builtin_trap();
  return 0;
}
