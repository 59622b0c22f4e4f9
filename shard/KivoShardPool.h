// The global information of a sharded catalog: each feature class's blocks
// of every shard pooled into the block one catalog holding all their records
// would have, and a catalog object that reports it while its tables are a
// shard's. Queries read a class's record count (to plan) and its statistics
// (texture weights, descriptor scales) from it, so every shard ranks its
// records exactly as the whole catalog would.
//
// Pooling, per class:
//   the seven base counters          summed (at most 2^32 - 1)
//   texture sums, squares, counts    summed: the sums are of whole numbers,
//                                    so the pooled block equals the block of
//                                    one catalog built from the same records
//   descriptor distance statistics   measured distances and their sum added
//                                    up; the sample is the first shard's
//   anything else                    the first shard's
#pragma once

#include <map>
#include <string>
#include <vector>

#include "storage/KvCatalog.h"

namespace kivo {
namespace shard {

// The pooled block of feature class name from the blocks of every shard
// (empty blocks, of shards without records, count as zero). Empty when no
// shard had one.
std::string PoolGlobalInfo(const std::string& name, const std::vector<std::string>& blocks);

// A catalog opened on one shard whose global information is the pooled
// information of the whole sharded catalog (classes absent from pooled are
// read from the shard).
class PooledCatalog : public KvCatalogClass {
 public:
  PooledCatalog(const KvConnectClass* connection, const std::map<std::string, std::string>* pooled)
      : KvCatalogClass(connection), pooled_(pooled) {}
  int GetGlobalFeatureInfo(const char* feature, KvDatumClass& out) override;

 private:
  const std::map<std::string, std::string>* pooled_;
};

}  // namespace shard
}  // namespace kivo
