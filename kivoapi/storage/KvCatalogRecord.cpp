// Records of an image across the feature classes of a catalog: adding,
// updating and deleting them while keeping each class's record counter in
// step (UpdateGlobalInfo action 0 when a record is written, 1 when one is
// taken out; a replaced record is first taken out, then added).
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KvFactory.h"
#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "storage/KvCatalog.h"
#include "storage/KvCatalogUtil.h"
#include "storage/KvConnect.h"

using kvcat::BorrowKey;
using kvcat::Fail;
using kvcat::FeaturePtr;
using kvcat::MakeFeature;
using kvcat::TableGuard;

namespace {

const char* ModeName(int mode) {
  switch (mode) {
    case KV_MODE_INSERT: return "Insert";
    case KV_MODE_INCREMENTAL: return "Incremental Update";
    case KV_MODE_UPDATE: return "Update";
    default: return "Force Update";
  }
}

bool SubPartKindMatches(KvFeatureClass* feature, const KvGenericDataClass* data) {
  return (feature->IsSubPartFeature() == True) == (data->GetSubPart() == True);
}

bool SeenBefore(const std::vector<std::string>& names, size_t i) {
  return std::find(names.begin(), names.begin() + static_cast<long>(i), names[i]) != names.begin() + static_cast<long>(i);
}

// One class taking part in AddRecord: its objects, its open table and what
// is to be written.
struct Marked {
  std::string name;
  size_t position;  // index into the caller's parameter array
  FeaturePtr feature;
  KvDatumClass info;
  TableGuard table;
  bool update = false;
  KvDatumClass oldBytes;  // owned copy of the record being replaced
  KvDatumClass bytes;

  Marked(std::string n, size_t p, FeaturePtr f, KvDatabaseClass* t)
      : name(std::move(n)), position(p), feature(std::move(f)), table(t, true) {}
};

}  // namespace

