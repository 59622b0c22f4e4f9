// Global information of the feature classes of a catalog.
//
// Data of a FeatIdx.<catalog> entry (key: feature class name plus NUL), S
// bytes where S is what the class states (at least 77):
//   offset  size    meaning
//   0       76      seven counters "%010lu" separated by single blanks;
//                   counter 1 = records in the feature table, counters 2 to 4
//                   belong to the incremental index and distance lists
//   76      1       NUL
//   77      S - 77  the class's own data (texture statistics, ...)
// A new class's block is all zero bytes (counters read as 0).
//
// Older catalogs stored two counters only: "%010lu %010lu", NUL, class data,
// S - 55 bytes in all. Such a block is widened on reading by inserting five
// zero counters behind the two, so the class data keeps its place at 77.
#include <cstdio>
#include <cstring>

#include "core/KvError.h"
#include "features/KvFeature.h"
#include "storage/KvCatalog.h"
#include "storage/KvCatalogUtil.h"
#include "storage/KvConnect.h"

using kvcat::BorrowKey;
using kvcat::FeaturePtr;
using kvcat::MakeFeature;
using kvcat::TableGuard;

namespace {

// Length of the two-counter text of the old layout ("%010lu %010lu").
constexpr unsigned long kOldCounterText = 21;
// What widening inserts: five more counters, each with its blank.
constexpr char kFiveZeroCounters[] = " 0000000000 0000000000 0000000000 0000000000 0000000000";
constexpr unsigned long kWidening = sizeof kFiveZeroCounters - 1;  // 55

unsigned long BlockSize(KvFeatureClass* feature) {
  const unsigned long size = feature->GetGlobalInfoSize();
  return size < kKvBaseGlobalInfoSize ? kKvBaseGlobalInfoSize : size;
}

}  // namespace

int KvCatalogClass::GetGlobalFeatureInfo(const char* feature, KvDatumClass& out) {
  FeaturePtr f = MakeFeature(feature);
  if (!f) return -1;
  return ReadGlobalInfo(f.get(), out);
}

int KvCatalogClass::ReadGlobalInfo(KvFeatureClass* feature, KvDatumClass& out) {
  if (!RequireOpen("KvCatalogClass::GetGlobalFeatureInfo")) return -1;
  KvStringClass index(64ul);
  if (GetFeatureCatalogName(name_.c_str(), index) != 0) return -1;
  const char* name = feature->GetClassName();
  TableGuard table(table_);
  int rc = table.Open(index.c_str(), "r");
  if (rc != 0) {
    // A damaged feature index keeps the storage's message, which names it.
    if (!table.Damaged()) KvError(KERR_CatOpen, KERR_Fatal, name_.c_str(), rc);
    return rc;
  }
  KvDatumClass key, stored;
  BorrowKey(key, name);
  rc = table->Get(key, stored);
  if (rc == -1) return -1;
  if (rc != 0 || stored.Size() == 0) {
    KvError(KERR_CatNoFeature, KERR_NonFatal, name, name_.c_str());
    out.Clear();
    // An empty entry is as unusable as a missing one.
    return rc != 0 ? rc : 1;
  }
  const unsigned long size = BlockSize(feature);
  const unsigned long storedSize = stored.Size();
  const unsigned char* bytes = stored.Data();
  const bool widen = storedSize + kWidening == size;
  if (storedSize != size && bytes[0] != '\0' && !widen) {
    kvcat::Fail(KERR_Fatal,
                "KvCatalogClass::GetGlobalFeatureInfo: global information of %s in catalog %s has %lu bytes, "
                "expected %lu",
                name, name_.c_str(), storedSize, size);
    out.Clear();
    return -1;
  }
  unsigned char* block =
      static_cast<unsigned char*>(KvCNew(size, 1, "KvCatalogClass::GetGlobalFeatureInfo", KERR_Fatal));
  if (block == nullptr) return -1;
  if (storedSize == size) {
    std::memcpy(block, bytes, size);
  } else if (bytes[0] != '\0') {
    // Old layout: the two counters, five new zero counters, then the rest of
    // the stored block (its NUL and the class data).
    std::memcpy(block, bytes, kOldCounterText);
    std::memcpy(block + kOldCounterText, kFiveZeroCounters, kWidening);
    std::memcpy(block + kOldCounterText + kWidening, bytes + kOldCounterText, storedSize - kOldCounterText);
  }
  // (an empty text of another size leaves the block zeroed)
  out.SetBytes(size, block, KvOwnKvDelete);
  return 0;
}

