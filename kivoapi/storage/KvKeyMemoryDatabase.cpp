// In-memory key/distance result sets: a sorted doubly linked list of entries
// with inline short keys, and its iterator.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/KvEnv.h"
#include "core/KvError.h"
#include "storage/KvKeyDatabase.h"

namespace {

using Entry = KvKeyMemoryDatabaseClass::Entry;

// Released entries kept for reuse; enough for the best-N list's delete-last
// then insert cycle and for Update, without holding on to a large set's worth.
constexpr uint32_t kMaxFreeEntries = 64;
constexpr size_t kInlineKey = sizeof(Entry::inlineKey);

// Distance order with NaN (possible from a peer's text or a broken feature)
// placed after every number, so the list stays totally ordered.
int CompareDistance(float a, float b) {
  if (a < b) return -1;
  if (a > b) return 1;
  if (a == b) return 0;
  const bool aNan = std::isnan(a);
  const bool bNan = std::isnan(b);
  if (aNan == bNan) return 0;
  return aNan ? 1 : -1;
}

// strcmp order of the two texts.
int CompareKey(const char* a, size_t aLength, const char* b, size_t bLength) {
  const int c = std::memcmp(a, b, aLength < bLength ? aLength : bLength);
  if (c != 0) return c;
  return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
}

bool SameKey(const Entry* e, const char* key, size_t length) {
  return e->keyLength == length && std::memcmp(e->key, key, length) == 0;
}

// a before b: smaller distance, then smaller key.
bool Before(const Entry* a, const Entry* b) {
  const int byDistance = CompareDistance(a->distance, b->distance);
  if (byDistance != 0) return byDistance < 0;
  return CompareKey(a->key, a->keyLength, b->key, b->keyLength) < 0;
}

// The key text of a datum: its bytes up to the first NUL or its end.
size_t KeyLength(const KvDatumClass& datum) {
  if (datum.Data() == nullptr) return 0;
  return strnlen(reinterpret_cast<const char*>(datum.Data()), datum.Size());
}

const char* KeyText(const KvDatumClass& datum) {
  return datum.Data() != nullptr ? reinterpret_cast<const char*>(datum.Data()) : "";
}

}  // namespace

KvKeyMemoryDatabaseClass::KvKeyMemoryDatabaseClass(const KvConnectClass* connection)
    : KvKeyDatabaseClass(connection) {}

KvKeyMemoryDatabaseClass::~KvKeyMemoryDatabaseClass() {
  for (Entry* e = first_; e != nullptr;) {
    Entry* next = e->next;
    if (e->ownsKey) KvDelete(e->key);
    KvDelete(e);
    e = next;
  }
  for (Entry* e = free_; e != nullptr;) {
    Entry* next = e->next;
    KvDelete(e);
    e = next;
  }
  KvDelete(name_);
}

KvKeyMemoryDatabaseClass::Entry* KvKeyMemoryDatabaseClass::MakeEntry(const char* key, size_t length,
                                                                     float distance) {
  static const char kTag[] = "KvKeyMemoryDatabaseClass::Insert";
  if (length > UINT32_MAX - 1) {
    KvError(KERR_Alloc, KERR_Fatal, -1, kTag);
    return nullptr;
  }
  Entry* e = free_;
  if (e != nullptr) {
    free_ = e->next;
    --freeCount_;
  } else {
    e = static_cast<Entry*>(KvNew(sizeof(Entry), kTag, KERR_Fatal));
    if (e == nullptr) return nullptr;
  }
  if (length < kInlineKey) {
    e->key = e->inlineKey;
    e->ownsKey = 0;
  } else {
    e->key = static_cast<char*>(KvNew(length + 1, kTag, KERR_Fatal));
    if (e->key == nullptr) {
      KvDelete(e);
      return nullptr;
    }
    e->ownsKey = 1;
  }
  std::memcpy(e->key, key, length);
  e->key[length] = '\0';
  e->keyLength = static_cast<uint32_t>(length);
  e->distance = distance;
  e->next = nullptr;
  e->previous = nullptr;
  return e;
}

