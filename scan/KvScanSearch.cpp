// The searches on the scan path (see KvScanSearch.h).
//
// A search is made of terms, one per query feature, each with the scan view
// of its table (or none: its records are then fetched from the table by
// key) and the kernel that measures its slots (or none: its records are
// decoded for the feature's own Distance). Records take one of two roads:
//  - the main thread measures a candidate term by term, exactly as the
//    table walk does (restricted and mixed searches, records that are not
//    regular slots, and searches with a term that has no kernel);
//  - a whole-table scan whose every term has a view and a kernel is split in
//    contiguous ranges over threads; each measures blocks of slots with the
//    kernels and keeps its own best list, leaving every record that needs
//    the feature's own decoding to the main thread. The lists are merged by
//    the full order of the best list, which for a walk in key order is what
//    the one-thread walk keeps.
// Before either road the feature's own Distance measures one stored record;
// that call lets the feature set up what its Distance sets up on first use
// (elements, parameter defaults) before the kernel copies it, and the kernel
// is checked against its result.
#include "scan/KvScanSearch.h"

#include <atomic>
#include <cfloat>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "KvFactory.h"
#include "core/KvError.h"
#include "features/KvFeature.h"
#include "query/KvBestList.h"
#include "query/KvDeadline.h"
#include "query/KvQueryInternal.h"
#include "query/KvQueryRules.h"
#include "query/KvQueryWalk.h"
#include "scan/KvScanKernels.h"
#include "scan/KvScanStore.h"
#include "scan/KvScanView.h"
#include "storage/KvCatalog.h"
#include "storage/KvKeyDatabase.h"

namespace {

// Records per kernel call.
constexpr size_t kBlock = 256;
// A thread is worth starting for this many records.
constexpr size_t kRecordsPerThread = 16384;
std::atomic<size_t> gRecordsPerThread(kRecordsPerThread);

enum class Candidate { kScored, kSkipped, kUnmeasurable, kFailed };

struct Term {
  KvQuerySlot* slot = nullptr;
  KvTermRule rule;
  std::shared_ptr<const KvScanView> view;  // null: records come from the table
  bool aligned = false;                    // the view holds the driving view's keys
  std::unique_ptr<KvSlotKernel> kernel;    // null: the feature's own Distance
  KvOwned<KvFeatureClass> holder;
  std::unique_ptr<KvDatumClass> record = std::make_unique<KvDatumClass>();  // table lookups
  std::vector<unsigned char> buffer;  // a slot in table form

  // The distance of a record in table form by the feature's own decoding.
  bool Decode(const unsigned char* bytes, size_t size, float* distance) {
    KvDatumClass datum;
    datum.SetBytes(static_cast<unsigned long>(size), const_cast<unsigned char*>(bytes), KvOwnNone);
    if (holder->FromByteString(datum) != 0) return false;
    *distance = slot->feature->Distance(holder.get(), slot->parameters, FLT_MAX);
    return true;
  }

