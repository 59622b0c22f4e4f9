// Text forms of result sets. Layout of the query-string form (offsets in
// bytes, L = total size with the NUL):
//
//   offset  size  meaning
//   0       1     "<"
//   1       1     blank
//   2       9     L, "%9lu" (right-aligned; at most 999,999,999)
//   11      1     blank
//   12      ...   for every entry in order: key, blank, distance "%f", blank
//   L-2     1     ">"
//   L-1     1     NUL
//
// The key-string form is the same with "key blank" for every entry. Keys are
// white-space-free words; the set with no entries is "<        14 >" + NUL.
//
// Texts come from peers and query texts, so reading treats them as untrusted:
// the whole text is checked before anything is inserted, nothing is read
// past the datum (which need not hold a NUL), and nothing is allocated from a
// number found in the text.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/KvError.h"
#include "storage/KvKeyDatabase.h"

namespace {

using Entry = KvKeyMemoryDatabaseClass::Entry;

constexpr size_t kHeaderSize = 12;  // "<", blank, nine columns, blank
constexpr size_t kMaxText = 999999999;
constexpr size_t kMaxDistanceWord = 63;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsWritableKey(const Entry* e) {
  if (e->keyLength == 0) return false;
  for (uint32_t i = 0; i < e->keyLength; ++i) {
    if (IsBlank(e->key[i])) return false;
  }
  return true;
}

void Refuse(const char* site, const char* reason) {
  char message[512];
  std::snprintf(message, sizeof message, "%s: %s", site, reason);
  KvError(KERR_General, KERR_Fatal, message);
}

// "%f" of distance into buffer (large enough for any float); its length.
size_t FormatDistance(float distance, char (&buffer)[64]) {
  const int n = std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(distance));
  return n > 0 ? static_cast<size_t>(n) : 0;
}

// A whole word as a float, as "%f" reads it; false for anything else.
bool ParseDistance(const char* word, size_t length, float* out) {
  if (length == 0 || length > kMaxDistanceWord) return false;
  char buffer[kMaxDistanceWord + 1];
  std::memcpy(buffer, word, length);
  buffer[length] = '\0';
  char* end = nullptr;
  errno = 0;
  const float value = std::strtof(buffer, &end);
  if (end != buffer + length) return false;
  *out = value;  // out-of-range values saturate to the infinities, as scanf does
  return true;
}

// The body of a framed text: [begin, end) between the length word and the
// closing ">". Returns null on success, else the reason the text is malformed.
const char* FindBody(const char* text, size_t size, size_t* begin, size_t* end) {
  size_t i = 0;
  while (i < size && IsBlank(text[i])) ++i;
  if (i == size || text[i] != '<') return "text does not begin with \"<\"";
  ++i;
  while (i < size && IsBlank(text[i])) ++i;
  const size_t digits = i;
  while (i < size && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == digits) return "length word missing after \"<\"";
  if (i < size && !IsBlank(text[i])) return "length word is not a number";
  while (i < size && IsBlank(text[i])) ++i;
  size_t last = size;
  while (last > i && IsBlank(text[last - 1])) --last;
  if (last == i || text[last - 1] != '>') return "text does not end with \">\"";
  --last;
  if (last > i && !IsBlank(text[last - 1])) return "\">\" is not a word of its own";
  *begin = i;
  *end = last;
  return nullptr;
}

// Words of [begin, end) from the back: the word ending at or before *at.
// False when none is left.
bool PreviousWord(const char* text, size_t begin, size_t* at, const char** word, size_t* length) {
  size_t stop = *at;
  while (stop > begin && IsBlank(text[stop - 1])) --stop;
  if (stop == begin) return false;
  size_t start = stop;
  while (start > begin && !IsBlank(text[start - 1])) --start;
  *word = text + start;
  *length = stop - start;
  *at = start;
  return true;
}

bool NextWord(const char* text, size_t end, size_t* at, const char** word, size_t* length) {
  size_t start = *at;
  while (start < end && IsBlank(text[start])) ++start;
  if (start == end) return false;
  size_t stop = start;
  while (stop < end && !IsBlank(text[stop])) ++stop;
  *word = text + start;
  *length = stop - start;
  *at = stop;
  return true;
}

}  // namespace

int KvKeyMemoryDatabaseClass::WriteText(KvDatumClass& out, bool withDistances, const char* site) {
  char number[64];
  size_t total = kHeaderSize + 2;  // ">" and the NUL
  for (const Entry* e = first_; e != nullptr; e = e->next) {
    if (!IsWritableKey(e)) {
      Refuse(site, "an empty key or a key containing white space cannot be written");
      return -1;
    }
    total += e->keyLength + 1ul;
    if (withDistances) total += FormatDistance(e->distance, number) + 1;
    if (total > kMaxText) {
      Refuse(site, "result set text would exceed 999999999 bytes");
      return -1;
    }
  }
  char* text = static_cast<char*>(KvNew(total, site, KERR_Fatal));
  if (text == nullptr) return -1;
  std::snprintf(text, kHeaderSize + 1, "< %9lu ", static_cast<unsigned long>(total));
  size_t at = kHeaderSize;
  for (const Entry* e = first_; e != nullptr; e = e->next) {
    std::memcpy(text + at, e->key, e->keyLength);
    at += e->keyLength;
    text[at++] = ' ';
    if (withDistances) {
      const size_t length = FormatDistance(e->distance, number);
      std::memcpy(text + at, number, length);
      at += length;
      text[at++] = ' ';
    }
  }
  text[at++] = '>';
  text[at++] = '\0';
  out.SetBytes(at, reinterpret_cast<unsigned char*>(text), KvOwnKvDelete);
  return 0;
}

