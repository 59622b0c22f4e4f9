// The statistics of a sharded catalog as one catalog holding all its records
// would have them, for the classes whose statistics depend on the order in
// which records were stored (the descriptor classes: a sample of records and
// the mean distance measured against it). Every other class's statistics
// pool exactly from the shards' (KivoShardPool.h).
//
// kivo index keeps them: each change that writes or removes a descriptor
// record is journalled with its place in the order of a one-process run
// (IndexTarget::observe), the journals of every rank go to rank 0, which
// applies them in that order to the blocks kept in the file
// KivoWhole.<catalog>, exactly as one catalog's writes would.
//
// File (written whole, then renamed over the old one):
//   offset size  meaning
//   0      4     "KVWH"
//   4      4     format, 1
//   8      4     valid: 1, or 0 while a run writes (and after a run that was
//                killed or failed: the order is lost, queries pool instead)
//   12     4     classes, then per class (WireWriter texts):
//                class name text, global information text
#pragma once

#include <map>
#include <string>
#include <vector>

#include "KivoIndex.h"
#include "KivoStore.h"

namespace kivo {
namespace shard {

struct WholeBlocks {
  bool valid = false;
  std::map<std::string, std::string> blocks;  // class name -> global information
};

std::string WholePath(const std::string& database, const std::string& catalog);
// False with error when the file cannot be read or is damaged; an absent
// file reads as not valid.
bool ReadWhole(const std::string& database, const std::string& catalog, WholeBlocks* whole, std::string* error);
bool WriteWhole(const std::string& database, const std::string& catalog, const WholeBlocks& whole,
                std::string* error);

// The descriptor records one run changes, with their order.
class WholeJournal {
 public:
  // Journals change: for each descriptor class of the catalog, the record
  // the key's shard holds now (read from stores[route(key)]) and the one
  // written in its place.
  void Observe(const IndexTarget& target, const Change& change, const std::string& order);
  std::string Encode() const;
  bool Decode(const std::string& bytes);
  // Applies the entries of every journal, in their order, to whole.
  static void Apply(const std::vector<WholeJournal>& journals, WholeBlocks* whole);

 private:
  struct Entry {
    std::string order, name, old, fresh;
    bool hasOld = false, hasFresh = false;
  };
  std::vector<Entry> entries_;
  std::vector<std::string> descriptors_;  // the catalog's descriptor classes
  bool classesKnown_ = false;
};

}  // namespace shard
}  // namespace kivo
