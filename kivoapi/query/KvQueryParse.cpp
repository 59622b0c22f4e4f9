// Making the objects of a query text: the catalog, the restriction sets, and
// per term the feature, its parameter set and the data object the query
// feature is computed from.
#include <memory>
#include <string>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvDeadline.h"
#include "query/KvQueryInternal.h"
#include "query/KvQueryService.h"
#include "query/KvQueryText.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

// Hands an embedded text to a reader as a datum. The text is NUL-terminated
// in place for the call (the byte at `stop` is overwritten) and the byte is
// put back afterwards, so the readers see a C string and the query text ends
// up unchanged.
class TerminatedPiece {
 public:
  TerminatedPiece(std::string& text, size_t begin, size_t stop, bool countNul) : text_(text), stop_(stop) {
    saved_ = text_[stop_];  // text_[size()] is the string's own NUL
    text_[stop_] = '\0';
    datum_.SetBytes(stop - begin + (countNul ? 1 : 0), reinterpret_cast<unsigned char*>(&text_[begin]),
                    KvOwnNone);
  }
  ~TerminatedPiece() { text_[stop_] = saved_; }
  TerminatedPiece(const TerminatedPiece&) = delete;
  TerminatedPiece& operator=(const TerminatedPiece&) = delete;
  const KvDatumClass& datum() const { return datum_; }

 private:
  std::string& text_;
  size_t stop_;
  char saved_;
  KvDatumClass datum_;
};

int MakeRestriction(KvQueryServerClass::State& state, const KvQueryPiece& piece, KvKeyDatabaseClass** out) {
  KvKeyDatabaseClass* set = state.connection->NewKeyDatabase();
  if (set == nullptr) return -1;
  *out = set;  // owned by the state from here on, released by the reset
  // The key set text with its NUL counted, as the set's writer measures it.
  TerminatedPiece text(state.text, piece.begin, piece.end, true);
  return set->FromQueryString(text.datum());
}

// Steps 1 to 5 of one term. The slot is added to the state as soon as the
// feature exists, so the reset frees whatever a failure leaves behind.
int MakeTerm(KvQueryServerClass::State& state, const KvQueryTerm& term, std::vector<KvQuerySlot>& slots) {
  const std::string name(term.featureName);
  KvFeatureClass* feature = KvCreateFeatureClass(name.c_str());
  if (feature == nullptr) return -1;
  KvParameterClass* parms = KvCreateParameterClass(feature->GetParameterClassName());
  if (parms == nullptr) {
    delete feature;
    return -1;
  }
  int rc;
  {
    // The parameter reader takes "<" up to just before ">".
    TerminatedPiece text(state.text, term.parameters.begin, term.parameters.end - 1, false);
    rc = parms->FromQueryString(text.datum());
  }
  if (rc == 1) {
    // The reader stops at an item it does not know without a message of its
    // own; the caller of the query needs one.
    KvQueryFail(("KvQueryServerClass::Evaluate: unknown item in the parameter text of " + name).c_str());
  }
  KvDatumClass info;
  if (rc == 0) rc = state.catalog->GetGlobalFeatureInfo(name.c_str(), info);
  if (rc == 0) rc = feature->ParameterUpdateFromGlobalInfo(parms, info);
  if (rc != 0) {
    delete parms;
    delete feature;
    return rc;
  }
  slots.push_back(KvQuerySlot{feature, parms, nullptr, nullptr, 0});
  KvQuerySlot& slot = slots.back();

  slot.data = KvCreateGenericDataClass(feature->GetDataClassName());
  if (slot.data == nullptr) return -1;
  {
    // The data reader counts the NUL behind ">" as the writer does. The data
    // object may keep pointing into the text, which lives until the reset.
    TerminatedPiece text(state.text, term.data.begin, term.data.end, true);
    rc = slot.data->FromQueryString(text.datum(), name.c_str());
  }
  if (rc != 0) return rc;
  slot.data->SetQuerySide(True);
  return feature->ComputeFeature(slot.data, parms);
}

constexpr char kMalformed[] = "KvQueryServerClass::Evaluate: malformed query text: ";

}  // namespace

bool KvRefuseMalformedQuery(std::string_view prefix, bool whole, std::string* message) {
  // An unreadable time limit is what the evaluation would report first.
  if (KvQueryTimeLimitMs() < 0) return false;
  std::string error;
  if (whole) {
    KvQueryFrame frame;
    if (KvParseQueryFrame(prefix, &frame, &error)) return false;
  } else if (!KvQueryFrameRefused(prefix, &error)) {
    return false;
  }
  KvQueryFail((kMalformed + error).c_str());
  *message = GetErrorMSG();
  return true;
}

int KvParseQueryText(KvQueryServerClass::State& state, const char* queryText) {
  // The frame is read from the caller's text: a malformed one (however
  // large) is refused without a copy. A good one is copied, since its
  // pieces are terminated in place for their readers; the frame's offsets
  // hold in the copy.
  KvQueryFrame frame;
  std::string error;
  if (!KvParseQueryFrame(queryText, &frame, &error)) {
    return KvQueryFail((kMalformed + error).c_str());
  }
  state.text.assign(queryText);
  state.maxResults = frame.maxResults;
  state.catalogName.assign(frame.catalogName);
  state.catalog = state.ownCatalog;
  if (state.catalog->Open(state.catalogName.c_str()) != 0) return -1;

  int rc = 0;
  if (frame.hasRestriction) rc = MakeRestriction(state, frame.restriction, &state.restriction);
  if (rc == 0 && frame.hasSubPartRestriction) {
    rc = MakeRestriction(state, frame.subPartRestriction, &state.subPartRestriction);
  }
  if (rc != 0) return rc;
  // At most 16 terms of each kind: reserving keeps a failing push from
  // stranding a feature that was just made.
  state.main.reserve(frame.mainTerms.size());
  state.subPart.reserve(frame.subPartTerms.size());
  for (const KvQueryTerm& term : frame.mainTerms) {
    rc = MakeTerm(state, term, state.main);
    if (rc != 0) return rc;
  }
  for (const KvQueryTerm& term : frame.subPartTerms) {
    rc = MakeTerm(state, term, state.subPart);
    if (rc != 0) return rc;
  }
  for (std::vector<KvQuerySlot>* slots : {&state.main, &state.subPart}) {
    for (KvQuerySlot& slot : *slots) {
      slot.table = state.connection->NewDatabase();
      if (slot.table == nullptr) return -1;
    }
  }
  return 0;
}