void KvKeyMemoryDatabaseClass::ReleaseEntry(Entry* e) {
  if (e->ownsKey) KvDelete(e->key);
  e->key = nullptr;
  e->ownsKey = 0;
  if (freeCount_ < kMaxFreeEntries) {
    e->next = free_;
    free_ = e;
    ++freeCount_;
  } else {
    KvDelete(e);
  }
}

int KvKeyMemoryDatabaseClass::InsertEntry(Entry* e) {
  // One entry per key, the one that sorts first. An entry of the same key
  // met before the new entry's place sorts first already: the new one is
  // refused. One found after that place sorts later and gives way.
  Entry* at = first_;
  for (; at != nullptr; at = at->next) {
    if (Before(e, at)) break;
    if (SameKey(at, e->key, e->keyLength)) {
      ReleaseEntry(e);
      return 1;
    }
  }
  for (Entry* later = at; later != nullptr; later = later->next) {
    if (SameKey(later, e->key, e->keyLength)) {
      if (later == at) at = at->next;
      Unlink(later);
      break;
    }
  }
  if (at == nullptr) {
    e->previous = last_;
    if (last_ != nullptr) last_->next = e;
    else first_ = e;
    last_ = e;
  } else {
    e->next = at;
    e->previous = at->previous;
    if (at->previous != nullptr) at->previous->next = e;
    else first_ = e;
    at->previous = e;
  }
  ++count_;
  return 0;
}

void KvKeyMemoryDatabaseClass::MergeEntries(Entry** entries, size_t count) {
  // With distinct keys the order is strict, so the sorted merge puts every
  // entry where one insert after the other would have put it.
  std::sort(entries, entries + count, [](const Entry* a, const Entry* b) { return Before(a, b); });
  Entry* at = first_;
  for (size_t i = 0; i < count; ++i) {
    Entry* e = entries[i];
    while (at != nullptr && !Before(e, at)) at = at->next;
    e->next = at;
    if (at == nullptr) {
      e->previous = last_;
      if (last_ != nullptr) last_->next = e;
      else first_ = e;
      last_ = e;
    } else {
      e->previous = at->previous;
      if (at->previous != nullptr) at->previous->next = e;
      else first_ = e;
      at->previous = e;
    }
  }
  count_ += static_cast<uint32_t>(count);
}

int KvKeyMemoryDatabaseClass::InsertEntriesInTurn(Entry** entries, size_t count) {
  // InsertEntry keeps one entry per key, the one that sorts first: an entry
  // whose key is held already replaces it when it sorts before it and is
  // refused otherwise. An ordered index and the entry of every key give that
  // answer without a walk per entry, which a long text with a single
  // repeated key would otherwise cost.
  auto less = [](const Entry* a, const Entry* b) { return Before(a, b); };
  std::set<Entry*, decltype(less)> order(less);
  std::unordered_map<std::string_view, Entry*> ofKey;
  std::vector<Entry*> replaced;
  size_t placed = 0;
  try {
    for (Entry* e = first_; e != nullptr; e = e->next) {
      order.insert(order.end(), e);
      ofKey.emplace(std::string_view(e->key, e->keyLength), e);
    }
    replaced.reserve(count);
    for (; placed < count; ++placed) {
      Entry* e = entries[placed];
      const auto same = ofKey.find(std::string_view(e->key, e->keyLength));
      if (same != ofKey.end()) {
        if (!Before(e, same->second)) break;
        order.erase(same->second);
        replaced.push_back(same->second);
      }
      order.insert(e);
      // The map's key views the entry's own text, which outlives the map.
      if (same != ofKey.end()) ofKey.erase(same);
      ofKey.emplace(std::string_view(e->key, e->keyLength), e);
    }
  } catch (const std::bad_alloc&) {
    // The list has not been touched yet; entries taken out of the index
    // are still linked in it.
    for (size_t i = 0; i < count; ++i) ReleaseEntry(entries[i]);
    throw;
  }
  for (size_t i = placed; i < count; ++i) ReleaseEntry(entries[i]);
  for (Entry* e : replaced) ReleaseEntry(e);
  // Relinking allocates nothing.
  Entry* previous = nullptr;
  first_ = nullptr;
  for (Entry* e : order) {
    e->previous = previous;
    e->next = nullptr;
    if (previous != nullptr) previous->next = e;
    else first_ = e;
    previous = e;
  }
  last_ = previous;
  count_ = static_cast<uint32_t>(order.size());
  return placed < count ? 1 : 0;
}

