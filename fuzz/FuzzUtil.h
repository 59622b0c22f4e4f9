// Shared pieces of the fuzz targets.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "core/KvEnv.h"
#include "core/KvError.h"

namespace kvfuzz {

// A scratch directory for files the target writes, made once per process.
inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    const char* base = std::getenv("KIVO_FUZZ_TMP");
    std::string root = base != nullptr ? base : "/tmp";
    ::mkdir(root.c_str(), 0700);
    std::string pattern = root + "/kvfuzzXXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) return root;
    return pattern;
  }();
  return dir;
}

// The datum takes a copy of the input (not NUL-terminated).
inline void Load(KvDatumClass& d, const uint8_t* data, size_t size) {
  KvInitializeErrorStructure();
  d.CopyBytes(data, size, "fuzz");
}

// The process-wide connection on a database inside the scratch directory,
// opened read-only so fuzzed names can never create tables.
inline void UseScratchDatabase() {
  static bool done = [] {
    const std::string db = ScratchDir() + "/db";
    Kvsetenv("KivoDatabaseName", db.c_str());
    KvGetConnection("r", db.c_str(), nullptr);
    return true;
  }();
  (void)done;
}

inline std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size) {
  const std::string path = ScratchDir() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f != nullptr) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return path;
}

}  // namespace kvfuzz
