// Helpers shared by the C interface's source files.
#pragma once

#include <new>

#include "core/KvError.h"

struct KivoCatalog;
class KvCatalogClass;
class KvConnectClass;

namespace kivocapi {

// Records "<where>: <what>" as a general error (severity 1); -1.
int Fail(const char* where, const char* what);
// -1, recording "<where>: failed" when the error record is empty (a callee
// failed without a message).
int Failed(const char* where);

// The catalog object of an open C catalog, ready for use (its connection
// taken again if another object released it), or null with the error recorded.
KvCatalogClass* OpenCatalog(KivoCatalog* catalog);
const KvConnectClass* Connection(KivoCatalog* catalog);

// Runs body, the whole of a C function: the error record starts empty so
// that kivo_last_error tells this call's reason, and no exception leaves the
// library (an allocation failure becomes the allocation error and -1).
template <typename Body>
int Guard(const char* where, Body&& body) {
  KvInitializeErrorStructure();
  try {
    return body();
  } catch (const std::bad_alloc&) {
    KvError(KERR_NewFailed, KERR_Fatal, "memory", where);
    return -1;
  } catch (...) {
    return Fail(where, "unexpected failure");
  }
}

}  // namespace kivocapi
