// Samplers: named tables that hold one feature class's byte strings for
// arbitrary keys, registered database-wide.
//
//   SampIdx          sampler name plus NUL -> feature class name plus NUL
//   <sampler>.sam    image key plus NUL -> the feature's byte string
//
// Sampler names are at most 15 characters without separators or blanks, so
// every sampler table lies in the database directory. Sampler records change
// no global information.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "features/KvFeature.h"
#include "storage/KvCatalog.h"
#include "storage/KvCatalogUtil.h"
#include "storage/KvConnect.h"

using kvcat::BorrowKey;
using kvcat::Fail;
using kvcat::FeaturePtr;
using kvcat::MakeFeature;
using kvcat::TableGuard;

int KvCatalogClass::GetSamplerIndexName(KvStringClass& out) const {
  out.Assign("");
  return connection_->MakeFileName("SampIdx", "", out);
}

int KvCatalogClass::GetSamplerTableName(const char* sampler, KvStringClass& out) const {
  if (CheckSamplerName(sampler, "KvCatalogClass::GetSamplerTableName") != 0) return -1;
  out.Assign("");
  return connection_->MakeTableName(nullptr, sampler, "sam", out);
}

int KvCatalogClass::GetSamplerFeatureName(const char* sampler, KvDatabaseClass* table, KvStringClass& out) {
  if (sampler == nullptr || table == nullptr) {
    Fail(KERR_Fatal, "KvCatalogClass::GetSamplerFeatureName: no sampler or table given");
    return -1;
  }
  KvStringClass index(64ul);
  if (GetSamplerIndexName(index) != 0) return -1;
  // Without a sampler index no sampler exists; a lookup creates no file.
  if (!kvcat::FileExistsInDatabase(connection_, index.c_str())) {
    KvError(KERR_SamplerGet, KERR_NonFatal, sampler, 1);
    return 1;
  }
  TableGuard guard(table);
  int rc = guard.OpenForWrite(index.c_str());
  if (rc != 0) {
    KvError(KERR_SamplerOpen, KERR_Fatal, sampler, rc);
    return rc;
  }
  KvDatumClass key, data;
  BorrowKey(key, sampler);
  rc = guard->Get(key, data);
  if (rc == 0) {
    out.Assign(kvcat::DatumText(data).c_str());
    if (!out.IsValid()) return -1;
  } else {
    KvError(KERR_SamplerGet, KERR_NonFatal, sampler, rc);
  }
  return rc;
}

int KvCatalogClass::DoAddSampler(const char* sampler, const char* feature) {
  const char* where = "KvCatalogClass::AddSampler";
  if (table_ == nullptr || CheckSamplerName(sampler, where) != 0) return -1;
  if (feature == nullptr || *feature == '\0') {
    Fail(KERR_Fatal, "%s: no feature class given for sampler %s", where, sampler);
    return -1;
  }
  if (!MakeFeature(feature)) return -1;
  KvStringClass index(64ul), tableName(64ul);
  if (GetSamplerIndexName(index) != 0 || GetSamplerTableName(sampler, tableName) != 0) return -1;
  KvDatumClass key, data;
  BorrowKey(key, sampler);
  BorrowKey(data, feature);
  {
    TableGuard table(table_);
    int rc = table.OpenForWrite(index.c_str());
    if (rc != 0) {
      KvError(KERR_IdxOpen, KERR_Fatal, index.c_str(), rc);
      return rc;
    }
    rc = table->Insert(key, data);
    if (rc != 0) {
      Fail(KERR_NonFatal, "%s: sampler %s already exists", where, sampler);
      return rc;
    }
    rc = table.Close();
    if (rc != 0) return rc;
  }
  TableGuard table(table_);
  int rc = table.OpenForWrite(tableName.c_str());
  if (rc == 0) rc = table.Close();
  if (rc != 0) {
    KvError(KERR_SamplerOpen, KERR_Fatal, sampler, rc);
    // Undo the index entry: a sampler without its table is of no use.
    TableGuard undo(table_);
    if (undo.OpenForWrite(index.c_str()) == 0) undo->Delete(key);
  }
  return rc;
}

