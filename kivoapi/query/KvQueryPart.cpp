// One part's share of a query text's evaluation, search by search.
#include "query/KvQueryPart.h"

#include <new>

#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvDeadline.h"
#include "query/KvQueryRerank.h"
#include "core/KvString.h"
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

uint32_t KvQueryPartClass::Shortlist() const {
  if (stages_.size() != 1 || stages_[0].kind != KvQueryStage::Kind::kWhole || !stages_[0].subPart.empty()) return 0;
  return KvRerankSize(stages_[0].main, state_.maxResults);
}

int KvQueryPartClass::ReadRecords(const std::vector<std::string>& keys,
                                  std::vector<std::vector<std::string>>* records, std::vector<char>* found) {
  records->assign(state_.main.size(), std::vector<std::string>(keys.size()));
  found->assign(keys.size(), 1);
  try {
    KvStringClass name(64ul, True);
    for (size_t f = 0; f < state_.main.size(); ++f) {
      KvQuerySlot& slot = state_.main[f];
      if (state_.catalog->GetFeatureTableName(slot.feature->GetClassName(), name) != 0) return -1;
      if (slot.table->Open(name.c_str(), "r") != 0) {
        std::string text = "KvQueryPartClass::ReadRecords: cannot open the feature table ";
        text += name.c_str();
        return KvQueryFail(text.c_str());
      }
      KvDatumClass record;
      for (size_t k = 0; k < keys.size(); ++k) {
        KvDatumClass key;
        key.SetBytes(keys[k].size() + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(keys[k].c_str())),
                     KvOwnNone);
        const int rc = slot.table->Get(key, record);
        key.SetBytes(0, nullptr, KvOwnNone);
        if (rc != 0) {
          (*found)[k] = 0;
          continue;
        }
        (*records)[f][k].assign(reinterpret_cast<const char*>(record.Data()), record.Size());
      }
      // Read only: a failed close loses nothing.
      slot.table->Close();
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
