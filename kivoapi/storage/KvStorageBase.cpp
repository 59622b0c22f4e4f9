// Out-of-line destructors of the abstract storage interfaces.
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

KvConnectClass::~KvConnectClass() = default;
KvDatabaseClass::~KvDatabaseClass() = default;
KvDbIteratorClass::~KvDbIteratorClass() = default;
KvKeyDatabaseClass::~KvKeyDatabaseClass() = default;
