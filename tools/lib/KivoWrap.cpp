// KivoWrapClass: construction, reset, settings and option scanning.
#include "KivoWrap.h"

#include <cstring>

#include "KivoWrapText.h"
#include "KvFactory.h"
#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "query/KvQuery.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"

using kivowrap::CopyName;

namespace {
// Returned by GetOption for a flag that was present: any non-null text.
char kFlagMarker[] = "";
}  // namespace

KivoWrapClass::KivoWrapClass() { SetDefaults(); }

KivoWrapClass::KivoWrapClass(const char* catalogName, const char* databaseName, const char* mode)
    : KivoWrapClass() {
  // A null text keeps the default name.
  if (catalogName != nullptr) CopyName(catalogName_, catalogName);
  if (databaseName != nullptr) CopyName(databaseName_, databaseName);
  if (mode != nullptr) CopyName(mode_, mode);
}

KivoWrapClass::~KivoWrapClass() { Close(); }

int KivoWrapClass::SetDefaults() {
  connection_ = nullptr;
  connectionEpoch_ = 0;
  catalog_ = nullptr;
  for (int i = 0; i < kKivoMaxFeatures; ++i) {
    features_[i] = nullptr;
    parameterSets_[i] = nullptr;
    samplerFeatures_[i] = nullptr;
    samplerParameterSets_[i] = nullptr;
    dataObjects_[i] = nullptr;
    featureNames_[i][0] = '\0';
  }
  queryObject_ = nullptr;
  featureCount_ = 0;
  samplerCount_ = 0;
  numberOfResults_ = 20;
  thumbnailWidth_ = 100;
  thumbnailHeight_ = 100;
  thumbnail24Bit_ = 0;
  thumbnailPad_ = 0;
  imageListFile_ = nullptr;
  catalogOpenPending_ = 0;
  featuresPending_ = 0;
  CopyName(catalogName_, "orv33");
  CopyName(databaseName_, "KivoData");
  CopyName(mode_, "r");
  modeText_ = "Insert";
  keyword_[0] = '\0';
  deleteFlag_ = 0;
  eraseFlag_ = 0;
  featuresAdded_ = 0;
  addMode_ = 0;
  verbose_ = 0;
  return 0;
}

int KivoWrapClass::Close() {
  ReleaseSession();
  for (int i = 0; i < featureCount_ && i < kKivoMaxFeatures; ++i) {
    delete features_[i];
    features_[i] = nullptr;
    delete parameterSets_[i];
    parameterSets_[i] = nullptr;
  }
  ReleaseDataObjects();
  for (int i = 0; i < kKivoMaxFeatures; ++i) {
    delete samplerFeatures_[i];
    samplerFeatures_[i] = nullptr;
    delete samplerParameterSets_[i];
    samplerParameterSets_[i] = nullptr;
  }
  delete queryObject_;
  queryObject_ = nullptr;
  // The record image holds the pixels of the last image added; they are not
  // needed once the command is over.
  recordImage_.Reset();
  return SetDefaults();
}

void KivoWrapClass::SetKeyword(const char* keyword) { CopyName(keyword_, keyword); }

char* KivoWrapClass::GetOption(int& argc, char**& argv, char letter, int noValue) {
  if (argv == nullptr) return nullptr;
  const int found = kivowrap::FindOption(argc, argv, letter, noValue != 0);
  if (found < 0) return nullptr;

  if (noValue) {
    // The flag's slot takes the first positional argument and position 1 takes
    // the program name; dropping position 0 then removes the flag. The
    // program name stays at position 0 in every case.
    argv[found] = argv[1];
    argv[1] = argv[0];
    ++argv;
    --argc;
    return kFlagMarker;
  }

  char* arg = argv[found];
  if (arg[2] != '\0') {
    // The value written against its letter.
    kivowrap::RemoveArguments(argc, argv, found, 1);
    return arg + 2;
  }
  // Without a value the option is left where it is, as the caller gave it.
  if (found == argc - 1) return nullptr;
  char* value = argv[found + 1];
  kivowrap::RemoveArguments(argc, argv, found, 2);
  return value;
}
