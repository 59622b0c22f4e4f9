// Placeholder until in-memory result sets land.
#include "storage/KvKeyDatabase.h"

KvKeyMemoryDatabaseClass::KvKeyMemoryDatabaseClass(const KvConnectClass* c) : KvKeyDatabaseClass(c) {}
KvKeyMemoryDatabaseClass::~KvKeyMemoryDatabaseClass() = default;
int KvKeyMemoryDatabaseClass::Open(const char*, const char*) { return -1; }
int KvKeyMemoryDatabaseClass::OpenForWrite(const char*) { return -1; }
int KvKeyMemoryDatabaseClass::Close() { return -1; }
int KvKeyMemoryDatabaseClass::Insert(const KvDatumClass&, const KvDatumClass&) { return -1; }
int KvKeyMemoryDatabaseClass::Update(const KvDatumClass&, const KvDatumClass&, Boolean) { return -1; }
int KvKeyMemoryDatabaseClass::Get(const KvDatumClass&, KvDatumClass&) { return -1; }
int KvKeyMemoryDatabaseClass::Delete(const KvDatumClass&) { return -1; }
KvDbIteratorClass* KvKeyMemoryDatabaseClass::NewIterator() { return nullptr; }
int KvKeyMemoryDatabaseClass::ToQueryString(KvDatumClass&) { return -1; }
int KvKeyMemoryDatabaseClass::FromQueryString(const KvDatumClass&) { return -1; }
int KvKeyMemoryDatabaseClass::ToKeyString(KvDatumClass&) { return -1; }
int KvKeyMemoryDatabaseClass::FromKeyString(const KvDatumClass&) { return -1; }
int KvKeyMemoryDatabaseClass::SetDistance(KvDatumClass&, float) { return -1; }
float KvKeyMemoryDatabaseClass::GetDistance(const KvDatumClass&) { return -2.0f; }
int KvKeyMemoryDatabaseClass::GetLast(KvDatumClass&, KvDatumClass&) { return 1; }
int KvKeyMemoryDatabaseClass::InsertKey(const char*, float) { return -1; }
int KvKeyMemoryDatabaseClass::DeleteLast() { return 1; }
float KvKeyMemoryDatabaseClass::LastDistance() const { return -1.0f; }
