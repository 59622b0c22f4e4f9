// Result sets: the query-string and key-string forms read from any bytes.
#include "FuzzUtil.h"
#include "storage/KvKeyDatabase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KvDatumClass in;
  kvfuzz::Load(in, data, size);
  KvKeyMemoryDatabaseClass pairs(nullptr);
  const int pairsResult = pairs.FromQueryString(in);
  KvKeyMemoryDatabaseClass keys(nullptr);
  keys.FromKeyString(in);
  if (pairsResult == -1 && pairs.GetCount() != 0) __builtin_trap();  // refused texts add nothing
  // What was read writes out, and the text reads back to as many entries.
  KvDatumClass written;
  if (pairsResult == 0 && pairs.ToQueryString(written) == 0) {
    KvKeyMemoryDatabaseClass again(nullptr);
    if (again.FromQueryString(written) == 0 && again.GetCount() != pairs.GetCount()) __builtin_trap();
  }
  return 0;
}
