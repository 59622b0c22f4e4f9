// kivo check: verifies every table of a database's catalogs and salvages
// what a damaged catalog still holds into a fresh database.
#pragma once

#include <iosfwd>
#include <string>

namespace kivo {

struct CheckOptions {
  std::string database;
  std::string catalog;  // empty: every catalog of the database
  std::string salvage;  // a database folder to copy the readable records into
};

// Reads the table files as they are on disk (no writer may be running). One
// line per damaged table or broken reference, then a summary; with a salvage
// folder, one line per table copied. kExitOk when every table is sound (and
// the salvage, if asked for, worked), kExitFailed otherwise.
int RunCheck(const CheckOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kivo
