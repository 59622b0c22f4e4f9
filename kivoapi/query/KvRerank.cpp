// Re-ranking by k-reciprocal neighbourhoods within the shortlist.
#include "query/KvRerank.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

// Row i's items by distance, ties in item order.
void OrderRows(const std::vector<double>& d, size_t m, std::vector<size_t>* order) {
  order->resize(m * m);
  for (size_t i = 0; i < m; ++i) {
    size_t* row = &(*order)[i * m];
    std::iota(row, row + m, size_t{0});
    const double* di = &d[i * m];
    std::stable_sort(row, row + m, [di](size_t a, size_t b) { return di[a] < di[b]; });
  }
}

// mutual[i * m + j]: j is among i's k + 1 nearest (i itself included) and i
// among j's.
std::vector<char> Mutual(const std::vector<size_t>& order, size_t m, size_t k) {
  const size_t take = std::min(m, k + 1);
  std::vector<char> near(m * m, 0);
  for (size_t i = 0; i < m; ++i) {
    for (size_t r = 0; r < take; ++r) near[i * m + order[i * m + r]] = 1;
  }
  std::vector<char> mutual(m * m, 0);
  for (size_t i = 0; i < m; ++i) {
    for (size_t j = 0; j < m; ++j) mutual[i * m + j] = near[i * m + j] != 0 && near[j * m + i] != 0;
  }
  return mutual;
}

// A scale for the closeness weights: the median of the positive distances,
// 1 when there are none.
double MedianDistance(const std::vector<double>& d) {
  std::vector<double> positive;
  positive.reserve(d.size());
  for (double v : d) {
    if (v > 0.0) positive.push_back(v);
  }
  if (positive.empty()) return 1.0;
  const size_t mid = positive.size() / 2;
  std::nth_element(positive.begin(), positive.begin() + static_cast<long>(mid), positive.end());
  double median = positive[mid];
  if (positive.size() % 2 == 0) {
    median = (median + *std::max_element(positive.begin(), positive.begin() + static_cast<long>(mid))) / 2.0;
  }
  return median;
}

}  // namespace

bool KvRerankShortlist(const std::vector<double>& distances, size_t m, const KvRerankSettings& settings,
                       double scale, std::vector<double>* scores) {
  scores->clear();
  if (m < 2 || distances.size() != m * m || !(scale > 0.0) || settings.neighbours < 1 || settings.expansion < 1) {
    return false;
  }
  for (double v : distances) {
    if (!(v >= 0.0)) return false;
  }
  std::vector<size_t> order;
  OrderRows(distances, m, &order);
  const size_t k = static_cast<size_t>(settings.neighbours);
  const std::vector<char> full = Mutual(order, m, k);
  const std::vector<char> half = Mutual(order, m, k / 2);

  // Each item's set: its mutual neighbours, joined by the smaller mutual
  // neighbourhood of any of them that lies mostly inside it already.
  std::vector<char> set(full);
  for (size_t i = 0; i < m; ++i) {
    const char* fi = &full[i * m];
    for (size_t j = 0; j < m; ++j) {
      if (fi[j] == 0) continue;
      const char* hj = &half[j * m];
      size_t size = 0, inside = 0;
      for (size_t t = 0; t < m; ++t) {
        size += hj[t] != 0;
        inside += hj[t] != 0 && fi[t] != 0;
      }
      if (3 * inside > 2 * size) {
        for (size_t t = 0; t < m; ++t) set[i * m + t] |= hj[t];
      }
    }
  }

  // Weighted by closeness and summing to 1 (an item with an empty set, which
  // only ties at distance 0 can make, stands for itself).
  const double sigma = MedianDistance(distances);
  std::vector<double> weight(m * m, 0.0);
  for (size_t i = 0; i < m; ++i) {
    double* wi = &weight[i * m];
    double sum = 0.0;
    for (size_t j = 0; j < m; ++j) {
      if (set[i * m + j] != 0) {
        wi[j] = std::exp(-distances[i * m + j] / sigma);
        sum += wi[j];
      }
    }
    if (sum > 0.0) {
      for (size_t j = 0; j < m; ++j) wi[j] /= sum;
    } else {
      wi[i] = 1.0;
    }
  }
  // Each description the mean of those of the item's nearest.
  const size_t expand = std::min(m, static_cast<size_t>(settings.expansion));
  std::vector<double> described(m * m, 0.0);
  for (size_t i = 0; i < m; ++i) {
    double* out = &described[i * m];
    for (size_t r = 0; r < expand; ++r) {
      const double* w = &weight[order[i * m + r] * m];
      for (size_t j = 0; j < m; ++j) out[j] += w[j];
    }
    for (size_t j = 0; j < m; ++j) out[j] /= static_cast<double>(expand);
  }

  // The query's k-th nearest candidate (the query itself being the nearest
  // item of its row) bounds the copies.
  const double copyLimit = settings.copyShare * distances[order[std::min(m - 1, k)]];
  scores->resize(m - 1);
  const double* query = &described[0];
  for (size_t c = 1; c < m; ++c) {
    const double* other = &described[c * m];
    double low = 0.0, high = 0.0;
    for (size_t j = 0; j < m; ++j) {
      low += std::min(query[j], other[j]);
      high += std::max(query[j], other[j]);
    }
    const double apart = high > 0.0 ? 1.0 - low / high : 1.0;
    // A copy is taken to share the query's neighbourhood outright; its
    // score, below the limit's share, is below that of any other candidate.
    const double shared = distances[c] < copyLimit ? 0.0 : apart;
    (*scores)[c - 1] = (1.0 - settings.direct) * shared + settings.direct * distances[c] / scale;
  }
  return true;
}
