// The query server: evaluation of a query text or of the caller's objects,
// planning by group (O) and record count, cascades between groups, and the
// ownership of result sets across evaluations.
//
// Ownership. Restriction sets always belong to the query object. The result
// set of an evaluation belongs to the query object until its next
// evaluation; a cascade keeps each group's result as the next restriction
// set, so the final result may sit in the restriction slot (never destroyed
// twice). Evaluate destroys the previous result. EvaluateObjects hands the
// previous result to the caller instead (it survives the reset), and takes
// it back if the caller passes it in as a restriction set.
//
// The error record. The evaluator tests the record in exactly two places:
// after a feature's own table search, and after reading each feature's
// stored record count while planning. Both tests count only errors recorded
// during that call (KvFatalErrorWatch), so a severity-1 error left pending by
// earlier work of a long-lived process cannot fail a later query. A server
// that serves many queries should still clear the record before each one.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "core/KvString.h"
#include "data/KvGenericData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvDeadline.h"
#include "query/KvQuery.h"
#include "query/KvQueryInternal.h"
#include "query/KvQueryRules.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

int KvQueryFail(const char* text) {
  KvError(KERR_General, KERR_NonFatal, text);
  return -1;
}

KvFatalErrorWatch::KvFatalErrorWatch() {
  if (GetErrorMSGSeverity() != KERR_Fatal) return;
  wasFatal_ = true;
  number_ = GetErrorMSGNumber();
  message_ = GetErrorMSG();
  SetErrorMSGSeverity(KERR_NonFatal);
}

KvFatalErrorWatch::~KvFatalErrorWatch() {
  if (!wasFatal_ || GetErrorMSGSeverity() == KERR_Fatal) return;
  if (GetErrorMSGNumber() == number_ && message_ == GetErrorMSG()) SetErrorMSGSeverity(KERR_Fatal);
}

bool KvFatalErrorWatch::NewFatalError() const { return GetErrorMSGSeverity() == KERR_Fatal; }

namespace {

using Group = std::vector<KvQuerySlot*>;

// Sorts slots by O (equal O keeps the given order), cuts them into groups of
// equal O, asks each member for its distance hints (kept for the feature's
// own use; they steer nothing) and orders each group of two or more by
// stored record count, ascending, so the smallest table is walked. False
// when reading a count left a new fatal error.
bool Plan(KvQueryServerClass::State& state, std::vector<KvQuerySlot>& slots, KvKeyDatabaseClass* restriction,
          std::vector<Group>* groups) {
  Group sorted;
  for (KvQuerySlot& slot : slots) sorted.push_back(&slot);
  std::stable_sort(sorted.begin(), sorted.end(), [](const KvQuerySlot* a, const KvQuerySlot* b) {
    return a->parameters->GetO() < b->parameters->GetO();
  });
  groups->clear();
  for (KvQuerySlot* slot : sorted) {
    if (groups->empty() || groups->back().front()->parameters->GetO() != slot->parameters->GetO()) {
      groups->emplace_back();
    }
    groups->back().push_back(slot);
  }
  for (Group& group : *groups) {
    for (KvQuerySlot* slot : group) {
      slot->feature->GetDistanceHintForTable(slot->table, restriction, state.maxResults,
                                             state.catalogName.c_str(), slot->parameters);
      slot->feature->GetDistanceHintForParameters(slot->feature, slot->parameters, -1.0f);
      // A group of one has nothing to order: its count (one more opening of
      // the feature index) is not needed.
      if (group.size() < 2) continue;
      KvFatalErrorWatch watch;
      slot->records = state.catalog->GetGlobalCounter1(slot->feature->GetClassName());
      if (watch.NewFatalError()) return false;
    }
    std::stable_sort(group.begin(), group.end(),
                     [](const KvQuerySlot* a, const KvQuerySlot* b) { return a->records < b->records; });
  }
  return true;
}

// The deadline "KivoQueryTimeLimit" sets for one evaluation (none when it is
// unset). False, with the failure recorded, for a value that is no number of
// seconds: a limit the operator meant to set is not silently dropped.
bool DeadlineFromSetting(const char* site, KvDeadline* out) {
  const int64_t ms = KvQueryTimeLimitMs();
  if (ms < 0) {
    std::string text = site;
    text += ": KivoQueryTimeLimit is not a number of seconds";
    KvQueryFail(text.c_str());
    return false;
  }
  *out = KvDeadline::In(ms);
  return true;
}

Group Concat(const std::vector<Group>& groups) {
  Group all;
  for (const Group& g : groups) all.insert(all.end(), g.begin(), g.end());
  return all;
}

}  // namespace

