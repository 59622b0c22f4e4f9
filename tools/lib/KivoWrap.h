// The command library: one object holds a working context (a connection, an
// open catalog, up to 64 features with parameter sets and data objects, query
// and thumbnail settings) and runs the commands of the four tools and the Tcl
// shell. Command methods write to the standard streams when out is null, and
// into out (and the streams too when verbose) otherwise.
#pragma once

#include <cstdio>
#include <functional>

#include "core/KvBase.h"
#include "core/KvDatum.h"
#include "core/KvString.h"
#include "data/KvGenericImageData.h"

class KvCatalogClass;
class KvConnectClass;
class KvDatabaseClass;
class KvFeatureClass;
class KvGenericDataClass;
class KvParameterClass;
class KvQueryClass;

constexpr int kKivoMaxFeatures = 64;

class KivoWrapClass {
 public:
  KivoWrapClass();
  // Texts longer than their members (255, 255, 1 characters) are cut; a null
  // text keeps the default.
  KivoWrapClass(const char* catalogName, const char* databaseName, const char* mode);
  ~KivoWrapClass();
  KivoWrapClass(const KivoWrapClass&) = delete;
  KivoWrapClass& operator=(const KivoWrapClass&) = delete;

  int SetDefaults();
  // Releases everything the object holds and returns it to its defaults.
  int Close();

  void SetVerbose(int verbose) { verbose_ = verbose; }
  void SetKeyword(const char* keyword);
  int SetNumberOfResults(int n) {
    const int previous = numberOfResults_;
    numberOfResults_ = n;
    return previous;
  }
  void SetThumbnailSize(int width, int height) {
    thumbnailWidth_ = width;
    thumbnailHeight_ = height;
  }
  void SetThumbnailPad(int pad) { thumbnailPad_ = pad; }
  void SetThumbnail24Bit(int on) { thumbnail24Bit_ = on; }

  // Commands of the four tools.
  int MakeDatabase(int argc, char** argv, KvStringClass* out);
  int QueryByExample(int argc, char** argv, KvStringClass* out);
  int MakeThumbnails(int argc, char** argv, KvStringClass* out);
  int DumpDatabase(int argc, char** argv, FILE* out);
  // Usage printers: into out if given, else to stream if given, else stderr.
  int MakeDatabaseUsage(FILE* stream, KvStringClass* out);
  int QueryByExampleUsage(FILE* stream, KvStringClass* out);
  int MakeThumbnailsUsage(FILE* stream, KvStringClass* out);
  int DumpDatabaseUsage(FILE* stream, KvStringClass* out);

  // Takes option -letter from the vector (see the tools' option rules); null
  // when absent. Flag options return a non-null marker.
  static char* GetOption(int& argc, char**& argv, char letter, int noValue);

  // Sessions: connection, catalog, features, data objects.
  int Connect(const char* database, const char* mode);
  int OpenDatabase();
  int OpenCatalog(const char* name);
  int CreateCatalog(const char* name);
  int Open(const char* catalog, const char* database, const char* mode);
  int Reopen();
  int GetNumberOfRecords(const char* featureName);
  int AddFeature(const char* spec);
  int RemoveFeature(const char* className);
  KvParameterClass* FindParameters(const char* className);
  int ListParameters(KvStringClass& out);
  // New KvNew texts released by the caller with KvDelete, or null.
  char* ListCatFeatures();
  char* ListAllFeatures();
  int CreateDataObjects();
  int SetQueryImage(const char* image, const char* mask);
  int SetQueryKey(const char* key);
  int SetQueryDescription(const char* text);
  int SetQueryPickerFile(const char* file, const char* mask);
  int DumpImageFeatures(const char* image, const char* mask, KvStringClass& out);
  int DumpKeyFeatures(const char* key, KvStringClass& out);
  int DumpDescriptionFeatures(const char* text, KvStringClass& out);
  int DumpPickerFileFeatures(const char* file, const char* mask, KvStringClass& out);
  int OpenFromOptions(int& argc, char**& argv, const char* mode);
  // Every object of the process shares the factory's one connection, and an
  // object that releases it (Close, a new Connect or Open) releases it for
  // all. Before an object is used again after another object may have done
  // so, Resume takes a connection for its own database and mode again and
  // remakes and reopens its catalog object. 0 when the object is ready (or
  // holds no connection); -1 (error recorded) when it could not reconnect,
  // leaving it without a connection or catalog object.
  int Resume();

