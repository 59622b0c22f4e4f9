// How the distance of one stored record from one query feature enters a
// ranking. Every scan of the query server (the table walk, and any faster
// path over the same records) decides through these helpers, so that all
// of them rank and skip exactly the same records.
//
// - A record that is missing for a feature skips its key (not counted).
// - A record that cannot be decoded, or whose distance is negative or not a
//   number, cannot be measured: its key is skipped and counted, and the count
//   is reported once per evaluation at severity 0 (KvReportUnmeasured).
// - The keyword feature answers -1.0 for "no match"; beside image features
//   that stands for its largest distance, 1.0 (no query word found), so a
//   key without the keywords ranks last instead of failing the query.
// - The weighted term W x distance (in double) must not be negative: a
//   negative weight fails the query (KvNegativeTerm).
#pragma once

#include <cstdint>

class KvFeatureClass;
class KvParameterClass;

struct KvTermRule {
  double weight = 1.0;  // W
  int combine = 0;      // C: 0 adds the restriction set's distance
  // The distance a "no match" answer (-1.0) stands for; negative when a
  // negative distance from this feature means the record cannot be measured.
  float noMatch = -1.0f;
};

// The rule of a query feature with its parameter set.
KvTermRule KvMakeTermRule(const KvFeatureClass* feature, const KvParameterClass* parameters);

enum class KvTermOutcome {
  kScored,        // *term holds the weighted distance
  kUnmeasurable,  // skip the key and count it
  kNegative,      // the weighted term is negative: the query fails
};

// Turns a feature's distance of a decoded record into the weighted term.
inline KvTermOutcome KvWeighDistance(const KvTermRule& rule, float distance, double* term) {
  if (!(distance >= 0.0f)) {
    if (distance != -1.0f || rule.noMatch < 0.0f) return KvTermOutcome::kUnmeasurable;
    distance = rule.noMatch;
  }
  *term = rule.weight * static_cast<double>(distance);
  return *term >= 0.0 ? KvTermOutcome::kScored : KvTermOutcome::kNegative;
}

// Records the failure of a query whose feature gave a negative weighted term
// (10001, severity 0). Returns -1.
int KvNegativeTerm(const KvFeatureClass* feature);

// Records, when count is not 0, that count stored records could not be
// measured and were left out (10001, severity 0; the evaluation still
// succeeds).
void KvReportUnmeasured(uint64_t count);
