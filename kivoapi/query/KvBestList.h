// The best-N list of a query: keeps the N candidates of smallest distance in
// a bounded max-heap and hands them to a result set once the candidates are
// exhausted.
//
// Rule (the same as inserting into a sorted result set directly): while fewer
// than N are held, every candidate is taken; after that a candidate replaces
// the held entry that sorts last (largest distance, then largest key) only
// when its distance is strictly below the largest held distance. Equal
// distances therefore never displace an earlier key.
//
// Memory grows with the entries actually held, never with N; a replacement
// reuses the evicted entry's key buffer, so a long walk allocates only while
// the list fills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class KvKeyDatabaseClass;

class KvBestList {
 public:
  explicit KvBestList(uint32_t n) : n_(n) {}

  // Offers a candidate. 1 when it replaced the worst entry, 0 when it was
  // taken while filling or refused. May throw std::bad_alloc while filling.
  int Offer(const char* key, size_t keyLength, float distance);
  // Offers a candidate by the full order (distance, then key): once N are
  // held it replaces the entry that sorts last when it sorts before it. For
  // candidates offered in key order this takes exactly what Offer takes; in
  // any other order it still ends with the N first entries of that order, so
  // lists kept over parts of a walk can be merged (Merge).
  int OfferRanked(const char* key, size_t keyLength, float distance);
  // Offers every entry of other by the full order and empties other.
  void Merge(KvBestList& other);
  // Largest distance held, -1.0 while empty.
  float Worst() const { return heap_.empty() ? -1.0f : heap_.front().distance; }
  size_t Count() const { return heap_.size(); }
  uint32_t Capacity() const { return n_; }
  // The held entries in the full order (distance, then key), best first.
  std::vector<std::pair<std::string, float>> Sorted() const;
  // Inserts every held entry into set (best entries end up first) and sets
  // the set's complete flag. 0, or -1 when an insertion failed (allocation).
  int EmitTo(KvKeyDatabaseClass* set);

 private:
  struct Entry {
    float distance;
    std::string key;
  };
  // Sorts after: larger distance, then larger key (byte order).
  static bool After(const Entry& a, const Entry& b) {
    if (a.distance != b.distance) return a.distance > b.distance;
    return a.key > b.key;
  }
  void SiftUp(size_t i);
  void SiftDown(size_t i);

  uint32_t n_;
  std::vector<Entry> heap_;
};
