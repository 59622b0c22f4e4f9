// KivoWrapClass sessions: the connection, the catalog object, the list of
// features with their parameter sets, and option-driven opening.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "KivoWrap.h"
#include "KivoWrapText.h"
#include "KvFactory.h"
#include "core/KvError.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "features/KvPresets.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"

using kivowrap::CopyName;

namespace {

const char* OrNull(const char* text) { return text != nullptr ? text : "(null)"; }

// The factory caches one connection for the whole process and hands the same
// object to every caller, so a wrap object's connection pointer can be
// released by another wrap object (a Tcl shell keeps several alive, and its
// tool commands run temporary ones). Every release by this library moves the
// epoch on: an object whose recorded epoch is older knows its pointer is gone
// without touching it, even when a new connection happens to be allocated at
// the same address. Only this library releases connections in the programs
// it is part of.
unsigned long gConnectionEpoch = 1;

bool SameText(const char* a, const char* b) {
  return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

// Names are kept in fixed members; a name that does not fit would make later
// operations (Reopen, report lines, table names) work on a different name,
// so it is refused.
bool NameFits(const char* text, size_t capacity, const char* what) {
  if (text != nullptr && std::strlen(text) >= capacity) {
    std::string message = std::string(what) + " longer than " + std::to_string(capacity - 1) +
                          " characters";
    KvError(KERR_General, KERR_Fatal, message.c_str());
    return false;
  }
  return true;
}

// A read-only command never writes to disk, so it does not make a database
// directory that is not there (a connection would).
bool DatabaseExists(const char* database) {
  struct stat info;
  if (stat(database, &info) == 0 && S_ISDIR(info.st_mode)) return true;
  const std::string text = std::string("database ") + database + " does not exist";
  KvError(KERR_General, KERR_Fatal, text.c_str());
  return false;
}

}  // namespace

void KivoWrapClass::ReleaseSession() {
  // The catalog object only keeps the connection pointer; destroying it does
  // not use the connection, so this is safe after the connection is gone.
  delete catalog_;
  catalog_ = nullptr;
  if (connection_ != nullptr) {
    if (connectionEpoch_ == gConnectionEpoch) {
      KvDestroyConnection(connection_);
      ++gConnectionEpoch;
    }
    connection_ = nullptr;
  }
}

bool KivoWrapClass::AcquireConnection(const char* database, const char* mode) {
  connection_ = nullptr;
  const KvConnectClass* connection = KvGetConnection(mode, database, nullptr);
  // The cache answers with whatever connection it holds. One made for another
  // database or mode belongs to another object, which takes its own again
  // when it resumes; this object needs a connection of its own kind.
  if (connection != nullptr &&
      ((database != nullptr && !SameText(connection->GetDirectory(), database)) ||
       (mode != nullptr && !SameText(connection->GetMode(), mode)))) {
    KvDestroyConnection(connection);
    ++gConnectionEpoch;
    connection = KvGetConnection(mode, database, nullptr);
  }
  if (connection == nullptr) return false;
  connection_ = connection;
  connectionEpoch_ = gConnectionEpoch;
  return true;
}

int KivoWrapClass::Resume() {
  if (connection_ == nullptr || connectionEpoch_ == gConnectionEpoch) return 0;
  return kivowrap::Guarded("KivoWrapClass::Resume", [&]() -> int {
    // The held connection was released by another object: forget it, keeping
    // the name under which the catalog object was open.
    const bool hadCatalog = catalog_ != nullptr;
    const std::string openName = hadCatalog ? catalog_->GetName() : "";
    connection_ = nullptr;
    delete catalog_;
    catalog_ = nullptr;
    if (!AcquireConnection(databaseName_, mode_)) return -1;
    if (!hadCatalog) return 0;
    catalog_ = connection_->NewCatalog();
    if (catalog_ == nullptr || (!openName.empty() && catalog_->Open(openName.c_str()) != 0)) {
      ReleaseSession();
      return -1;
    }
    return 0;
  });
}

bool KivoWrapClass::CatalogIsOpen() const {
  return catalog_ != nullptr && catalog_->GetName()[0] != '\0';
}

void KivoWrapClass::RegisterPendingFeatures() {
  if (!featuresPending_ || mode_[0] != 'w' || !CatalogIsOpen()) return;
  for (int i = 0; i < featureCount_; ++i) {
    // A class that is already in the catalog answers 1 (recorded at severity
    // 0); that is the normal case for an existing catalog.
    catalog_->AddFeatureClass(featureNames_[i], -1, 0, 0);
  }
  featuresPending_ = 0;
}

int KivoWrapClass::Connect(const char* database, const char* mode) {
  if (database == nullptr) {
    std::fprintf(stderr, "database name is not specified\n");
    return -1;
  }
  if (!NameFits(database, sizeof databaseName_, "database name")) return -1;
  CopyName(databaseName_, database);
  if (mode != nullptr) CopyName(mode_, mode);
  // The catalog object refers to the connection, so it goes first.
  ReleaseSession();
  if (!AcquireConnection(database, mode)) {
    KvPrintErrorMessage(stdout);
    return -1;
  }
  catalog_ = connection_->NewCatalog();
  if (catalog_ == nullptr) {
    KvPrintErrorMessage(stdout);
    ReleaseSession();
    return -1;
  }
  if (catalogOpenPending_) {
    catalogOpenPending_ = 0;
    if (catalog_->Open(catalogName_) != 0) {
      ReleaseSession();
      return -1;
    }
  }
  RegisterPendingFeatures();
  featuresAdded_ = 1;
  return 0;
}

int KivoWrapClass::OpenDatabase() { return Connect(databaseName_, "r"); }

int KivoWrapClass::OpenCatalog(const char* name) {
  if (name == nullptr) {
    KvError(KERR_CatNull, KERR_Fatal);
    return -1;
  }
  if (!NameFits(name, sizeof catalogName_, "catalog name")) return -1;
  CopyName(catalogName_, name);
  if (connection_ == nullptr) {
    catalogOpenPending_ = 1;
    return 1;
  }
  if (catalog_ == nullptr) {
    catalog_ = connection_->NewCatalog();
    if (catalog_ == nullptr) {
      ReleaseSession();
      KvPrintErrorMessage(stdout);
      return -1;
    }
  }
  if (catalog_->Open(catalogName_) != 0) {
    ReleaseSession();
    KvPrintErrorMessage(stdout);
    return -1;
  }
  catalogOpenPending_ = 0;
  RegisterPendingFeatures();
  featuresAdded_ = 1;
  return 0;
}

int KivoWrapClass::CreateCatalog(const char* name) {
  if (name == nullptr) {
    KvError(KERR_CatNull, KERR_Fatal);
    return -1;
  }
  if (!NameFits(name, sizeof catalogName_, "catalog name")) return -1;
  CopyName(catalogName_, name);
  if (catalog_ == nullptr) {
    KvError(KERR_General, KERR_Fatal, "catalog not opened");
    return -1;
  }
  return catalog_->CreateCatalog(catalogName_, 0, 0);
}

int KivoWrapClass::Open(const char* catalog, const char* database, const char* mode) {
  return kivowrap::Guarded("KivoWrapClass::Open", [&]() -> int {
    if (catalog == nullptr || database == nullptr) {
      std::fprintf(stderr, "catalog name or database name unspecified catalogName=%s databaseName=%s\n",
                   OrNull(catalog), OrNull(database));
      return -1;
    }
    if (!NameFits(catalog, sizeof catalogName_, "catalog name") ||
        !NameFits(database, sizeof databaseName_, "database name")) {
      return -1;
    }
    // Copies first: the arguments may be this object's own members (Reopen).
    const std::string catalogText(catalog);
    const std::string databaseText(database);
    CopyName(catalogName_, catalogText.c_str());
    CopyName(databaseName_, databaseText.c_str());
    if (mode != nullptr) CopyName(mode_, mode);
    ReleaseSession();
    if (!AcquireConnection(databaseText.c_str(), mode)) return -1;
    catalog_ = connection_->NewCatalog();
    if (catalog_ == nullptr) {
      ReleaseSession();
      return -1;
    }
    if (mode != nullptr && std::strcmp(mode, "w") == 0) {
      // Creating an existing catalog fails harmlessly; Open below decides.
      catalog_->CreateCatalog(catalogText.c_str(), 0, 0);
    }
    if (catalog_->Open(catalogText.c_str()) != 0) {
      ReleaseSession();
      return -1;
    }
    catalogOpenPending_ = 0;
    RegisterPendingFeatures();
    featuresAdded_ = 1;
    return 0;
  });
}

int KivoWrapClass::Reopen() { return Open(catalogName_, databaseName_, "r"); }

int KivoWrapClass::GetNumberOfRecords(const char* featureName) {
  if (!CheckCatalogOpen()) return -1;
  return static_cast<int>(catalog_->GetGlobalCounter1(featureName));
}

int KivoWrapClass::AddFeature(const char* spec) {
  return kivowrap::Guarded("KivoWrapClass::AddFeature", [&]() -> int {
    if (featureCount_ > kKivoMaxFeatures - 1) {
      std::fprintf(stderr, "Exceed Max # (%d) of features\n", kKivoMaxFeatures);
      // Recorded too, so that a caller printing the error record says why
      // this feature was left out.
      const std::string text = std::string("feature ") + (spec != nullptr ? spec : "") +
                               " left out: at most " + std::to_string(kKivoMaxFeatures) + " features";
      KvError(KERR_General, KERR_NonFatal, text.c_str());
      return 1;
    }
    const char* text = spec != nullptr ? spec : "";
    const char* colon = std::strchr(text, ':');
    const std::string className = colon != nullptr ? std::string(text, colon) : std::string(text);
    const std::string parameterText = colon != nullptr ? std::string(colon + 1) : std::string();

    // A preset adds each of its features, the given parameters after the
    // preset's own.
    if (const char* const* terms = KvFindPreset(className.c_str())) {
      for (; *terms != nullptr; ++terms) {
        const std::string term = parameterText.empty() ? std::string(*terms) : *terms + (":" + parameterText);
        const int rc = AddFeature(term.c_str());
        if (rc != 0) return rc;
      }
      return 0;
    }

    KvFeatureClass* feature = KvCreateFeatureClass(className.c_str());
    if (feature == nullptr) {
      std::fprintf(stderr, "feature %s was not created\n", className.c_str());
      return -1;
    }
    if (!NameFits(feature->GetClassName(), sizeof featureNames_[0], "feature class name")) {
      delete feature;
      return -1;
    }
    KvParameterClass* parameters = KvCreateParameterClass(feature->GetParameterClassName());
    if (parameters == nullptr) {
      delete feature;
      return -1;
    }
    KvParameterClass* defaults = feature->GetParameters();
    if (defaults != nullptr) *parameters = *defaults;
    if (!parameters->IsValid()) {
      delete parameters;
      delete feature;
      return -1;
    }
    if (!parameterText.empty()) {
      const int rc = parameters->FromCommandLineString(parameterText.c_str());
      if (rc != 0) {
        std::fprintf(stderr, "Skipping bad parameter in string %s for feature %s\n",
                     parameterText.c_str(), className.c_str());
        // Only a failure to store a parameter (-1) records an error; an
        // unknown item (1) leaves the record as it was, so its severity says
        // nothing about this call.
        if (rc < 0 && GetErrorMSGSeverity() == KERR_Fatal) {
          delete parameters;
          delete feature;
          return -1;
        }
        // The parse may have stopped part-way: go back to the class defaults.
        if (defaults != nullptr) *parameters = *defaults;
      }
    }

    features_[featureCount_] = feature;
    parameterSets_[featureCount_] = parameters;
    CopyName(featureNames_[featureCount_], feature->GetClassName());
    ++featureCount_;
    featuresAdded_ = 1;
    if (CatalogIsOpen() && mode_[0] == 'w') {
      // Already registered is the normal case for an existing catalog.
      catalog_->AddFeatureClass(feature->GetClassName(), -1, 0, 0);
    } else {
      featuresPending_ = 1;
    }
    return 0;
  });
}

int KivoWrapClass::RemoveFeature(const char* className) {
  if (className == nullptr) return 1;
  int index = -1;
  for (int i = 0; i < featureCount_; ++i) {
    if (std::strcmp(featureNames_[i], className) == 0) {
      index = i;
      break;
    }
  }
  if (index < 0) return 1;
  delete features_[index];
  // The parameter set goes with its feature: nothing else refers to it once
  // the entry is overwritten below.
  delete parameterSets_[index];
  delete dataObjects_[index];
  const int last = featureCount_ - 1;
  features_[index] = features_[last];
  parameterSets_[index] = parameterSets_[last];
  dataObjects_[index] = dataObjects_[last];
  if (index != last) CopyName(featureNames_[index], featureNames_[last]);
  features_[last] = nullptr;
  parameterSets_[last] = nullptr;
  dataObjects_[last] = nullptr;
  featureNames_[last][0] = '\0';
  featureCount_ = last;
  return 0;
}

KvParameterClass* KivoWrapClass::FindParameters(const char* className) {
  if (className == nullptr) return nullptr;
  for (int i = 0; i < featureCount_; ++i) {
    if (std::strcmp(featureNames_[i], className) == 0) return parameterSets_[i];
  }
  return nullptr;
}

int KivoWrapClass::ListParameters(KvStringClass& out) {
  for (int i = 0; i < featureCount_; ++i) {
    out.Append(featureNames_[i]);
    out.Append(":");
    KvDatumClass text;
    if (parameterSets_[i] != nullptr && parameterSets_[i]->ToCommandLineString(text) == 0) {
      const char* bytes = reinterpret_cast<const char*>(text.Data());
      if (bytes != nullptr) out.AppendBytes(bytes, strnlen(bytes, text.Size()));
    }
    out.Append("\n");
  }
  return out.IsValid() ? 0 : -1;
}

char* KivoWrapClass::ListCatFeatures() {
  if (!CheckCatalogOpen()) return nullptr;
  KvDatumClass names;
  if (catalog_->ListFeatures(names) != 0) return nullptr;
  const char* bytes = reinterpret_cast<const char*>(names.Data());
  const size_t length = bytes != nullptr ? strnlen(bytes, names.Size()) : 0;
  char* copy = static_cast<char*>(KvNew(length + 1, "KivoWrapClass::ListCatFeatures", KERR_Fatal));
  if (copy == nullptr) return nullptr;
  if (length > 0) std::memcpy(copy, bytes, length);
  copy[length] = '\0';
  return copy;
}

char* KivoWrapClass::ListAllFeatures() {
  const char** names = KvListAllAvailableFeatures();
  if (names == nullptr) return nullptr;
  KvStringClass list(256ul);
  for (const char** name = names; *name != nullptr; ++name) {
    list.Append(*name);
    list.Append(" ");
  }
  if (!list.IsValid()) return nullptr;
  const size_t length = list.GetLength();
  char* copy = static_cast<char*>(KvNew(length + 1, "KivoWrapClass::ListAllFeatures", KERR_Fatal));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, list.c_str(), length + 1);
  return copy;
}

