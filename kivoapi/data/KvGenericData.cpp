// Generic data objects and their length-framed query strings.
//
// Query string layout (all text, blank-separated):
//   "<" " " length(9 columns, right-aligned) " " type ...
//   'e': catalog key ""  " >"        (the length counts the text, no NUL)
//   's': catalog key sampler " >"
//   'm','p': F keyword(F bytes) payload(P bytes) " >" NUL
//            (the length counts header, payload, " >" and the NUL)
#include "data/KvGenericData.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "KvFactory.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "storage/KvCatalog.h"
#include "storage/KvConnect.h"

namespace {

// A cursor over bytes that need not be NUL-terminated.
struct Cursor {
  const char* p;
  const char* end;

  void SkipBlanks() {
    while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  }
  bool Literal(char c) {
    SkipBlanks();
    if (p < end && *p == c) {
      ++p;
      return true;
    }
    return false;
  }
  // Unsigned decimal number ("%lu").
  bool Number(unsigned long long* out) {
    SkipBlanks();
    const char* start = p;
    unsigned long long v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
      if (v > 1000000000000ull) return false;  // far beyond any frame
      v = v * 10 + static_cast<unsigned>(*p - '0');
      ++p;
    }
    *out = v;
    return p > start;
  }
  bool Char(char* out) {
    SkipBlanks();
    if (p >= end || *p == '\0') return false;
    *out = *p++;
    return true;
  }
  // One blank-free word ("%s"); stops at a NUL too.
  bool Word(std::string* out) {
    SkipBlanks();
    const char* start = p;
    while (p < end && *p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) ++p;
    out->assign(start, p);
    return p > start;
  }
};

int Malformed(const char* what) {
  KvError(KERR_General, KERR_NonFatal, what);
  return -1;
}

int ReplaceString(char** member, const char* text) {
  char* copy = nullptr;
  if (text != nullptr) {
    copy = KvStrDup(text, 0);
    if (copy == nullptr) return -1;
  }
  KvDelete(*member);
  *member = copy;
  return 0;
}

// Runs fn on a catalog of the process-wide connection opened on catalogName.
template <typename Fn>
int WithCatalog(const char* catalogName, Fn fn) {
  const KvConnectClass* connection = KvGetConnection("r", nullptr, nullptr);
  if (connection == nullptr) return -1;
  KvCatalogClass* catalog = connection->NewCatalog();
  if (catalog == nullptr) return -1;
  int rc = catalog->Open(catalogName);
  if (rc == 0) rc = fn(catalog);
  delete catalog;
  return rc;
}

}  // namespace

KvGenericDataClass::KvGenericDataClass() = default;

KvGenericDataClass::~KvGenericDataClass() {
  KvDelete(catalogName_);
  KvDelete(key_);
  KvDelete(samplerName_);
  KvDelete(keywordText_);
}

int KvGenericDataClass::SetCatalogName(const char* name) { return ReplaceString(&catalogName_, name); }
int KvGenericDataClass::SetKey(const char* key) { return ReplaceString(&key_, key); }
int KvGenericDataClass::SetSamplerName(const char* name) { return ReplaceString(&samplerName_, name); }
int KvGenericDataClass::SetKeywordText(const char* text) { return ReplaceString(&keywordText_, text); }

int KvGenericDataClass::ToQueryString(KvDatumClass& out) {
  const char* tag = "KvGenericDataClass::ToQueryString";
  char lengthText[16];
  if (type_ == KV_DATA_RECORD || type_ == KV_DATA_SAMPLER) {
    const char* third = type_ == KV_DATA_SAMPLER ? samplerName_ : "";
    if (catalogName_ == nullptr || key_ == nullptr || third == nullptr) {
      return Malformed("KvGenericDataClass::ToQueryString: catalog name, key or sampler name unset");
    }
    std::string text = "<          ";  // "<", blank, nine blanks for the length
    text += ' ';
    text += static_cast<char>(type_);
    text += ' ';
    text += catalogName_;
    text += ' ';
    text += key_;
    text += ' ';
    text += third;
    text += " >";
    if (text.size() > kKvMaxFramedLength) return Malformed("KvGenericDataClass::ToQueryString: text too long");
    std::snprintf(lengthText, sizeof lengthText, "%9lu", static_cast<unsigned long>(text.size()));
    text.replace(2, 9, lengthText);
    char* buffer = static_cast<char*>(KvNew(text.size() + 1, tag, KERR_Fatal));
    if (buffer == nullptr) return -1;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    out.SetBytes(text.size(), reinterpret_cast<unsigned char*>(buffer), KvOwnKvDelete);
    return 0;
  }
  if (type_ != KV_DATA_MEMORY && type_ != KV_DATA_PICKER) {
    return Malformed("KvGenericDataClass::ToQueryString: data object has no type");
  }
  const size_t keywordLength = keywordText_ != nullptr ? std::strlen(keywordText_) : 0;
  char head[64];
  const int headLength = std::snprintf(head, sizeof head, "<           %c %lu ", static_cast<char>(type_),
                                       static_cast<unsigned long>(keywordLength));
  const size_t payload = data_.Size();
  const size_t total = static_cast<size_t>(headLength) + keywordLength + payload + 3;
  if (total > kKvMaxFramedLength) {
    return Malformed("KvGenericDataClass::ToQueryString: payload too long for a query string");
  }
  char* buffer = static_cast<char*>(KvNew(total, tag, KERR_Fatal));
  if (buffer == nullptr) return -1;
  char* at = buffer;
  std::memcpy(at, head, static_cast<size_t>(headLength));
  at += headLength;
  if (keywordLength > 0) std::memcpy(at, keywordText_, keywordLength);
  at += keywordLength;
  if (payload > 0) std::memcpy(at, data_.Data(), payload);
  at += payload;
  std::memcpy(at, " >", 3);
  std::snprintf(lengthText, sizeof lengthText, "%9lu", static_cast<unsigned long>(total));
  std::memcpy(buffer + 2, lengthText, 9);
  out.SetBytes(total, reinterpret_cast<unsigned char*>(buffer), KvOwnKvDelete);
  return 0;
}

