// Catalogs and their feature classes.
//
// Files of catalog C in the database directory (all B-tree tables; keys are
// stored as text plus NUL):
//   FeatIdx.C          feature class name -> global information block of the
//                      class (layout in KvCatalogGlobal.cpp)
//   <stem>F.C / <stem>P.C
//                      one feature table per class ("P" for sub-part
//                      classes): image key -> the feature's byte string
//   SubPIdx.C          sub-part catalog (layout in KvCatalogSubPart.cpp)
#include "storage/KvCatalog.h"

#include <cstring>
#include <string>
#include <vector>

#include "core/KvError.h"
#include "features/KvFeature.h"
#include "storage/KvCatalogUtil.h"
#include "storage/KvConnect.h"

using kvcat::BorrowKey;
using kvcat::Fail;
using kvcat::FeaturePtr;
using kvcat::MakeFeature;
using kvcat::TableGuard;

KvCatalogClass::KvCatalogClass(const KvConnectClass* connection) : connection_(connection) {
  if (connection_ != nullptr) table_ = connection_->NewDatabase();
  if (table_ == nullptr || !name_.IsValid() || !work_.IsValid()) valid_ = 0;
}

KvCatalogClass::~KvCatalogClass() { delete table_; }

// ---- names ---------------------------------------------------------------

int KvCatalogClass::CheckCatalogName(const char* catalog, const char* where) const {
  if (catalog == nullptr || *catalog == '\0') {
    KvError(KERR_CatNull, KERR_Fatal);
    return -1;
  }
  if (std::strlen(catalog) > kKvMaxCatalogNameLength) {
    Fail(KERR_Fatal, "%s: catalog name %.40s... is longer than %lu characters", where, catalog,
         kKvMaxCatalogNameLength);
    return -1;
  }
  if (std::strpbrk(catalog, "/\\") != nullptr) {
    Fail(KERR_Fatal, "%s: catalog name %s contains a path separator", where, catalog);
    return -1;
  }
  return 0;
}

int KvCatalogClass::CheckSamplerName(const char* sampler, const char* where) const {
  if (sampler == nullptr || *sampler == '\0') {
    Fail(KERR_Fatal, "%s: no sampler name given", where);
    return -1;
  }
  if (std::strlen(sampler) > kKvMaxSamplerNameLength) {
    Fail(KERR_Fatal, "%s: sampler name %.40s is longer than %lu characters", where, sampler,
         kKvMaxSamplerNameLength);
    return -1;
  }
  if (std::strpbrk(sampler, "/\\") != nullptr || kvcat::HasWhiteSpace(sampler)) {
    Fail(KERR_Fatal, "%s: sampler name %s contains a path separator or a blank", where, sampler);
    return -1;
  }
  return 0;
}

bool KvCatalogClass::RequireOpen(const char* where) const {
  if (table_ == nullptr) {
    KvError(KERR_CatNull, KERR_Fatal);
    return false;
  }
  if (name_.GetLength() == 0) {
    Fail(KERR_Fatal, "%s: catalog not opened", where);
    return false;
  }
  return true;
}

int KvCatalogClass::GetFeatureCatalogName(const char* catalog, KvStringClass& out) const {
  if (CheckCatalogName(catalog, "KvCatalogClass::GetFeatureCatalogName") != 0) return -1;
  out.Assign("");
  return connection_->MakeFileName("FeatIdx", catalog, out);
}

int KvCatalogClass::GetSubPartCatalogName(const char* catalog, KvStringClass& out) const {
  if (CheckCatalogName(catalog, "KvCatalogClass::GetSubPartCatalogName") != 0) return -1;
  out.Assign("");
  return connection_->MakeFileName("SubPIdx", catalog, out);
}

int KvCatalogClass::FeatureTableName(KvFeatureClass* feature, KvStringClass& out) const {
  if (!RequireOpen("KvCatalogClass::GetFeatureTableName")) return -1;
  out.Assign("");
  return connection_->MakeTableName(feature->GetClassName(), feature->IsSubPartFeature() ? "P" : "F",
                                    name_.c_str(), out);
}

