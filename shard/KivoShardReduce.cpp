// The exchange and merge of a stage's answers.
//
// Answer (WireWriter layout: numbers 32-bit big-endian, texts a 32-bit
// length and the bytes):
//   refused, refusal text
//   failures         then per failure: shard index, reason text
//   hits             then per hit: distance (the float's bits), key text
// The answers go to rank 0 (MPI_Gatherv); its outcome, in the same layout,
// goes to every rank (MPI_Bcast).
#include "KivoShardReduce.h"

#include <algorithm>
#include <cstring>

#include "KivoQuery.h"
#include "query/KvBestList.h"

namespace kivo {
namespace shard {
namespace {

uint32_t FloatBits(float f) {
  uint32_t v;
  std::memcpy(&v, &f, sizeof v);
  return v;
}

float BitsFloat(uint32_t v) {
  float f;
  std::memcpy(&f, &v, sizeof f);
  return f;
}

}  // namespace

std::string StageAnswer::Encode() const {
  WireWriter w;
  w.Put32(static_cast<uint32_t>(refused));
  w.PutText(refusal);
  w.Put32(static_cast<uint32_t>(failures.size()));
  for (const ShardFailure& f : failures) {
    w.Put32(static_cast<uint32_t>(f.index));
    w.PutText(f.reason);
  }
  w.Put32(static_cast<uint32_t>(hits.size()));
  for (const auto& h : hits) {
    w.Put32(FloatBits(h.second));
    w.PutText(h.first);
  }
  return w.Bytes();
}

bool StageAnswer::Decode(const std::string& bytes) {
  *this = StageAnswer();
  WireReader r(bytes);
  uint32_t code = 0, count = 0;
  if (!r.Get32(&code) || !r.GetText(&refusal) || !r.Get32(&count)) return false;
  refused = static_cast<int>(code);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t index = 0;
    ShardFailure f{0, ""};
    if (!r.Get32(&index) || !r.GetText(&f.reason)) return false;
    f.index = static_cast<int>(index);
    failures.push_back(std::move(f));
  }
  if (!r.Get32(&count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t bits = 0;
    std::string key;
    if (!r.Get32(&bits) || !r.GetText(&key)) return false;
    hits.emplace_back(std::move(key), BitsFloat(bits));
  }
  return r.AtEnd();
}

StageAnswer ReduceStage(const MpiJob& job, const StageAnswer& mine, uint32_t n) {
  const std::vector<std::string> answers = job.Gather(mine.Encode());
  std::string bytes;
  if (job.Root()) {
    StageAnswer all;
    KvBestList merged(n);
    for (const std::string& a : answers) {
      StageAnswer one;
      if (!one.Decode(a)) {
        all.refused = kQueryFailed;
        all.refusal = "a rank of the job sent a damaged answer";
        break;
      }
      if (one.refused != 0 && all.refused == 0) {
        all.refused = one.refused;
        all.refusal = one.refusal;
      }
      for (ShardFailure& f : one.failures) all.failures.push_back(std::move(f));
      for (const auto& h : one.hits) merged.OfferRanked(h.first.data(), h.first.size(), h.second);
    }
    std::stable_sort(all.failures.begin(), all.failures.end(),
                     [](const ShardFailure& a, const ShardFailure& b) { return a.index < b.index; });
    all.hits = merged.Sorted();
    bytes = all.Encode();
  }
  job.Broadcast(&bytes);
  StageAnswer outcome;
  if (!outcome.Decode(bytes)) {
    outcome = StageAnswer();
    outcome.refused = kQueryFailed;
    outcome.refusal = "a rank of the job received a damaged outcome";
  }
  return outcome;
}

}  // namespace shard
}  // namespace kivo
