// kivo scan: each feature table of the catalog that has a scan layout is
// opened for reading and its scan file verified or refreshed through the
// scan store, the same code that queries use.
#include "KivoScan.h"

#include <memory>
#include <ostream>
#include <vector>

#include "KivoCommands.h"
#include "KivoStore.h"
#include "core/KvError.h"
#include "core/KvString.h"
#include "scan/KvScanLayouts.h"
#include "scan/KvScanStore.h"
#include "scan/KvScanView.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"

namespace kivo {
namespace {

// The last part of the library's message ("KvScanVerify: <file>: <reason>").
std::string ReasonOf(const std::string& message) {
  const size_t colon = message.rfind(": ");
  std::string reason = colon == std::string::npos ? message : message.substr(colon + 2);
  while (!reason.empty() && (reason.back() == ' ' || reason.back() == '\n')) reason.pop_back();
  return reason;
}

std::string Reason(const std::string& what) {
  const std::string library = LibraryError();
  return library.empty() ? what : what + ": " + library;
}

}  // namespace

int RunScan(const ScanOptions& options, std::ostream& out, std::ostream& err) {
  CatalogStore store;
  std::string error;
  std::vector<std::string> classes;
  if (!store.Open(options.database, options.catalog, false, &error) || !store.FeatureClasses(&classes, &error)) {
    err << "kivo scan: " << error << '\n';
    return kExitFailed;
  }
  int rc = kExitOk;
  for (const std::string& name : classes) {
    if (KvScanLayoutForClass(name.c_str()) == nullptr) continue;
    KvStringClass tableName(64ul);
    std::unique_ptr<KvDatabaseClass> table(store.Connection()->NewDatabase());
    if (store.Catalog()->GetFeatureTableName(name.c_str(), tableName) != 0 || table == nullptr ||
        table->Open(tableName.c_str(), "r") != 0) {
      err << "kivo scan: " << Reason("cannot open the table of " + name) << '\n';
      rc = kExitFailed;
      continue;
    }
    if (options.check) {
      KvInitializeErrorStructure();
      const int verdict = KvScanVerify(table.get(), name.c_str());
      if (verdict == 0) {
        out << name << " current\n";
      } else if (verdict == 1) {
        out << name << " missing\n";
        rc = kExitFailed;
      } else {
        out << name << " not current (" << ReasonOf(LibraryError()) << ")\n";
        rc = kExitFailed;
      }
    } else {
      KvScanSource source = KvScanSource::kNone;
      std::shared_ptr<const KvScanView> view;
      if (KvScanRefresh(table.get(), name.c_str(), &source) == 0) view = KvScanAcquire(table.get(), name.c_str());
      if (view == nullptr) {
        err << "kivo scan: " << Reason("cannot write the scan file of " + name) << '\n';
        rc = kExitFailed;
      } else {
        out << name << ' ' << view->Count() << " records " << view->Bytes() << " bytes "
            << (source == KvScanSource::kBuiltAndWritten ? "written" : "current") << '\n';
      }
    }
    table->Close();
  }
  return rc;
}

}  // namespace kivo