int KivoWrapClass::OpenFromOptions(int& argc, char**& argv, const char* mode) {
  const char* database = GetOption(argc, argv, 'd', 0);
  if (database == nullptr) {
    KvError(KERR_General, KERR_Fatal, "database name (-d database) is required");
    return -1;
  }
  if (mode != nullptr && mode[0] == 'r' && !DatabaseExists(database)) return -1;
  // Connect and OpenCatalog print the error record of a failed connection or
  // catalog themselves; the caller's failure report says the rest.
  if (Connect(database, mode) < 0) return -1;
  const char* catalog = GetOption(argc, argv, 'c', 0);
  if (catalog == nullptr) {
    KvError(KERR_General, KERR_Fatal, "catalog name (-c catalog) is required");
    return -1;
  }
  if (OpenCatalog(catalog) < 0) {
    ReleaseSession();
    return -1;
  }
  // A build makes the catalog (its feature index) and adds its classes as one
  // change: a kill part-way leaves either no catalog or one with every class
  // and its global information, never an index that a resumed build cannot
  // add records to.
  const int added = catalog_->AsOneChange([&]() -> int {
    while (const char* spec = GetOption(argc, argv, 'f', 0)) {
      const int rc = AddFeature(spec);
      // 1 is a full feature table: that feature and the rest are left out.
      if (rc != 0) {
        KvPrintErrorMessage(stdout);
        if (rc < 0 && GetErrorMSGSeverity() == KERR_Fatal) return -1;
      }
    }
    return 0;
  });
  if (added != 0) {
    Close();
    return -1;
  }
  return 0;
}