  // The distance of the record at position i of the view.
  bool AtPosition(size_t i, float* distance) {
    if (kernel != nullptr && (view->OddCount() == 0 || view->OddIndex(i) < 0)) {
      kernel->Distances(view->Slots(), view->Stride(), nullptr, i, 1, distance);
      return true;
    }
    size_t size = 0;
    const unsigned char* bytes = view->TableBytes(i, buffer.data(), &size);
    return Decode(bytes, size, distance);
  }
};

// The weighted term of t for key; driver is the key's position in the
// driving view when the key comes from it (-1 otherwise).
Candidate Measure(Term& t, const KvKeyText& key, int64_t driver, double* term) {
  float distance = 0.0f;
  bool measured;
  if (t.view != nullptr) {
    const int64_t at = t.aligned && driver >= 0 ? driver : t.view->Find(key.c_str(), key.size() + 1);
    if (at < 0) return Candidate::kSkipped;
    measured = t.AtPosition(static_cast<size_t>(at), &distance);
  } else {
    if (t.slot->table->Get(key.datum(), *t.record) != 0) return Candidate::kSkipped;
    measured = t.Decode(t.record->Data(), t.record->Size(), &distance);
  }
  if (!measured) return Candidate::kUnmeasurable;
  switch (KvWeighDistance(t.rule, distance, term)) {
    case KvTermOutcome::kScored: return Candidate::kScored;
    case KvTermOutcome::kUnmeasurable: return Candidate::kUnmeasurable;
    case KvTermOutcome::kNegative: KvNegativeTerm(t.slot->feature); return Candidate::kFailed;
  }
  return Candidate::kFailed;
}

// Adds the terms of key to *total in order; the first outcome that is not a
// score ends the candidate, as in the table walk.
Candidate AddTerms(std::vector<Term>& terms, const KvKeyText& key, int64_t driver, double* total) {
  for (Term& t : terms) {
    double term = 0.0;
    const Candidate outcome = Measure(t, key, driver, &term);
    if (outcome != Candidate::kScored) return outcome;
    *total += term;
  }
  return Candidate::kScored;
}

int Tally(const KvSearchContext& context, Candidate outcome) {
  if (outcome == Candidate::kFailed) return -1;
  if (outcome == Candidate::kUnmeasurable) ++*context.unmeasured;
  return 0;
}

// Offers a scored candidate of a restricted search with the distance the
// restriction gave it (base): added in float after the term for a single
// feature, in double to the sum for a combined search.
void OfferCandidate(const KvKeyText& key, float base, double total, bool singleRules, bool addBase,
                    KvBestList* best) {
  float d;
  if (singleRules) {
    d = static_cast<float>(total);
    if (addBase) d += base;
  } else {
    if (addBase) total += static_cast<double>(base);
    d = static_cast<float>(total);
  }
  best->Offer(key.c_str(), key.size(), d);
}

// Makes the kernel of a term with a view. The feature's own Distance runs
// first on the first regular record of the view, which lets the feature set
// up what it sets up on first use (elements, parameters) and gives the value
// the kernel must match; a difference (which the kernel tests rule out)
// leaves the term to the feature.
void MakeKernel(Term& t) {
  size_t i = 0;
  const uint64_t* odd = t.view->OddPositions();
  for (size_t k = 0; k < t.view->OddCount() && odd[k] == i; ++k) ++i;
  if (i >= t.view->Count()) return;
  float own = 0.0f;
  size_t size = 0;
  const unsigned char* bytes = t.view->TableBytes(i, t.buffer.data(), &size);
  if (!t.Decode(bytes, size, &own)) return;
  t.kernel = KvSlotKernelFor(t.slot->feature, t.slot->parameters, t.view->Layout());
  if (t.kernel == nullptr) return;
  float fast = 0.0f;
  t.kernel->Distances(t.view->Slots(), t.view->Stride(), nullptr, i, 1, &fast);
  if (std::memcmp(&fast, &own, sizeof fast) != 0) t.kernel.reset();
}

// Makes the terms of slots; the first must have a view (false otherwise,
// nothing recorded). -1 in *rc for a failure (recorded).
bool MakeTerms(const std::vector<KvQuerySlot*>& slots, std::vector<Term>* terms, int* rc) {
  *rc = 0;
  terms->clear();
  terms->resize(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    Term& t = (*terms)[i];
    t.slot = slots[i];
    const char* className = t.slot->feature->GetClassName();
    t.view = KvScanAcquire(t.slot->table, className);
    if (i == 0 && t.view == nullptr) return false;
    t.holder.reset(KvCreateFeatureClass(className));
    if (t.holder == nullptr) {
      *rc = -1;
      return false;
    }
    t.rule = KvMakeTermRule(t.slot->feature, t.slot->parameters);
    if (t.view == nullptr) continue;
    t.aligned = t.view->SameKeys(*(*terms)[0].view);
    t.buffer.resize(KvScanLayoutById(t.view->Layout())->recordSize);
    MakeKernel(t);
  }
  return true;
}

// The key of position i of a view as a text (up to its first NUL).
void KeyAt(const KvScanView& view, size_t i, KvKeyText* key) {
  const char* k = view.Key(i);
  const size_t n = view.KeySize(i);
  const void* nul = std::memchr(k, '\0', n);
  key->Set(k, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - k) : n);
}

// ---- whole-table scans over threads -----------------------------------

struct Worker {
  explicit Worker(uint32_t n) : best(n) {}
  KvBestList best;
  uint64_t unmeasured = 0;
  std::vector<uint64_t> deferred;  // positions left to the main thread
  const KvFeatureClass* negative = nullptr;
  bool expired = false;
  bool outOfMemory = false;
};

// What a term's slots of one block are.
struct BlockTerm {
  float distance[kBlock];
  int64_t position[kBlock];  // -1: the key is not in the term's view
  uint64_t index[kBlock];
};