int KvKeyMemoryDatabaseClass::ReadText(const KvDatumClass& in, bool withDistances, const char* site) {
  const char* text = reinterpret_cast<const char*>(in.Data());
  if (text == nullptr || in.Size() == 0) return 0;  // nothing to read
  const size_t size = strnlen(text, in.Size());
  size_t begin = 0;
  size_t end = 0;
  const char* malformed = FindBody(text, size, &begin, &end);

  // Check every word before inserting any, so a bad text adds nothing.
  size_t words = 0;
  for (size_t at = begin; malformed == nullptr;) {
    const char* word;
    size_t length;
    if (!NextWord(text, end, &at, &word, &length)) break;
    float distance;
    if (withDistances && words % 2 == 1 && !ParseDistance(word, length, &distance)) {
      malformed = "distance is not a number";
    }
    ++words;
  }
  if (malformed == nullptr && withDistances && words % 2 != 0) malformed = "key without a distance";
  if (malformed != nullptr) {
    Refuse(site, malformed);
    return -1;
  }

  try {
    return InsertPairs(text, begin, end, withDistances);
  } catch (const std::bad_alloc&) {
    KvError(KERR_Alloc, KERR_Fatal, -1, site);
    return -1;
  }
}

// Pairs are inserted from the last to the first: the order decides which of
// two equal keys is refused. When no key repeats (in the text or against the
// set), every insert succeeds and the outcome does not depend on the order,
// so the entries are sorted and merged in one pass instead: a long text in an
// unlucky order would otherwise cost a walk of the list per pair.
int KvKeyMemoryDatabaseClass::InsertPairs(const char* text, size_t begin, size_t end,
                                          bool withDistances) {
  struct Pending {
    std::string_view key;
    float distance;
  };
  std::vector<Pending> pending;
  for (size_t at = end;;) {
    const char* word;
    size_t length;
    float distance = -2.0f;
    if (withDistances) {
      if (!PreviousWord(text, begin, &at, &word, &length)) break;
      ParseDistance(word, length, &distance);
    }
    if (!PreviousWord(text, begin, &at, &word, &length)) break;
    pending.push_back({std::string_view(word, length), distance});
  }

  std::vector<std::string_view> keys;
  std::vector<float> distances;
  keys.reserve(pending.size());
  distances.reserve(pending.size());
  for (const Pending& p : pending) {
    keys.push_back(p.key);
    distances.push_back(p.distance);
  }
  return InsertBatch(keys.data(), distances.data(), keys.size());
}

int KvKeyMemoryDatabaseClass::InsertBatch(const std::string_view* keys, const float* distances, size_t count) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(count_ + count);
  for (const Entry* e = first_; e != nullptr; e = e->next) seen.emplace(e->key, e->keyLength);
  bool unique = true;
  for (size_t i = 0; i < count && unique; ++i) unique = seen.insert(keys[i]).second;

  if (!unique) {
    // Duplicates keep the one-at-a-time rules.
    for (size_t i = 0; i < count; ++i) {
      Entry* e = MakeEntry(keys[i].data(), keys[i].size(), distances[i]);
      if (e == nullptr) return -1;
      const int result = InsertEntry(e);
      if (result != 0) return result;
    }
    return 0;
  }
  std::vector<Entry*> entries;
  entries.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    Entry* e = MakeEntry(keys[i].data(), keys[i].size(), distances[i]);
    if (e == nullptr) {
      for (Entry* made : entries) ReleaseEntry(made);
      return -1;
    }
    entries.push_back(e);
  }
  MergeEntries(entries.data(), entries.size());
  return 0;
}

int KvKeyMemoryDatabaseClass::ToQueryString(KvDatumClass& out) {
  return WriteText(out, true, "KvKeyMemoryDatabaseClass::ToQueryString");
}

int KvKeyMemoryDatabaseClass::ToKeyString(KvDatumClass& out) {
  return WriteText(out, false, "KvKeyMemoryDatabaseClass::ToKeyString");
}

int KvKeyMemoryDatabaseClass::FromQueryString(const KvDatumClass& in) {
  return ReadText(in, true, "KvKeyMemoryDatabaseClass::FromQueryString");
}

int KvKeyMemoryDatabaseClass::FromKeyString(const KvDatumClass& in) {
  return ReadText(in, false, "KvKeyMemoryDatabaseClass::FromKeyString");
}