int KvCatalogClass::DoDeleteSampler(const char* sampler) {
  if (table_ == nullptr || CheckSamplerName(sampler, "KvCatalogClass::DeleteSampler") != 0) return -1;
  KvStringClass index(64ul), tableName(64ul);
  if (GetSamplerIndexName(index) != 0 || GetSamplerTableName(sampler, tableName) != 0) return -1;
  int first = 1;
  if (kvcat::FileExistsInDatabase(connection_, index.c_str())) {
    TableGuard table(table_);
    int rc = table.OpenForWrite(index.c_str());
    if (rc != 0) {
      KvError(KERR_IdxOpen, KERR_Fatal, index.c_str(), rc);
      return rc;
    }
    KvDatumClass key;
    BorrowKey(key, sampler);
    first = table->Delete(key);
    if (first != 0) KvError(KERR_SamplerGet, KERR_NonFatal, sampler, first);
    rc = table.Close();
    if (first == 0) first = rc;
  } else {
    KvError(KERR_SamplerGet, KERR_NonFatal, sampler, first);
  }
  if (!kvcat::FileExistsInDatabase(connection_, tableName.c_str())) return first;
  TableGuard table(table_);
  int rc = table.OpenForWrite(tableName.c_str());
  if (rc == 0) rc = table.Remove();
  if (rc != 0) KvError(KERR_CatRemoveTable, KERR_Fatal, tableName.c_str(), rc);
  return first != 0 ? first : rc;
}

int KvCatalogClass::DoListSamplers(KvDatumClass& out) {
  if (table_ == nullptr) return -1;
  KvStringClass index(64ul);
  if (GetSamplerIndexName(index) != 0) return -1;
  if (!kvcat::FileExistsInDatabase(connection_, index.c_str())) {
    out.Clear();
    return 0;
  }
  TableGuard table(table_);
  int rc = table.OpenForWrite(index.c_str());
  if (rc != 0) {
    KvError(KERR_IdxOpen, KERR_Fatal, index.c_str(), rc);
    return rc;
  }
  std::string text;
  {
    std::unique_ptr<KvDbIteratorClass> it(table->NewIterator());
    if (!it) return -1;
    KvDatumClass key, data;
    while (it->HasCurrent()) {
      if (it->NextView(key, data) != 0) {
        Fail(KERR_Fatal, "KvCatalogClass::ListSamplers: walk of %s failed", index.c_str());
        return -1;
      }
      text += kvcat::DatumText(key) + ":" + kvcat::DatumText(data) + " ";
    }
  }
  // An empty sampler index is removed rather than kept.
  rc = text.empty() ? table.Remove() : table.Close();
  if (rc != 0) return rc;
  return kvcat::GiveText(out, text, false, "KvCatalogClass::ListSamplers");
}

int KvCatalogClass::DoAddSamplerRecords(const char* key, const char* samplers, KvGenericDataClass* data,
                                      KvParameterClass** parameters, int mode) {
  const char* where = "KvCatalogClass::AddSamplerRecords";
  if (samplers == nullptr) return 0;
  if (table_ == nullptr || key == nullptr || *key == '\0' || data == nullptr || mode < KV_MODE_INSERT ||
      mode > KV_MODE_FORCE_UPDATE) {
    Fail(KERR_Fatal, "%s: key, data object or mode %d not usable", where, mode);
    return -1;
  }
  KvDatumClass keyDatum;
  BorrowKey(keyDatum, key);
  const std::vector<std::string> names = kvcat::SplitWords(samplers);
  for (size_t i = 0; i < names.size(); ++i) {
    const char* sampler = names[i].c_str();
    KvStringClass featureName(64ul), tableName(64ul);
    if (GetSamplerFeatureName(sampler, table_, featureName) != 0 || featureName.GetLength() == 0) return -1;
    FeaturePtr f = MakeFeature(featureName.c_str());
    if (!f) return -1;
    KvParameterClass* p = parameters != nullptr ? parameters[i] : nullptr;
    KvDatumClass bytes;
    if (f->ComputeFeature(data, p != nullptr ? p : f->GetParameters()) != 0 || f->ToByteString(bytes) != 0 ||
        GetSamplerTableName(sampler, tableName) != 0) {
      return -1;
    }
    TableGuard table(table_);
    int rc = table.OpenForWrite(tableName.c_str());
    if (rc != 0) {
      KvError(KERR_SamplerOpen, KERR_Fatal, sampler, rc);
      return -1;
    }
    rc = mode == KV_MODE_INSERT ? table->Insert(keyDatum, bytes) : table->Update(keyDatum, bytes, True);
    if (rc == 1) {
      KvError(mode == KV_MODE_INSERT ? KERR_SamplerInsert : KERR_SamplerUpdate, KERR_NonFatal, sampler, key, 1);
    }
    if (rc != 0) return rc;
    rc = table.Close();
    if (rc != 0) {
      Fail(KERR_Fatal, "%s: close of sampler %s failed", where, sampler);
      return rc;
    }
  }
  return 0;
}