bool KvPlanStages(KvQueryServerClass::State& state, std::vector<KvQueryStage>* stages) {
  using Kind = KvQueryStage::Kind;
  std::vector<Group> mainGroups;
  std::vector<Group> subGroups;
  if (!Plan(state, state.main, state.restriction, &mainGroups) ||
      !Plan(state, state.subPart, state.subPartRestriction, &subGroups)) {
    return false;
  }
  stages->clear();
  if (mainGroups.size() <= 1 && subGroups.size() <= 1) {
    stages->push_back(KvQueryStage{Kind::kWhole, Concat(mainGroups), Concat(subGroups)});
    return true;
  }
  for (const Group& group : mainGroups) stages->push_back(KvQueryStage{Kind::kMain, group, {}});
  for (const Group& group : subGroups) stages->push_back(KvQueryStage{Kind::kSubPart, {}, group});
  if (!mainGroups.empty() && !subGroups.empty()) {
    stages->push_back(KvQueryStage{Kind::kMixed, Concat(mainGroups), Concat(subGroups)});
  }
  return true;
}

KvQueryServerClass::KvQueryServerClass(const KvConnectClass* connection) {
  state_ = new (std::nothrow) State;
  if (state_ == nullptr) {
    KvError(KERR_NewFailed, KERR_Fatal, "KvQueryServerClass", "KvQueryServerClass()");
    valid_ = 0;
    return;
  }
  if (connection == nullptr) connection = KvGetConnection("r", nullptr, nullptr);
  state_->connection = connection;
  if (connection == nullptr) {
    valid_ = 0;
    return;
  }
  state_->ownCatalog = connection->NewCatalog();
  state_->catalog = state_->ownCatalog;
  if (state_->ownCatalog == nullptr) valid_ = 0;
}

KvQueryServerClass::~KvQueryServerClass() {
  if (state_ == nullptr) return;
  Reset(false);
  delete state_->ownCatalog;
  delete state_;
}

void KvQueryServerClass::Reset(bool keepResult) {
  State& s = *state_;
  for (std::vector<KvQuerySlot>* slots : {&s.main, &s.subPart}) {
    for (KvQuerySlot& slot : *slots) {
      delete slot.table;
      // Objects handed in by a caller are never destroyed here.
      if (s.ownsObjects) {
        delete slot.data;
        delete slot.parameters;
        delete slot.feature;
      }
    }
    slots->clear();
  }
  delete s.keyHolder;
  s.keyHolder = nullptr;
  if (s.keyTable != nullptr) s.keyTable->Close();  // read-only: nothing to lose
  delete s.keyTable;
  s.keyTable = nullptr;

  if (keepResult) {
    // The caller takes the previous result; it must not go down with the
    // restriction slot it may occupy after a cascade.
    if (result_ == s.restriction) s.restriction = nullptr;
    if (result_ == s.subPartRestriction) s.subPartRestriction = nullptr;
  } else if (s.ownsResult && result_ != s.restriction && result_ != s.subPartRestriction) {
    delete result_;
  }
  result_ = nullptr;
  if (s.subPartRestriction != s.restriction) delete s.subPartRestriction;
  delete s.restriction;
  s.restriction = nullptr;
  s.subPartRestriction = nullptr;

  // A catalog opened for a query text forgets its name; a caller's catalog
  // is only borrowed.
  if (s.ownsObjects && s.ownCatalog != nullptr) s.ownCatalog->Close();
  s.catalog = s.ownCatalog;
  s.text.clear();
  s.maxResults = 0;
  s.unmeasured = 0;
}