// The outcome of one candidate of a restricted search, measured on a thread
// and offered by the main thread in the candidates' order.
struct RowOutcome {
  Candidate outcome = Candidate::kSkipped;
  double total = 0.0;
  bool deferred = false;  // a record the kernels cannot read: the main thread measures it
  const KvFeatureClass* negative = nullptr;
};

// The rows of a threaded scan: the positions of the driving view (the terms'
// best lists keep what they take), or candidate keys (each text with its
// NUL) looked up in every view, whose outcomes go to rows.
struct Rows {
  const KvScanView* driver = nullptr;
  const std::vector<std::string>* keys = nullptr;
  RowOutcome* outcomes = nullptr;
};

// Scans rows [begin, end).
void ScanRange(const std::vector<Term>& terms, const Rows& rows, size_t begin, size_t end,
               const KvDeadline& deadline, const std::atomic<bool>& stop, Worker* w) {
  try {
    std::vector<BlockTerm> blocks(terms.size());
    std::string text;
    // The text of row p as the walk looks it up: with its NUL.
    auto keyText = [&](size_t p) -> const std::string& {
      if (rows.keys != nullptr) return (*rows.keys)[p];
      const char* key = rows.driver->Key(p);
      const size_t size = rows.driver->KeySize(p);
      const void* nul = std::memchr(key, '\0', size);
      text.assign(key, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - key) : size);
      text.push_back('\0');
      return text;
    };
    // A single term whose weighted distances go straight to the best list.
    const bool bounded = terms.size() == 1 && rows.outcomes == nullptr && terms[0].rule.weight > 0.0;
    size_t sinceLook = 0;
    for (size_t p = begin; p < end && !stop.load(std::memory_order_relaxed); p += kBlock) {
      const size_t n = std::min(kBlock, end - p);
      if ((sinceLook += n) >= kKvDeadlineBlock) {
        sinceLook = 0;
        if (deadline.Expired()) {
          w->expired = true;
          return;
        }
      }
      for (size_t k = 0; k < terms.size(); ++k) {
        const Term& t = terms[k];
        BlockTerm& b = blocks[k];
        if (t.aligned && rows.keys == nullptr) {
          for (size_t r = 0; r < n; ++r) b.position[r] = static_cast<int64_t>(p + r);
          // One term filling a full list: the kernel may give up on records
          // the list would refuse (their distance becomes +infinity, which
          // it refuses too).
          if (bounded && w->best.Count() == w->best.Capacity() && w->best.Worst() >= 0.0f) {
            t.kernel->BoundedDistances(t.view->Slots(), t.view->Stride(), nullptr, p, n, t.rule.weight,
                                       w->best.Worst(), b.distance);
          } else {
            t.kernel->Distances(t.view->Slots(), t.view->Stride(), nullptr, p, n, b.distance);
          }
          continue;
        }
        size_t found = 0;
        for (size_t r = 0; r < n; ++r) {
          const std::string& key = keyText(p + r);
          b.position[r] = t.view->Find(key.data(), key.size());
          if (b.position[r] >= 0) b.index[found++] = static_cast<uint64_t>(b.position[r]);
        }
        // Distances of the keys found, spread back to their rows.
        float packed[kBlock];
        t.kernel->Distances(t.view->Slots(), t.view->Stride(), b.index, 0, found, packed);
        for (size_t r = 0, j = 0; r < n; ++r) {
          if (b.position[r] >= 0) b.distance[r] = packed[j++];
        }
      }
      for (size_t r = 0; r < n; ++r) {
        double total = 0.0;
        Candidate outcome = Candidate::kScored;
        bool deferred = false;
        for (size_t k = 0; k < terms.size() && outcome == Candidate::kScored; ++k) {
          const Term& t = terms[k];
          const int64_t at = blocks[k].position[r];
          if (at < 0) {
            outcome = Candidate::kSkipped;
          } else if (t.view->OddCount() > 0 && t.view->OddIndex(static_cast<size_t>(at)) >= 0) {
            outcome = Candidate::kFailed;  // left to the main thread
            deferred = true;
          } else {
            double term = 0.0;
            switch (KvWeighDistance(t.rule, blocks[k].distance[r], &term)) {
              case KvTermOutcome::kScored: total += term; break;
              case KvTermOutcome::kUnmeasurable: outcome = Candidate::kUnmeasurable; break;
              case KvTermOutcome::kNegative:
                // Candidates after this one are never offered: the main
                // thread fails the search when it reaches it.
                w->negative = t.slot->feature;
                if (rows.outcomes != nullptr) {
                  rows.outcomes[p + r].outcome = Candidate::kFailed;
                  rows.outcomes[p + r].negative = t.slot->feature;
                }
                return;
            }
          }
        }
        if (rows.outcomes != nullptr) {
          RowOutcome& o = rows.outcomes[p + r];
          o.outcome = outcome;
          o.total = total;
          o.deferred = deferred;
          continue;
        }
        if (deferred) w->deferred.push_back(p + r);
        if (outcome == Candidate::kUnmeasurable) ++w->unmeasured;
        if (outcome != Candidate::kScored) continue;
        // A full list refuses a distance above its worst whatever the key:
        // most records end here, before their key is read.
        const float distance = static_cast<float>(total);
        if (w->best.Count() == w->best.Capacity() && distance > w->best.Worst()) continue;
        const std::string& key = keyText(p + r);
        w->best.OfferRanked(key.data(), key.size() - 1, distance);
      }
    }
  } catch (const std::bad_alloc&) {
    w->outOfMemory = true;
  }
}

