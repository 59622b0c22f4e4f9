// The three searches of the query server: single-feature, combined (several
// features of one kind) and mixed (sub-part and main features).
//
// The table walk is the engine's hot loop. It uses one cursor whose records
// are borrowed views (no allocation per record), decodes every stored record
// into one holder object per feature, and keeps the best N in a bounded heap
// that allocates only while it fills. Which records are ranked, skipped or
// counted as unmeasurable is decided by the rules of KvQueryRules.h.
#include <cfloat>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "core/KvString.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvBestList.h"
#include "query/KvDeadline.h"
#include "query/KvQueryInternal.h"
#include "query/KvQueryKernel.h"
#include "query/KvQueryRules.h"
#include "query/KvQueryWalk.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"
#include "scan/KvScanSearch.h"

namespace {

// The largest finite float: the bound a search starts from.
constexpr float kNoBound = FLT_MAX;

// A query feature with what its scan needs: the decoding holder, the rule
// by which its distances enter the ranking, and the scan kernel, chosen once
// per search.
struct Scorer {
  KvQuerySlot* slot;
  KvOwned<KvFeatureClass> holder;
  KvTermRule rule;
  std::unique_ptr<KvScanKernel> kernel;

  // Decodes record into the holder and asks the query feature. False when
  // the record does not decode.
  bool General(const KvDatumClass& record, float bound, float* distance) {
    if (holder->FromByteString(record) != 0) return false;
    *distance = slot->feature->Distance(holder.get(), slot->parameters, bound);
    return true;
  }

