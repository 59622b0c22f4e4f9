// The best-N list: a max-heap ordered like the result set (distance, then
// key), so its top is the entry the result set would hold last.
#include "query/KvBestList.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "core/KvDatum.h"
#include "storage/KvKeyDatabase.h"

void KvBestList::SiftUp(size_t i) {
  while (i > 0) {
    const size_t parent = (i - 1) / 2;
    if (!After(heap_[i], heap_[parent])) break;
    std::swap(heap_[i], heap_[parent]);
    i = parent;
  }
}

void KvBestList::SiftDown(size_t i) {
  const size_t n = heap_.size();
  for (;;) {
    const size_t left = 2 * i + 1;
    if (left >= n) break;
    size_t largest = left;
    const size_t right = left + 1;
    if (right < n && After(heap_[right], heap_[left])) largest = right;
    if (!After(heap_[largest], heap_[i])) break;
    std::swap(heap_[i], heap_[largest]);
    i = largest;
  }
}

int KvBestList::Offer(const char* key, size_t keyLength, float distance) {
  if (heap_.size() < n_) {
    heap_.push_back(Entry{distance, std::string(key, keyLength)});
    SiftUp(heap_.size() - 1);
    return 0;
  }
  if (heap_.empty() || !(distance < heap_.front().distance)) return 0;
  // The new entry sorts before the evicted one (its distance is smaller), so
  // it can take the top's place and sink.
  Entry& top = heap_.front();
  top.distance = distance;
  top.key.assign(key, keyLength);
  SiftDown(0);
  return 1;
}

int KvBestList::OfferRanked(const char* key, size_t keyLength, float distance) {
  if (heap_.size() < n_) return Offer(key, keyLength, distance);
  if (heap_.empty()) return 0;
  Entry& top = heap_.front();
  if (!(distance < top.distance)) {
    if (!(distance == top.distance) || !(std::string_view(key, keyLength) < std::string_view(top.key))) return 0;
  }
  top.distance = distance;
  top.key.assign(key, keyLength);
  SiftDown(0);
  return 1;
}

void KvBestList::Merge(KvBestList& other) {
  for (const Entry& e : other.heap_) OfferRanked(e.key.data(), e.key.size(), e.distance);
  other.heap_.clear();
}

std::vector<std::pair<std::string, float>> KvBestList::Sorted() const {
  std::vector<const Entry*> order;
  order.reserve(heap_.size());
  for (const Entry& e : heap_) order.push_back(&e);
  std::sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) { return After(*b, *a); });
  std::vector<std::pair<std::string, float>> out;
  out.reserve(order.size());
  for (const Entry* e : order) out.emplace_back(e->key, e->distance);
  return out;
}

int KvBestList::EmitTo(KvKeyDatabaseClass* set) {
  std::sort(heap_.begin(), heap_.end(), [](const Entry& a, const Entry& b) { return After(b, a); });
  auto* memory = dynamic_cast<KvKeyMemoryDatabaseClass*>(set);
  if (memory != nullptr) {
    // One batch: the set's own rule for a repeated key, in O(n log n).
    std::vector<std::string_view> keys;
    std::vector<float> distances;
    keys.reserve(heap_.size());
    distances.reserve(heap_.size());
    for (const Entry& e : heap_) {
      keys.emplace_back(e.key);
      distances.push_back(e.distance);
    }
    if (memory->InsertBatch(keys.data(), distances.data(), keys.size()) < 0) return -1;
  } else {
    KvDatumClass keyDatum;
    KvDatumClass distanceDatum;
    for (const Entry& e : heap_) {
      keyDatum.SetBytes(e.key.size() + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(e.key.c_str())),
                        KvOwnNone);
      // 1 is a key the set holds already with a distance at least as small.
      if (set->SetDistance(distanceDatum, e.distance) != 0 || set->Insert(keyDatum, distanceDatum) < 0) return -1;
    }
  }
  heap_.clear();
  set->SetComplete(1);
  return 0;
}