// Runs ScanRange over count rows in contiguous ranges on threads threads
// (this one among them). A negative term stops every range only when the
// rows go to best lists: candidate outcomes are read in order up to the
// first failure, so each range must be complete up to its own.
std::vector<Worker> RunRanges(const std::vector<Term>& terms, const Rows& rows, size_t count, size_t threads,
                              uint32_t capacity) {
  const KvDeadline deadline = KvCurrentDeadline();
  std::atomic<bool> stop(false);
  std::vector<Worker> workers;
  workers.reserve(threads);
  for (size_t i = 0; i < threads; ++i) workers.emplace_back(capacity);
  auto run = [&](size_t i) {
    ScanRange(terms, rows, count * i / threads, count * (i + 1) / threads, deadline, stop, &workers[i]);
    const bool negative = workers[i].negative != nullptr && rows.outcomes == nullptr;
    if (negative || workers[i].expired || workers[i].outOfMemory) stop = true;
  };
  std::vector<std::thread> running;
  running.reserve(threads);
  for (size_t i = 1; i < threads; ++i) running.emplace_back(run, i);
  run(0);
  for (std::thread& t : running) t.join();
  return workers;
}

int ThreadedScan(const KvSearchContext& context, std::vector<Term>& terms, size_t threads, KvBestList* best) {
  Rows rows;
  rows.driver = terms[0].view.get();
  std::vector<Worker> workers = RunRanges(terms, rows, rows.driver->Count(), threads, best->Capacity());
  for (Worker& w : workers) {
    if (w.negative != nullptr) return KvNegativeTerm(w.negative);
  }
  for (Worker& w : workers) {
    if (w.expired) return KvDeadlineFail("KvQueryServerClass");
    if (w.outOfMemory) throw std::bad_alloc();
  }
  for (Worker& w : workers) {
    *context.unmeasured += w.unmeasured;
    best->Merge(w.best);
  }
  // Records the kernels cannot read, measured the table walk's way.
  KvKeyText key;
  for (Worker& w : workers) {
    for (uint64_t p : w.deferred) {
      KeyAt(*terms[0].view, static_cast<size_t>(p), &key);
      double total = 0.0;
      const Candidate outcome = AddTerms(terms, key, static_cast<int64_t>(p), &total);
      if (outcome == Candidate::kScored) best->OfferRanked(key.c_str(), key.size(), static_cast<float>(total));
      if (Tally(context, outcome) != 0) return -1;
    }
  }
  return 0;
}

// Threads for count rows: 0 when a term lacks a view or a kernel (the main
// thread then measures every row).
size_t ThreadsFor(const std::vector<Term>& terms, size_t count) {
  for (const Term& t : terms) {
    if (t.view == nullptr || t.kernel == nullptr) return 0;
  }
  size_t threads = static_cast<size_t>(KvScanThreads());
  const size_t grain = gRecordsPerThread.load();
  if (threads > count / grain) threads = count / grain;
  return threads < 1 ? 1 : threads;
}

