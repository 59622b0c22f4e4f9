// The rules by which stored records enter a ranking (see the header).
#include "query/KvQueryRules.h"

#include <cstdio>
#include <string>

#include "core/KvError.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"

KvTermRule KvMakeTermRule(const KvFeatureClass* feature, const KvParameterClass* parameters) {
  KvTermRule rule;
  rule.weight = parameters->GetW();
  rule.combine = parameters->GetC();
  // Only the keyword feature answers "no match"; for every image feature a
  // negative distance is a failure to measure.
  if (feature->IsClass("KvTextFeatureClass")) rule.noMatch = 1.0f;
  return rule;
}

int KvNegativeTerm(const KvFeatureClass* feature) {
  std::string text = "KvQueryServerClass: negative distance from feature ";
  text += feature->GetClassName();
  KvError(KERR_General, KERR_NonFatal, text.c_str());
  return -1;
}

void KvReportUnmeasured(uint64_t count) {
  if (count == 0) return;
  char text[160];
  std::snprintf(text, sizeof text,
                "KvQueryServerClass: %llu stored record%s could not be measured and %s left out",
                static_cast<unsigned long long>(count), count == 1 ? "" : "s", count == 1 ? "was" : "were");
  KvError(KERR_General, KERR_NonFatal, text);
}
