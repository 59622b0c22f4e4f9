// Helpers shared by the catalog's source files.
#include "storage/KvCatalogUtil.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "KvFactory.h"
#include "data/KvGenericData.h"
#include "features/KvFeature.h"
#include "storage/KvStoreCheck.h"

namespace kvcat {

TableGuard::~TableGuard() {
  // A close failure here has no caller left to tell; the operation's result
  // has already been decided.
  if (open_) table_->Close();
  if (owned_) delete table_;
}

int TableGuard::Open(const char* name, const char* mode) {
  const unsigned long failures = KvStoreFailureCount();
  const int rc = table_->Open(name, mode);
  open_ = rc == 0;
  damaged_ = rc != 0 && KvStoreFailureCount() != failures;
  return rc;
}

int TableGuard::OpenForWrite(const char* name) {
  const unsigned long failures = KvStoreFailureCount();
  const int rc = table_->OpenForWrite(name);
  open_ = rc == 0;
  damaged_ = rc != 0 && KvStoreFailureCount() != failures;
  return rc;
}

int TableGuard::Close() {
  if (!open_) return 0;
  open_ = false;
  return table_->Close();
}

int TableGuard::Remove() {
  open_ = false;
  return table_->Remove();
}

void FeatureDeleter::operator()(KvFeatureClass* f) const { delete f; }

FeaturePtr MakeFeature(const char* name) {
  if (name == nullptr || *name == '\0') {
    KvError(KERR_UnknownFeatureClass, KERR_NonFatal, "(none)");
    return FeaturePtr();
  }
  return FeaturePtr(KvCreateFeatureClass(name));
}

void BorrowKey(KvDatumClass& key, const char* text) {
  key.SetBytes(std::strlen(text) + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(text)), KvOwnNone);
}

std::string DatumText(const KvDatumClass& datum) {
  const unsigned char* bytes = datum.Data();
  const unsigned long size = datum.Size();
  if (bytes == nullptr || size == 0) return std::string();
  const void* nul = std::memchr(bytes, '\0', size);
  const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - bytes) : size;
  return std::string(reinterpret_cast<const char*>(bytes), length);
}

int GiveText(KvDatumClass& out, const std::string& text, bool withNul, const char* tag) {
  if (text.empty() && !withNul) {
    out.Clear();
    return 0;
  }
  char* copy = static_cast<char*>(KvNew(text.size() + 1, tag, KERR_Fatal));
  if (copy == nullptr) return -1;
  std::memcpy(copy, text.c_str(), text.size() + 1);
  out.SetBytes(text.size() + (withNul ? 1 : 0), reinterpret_cast<unsigned char*>(copy), KvOwnKvDelete);
  return 0;
}

std::vector<std::string> SplitWords(std::string_view text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    const size_t start = i;
    while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i > start) words.emplace_back(text.substr(start, i - start));
  }
  return words;
}

std::string JoinWords(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& w : words) {
    if (!text.empty()) text += ' ';
    text += w;
  }
  return text;
}

bool HasWhiteSpace(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (std::isspace(static_cast<unsigned char>(*p))) return true;
  }
  return false;
}

void Fail(KERR_SeverityType severity, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  KvError(KERR_General, severity, text);
}

bool FileExistsInDatabase(const KvConnectClass* connection, const char* name) {
  const char* directory = connection != nullptr ? connection->GetDirectory() : nullptr;
  std::string path = directory != nullptr ? directory : "";
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  path += name;
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

bool SkipsTextFeature(KvFeatureClass* feature, const KvGenericDataClass* data) {
  if (feature == nullptr || data == nullptr || !feature->IsClass("KvTextFeatureClass")) return false;
  if (data->GetType() != KV_DATA_MEMORY && data->GetType() != KV_DATA_PICKER) return false;
  const char* keywords = data->GetKeywordText();
  return keywords == nullptr || keywords[0] == '\0';
}

}  // namespace kvcat
