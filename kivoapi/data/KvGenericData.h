// Generic data objects: what a feature is computed from or compared with, and
// their length-framed query strings.
#pragma once

#include <cstdint>

#include "core/KvBase.h"
#include "core/KvDatum.h"

// Type letters of a data object.
enum : int32_t {
  KV_DATA_UNSET = 'u',
  KV_DATA_RECORD = 'e',   // a record stored under a key in a catalog
  KV_DATA_SAMPLER = 's',  // a record stored in a named sampler table
  KV_DATA_MEMORY = 'm',   // pixels read from a file or handed over in memory
  KV_DATA_PICKER = 'p',   // pixels built from a picker description
};

// Largest length a "%9lu" frame can carry.
constexpr unsigned long kKvMaxFramedLength = 999999999ul;

class KvGenericDataClass : public KvBaseClass {
 public:
  KvGenericDataClass();
  ~KvGenericDataClass() override;
  KvGenericDataClass(const KvGenericDataClass&) = delete;
  KvGenericDataClass& operator=(const KvGenericDataClass&) = delete;

  uint32_t GetClassId() const override { return 171001; }
  const char* GetClassName() const override { return "KvGenericDataClass"; }

  // Writes the query string into a new buffer handed to out (KvDelete). -1
  // for an unset or unknown type, unset names, a frame over 999,999,999
  // bytes, or an allocation failure; out is then untouched.
  virtual int ToQueryString(KvDatumClass& out);
  // Re-fetches the stored record of an 'e' or 's' object for featureName;
  // 'm' and 'p' objects are left unchanged (0).
  virtual int FromQueryString(const char* featureName);
  // Parses a query string held in in (not necessarily NUL-terminated). For
  // 'e' and 's' also fetches the stored record. For 'm' and 'p' the data datum
  // refers to in's bytes in place: in must outlive every use of the payload.
  virtual int FromQueryString(const KvDatumClass& in, const char* featureName);
  virtual int EncodeSubPartDef(KvDatumClass& out) const = 0;
  virtual int DecodeSubPartDef(const KvDatumClass& in) = 0;

  int32_t GetType() const { return type_; }
  void SetType(int32_t type) { type_ = type; }
  KvDatumClass& GetDataDatum() { return data_; }
  const KvDatumClass& GetDataDatum() const { return data_; }
  KvDatumClass& GetFeatureDatum() { return feature_; }
  const KvDatumClass& GetFeatureDatum() const { return feature_; }
  const char* GetCatalogName() const { return catalogName_; }
  const char* GetKey() const { return key_; }
  const char* GetSamplerName() const { return samplerName_; }
  const char* GetKeywordText() const { return keywordText_; }
  // Each setter keeps a copy; -1 only when a non-null text cannot be copied.
  int SetCatalogName(const char* name);
  int SetKey(const char* key);
  int SetSamplerName(const char* name);
  int SetKeywordText(const char* text);
  Boolean GetQuerySide() const { return querySide_; }
  void SetQuerySide(Boolean flag) { querySide_ = flag; }
  Boolean GetSubPart() const { return subPart_; }
  void SetSubPart(Boolean flag) { subPart_ = flag; }

 protected:
  int32_t type_ = KV_DATA_UNSET;
  KvDatumClass data_;
  KvDatumClass feature_;
  char* catalogName_ = nullptr;
  char* key_ = nullptr;
  char* samplerName_ = nullptr;
  Boolean querySide_ = False;
  char* keywordText_ = nullptr;
  Boolean subPart_ = False;
};
