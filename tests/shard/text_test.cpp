// KvQSrv's query texts on sharded catalogs: the served text's bytes, the
// rewriting of a text for each shard, and which texts name a sharded
// catalog.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "KivoShardManifest.h"
#include "KivoShardText.h"
#include "KvFactory.h"
#include "KvTestUtil.h"
#include "data/KvGenericData.h"

namespace {

using kivo::shard::Manifest;
using kivo::shard::ServedText;

Manifest Three() {
  Manifest m;
  m.catalog = "cat";
  for (int i = 0; i < 3; ++i) m.shards.push_back(kivo::shard::ShardName("cat", i));
  return m;
}

// A stored example as the data object writes it.
std::string Record(const std::string& catalog, const std::string& key) {
  std::unique_ptr<KvGenericDataClass> data(KvCreateGenericDataClass("KvGenericImageDataClass"));
  data->SetType(KV_DATA_RECORD);
  data->SetCatalogName(catalog.c_str());
  data->SetKey(key.c_str());
  KvDatumClass d;
  EXPECT_EQ(data->ToQueryString(d), 0);
  return std::string(reinterpret_cast<const char*>(d.Data()), d.Size());
}

TEST(ShardText, ServedTextRoundTripsAndRefusesEveryTruncation) {
  ServedText q;
  q.manifest = Three();
  q.text = std::string("query 5 cat\n{\n}\n\0tail", 21);
  q.timeLimitMs = 300000;
  const std::string bytes = q.Encode();
  ServedText back;
  ASSERT_TRUE(back.Decode(bytes));
  EXPECT_EQ(back.manifest.catalog, "cat");
  EXPECT_EQ(back.manifest.shards, q.manifest.shards);
  EXPECT_EQ(back.text, q.text);
  EXPECT_EQ(back.timeLimitMs, q.timeLimitMs);
  EXPECT_EQ(back.Encode(), bytes);
  for (size_t cut = 0; cut < bytes.size(); ++cut) EXPECT_FALSE(back.Decode(bytes.substr(0, cut))) << cut;
  EXPECT_FALSE(back.Decode(bytes + '\0'));
  // No shards, or more than a catalog may have.
  for (uint32_t count : {0u, 1025u}) {
    std::string bad = bytes;
    const unsigned char be[4] = {static_cast<unsigned char>(count >> 24), static_cast<unsigned char>(count >> 16),
                                 static_cast<unsigned char>(count >> 8), static_cast<unsigned char>(count)};
    bad.replace(7, 4, reinterpret_cast<const char*>(be), 4);  // after the 4-byte length and "cat"
    EXPECT_FALSE(back.Decode(bad)) << count;
  }
}

// Each shard's text names the shard, and a stored example of the sharded
// catalog the shard that holds its key, written as the data object writes
// it; examples of other catalogs, keywords and restriction sets are kept.
TEST(ShardText, RewritesTheCatalogAndItsStoredExamples) {
  const Manifest m = Three();
  const std::string key = "bus/301.jpg";
  const std::string holder = m.shards[static_cast<size_t>(kivo::shard::ShardOfKey(key, 3))];
  const std::string keywords = "<        48 p 3 busxsize= 0 ysize= 0 subPart= 0  >";
  const std::string restriction = " [ <        28 a 0.000000 b 1.500000 > ]";
  const std::string other = Record("plain", key);
  auto text = [&](const std::string& catalog, const std::string& example) {
    return "query 5 " + catalog + "\n" + restriction + "\n{\n  [ KvColorFeatureClass < W=1 > " + example +
           " ]\n  [ KvTextFeatureClass < W=1:O=1 > " + keywords + " ]\n  [ KvTextureFeatureClass < W=2 > " +
           other + " ]\n}\n";
  };
  const std::string asked = text("cat", Record("cat", key));
  for (size_t shard = 0; shard < 3; ++shard) {
    std::string out;
    ASSERT_TRUE(kivo::shard::TextForShard(asked, m, shard, &out));
    EXPECT_EQ(out, text(m.shards[shard], Record(holder, key))) << shard;
  }
  // A catalog whose name only begins like the sharded one's is not it.
  std::string out;
  const std::string near = text("cat", Record("cats", key));
  ASSERT_TRUE(kivo::shard::TextForShard(near, m, 1, &out));
  EXPECT_EQ(out, text("cat.s1", Record("cats", key)));
}

TEST(ShardText, RefusesTextsWithoutAFrame) {
  const Manifest m = Three();
  std::string out = "untouched";
  for (const char* bad : {"", "query", "query 5 cat { [ KvColorFeatureClass < W=1 >", "nonsense 5 cat { }"}) {
    EXPECT_FALSE(kivo::shard::TextForShard(bad, m, 0, &out)) << bad;
  }
  EXPECT_FALSE(kivo::shard::TextForShard("query 5 cat\n{\n}\n", m, 3, &out));  // no shard 3
  EXPECT_EQ(out, "untouched");
}

TEST(ShardText, TellsTextsOnShardedCatalogs) {
  kvtest::TempDir dir("shard-text");
  std::string error;
  ASSERT_TRUE(kivo::shard::WriteManifest(dir.path(), Three(), &error)) << error;
  std::ofstream(kivo::shard::ManifestPath(dir.path(), "bad")) << "not json";
  Manifest m;
  EXPECT_EQ(kivo::shard::ShardedCatalogOf(dir.path(), "query 5 cat\n{\n}\n", &m, &error), 1);
  EXPECT_EQ(m.shards, Three().shards);
  EXPECT_EQ(kivo::shard::ShardedCatalogOf(dir.path(), "query 5 plain\n{\n}\n", &m, &error), 0);
  // A text whose frame does not read is the query object's to refuse.
  EXPECT_EQ(kivo::shard::ShardedCatalogOf(dir.path(), "query 5 cat { [", &m, &error), 0);
  EXPECT_EQ(kivo::shard::ShardedCatalogOf(dir.path(), nullptr, &m, &error), 0);
  EXPECT_EQ(kivo::shard::ShardedCatalogOf(dir.path(), "query 5 bad\n{\n}\n", &m, &error), -1);
  EXPECT_FALSE(error.empty());
}

}  // namespace