int KvCatalogClass::DoAddRecord(const char* key, KvGenericDataClass* data, KvParameterClass** parameters, int mode,
                              const char* features) {
  if (!RequireOpen("KvCatalogClass::AddRecord")) return -1;
  if (key == nullptr || *key == '\0' || data == nullptr || mode < KV_MODE_INSERT || mode > KV_MODE_FORCE_UPDATE) {
    Fail(KERR_Fatal, "KvCatalogClass::AddRecord: key, data object or mode %d not usable", mode);
    return -1;
  }
  std::vector<std::string> names;
  int rc = NamesForRecord(features, names);
  if (rc != 0) return rc;
  if (names.size() > static_cast<size_t>(kKvCatalogMaxClasses)) {
    Fail(KERR_Fatal, "KvCatalogClass::AddRecord: %zu feature classes in one call, at most %d", names.size(),
         kKvCatalogMaxClasses);
    return -1;
  }
  KvDatumClass keyDatum;
  BorrowKey(keyDatum, key);
  KvStringClass tableName(64ul);
  std::vector<std::unique_ptr<Marked>> marked;
  size_t examined = 0;
  int stop = 0;
  std::string stopName;

  // Precheck: every check is done before the first write.
  for (size_t i = 0; i < names.size() && stop == 0; ++i) {
    if (SeenBefore(names, i)) continue;
    FeaturePtr f = MakeFeature(names[i].c_str());
    if (!f) {
      if (GetErrorMSGSeverity() == KERR_Fatal) stop = -1;
      continue;
    }
    if (!SubPartKindMatches(f.get(), data) || kvcat::SkipsTextFeature(f.get(), data)) continue;
    stopName = names[i];
    auto m = std::make_unique<Marked>(names[i], i, std::move(f), connection_->NewDatabase());
    rc = ReadGlobalInfo(m->feature.get(), m->info);
    if (rc != 0) {
      stop = rc == -1 ? -1 : 2;
      break;
    }
    if (m->table.get() == nullptr || FeatureTableName(m->feature.get(), tableName) != 0) {
      stop = -1;
      break;
    }
    if (m->table.OpenForWrite(tableName.c_str()) != 0) {
      stop = 3;
      break;
    }
    ++examined;
    KvDatumClass old;
    rc = m->table->Get(keyDatum, old);
    if (rc == 0) {
      if (mode == KV_MODE_INSERT) stop = 4;
      if (mode == KV_MODE_INCREMENTAL || stop != 0) continue;  // closed with m
      m->update = true;
      // The looked-up bytes belong to the table until its next call.
      if (m->oldBytes.CopyBytes(old.Data(), old.Size(), "KvCatalogClass::AddRecord") != 0) stop = -1;
    } else if (rc == 1) {
      if (mode == KV_MODE_UPDATE) stop = 5;
    } else {
      stop = -1;
    }
    if (stop == 0) marked.push_back(std::move(m));
  }
  if (stop == 0 && mode == KV_MODE_INCREMENTAL && !marked.empty() && marked.size() == examined) {
    stop = 6;
    stopName = "ALL features";
  }

  // Compute every marked feature before writing any.
  for (size_t i = 0; i < marked.size() && stop == 0; ++i) {
    Marked& m = *marked[i];
    KvParameterClass* p = parameters != nullptr ? parameters[m.position] : nullptr;
    if (p == nullptr) p = m.feature->GetParameters();
    if (m.feature->ComputeFeature(data, p) != 0) {
      stop = -1;
      break;
    }
    rc = m.feature->ToByteString(m.bytes);
    if (rc != 0) {
      stop = rc == -1 ? -1 : 7;
      stopName = m.name;
    }
  }

  // Write.
  std::vector<std::string> failed;
  for (size_t i = 0; i < marked.size() && stop == 0; ++i) {
    Marked& m = *marked[i];
    bool ok = true;
    if (!m.update) {
      rc = m.table->Insert(keyDatum, m.bytes);
      if (rc == -1) {
        stop = -1;
        break;
      }
      ok = rc == 0;
    } else {
      // The old record's contribution is taken out through an object that
      // holds the old values.
      FeaturePtr old = MakeFeature(m.name.c_str());
      ok = old && old->FromByteString(m.oldBytes) == 0;
      if (ok) {
        rc = m.table->Update(keyDatum, m.bytes, False);
        if (rc == -1) {
          stop = -1;
          break;
        }
        ok = rc == 0 && old->UpdateGlobalInfo(m.info, KV_GLOBAL_REMOVE_RECORD) == 0;
      }
    }
    if (m.table.Close() != 0) ok = false;
    if (ok) {
      ok = m.feature->UpdateGlobalInfo(m.info, KV_GLOBAL_ADD_RECORD) == 0 &&
           WriteGlobalInfo(m.feature.get(), m.info) == 0;
    }
    if (!ok) failed.push_back(m.name);
  }
  marked.clear();  // closes and destroys every table and feature object

  if (stop != 0 && stop != -1) {
    KvError(KERR_CatPrecheck, GetErrorMSGSeverity(), key, stopName.c_str(), stop);
    return stop;
  }
  if (stop == -1) return -1;
  if (!failed.empty()) {
    std::string list;
    for (const std::string& name : failed) list += (list.empty() ? "" : ", ") + name;
    KvError(KERR_CatAddRecord, GetErrorMSGSeverity(), ModeName(mode), key, list.c_str(), -1);
    return -1;
  }
  return 0;
}

