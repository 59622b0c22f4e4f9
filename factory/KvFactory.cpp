// Class factory: objects by class name and the process-wide connection.
//
// The library is otherwise single-threaded, but a multi-threaded server may
// ask for the shared connection (and the feature list) from several threads
// at once, so those two statics are guarded by one lock.
#include "KvFactory.h"

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "features/KvFeatureFactories.h"
#include "query/KvQuery.h"
#include "storage/KvConnect.h"

namespace {

struct FeatureEntry {
  const char* name;
  KvFeatureClass* (*create)();
  // Taken by a catalog that gets a record before any class was added to it.
  bool catalogDefault;
};

// Factory order: the first match wins, and the list of available features
// comes out in this order. The descriptor classes are stored only where they
// are asked for, so a catalog built without a feature list holds the same
// tables whatever classes the factory has grown since.
const FeatureEntry kFeatures[] = {
    {"KvColorHistogramFeatureClass", NewKvColorHistogramFeatureClass, true},
    {"KvDrawFeatureClass", NewKvDrawFeatureClass, true},
    {"KvColorFeatureClass", NewKvColorFeatureClass, true},
    {"KvTextFeatureClass", NewKvTextFeatureClass, true},
    {"KvTextureFeatureClass", NewKvTextureFeatureClass, true},
    {"KvColorHistogramSubPartFeatureClass", NewKvColorHistogramSubPartFeatureClass, false},
    {"KvColorSubPartFeatureClass", NewKvColorSubPartFeatureClass, false},
    {"KvTextureSubPartFeatureClass", NewKvTextureSubPartFeatureClass, false},
    {"KvHsvHistogramFeatureClass", NewKvHsvHistogramFeatureClass, false},
    {"KvEdgeHistogramFeatureClass", NewKvEdgeHistogramFeatureClass, false},
    {"KvColorEdgeFeatureClass", NewKvColorEdgeFeatureClass, false},
    {"KvCorrelogramFeatureClass", NewKvCorrelogramFeatureClass, false},
    {"KvHsvBandsFeatureClass", NewKvHsvBandsFeatureClass, false},
    {"KvColorDifferenceFeatureClass", NewKvColorDifferenceFeatureClass, false},
    {"KvColorTextureFeatureClass", NewKvColorTextureFeatureClass, false},
    {nullptr, nullptr, false},
};

// The catalogDefault names, in factory order.
const char* const* DefaultCatalogList() {
  static const std::vector<const char*> names = [] {
    std::vector<const char*> out;
    for (const FeatureEntry* e = kFeatures; e->name != nullptr; ++e) {
      if (e->catalogDefault) out.push_back(e->name);
    }
    out.push_back(nullptr);
    return out;
  }();
  return names.data();
}

constexpr int kListSize = 100;
const char* gFeatureList[kListSize] = {nullptr};
KvConnectClass* gConnection = nullptr;
// Recursive, so a connection class whose construction or Connect asks the
// factory again cannot deadlock the thread.
std::recursive_mutex gLock;

const char* Shown(const char* text) { return text != nullptr ? text : "(null)"; }

bool Same(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }

// Steps 3 to 5 of every creation: record a failed allocation, refuse an
// object whose constructor could not complete, hand out the rest.
template <typename T, typename Make>
T* Finish(Make make, const char* className, const char* site) {
  T* object = nullptr;
  try {
    object = make();
  } catch (const std::bad_alloc&) {
    object = nullptr;
  }
  if (object == nullptr) {
    KvError(KERR_NewFailed, KERR_Fatal, className, site);
    return nullptr;
  }
  if (!object->IsValid()) {
    delete object;  // its constructor has recorded the cause
    return nullptr;
  }
  return object;
}

}  // namespace

