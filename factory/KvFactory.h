// The class factory: objects by class name, and the one process-wide
// database connection. Every creation function returns a new object owned by
// the caller (released by its virtual destructor), or null with the reason in
// the error record.
#pragma once

class KvConnectClass;
class KvFeatureClass;
class KvGenericDataClass;
class KvParameterClass;
class KvQueryClass;

// The feature class names in factory order, null-terminated. The buffer is
// shared and rewritten by each call.
const char** KvListAllAvailableFeatures();
// The whole-image classes a catalog registers when a record is added to it
// before any class was: the colour histogram, draw, average colour, keyword
// and texture classes, in factory order, null-terminated. Static texts.
const char* const* KvListDefaultCatalogFeatures();
KvFeatureClass* KvCreateFeatureClass(const char* name);
KvConnectClass* KvCreateConnectClass(const char* name);
KvGenericDataClass* KvCreateGenericDataClass(const char* name);
KvParameterClass* KvCreateParameterClass(const char* name);
KvQueryClass* KvCreateQueryClass(const char* name);
// The cached process-wide connection, made and connected on first use. Never
// destroy it other than with KvDestroyConnection.
const KvConnectClass* KvGetConnection(const char* mode, const char* database,
                                      const char* connectClass);
// 0 when connection was the cached one (now destroyed), else -1.
int KvDestroyConnection(const KvConnectClass* connection);