// A restricted search on threads: the candidates are read in their set's
// order, measured in contiguous ranges on threads, then offered, counted and
// failed in that order by this thread, exactly as the one-thread walk does.
// 1 when the search is not worth threads (nothing done).
int ThreadedCandidates(const KvSearchContext& context, std::vector<Term>& terms, KvKeyDatabaseClass* candidates,
                       bool singleRules, KvBestList* best) {
  const long count = candidates->GetCount();
  if (count <= 0) return 1;
  const size_t threads = ThreadsFor(terms, static_cast<size_t>(count));
  if (threads < 2) return 1;
  std::vector<std::string> keys;
  std::vector<float> bases;
  keys.reserve(static_cast<size_t>(count));
  bases.reserve(static_cast<size_t>(count));
  int rc = KvQueryWalk(candidates, [&](const KvKeyText& key, const KvDatumClass& distanceView) {
    keys.emplace_back(key.c_str(), key.size() + 1);
    bases.push_back(candidates->GetDistance(distanceView));
    return 0;
  });
  if (rc != 0) return rc;
  std::vector<RowOutcome> outcomes(keys.size());
  Rows rows;
  rows.keys = &keys;
  rows.outcomes = outcomes.data();
  std::vector<Worker> workers = RunRanges(terms, rows, keys.size(), threads, best->Capacity());
  for (Worker& w : workers) {
    if (w.expired) return KvDeadlineFail("KvQueryServerClass");
    if (w.outOfMemory) throw std::bad_alloc();
  }
  const bool addBase = terms[0].rule.combine == 0;
  KvKeyText key;
  for (size_t i = 0; i < keys.size(); ++i) {
    const RowOutcome& o = outcomes[i];
    if (o.negative != nullptr) return KvNegativeTerm(o.negative);
    double total = o.total;
    Candidate outcome = o.outcome;
    key.Set(keys[i].data(), keys[i].size() - 1);
    if (o.deferred) {
      total = 0.0;
      outcome = AddTerms(terms, key, -1, &total);
    }
    if (outcome == Candidate::kScored) OfferCandidate(key, bases[i], total, singleRules, addBase, best);
    if (Tally(context, outcome) != 0) return -1;
  }
  return 0;
}

int Features(const KvSearchContext& context, std::vector<Term>& terms, KvKeyDatabaseClass* candidates,
             bool singleRules, KvBestList* best) {
  if (best->Capacity() == 0) return 0;
  if (candidates == nullptr) {
    const size_t threads = ThreadsFor(terms, terms[0].view->Count());
    if (threads > 0) return ThreadedScan(context, terms, threads, best);
    const KvScanView& driver = *terms[0].view;
    KvKeyText key;
    KvDeadlineTicker deadline(KvCurrentDeadline());
    for (size_t p = 0; p < driver.Count(); ++p) {
      if (deadline.Tick()) return KvDeadlineFail("KvQueryServerClass");
      KeyAt(driver, p, &key);
      double total = 0.0;
      const Candidate outcome = AddTerms(terms, key, static_cast<int64_t>(p), &total);
      if (outcome == Candidate::kScored) best->Offer(key.c_str(), key.size(), static_cast<float>(total));
      if (Tally(context, outcome) != 0) return -1;
    }
    return 0;
  }
  // Candidates are measured in the order of their set, as the walk offers
  // them.
  const int threaded = ThreadedCandidates(context, terms, candidates, singleRules, best);
  if (threaded != 1) return threaded;
  const bool addBase = terms[0].rule.combine == 0;
  return KvQueryWalk(candidates, [&](const KvKeyText& key, const KvDatumClass& distanceView) {
    double total = 0.0;
    const Candidate outcome = AddTerms(terms, key, -1, &total);
    if (outcome == Candidate::kScored) {
      OfferCandidate(key, candidates->GetDistance(distanceView), total, singleRules, addBase, best);
    }
    return Tally(context, outcome);
  });
}

}  // namespace

void KvScanSetRecordsPerThread(size_t records) { gRecordsPerThread = records > 0 ? records : kRecordsPerThread; }

int KvScanSearchFeatures(const KvSearchContext& context, const std::vector<KvQuerySlot*>& slots,
                         KvKeyDatabaseClass* candidates, bool singleRules, KvBestList* best) {
  if (slots.empty() || !KvScanFilesEnabled()) return 1;
  try {
    std::vector<Term> terms;
    int rc = 0;
    if (!MakeTerms(slots, &terms, &rc)) return rc != 0 ? rc : 1;
    return Features(context, terms, candidates, singleRules, best);
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "KvQueryServerClass");
    return -1;
  }
}

