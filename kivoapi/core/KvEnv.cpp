// Named settings, file search and small helpers.
#include "core/KvEnv.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/KvError.h"

namespace {

const char* const kSettingNames[] = {
    "KivoImagePath",      "KivoMaskPath",        "KivoTextPath",
    "KivoSketchPath",     "KivoShapePath",       "KivoConnectMode",
    "KivoDatabaseName",   "KivoConnectClass",    "KivoServerPort",
    "KivoServerHost",     "KivoMTMmetricType",   "KivoColorDistSigma",
    "KivoColorHistString", "KivoNumberOfColors", "KivoWriteFullSizeObjectMask",
    "KivoMaskImageFormat", "KivoTAMethod",       "KivoRWeightMethod",
    "KivoRWeightValue",
    // Settings of the engine's own, beyond the original nineteen.
    "KivoQueryTimeLimit",
    // The most memory the decoded pixels of one image may take.
    "KivoPixelBudget",
    // Settings of the scan path (on/off, threads per scan).
    "KivoScanFiles",      "KivoScanThreads",
    // Group sync of the storage environment's log ("commits,milliseconds").
    "KivoCommitGroup",
    nullptr,
};
constexpr int kSettingCount = sizeof kSettingNames / sizeof kSettingNames[0] - 1;

// Overrides keep their own copy of the value, so a caller's text may go away
// after the call (Tcl arguments live only for one command).
struct Override {
  bool set = false;
  std::string value;
};
Override gOverrides[kSettingCount];
std::mutex gSettingsMutex;

int FindSetting(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < kSettingCount; ++i) {
    if (std::strcmp(kSettingNames[i], name) == 0) return i;
  }
  return -1;
}

bool FileExists(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0;
}

bool IsAbsolute(const char* name) {
  return name[0] == '\\' || name[0] == '/' || (name[0] != '\0' && name[1] == ':');
}

constexpr size_t kMaxEntry = 4096;

}  // namespace

int Kvsetenv(const char* name, const char* value) {
  const int index = FindSetting(name);
  if (index < 0) return -1;
  std::lock_guard<std::mutex> lock(gSettingsMutex);
  if (value == nullptr) {
    gOverrides[index].set = false;
    gOverrides[index].value.clear();
  } else {
    gOverrides[index].set = true;
    gOverrides[index].value = value;
  }
  return 0;
}

char* Kvgetenv(const char* name) {
  const int index = FindSetting(name);
  if (index >= 0) {
    std::lock_guard<std::mutex> lock(gSettingsMutex);
    if (gOverrides[index].set) return &gOverrides[index].value[0];
  }
  return name != nullptr ? std::getenv(name) : nullptr;
}

void KvClearSettings() {
  std::lock_guard<std::mutex> lock(gSettingsMutex);
  for (Override& o : gOverrides) {
    o.set = false;
    o.value.clear();
  }
}

int findfile(int flags, const char* pathList, const char* name, char* out, int outSize) {
  if (out != nullptr && outSize > 0) out[0] = '\0';
  if (name == nullptr || name[0] == '\0') return 1;

  std::string found;
  if (IsAbsolute(name)) {
    if (!FileExists(name)) return 1;
    found = name;
  } else {
    if (flags & KV_FIND_PATH_IS_SETTING) pathList = pathList != nullptr ? Kvgetenv(pathList) : nullptr;
    std::string search;
    if (flags & KV_FIND_CURRENT_DIR) search = "./;";
    if (pathList != nullptr) search += pathList;

    size_t start = 0;
    bool hit = false;
    while (start <= search.size() && !hit) {
      size_t end = search.find(';', start);
      if (end == std::string::npos) end = search.size();
      std::string entry = search.substr(start, std::min(end - start, kMaxEntry));
      start = end + 1;
      if (entry.empty() && end == search.size()) break;
      if (!entry.empty() && entry.back() != '/' && entry.back() != '\\') entry += '/';
      entry += name;
      if (entry.size() <= kMaxEntry && FileExists(entry.c_str())) {
        found = entry;
        hit = true;
      }
    }
    if (!hit) return 1;
  }

  if (out == nullptr || outSize <= 0 || found.size() >= static_cast<size_t>(outSize)) {
    // A cut path would name another file; refuse it instead.
    std::fputs("findfile: fileID truncated\n", stderr);
    KvError(KERR_General, KERR_NonFatal, "findfile: path of found file is too long");
    return -1;
  }
  std::memcpy(out, found.c_str(), found.size() + 1);
  return 0;
}

char* KvStrDup(const char* text, unsigned long extra) {
  if (text == nullptr) return nullptr;
  const size_t length = std::strlen(text);
  char* copy = static_cast<char*>(KvNew(length + extra + 1, "KvUtil:KvStrDup", KERR_Fatal));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length + 1);
  return copy;
}

char* KvStrCat(const char* a, const char* b, const char* c, const char* d, const char* e,
               const char* f) {
  const char* parts[] = {a, b, c, d, e, f};
  size_t total = 0;
  for (const char* p : parts) {
    if (p != nullptr) total += std::strlen(p);
  }
  char* out = static_cast<char*>(KvNew(total + 1, "KvUtil:KvStrCat", KERR_Fatal));
  if (out == nullptr) return nullptr;
  size_t at = 0;
  for (const char* p : parts) {
    if (p == nullptr) continue;
    const size_t n = std::strlen(p);
    std::memcpy(out + at, p, n);
    at += n;
  }
  out[at] = '\0';
  return out;
}

const char* KvNextWord(const char* p) {
  if (p == nullptr) return nullptr;
  while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) ++p;
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  return p;
}

unsigned long KvNextWordSize(const char* p) {
  if (p == nullptr) return 0;
  unsigned long n = 0;
  while (p[n] != '\0' && !std::isspace(static_cast<unsigned char>(p[n]))) ++n;
  return n;
}

Boolean KvIsBigEndian() {
  const uint32_t probe = 0x01020304u;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  return first == 0x01 ? True : False;
}

uint16_t KvSwabShort(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }

uint32_t KvSwabLong(uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) | (value << 24);
}

uint16_t KvShortToBigEndian(uint16_t value) { return KvIsBigEndian() ? value : KvSwabShort(value); }

uint32_t KvLongToBigEndian(uint32_t value) { return KvIsBigEndian() ? value : KvSwabLong(value); }