int KvGenericDataClass::FromQueryString(const KvDatumClass& in, const char* featureName) {
  unsigned long size = 0;
  const char* bytes = nullptr;
  in.GetBytes(size, bytes);
  if (bytes == nullptr || size == 0) return Malformed("KvGenericDataClass::FromQueryString: empty query string");
  Cursor c{bytes, bytes + size};
  unsigned long long length = 0;
  char type = 0;
  if (!c.Literal('<') || !c.Number(&length) || !c.Char(&type)) {
    return Malformed("KvGenericDataClass::FromQueryString: malformed data object header");
  }
  if (type == KV_DATA_RECORD || type == KV_DATA_SAMPLER) {
    std::string catalog, key, third;
    if (!c.Word(&catalog) || !c.Word(&key)) {
      return Malformed("KvGenericDataClass::FromQueryString: catalog name or key missing");
    }
    c.Word(&third);
    if (type == KV_DATA_SAMPLER && (third.empty() || third == ">")) {
      return Malformed("KvGenericDataClass::FromQueryString: sampler name missing");
    }
    type_ = type;
    const bool sampler = type == KV_DATA_SAMPLER;
    return WithCatalog(catalog.c_str(), [&](KvCatalogClass* cat) {
      const int rc = sampler ? cat->GetSamplerRecord(key.c_str(), third.c_str(), feature_)
                             : cat->GetFeature(key.c_str(), featureName, feature_);
      if (rc != 0) return rc;
      return SetKey(key.c_str());
    });
  }
  if (type != KV_DATA_MEMORY && type != KV_DATA_PICKER) {
    return Malformed("KvGenericDataClass::FromQueryString: unknown data object type");
  }
  unsigned long long keywordLength = 0;
  if (!c.Number(&keywordLength)) {
    return Malformed("KvGenericDataClass::FromQueryString: keyword length missing");
  }
  // Exactly one blank follows the keyword length; the keyword text itself may
  // begin with a blank.
  if (c.p >= c.end || *c.p != ' ') {
    return Malformed("KvGenericDataClass::FromQueryString: malformed keyword field");
  }
  ++c.p;
  const size_t position = static_cast<size_t>(c.p - bytes);
  if (keywordLength > size || position + keywordLength + 3 > size) {
    return Malformed("KvGenericDataClass::FromQueryString: data object is truncated");
  }
  type_ = type;
  if (keywordLength > 0) {
    char* keyword = static_cast<char*>(
        KvNew(static_cast<size_t>(keywordLength) + 1, "KvGenericDataClass::FromQueryString", KERR_Fatal));
    if (keyword == nullptr) return -1;
    std::memcpy(keyword, c.p, static_cast<size_t>(keywordLength));
    keyword[keywordLength] = '\0';
    KvDelete(keywordText_);
    keywordText_ = keyword;
  }
  const size_t payload = size - position - static_cast<size_t>(keywordLength) - 3;
  const unsigned char* start = reinterpret_cast<const unsigned char*>(c.p) + keywordLength;
  data_.SetBytes(payload, const_cast<unsigned char*>(start), KvOwnNone);
  return 0;
}

int KvGenericDataClass::FromQueryString(const char* featureName) {
  if (type_ == KV_DATA_MEMORY || type_ == KV_DATA_PICKER) return 0;
  if (type_ != KV_DATA_RECORD && type_ != KV_DATA_SAMPLER) return -1;
  if (catalogName_ == nullptr || key_ == nullptr) {
    return Malformed("KvGenericDataClass::FromQueryString: catalog name or key unset");
  }
  const bool sampler = type_ == KV_DATA_SAMPLER;
  return WithCatalog(catalogName_, [&](KvCatalogClass* cat) {
    return sampler ? cat->GetSamplerRecord(key_, featureName, feature_)
                   : cat->GetFeature(key_, featureName, feature_);
  });
}