int KvCatalogClass::DoAddFeatureRecords(const char* key, KvGenericDataClass* data, KvFeatureClass** featureObjects,
                                      KvParameterClass** parameterObjects, int* count, int mode) {
  if (!RequireOpen("KvCatalogClass::AddFeatureRecords")) return -1;
  if (key == nullptr || *key == '\0' || data == nullptr || featureObjects == nullptr || count == nullptr ||
      *count < 0 || *count > kKvCatalogMaxClasses || mode < KV_MODE_INSERT || mode > KV_MODE_FORCE_UPDATE) {
    Fail(KERR_Fatal, "KvCatalogClass::AddFeatureRecords: key, data object, features or mode %d not usable", mode);
    return -1;
  }
  int rc = 0;
  if (*count == 0) {
    // Fill the caller's arrays with the catalog's classes, or register the
    // factory's default whole-image classes when the catalog has none yet.
    std::vector<std::string> names;
    // A catalog that no class was ever added to has no feature index yet:
    // it has no classes, like an index without keys.
    KvStringClass index(64ul);
    if (GetFeatureCatalogName(name_.c_str(), index) != 0) return -1;
    if (kvcat::FileExistsInDatabase(connection_, index.c_str())) {
      rc = ListFeatureNames(names);
      if (rc != 0) return rc;
    }
    const bool fresh = names.empty();
    if (fresh) {
      for (const char* const* all = KvListDefaultCatalogFeatures(); *all != nullptr; ++all) {
        names.emplace_back(*all);
      }
    }
    if (names.size() > static_cast<size_t>(kKvCatalogMaxClasses)) {
      Fail(KERR_Fatal, "KvCatalogClass::AddFeatureRecords: %zu feature classes, at most %d", names.size(),
           kKvCatalogMaxClasses);
      return -1;
    }
    int made = 0;
    for (const std::string& name : names) {
      if (fresh) rc = AddFeatureClass(name.c_str(), -1, 0, 0);
      KvFeatureClass* f = rc == 0 ? KvCreateFeatureClass(name.c_str()) : nullptr;
      KvParameterClass* p = nullptr;
      if (f != nullptr && parameterObjects != nullptr) {
        // A set of the caller's own that starts with the class defaults: the
        // caller releases it, so it must not be the class-wide set.
        p = KvCreateParameterClass(f->GetParameterClassName());
        if (p != nullptr && f->GetParameters() != nullptr) *p = *f->GetParameters();
        if (p == nullptr || !p->IsValid()) {
          delete p;
          p = nullptr;
          delete f;
          f = nullptr;
        }
      }
      if (f == nullptr) {
        for (int i = 0; i < made; ++i) {
          delete featureObjects[i];
          featureObjects[i] = nullptr;
          if (parameterObjects != nullptr) {
            delete parameterObjects[i];
            parameterObjects[i] = nullptr;
          }
        }
        return rc != 0 ? rc : -1;
      }
      featureObjects[made] = f;
      if (parameterObjects != nullptr) parameterObjects[made] = p;
      ++made;
    }
    *count = made;
  }

  KvDatumClass keyDatum;
  BorrowKey(keyDatum, key);
  KvStringClass tableName(64ul);
  for (int i = 0; i < *count; ++i) {
    KvFeatureClass* f = featureObjects[i];
    if (f == nullptr || !SubPartKindMatches(f, data) || kvcat::SkipsTextFeature(f, data)) continue;
    const char* name = f->GetClassName();
    const char* failure = nullptr;
    KvDatumClass info, old, oldBytes, bytes;
    TableGuard table(connection_->NewDatabase(), true);
    rc = ReadGlobalInfo(f, info);
    if (rc != 0) {
      failure = "has no global information in the catalog";
    } else if (table.get() == nullptr || FeatureTableName(f, tableName) != 0 ||
               table.OpenForWrite(tableName.c_str()) != 0) {
      failure = "Does not exist for the catalog";
      rc = -1;
    }
    bool present = false;
    if (failure == nullptr) {
      rc = table->Get(keyDatum, old);
      present = rc == 0;
      if (rc != 0 && rc != 1) {
        failure = "fatal error";
        rc = -1;
      } else if (present && mode == KV_MODE_INSERT) {
        failure = "record is present";
        rc = 1;
      } else if (!present && mode == KV_MODE_UPDATE) {
        failure = "record is missing";
        rc = 1;
      } else if (present && mode == KV_MODE_INCREMENTAL) {
        continue;  // incremental: classes that have the record are left alone
      } else {
        rc = 0;
      }
    }
    // The looked-up bytes belong to the table until its next call.
    if (failure == nullptr && present &&
        oldBytes.CopyBytes(old.Data(), old.Size(), "KvCatalogClass::AddFeatureRecords") != 0) {
      return -1;
    }
    if (failure == nullptr) {
      KvParameterClass* p = parameterObjects != nullptr ? parameterObjects[i] : nullptr;
      if (f->ComputeFeature(data, p != nullptr ? p : f->GetParameters()) != 0) {
        failure = "fail in compute";
        rc = -1;
      } else if (f->ToByteString(bytes) != 0) {
        failure = "fail in byte string";
        rc = -1;
      }
    }
    if (failure == nullptr) {
      FeaturePtr previous = present ? MakeFeature(name) : FeaturePtr();
      const bool decoded = previous && previous->FromByteString(oldBytes) == 0;
      if (present && (decoded || mode == KV_MODE_UPDATE)) {
        if (!decoded || previous->UpdateGlobalInfo(info, KV_GLOBAL_REMOVE_RECORD) != 0) {
          failure = "fail in update";
          rc = -1;
        } else if ((rc = table->Update(keyDatum, bytes, False)) != 0) {
          failure = "fail in update";
        }
      } else if ((rc = table->Insert(keyDatum, bytes)) != 0) {
        // (also a forced update whose old record cannot be decoded: its
        // contribution cannot be taken out, so it is not overwritten)
        failure = "fail in insert";
      }
    }
    if (failure == nullptr && (rc = table.Close()) != 0) failure = "fail in close";
    if (failure == nullptr) {
      rc = f->UpdateGlobalInfo(info, KV_GLOBAL_ADD_RECORD);
      if (rc == 0) rc = WriteGlobalInfo(f, info);
      if (rc != 0) failure = "fail in global information update";
    }
    if (failure != nullptr) {
      Fail(KERR_NonFatal, "%s %s", name, failure);
      return rc != 0 ? rc : -1;
    }
  }
  return 0;
}

