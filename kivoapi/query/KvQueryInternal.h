// Internal state and helpers of the query server, shared by its source files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/KvBase.h"
#include "core/KvError.h"
#include "query/KvQuery.h"

class KvCatalogClass;
class KvConnectClass;
class KvDatabaseClass;
class KvFeatureClass;
class KvGenericDataClass;
class KvKeyDatabaseClass;
class KvParameterClass;

// One feature of an evaluation: the query feature, its parameter set, the
// data object it was computed from, and its feature table (always owned by
// the query object; the other three only when made from a query text).
struct KvQuerySlot {
  KvFeatureClass* feature = nullptr;
  KvParameterClass* parameters = nullptr;
  KvGenericDataClass* data = nullptr;
  KvDatabaseClass* table = nullptr;
  uint32_t records = 0;  // stored record count, read while planning
};

struct KvQueryServerClass::State {
  const KvConnectClass* connection = nullptr;
  // Made at construction, used for query texts, destroyed with the object.
  KvCatalogClass* ownCatalog = nullptr;
  // The catalog of the current evaluation: ownCatalog, or the caller's
  // (borrowed) for EvaluateObjects.
  KvCatalogClass* catalog = nullptr;
  Boolean ownsObjects = True;
  Boolean ownsResult = True;
  uint32_t maxResults = 0;
  std::string catalogName;
  // Restriction sets belong to the query object.
  KvKeyDatabaseClass* restriction = nullptr;
  KvKeyDatabaseClass* subPartRestriction = nullptr;
  std::vector<KvQuerySlot> main;
  std::vector<KvQuerySlot> subPart;
  // Private copy of the query text: data objects parsed from it may refer to
  // their payload in place until the next reset.
  std::string text;
  // KeyDistance's decoding holder and table, made on first use.
  KvFeatureClass* keyHolder = nullptr;
  KvDatabaseClass* keyTable = nullptr;
  // Stored records the last evaluation left out because they could not be
  // measured.
  uint64_t unmeasured = 0;
};

// What a search needs besides its features.
struct KvSearchContext {
  const KvConnectClass* connection;
  KvCatalogClass* catalog;
  const char* catalogName;
  uint32_t maxResults;
  // Counts the stored records the search could not measure (KvQueryRules.h).
  uint64_t* unmeasured;
  // When set, tells whether the answer is a feature's own complete search
  // (every match, however many) rather than the best maxResults.
  bool* everyMatch = nullptr;
};

// Opens the tables of the given features, runs the single-feature, combined
// or mixed search they call for, and closes the tables again. *result
// receives a new result set owned by the caller. 0, or a non-zero failure
// with the error record set.
int KvRunSearch(const KvSearchContext& context, const std::vector<KvQuerySlot*>& main,
                const std::vector<KvQuerySlot*>& subPart, KvKeyDatabaseClass* restriction,
                KvKeyDatabaseClass* subPartRestriction, KvKeyDatabaseClass** result);

// Closes the feature tables given to it when it goes, whatever way a
// search ends.
class KvTableCloser {
 public:
  KvTableCloser() = default;
  ~KvTableCloser();
  KvTableCloser(const KvTableCloser&) = delete;
  KvTableCloser& operator=(const KvTableCloser&) = delete;
  void Add(KvDatabaseClass* table) { open_.push_back(table); }

 private:
  std::vector<KvDatabaseClass*> open_;
};

// Opens the feature tables of slots for reading, each handed to closer. 0,
// or -1 with the failure recorded.
int KvOpenTables(const KvSearchContext& context, const std::vector<KvQuerySlot*>& slots, KvTableCloser& closer);

// Replaces *found (the search's shortlist, by distance) by a new set of its
// best maxResults re-ranked by shared neighbourhoods (KvRerank.h), their
// scores as distances; the candidates' records are read from the features'
// tables (opened and closed here). A shortlist whose records cannot all be
// read or measured keeps its order. 0, or -1 (recorded) when a set or table
// cannot be read or made.
int KvRerankFound(const KvSearchContext& context, const std::vector<KvQuerySlot*>& main, uint32_t maxResults,
                  KvKeyDatabaseClass** found);

// One search of an evaluation. Features of one group (one O) and kind are
// searched together; groups of different O cascade, each ranking the result
// of the one before it, which becomes its kind's restriction set:
//   kWhole    every feature at once (one group of each kind at most), with
//             both restriction sets
//   kMain     one group of main features, ranking the main restriction set
//   kSubPart  one group of sub-part features, ranking the sub-part set
//   kMixed    after both cascades, every feature with both sets
struct KvQueryStage {
  enum class Kind { kWhole, kMain, kSubPart, kMixed };
  Kind kind = Kind::kWhole;
  std::vector<KvQuerySlot*> main;
  std::vector<KvQuerySlot*> subPart;
};

// The shortlist the planned searches are to answer for re-ranking
// (KvRerankSize of their main features), or 0: only a plan of one whole
// search of main features is re-ranked; cascades and sub-part features keep
// the distance order.
uint32_t KvRerankPlanned(const std::vector<KvQueryStage>& stages, uint32_t maxResults);

// The searches the features of state call for, in the order they run,
// planned by group and stored record count. False when reading a count left
// a new fatal error.
bool KvPlanStages(KvQueryServerClass::State& state, std::vector<KvQueryStage>* stages);

// Parses queryText into state (which must have been reset): opens the
// catalog, makes the restriction sets, the features with their parameter
// sets and data objects, and one table object per feature. 0, or the status.
int KvParseQueryText(KvQueryServerClass::State& state, const char* queryText);

// Records a query failure (10001, severity 0) naming the site. Returns -1.
int KvQueryFail(const char* text);

// Tells whether a call left a new error of severity 1 pending. A fatal error
// already pending when the watch starts is set aside for the duration (its
// severity lowered) and put back afterwards when nothing new was recorded,
// so an old error cannot make a later check fail and a check cannot lose an
// old error.
class KvFatalErrorWatch {
 public:
  KvFatalErrorWatch();
  ~KvFatalErrorWatch();
  KvFatalErrorWatch(const KvFatalErrorWatch&) = delete;
  KvFatalErrorWatch& operator=(const KvFatalErrorWatch&) = delete;
  bool NewFatalError() const;

 private:
  bool wasFatal_ = false;
  KERR_Type number_ = KERR_Type(0);
  std::string message_;
};
