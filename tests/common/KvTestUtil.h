// Helpers shared by the unit tests.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "core/KvDatum.h"
#include "core/KvError.h"

namespace kvtest {

// A fresh directory under $KIVO_TEST_TMP (or /tmp), removed with its files
// when the object goes away.
class TempDir {
 public:
  explicit TempDir(const char* prefix = "kv") {
    const char* base = std::getenv("KIVO_TEST_TMP");
    std::string root = base != nullptr && base[0] != '\0' ? base : "/tmp";
    ::mkdir(root.c_str(), 0700);
    std::string pattern = root + "/" + prefix + "XXXXXX";
    std::string buffer = pattern;
    char* made = ::mkdtemp(&buffer[0]);
    path_ = made != nullptr ? made : root;
  }
  ~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
      // Leftover scratch files do no harm; nothing to report.
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The datum's bytes as a string.
inline std::string Bytes(const KvDatumClass& d) {
  return d.Data() != nullptr ? std::string(reinterpret_cast<const char*>(d.Data()), d.Size()) : std::string();
}

// A datum holding a copy of text (without NUL unless withNul).
inline void SetText(KvDatumClass& d, const std::string& text, bool withNul = false) {
  d.CopyBytes(text.c_str(), text.size() + (withNul ? 1 : 0), "test");
}

// Clears the error record before a step whose error is checked.
inline void ClearError() { KvInitializeErrorStructure(); }

}  // namespace kvtest