int KvCatalogClass::DoPutGlobalFeatureInfo(const char* feature, const KvDatumClass& block) {
  FeaturePtr f = MakeFeature(feature);
  if (!f) return -1;
  return WriteGlobalInfo(f.get(), block);
}

int KvCatalogClass::WriteGlobalInfo(KvFeatureClass* feature, const KvDatumClass& block) {
  if (!RequireOpen("KvCatalogClass::PutGlobalFeatureInfo")) return -1;
  const char* name = feature->GetClassName();
  if (feature->GetGlobalInfoSize() == 0 && block.Size() == 0) return 0;
  const unsigned long size = BlockSize(feature);
  KvDatumClass zeroed;
  const KvDatumClass* data = &block;
  if (block.Size() == 0) {
    void* bytes = KvCNew(size, 1, "KvCatalogClass::PutGlobalFeatureInfo", KERR_Fatal);
    if (bytes == nullptr) return -1;
    zeroed.SetBytes(size, static_cast<unsigned char*>(bytes), KvOwnKvDelete);
    data = &zeroed;
  } else if (block.Size() != size || block.Data() == nullptr) {
    kvcat::Fail(KERR_Fatal, "KvCatalogClass::PutGlobalFeatureInfo: block of %lu bytes for %s, expected %lu",
                block.Size(), name, size);
    return -1;
  }
  KvStringClass index(64ul);
  if (GetFeatureCatalogName(name_.c_str(), index) != 0) return -1;
  TableGuard table(table_);
  int rc = table.OpenForWrite(index.c_str());
  if (rc != 0) {
    // A damaged feature index keeps the storage's message, which names it.
    if (!table.Damaged()) KvError(KERR_CatOpen, KERR_Fatal, name_.c_str(), rc);
    return rc;
  }
  KvDatumClass key;
  BorrowKey(key, name);
  rc = table->Update(key, *data, True);
  if (rc != 0) {
    KvError(KERR_CatUpdate, KERR_Fatal, name_.c_str(), name, rc);
    return rc;
  }
  rc = table.Close();
  if (rc != 0) kvcat::Fail(KERR_Fatal, "KvCatalogClass::PutGlobalFeatureInfo: close of %s failed", index.c_str());
  return rc;
}

uint32_t KvCatalogClass::ReadCounter(const char* feature, int which) {
  KvDatumClass block;
  if (GetGlobalFeatureInfo(feature, block) != 0 || block.Size() == 0) return 0;
  char text[kKvBaseGlobalInfoSize];
  const unsigned long n = block.Size() < sizeof text - 1 ? block.Size() : sizeof text - 1;
  std::memcpy(text, block.Data(), n);
  text[n] = '\0';
  // Scanned into 64-bit temporaries; the counters themselves are 32-bit.
  unsigned long v[4] = {0, 0, 0, 0};
  std::sscanf(text, "%lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3]);
  return static_cast<uint32_t>(v[which - 1]);
}

uint32_t KvCatalogClass::GetGlobalCounter1(const char* feature) { return ReadCounter(feature, 1); }
uint32_t KvCatalogClass::GetGlobalCounter2(const char* feature) { return ReadCounter(feature, 2); }
uint32_t KvCatalogClass::GetGlobalCounter3(const char* feature) { return ReadCounter(feature, 3); }
uint32_t KvCatalogClass::GetGlobalCounter4(const char* feature) { return ReadCounter(feature, 4); }
