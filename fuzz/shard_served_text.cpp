// KvQSrv's query texts on a sharded catalog: any bytes as the served text
// rank 0 broadcasts are decoded or refused, and what decodes encodes back to
// the same bytes; the same bytes as a query text are rewritten for a shard
// exactly when their frame reads, and the rewritten text names the shard.
#include <cstdint>
#include <string>

#include "KivoShardText.h"
#include "query/KvQueryText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  kivo::shard::ServedText served;
  if (served.Decode(bytes) && served.Encode() != bytes) __builtin_trap();

  kivo::shard::Manifest m;
  m.catalog = "cat";
  m.shards = {"cat.s0", "cat.s1", "cat.s2"};
  // The frame is read up to the first NUL, as the server reads the text.
  const std::string text(bytes.c_str());
  KvQueryFrame frame;
  std::string error;
  const bool reads = KvParseQueryFrame(text, &frame, &error);
  std::string out;
  if (kivo::shard::TextForShard(text, m, 2, &out) != reads) __builtin_trap();
  if (!reads) return 0;
  KvQueryFrame rewritten;
  if (!KvParseQueryFrame(out, &rewritten, &error) || rewritten.catalogName != "cat.s2") __builtin_trap();
  if (rewritten.mainTerms.size() != frame.mainTerms.size()) __builtin_trap();
  return 0;
}
