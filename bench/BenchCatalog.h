// Pieces the query benchmarks share: generated images, computed feature
// bytes, and catalogs filled with stored records straight into the feature
// tables in the catalog's format.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvString.h"
#include "data/KvGenericImageData.h"
#include "features/KvFeature.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvStoreEnv.h"

namespace kvbench {

// A generated image: a few random colours in blocks of 3 x 3 pixels, with
// some noise.
class Image {
 public:
  Image(unsigned seed, int w, int h) : index_(static_cast<size_t>(w * h)), palette_(768), mask_(index_.size(), 0xFF) {
    unsigned s = seed * 2654435761u + 7u;
    auto next = [&s] {
      s = s * 1103515245u + 12345u;
      return (s >> 16) & 0x7FFF;
    };
    const int colours = 2 + static_cast<int>(next() % 6);
    for (int i = 0; i < colours; ++i) {
      palette_[static_cast<size_t>(i)] = static_cast<unsigned char>(next());
      palette_[static_cast<size_t>(256 + i)] = static_cast<unsigned char>(next());
      palette_[static_cast<size_t>(512 + i)] = static_cast<unsigned char>(next());
    }
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const unsigned block = static_cast<unsigned>((y / 3) * 97 + (x / 3) * 31) + seed;
        unsigned c = (block * 2654435761u >> 13) % static_cast<unsigned>(colours);
        if (next() % 9 == 0) c = next() % static_cast<unsigned>(colours);
        index_[static_cast<size_t>(y * w + x)] = static_cast<unsigned char>(c);
      }
    }
    data_.GetImageDataFromMemory(static_cast<unsigned long>(w), static_cast<unsigned long>(h), index_.data(),
                                 palette_.data(), mask_.data(), False, False);
  }
  KvGenericImageDataClass* get() { return &data_; }

 private:
  std::vector<unsigned char> index_, palette_, mask_;
  KvGenericImageDataClass data_;
};

// The byte string of feature computed from data; empty on failure.
inline std::string Computed(const char* feature, KvGenericDataClass* data) {
  std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(feature));
  if (f == nullptr || f->ComputeFeature(data, f->GetParameters()) != 0) return std::string();
  KvDatumClass bytes;
  if (f->ToByteString(bytes) != 0) return std::string();
  return std::string(reinterpret_cast<const char*>(bytes.Data()), bytes.Size());
}

// Adds feature to the catalog and stores records keyed "img0000000.jpg"
// onwards, cycling over pool, with the record count in its global
// information. FillWhere stores only the keys for which take(key) holds (the
// share of one shard).
template <typename Take>
inline bool FillWhere(const KvConnectClass* connection, KvCatalogClass* catalog, const char* feature,
                      size_t records, const std::vector<std::string>& pool, Take take) {
  if (catalog->AddFeatureClass(feature, -1, 0, 0) != 0) return false;
  KvStringClass name(64ul);
  if (catalog->GetFeatureTableName(feature, name) != 0) return false;
  std::unique_ptr<KvDatabaseClass> table(connection->NewDatabase());
  if (table == nullptr || table->OpenForWrite(name.c_str()) != 0) return false;
  KvDatumClass key, data;
  char text[32];
  size_t stored = 0;
  // Records go in by transactions of a few thousand: one transaction per
  // record would leave the storage environment a page version per commit to
  // track, more than its regions hold over a million records.
  constexpr size_t kBatch = 4096;
  for (size_t first = 0; first < records; first += kBatch) {
    KvStoreWriteScope scope(connection);
    if (!scope.Ok()) return false;
    for (size_t i = first; i < records && i < first + kBatch; ++i) {
      const int length = std::snprintf(text, sizeof text, "img%07zu.jpg", i);
      if (!take(text)) continue;
      ++stored;
      const std::string& bytes = pool[i % pool.size()];
      key.SetBytes(static_cast<unsigned long>(length) + 1, reinterpret_cast<unsigned char*>(text), KvOwnNone);
      data.SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), KvOwnNone);
      if (table->Insert(key, data) != 0) return false;
    }
    if (scope.Commit() != 0) return false;
  }
  key.Clear();
  data.Clear();
  table->Close();
  KvDatumClass info;
  std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(feature));
  if (catalog->GetGlobalFeatureInfo(feature, info) != 0) return false;
  for (size_t i = 0; i < stored; ++i) f->UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD);
  return catalog->PutGlobalFeatureInfo(feature, info) == 0;
}

inline bool Fill(const KvConnectClass* connection, KvCatalogClass* catalog, const char* feature, size_t records,
                 const std::vector<std::string>& pool) {
  return FillWhere(connection, catalog, feature, records, pool, [](const char*) { return true; });
}

}  // namespace kvbench