int KvCatalogClass::DoDeleteSamplerRecords(const char* key, const char* samplers) {
  const char* where = "KvCatalogClass::DeleteSamplerRecords";
  if (samplers == nullptr) return 0;
  if (table_ == nullptr || key == nullptr || *key == '\0') {
    Fail(KERR_Fatal, "%s: no key given", where);
    return -1;
  }
  KvDatumClass keyDatum;
  BorrowKey(keyDatum, key);
  for (const std::string& name : kvcat::SplitWords(samplers)) {
    const char* sampler = name.c_str();
    KvStringClass tableName(64ul);
    if (GetSamplerTableName(sampler, tableName) != 0) return -1;
    // Never create a table for a sampler that does not exist.
    if (!kvcat::FileExistsInDatabase(connection_, tableName.c_str())) {
      KvError(KERR_SamplerOpen, KERR_Fatal, sampler, 1);
      return -1;
    }
    TableGuard table(table_);
    int rc = table.OpenForWrite(tableName.c_str());
    if (rc != 0) {
      KvError(KERR_SamplerOpen, KERR_Fatal, sampler, rc);
      return -1;
    }
    rc = table->Delete(keyDatum);
    const int closed = table.Close();
    if (rc != 0) {
      KvError(KERR_SamplerDelete, KERR_NonFatal, sampler, key, rc);
      return -1;
    }
    if (closed != 0) return closed;
  }
  return 0;
}

int KvCatalogClass::GetSamplerRecord(const char* key, const char* sampler, KvDatumClass& out) {
  const char* where = "KvCatalogClass::GetSamplerRecord";
  if (table_ == nullptr || key == nullptr) {
    Fail(KERR_Fatal, "%s: no key given", where);
    return -1;
  }
  KvStringClass tableName(64ul);
  if (GetSamplerTableName(sampler, tableName) != 0) return -1;
  // Read-only: looking a record up never creates a sampler table.
  TableGuard table(table_);
  int rc = table.Open(tableName.c_str(), "r");
  if (rc != 0) {
    KvError(KERR_SamplerOpen, KERR_Fatal, sampler, rc);
    return rc;
  }
  KvDatumClass keyDatum, data;
  BorrowKey(keyDatum, key);
  rc = table->Get(keyDatum, data);
  if (rc == 0) {
    if (out.CopyBytes(data.Data(), data.Size(), where) != 0) return -1;
  } else {
    KvError(KERR_SamplerGet, KERR_NonFatal, sampler, rc);
  }
  return rc;
}

int KvCatalogClass::GetSamplerFeature(const char* key, const char* sampler, KvFeatureClass* feature) {
  const char* where = "KvCatalogClass::GetSamplerFeature";
  if (feature == nullptr || table_ == nullptr) {
    Fail(KERR_Fatal, "%s: no feature object given", where);
    return -1;
  }
  KvStringClass featureName(64ul);
  if (GetSamplerFeatureName(sampler, table_, featureName) != 0) return -1;
  if (std::strcmp(featureName.c_str(), feature->GetClassName()) != 0) {
    Fail(KERR_Fatal, "%s: sampler %s holds %s, not %s", where, sampler, featureName.c_str(), feature->GetClassName());
    return -1;
  }
  KvDatumClass bytes;
  const int rc = GetSamplerRecord(key, sampler, bytes);
  if (rc != 0) return rc;
  return feature->FromByteString(bytes) != 0 ? -1 : 0;
}