int KvScanSearchMixed(const KvSearchContext& context, const std::vector<KvQuerySlot*>& mainSlots,
                      const std::vector<KvQuerySlot*>& subSlots, KvKeyDatabaseClass* restriction,
                      KvKeyDatabaseClass* subPartRestriction, KvBestList* best) {
  if (subSlots.empty() || !KvScanFilesEnabled()) return 1;
  try {
    std::vector<Term> subs;
    std::vector<Term> mains;
    int rc = 0;
    if (!MakeTerms(subSlots, &subs, &rc)) return rc != 0 ? rc : 1;
    if (!mainSlots.empty() && !MakeTerms(mainSlots, &mains, &rc) && rc != 0) return rc;
    if (mains.size() != mainSlots.size()) {
      // The first main feature has no view: the others are read from the
      // tables all the same.
      mains.clear();
      mains.resize(mainSlots.size());
      for (size_t i = 0; i < mainSlots.size(); ++i) {
        mains[i].slot = mainSlots[i];
        mains[i].holder.reset(KvCreateFeatureClass(mainSlots[i]->feature->GetClassName()));
        if (mains[i].holder == nullptr) return -1;
        mains[i].rule = KvMakeTermRule(mainSlots[i]->feature, mainSlots[i]->parameters);
      }
    }
    for (Term& t : mains) t.aligned = false;  // parent keys are looked up
    if (best->Capacity() == 0) return 0;

    std::unordered_set<std::string> allowed;
    if (restriction != nullptr) {
      rc = KvQueryWalk(restriction, [&](const KvKeyText& key, const KvDatumClass&) {
        allowed.emplace(key.c_str(), key.size());
        return 0;
      });
      if (rc != 0) return rc;
    }
    const double divisor = static_cast<double>(mains.size() + subs.size());
    KvDatumClass parentDatum;
    KvKeyText parent;
    // A sub-part whose own terms gave outcome and total goes on to its
    // parent's terms.
    auto fromSubTerms = [&](const KvKeyText& subKey, Candidate outcome, double total) {
      if (outcome != Candidate::kScored) return outcome;
      if (context.catalog->GetSubPartParent(subKey.c_str(), parentDatum) != 0) return Candidate::kSkipped;
      parent.Set(parentDatum);
      if (restriction != nullptr && allowed.count(parent.c_str()) == 0) return Candidate::kSkipped;
      outcome = AddTerms(mains, parent, -1, &total);
      if (outcome != Candidate::kScored) return outcome;
      best->Offer(subKey.c_str(), subKey.size(), static_cast<float>(total / divisor));
      return Candidate::kScored;
    };
    auto candidate = [&](const KvKeyText& subKey, int64_t driver) {
      double total = 0.0;
      const Candidate outcome = AddTerms(subs, subKey, driver, &total);
      return fromSubTerms(subKey, outcome, total);
    };
    if (subPartRestriction != nullptr) {
      return KvQueryWalk(subPartRestriction, [&](const KvKeyText& key, const KvDatumClass&) {
        return Tally(context, candidate(key, -1));
      });
    }
    const KvScanView& driver = *subs[0].view;
    KvKeyText key;
    const size_t threads = ThreadsFor(subs, driver.Count());
    if (threads >= 2) {
      // The sub-parts' own terms on threads; their parents (looked up in the
      // catalog) and the parents' terms here, sub-part by sub-part in order.
      std::vector<RowOutcome> outcomes(driver.Count());
      Rows rows;
      rows.driver = &driver;
      rows.outcomes = outcomes.data();
      std::vector<Worker> workers = RunRanges(subs, rows, driver.Count(), threads, best->Capacity());
      for (Worker& w : workers) {
        if (w.expired) return KvDeadlineFail("KvQueryServerClass");
        if (w.outOfMemory) throw std::bad_alloc();
      }
      KvDeadlineTicker deadline(KvCurrentDeadline());
      for (size_t p = 0; p < driver.Count(); ++p) {
        if (deadline.Tick()) return KvDeadlineFail("KvQueryServerClass");
        const RowOutcome& o = outcomes[p];
        if (o.negative != nullptr) return KvNegativeTerm(o.negative);
        KeyAt(driver, p, &key);
        const Candidate outcome = o.deferred ? candidate(key, static_cast<int64_t>(p))
                                             : fromSubTerms(key, o.outcome, o.total);
        if (Tally(context, outcome) != 0) return -1;
      }
      return 0;
    }
    KvDeadlineTicker deadline(KvCurrentDeadline());
    for (size_t p = 0; p < driver.Count(); ++p) {
      if (deadline.Tick()) return KvDeadlineFail("KvQueryServerClass");
      KeyAt(driver, p, &key);
      if (Tally(context, candidate(key, static_cast<int64_t>(p))) != 0) return -1;
    }
    return 0;
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "KvQueryServerClass");
    return -1;
  }
}
