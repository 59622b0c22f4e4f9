// The keyword feature. Its byte string is the keyword text exactly as read,
// with its terminating NUL; no header, no byte order.
#include "features/KvTextFeature.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/KvError.h"
#include "data/KvGenericData.h"
#include "data/KvParameter.h"
#include "features/KvFeatureCommon.h"
#include "features/KvFeatureFactories.h"
#include "query/KvDeadline.h"
#include "storage/KvConnect.h"
#include "storage/KvKeyDatabase.h"

namespace {

// Query words longer than this are read as several words.
constexpr size_t kMaxWord = 1023;

// The keyword feature's parameter set has no defaults of its own.
KvFeatureFamily gFamily(nullptr, 0, nullptr);

// The text of a datum up to its first NUL (a stored record need not end with
// one).
std::string_view TextOf(const KvDatumClass& d) {
  if (d.Data() == nullptr || d.Size() == 0) return {};
  const char* p = reinterpret_cast<const char*>(d.Data());
  const void* nul = std::memchr(p, '\0', d.Size());
  return std::string_view(p, nul != nullptr ? static_cast<const char*>(nul) - p : d.Size());
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A word is found where one of its occurrences starts the text or follows a
// blank or a comma; it may run on (car is found in carpet, not in scar).
bool WordFound(std::string_view text, std::string_view word) {
  for (size_t at = text.find(word); at != std::string_view::npos; at = text.find(word, at + 1)) {
    if (at == 0 || text[at - 1] == ' ' || text[at - 1] == ',') return true;
  }
  return false;
}

// Calls visit(word) for each white-space-separated word of text.
template <typename Visit>
void ForEachWord(std::string_view text, Visit visit) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    size_t j = i;
    while (j < text.size() && !IsSpace(text[j]) && j - i < kMaxWord) ++j;
    if (j > i && !visit(text.substr(i, j - i))) return;
    i = j;
  }
}

}  // namespace

KvTextFeatureClass::KvTextFeatureClass() {
  if (!gFamily.Prepare()) valid_ = 0;
}

KvTextFeatureClass::~KvTextFeatureClass() = default;

KvParameterClass* KvTextFeatureClass::GetParameters() { return gFamily.Parameters(); }

void KvTextFeatureClass::Reset() {
  keywords_.Clear();
  query_.Clear();
  allWords_ = 0;
}

int KvTextFeatureClass::CopyKeywords(KvDatumClass& out, const char* tag) const {
  const unsigned long size = keywords_.Size();
  if (size == 0) return -1;
  unsigned char* copy = static_cast<unsigned char*>(KvNew(size, tag, KERR_Fatal));
  if (copy == nullptr) return -1;
  std::memcpy(copy, keywords_.Data(), size);
  out.SetBytes(size, copy, KvOwnKvDelete);
  return 0;
}

int KvTextFeatureClass::ToByteString(KvDatumClass& out) {
  return CopyKeywords(out, "KvTextFeatureClass::ToByteString");
}

int KvTextFeatureClass::ToAsciiString(KvDatumClass& out) {
  return CopyKeywords(out, "KvTextFeatureClass::ToAsciiString");
}

int KvTextFeatureClass::FromByteString(const KvDatumClass& in) {
  if (in.Size() == 0 || in.Data() == nullptr) return -1;
  return keywords_.CopyBytes(in.Data(), in.Size(), "KvTextFeatureClass::FromByteString");
}

int KvTextFeatureClass::ComputeFeature(KvGenericDataClass* data, KvParameterClass* parms) {
  (void)parms;
  if (data == nullptr) {
    KvError(KERR_NullDatum, KERR_Fatal, "KvText:ComputeFeature");
    return -1;
  }
  Reset();
  int status = 0;
  switch (data->GetType()) {
    case KV_DATA_RECORD:
    case KV_DATA_SAMPLER:
      status = FromByteString(data->GetFeatureDatum());
      break;
    case KV_DATA_MEMORY:
    case KV_DATA_PICKER: {
      const char* text = data->GetKeywordText();
      // An image without keywords (no text or an empty one) has an empty
      // keyword datum, which cannot be stored.
      if (text != nullptr && text[0] != '\0' &&
          keywords_.CopyBytes(text, std::strlen(text) + 1, "KvTextFeatureClass::ComputeFeature") != 0) {
        return -1;
      }
      break;
    }
    default:
      KvError(KERR_UnknownDataType, KERR_NonFatal, "KvText:ComputeFeature", static_cast<int>(data->GetType()));
      return -1;
  }
  if (status != 0 || data->GetQuerySide() != True) return status;

  const std::string_view text = TextOf(keywords_);
  if (text.empty()) return 0;
  char* words = static_cast<char*>(KvNew(text.size() + 1, "KvTextFeatureClass::ComputeFeature", KERR_Fatal));
  if (words == nullptr) return -1;
  std::memcpy(words, text.data(), text.size());
  words[text.size()] = '\0';
  allWords_ = text.find('+') != std::string_view::npos ? 1 : 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (words[i] == '+' || words[i] == ',') words[i] = ' ';
  }
  query_.SetBytes(text.size() + 1, reinterpret_cast<unsigned char*>(words), KvOwnKvDelete);
  return 0;
}

