// Pooling the global information of shards.
#include "KivoShardPool.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

#include "KvFactory.h"
#include "core/KvBase.h"
#include "features/KvDescriptorFeature.h"
#include "features/KvFeature.h"
#include "features/KvTextureFeature.h"

namespace kivo {
namespace shard {
namespace {

// The seven base counters of a block (zero for an empty text).
void ReadCounters(const std::string& block, uint64_t c[7]) {
  for (int i = 0; i < 7; ++i) c[i] = 0;
  if (block.empty() || block[0] == '\0') return;
  char text[kKvBaseGlobalInfoSize];
  const size_t n = std::min(block.size(), sizeof text - 1);
  std::memcpy(text, block.data(), n);
  text[n] = '\0';
  unsigned long v[7] = {0, 0, 0, 0, 0, 0, 0};
  std::sscanf(text, "%lu %lu %lu %lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]);
  for (int i = 0; i < 7; ++i) c[i] = v[i];
}

void WriteCounters(const uint64_t c[7], std::string* block) {
  uint32_t v[7];
  for (int i = 0; i < 7; ++i) v[i] = c[i] > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(c[i]);
  char text[kKvBaseGlobalInfoSize + 8];
  std::snprintf(text, sizeof text,
                "%010" PRIu32 " %010" PRIu32 " %010" PRIu32 " %010" PRIu32 " %010" PRIu32 " %010" PRIu32
                " %010" PRIu32,
                v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
  // The counters' text keeps the NUL that ends it in the block.
  std::memcpy(&(*block)[0], text, kKvBaseGlobalInfoSize);
}

void Borrow(std::string& bytes, KvDatumClass* d) {
  d->SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(&bytes[0]), KvOwnNone);
}

}  // namespace

std::string PoolGlobalInfo(const std::string& name, const std::vector<std::string>& blocks) {
  std::string pooled;
  uint64_t total[7] = {0, 0, 0, 0, 0, 0, 0};
  for (const std::string& b : blocks) {
    if (b.size() < kKvBaseGlobalInfoSize) continue;
    if (pooled.empty()) pooled = b;
    uint64_t c[7];
    ReadCounters(b, c);
    for (int i = 0; i < 7; ++i) total[i] += c[i];
  }
  if (pooled.empty()) return pooled;
  WriteCounters(total, &pooled);

  std::unique_ptr<KvFeatureClass> feature(KvCreateFeatureClass(name.c_str()));
  if (feature == nullptr) return pooled;
  if (dynamic_cast<KvTextureFeatureClass*>(feature.get()) != nullptr) {
    KvTextureStatistics sum;
    for (std::string b : blocks) {
      KvDatumClass in;
      Borrow(b, &in);
      const KvTextureStatistics s = KvReadTextureStatistics(in);
      for (int i = 0; i < 3; ++i) {
        sum.sum[i] += s.sum[i];
        sum.square[i] += s.square[i];
        sum.count[i] += s.count[i];
      }
    }
    if (pooled.size() >= kKvTextureGlobalInfoSize) {
      KvDatumClass out;
      Borrow(pooled, &out);
      KvWriteTextureStatistics(sum, out);
    }
  } else if (auto* descriptor = dynamic_cast<KvDescriptorFeatureClass*>(feature.get())) {
    const unsigned long recordSize = descriptor->GetByteStringSize();
    KvDatumClass out;
    Borrow(pooled, &out);
    bool first = true;
    for (std::string b : blocks) {
      if (b.size() < kKvBaseGlobalInfoSize) continue;
      // The first block is the one pooled started from.
      KvDatumClass in;
      Borrow(b, &in);
      if (!first) KvAddDistanceStatistics(out, in, recordSize);
      first = false;
    }
  }
  return pooled;
}

int PooledCatalog::GetGlobalFeatureInfo(const char* feature, KvDatumClass& out) {
  if (feature != nullptr && pooled_ != nullptr) {
    const auto it = pooled_->find(feature);
    if (it != pooled_->end() && !it->second.empty()) {
      return out.CopyBytes(it->second.data(), it->second.size(), "PooledCatalog::GetGlobalFeatureInfo");
    }
  }
  return KvCatalogClass::GetGlobalFeatureInfo(feature, out);
}

}  // namespace shard
}  // namespace kivo