  // The weighted term of record (see KvQueryRules.h); a record that does not
  // decode cannot be measured.
  KvTermOutcome Score(const KvDatumClass& record, float bound, double* term) {
    float distance = 0.0f;
    if (kernel->Active() && kernel->Distance(record.Data(), record.Size(), &distance)) {
      if (kernel->WantsCheck()) {
        float general = 0.0f;
        const bool decoded = General(record, bound, &general);
        kernel->Checked(decoded && std::memcmp(&general, &distance, sizeof distance) == 0);
        if (!decoded) return KvTermOutcome::kUnmeasurable;
        distance = general;
      }
    } else if (!General(record, bound, &distance)) {
      return KvTermOutcome::kUnmeasurable;
    }
    return KvWeighDistance(rule, distance, term);
  }
};

bool MakeScorer(KvQuerySlot* slot, Scorer* scorer) {
  scorer->slot = slot;
  scorer->holder.reset(KvCreateFeatureClass(slot->feature->GetClassName()));
  if (scorer->holder == nullptr) return false;
  scorer->rule = KvMakeTermRule(slot->feature, slot->parameters);
  scorer->kernel.reset(new KvScanKernel(slot->feature));
  return true;
}

// What became of a candidate key.
enum class Candidate { kScored, kSkipped, kUnmeasurable, kFailed };

// Adds the weighted distances of every scorer for key to *total, fetching
// each record from the scorer's table by key; the first scorer's record may
// be at hand already (firstRecord). A missing record skips the key; a
// negative term fails the search (recorded).
Candidate AddTerms(std::vector<Scorer>& scorers, const KvKeyText& key, const KvDatumClass* firstRecord,
                   KvDatumClass& record, double* total) {
  for (size_t i = 0; i < scorers.size(); ++i) {
    const KvDatumClass* at = &record;
    if (i == 0 && firstRecord != nullptr) {
      at = firstRecord;
    } else if (scorers[i].slot->table->Get(key.datum(), record) != 0) {
      return Candidate::kSkipped;
    }
    double term = 0.0;
    switch (scorers[i].Score(*at, kNoBound, &term)) {
      case KvTermOutcome::kScored: break;
      case KvTermOutcome::kUnmeasurable: return Candidate::kUnmeasurable;
      case KvTermOutcome::kNegative: KvNegativeTerm(scorers[i].slot->feature); return Candidate::kFailed;
    }
    *total += term;
  }
  return Candidate::kScored;
}

// Turns the best list into a new result set.
int Emit(const KvSearchContext& context, KvBestList& best, KvKeyDatabaseClass** result) {
  KvOwned<KvKeyDatabaseClass> set(context.connection->NewKeyDatabase());
  if (set == nullptr) return -1;
  if (best.EmitTo(set.get()) != 0) return -1;
  *result = set.release();
  return 0;
}

// The result of one candidate for a walk: a failure ends it, an
// unmeasurable record is counted.
int Tally(const KvSearchContext& context, Candidate outcome) {
  if (outcome == Candidate::kFailed) return -1;
  if (outcome == Candidate::kUnmeasurable) ++*context.unmeasured;
  return 0;
}

int SingleSearch(const KvSearchContext& context, KvQuerySlot* slot, KvKeyDatabaseClass* restriction,
                 KvKeyDatabaseClass** result) {
  KvOwned<KvKeyDatabaseClass> own(context.connection->NewKeyDatabase());
  if (own == nullptr) return -1;
  int rc;
  {
    KvFatalErrorWatch watch;
    rc = slot->feature->SearchTable(slot->table, restriction, context.maxResults, context.catalogName,
                                    slot->parameters, own.get());
    if (watch.NewFatalError()) return -1;
  }
  if (rc == 0 && own->GetComplete() != 0) {
    // The feature's own search is the complete answer, taken as it stands.
    if (context.everyMatch != nullptr) *context.everyMatch = true;
    *result = own.release();
    return 0;
  }
  // A feature that searched but did not finish hands over its candidates.
  KvKeyDatabaseClass* candidates = restriction;
  if (rc == 0) {
    candidates = own.get();
  } else {
    own.reset();
  }

  KvBestList best(context.maxResults);
  rc = KvScanSearchFeatures(context, {slot}, candidates, true, &best);
  if (rc != 1) return rc != 0 ? rc : Emit(context, best, result);
  Scorer scorer;
  if (!MakeScorer(slot, &scorer)) return -1;
  if (context.maxResults == 0) return Emit(context, best, result);

  float bound = kNoBound;
  // Scores record and offers the key, adding the base distance unless C is set.
  auto candidate = [&](const KvKeyText& key, const KvDatumClass& record, float base) {
    double term = 0.0;
    switch (scorer.Score(record, bound, &term)) {
      case KvTermOutcome::kScored: break;
      case KvTermOutcome::kUnmeasurable: return Candidate::kUnmeasurable;
      case KvTermOutcome::kNegative: KvNegativeTerm(slot->feature); return Candidate::kFailed;
    }
    float d = static_cast<float>(term);
    if (scorer.rule.combine == 0) d += base;
    if (best.Offer(key.c_str(), key.size(), d) == 1) bound = best.Worst();
    return Candidate::kScored;
  };

  if (candidates == nullptr) {
    rc = KvQueryWalk(slot->table, [&](const KvKeyText& key, const KvDatumClass& record) {
      return Tally(context, candidate(key, record, 0.0f));
    });
  } else {
    KvDatumClass record;
    rc = KvQueryWalk(candidates, [&](const KvKeyText& key, const KvDatumClass& distanceView) {
      // A candidate without a stored record is skipped.
      if (slot->table->Get(key.datum(), record) != 0) return 0;
      return Tally(context, candidate(key, record, candidates->GetDistance(distanceView)));
    });
  }
  if (rc != 0) return rc;
  return Emit(context, best, result);
}

int CombinedSearch(const KvSearchContext& context, const std::vector<KvQuerySlot*>& slots,
                   KvKeyDatabaseClass* restriction, KvKeyDatabaseClass** result) {
  KvBestList best(context.maxResults);
  const int scanned = KvScanSearchFeatures(context, slots, restriction, false, &best);
  if (scanned != 1) return scanned != 0 ? scanned : Emit(context, best, result);
  std::vector<Scorer> scorers(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!MakeScorer(slots[i], &scorers[i])) return -1;
  }
  if (context.maxResults == 0) return Emit(context, best, result);

  KvDatumClass record;
  int rc;
  if (restriction == nullptr) {
    rc = KvQueryWalk(scorers[0].slot->table, [&](const KvKeyText& key, const KvDatumClass& view) {
      double total = 0.0;
      const Candidate outcome = AddTerms(scorers, key, &view, record, &total);
      if (outcome == Candidate::kScored) best.Offer(key.c_str(), key.size(), static_cast<float>(total));
      return Tally(context, outcome);
    });
  } else {
    const bool addBase = scorers[0].rule.combine == 0;
    rc = KvQueryWalk(restriction, [&](const KvKeyText& key, const KvDatumClass& distanceView) {
      double total = 0.0;
      const Candidate outcome = AddTerms(scorers, key, nullptr, record, &total);
      if (outcome == Candidate::kScored) {
        if (addBase) total += static_cast<double>(restriction->GetDistance(distanceView));
        best.Offer(key.c_str(), key.size(), static_cast<float>(total));
      }
      return Tally(context, outcome);
    });
  }
  if (rc != 0) return rc;
  return Emit(context, best, result);
}

