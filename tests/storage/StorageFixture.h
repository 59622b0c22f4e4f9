// Tables for the storage tests, written through a real connection.
#pragma once

#include <string>

#include "KvTestUtil.h"

namespace stortest {

// Table name of dir with n records of 60 bytes (keys "key10000" ...),
// written through a connection and closed cleanly, so its pages are in its
// file. The table file's path.
std::string WriteTable(kvtest::TempDir& dir, const char* name, int n);

}  // namespace stortest
