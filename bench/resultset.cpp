// Best-N list of the query scan: the datum path of the table interface
// (SetDistance + Insert, GetLast + Delete) against the scan's fast path
// (InsertKey, DeleteLast, LastDistance, with released entries reused).
// Both keep the best N of the same candidates; the results must agree.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "storage/KvKeyDatabase.h"

namespace {

constexpr int kCandidates = 400000;
constexpr unsigned kBest = 100;

struct Candidate {
  char key[24];
  float distance;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void DatumPath(const std::vector<Candidate>& candidates, KvKeyMemoryDatabaseClass& set) {
  float worst = -1.0f;
  KvDatumClass key, data, lastKey, lastData;
  for (const Candidate& c : candidates) {
    if (set.GetCount() >= kBest && !(c.distance < worst)) continue;
    if (set.GetCount() >= kBest) {
      set.GetLast(lastKey, lastData);
      set.Delete(lastKey);
    }
    key.SetBytes(std::strlen(c.key) + 1, reinterpret_cast<unsigned char*>(const_cast<char*>(c.key)),
                 KvOwnNone);
    set.SetDistance(data, c.distance);
    set.Insert(key, data);
    set.GetLast(lastKey, lastData);
    worst = set.GetDistance(lastData);
  }
}

void FastPath(const std::vector<Candidate>& candidates, KvKeyMemoryDatabaseClass& set) {
  float worst = -1.0f;
  for (const Candidate& c : candidates) {
    if (set.GetCount() >= kBest && !(c.distance < worst)) continue;
    if (set.GetCount() >= kBest) set.DeleteLast();
    set.InsertKey(c.key, c.distance);
    worst = set.LastDistance();
  }
}

}  // namespace

int main() {
  // Distances fall slowly, as when a scan meets ever better candidates: the
  // worst case for the list, which then changes at most steps.
  std::mt19937 random(1);
  std::vector<Candidate> candidates(kCandidates);
  for (int i = 0; i < kCandidates; ++i) {
    std::snprintf(candidates[i].key, sizeof candidates[i].key, "image%07d.jpg", i);
    candidates[i].distance = 1.0f - static_cast<float>(i) / kCandidates +
                             static_cast<float>(random() % 1000) / 1e4f;
  }
  KvKeyMemoryDatabaseClass slow(nullptr), fast(nullptr);
  auto start = std::chrono::steady_clock::now();
  DatumPath(candidates, slow);
  const double slowSeconds = Seconds(start);
  start = std::chrono::steady_clock::now();
  FastPath(candidates, fast);
  const double fastSeconds = Seconds(start);

  bool same = slow.GetCount() == fast.GetCount();
  for (auto *a = slow.FirstEntry(), *b = fast.FirstEntry(); same && a != nullptr; a = a->next, b = b->next) {
    same = b != nullptr && a->distance == b->distance && std::strcmp(a->key, b->key) == 0;
  }
  std::printf("best %u of %d candidates\n", kBest, kCandidates);
  std::printf("baseline datum path : %8.3f ms\n", slowSeconds * 1e3);
  std::printf("fast path           : %8.3f ms  (%.2fx)\n", fastSeconds * 1e3, slowSeconds / fastSeconds);
  std::printf("results %s\n", same ? "identical" : "DIFFER");
  return same ? 0 : 1;
}
