#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KivoShardPool.h"
#include "KvFactory.h"
#include "KvTestUtil.h"
#include "core/KvBytes.h"
#include "features/KvDescriptorFeature.h"
#include "features/KvFeature.h"

namespace {

// A global information block of class name after adding records (byte
// strings) one after the other, as a catalog does when they are stored.
std::string BlockOf(const std::string& name, const std::vector<std::string>& records) {
  std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(name.c_str()));
  std::string block(f->GetGlobalInfoSize(), '\0');
  KvDatumClass info;
  info.SetBytes(block.size(), reinterpret_cast<unsigned char*>(&block[0]), KvOwnNone);
  for (const std::string& r : records) {
    KvDatumClass bytes;
    bytes.SetBytes(r.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(r.data())), KvOwnNone);
    EXPECT_EQ(f->FromByteString(bytes), 0);
    EXPECT_EQ(f->UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD), 0);
  }
  return block;
}

std::string TextureRecord(int32_t coarseness, int32_t contrast, int32_t directionality, int32_t flags = 0) {
  unsigned char b[16];
  Encode32BE(b, static_cast<uint32_t>(flags));
  Encode32BE(b + 4, static_cast<uint32_t>(coarseness));
  Encode32BE(b + 8, static_cast<uint32_t>(contrast));
  Encode32BE(b + 12, static_cast<uint32_t>(directionality));
  return std::string(reinterpret_cast<char*>(b), 16);
}

// Records split among shards by a rule of their own, each shard adding its
// share in an order of its own: pooled, the blocks must be byte for byte the
// block of one catalog that added every record, since the query weights of
// the whole catalog come from it.
TEST(ShardPool, TextureStatisticsOfShardsAreTheWholeCatalogs) {
  std::mt19937 random(7);
  std::vector<std::string> all;
  for (int i = 0; i < 500; ++i) {
    const int flags = i % 37 == 0 ? 1 : 0;  // left out of the statistics
    all.push_back(TextureRecord(static_cast<int32_t>(random() % 90000), static_cast<int32_t>(random() % 1280000),
                                static_cast<int32_t>(random() % 100000) - 50000, flags));
  }
  const std::string whole = BlockOf("KvTextureFeatureClass", all);
  for (size_t shards : {1u, 2u, 5u}) {
    std::vector<std::vector<std::string>> parts(shards);
    for (size_t i = 0; i < all.size(); ++i) parts[(i * 7 + i / 3) % shards].push_back(all[i]);
    std::vector<std::string> blocks;
    for (auto& p : parts) {
      std::shuffle(p.begin(), p.end(), random);
      blocks.push_back(BlockOf("KvTextureFeatureClass", p));
    }
    EXPECT_EQ(kivo::shard::PoolGlobalInfo("KvTextureFeatureClass", blocks), whole) << shards << " shards";
  }
}

TEST(ShardPool, CountersAddUpAndEmptyShardsCountAsNone) {
  const std::string a = BlockOf("KvColorFeatureClass", std::vector<std::string>(3, std::string(12, '\1')));
  const std::string b = BlockOf("KvColorFeatureClass", std::vector<std::string>(4, std::string(12, '\2')));
  const std::string pooled = kivo::shard::PoolGlobalInfo("KvColorFeatureClass", {"", a, std::string(), b});
  EXPECT_EQ(pooled.substr(0, 22), "0000000007 0000000000 ");
  EXPECT_EQ(pooled.size(), a.size());
  EXPECT_EQ(kivo::shard::PoolGlobalInfo("KvColorFeatureClass", {"", ""}), "");

  // The pooled catalog reports the pooled block and, through it, the pooled
  // record count that plans a query.
  std::map<std::string, std::string> table = {{"KvColorFeatureClass", pooled}};
  kivo::shard::PooledCatalog catalog(nullptr, &table);
  KvDatumClass out;
  ASSERT_EQ(catalog.GetGlobalFeatureInfo("KvColorFeatureClass", out), 0);
  EXPECT_EQ(kvtest::Bytes(out), pooled);
  EXPECT_EQ(catalog.GetGlobalCounter1("KvColorFeatureClass"), 7u);
}

TEST(ShardPool, DescriptorDistanceStatisticsAddUp) {
  std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass("KvHsvHistogramFeatureClass"));
  ASSERT_NE(f, nullptr);
  const size_t size = f->GetByteStringSize();
  std::vector<std::string> first, second;
  for (int i = 0; i < 20; ++i) first.push_back(std::string(size, static_cast<char>(i % 5)));
  for (int i = 0; i < 30; ++i) second.push_back(std::string(size, static_cast<char>(i % 7 + 1)));
  const std::string a = BlockOf("KvHsvHistogramFeatureClass", first);
  const std::string b = BlockOf("KvHsvHistogramFeatureClass", second);
  const std::string pooled = kivo::shard::PoolGlobalInfo("KvHsvHistogramFeatureClass", {a, b});
  auto stats = [&](const std::string& block) {
    KvDatumClass d;
    d.SetBytes(block.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(block.data())), KvOwnNone);
    return KvReadDistanceStatistics(d, size);
  };
  const KvDistanceStatistics sa = stats(a), sb = stats(b), sp = stats(pooled);
  EXPECT_EQ(sp.pairs, sa.pairs + sb.pairs);
  EXPECT_EQ(sp.seen, sa.seen + sb.seen);
  EXPECT_EQ(sp.filled, sa.filled);
  EXPECT_NEAR(sp.mean, (sa.mean * sa.pairs + sb.mean * sb.pairs) / (sa.pairs + sb.pairs), 1e-6);
  EXPECT_EQ(pooled.substr(0, 11), "0000000050 ");
  // A shard without statistics yet lends nothing and takes the other's.
  const std::string empty(a.size(), '\0');
  EXPECT_EQ(kivo::shard::PoolGlobalInfo("KvHsvHistogramFeatureClass", {empty, b}).substr(77), b.substr(77));
}

}  // namespace