KvKeyDatabaseClass* KvQueryServerClass::Evaluate(const char* queryText) {
  status_ = 0;
  if (state_ == nullptr || valid_ == 0) {
    status_ = KvQueryFail("KvQueryServerClass::Evaluate: the query object is not valid");
    return nullptr;
  }
  try {
    Reset(false);
    state_->ownsObjects = True;
    state_->ownsResult = True;
    if (queryText == nullptr) {
      status_ = KvQueryFail("KvQueryServerClass::Evaluate: no query text");
      return nullptr;
    }
    // The limit covers the query's own features (decoding and computing an
    // image sent with the text) as well as the search.
    KvDeadline limit;
    if (!DeadlineFromSetting("KvQueryServerClass::Evaluate", &limit)) {
      status_ = -1;
      return nullptr;
    }
    KvDeadlineScope deadline(limit);
    status_ = KvParseQueryText(*state_, queryText);
    if (status_ != 0) return nullptr;
    // Reading the text's images may have used up the time: the search is
    // not started then.
    if (KvCurrentDeadline().Expired()) {
      status_ = KvDeadlineFail("KvQueryServerClass::Evaluate");
      return nullptr;
    }
    return Run();
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "KvQueryServerClass::Evaluate");
    status_ = -1;
    return nullptr;
  }
}

KvKeyDatabaseClass* KvQueryServerClass::EvaluateObjects(unsigned long n, KvCatalogClass* catalog,
                                                        KvKeyDatabaseClass* restriction,
                                                        KvKeyDatabaseClass* subPartRestriction, int count,
                                                        KvGenericDataClass** data, KvFeatureClass** features,
                                                        KvParameterClass** parameterSets) {
  status_ = 0;
  if (state_ == nullptr || valid_ == 0) {
    // Nobody else will release the sets handed over.
    if (subPartRestriction != restriction) delete subPartRestriction;
    delete restriction;
    status_ = KvQueryFail("KvQueryServerClass::EvaluateObjects: the query object is not valid");
    return nullptr;
  }
  try {
    Reset(true);
    State& s = *state_;
    s.ownsObjects = False;
    s.ownsResult = True;
    // The sets pass to the query object whatever happens next.
    s.restriction = restriction;
    s.subPartRestriction = subPartRestriction;
    if (restriction != nullptr && subPartRestriction == restriction) {
      s.subPartRestriction = nullptr;
      status_ = KvQueryFail("KvQueryServerClass::EvaluateObjects: one key set cannot restrict both kinds");
      return nullptr;
    }
    s.maxResults = n > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<uint32_t>(n);
    if (catalog == nullptr) {
      KvError(KERR_General, KERR_NonFatal, "Evaluate catalog class is not created");
      status_ = -1;
      return nullptr;
    }
    s.catalog = catalog;
    s.catalogName = catalog->GetName();
    if (count < 0 || (count > 0 && (data == nullptr || features == nullptr || parameterSets == nullptr))) {
      status_ = KvQueryFail("KvQueryServerClass::EvaluateObjects: features, data objects or parameter sets missing");
      return nullptr;
    }
    for (int i = 0; i < count; ++i) {
      if (data[i] == nullptr || features[i] == nullptr || parameterSets[i] == nullptr) {
        status_ = KvQueryFail("KvQueryServerClass::EvaluateObjects: a feature, data object or parameter set is null");
        return nullptr;
      }
    }
    KvDeadline limit;
    if (!DeadlineFromSetting("KvQueryServerClass::EvaluateObjects", &limit)) {
      status_ = -1;
      return nullptr;
    }
    KvDeadlineScope deadline(limit);
    // A caller's deadline may have passed already (its own reading of the
    // example images, an earlier search): nothing more is started then, and
    // neither after a feature computation that used up the time.
    if (KvCurrentDeadline().Expired()) {
      status_ = KvDeadlineFail("KvQueryServerClass::EvaluateObjects");
      return nullptr;
    }
    s.main.reserve(static_cast<size_t>(count));
    s.subPart.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      KvFeatureClass* feature = features[i];
      std::vector<KvQuerySlot>& slots = feature->IsSubPartFeature() ? s.subPart : s.main;
      slots.push_back(KvQuerySlot{feature, parameterSets[i], data[i], nullptr, 0});
      KvQuerySlot& slot = slots.back();
      status_ = slot.data->FromQueryString(feature->GetClassName());
      if (status_ != 0) return nullptr;
      slot.data->SetQuerySide(True);
      status_ = feature->ComputeFeature(slot.data, slot.parameters);
      if (status_ != 0) return nullptr;
      if (KvCurrentDeadline().Expired()) {
        status_ = KvDeadlineFail("KvQueryServerClass::EvaluateObjects");
        return nullptr;
      }
      // A catalog without global information for the feature leaves the
      // parameters as the caller set them; the table search reports a
      // feature that is really missing.
      KvDatumClass info;
      if (catalog->GetGlobalFeatureInfo(feature->GetClassName(), info) == 0) {
        feature->ParameterUpdateFromGlobalInfo(slot.parameters, info);
      }
      slot.table = s.connection->NewDatabase();
      if (slot.table == nullptr) {
        status_ = -1;
        return nullptr;
      }
    }
    return Run();
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "KvQueryServerClass::EvaluateObjects");
    status_ = -1;
    return nullptr;
  }
}