int KvCatalogClass::GetFeatureTableName(const char* feature, KvStringClass& out) const {
  FeaturePtr f = MakeFeature(feature);
  if (!f) return -1;
  return FeatureTableName(f.get(), out);
}

int KvCatalogClass::GetFeatureIndexTableName(const char* feature, KvStringClass& out) const {
  FeaturePtr f = MakeFeature(feature);
  if (!f || !RequireOpen("KvCatalogClass::GetFeatureIndexTableName")) return -1;
  out.Assign("");
  return connection_->MakeTableName(feature, f->IsSubPartFeature() ? "PX" : "FX", name_.c_str(), out);
}

int KvCatalogClass::GetFeatureDistTableName(const char* feature, KvStringClass& out) const {
  FeaturePtr f = MakeFeature(feature);
  if (!f || !RequireOpen("KvCatalogClass::GetFeatureDistTableName")) return -1;
  out.Assign("");
  return connection_->MakeTableName(feature, f->IsSubPartFeature() ? "PD" : "FD", name_.c_str(), out);
}

// ---- catalogs ------------------------------------------------------------

int KvCatalogClass::Open(const char* catalog) {
  if (table_ == nullptr) {
    KvError(KERR_CatNull, KERR_Fatal);
    return -1;
  }
  if (CheckCatalogName(catalog, "KvCatalogClass::Open") != 0) return -1;
  name_.Assign(catalog);
  if (!name_.IsValid()) {
    name_.Assign("");
    return -1;
  }
  return 0;
}

int KvCatalogClass::Close() {
  if (table_ == nullptr) return -1;
  name_.Assign("");
  return 0;
}

const char* KvCatalogClass::GetTableClassName() const {
  return table_ != nullptr ? table_->GetClassName() : nullptr;
}

int KvCatalogClass::DoCreateCatalog(const char* catalog, int a, int b) {
  int rc = Open(catalog);
  if (rc != 0) return rc;
  KvStringClass index(64ul);
  if (GetFeatureCatalogName(name_.c_str(), index) != 0) return -1;
  rc = connection_->CreateTable(table_, index.c_str(), 0, 512, 65, a, b);
  if (rc != 0) KvError(KERR_IdxCreate, KERR_Fatal, index.c_str(), rc);
  return rc;
}

int KvCatalogClass::DoDeleteCatalog(const char* catalog) {
  int rc = Open(catalog);
  if (rc != 0) return rc;
  std::vector<std::string> names;
  rc = ListFeatureNames(names);
  if (rc != 0) return rc;
  KvStringClass tableName(64ul);
  for (const std::string& name : names) {
    FeaturePtr f = MakeFeature(name.c_str());
    if (!f || FeatureTableName(f.get(), tableName) != 0) return -1;
    TableGuard table(table_);
    rc = table.OpenForWrite(tableName.c_str());
    if (rc != 0) {
      KvError(KERR_FeatTableOpen, KERR_Fatal, tableName.c_str(), rc);
      return rc;
    }
    rc = table.Remove();
    if (rc != 0) {
      KvError(KERR_CatRemoveTable, KERR_Fatal, tableName.c_str(), rc);
      return rc;
    }
  }
  for (const char* stem : {"SubPIdx", "FeatIdx"}) {
    KvStringClass index(64ul);
    if (connection_->MakeFileName(stem, name_.c_str(), index) != 0) return -1;
    TableGuard table(table_);
    rc = table.OpenForWrite(index.c_str());
    if (rc != 0) {
      KvError(KERR_IdxOpen, KERR_Fatal, index.c_str(), rc);
      return rc;
    }
    rc = table.Remove();
    if (rc != 0) {
      KvError(KERR_IdxRemove, KERR_Fatal, index.c_str(), rc);
      return rc;
    }
  }
  return 0;
}

// ---- feature classes -----------------------------------------------------