const char** KvListAllAvailableFeatures() {
  std::lock_guard<std::recursive_mutex> guard(gLock);
  // Entries are rewritten only where a caller changed them, so threads that
  // read the list while another asks for it never see a write.
  int i = 0;
  for (; kFeatures[i].name != nullptr && i < kListSize - 1; ++i) {
    if (gFeatureList[i] != kFeatures[i].name) gFeatureList[i] = kFeatures[i].name;
  }
  if (gFeatureList[i] != nullptr) gFeatureList[i] = nullptr;
  return gFeatureList;
}

const char* const* KvListDefaultCatalogFeatures() { return DefaultCatalogList(); }

KvFeatureClass* KvCreateFeatureClass(const char* name) {
  for (const FeatureEntry* entry = kFeatures; entry->name != nullptr; ++entry) {
    if (Same(name, entry->name)) {
      return Finish<KvFeatureClass>(entry->create, name, "KvCreateFeatureClass");
    }
  }
  // Non-fatal, so callers that try several names in turn can go on.
  KvError(KERR_UnknownFeatureClass, KERR_NonFatal, Shown(name));
  return nullptr;
}

KvConnectClass* KvCreateConnectClass(const char* name) {
  if (!Same(name, "KvDbmConnectClass")) {
    KvError(KERR_UnknownConnectClass, KERR_Fatal, Shown(name));
    return nullptr;
  }
  return Finish<KvConnectClass>(NewKvDbmConnectClass, name, "KvCreateConnectClass");
}

KvGenericDataClass* KvCreateGenericDataClass(const char* name) {
  if (!Same(name, "KvGenericImageDataClass")) {
    KvError(KERR_UnknownDataClass, KERR_Fatal, Shown(name));
    return nullptr;
  }
  return Finish<KvGenericDataClass>(
      [] { return static_cast<KvGenericDataClass*>(new (std::nothrow) KvGenericImageDataClass()); },
      name, "KvCreateGenericDataClass");
}

KvParameterClass* KvCreateParameterClass(const char*) {
  // Every feature uses the one parameter class, whatever name it asks for.
  return Finish<KvParameterClass>([] { return new (std::nothrow) KvParameterClass(); },
                                  "KvParameterClass", "KvCreateParameterClass");
}

KvQueryClass* KvCreateQueryClass(const char* name) {
  // The client name also gives a local query server: the socket client is
  // constructed directly by those who want it.
  if (!Same(name, "KvQueryServerClass") && !Same(name, "KvQueryClientClass")) {
    KvError(KERR_UnknownQueryClass, KERR_Fatal, Shown(name));
    return nullptr;
  }
  return Finish<KvQueryClass>(
      [] { return static_cast<KvQueryClass*>(new (std::nothrow) KvQueryServerClass(nullptr)); }, name,
      "KvCreateQueryClass");
}

const KvConnectClass* KvGetConnection(const char* mode, const char* database, const char* connectClass) {
  std::lock_guard<std::recursive_mutex> guard(gLock);
  if (gConnection != nullptr) return gConnection;
  if (mode == nullptr) mode = Kvgetenv("KivoConnectMode");
  if (database == nullptr) database = Kvgetenv("KivoDatabaseName");
  if (database == nullptr) database = "KivoData";
  if (connectClass == nullptr) connectClass = Kvgetenv("KivoConnectClass");
  if (connectClass == nullptr) connectClass = "KvDbmConnectClass";
  KvConnectClass* connection = KvCreateConnectClass(connectClass);
  if (connection == nullptr) return nullptr;
  if (connection->Connect(database, mode) != 0) {
    KvError(KERR_ConnectFailed, KERR_Fatal, database, Shown(mode));
    delete connection;
    return nullptr;
  }
  gConnection = connection;
  return gConnection;
}

int KvDestroyConnection(const KvConnectClass* connection) {
  std::lock_guard<std::recursive_mutex> guard(gLock);
  if (connection == nullptr || connection != gConnection) return -1;
  delete gConnection;
  gConnection = nullptr;
  return 0;
}
