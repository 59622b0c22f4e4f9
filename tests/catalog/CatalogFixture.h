// A catalog "test" in a fresh database directory, small in-memory images and
// raw access to the table files, shared by the catalog tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "KvTestUtil.h"
#include "data/KvGenericImageData.h"
#include "features/KvFeature.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"

namespace kvtest {

constexpr const char* kColor = "KvColorFeatureClass";
constexpr const char* kHistogram = "KvColorHistogramFeatureClass";
constexpr const char* kColorSub = "KvColorSubPartFeatureClass";
constexpr const char* kText = "KvTextFeatureClass";
constexpr const char* kTexture = "KvTextureFeatureClass";

// True when the factory can make the feature class (features still being
// written elsewhere are absent from it).
inline bool FeatureAvailable(const char* name) {
  std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(name));
  return f != nullptr;
}

#define KV_REQUIRE_FEATURE(name)                                              \
  do {                                                                        \
    if (!kvtest::FeatureAvailable(name)) GTEST_SKIP() << (name) << " not available"; \
  } while (0)

// An image of w x h pixels in one colour; with a mask whose left column is
// excluded when subPart is set.
class TestImage {
 public:
  TestImage(int w, int h, unsigned char r, unsigned char g, unsigned char b, bool subPart = false)
      : index_(static_cast<size_t>(w * h), 0), palette_(768, 0), mask_(static_cast<size_t>(w * h), 0xFF) {
    palette_[0] = r;
    palette_[256] = g;
    palette_[512] = b;
    // A second colour on the right half so sub-part and whole differ.
    palette_[1] = static_cast<unsigned char>(255 - r);
    palette_[257] = static_cast<unsigned char>(255 - g);
    palette_[513] = static_cast<unsigned char>(255 - b);
    for (int y = 0; y < h; ++y) {
      for (int x = w / 2; x < w; ++x) index_[static_cast<size_t>(y * w + x)] = 1;
      if (subPart) mask_[static_cast<size_t>(y * w)] = 0;
    }
    data_.GetImageDataFromMemory(static_cast<unsigned long>(w), static_cast<unsigned long>(h), index_.data(),
                                 palette_.data(), mask_.data(), subPart ? True : False, False);
  }
  KvGenericImageDataClass* get() { return &data_; }
  const std::vector<unsigned char>& mask() const { return mask_; }

 private:
  std::vector<unsigned char> index_, palette_, mask_;
  KvGenericImageDataClass data_;
};

// The byte string a fresh feature object of class name computes from data.
inline std::string ComputeBytes(const char* name, KvGenericDataClass* data) {
  std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(name));
  if (!f || f->ComputeFeature(data, f->GetParameters()) != 0) return "(compute failed)";
  KvDatumClass out;
  if (f->ToByteString(out) != 0) return "(encode failed)";
  return Bytes(out);
}

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    connection_.reset(NewKvDbmConnectClass());
    ASSERT_NE(connection_, nullptr);
    ASSERT_EQ(connection_->Connect(dir_.path().c_str(), "w"), 0);
    catalog_.reset(connection_->NewCatalog());
    ASSERT_NE(catalog_, nullptr);
    ASSERT_EQ(catalog_->CreateCatalog("test", 0, 0), 0);
  }

  bool Exists(const std::string& file) const {
    struct stat info;
    return ::stat(dir_.File(file).c_str(), &info) == 0;
  }

  // The record under key in a table file, looked up directly.
  std::optional<std::string> RawGet(const std::string& file, const std::string& key) {
    std::unique_ptr<KvDatabaseClass> t(connection_->NewDatabase());
    if (!t || t->Open(file.c_str(), "r") != 0) return std::nullopt;
    KvDatumClass k, d;
    k.SetBytes(key.size() + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(key.c_str())), KvOwnNone);
    std::optional<std::string> result;
    if (t->Get(k, d) == 0) result = Bytes(d);
    t->Close();
    return result;
  }

  // Writes bytes under key (stored with its NUL) into a table file.
  void RawPut(const std::string& file, const std::string& key, const std::string& bytes) {
    std::unique_ptr<KvDatabaseClass> t(connection_->NewDatabase());
    ASSERT_TRUE(t && t->OpenForWrite(file.c_str()) == 0);
    KvDatumClass k, d;
    k.SetBytes(key.size() + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(key.c_str())), KvOwnNone);
    d.SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), KvOwnNone);
    EXPECT_EQ(t->Update(k, d, True), 0);
    t->Close();
  }

  // Every (key, data) of a table file in key order; keys without their NUL.
  std::vector<std::pair<std::string, std::string>> Walk(const std::string& file) {
    std::vector<std::pair<std::string, std::string>> rows;
    std::unique_ptr<KvDatabaseClass> t(connection_->NewDatabase());
    if (!t || t->Open(file.c_str(), "r") != 0) return rows;
    std::unique_ptr<KvDbIteratorClass> it(t->NewIterator());
    KvDatumClass k, d;
    while (it && it->HasCurrent() && it->Next(k, d, 1) == 0) {
      std::string key = Bytes(k);
      if (!key.empty() && key.back() == '\0') key.pop_back();
      rows.emplace_back(key, Bytes(d));
    }
    t->Close();
    return rows;
  }

  std::string TableOf(const char* feature) {
    KvStringClass name(64ul);
    EXPECT_EQ(catalog_->GetFeatureTableName(feature, name), 0);
    return name.c_str();
  }

  std::string Listed() {
    KvDatumClass out;
    EXPECT_EQ(catalog_->ListFeatures(out), 0);
    return Bytes(out);
  }

  TempDir dir_{"cat"};
  std::unique_ptr<KvConnectClass> connection_;
  std::unique_ptr<KvCatalogClass> catalog_;
};

}  // namespace kvtest
