// Where a search gets the scan view of a feature table: the process-wide
// cache of views, the scan files beside the tables (directory KvScan of the
// database directory, one file per table under the table's file name), and
// the check of a view against the table it was built from.
//
// A view is used only while its stamp equals the table's current stamp. A
// scan file that is missing, damaged, from another machine or stale is
// replaced: the table is walked once, the view built from the walk, and,
// when the database directory is writable, written as the new scan file.
// Settings: KivoScanFiles ("off" walks the tables as before; default on) and
// KivoScanThreads (threads per scan; default the number of cores).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "scan/KvScanFormat.h"

class KvDatabaseClass;
class KvScanView;

// False when KivoScanFiles is "off" (or "0", "no", "false").
bool KvScanFilesEnabled();
// KivoScanThreads when it is a positive number (at most 256), else the
// number of cores this process may run on.
int KvScanThreads();

// The state of an open table that a view must match. False when it cannot
// be read (the table is then walked as before).
bool KvScanTableStamp(KvDatabaseClass* table, KvScanStamp* stamp);

// The scan file of an open table: <database>/KvScan/<table file name>.
std::string KvScanFilePath(KvDatabaseClass* table);

// The folder of a database directory that holds its scan files. They are
// derived data: readers write them there on first use.
inline constexpr const char* kKvScanDirectory = "KvScan";

// How Acquire came by its view (for tests, benchmarks and the scan command).
enum class KvScanSource { kNone, kCache, kFile, kBuiltAndWritten, kBuilt };

// The current view of the open table of featureClass, or null when the class
// has no layout, scan files are off, or the table cannot be walked (the
// caller then walks the table itself). Never fails the query: a view that
// cannot be had is only a slower search.
std::shared_ptr<const KvScanView> KvScanAcquire(KvDatabaseClass* table, const char* featureClass,
                                               KvScanSource* source = nullptr);

// Builds (or confirms) the scan file of an open table now. 0 when the file
// is current afterwards; -1 with the reason recorded.
int KvScanRefresh(KvDatabaseClass* table, const char* featureClass, KvScanSource* source);

// Checks the scan file of an open table in full (header, areas, body
// checksum, stamp). 0 current and intact, 1 missing, -1 damaged or stale
// (reason recorded, severity 0).
int KvScanVerify(KvDatabaseClass* table, const char* featureClass);

// Forgets every cached view (tests; a long-lived process after removing a
// database).
void KvScanForgetAll();
