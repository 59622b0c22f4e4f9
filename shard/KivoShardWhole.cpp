// The whole-catalog statistics of a sharded catalog's descriptor classes.
//
// Journal (WireWriter layout): entries, then per entry: order text, class
// name text, flags (1: an old record, 2: a new one), old record text, new
// record text.
#include "KivoShardWhole.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "KivoShardMpi.h"
#include "KvFactory.h"
#include "features/KvDescriptorFeature.h"
#include "features/KvFeature.h"
#include "storage/KvCatalog.h"

namespace kivo {
namespace shard {
namespace {

constexpr char kMagic[] = "KVWH";
constexpr uint32_t kFormat = 1;

bool IsDescriptor(const std::string& name) {
  std::unique_ptr<KvFeatureClass> f(KvCreateFeatureClass(name.c_str()));
  return dynamic_cast<KvDescriptorFeatureClass*>(f.get()) != nullptr && f->IsSubPartFeature() == False;
}

void Borrow(const std::string& bytes, KvDatumClass* d) {
  d->SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), KvOwnNone);
}

}  // namespace

std::string WholePath(const std::string& database, const std::string& catalog) {
  return database + "/KivoWhole." + catalog;
}

bool ReadWhole(const std::string& database, const std::string& catalog, WholeBlocks* whole, std::string* error) {
  *whole = WholeBlocks();
  const std::string path = WholePath(database, catalog);
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;  // absent: not valid
  std::stringstream text;
  text << in.rdbuf();
  const std::string bytes = text.str();
  uint32_t format = 0, valid = 0, count = 0;
  if (bytes.compare(0, 4, kMagic) != 0) {
    *error = "damaged statistics file " + path;
    return false;
  }
  const std::string rest = bytes.substr(4);
  WireReader body(rest);
  if (!body.Get32(&format) || format != kFormat || !body.Get32(&valid) || !body.Get32(&count)) {
    *error = "damaged statistics file " + path;
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    std::string name, block;
    if (!body.GetText(&name) || !body.GetText(&block)) {
      *error = "damaged statistics file " + path;
      return false;
    }
    whole->blocks[name] = block;
  }
  if (!body.AtEnd()) {
    *error = "damaged statistics file " + path;
    return false;
  }
  whole->valid = valid == 1;
  return true;
}

bool WriteWhole(const std::string& database, const std::string& catalog, const WholeBlocks& whole,
                std::string* error) {
  WireWriter w;
  w.Put32(kFormat);
  w.Put32(whole.valid ? 1 : 0);
  w.Put32(static_cast<uint32_t>(whole.blocks.size()));
  for (const auto& b : whole.blocks) {
    w.PutText(b.first);
    w.PutText(b.second);
  }
  const std::string path = WholePath(database, catalog);
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << kMagic << w.Bytes();
    out.flush();
    if (!out) {
      *error = "cannot write " + temporary;
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path;
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

void WholeJournal::Observe(const IndexTarget& target, const Change& change, const std::string& order) {
  const int slot = target.route(change.key);
  if (slot < 0) return;
  CatalogStore& store = *target.stores[static_cast<size_t>(slot)];
  if (!classesKnown_) {
    // Every shard of a run has the same classes (the run adds them first).
    std::vector<std::string> names;
    std::string ignored;
    if (store.FeatureClasses(&names, &ignored)) {
      for (const std::string& n : names) {
        if (IsDescriptor(n)) descriptors_.push_back(n);
      }
    }
    classesKnown_ = true;
  }
  for (const std::string& name : descriptors_) {
    Entry e;
    e.order = order;
    e.name = name;
    KvDatumClass old;
    e.hasOld = store.Catalog()->GetFeature(change.key.c_str(), name.c_str(), old) == 0;
    if (e.hasOld) e.old.assign(reinterpret_cast<const char*>(old.Data()), old.Size());
    if (change.kind == Change::kPut) {
      for (const auto& r : change.records) {
        if (r.first == name) {
          e.fresh = r.second;
          e.hasFresh = true;
        }
      }
    }
    if (e.hasOld || e.hasFresh) entries_.push_back(std::move(e));
  }
}

std::string WholeJournal::Encode() const {
  WireWriter w;
  w.Put32(static_cast<uint32_t>(entries_.size()));
  for (const Entry& e : entries_) {
    w.PutText(e.order);
    w.PutText(e.name);
    w.Put32((e.hasOld ? 1u : 0u) | (e.hasFresh ? 2u : 0u));
    w.PutText(e.old);
    w.PutText(e.fresh);
  }
  return w.Bytes();
}

bool WholeJournal::Decode(const std::string& bytes) {
  entries_.clear();
  WireReader r(bytes);
  uint32_t count = 0;
  if (!r.Get32(&count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    Entry e;
    uint32_t flags = 0;
    if (!r.GetText(&e.order) || !r.GetText(&e.name) || !r.Get32(&flags) || !r.GetText(&e.old) ||
        !r.GetText(&e.fresh)) {
      return false;
    }
    e.hasOld = (flags & 1) != 0;
    e.hasFresh = (flags & 2) != 0;
    entries_.push_back(std::move(e));
  }
  return r.AtEnd();
}

void WholeJournal::Apply(const std::vector<WholeJournal>& journals, WholeBlocks* whole) {
  std::vector<const Entry*> all;
  for (const WholeJournal& j : journals) {
    for (const Entry& e : j.entries_) all.push_back(&e);
  }
  // One change's classes keep their order: that of the catalog's classes.
  std::stable_sort(all.begin(), all.end(), [](const Entry* a, const Entry* b) { return a->order < b->order; });
  std::map<std::string, std::unique_ptr<KvFeatureClass>> holders;
  for (const Entry* e : all) {
    auto& holder = holders[e->name];
    if (holder == nullptr) holder.reset(KvCreateFeatureClass(e->name.c_str()));
    if (holder == nullptr) continue;
    std::string& block = whole->blocks[e->name];
    if (block.empty()) {
      // The block a catalog gives a class it adds: all zero.
      block.assign(std::max<unsigned long>(holder->GetGlobalInfoSize(), kKvBaseGlobalInfoSize), '\0');
    }
    KvDatumClass info;
    info.SetBytes(block.size(), reinterpret_cast<unsigned char*>(&block[0]), KvOwnNone);
    KvDatumClass record;
    if (e->hasOld) {
      Borrow(e->old, &record);
      if (holder->FromByteString(record) == 0) holder->UpdateGlobalInfo(info, KV_GLOBAL_REMOVE_RECORD);
    }
    if (e->hasFresh) {
      Borrow(e->fresh, &record);
      if (holder->FromByteString(record) == 0) holder->UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD);
    }
  }
}

}  // namespace shard
}  // namespace kivo
