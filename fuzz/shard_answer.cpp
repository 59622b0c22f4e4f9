// A stage answer of a sharded query as another rank sends it: any bytes are
// decoded or refused, and what decodes encodes back to the same bytes.
#include <cstdint>
#include <string>

#include "KivoShardReduce.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  kivo::shard::StageAnswer answer;
  if (!answer.Decode(bytes)) return 0;
  if (answer.Encode() != bytes) __builtin_trap();
  return 0;
}
