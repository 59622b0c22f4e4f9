// Catalogs: per database directory, a feature index (FeatIdx.<catalog>), one
// feature table per feature class, a sub-part catalog and samplers. Files are
// opened per operation and closed before the operation returns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/KvBase.h"
#include "core/KvDatum.h"
#include "core/KvString.h"

class KvConnectClass;
class KvDatabaseClass;
class KvFeatureClass;
class KvGenericDataClass;
class KvParameterClass;

// Record modes of AddRecord and AddFeatureRecords.
enum : int {
  KV_MODE_INSERT = 0,
  KV_MODE_INCREMENTAL = 1,
  KV_MODE_UPDATE = 2,
  KV_MODE_FORCE_UPDATE = 3,
};

// At most this many feature classes take part in one AddRecord call (more are
// refused before anything is written); AddFeatureRecords fills the caller's
// arrays with at most this many entries.
constexpr int kKvCatalogMaxClasses = 64;
// Longest catalog name: it is the extension of every table file of the
// catalog, so it must fit a 255-character file name beside the longest table
// stem (15 characters) and its dot.
constexpr unsigned long kKvMaxCatalogNameLength = 239;
// Longest sampler name: the sampler's table stem.
constexpr unsigned long kKvMaxSamplerNameLength = 15;

class KvCatalogClass : public KvBaseClass {
 public:
  // Made by the connection's NewCatalog; invalid when its table object or
  // strings cannot be made. Catalog and sampler names are refused (error
  // 10001) when empty, too long, or when they hold a path separator, so every
  // file stays inside the database directory.
  explicit KvCatalogClass(const KvConnectClass* connection);
  ~KvCatalogClass() override;
  KvCatalogClass(const KvCatalogClass&) = delete;
  KvCatalogClass& operator=(const KvCatalogClass&) = delete;

  uint32_t GetClassId() const override { return 754864; }
  const char* GetClassName() const override { return "KvCatalogClass"; }

  // Table and file names (0, or -1 on failure).
  int GetFeatureCatalogName(const char* catalog, KvStringClass& out) const;
  int GetSubPartCatalogName(const char* catalog, KvStringClass& out) const;
  int GetFeatureTableName(const char* feature, KvStringClass& out) const;
  int GetFeatureIndexTableName(const char* feature, KvStringClass& out) const;
  int GetFeatureDistTableName(const char* feature, KvStringClass& out) const;
  int GetSamplerIndexName(KvStringClass& out) const;
  int GetSamplerTableName(const char* sampler, KvStringClass& out) const;
  int GetSamplerFeatureName(const char* sampler, KvDatabaseClass* table, KvStringClass& out);

  virtual int CreateCatalog(const char* catalog, int a, int b);
  virtual int DeleteCatalog(const char* catalog);
  virtual int Open(const char* catalog);
  virtual int Close();
  virtual const char* GetTableClassName() const;
  virtual int AddFeatureClass(const char* feature, int a, int b, int c);
  virtual int DeleteFeatureClass(const char* feature);
  // Blank-terminated feature class names in key order (owned by out).
  virtual int ListFeatures(KvDatumClass& out);
  // Writes key's records for the blank-separated classes (null: all of the
  // catalog) whose sub-part kind matches data; every check and computation is
  // done before the first write. 0; a precheck stop code 2 to 7 (10038); -1.
  // More than kKvCatalogMaxClasses classes are refused. The text feature takes
  // no part for an image without keyword text, in every mode.
  virtual int AddRecord(const char* key, KvGenericDataClass* data, KvParameterClass** parameters,
                        int mode, const char* features);
  // The per-object form. With *count 0 the caller's arrays (room for
  // kKvCatalogMaxClasses entries) receive new feature objects and parameter
  // sets that the caller releases, and *count their number.
  virtual int AddFeatureRecords(const char* key, KvGenericDataClass* data,
                                KvFeatureClass** featureObjects, KvParameterClass** parameterObjects,
                                int* count, int mode);
  // Removes key's whole-image records, then its sub-parts. The number of
  // classes examined when none had the key ("Key %s not found in catalog").
  virtual int DeleteRecord(const char* key, const char* features);
  virtual int DeleteRecord(const char* key, KvFeatureClass** featureObjects, int count);
  virtual int DeleteSubPartRecord(const char* subPartKey);
  virtual int GetFeature(const char* key, KvFeatureClass* feature);
  // out receives an owned copy of the stored bytes; 1 when absent.
  virtual int GetFeature(const char* key, const char* featureName, KvDatumClass& out);
  // Counters 1 to 4 of a feature's global information (0 when unreadable).
  virtual uint32_t GetGlobalCounter1(const char* feature);
  virtual uint32_t GetGlobalCounter2(const char* feature);
  virtual uint32_t GetGlobalCounter3(const char* feature);
  virtual uint32_t GetGlobalCounter4(const char* feature);
  virtual Boolean KeyExists(const char* key);
  virtual int GetGlobalFeatureInfo(const char* feature, KvDatumClass& out);
  virtual int PutGlobalFeatureInfo(const char* feature, const KvDatumClass& block);
  // Sub-part keys are whole words of their parent's list: keys with white
  // space are refused. Reading garbled records is an error, never a crash.
  virtual int AddSubPartRecord(const char* parentKey, const char* subPartKey,
                               KvGenericDataClass* imageData);
  virtual int GetSubPartDefinition(const char* subPartKey, KvGenericDataClass* imageData);
  virtual int GetSubPartKeys(const char* parentKey, unsigned long* count, KvDatumClass& out);
  virtual int GetSubPartParent(const char* subPartKey, KvDatumClass& out);
  virtual int AddSampler(const char* sampler, const char* feature);
  virtual int DeleteSampler(const char* sampler);
  virtual int ListSamplers(KvDatumClass& out);
  virtual int AddSamplerRecords(const char* key, const char* samplers, KvGenericDataClass* data,
                                KvParameterClass** parameters, int mode);
  virtual int DeleteSamplerRecords(const char* key, const char* samplers);
  virtual int GetSamplerFeature(const char* key, const char* sampler, KvFeatureClass* feature);
  virtual int GetSamplerRecord(const char* key, const char* sampler, KvDatumClass& out);
  virtual int Reserved() { return 0; }

