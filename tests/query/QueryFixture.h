// Catalogs with synthetic records for the query tests: one process-wide
// connection on a scratch database (stored-record data objects fetch through
// it), a catalog per test, records written straight into the feature tables
// in the catalog's format, and a straightforward reference evaluation.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KvFactory.h"
#include "KvTestUtil.h"
#include "core/KvBytes.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "core/KvString.h"
#include "data/KvGenericData.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvQuery.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace qtest {

constexpr const char* kColor = "KvColorFeatureClass";
constexpr const char* kColorSub = "KvColorSubPartFeatureClass";
constexpr const char* kHistogram = "KvColorHistogramFeatureClass";
constexpr const char* kTexture = "KvTextureFeatureClass";
constexpr const char* kText = "KvTextFeatureClass";

// The process-wide connection, made once on a scratch database that lives
// until the test program ends.
inline const KvConnectClass* Connection() {
  static kvtest::TempDir* dir = new kvtest::TempDir("query");
  static const KvConnectClass* connection = KvGetConnection("w", dir->path().c_str(), nullptr);
  return connection;
}

using Ranking = std::vector<std::pair<std::string, float>>;

// The entries of a result set in order.
inline Ranking Entries(KvKeyDatabaseClass* set) {
  Ranking out;
  if (set == nullptr) return out;
  std::unique_ptr<KvDbIteratorClass> it(set->NewIterator());
  KvDatumClass key, data;
  while (it && it->HasCurrent() && it->Next(key, data, 1) == 0) {
    out.emplace_back(reinterpret_cast<const char*>(key.Data()), set->GetDistance(data));
  }
  return out;
}

// The 12-byte record of an average colour feature with these values.
inline std::string ColorBytes(int32_t a, int32_t b, int32_t c) {
  unsigned char bytes[12];
  Encode32BE(bytes, static_cast<uint32_t>(a));
  Encode32BE(bytes + 4, static_cast<uint32_t>(b));
  Encode32BE(bytes + 8, static_cast<uint32_t>(c));
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// A catalog of the shared database with its feature classes registered.
class TestCatalog {
 public:
  TestCatalog(const std::string& name, std::initializer_list<const char*> features) : name_(name) {
    catalog_.reset(Connection()->NewCatalog());
    EXPECT_NE(catalog_, nullptr);
    EXPECT_EQ(catalog_->CreateCatalog(name.c_str(), 0, 0), 0);
    EXPECT_EQ(catalog_->Open(name.c_str()), 0);
    for (const char* f : features) EXPECT_EQ(catalog_->AddFeatureClass(f, -1, 0, 0), 0) << f;
  }
  KvCatalogClass* get() const { return catalog_.get(); }
  const std::string& name() const { return name_; }

  using Rows = std::vector<std::pair<std::string, std::string>>;

  // Writes each (key, bytes) (keys stored with their NUL) with one opening
  // of the table, and counts the records in the feature's global
  // information. Every close flushes to disk, so batches keep tests quick.
  void Put(const char* feature, const Rows& rows) {
    KvStringClass table(64ul);
    ASSERT_EQ(catalog_->GetFeatureTableName(feature, table), 0);
    std::unique_ptr<KvDatabaseClass> t(Connection()->NewDatabase());
    ASSERT_TRUE(t && t->OpenForWrite(table.c_str()) == 0);
    for (const auto& [key, bytes] : rows) {
      KvDatumClass k, d;
      k.SetBytes(key.size() + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(key.c_str())), KvOwnNone);
      d.SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), KvOwnNone);
      ASSERT_EQ(t->Update(k, d, True), 0);
    }
    t->Close();
    KvDatumClass info;
    ASSERT_EQ(catalog_->GetGlobalFeatureInfo(feature, info), 0);
    std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(feature));
    for (size_t i = 0; i < rows.size(); ++i) f->UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD);
    ASSERT_EQ(catalog_->PutGlobalFeatureInfo(feature, info), 0);
  }
  void Put(const char* feature, const std::string& key, const std::string& bytes) { Put(feature, {{key, bytes}}); }

 private:
  std::string name_;
  std::unique_ptr<KvCatalogClass> catalog_;
};

// The byte string of feature computed from an image.
inline std::string Computed(const char* feature, KvGenericDataClass* data) {
  std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(feature));
  if (f == nullptr || f->ComputeFeature(data, f->GetParameters()) != 0) return std::string();
  KvDatumClass bytes;
  if (f->ToByteString(bytes) != 0) return std::string();
  return kvtest::Bytes(bytes);
}