// Takes key's record out of one class: decoded into feature (so the class
// can take its values out of the statistics), deleted, and the global
// information stored. *found tells whether there was a record.
int KvCatalogClass::RemoveRecordFromClass(KvFeatureClass* feature, const char* key, bool* found) {
  *found = false;
  KvDatumClass info;
  KvStringClass tableName(64ul);
  if (ReadGlobalInfo(feature, info) != 0 || FeatureTableName(feature, tableName) != 0) return -1;
  KvDatumClass keyDatum, stored, copy;
  BorrowKey(keyDatum, key);
  {
    TableGuard table(table_);
    int rc = table.OpenForWrite(tableName.c_str());
    if (rc != 0) {
      KvError(KERR_FeatTableOpen, KERR_Fatal, tableName.c_str(), rc);
      return -1;
    }
    if (table->Get(keyDatum, stored) != 0) return 0;
    *found = true;
    if (copy.CopyBytes(stored.Data(), stored.Size(), "KvCatalogClass::DeleteRecord") != 0) return -1;
    if (feature->FromByteString(copy) != 0) return -1;
    rc = table->Delete(keyDatum);
    if (rc != 0) {
      Fail(KERR_Fatal, "KvCatalogClass::DeleteRecord: delete of key %s from %s failed with rc %d", key,
           tableName.c_str(), rc);
      return -1;
    }
    if (table.Close() != 0) {
      Fail(KERR_Fatal, "KvCatalogClass::DeleteRecord: close of %s failed", tableName.c_str());
      return -1;
    }
  }
  if (feature->UpdateGlobalInfo(info, KV_GLOBAL_REMOVE_RECORD) != 0) return -1;
  return WriteGlobalInfo(feature, info);
}

namespace {

// The end of both DeleteRecord forms: the not-found report, then the key's
// sub-parts.
int FinishDelete(KvCatalogClass* catalog, const char* key, int examined, int missing) {
  int rc = 0;
  if (missing == examined) {
    rc = missing;
    Fail(KERR_NonFatal, "Key %s not found in catalog\n", key);
  }
  unsigned long count = 0;
  KvDatumClass list;
  if (catalog->GetSubPartKeys(key, &count, list) == 0) {
    for (const std::string& subPart : kvcat::SplitWords(kvcat::DatumText(list))) {
      rc = catalog->DeleteSubPartRecord(subPart.c_str());
    }
  }
  return rc;
}

}  // namespace

int KvCatalogClass::DoDeleteRecord(const char* key, const char* features) {
  if (!RequireOpen("KvCatalogClass::DeleteRecord")) return -1;
  if (key == nullptr || *key == '\0') {
    Fail(KERR_Fatal, "KvCatalogClass::DeleteRecord: no key given");
    return -1;
  }
  std::vector<std::string> names;
  int rc = NamesForRecord(features, names);
  if (rc != 0) return rc;
  int examined = 0;
  int missing = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (SeenBefore(names, i)) continue;
    FeaturePtr f = MakeFeature(names[i].c_str());
    if (!f) return -1;
    if (f->IsSubPartFeature()) continue;
    ++examined;
    bool found = false;
    if (RemoveRecordFromClass(f.get(), key, &found) != 0) return -1;
    if (!found) ++missing;
  }
  return FinishDelete(this, key, examined, missing);
}

int KvCatalogClass::DoDeleteRecord(const char* key, KvFeatureClass** featureObjects, int count) {
  if (!RequireOpen("KvCatalogClass::DeleteRecord")) return -1;
  if (key == nullptr || *key == '\0' || (featureObjects == nullptr && count > 0)) {
    Fail(KERR_Fatal, "KvCatalogClass::DeleteRecord: no key or features given");
    return -1;
  }
  int examined = 0;
  int missing = 0;
  for (int i = 0; i < count && featureObjects[i] != nullptr; ++i) {
    // Sub-part classes are kept by the sub-part records, removed below.
    if (featureObjects[i]->IsSubPartFeature()) continue;
    ++examined;
    bool found = false;
    if (RemoveRecordFromClass(featureObjects[i], key, &found) != 0) return -1;
    if (!found) ++missing;
  }
  return FinishDelete(this, key, examined, missing);
}
