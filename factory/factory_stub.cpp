// Placeholder until the class factory lands: every request fails cleanly.
#include "KvFactory.h"

#include "core/KvError.h"

namespace {
void Unavailable(const char* what) { KvError(KERR_General, KERR_Fatal, what); }
}  // namespace

const char** KvListAllAvailableFeatures() {
  static const char* none[] = {nullptr};
  return none;
}
KvFeatureClass* KvCreateFeatureClass(const char* name) {
  KvError(KERR_UnknownFeatureClass, KERR_NonFatal, name != nullptr ? name : "(null)");
  return nullptr;
}
KvConnectClass* KvCreateConnectClass(const char*) { Unavailable("class factory not available"); return nullptr; }
KvGenericDataClass* KvCreateGenericDataClass(const char*) { Unavailable("class factory not available"); return nullptr; }
KvParameterClass* KvCreateParameterClass(const char*) { Unavailable("class factory not available"); return nullptr; }
KvQueryClass* KvCreateQueryClass(const char*) { Unavailable("class factory not available"); return nullptr; }
const KvConnectClass* KvGetConnection(const char*, const char*, const char*) {
  Unavailable("class factory not available");
  return nullptr;
}
int KvDestroyConnection(const KvConnectClass*) { return -1; }