KvKeyMemoryDatabaseClass::Entry* KvKeyMemoryDatabaseClass::FindKey(const char* key,
                                                                   size_t length) const {
  for (Entry* e = first_; e != nullptr; e = e->next) {
    if (SameKey(e, key, length)) return e;
  }
  return nullptr;
}

void KvKeyMemoryDatabaseClass::Unlink(Entry* e) {
  if (e->previous != nullptr) e->previous->next = e->next;
  else first_ = e->next;
  if (e->next != nullptr) e->next->previous = e->previous;
  else last_ = e->previous;
  --count_;
  ReleaseEntry(e);
}

int KvKeyMemoryDatabaseClass::Open(const char* name, const char* mode) {
  if (mode == nullptr) return -1;
  const char* connectionMode = connection_ != nullptr ? connection_->GetMode() : nullptr;
  const bool accepted =
      mode[0] == 'r' || (connectionMode != nullptr && mode[0] != '\0' && mode[0] == connectionMode[0]);
  if (!accepted) return -1;
  return OpenForWrite(name);
}

int KvKeyMemoryDatabaseClass::OpenForWrite(const char* name) {
  char* copy = nullptr;
  if (name != nullptr) {
    copy = KvStrDup(name, 0);
    if (copy == nullptr) return -1;
  }
  KvDelete(name_);
  name_ = copy;
  return 0;
}

int KvKeyMemoryDatabaseClass::Close() {
  KvDelete(name_);
  name_ = nullptr;
  return 0;
}

int KvKeyMemoryDatabaseClass::Insert(const KvDatumClass& key, const KvDatumClass& data) {
  Entry* e = MakeEntry(KeyText(key), KeyLength(key), GetDistance(data));
  if (e == nullptr) return -1;
  return InsertEntry(e);
}

int KvKeyMemoryDatabaseClass::InsertKey(const char* key, float distance) {
  if (key == nullptr) return -1;
  Entry* e = MakeEntry(key, std::strlen(key), distance);
  if (e == nullptr) return -1;
  return InsertEntry(e);
}

int KvKeyMemoryDatabaseClass::Update(const KvDatumClass& key, const KvDatumClass& data,
                                     Boolean insertIfMissing) {
  const int deleted = Delete(key);
  if (deleted != 0 && !insertIfMissing) return 1;
  return Insert(key, data);
}

int KvKeyMemoryDatabaseClass::Get(const KvDatumClass& key, KvDatumClass& data) {
  const Entry* e = FindKey(KeyText(key), KeyLength(key));
  if (e == nullptr) return 1;
  return SetDistance(data, e->distance);
}

int KvKeyMemoryDatabaseClass::Delete(const KvDatumClass& key) {
  Entry* e = FindKey(KeyText(key), KeyLength(key));
  if (e == nullptr) return 1;
  Unlink(e);
  return 0;
}

int KvKeyMemoryDatabaseClass::DeleteLast() {
  if (last_ == nullptr) return 1;
  Unlink(last_);
  return 0;
}

float KvKeyMemoryDatabaseClass::LastDistance() const {
  return last_ != nullptr ? last_->distance : -1.0f;
}

