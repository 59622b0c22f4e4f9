// The changing operations of a catalog: each runs as one write scope of the
// storage environment, so that it takes effect as a whole or not at all.
#include "storage/KvCatalog.h"

#include "storage/KvConnect.h"
#include "storage/KvStoreEnv.h"

int KvCatalogClass::InScope(const std::function<int()>& body) {
  KvStoreWriteScope scope(connection_);
  if (!scope.Ok()) return -1;
  return scope.Finish(body());
}

// Removals keep what they took out even when they report a failure (a garbled
// entry is still removed, a missing one does not undo the others); only a
// failure of the storage itself rolls them back.
int KvCatalogClass::InScopeKeeping(const std::function<int()>& body) {
  KvStoreWriteScope scope(connection_);
  if (!scope.Ok()) return -1;
  const int rc = body();
  const int committed = scope.Commit();
  return rc != 0 ? rc : committed;
}

int KvCatalogClass::CreateCatalog(const char* catalog, int a, int b) {
  return InScope([&] { return DoCreateCatalog(catalog, a, b); });
}

int KvCatalogClass::DeleteCatalog(const char* catalog) {
  return InScopeKeeping([&] { return DoDeleteCatalog(catalog); });
}

int KvCatalogClass::AddFeatureClass(const char* feature, int a, int b, int c) {
  return InScope([&] { return DoAddFeatureClass(feature, a, b, c); });
}

int KvCatalogClass::DeleteFeatureClass(const char* feature) {
  return InScopeKeeping([&] { return DoDeleteFeatureClass(feature); });
}

int KvCatalogClass::AddRecord(const char* key, KvGenericDataClass* data, KvParameterClass** parameters, int mode, const char* features) {
  return InScope([&] { return DoAddRecord(key, data, parameters, mode, features); });
}

int KvCatalogClass::AddFeatureRecords(const char* key, KvGenericDataClass* data, KvFeatureClass** featureObjects, KvParameterClass** parameterObjects, int* count, int mode) {
  return InScope([&] { return DoAddFeatureRecords(key, data, featureObjects, parameterObjects, count, mode); });
}

int KvCatalogClass::DeleteRecord(const char* key, const char* features) {
  return InScopeKeeping([&] { return DoDeleteRecord(key, features); });
}

int KvCatalogClass::DeleteRecord(const char* key, KvFeatureClass** featureObjects, int count) {
  return InScopeKeeping([&] { return DoDeleteRecord(key, featureObjects, count); });
}

int KvCatalogClass::DeleteSubPartRecord(const char* subPartKey) {
  return InScopeKeeping([&] { return DoDeleteSubPartRecord(subPartKey); });
}

int KvCatalogClass::PutGlobalFeatureInfo(const char* feature, const KvDatumClass& block) {
  return InScope([&] { return DoPutGlobalFeatureInfo(feature, block); });
}

int KvCatalogClass::AddSubPartRecord(const char* parentKey, const char* subPartKey, KvGenericDataClass* imageData) {
  return InScope([&] { return DoAddSubPartRecord(parentKey, subPartKey, imageData); });
}

int KvCatalogClass::AddSampler(const char* sampler, const char* feature) {
  return InScope([&] { return DoAddSampler(sampler, feature); });
}

int KvCatalogClass::DeleteSampler(const char* sampler) {
  return InScopeKeeping([&] { return DoDeleteSampler(sampler); });
}

int KvCatalogClass::ListSamplers(KvDatumClass& out) {
  return InScopeKeeping([&] { return DoListSamplers(out); });
}

int KvCatalogClass::AddSamplerRecords(const char* key, const char* samplers, KvGenericDataClass* data, KvParameterClass** parameters, int mode) {
  return InScope([&] { return DoAddSamplerRecords(key, samplers, data, parameters, mode); });
}

int KvCatalogClass::DeleteSamplerRecords(const char* key, const char* samplers) {
  return InScopeKeeping([&] { return DoDeleteSamplerRecords(key, samplers); });
}