int MixedSearch(const KvSearchContext& context, const std::vector<KvQuerySlot*>& mainSlots,
                const std::vector<KvQuerySlot*>& subSlots, KvKeyDatabaseClass* restriction,
                KvKeyDatabaseClass* subPartRestriction, KvKeyDatabaseClass** result) {
  KvBestList best(context.maxResults);
  const int scanned = KvScanSearchMixed(context, mainSlots, subSlots, restriction, subPartRestriction, &best);
  if (scanned != 1) return scanned != 0 ? scanned : Emit(context, best, result);
  std::vector<Scorer> subs(subSlots.size());
  std::vector<Scorer> mains(mainSlots.size());
  for (size_t i = 0; i < subSlots.size(); ++i) {
    if (!MakeScorer(subSlots[i], &subs[i])) return -1;
  }
  for (size_t i = 0; i < mainSlots.size(); ++i) {
    if (!MakeScorer(mainSlots[i], &mains[i])) return -1;
  }
  if (context.maxResults == 0) return Emit(context, best, result);

  // The image keys of the main restriction set, looked up once per candidate.
  std::unordered_set<std::string> allowed;
  if (restriction != nullptr) {
    const int rc = KvQueryWalk(restriction, [&](const KvKeyText& key, const KvDatumClass&) {
      allowed.emplace(key.c_str(), key.size());
      return 0;
    });
    if (rc != 0) return rc;
  }
  const double divisor = static_cast<double>(mains.size() + subs.size());
  KvDatumClass record;
  KvDatumClass parentDatum;
  KvKeyText parent;

  auto candidate = [&](const KvKeyText& subKey, const KvDatumClass* firstRecord) {
    double total = 0.0;
    Candidate outcome = AddTerms(subs, subKey, firstRecord, record, &total);
    if (outcome != Candidate::kScored) return outcome;
    if (context.catalog->GetSubPartParent(subKey.c_str(), parentDatum) != 0) return Candidate::kSkipped;
    parent.Set(parentDatum);
    if (restriction != nullptr && allowed.count(parent.c_str()) == 0) return Candidate::kSkipped;
    outcome = AddTerms(mains, parent, nullptr, record, &total);
    if (outcome != Candidate::kScored) return outcome;
    best.Offer(subKey.c_str(), subKey.size(), static_cast<float>(total / divisor));
    return Candidate::kScored;
  };

  int rc;
  if (subPartRestriction == nullptr) {
    rc = KvQueryWalk(subs[0].slot->table,
              [&](const KvKeyText& key, const KvDatumClass& view) { return Tally(context, candidate(key, &view)); });
  } else {
    rc = KvQueryWalk(subPartRestriction,
              [&](const KvKeyText& key, const KvDatumClass&) { return Tally(context, candidate(key, nullptr)); });
  }
  if (rc != 0) return rc;
  return Emit(context, best, result);
}

}  // namespace

KvTableCloser::~KvTableCloser() {
  // A read-only table has nothing to flush; a failed close loses nothing.
  for (KvDatabaseClass* table : open_) table->Close();
}

int KvOpenTables(const KvSearchContext& context, const std::vector<KvQuerySlot*>& slots, KvTableCloser& closer) {
  KvStringClass name(64ul, True);
  for (KvQuerySlot* slot : slots) {
    if (context.catalog->GetFeatureTableName(slot->feature->GetClassName(), name) != 0) return -1;
    if (slot->table->Open(name.c_str(), "r") != 0) {
      std::string text = "KvQueryServerClass: cannot open the feature table ";
      text += name.c_str();
      return KvQueryFail(text.c_str());
    }
    closer.Add(slot->table);
  }
  return 0;
}

int KvRunSearch(const KvSearchContext& context, const std::vector<KvQuerySlot*>& main,
                const std::vector<KvQuerySlot*>& subPart, KvKeyDatabaseClass* restriction,
                KvKeyDatabaseClass* subPartRestriction, KvKeyDatabaseClass** result) {
  *result = nullptr;
  if (main.empty() && subPart.empty()) return KvQueryFail("KvQueryServerClass: the query has no feature");
  KvTableCloser closer;
  int rc = KvOpenTables(context, main, closer);
  if (rc == 0) rc = KvOpenTables(context, subPart, closer);
  if (rc != 0) return rc;
  if (main.size() == 1 && subPart.empty()) return SingleSearch(context, main[0], restriction, result);
  if (subPart.size() == 1 && main.empty()) return SingleSearch(context, subPart[0], subPartRestriction, result);
  if (subPart.empty()) return CombinedSearch(context, main, restriction, result);
  if (main.empty()) return CombinedSearch(context, subPart, subPartRestriction, result);
  return MixedSearch(context, main, subPart, restriction, subPartRestriction, result);
}