KvDbIteratorClass* KvKeyMemoryDatabaseClass::NewIterator() {
  KvDbIteratorClass* iterator = new (std::nothrow) KvKeyMemoryDbIteratorClass(this);
  if (iterator == nullptr) {
    KvError(KERR_General, KERR_Fatal, "Unable to new KvKeyMemoryDbIteratorClass in KvKeyMem");
    return nullptr;
  }
  return iterator;
}

int KvKeyMemoryDatabaseClass::SetDistance(KvDatumClass& datum, float distance) {
  unsigned char* bytes = static_cast<unsigned char*>(
      KvNew(sizeof distance, "KvKeyMemoryDatabaseClass::SetDistance", KERR_Fatal));
  if (bytes == nullptr) return -1;
  std::memcpy(bytes, &distance, sizeof distance);
  datum.SetBytes(sizeof distance, bytes, KvOwnKvDelete);
  return 0;
}

float KvKeyMemoryDatabaseClass::GetDistance(const KvDatumClass& datum) {
  float distance = -2.0f;
  if (datum.Data() == nullptr || datum.Size() < sizeof distance) return distance;
  std::memcpy(&distance, datum.Data(), sizeof distance);
  return distance;
}

int KvKeyMemoryDatabaseClass::GetLast(KvDatumClass& key, KvDatumClass& data) {
  if (last_ == nullptr) return 1;
  const int result = SetDistance(data, last_->distance);
  if (result != 0) return result;
  key.SetBytes(last_->keyLength + 1ul, reinterpret_cast<unsigned char*>(last_->key), KvOwnNone);
  return 0;
}

// ---- iterator ------------------------------------------------------------

KvKeyMemoryDbIteratorClass::KvKeyMemoryDbIteratorClass(KvKeyMemoryDatabaseClass* set)
    : set_(set), current_(set != nullptr ? set->FirstEntry() : nullptr) {}

int KvKeyMemoryDbIteratorClass::First() {
  current_ = set_ != nullptr ? set_->FirstEntry() : nullptr;
  return current_ != nullptr ? 0 : 1;
}

int KvKeyMemoryDbIteratorClass::Next(KvDatumClass& key, KvDatumClass& data, int mode) {
  switch (mode) {
    case 0:
      current_ = set_ != nullptr ? set_->FirstEntry() : nullptr;
      break;
    case 1:
      break;
    case 2: {
      const char* text = KeyText(key);
      const size_t length = KeyLength(key);
      current_ = set_ != nullptr ? set_->FirstEntry() : nullptr;
      while (current_ != nullptr && !SameKey(current_, text, length)) current_ = current_->next;
      break;
    }
    default:
      return -1;
  }
  if (current_ == nullptr || set_ == nullptr) return -1;
  char* copy = new (std::nothrow) char[current_->keyLength + 1ul];
  if (copy == nullptr) {
    KvError(KERR_Alloc, KERR_Fatal, static_cast<int>(current_->keyLength + 1),
            "KvKeyMemoryDbIteratorClass::Next");
    return -1;
  }
  if (set_->SetDistance(data, current_->distance) != 0) {
    delete[] copy;
    return -1;
  }
  std::memcpy(copy, current_->key, current_->keyLength + 1ul);
  key.SetBytes(current_->keyLength + 1ul, reinterpret_cast<unsigned char*>(copy), KvOwnArrayDelete);
  current_ = current_->next;
  return 0;
}

int KvKeyMemoryDbIteratorClass::NextView(KvDatumClass& key, KvDatumClass& data) {
  if (current_ == nullptr) return -1;
  std::memcpy(distanceBytes_, &current_->distance, sizeof distanceBytes_);
  key.SetBytes(current_->keyLength + 1ul, reinterpret_cast<unsigned char*>(current_->key), KvOwnNone);
  data.SetBytes(sizeof distanceBytes_, distanceBytes_, KvOwnNone);
  current_ = current_->next;
  return 0;
}
