// Result sets: the query-string and key-string forms read from any bytes. A
// refused text adds nothing; what is read writes out and reads back to as
// many entries, with the same text written again.
#include <string>

#include "FuzzUtil.h"
#include "storage/KvKeyDatabase.h"

namespace {

std::string Text(const KvDatumClass& d) {
  return d.Data() != nullptr ? std::string(reinterpret_cast<const char*>(d.Data()), d.Size()) : std::string();
}

// Writes set in one form, reads the text into a fresh set and writes that.
void CheckRoundTrip(KvKeyMemoryDatabaseClass& set, bool withDistances) {
  KvDatumClass written;
  const int rc = withDistances ? set.ToQueryString(written) : set.ToKeyString(written);
  if (rc != 0) return;  // keys with white space cannot be written
  KvKeyMemoryDatabaseClass again(nullptr);
  if ((withDistances ? again.FromQueryString(written) : again.FromKeyString(written)) != 0 ||
      again.GetCount() != set.GetCount()) {
    __builtin_trap();
  }
  KvDatumClass rewritten;
  if ((withDistances ? again.ToQueryString(rewritten) : again.ToKeyString(rewritten)) != 0) __builtin_trap();
  // Distances written with six decimals may read back to other floats that
  // sort differently among equal texts, but the key-string form is exact.
  if (!withDistances && Text(written) != Text(rewritten)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KvDatumClass in;
  kvfuzz::Load(in, data, size);
  KvKeyMemoryDatabaseClass pairs(nullptr);
  const int pairsResult = pairs.FromQueryString(in);
  if (pairsResult == -1 && pairs.GetCount() != 0) __builtin_trap();  // refused texts add nothing
  if (pairsResult == 0) CheckRoundTrip(pairs, true);
  KvKeyMemoryDatabaseClass keys(nullptr);
  const int keysResult = keys.FromKeyString(in);
  if (keysResult == -1 && keys.GetCount() != 0) __builtin_trap();
  if (keysResult == 0) {
    CheckRoundTrip(keys, false);
    CheckRoundTrip(keys, true);
  }
  return 0;
}
