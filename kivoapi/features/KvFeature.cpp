// Behaviour shared by every feature class: the seven global counters and the
// default printable form.
#include "features/KvFeature.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/KvError.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

int KvFeatureClass::UpdateGlobalInfo(KvDatumClass& info, int action) {
  unsigned char* bytes = info.MutableData();
  const unsigned long size = info.Size();
  if (bytes == nullptr || size < kKvBaseGlobalInfoSize) {
    KvError(KERR_General, KERR_NonFatal, "KvFeatureClass::UpdateGlobalInfo: global information block too small");
    return -1;
  }
  uint32_t c[7] = {0, 0, 0, 0, 0, 0, 0};
  if (bytes[0] != '\0') {
    char text[kKvBaseGlobalInfoSize];
    std::memcpy(text, bytes, kKvBaseGlobalInfoSize - 1);
    text[kKvBaseGlobalInfoSize - 1] = '\0';
    unsigned long v[7] = {0, 0, 0, 0, 0, 0, 0};
    std::sscanf(text, "%lu %lu %lu %lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]);
    for (int i = 0; i < 7; ++i) c[i] = static_cast<uint32_t>(v[i]);
  }
  switch (action) {
    case 0: c[0] += 1; break;
    case 1: c[0] -= 1; break;
    case 2: c[1] += 1; break;
    case 3: c[1] -= 1; break;
    case 4: c[1] = 0; c[2] = 0; break;
    case 5: c[2] = 0; break;
    case 6: if (c[1] != 0) c[2] += 1; break;
    case 7: c[3] = 0; break;
    case 8: c[3] += 1; break;
    default: break;
  }
  char text[kKvBaseGlobalInfoSize + 8];
  std::snprintf(text, sizeof text, "%010" PRIu32 " %010" PRIu32 " %010" PRIu32 " %010" PRIu32 " %010" PRIu32
                " %010" PRIu32 " %010" PRIu32, c[0], c[1], c[2], c[3], c[4], c[5], c[6]);
  std::memcpy(bytes, text, kKvBaseGlobalInfoSize);
  return 0;
}

int KvFeatureClass::ParameterUpdateFromGlobalInfo(KvParameterClass* parms, const KvDatumClass& info) {
  (void)parms;
  (void)info;
  return 0;
}

int KvFeatureClass::ToAsciiString(KvDatumClass& out) {
  KvDatumClass bytes;
  if (ToByteString(bytes) != 0) return -1;
  const unsigned long n = bytes.Size();
  char* text = static_cast<char*>(KvNew(2 * n + 1, "KvFeatureClass::ToAsciiString", KERR_Fatal));
  if (text == nullptr) return -1;
  const unsigned char* p = bytes.Data();
  for (unsigned long i = 0; i < n; ++i) {
    text[2 * i] = kHexDigits[p[i] >> 4];
    text[2 * i + 1] = kHexDigits[p[i] & 0x0F];
  }
  text[2 * n] = '\0';
  out.SetBytes(2 * n, reinterpret_cast<unsigned char*>(text), KvOwnKvDelete);
  return 0;
}
