#include <gtest/gtest.h>

#include <set>
#include <string>

#include "KivoShardCommands.h"
#include "KivoShardManifest.h"
#include "KivoShardMpi.h"
#include "KivoShardReduce.h"
#include "KivoShardWhole.h"
#include "KivoStore.h"
#include "KvTestUtil.h"

namespace {

using kivo::shard::Manifest;

TEST(ShardManifest, RoundTripsAndAbsenceMeansPlain) {
  kvtest::TempDir dir("shard");
  Manifest m, back;
  std::string error;
  EXPECT_EQ(kivo::shard::ReadManifest(dir.path(), "cat", &back, &error), 0);
  m.catalog = "cat";
  for (int i = 0; i < 3; ++i) m.shards.push_back(kivo::shard::ShardName("cat", i));
  ASSERT_TRUE(kivo::shard::WriteManifest(dir.path(), m, &error)) << error;
  ASSERT_EQ(kivo::shard::ReadManifest(dir.path(), "cat", &back, &error), 1) << error;
  EXPECT_EQ(back.catalog, "cat");
  EXPECT_EQ(back.shards, (std::vector<std::string>{"cat.s0", "cat.s1", "cat.s2"}));
  EXPECT_EQ(kivo::shard::ReadManifest(dir.path(), "other", &back, &error), 0);
}

TEST(ShardManifest, RefusesDamagedManifests) {
  const char* bad[] = {
      "",
      "not json",
      "[1, 2]",
      R"({"format": 2, "catalog": "cat", "hash": "xxh64", "shards": ["cat.s0"]})",
      R"({"format": 1, "catalog": "cat", "hash": "crc32", "shards": ["cat.s0"]})",
      R"({"format": 1, "catalog": "dog", "hash": "xxh64", "shards": ["cat.s0"]})",
      R"({"format": 1, "catalog": "cat", "hash": "xxh64", "shards": []})",
      R"({"format": 1, "catalog": "cat", "hash": "xxh64", "shards": "cat.s0"})",
      R"({"format": 1, "catalog": "cat", "hash": "xxh64", "shards": ["../etc"]})",
      R"({"format": 1, "catalog": "cat", "hash": "xxh64", "shards": [""]})",
      R"({"format": 1, "catalog": "cat", "hash": "xxh64", "shards": [3]})",
  };
  kvtest::TempDir dir("shard");
  for (const char* text : bad) {
    kvtest::WriteFile(kivo::shard::ManifestPath(dir.path(), "cat"), text);
    Manifest m;
    std::string error;
    EXPECT_EQ(kivo::shard::ReadManifest(dir.path(), "cat", &m, &error), -1) << text;
    EXPECT_NE(error.find("KivoShards.cat"), std::string::npos) << error;
  }
}

// The placement rule is part of every sharded catalog on disk: these values
// must never change.
TEST(ShardManifest, PlacesKeysByAFixedHash) {
  EXPECT_EQ(kivo::shard::ShardOfKey("african/003.jpg", 1), 0);
  const struct {
    const char* key;
    size_t count;
    int shard;
  } pinned[] = {
      {"", 7, static_cast<int>(0xEF46DB3751D8E999ull % 7)},
      {"a", 1000, static_cast<int>(0xD24EC4F1A98C6E5Bull % 1000)},
      {"abc", 3, static_cast<int>(0x44BC2CF5AD770999ull % 3)},
  };
  for (const auto& p : pinned) EXPECT_EQ(kivo::shard::ShardOfKey(p.key, p.count), p.shard) << p.key;
  // Every shard gets keys, and only shards that exist.
  std::set<int> seen;
  for (int i = 0; i < 200; ++i) {
    const int s = kivo::shard::ShardOfKey("photos/" + std::to_string(i) + ".jpg", 5);
    ASSERT_GE(s, 0);
    ASSERT_LT(s, 5);
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), 5u);
}

TEST(ShardInit, MakesOrdinaryCatalogsAndRefusesToTakeOverOthers) {
  kvtest::TempDir dir("shard");
  const std::string db = dir.File("db");
  std::string error;
  ASSERT_EQ(kivo::shard::InitShards(db, "cat", 2, &error), 0) << error;
  for (const char* name : {"cat.s0", "cat.s1"}) {
    kivo::CatalogStore store;
    EXPECT_TRUE(store.Open(db, name, false, &error)) << name << ": " << error;
  }
  Manifest m;
  std::vector<kivo::shard::ShardStatus> shards;
  ASSERT_TRUE(kivo::shard::ReadShardStatus(db, "cat", &m, &shards, &error)) << error;
  ASSERT_EQ(shards.size(), 2u);
  EXPECT_TRUE(shards[0].readable && shards[1].readable);

  EXPECT_EQ(kivo::shard::InitShards(db, "cat", 2, &error), 1);
  EXPECT_NE(error.find("sharded already"), std::string::npos) << error;
  {
    kivo::CatalogStore plain;
    ASSERT_TRUE(plain.Open(db, "plain", true, &error)) << error;
  }
  EXPECT_EQ(kivo::shard::InitShards(db, "plain", 2, &error), 1);
  EXPECT_NE(error.find("catalog plain exists"), std::string::npos) << error;
  {
    kivo::CatalogStore taken;
    ASSERT_TRUE(taken.Open(db, "dog.s1", true, &error)) << error;
  }
  EXPECT_EQ(kivo::shard::InitShards(db, "dog", 3, &error), 1);
  EXPECT_NE(error.find("catalog dog.s1 exists"), std::string::npos) << error;
  EXPECT_EQ(kivo::shard::ReadManifest(db, "dog", &m, &error), 0) << "a refused init leaves no manifest";
  EXPECT_EQ(kivo::shard::InitShards(db, "big", 0, &error), 1);
  EXPECT_EQ(kivo::shard::InitShards(db, "big", kivo::shard::kMaxShards + 1, &error), 1);

  EXPECT_FALSE(kivo::shard::ReadShardStatus(db, "plain", &m, &shards, &error));
  EXPECT_NE(error.find("not sharded"), std::string::npos) << error;
}

