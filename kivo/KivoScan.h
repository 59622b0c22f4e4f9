// kivo scan: the scan files of a catalog's feature tables, checked or
// brought up to date now rather than by the first query that needs them.
#pragma once

#include <iosfwd>
#include <string>

namespace kivo {

struct ScanOptions {
  std::string database, catalog;
  bool check = false;  // only report; write nothing
};

// One line per feature class of the catalog with a scan layout:
//   refresh: "<class> <records> records <bytes> bytes written|current"
//   check:   "<class> current|missing|stale (<reason>)"
// 0 when every scan file is current afterwards, 1 otherwise (a reason on
// err for a catalog that cannot be read or a file that cannot be written).
int RunScan(const ScanOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kivo