// Plans the features and runs one search, or a cascade of group searches.
KvKeyDatabaseClass* KvQueryServerClass::Run() {
  if (status_ != 0) return nullptr;
  State& s = *state_;
  std::vector<KvQueryStage> stages;
  if (!KvPlanStages(s, &stages)) {
    status_ = -1;
    return nullptr;
  }
  s.unmeasured = 0;
  const KvSearchContext context{s.connection, s.catalog, s.catalogName.c_str(), s.maxResults, &s.unmeasured,
                                nullptr};
  for (const KvQueryStage& stage : stages) {
    // A search uses the restriction set of the kinds it has features of.
    KvKeyDatabaseClass* found = nullptr;
    // A search of main features alone may ask for its shortlist re-ranked.
    const uint32_t shortlist = KvRerankPlanned(stages, s.maxResults);
    KvSearchContext search = context;
    if (shortlist > 0) search.maxResults = shortlist;
    status_ = KvRunSearch(search, stage.main, stage.subPart, s.restriction, s.subPartRestriction, &found);
    if (status_ == 0 && shortlist > 0) {
      status_ = KvRerankFound(context, stage.main, s.maxResults, &found);
      if (status_ != 0) delete found;
    }
    if (status_ != 0) return nullptr;
    result_ = found;
    s.ownsResult = True;
    if (stage.kind == KvQueryStage::Kind::kMain || stage.kind == KvQueryStage::Kind::kSubPart) {
      // During a cascade the result is always one of the restriction sets
      // (or still null), so replacing the restriction releases it once.
      KvKeyDatabaseClass*& restriction =
          stage.kind == KvQueryStage::Kind::kMain ? s.restriction : s.subPartRestriction;
      delete restriction;
      restriction = found;
      s.ownsResult = False;
    }
  }
  KvReportUnmeasured(s.unmeasured);
  return result_;
}

uint64_t KvQueryServerClass::GetUnmeasuredRecords() const { return state_ != nullptr ? state_->unmeasured : 0; }

int KvQueryServerClass::KeyDistance(const char* key, float bound, float* distance) {
  if (state_ == nullptr || key == nullptr || distance == nullptr) {
    return KvQueryFail("KvQueryServerClass::KeyDistance: missing key or distance");
  }
  State& s = *state_;
  if (s.main.empty()) return KvQueryFail("KvQueryServerClass::KeyDistance: no main feature evaluated");
  KvQuerySlot& first = s.main.front();
  try {
    if (s.keyHolder == nullptr) {
      KvStringClass name(64ul, True);
      s.keyHolder = KvCreateFeatureClass(first.feature->GetClassName());
      if (s.keyHolder == nullptr) return -1;
      s.keyTable = s.connection->NewDatabase();
      if (s.keyTable == nullptr ||
          s.catalog->GetFeatureTableName(first.feature->GetClassName(), name) != 0 ||
          s.keyTable->Open(name.c_str(), "r") != 0) {
        delete s.keyHolder;
        delete s.keyTable;
        s.keyHolder = nullptr;
        s.keyTable = nullptr;
        return KvQueryFail("KvQueryServerClass::KeyDistance: cannot open the feature table");
      }
    }
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, 0, "KvQueryServerClass::KeyDistance");
    return -1;
  }
  KvDatumClass keyDatum;
  keyDatum.SetBytes(std::strlen(key) + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(key)), KvOwnNone);
  KvDatumClass record;
  int rc = s.keyTable->Get(keyDatum, record);
  if (rc != 0) return rc;
  rc = s.keyHolder->FromByteString(record);
  if (rc != 0) return rc;
  *distance = first.feature->Distance(s.keyHolder, first.parameters, bound);
  return *distance < 0.0f ? -1 : 0;
}
