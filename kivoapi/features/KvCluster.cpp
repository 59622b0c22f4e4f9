// Agglomerative clustering of weighted colour points (the merged colour table
// is clustered from the base table with it) and the nearest-cluster map.
//
// Each step merges the pair with the smallest Ward-like cost d * wi * wj /
// (wi + wj) (d the squared distance); a pinned point never moves and never
// merges with another pinned point. Every alive point remembers its cheapest
// partner among the points after it, so a step only recomputes the partners
// of the points whose partner took part in the merge.
#include <cmath>

#include "core/KvError.h"
#include "features/KvColorSpace.h"

namespace {

struct ClusterPoint {
  KvColorRecord record;
  int alive;
  int partner;  // -1 when unknown
  double cost;  // merge cost with the partner
};

// Squared distance of a and b, or HUGE_VAL as soon as a partial sum reaches
// bound. With weights of at least 1 a merge factor is at least 1/2, so a
// candidate at a squared distance of twice the best cost cannot beat it.
double BoundedDistance(const KvColorRecord& a, const KvColorRecord& b, double bound) {
  double d = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double diff = a.c[k] - b.c[k];
    d += diff * diff;
    if (d >= bound) return HUGE_VAL;
  }
  return d;
}

double MergeFactor(const KvColorRecord& a, const KvColorRecord& b) {
  if (a.pinned && b.pinned) return HUGE_VAL;
  if (a.pinned) return b.weight;
  if (b.pinned) return a.weight;
  const double sum = a.weight + b.weight;
  return sum > 0.0 ? a.weight * b.weight / sum : 0.0;
}

// Cost of merging a and b, HUGE_VAL when they cannot merge or the distance
// reaches bound.
double MergeCost(const KvColorRecord& a, const KvColorRecord& b, double bound) {
  if (a.pinned && b.pinned) return HUGE_VAL;
  const double d = BoundedDistance(a, b, bound);
  if (d == HUGE_VAL) return HUGE_VAL;
  return d * MergeFactor(a, b);
}

void FindPartner(ClusterPoint* points, int n, int i) {
  ClusterPoint& p = points[i];
  p.partner = -1;
  p.cost = HUGE_VAL;
  double bound = HUGE_VAL;
  for (int j = i + 1; j < n; ++j) {
    if (!points[j].alive) continue;
    const double cost = MergeCost(p.record, points[j].record, bound);
    if (cost < p.cost) {
      p.cost = cost;
      p.partner = j;
      bound = 2.0 * cost;
    }
  }
}

}  // namespace

int KvCluster(const KvColorRecord* points, int n, KvColorRecord* clusters, int k) {
  int pinned = 0;
  for (int i = 0; points != nullptr && i < n; ++i) pinned += points[i].pinned ? 1 : 0;
  if (points == nullptr || clusters == nullptr || n < k || k < pinned || k < 1) {
    KvError(KERR_ClusterCount, KERR_Fatal, n, pinned, k);
    return -1;
  }
  auto* work = static_cast<ClusterPoint*>(KvCNew(static_cast<size_t>(n), sizeof(ClusterPoint),
                                                 "kuClust:KvCluster", KERR_Fatal));
  if (work == nullptr) return -1;
  for (int i = 0; i < n; ++i) {
    work[i].record = points[i];
    work[i].alive = 1;
    work[i].partner = -1;
    work[i].cost = HUGE_VAL;
  }
  for (int merges = n - k; merges > 0; --merges) {
    for (int i = 0; i < n - 1; ++i) {
      if (work[i].alive && work[i].partner < 0) FindPartner(work, n, i);
    }
    int best = -1;
    for (int i = 0; i < n; ++i) {
      if (!work[i].alive || work[i].partner < 0) continue;
      if (best < 0 || work[i].cost < work[best].cost) best = i;
    }
    if (best < 0) break;  // cannot happen while k >= pinned and k >= 1
    int survivor = best;
    int absorbed = work[best].partner;
    if (work[absorbed].record.pinned) {
      survivor = absorbed;
      absorbed = best;
    }
    KvColorRecord& s = work[survivor].record;
    const KvColorRecord& a = work[absorbed].record;
    const double weight = s.weight + a.weight;
    if (!s.pinned && weight > 0.0) {
      for (int c = 0; c < 3; ++c) s.c[c] = (s.weight * s.c[c] + a.weight * a.c[c]) / weight;
    }
    s.weight = weight;
    work[absorbed].alive = 0;
    for (int i = 0; i < n; ++i) {
      ClusterPoint& p = work[i];
      if (!p.alive) continue;
      if (p.partner == survivor || p.partner == absorbed) {
        p.partner = -1;
        p.cost = HUGE_VAL;
      } else if (i != survivor) {
        const double bound = p.partner >= 0 ? 2.0 * p.cost : HUGE_VAL;
        const double cost = MergeCost(p.record, s, bound);
        if (cost < p.cost) {
          p.cost = cost;
          p.partner = survivor;
        }
      }
    }
  }
  int out = 0;
  for (int i = 0; i < n && out < k; ++i) {
    if (work[i].alive) clusters[out++] = work[i].record;
  }
  KvDelete(work);
  return 0;
}

int KvNnClustMap(const KvColorRecord* points, int n, const KvColorRecord* clusters, int k, int unique,
                 int* map) {
  if ((unique && n > k) || (n > 0 && k < 1)) {
    KvError(KERR_ClusterMap, KERR_Fatal, n, k);
    return -1;
  }
  if (n <= 0) return 0;
  auto* taken = static_cast<unsigned char*>(KvCNew(static_cast<size_t>(k), 1, "kuClust:KvNnClustMap", KERR_Fatal));
  if (taken == nullptr) return -1;
  for (int i = 0; i < n; ++i) {
    int best = -1;
    double bestD = HUGE_VAL;
    for (int c = 0; c < k; ++c) {
      if (unique && taken[c]) continue;
      const double d = BoundedDistance(points[i], clusters[c], HUGE_VAL);
      if (best < 0 || d < bestD) {
        best = c;
        bestD = d;
      }
    }
    map[i] = best;
    if (unique && best >= 0) taken[best] = 1;
  }
  KvDelete(taken);
  return 0;
}