float KvTextFeatureClass::Distance(KvFeatureClass* other, KvParameterClass* parms, float bound) {
  (void)parms;
  (void)bound;
  if (other == nullptr || !other->IsClass("KvTextFeatureClass")) {
    // The message names two target types; the keyword feature has only one.
    KvError(KERR_Coerce2, KERR_NonFatal, "KvTextFeatureClass::Distance", "KvFeatureClass", "KvTextFeatureClass",
            "KvTextFeatureClass");
    return -1.0f;
  }
  return MatchWords(TextOf(static_cast<KvTextFeatureClass*>(other)->keywords_));
}

float KvTextFeatureClass::MatchWords(std::string_view stored) const {
  const std::string_view query = TextOf(query_);
  unsigned long total = 0;
  unsigned long found = 0;
  bool missing = false;
  ForEachWord(query, [&](std::string_view word) {
    ++total;
    if (WordFound(stored, word)) {
      ++found;
      return true;
    }
    missing = true;
    return allWords_ == 0;  // all-words queries stop at the first miss
  });
  if (total == 0) return -1.0f;
  if (allWords_ != 0) return missing ? -1.0f : 0.0f;
  if (found == 0) return -1.0f;
  return static_cast<float>(1.0 - static_cast<double>(found) / static_cast<double>(total));
}

float KvTextFeatureClass::GetDistanceHintForParameters(KvFeatureClass*, KvParameterClass*, float) {
  return -1.0f;
}

float KvTextFeatureClass::GetDistanceHintForTable(KvDatabaseClass*, KvKeyDatabaseClass*, unsigned long,
                                                  const char*, KvParameterClass*) {
  return -1.0f;
}

int KvTextFeatureClass::SearchTable(KvDatabaseClass* table, KvKeyDatabaseClass* restriction, unsigned long n,
                                    const char* catalogName, KvParameterClass* parms,
                                    KvKeyDatabaseClass* result) {
  (void)n;
  (void)catalogName;
  (void)parms;
  if (table == nullptr || result == nullptr) {
    KvError(KERR_General, KERR_NonFatal, "KvTextFeatureClass::SearchTable: no table or no result set");
    return -1;
  }
  KvDbIteratorClass* walk = restriction != nullptr ? restriction->NewIterator() : table->NewIterator();
  if (walk == nullptr) return -1;  // the table has recorded why
  struct IteratorGuard {
    KvDbIteratorClass* it;
    ~IteratorGuard() { delete it; }
  } guard{walk};

  KvDatumClass key;
  KvDatumClass value;
  KvDatumClass record;
  // Matches are gathered first and handed to the result set in one batch:
  // inserting a whole table's matches one by one into a sorted set would
  // cost a walk of the set per match.
  std::vector<std::string> keys;
  std::vector<float> distances;
  KvDeadlineTicker deadline(KvCurrentDeadline());
  try {
    while (walk->HasCurrent()) {
      if (deadline.Tick()) return KvDeadlineFail("KvTextFeatureClass::SearchTable");
      if (walk->NextView(key, value) != 0) return -1;
      const KvDatumClass* stored = &value;
      if (restriction != nullptr) {
        const int rc = table->Get(key, record);
        // A candidate without a keyword record has no keywords: no match.
        if (rc == 1) continue;
        if (rc != 0) return -1;
        stored = &record;
      }
      // Decoding a record would copy it; matching its bytes in place gives
      // the same distance without an allocation per record.
      if (stored->Size() == 0 || stored->Data() == nullptr) {
        KvError(KERR_General, KERR_NonFatal, "KvTextFeatureClass::SearchTable: a stored keyword record is empty");
        return -1;
      }
      const float d = MatchWords(TextOf(*stored));
      if (d < 0.0f) continue;
      // Keys travel as NUL-terminated text; a key read without its NUL gets one.
      const char* k = reinterpret_cast<const char*>(key.Data());
      keys.emplace_back(k != nullptr ? k : "", k != nullptr ? strnlen(k, key.Size()) : 0);
      distances.push_back(d);
    }
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, -1, "KvTextFeatureClass::SearchTable");
    return -1;
  }
  if (result->IsClass("KvKeyMemoryDatabaseClass")) {
    std::vector<std::string_view> views(keys.begin(), keys.end());
    if (static_cast<KvKeyMemoryDatabaseClass*>(result)->InsertBatch(views.data(), distances.data(),
                                                                    views.size()) < 0) {
      return -1;
    }
  } else {
    KvDatumClass keyText;
    KvDatumClass distance;
    for (size_t i = 0; i < keys.size(); ++i) {
      keyText.SetBytes(keys[i].size() + 1, reinterpret_cast<unsigned char*>(&keys[i][0]), KvOwnNone);
      if (result->SetDistance(distance, distances[i]) != 0) return -1;
      if (result->Insert(keyText, distance) < 0) return -1;
    }
  }
  result->SetComplete(1);
  return 0;
}

KvFeatureClass* NewKvTextFeatureClass() { return new (std::nothrow) KvTextFeatureClass(); }