int KvCatalogClass::DoAddFeatureClass(const char* feature, int a, int b, int c) {
  FeaturePtr f = MakeFeature(feature);
  if (!f || !RequireOpen("KvCatalogClass::AddFeatureClass")) return -1;
  KvDatumClass block;
  const unsigned long size = f->GetGlobalInfoSize() < kKvBaseGlobalInfoSize ? kKvBaseGlobalInfoSize
                                                                            : f->GetGlobalInfoSize();
  void* zeroed = KvCNew(size, 1, "KvCatalogClass::AddFeatureClass", KERR_Fatal);
  if (zeroed == nullptr) return -1;
  block.SetBytes(size, static_cast<unsigned char*>(zeroed), KvOwnKvDelete);

  KvStringClass index(64ul);
  if (GetFeatureCatalogName(name_.c_str(), index) != 0) return -1;
  int rc = 0;
  {
    TableGuard table(table_);
    rc = table.OpenForWrite(index.c_str());
    if (rc != 0) {
      // A damaged feature index keeps the storage's message, which names it.
      if (!table.Damaged()) KvError(KERR_CatOpen, KERR_Fatal, name_.c_str(), rc);
      return rc;
    }
    KvDatumClass key;
    BorrowKey(key, feature);
    rc = table->Insert(key, block);
    if (rc != 0) {
      // An existing entry is the harmless case (severity 0); a refused write
      // on a table that lacks the entry is a real failure.
      KvDatumClass existing;
      const bool present = rc == 1 && table->Get(key, existing) == 0;
      KvError(KERR_CatInsert, present ? KERR_NonFatal : KERR_Fatal, name_.c_str(), feature, rc);
    }
    const int closed = table.Close();
    if (rc == 0) rc = closed;
  }
  if (rc != 0) return rc;

  KvStringClass tableName(64ul);
  if (FeatureTableName(f.get(), tableName) != 0) return -1;
  rc = connection_->CreateTable(table_, tableName.c_str(), static_cast<int>(f->GetByteStringSize()), a, b, c);
  if (rc != 0) {
    // Undo the entry so the catalog does not list a class without a table.
    DeleteFeatureClass(feature);
    KvError(KERR_CatCreateTable, KERR_Fatal, tableName.c_str(), rc);
  }
  return rc;
}

int KvCatalogClass::DoDeleteFeatureClass(const char* feature) {
  FeaturePtr f = MakeFeature(feature);
  if (!f || !RequireOpen("KvCatalogClass::DeleteFeatureClass")) return -1;
  KvStringClass index(64ul);
  KvStringClass tableName(64ul);
  if (GetFeatureCatalogName(name_.c_str(), index) != 0 || FeatureTableName(f.get(), tableName) != 0) return -1;
  int first = 0;
  {
    TableGuard table(table_);
    const int rc = table.OpenForWrite(index.c_str());
    if (rc != 0) {
      // A damaged feature index keeps the storage's message, which names it.
      if (!table.Damaged()) KvError(KERR_CatOpen, KERR_Fatal, name_.c_str(), rc);
      return -1;
    }
    KvDatumClass key;
    BorrowKey(key, feature);
    const int deleted = table->Delete(key);
    if (deleted != 0) {
      KvError(KERR_CatDeleteFeature, KERR_Fatal, feature, name_.c_str(), deleted);
      first = deleted;
    }
  }
  TableGuard table(table_);
  int rc = table.OpenForWrite(tableName.c_str());
  if (rc == 0) rc = table.Remove();
  if (rc != 0) KvError(KERR_CatRemoveTable, KERR_Fatal, tableName.c_str(), rc);
  // A class that was not in the catalog is reported as such even though its
  // (empty) table could be removed.
  return first != 0 ? first : rc;
}

int KvCatalogClass::ListFeatures(KvDatumClass& out) {
  std::vector<std::string> names;
  const int rc = ListFeatureNames(names);
  if (rc != 0) return rc;
  std::string text;
  for (const std::string& name : names) {
    text += name;
    text += ' ';
  }
  return kvcat::GiveText(out, text, false, "KvCatalogClass::ListFeatures");
}

