// The searches of the query evaluator on the scan path: the same single,
// combined and mixed searches as the table walk, reading the records from
// scan views (KvScanStore.h) instead of the B-tree tables, measuring them
// with the SIMD kernels, and splitting whole-table scans across threads.
//
// Results are those of the table walk, key for key and bit for bit: every
// record is ranked, skipped or counted by the rules of KvQueryRules.h, terms
// are added in the same order and precision, and lists kept by threads are
// merged by the order of the best list (KvBestList::Merge).
#pragma once

#include <cstddef>
#include <vector>

class KvBestList;
class KvKeyDatabaseClass;
struct KvQuerySlot;
struct KvSearchContext;

// A single-feature or combined search: slots[0] drives (its table is walked,
// or the candidates are), the others are looked up by key. singleRules
// selects the arithmetic of the single-feature search (the restriction's
// distance added in float after the term) rather than the combined one (in
// double, to the sum). 1 when the search is not for the scan path (scan
// files off, or slots[0] has no current scan view): nothing was done and
// the caller walks the tables. 0 with the candidates in *best; -1 failed
// (recorded).
int KvScanSearchFeatures(const KvSearchContext& context, const std::vector<KvQuerySlot*>& slots,
                         KvKeyDatabaseClass* candidates, bool singleRules, KvBestList* best);

// The mixed search of sub-part features (subSlots[0] drives) and main
// features looked up by each sub-part's parent key. Results as
// KvScanSearchFeatures.
int KvScanSearchMixed(const KvSearchContext& context, const std::vector<KvQuerySlot*>& mainSlots,
                      const std::vector<KvQuerySlot*>& subSlots, KvKeyDatabaseClass* restriction,
                      KvKeyDatabaseClass* subPartRestriction, KvBestList* best);

// Fewer records than this per thread are scanned on fewer threads (0: the
// default, 16384). For tests.
void KvScanSetRecordsPerThread(size_t records);
