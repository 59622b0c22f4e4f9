// KivoWrapClass data objects: one image data object per listed feature, set
// up from an image file, a stored key, a picker description or a picker
// file, and the feature dumps built on them.
#include <cstring>
#include <string>

#include "KivoWrap.h"
#include "KvFactory.h"
#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "data/KvGenericImageData.h"
#include "features/KvFeature.h"
#include "query/KvDeadline.h"
#include "storage/KvCatalog.h"

void KivoWrapClass::ReleaseDataObjects() {
  for (int i = 0; i < kKivoMaxFeatures; ++i) {
    delete dataObjects_[i];
    dataObjects_[i] = nullptr;
  }
}

int KivoWrapClass::CreateDataObjects() {
  // Objects of an earlier set-up are replaced, not leaked.
  ReleaseDataObjects();
  for (int i = 0; i < featureCount_; ++i) {
    dataObjects_[i] = KvCreateGenericDataClass("KvGenericImageDataClass");
    if (dataObjects_[i] == nullptr) {
      ReleaseDataObjects();
      return -1;
    }
  }
  return 0;
}

KvGenericImageDataClass* KivoWrapClass::ImageDataObject(int i) {
  KvGenericImageDataClass* image = dynamic_cast<KvGenericImageDataClass*>(dataObjects_[i]);
  if (image == nullptr) {
    KvError(KERR_UnknownDataClass, KERR_Fatal,
            dataObjects_[i] != nullptr ? dataObjects_[i]->GetClassName() : "(null)");
  }
  return image;
}

int KivoWrapClass::SetQueryImage(const char* image, const char* mask) {
  if (CreateDataObjects() != 0) return -1;
  // Each feature reads the image itself; the time limit of the query in
  // force (KvQBE's) is looked at before each reading and after the last.
  const KvDeadline deadline = KvCurrentDeadline();
  for (int i = 0; i < featureCount_; ++i) {
    if (deadline.Expired()) return KvDeadlineFail("KivoWrapClass::SetQueryImage");
    KvGenericImageDataClass* data = ImageDataObject(i);
    if (data == nullptr) return -1;
    const int rc = data->ReadImageDataFromFile(image, mask, features_[i]->IsSubPartFeature());
    if (rc != 0) return rc;
  }
  if (deadline.Expired()) return KvDeadlineFail("KivoWrapClass::SetQueryImage");
  return 0;
}

int KivoWrapClass::SetQueryKey(const char* key) {
  if (CreateDataObjects() != 0) return -1;
  // A key that is stored in none of the catalog's whole-image tables cannot
  // be queried. Sub-part keys live only in sub-part tables, so with a
  // sub-part feature listed the per-feature fetch decides instead.
  bool subPartListed = false;
  for (int i = 0; i < featureCount_; ++i) subPartListed = subPartListed || features_[i]->IsSubPartFeature();
  // A table that cannot be read is no absent key: its failure is kept.
  if (key != nullptr && catalog_ != nullptr && !subPartListed) KvInitializeErrorStructure();
  if (key != nullptr && catalog_ != nullptr && !subPartListed && catalog_->KeyExists(key) != True) {
    if (GetErrorMSGSeverity() == KERR_Fatal) return -1;
    std::string text = "KivoWrapClass::SetQueryKey: key ";
    text += key;
    text += " is not stored in catalog ";
    text += catalogName_;
    KvError(KERR_General, KERR_NonFatal, text.c_str());
    return 1;
  }
  for (int i = 0; i < featureCount_; ++i) {
    dataObjects_[i]->SetType(KV_DATA_RECORD);
    if (dataObjects_[i]->SetCatalogName(catalogName_) != 0) return -1;
    if (key == nullptr || dataObjects_[i]->SetKey(key) != 0) return -1;
  }
  return 0;
}

int KivoWrapClass::SetQueryDescription(const char* text) {
  if (CreateDataObjects() != 0) return -1;
  for (int i = 0; i < featureCount_; ++i) {
    KvGenericImageDataClass* data = ImageDataObject(i);
    if (data == nullptr) return -1;
    const int rc = data->ReadPickerImageDescriptionString(text, features_[i]->IsSubPartFeature());
    if (rc != 0) return rc;
  }
  return 0;
}

int KivoWrapClass::SetQueryPickerFile(const char* file, const char* mask) {
  if (CreateDataObjects() != 0) return -1;
  for (int i = 0; i < featureCount_; ++i) {
    KvGenericImageDataClass* data = ImageDataObject(i);
    if (data == nullptr) return -1;
    const int rc = data->ReadImageDataFromPickerFile(file, mask, features_[i]->IsSubPartFeature());
    if (rc != 0) return rc;
  }
  return 0;
}

int KivoWrapClass::AppendFeatureDumps(int setupResult, KvStringClass& out) {
  // Without data objects there is nothing to compute from: report the set-up
  // failure instead of printing values that describe no image.
  if (setupResult != 0) return setupResult;
  for (int i = 0; i < featureCount_; ++i) {
    if (dataObjects_[i] == nullptr) continue;
    // A record of a stored key is fetched again for this feature's class; a
    // feature that cannot be fetched or computed (for example a key without
    // a record in that class) is left out rather than printed with stale
    // values.
    if (dataObjects_[i]->FromQueryString(featureNames_[i]) != 0) continue;
    if (features_[i]->ComputeFeature(dataObjects_[i], parameterSets_[i]) != 0) continue;
    KvDatumClass text;
    if (features_[i]->ToAsciiString(text) != 0) continue;
    out.Append(featureNames_[i]);
    out.Append("\n");
    const char* bytes = reinterpret_cast<const char*>(text.Data());
    if (bytes != nullptr) out.AppendBytes(bytes, strnlen(bytes, text.Size()));
    out.Append("\n");
  }
  return 0;
}

int KivoWrapClass::DumpImageFeatures(const char* image, const char* mask, KvStringClass& out) {
  return AppendFeatureDumps(SetQueryImage(image, mask), out);
}

int KivoWrapClass::DumpKeyFeatures(const char* key, KvStringClass& out) {
  return AppendFeatureDumps(SetQueryKey(key), out);
}

int KivoWrapClass::DumpDescriptionFeatures(const char* text, KvStringClass& out) {
  return AppendFeatureDumps(SetQueryDescription(text), out);
}

int KivoWrapClass::DumpPickerFileFeatures(const char* file, const char* mask, KvStringClass& out) {
  return AppendFeatureDumps(SetQueryPickerFile(file, mask), out);
}
