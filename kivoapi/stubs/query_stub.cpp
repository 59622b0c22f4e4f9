// Placeholder until query evaluation lands.
#include "core/KvError.h"
#include "query/KvQuery.h"

KvQueryServerClass::KvQueryServerClass(const KvConnectClass*) { valid_ = 0; }
KvQueryServerClass::~KvQueryServerClass() = default;
KvKeyDatabaseClass* KvQueryServerClass::Evaluate(const char*) {
  status_ = -1;
  return nullptr;
}
KvKeyDatabaseClass* KvQueryServerClass::EvaluateObjects(unsigned long, KvCatalogClass*, KvKeyDatabaseClass*,
                                                        KvKeyDatabaseClass*, int, KvGenericDataClass**,
                                                        KvFeatureClass**, KvParameterClass**) {
  status_ = -1;
  return nullptr;
}
int KvQueryServerClass::KeyDistance(const char*, float, float*) { return -1; }
int KvBuildQueryString(int, const char*, KvKeyDatabaseClass*, KvKeyDatabaseClass*, int, const char**,
                       KvParameterClass**, KvGenericDataClass**, KvDatumClass&) {
  KvError(KERR_General, KERR_Fatal, "query strings not available");
  return -1;
}