  // Runs body as one change of the catalog's storage: everything it writes
  // (catalogs made, classes added, records) is committed together when it
  // returns 0 and rolled back otherwise, or when the storage failed inside.
  // body's result, or -1 when the commit failed (error recorded). Nothing in
  // body may release the catalog or its connection.
  int AsOneChange(const std::function<int()>& body) { return InScope(body); }

  // The catalog name given to Open (empty before).
  const char* GetName() const { return name_.c_str(); }
  const KvConnectClass* GetConnection() const { return connection_; }

 private:
  // The bodies of the changing operations; each public one runs its body as
  // one write scope (all or nothing).
  int DoCreateCatalog(const char* catalog, int a, int b);
  int DoDeleteCatalog(const char* catalog);
  int DoAddFeatureClass(const char* feature, int a, int b, int c);
  int DoDeleteFeatureClass(const char* feature);
  int DoAddRecord(const char* key, KvGenericDataClass* data, KvParameterClass** parameters, int mode, const char* features);
  int DoAddFeatureRecords(const char* key, KvGenericDataClass* data, KvFeatureClass** featureObjects, KvParameterClass** parameterObjects, int* count, int mode);
  int DoDeleteRecord(const char* key, const char* features);
  int DoDeleteRecord(const char* key, KvFeatureClass** featureObjects, int count);
  int DoDeleteSubPartRecord(const char* subPartKey);
  int DoPutGlobalFeatureInfo(const char* feature, const KvDatumClass& block);
  int DoAddSubPartRecord(const char* parentKey, const char* subPartKey, KvGenericDataClass* imageData);
  int DoAddSampler(const char* sampler, const char* feature);
  int DoDeleteSampler(const char* sampler);
  int DoListSamplers(KvDatumClass& out);
  int DoAddSamplerRecords(const char* key, const char* samplers, KvGenericDataClass* data, KvParameterClass** parameters, int mode);
  int DoDeleteSamplerRecords(const char* key, const char* samplers);
  int InScope(const std::function<int()>& body);
  int InScopeKeeping(const std::function<int()>& body);
  // Helpers shared by the catalog's source files; each records its failures.
  bool RequireOpen(const char* where) const;
  int CheckCatalogName(const char* catalog, const char* where) const;
  int CheckSamplerName(const char* sampler, const char* where) const;
  int FeatureTableName(KvFeatureClass* feature, KvStringClass& out) const;
  int ListFeatureNames(std::vector<std::string>& names);
  int NamesForRecord(const char* features, std::vector<std::string>& names);
  int ReadGlobalInfo(KvFeatureClass* feature, KvDatumClass& out);
  int WriteGlobalInfo(KvFeatureClass* feature, const KvDatumClass& block);
  uint32_t ReadCounter(const char* feature, int which);
  int RemoveRecordFromClass(KvFeatureClass* feature, const char* key, bool* found);
  int ReadSubPartRecord(const char* key, std::string& text);

  KvStringClass name_{64ul, True};
  KvStringClass work_{64ul, True};
  KvDatabaseClass* table_ = nullptr;
  const KvConnectClass* connection_;
};
