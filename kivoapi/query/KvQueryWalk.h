// The walk of a feature table or a result set shared by the searches of the
// query server (the table walk and the scan path): keys as NUL-terminated
// texts in a reused buffer, one cursor of borrowed views, and the
// evaluation's deadline looked at once per block of entries.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "core/KvDatum.h"
#include "query/KvDeadline.h"
#include "query/KvQueryInternal.h"
#include "storage/KvConnect.h"

template <typename T>
struct KvQueryDeleter {
  void operator()(T* p) const { delete p; }
};
template <typename T>
using KvOwned = std::unique_ptr<T, KvQueryDeleter<T>>;

// A key view as a NUL-terminated text in a reused buffer, and a datum on it
// (the text with its NUL) for lookups by key.
class KvKeyText {
 public:
  void Set(const KvDatumClass& view) {
    unsigned long size = 0;
    const char* bytes = nullptr;
    view.GetBytes(size, bytes);
    const void* nul = bytes != nullptr ? std::memchr(bytes, '\0', size) : nullptr;
    const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - bytes)
                                         : (bytes != nullptr ? size : 0);
    text_.assign(bytes != nullptr ? bytes : "", length);
    datum_.SetBytes(length + 1, reinterpret_cast<unsigned char*>(text_.data()), KvOwnNone);
  }
  void Set(const char* text, size_t length) {
    text_.assign(text, length);
    datum_.SetBytes(length + 1, reinterpret_cast<unsigned char*>(text_.data()), KvOwnNone);
  }
  const char* c_str() const { return text_.c_str(); }
  size_t size() const { return text_.size(); }
  const KvDatumClass& datum() const { return datum_; }

 private:
  std::string text_;
  KvDatumClass datum_;
};

// Walks a table or a result set with one cursor. For every entry, body(key,
// record) runs with the key as text and the entry's data as a borrowed view
// (a stored record, or a result set's 4 distance bytes). A non-zero result
// of body ends the walk and is returned; so does the evaluation's deadline,
// looked at once per block of entries.
template <typename Body>
int KvQueryWalk(KvDatabaseClass* source, Body body) {
  KvOwned<KvDbIteratorClass> it(source->NewIterator());
  if (it == nullptr) return KvQueryFail("KvQueryServerClass: cannot walk a feature table or key set");
  KvDatumClass keyView;
  KvDatumClass dataView;
  KvKeyText key;
  KvDeadlineTicker deadline(KvCurrentDeadline());
  while (it->HasCurrent()) {
    if (deadline.Tick()) return KvDeadlineFail("KvQueryServerClass");
    if (it->NextView(keyView, dataView) != 0) {
      return KvQueryFail("KvQueryServerClass: reading the next record failed");
    }
    key.Set(keyView);
    const int rc = body(key, dataView);
    if (rc != 0) return rc;
  }
  return 0;
}

