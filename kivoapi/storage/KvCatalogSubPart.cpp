// Sub-parts: masked regions of stored images, each with a key of its own.
//
// SubPIdx.<catalog> holds two kinds of records (key plus NUL -> text plus
// NUL):
//   parent image key  "<n> <sub-part key> ... <sub-part key>"
//                     n in decimal, the n keys separated by single blanks
//   sub-part key      "<parent key> <packed mask>"
//                     the packed mask (EncodeSubPartDef) in lowercase hex,
//                     two digits per byte
// Keys are compared as whole words, so s1 and s10 are different sub-parts.
// Keys therefore cannot contain white space.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/KvError.h"
#include "core/KvString.h"
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

namespace {

int CheckKey(const char* key, const char* what, const char* where) {
  if (key == nullptr || *key == '\0' || kvcat::HasWhiteSpace(key)) {
    Fail(KERR_Fatal, "%s: %s key %s is empty or contains white space", where, what, key != nullptr ? key : "(null)");
    return -1;
  }
  return 0;
}

bool IsCount(const std::string& word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Splits a parent's record into its sub-part keys. False (error recorded) for
// a record that does not start with a count.
bool ParseParentRecord(const std::string& text, const char* parent, std::vector<std::string>& keys,
                       unsigned long* count) {
  keys = kvcat::SplitWords(text);
  if (keys.empty() || !IsCount(keys.front())) {
    Fail(KERR_Fatal, "KvCatalogClass: sub-part list of %s is garbled", parent);
    return false;
  }
  if (count != nullptr) *count = std::strtoul(keys.front().c_str(), nullptr, 10);
  keys.erase(keys.begin());
  return true;
}

// Writes a parent's record for keys, or deletes it when keys is empty.
int WriteParentRecord(KvDatabaseClass* table, const char* parent, const std::vector<std::string>& keys) {
  KvDatumClass key;
  BorrowKey(key, parent);
  if (keys.empty()) return table->Delete(key);
  const std::string text = std::to_string(keys.size()) + " " + kvcat::JoinWords(keys);
  KvDatumClass data;
  BorrowKey(data, text.c_str());
  return table->Update(key, data, True);
}

// Removes subPart from parent's list in the open sub-part catalog. 0 when
// the list was rewritten or deleted, 1 when the parent is absent or does not
// list subPart, else the failure.
int UnlistSubPart(KvDatabaseClass* table, const char* parent, const char* subPart) {
  KvDatumClass key, stored;
  BorrowKey(key, parent);
  if (table->Get(key, stored) != 0) return 1;
  std::vector<std::string> keys;
  if (!ParseParentRecord(kvcat::DatumText(stored), parent, keys, nullptr)) return -1;
  auto it = keys.begin();
  while (it != keys.end() && *it != subPart) ++it;
  if (it == keys.end()) return 1;
  keys.erase(it);
  const int rc = WriteParentRecord(table, parent, keys);
  if (rc != 0) Fail(KERR_Fatal, "KvCatalogClass: rewrite of the sub-part list of %s failed with rc %d", parent, rc);
  return rc;
}

}  // namespace

// Reads key's record of the sub-part catalog into text. 1 when the catalog
// has no sub-part file or no such record; -1 on failure.
int KvCatalogClass::ReadSubPartRecord(const char* key, std::string& text) {
  text.clear();
  KvStringClass index(64ul);
  if (GetSubPartCatalogName(name_.c_str(), index) != 0) return -1;
  if (!kvcat::FileExistsInDatabase(connection_, index.c_str())) return 1;
  TableGuard table(table_);
  const int rc = table.Open(index.c_str(), "r");
  if (rc != 0) {
    KvError(KERR_CatSubPartOpen, KERR_Fatal, index.c_str(), rc);
    return -1;
  }
  KvDatumClass keyDatum, stored;
  BorrowKey(keyDatum, key);
  if (table->Get(keyDatum, stored) != 0) return 1;
  text = kvcat::DatumText(stored);
  return 0;
}

int KvCatalogClass::DoAddSubPartRecord(const char* parentKey, const char* subPartKey, KvGenericDataClass* imageData) {
  const char* where = "KvCatalogClass::AddSubPartRecord";
  if (!RequireOpen(where) || CheckKey(parentKey, "parent", where) != 0 ||
      CheckKey(subPartKey, "sub-part", where) != 0) {
    return -1;
  }
  if (std::strcmp(parentKey, subPartKey) == 0 || imageData == nullptr) {
    Fail(KERR_Fatal, "%s: sub-part %s needs an image and a key of its own", where, subPartKey);
    return -1;
  }
  // The definition is made before anything is written, so a failure leaves
  // no half-registered sub-part.
  KvDatumClass packed;
  if (imageData->EncodeSubPartDef(packed) != 0) return -1;
  KvStringClass record(parentKey);
  record.Append(" ");
  if (record.EncodeBuffer(packed.Data(), packed.Size()) != 0 || !record.IsValid()) return -1;

  KvStringClass index(64ul);
  if (GetSubPartCatalogName(name_.c_str(), index) != 0) return -1;
  TableGuard table(table_);
  int rc = table.OpenForWrite(index.c_str());
  if (rc != 0) {
    KvError(KERR_CatSubPartOpen, KERR_Fatal, index.c_str(), rc);
    return rc;
  }
  KvDatumClass subKey, parentDatum, stored;
  BorrowKey(subKey, subPartKey);
  BorrowKey(parentDatum, parentKey);

  // A sub-part that moves to another parent leaves its old parent's list.
  if (table->Get(subKey, stored) == 0) {
    const std::vector<std::string> words = kvcat::SplitWords(kvcat::DatumText(stored));
    if (!words.empty() && words.front() != parentKey) {
      const std::string oldParent = words.front();
      rc = UnlistSubPart(table.get(), oldParent.c_str(), subPartKey);
      if (rc != 0 && rc != 1) return rc;
    }
  }

  if (table->Get(parentDatum, stored) == 0) {
    std::vector<std::string> keys;
    if (!ParseParentRecord(kvcat::DatumText(stored), parentKey, keys, nullptr)) return -1;
    bool listed = false;
    for (const std::string& k : keys) listed = listed || k == subPartKey;
    if (!listed) {
      keys.emplace_back(subPartKey);
      rc = WriteParentRecord(table.get(), parentKey, keys);
    }
  } else {
    rc = WriteParentRecord(table.get(), parentKey, {subPartKey});
  }
  if (rc != 0) {
    Fail(KERR_Fatal, "%s: write of the sub-part list of %s failed with rc %d", where, parentKey, rc);
    return rc;
  }
  KvDatumClass data;
  BorrowKey(data, record.c_str());
  rc = table->Update(subKey, data, True);
  if (rc != 0) {
    Fail(KERR_Fatal, "%s: write of sub-part %s failed with rc %d", where, subPartKey, rc);
    return rc;
  }
  return table.Close();
}

int KvCatalogClass::GetSubPartDefinition(const char* subPartKey, KvGenericDataClass* imageData) {
  const char* where = "KvCatalogClass::GetSubPartDefinition";
  if (!RequireOpen(where) || CheckKey(subPartKey, "sub-part", where) != 0) return -1;
  if (imageData == nullptr) {
    Fail(KERR_Fatal, "%s: no image object given", where);
    return -1;
  }
  std::string text;
  int rc = ReadSubPartRecord(subPartKey, text);
  if (rc == 1) Fail(KERR_NonFatal, "%s: sub-part %s not in catalog %s", where, subPartKey, name_.c_str());
  if (rc != 0) return rc;
  const size_t blank = text.find(' ');
  if (blank == std::string::npos || blank == 0) {
    Fail(KERR_Fatal, "%s: record of sub-part %s is garbled (no parent key)", where, subPartKey);
    return -1;
  }
  const std::string parent = text.substr(0, blank);
  const char* hex = text.c_str() + blank + 1;
  size_t digits = 0;
  while (std::isxdigit(static_cast<unsigned char>(hex[digits]))) ++digits;
  if (digits == 0 || digits % 2 != 0) {
    Fail(KERR_Fatal, "%s: record of sub-part %s is garbled (%zu hex digits)", where, subPartKey, digits);
    return -1;
  }
  unsigned char* bytes = static_cast<unsigned char*>(KvNew(digits / 2, where, KERR_Fatal));
  if (bytes == nullptr) return -1;
  KvDatumClass packed;
  packed.SetBytes(digits / 2, bytes, KvOwnKvDelete);
  if (KvDecodeHex(hex, digits, bytes, digits / 2, nullptr, nullptr) != 0) return -1;
  rc = imageData->DecodeSubPartDef(packed);
  if (rc != 0) return rc;
  const std::string keywords = "ParentKey: " + parent + " SubPartKey: " + subPartKey;
  return imageData->SetKeywordText(keywords.c_str());
}

int KvCatalogClass::GetSubPartKeys(const char* parentKey, unsigned long* count, KvDatumClass& out) {
  const char* where = "KvCatalogClass::GetSubPartKeys";
  if (!RequireOpen(where) || parentKey == nullptr) return -1;
  std::string text;
  const int rc = ReadSubPartRecord(parentKey, text);
  if (rc != 0) return rc;
  std::vector<std::string> keys;
  unsigned long n = 0;
  if (!ParseParentRecord(text, parentKey, keys, &n)) return -1;
  if (count != nullptr) *count = n;
  return kvcat::GiveText(out, kvcat::JoinWords(keys), false, where);
}

int KvCatalogClass::GetSubPartParent(const char* subPartKey, KvDatumClass& out) {
  const char* where = "KvCatalogClass::GetSubPartParent";
  if (!RequireOpen(where) || subPartKey == nullptr) return -1;
  std::string text;
  const int rc = ReadSubPartRecord(subPartKey, text);
  if (rc != 0) return rc;
  const size_t blank = text.find(' ');
  if (blank == std::string::npos || blank == 0) {
    Fail(KERR_Fatal, "%s: record of sub-part %s is garbled (no parent key)", where, subPartKey);
    return -1;
  }
  return kvcat::GiveText(out, text.substr(0, blank), true, where);
}

int KvCatalogClass::DoDeleteSubPartRecord(const char* subPartKey) {
  const char* where = "KvCatalogClass::DeleteSubPartRecord";
  if (!RequireOpen(where) || CheckKey(subPartKey, "sub-part", where) != 0) return -1;
  // 1. The sub-part's feature records. A failure does not keep the sub-part
  // registered: its index entries are still removed, and the failure is the
  // result.
  int first = 0;
  std::vector<std::string> names;
  if (ListFeatureNames(names) != 0) first = -1;
  for (const std::string& name : names) {
    if (first != 0) break;
    FeaturePtr f = MakeFeature(name.c_str());
    if (!f) {
      first = -1;
    } else if (f->IsSubPartFeature()) {
      bool found = false;
      if (RemoveRecordFromClass(f.get(), subPartKey, &found) != 0) first = -1;
    }
  }
  // 2. Its parent and its entries in the sub-part catalog.
  KvDatumClass parentDatum;
  const int parentRc = GetSubPartParent(subPartKey, parentDatum);
  const std::string parent = parentRc == 0 ? kvcat::DatumText(parentDatum) : std::string();
  if (parentRc == -1 && first == 0) first = -1;  // garbled record: still removed below
  KvStringClass index(64ul);
  if (GetSubPartCatalogName(name_.c_str(), index) != 0) return -1;
  if (!kvcat::FileExistsInDatabase(connection_, index.c_str())) return first != 0 ? first : 1;
  TableGuard table(table_);
  int rc = table.OpenForWrite(index.c_str());
  if (rc != 0) {
    KvError(KERR_CatSubPartOpen, KERR_Fatal, index.c_str(), rc);
    return first != 0 ? first : rc;
  }
  KvDatumClass subKey;
  BorrowKey(subKey, subPartKey);
  rc = table->Delete(subKey);
  if (!parent.empty()) {
    const int unlisted = UnlistSubPart(table.get(), parent.c_str(), subPartKey);
    if (unlisted != 1) rc = unlisted;
  }
  const int closed = table.Close();
  if (first != 0) return first;
  return rc != 0 ? rc : closed;
}
