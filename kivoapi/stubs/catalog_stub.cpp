// Placeholder until the catalog lands: every operation fails.
#include "storage/KvCatalog.h"

KvCatalogClass::KvCatalogClass(const KvConnectClass* connection) : connection_(connection) { valid_ = 0; }
KvCatalogClass::~KvCatalogClass() = default;
int KvCatalogClass::GetFeatureCatalogName(const char*, KvStringClass&) const { return -1; }
int KvCatalogClass::GetSubPartCatalogName(const char*, KvStringClass&) const { return -1; }
int KvCatalogClass::GetFeatureTableName(const char*, KvStringClass&) const { return -1; }
int KvCatalogClass::GetFeatureIndexTableName(const char*, KvStringClass&) const { return -1; }
int KvCatalogClass::GetFeatureDistTableName(const char*, KvStringClass&) const { return -1; }
int KvCatalogClass::GetSamplerIndexName(KvStringClass&) const { return -1; }
int KvCatalogClass::GetSamplerTableName(const char*, KvStringClass&) const { return -1; }
int KvCatalogClass::GetSamplerFeatureName(const char*, KvDatabaseClass*, KvStringClass&) { return -1; }
int KvCatalogClass::CreateCatalog(const char*, int, int) { return -1; }
int KvCatalogClass::DeleteCatalog(const char*) { return -1; }
int KvCatalogClass::Open(const char*) { return -1; }
int KvCatalogClass::Close() { return -1; }
const char* KvCatalogClass::GetTableClassName() const { return nullptr; }
int KvCatalogClass::AddFeatureClass(const char*, int, int, int) { return -1; }
int KvCatalogClass::DeleteFeatureClass(const char*) { return -1; }
int KvCatalogClass::ListFeatures(KvDatumClass&) { return -1; }
int KvCatalogClass::AddRecord(const char*, KvGenericDataClass*, KvParameterClass**, int, const char*) { return -1; }
int KvCatalogClass::AddFeatureRecords(const char*, KvGenericDataClass*, KvFeatureClass**, KvParameterClass**, int*, int) { return -1; }
int KvCatalogClass::DeleteRecord(const char*, const char*) { return -1; }
int KvCatalogClass::DeleteRecord(const char*, KvFeatureClass**, int) { return -1; }
int KvCatalogClass::DeleteSubPartRecord(const char*) { return -1; }
int KvCatalogClass::GetFeature(const char*, KvFeatureClass*) { return -1; }
int KvCatalogClass::GetFeature(const char*, const char*, KvDatumClass&) { return -1; }
uint32_t KvCatalogClass::GetGlobalCounter1(const char*) { return 0; }
uint32_t KvCatalogClass::GetGlobalCounter2(const char*) { return 0; }
uint32_t KvCatalogClass::GetGlobalCounter3(const char*) { return 0; }
uint32_t KvCatalogClass::GetGlobalCounter4(const char*) { return 0; }
Boolean KvCatalogClass::KeyExists(const char*) { return False; }
int KvCatalogClass::GetGlobalFeatureInfo(const char*, KvDatumClass&) { return -1; }
int KvCatalogClass::PutGlobalFeatureInfo(const char*, const KvDatumClass&) { return -1; }
int KvCatalogClass::AddSubPartRecord(const char*, const char*, KvGenericDataClass*) { return -1; }
int KvCatalogClass::GetSubPartDefinition(const char*, KvGenericDataClass*) { return -1; }
int KvCatalogClass::GetSubPartKeys(const char*, unsigned long*, KvDatumClass&) { return -1; }
int KvCatalogClass::GetSubPartParent(const char*, KvDatumClass&) { return -1; }
int KvCatalogClass::AddSampler(const char*, const char*) { return -1; }
int KvCatalogClass::DeleteSampler(const char*) { return -1; }
int KvCatalogClass::ListSamplers(KvDatumClass&) { return -1; }
int KvCatalogClass::AddSamplerRecords(const char*, const char*, KvGenericDataClass*, KvParameterClass**, int) { return -1; }
int KvCatalogClass::DeleteSamplerRecords(const char*, const char*) { return -1; }
int KvCatalogClass::GetSamplerFeature(const char*, const char*, KvFeatureClass*) { return -1; }
int KvCatalogClass::GetSamplerRecord(const char*, const char*, KvDatumClass&) { return -1; }