TEST(ShardWhole, StatisticsFileRoundTripsAndDamageIsRefused) {
  kvtest::TempDir dir("shard");
  kivo::shard::WholeBlocks whole, back;
  std::string error;
  ASSERT_TRUE(kivo::shard::ReadWhole(dir.path(), "cat", &back, &error));
  EXPECT_FALSE(back.valid) << "no file: nothing to trust";
  whole.valid = true;
  whole.blocks["KvHsvHistogramFeatureClass"] = std::string("0000000003 \0\1\2", 14);
  whole.blocks["KvCorrelogramFeatureClass"] = "";
  ASSERT_TRUE(kivo::shard::WriteWhole(dir.path(), "cat", whole, &error)) << error;
  ASSERT_TRUE(kivo::shard::ReadWhole(dir.path(), "cat", &back, &error)) << error;
  EXPECT_TRUE(back.valid);
  EXPECT_EQ(back.blocks, whole.blocks);
  const std::string bytes = kvtest::ReadFile(kivo::shard::WholePath(dir.path(), "cat"));
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    kvtest::WriteFile(kivo::shard::WholePath(dir.path(), "cat"), bytes.substr(0, cut));
    EXPECT_FALSE(kivo::shard::ReadWhole(dir.path(), "cat", &back, &error)) << cut;
    EXPECT_FALSE(back.valid) << cut;
  }
  kvtest::WriteFile(kivo::shard::WholePath(dir.path(), "cat"), bytes + "x");
  EXPECT_FALSE(kivo::shard::ReadWhole(dir.path(), "cat", &back, &error));
}

TEST(ShardWire, ReadsBackWhatWasWrittenAndFailsCleanlyWhenShort) {
  kivo::shard::WireWriter w;
  w.Put32(0);
  w.Put32(0xFFFFFFFFu);
  w.PutText("");
  w.PutText(std::string("key\0with nul", 12));
  const std::string bytes = w.Bytes();
  {
    kivo::shard::WireReader r(bytes);
    uint32_t a = 1, b = 0;
    std::string t1 = "x", t2;
    ASSERT_TRUE(r.Get32(&a) && r.Get32(&b) && r.GetText(&t1) && r.GetText(&t2));
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 0xFFFFFFFFu);
    EXPECT_EQ(t1, "");
    EXPECT_EQ(t2, std::string("key\0with nul", 12));
    EXPECT_TRUE(r.AtEnd());
  }
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    const std::string shortBytes = bytes.substr(0, cut);
    kivo::shard::WireReader r(shortBytes);
    uint32_t a, b;
    std::string t1, t2;
    EXPECT_FALSE(r.Get32(&a) && r.Get32(&b) && r.GetText(&t1) && r.GetText(&t2)) << cut;
  }
  // A length larger than what follows is refused, not read past the end.
  kivo::shard::WireWriter liar;
  liar.Put32(1000);
  std::string text;
  kivo::shard::WireReader r(liar.Bytes());
  EXPECT_FALSE(r.GetText(&text));
}

// The merge of a stage keeps the order of one catalog's result: distance,
// then key, ties included, whichever rank a hit came from.
TEST(ShardReduce, AnswersRoundTripAndMergeByDistanceThenKey) {
  kivo::shard::StageAnswer a;
  a.refused = 2;
  a.refusal = "no";
  a.failures = {{3, "gone"}, {1, ""}};
  a.hits = {{"b.jpg", 0.5f}, {"a.jpg", 0.5f}, {"", -0.0f}};
  kivo::shard::StageAnswer back;
  ASSERT_TRUE(back.Decode(a.Encode()));
  EXPECT_EQ(back.Encode(), a.Encode());
  EXPECT_EQ(back.failures[0].reason, "gone");
  const std::string bytes = a.Encode();
  for (size_t cut = 0; cut < bytes.size(); ++cut) EXPECT_FALSE(back.Decode(bytes.substr(0, cut))) << cut;
  EXPECT_FALSE(back.Decode(bytes + "x"));

  kivo::shard::MpiJob job;
  kivo::shard::StageAnswer mine;
  mine.failures = {{2, "x"}, {0, "y"}};
  mine.hits = {{"c.jpg", 0.25f}, {"b.jpg", 0.75f}, {"a.jpg", 0.75f}, {"d.jpg", 0.75f}, {"e.jpg", 1.0f}};
  const kivo::shard::StageAnswer out = kivo::shard::ReduceStage(job, mine, 3);
  EXPECT_EQ(out.refused, 0);
  ASSERT_EQ(out.hits.size(), 3u);
  EXPECT_EQ(out.hits[0].first, "c.jpg");
  EXPECT_EQ(out.hits[1].first, "a.jpg");
  EXPECT_EQ(out.hits[2].first, "b.jpg");
  ASSERT_EQ(out.failures.size(), 2u);
  EXPECT_EQ(out.failures[0].index, 0);
}

TEST(ShardJob, OutsideMpirunIsOneRankOwningEveryShard) {
  kivo::shard::MpiJob job;
  EXPECT_EQ(job.Size(), 1);
  EXPECT_TRUE(job.Root());
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(job.Owns(i));
  EXPECT_EQ(job.AllGather("x"), std::vector<std::string>{"x"});
  EXPECT_EQ(job.AllMax(-3), -3);
}

}  // namespace