int KvCatalogClass::ListFeatureNames(std::vector<std::string>& names) {
  names.clear();
  if (!RequireOpen("KvCatalogClass::ListFeatures")) return -1;
  KvStringClass index(64ul);
  if (GetFeatureCatalogName(name_.c_str(), index) != 0) return -1;
  TableGuard table(table_);
  const int rc = table.Open(index.c_str(), "r");
  if (rc != 0) {
    // A damaged feature index keeps the storage's message, which names it.
    if (!table.Damaged()) KvError(KERR_CatOpen, KERR_Fatal, name_.c_str(), rc);
    return rc;
  }
  std::unique_ptr<KvDbIteratorClass> it(table->NewIterator());
  if (!it) return -1;
  KvDatumClass key, data;
  while (it->HasCurrent()) {
    if (it->NextView(key, data) != 0) {
      Fail(KERR_Fatal, "KvCatalogClass::ListFeatures: walk of %s failed", index.c_str());
      return -1;
    }
    std::string name = kvcat::DatumText(key);
    if (!name.empty()) names.push_back(std::move(name));
  }
  return 0;
}

// Names of the classes an AddRecord or DeleteRecord call works on: the given
// blank-separated list, or every class of the catalog.
int KvCatalogClass::NamesForRecord(const char* features, std::vector<std::string>& names) {
  if (features == nullptr) return ListFeatureNames(names);
  names = kvcat::SplitWords(features);
  return 0;
}

// ---- reading records -----------------------------------------------------

int KvCatalogClass::GetFeature(const char* key, const char* featureName, KvDatumClass& out) {
  if (key == nullptr) {
    Fail(KERR_Fatal, "KvCatalogClass::GetFeature: no key given");
    return -1;
  }
  FeaturePtr f = MakeFeature(featureName);
  if (!f) return -1;
  KvStringClass tableName(64ul);
  if (FeatureTableName(f.get(), tableName) != 0) return -1;
  TableGuard table(table_);
  int rc = table.Open(tableName.c_str(), "r");
  if (rc != 0) {
    KvError(KERR_FeatTableOpen, KERR_Fatal, tableName.c_str(), rc);
    return rc;
  }
  KvDatumClass keyDatum, data;
  BorrowKey(keyDatum, key);
  rc = table->Get(keyDatum, data);
  if (rc == 0) {
    // The looked-up bytes belong to the table until its next call: copy.
    if (out.CopyBytes(data.Data(), data.Size(), "KvCatalogClass::GetFeature") != 0) return -1;
  } else if (rc != -1) {
    KvError(KERR_FeatTableGet, KERR_NonFatal, tableName.c_str(), key, rc);
  }
  return rc;
}

int KvCatalogClass::GetFeature(const char* key, KvFeatureClass* feature) {
  if (key == nullptr || feature == nullptr) {
    Fail(KERR_Fatal, "KvCatalogClass::GetFeature: no key or feature given");
    return -1;
  }
  KvStringClass tableName(64ul);
  if (FeatureTableName(feature, tableName) != 0) return -1;
  // Read-only: a lookup for a class the catalog lacks creates no table.
  TableGuard table(table_);
  int rc = table.Open(tableName.c_str(), "r");
  if (rc != 0) {
    KvError(KERR_FeatTableOpen, KERR_Fatal, tableName.c_str(), rc);
    return rc;
  }
  KvDatumClass keyDatum, data, copy;
  BorrowKey(keyDatum, key);
  rc = table->Get(keyDatum, data);
  if (rc != 0) {
    if (rc != -1) KvError(KERR_FeatTableGet, KERR_NonFatal, tableName.c_str(), key, rc);
    return rc;
  }
  if (copy.CopyBytes(data.Data(), data.Size(), "KvCatalogClass::GetFeature") != 0) return -1;
  table.Close();
  return feature->FromByteString(copy) != 0 ? -1 : 0;
}

Boolean KvCatalogClass::KeyExists(const char* key) {
  if (key == nullptr) return False;
  std::vector<std::string> names;
  if (ListFeatureNames(names) != 0) return False;
  KvStringClass tableName(64ul);
  KvDatumClass keyDatum;
  BorrowKey(keyDatum, key);
  for (const std::string& name : names) {
    FeaturePtr f = MakeFeature(name.c_str());
    if (!f || f->IsSubPartFeature() || FeatureTableName(f.get(), tableName) != 0) continue;
    TableGuard table(table_);
    // A class whose table cannot be opened holds no record of the key.
    if (table.Open(tableName.c_str(), "r") != 0) continue;
    KvDatumClass data;
    const int rc = table->Get(keyDatum, data);
    if (rc == 0) return True;
    if (rc < 0) return False;
  }
  return False;
}
