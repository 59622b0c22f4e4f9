// One part's share of a query text's evaluation, search by search.
#include "query/KvQueryPart.h"

#include <new>

#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvDeadline.h"
#include "query/KvQueryRerank.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

KvQueryPartClass::KvQueryPartClass(const KvConnectClass* connection, KvCatalogClass* catalog) {
  state_.connection = connection;
  state_.ownCatalog = catalog;
  state_.catalog = catalog;
}

KvQueryPartClass::~KvQueryPartClass() {
  for (std::vector<KvQuerySlot>* slots : {&state_.main, &state_.subPart}) {
    for (KvQuerySlot& slot : *slots) {
      delete slot.table;
      delete slot.data;
      delete slot.parameters;
      delete slot.feature;
    }
  }
  if (state_.subPartRestriction != state_.restriction) delete state_.subPartRestriction;
  delete state_.restriction;
}

int KvQueryPartClass::Parse(const char* text) {
  if (state_.connection == nullptr || state_.catalog == nullptr || text == nullptr) {
    return KvQueryFail("KvQueryPartClass::Parse: no connection, catalog or query text");
  }
  if (!state_.main.empty() || !state_.subPart.empty() || state_.restriction != nullptr ||
      state_.subPartRestriction != nullptr) {
    return KvQueryFail("KvQueryPartClass::Parse: a part parses one query text");
  }
  try {
    const int rc = KvParseQueryText(state_, text);
    if (rc != 0) return rc;
    if (KvCurrentDeadline().Expired()) return KvDeadlineFail("KvQueryPartClass::Parse");
    if (!KvPlanStages(state_, &stages_)) return -1;
    return 0;
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "KvQueryPartClass::Parse");
    return -1;
  }
}

int KvQueryPartClass::RunSearch(size_t i, KvKeyDatabaseClass** result, bool* everyMatch) {
  *result = nullptr;
  *everyMatch = false;
  if (i >= stages_.size()) return KvQueryFail("KvQueryPartClass::RunSearch: no such search");
  try {
    const uint32_t shortlist = Shortlist();
    const KvSearchContext context{state_.connection, state_.catalog, state_.catalogName.c_str(),
                                  shortlist > 0 ? shortlist : state_.maxResults, &state_.unmeasured, everyMatch};
    const KvQueryStage& stage = stages_[i];
    return KvRunSearch(context, stage.main, stage.subPart, state_.restriction, state_.subPartRestriction, result);
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "KvQueryPartClass::RunSearch");
    return -1;
  }
}

void KvQueryPartClass::SetMerged(size_t i, KvKeyDatabaseClass* merged) {
  const bool main = i < stages_.size() && stages_[i].kind == KvQueryStage::Kind::kMain;
  const bool subPart = i < stages_.size() && stages_[i].kind == KvQueryStage::Kind::kSubPart;
  if (!main && !subPart) {
    // The last search's answer: nothing ranks it.
    delete merged;
    return;
  }
  KvKeyDatabaseClass*& restriction = main ? state_.restriction : state_.subPartRestriction;
  // The sub-part set is never the main one here: both were parsed apart.
  delete restriction;
  restriction = merged;
}

uint32_t KvQueryPartClass::Shortlist() const { return KvRerankPlanned(stages_, state_.maxResults); }

int KvQueryPartClass::ReadRecords(const std::vector<std::string>& keys,
                                  std::vector<std::vector<std::string>>* records, std::vector<char>* found) {
  found->assign(keys.size(), 1);
  try {
    const KvSearchContext context{state_.connection, state_.catalog, state_.catalogName.c_str(),
                                  state_.maxResults, &state_.unmeasured, nullptr};
    std::vector<KvQuerySlot*> main;
    for (KvQuerySlot& slot : state_.main) main.push_back(&slot);
    KvTableCloser closer;
    if (KvOpenTables(context, main, closer) != 0) return -1;
    records->assign(main.size(), {});
    for (size_t f = 0; f < main.size(); ++f) {
      std::vector<char> held;
      KvReadRecords(main[f]->table, keys, &(*records)[f], &held);
      for (size_t k = 0; k < keys.size(); ++k) (*found)[k] = (*found)[k] != 0 && held[k] != 0;
    }
    return 0;
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "KvQueryPartClass::ReadRecords");
    return -1;
  }
}

bool KvQueryPartClass::Rerank(const std::vector<std::vector<std::string>>& records, const std::vector<float>& distances,
                              std::vector<double>* scores) {
  if (records.size() != state_.main.size()) return false;
  try {
    std::vector<KvRerankTerm> terms;
    for (size_t f = 0; f < state_.main.size(); ++f) {
      terms.push_back(KvRerankTerm{state_.main[f].feature, state_.main[f].parameters, records[f]});
    }
    return KvRerankCandidates(terms, distances, scores);
  } catch (const std::bad_alloc&) {
    return false;
  }
}