// A stored-record data object naming key in catalog.
inline std::unique_ptr<KvGenericDataClass> RecordData(const std::string& catalog, const std::string& key) {
  std::unique_ptr<KvGenericDataClass> data(KvCreateGenericDataClass("KvGenericImageDataClass"));
  data->SetType(KV_DATA_RECORD);
  data->SetCatalogName(catalog.c_str());
  data->SetKey(key.c_str());
  return data;
}

// A feature with its own parameter set (class defaults, then spec) and data
// object, as a caller of EvaluateObjects holds them.
struct QueryFeature {
  std::unique_ptr<KvFeatureClass> feature;
  std::unique_ptr<KvParameterClass> parameters;
  std::unique_ptr<KvGenericDataClass> data;

  QueryFeature(const char* name, const std::string& parms, std::unique_ptr<KvGenericDataClass> d)
      : feature(KvCreateFeatureClass(name)), parameters(new KvParameterClass), data(std::move(d)) {
    *parameters = *feature->GetParameters();
    if (!parms.empty()) parameters->FromCommandLineString(parms.c_str());
  }
};

// The caller's arrays for EvaluateObjects.
struct QueryArrays {
  std::vector<KvGenericDataClass*> data;
  std::vector<KvFeatureClass*> features;
  std::vector<KvParameterClass*> parameters;

  explicit QueryArrays(const std::vector<QueryFeature*>& list) {
    for (QueryFeature* q : list) {
      data.push_back(q->data.get());
      features.push_back(q->feature.get());
      parameters.push_back(q->parameters.get());
    }
  }
  int count() const { return static_cast<int>(features.size()); }
};

// The best-N rule applied the plain way: a sorted list, insert while short,
// else replace the last entry when strictly nearer.
inline Ranking ReferenceBest(const Ranking& candidates, size_t n) {
  Ranking list;
  auto before = [](const std::pair<std::string, float>& a, const std::pair<std::string, float>& b) {
    return a.second != b.second ? a.second < b.second : a.first < b.first;
  };
  for (const auto& c : candidates) {
    if (list.size() < n) {
      list.insert(std::upper_bound(list.begin(), list.end(), c, before), c);
    } else if (n > 0 && c.second < list.back().second) {
      list.pop_back();
      list.insert(std::upper_bound(list.begin(), list.end(), c, before), c);
    }
  }
  return list;
}

// The unweighted distance of feature (computed for the query) to the bytes
// stored for another image.
inline float DistanceTo(QueryFeature& q, const std::string& bytes) {
  std::unique_ptr<KvFeatureClass> holder(KvCreateFeatureClass(q.feature->GetClassName()));
  KvDatumClass d;
  d.SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), KvOwnNone);
  EXPECT_EQ(holder->FromByteString(d), 0);
  return q.feature->Distance(holder.get(), q.parameters.get(), 3.4e38f);
}

// Small deterministic images with a few random colours.
class RandomImage {
 public:
  RandomImage(unsigned seed, int w = 16, int h = 16)
      : index_(static_cast<size_t>(w * h)), palette_(768), mask_(static_cast<size_t>(w * h), 0xFF) {
    unsigned s = seed * 2654435761u + 12345u;
    auto next = [&s] {
      s = s * 1103515245u + 12345u;
      return (s >> 16) & 0x7FFF;
    };
    for (int i = 0; i < 4; ++i) {
      palette_[static_cast<size_t>(i)] = static_cast<unsigned char>(next() & 0xFF);
      palette_[static_cast<size_t>(256 + i)] = static_cast<unsigned char>(next() & 0xFF);
      palette_[static_cast<size_t>(512 + i)] = static_cast<unsigned char>(next() & 0xFF);
    }
    for (auto& p : index_) p = static_cast<unsigned char>(next() % 4);
    data_.GetImageDataFromMemory(static_cast<unsigned long>(w), static_cast<unsigned long>(h), index_.data(),
                                 palette_.data(), mask_.data(), False, False);
  }
  KvGenericImageDataClass* get() { return &data_; }

 private:
  std::vector<unsigned char> index_, palette_, mask_;
  KvGenericImageDataClass data_;
};

}  // namespace qtest