  // Database build steps.
  int ProcessImageSpec(const char* spec, int deleteFlag);
  static int IsImageMaskSpec(const char* spec);
  int AddImages(const char* spec);
  int DeleteImages(const char* spec);
  int AddImageWithMasks(const char* spec);
  int DeleteMasks(const char* spec);

  // Queries.
  int Query(KvStringClass* target);
  // The same evaluation handing each (key, distance) of the result set to
  // each, best first, and the result set's count to *total (when not null).
  // 0, or -1 with the error recorded.
  int Query(const std::function<void(const char* key, float distance)>& each, long* total);
  int RandomQuery(KvStringClass* target, Boolean random);

  // Thumbnails and dumps.
  int MakeThumbnail(const char* image, const char* thumbnail);
  int DumpTable(KvDatabaseClass* table, KvFeatureClass* feature, FILE* out);
  static int IsBinary(const unsigned char* bytes, unsigned long length);
  static void PrintHex(const unsigned char* bytes, unsigned long length, FILE* out);

  // Read access for the Tcl shell and tests.
  int GetFeatureCount() const { return featureCount_; }
  const char* GetFeatureName(int i) const { return featureNames_[i]; }
  const char* GetCatalogName() const { return catalogName_; }
  const char* GetDatabaseName() const { return databaseName_; }
  const char* GetMode() const { return mode_; }
  int GetNumberOfResults() const { return numberOfResults_; }
  int GetThumbnailWidth() const { return thumbnailWidth_; }
  int GetThumbnailHeight() const { return thumbnailHeight_; }
  int GetThumbnailPad() const { return thumbnailPad_; }
  int GetThumbnail24Bit() const { return thumbnail24Bit_; }
  int GetVerbose() const { return verbose_; }
  const char* GetKeyword() const { return keyword_; }
  const KvConnectClass* GetConnection() const { return connection_; }
  KvCatalogClass* GetCatalog() const { return catalog_; }

 private:
  // Destroys the catalog object, then releases the connection unless another
  // object has already released it.
  void ReleaseSession();
  // Takes the process-wide connection for database and mode into the
  // connection member. One made for another database or mode (by another
  // object) is released first. False (error recorded) when none can be had.
  bool AcquireConnection(const char* database, const char* mode);
  // True when a catalog object exists and has been given a name.
  bool CatalogIsOpen() const;
  // Registers features added before the catalog was open for writing.
  void RegisterPendingFeatures();
  void ReleaseDataObjects();
  // Data object i as an image data object, or null (error recorded).
  KvGenericImageDataClass* ImageDataObject(int i);
  int AppendFeatureDumps(int setupResult, KvStringClass& out);
  bool CheckCatalogOpen();
  int AddImageWord(const char* image);
  int AddRecordsForKey(const char* key);
  // -E: erases the listed features from the catalog, or the whole catalog.
  int EraseFromOptions(int argc, KvStringClass* out);
  void ReportSpec(int count, const char* spec, int result, KvStringClass* out);
  // Applies one -e EnvVar=EnvValue argument (restored before returning).
  void ApplySetting(char* assignment);

  const KvConnectClass* connection_;
  // The connection epoch (see KivoWrapSession.cpp) when connection_ was taken.
  unsigned long connectionEpoch_;
  KvCatalogClass* catalog_;
  KvFeatureClass* features_[kKivoMaxFeatures];
  KvParameterClass* parameterSets_[kKivoMaxFeatures];
  KvFeatureClass* samplerFeatures_[kKivoMaxFeatures];
  KvParameterClass* samplerParameterSets_[kKivoMaxFeatures];
  KvGenericDataClass* dataObjects_[kKivoMaxFeatures];
  KvQueryClass* queryObject_;
  int featureCount_;
  int samplerCount_;
  int numberOfResults_;
  int thumbnailWidth_;
  int thumbnailHeight_;
  int thumbnail24Bit_;
  int thumbnailPad_;
  char* imageListFile_;
  int catalogOpenPending_;
  int featuresPending_;
  char catalogName_[256];
  char databaseName_[256];
  char mode_[2];
  char featureNames_[kKivoMaxFeatures][200];
  const char* modeText_;
  char keyword_[128];
  KvDatumClass scratch_;
  KvGenericImageDataClass recordImage_;
  int deleteFlag_;
  int eraseFlag_;
  int featuresAdded_;
  int addMode_;
  int verbose_;
};
