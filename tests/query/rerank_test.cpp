// Shortlist re-ranking: against a reference written from the definition with
// sets, and the behaviour it exists for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "data/KvParameter.h"
#include "query/KvQueryRerank.h"
#include "query/KvRerank.h"

namespace {

// Points in the plane: their distances make a valid matrix with ties only
// where points coincide.
std::vector<double> Distances(const std::vector<std::pair<double, double>>& points) {
  const size_t m = points.size();
  std::vector<double> d(m * m);
  for (size_t i = 0; i < m; ++i) {
    for (size_t j = 0; j < m; ++j) {
      d[i * m + j] = std::hypot(points[i].first - points[j].first, points[i].second - points[j].second);
    }
  }
  return d;
}

// The k + 1 nearest of i (itself included), ties in index order.
std::set<size_t> Nearest(const std::vector<double>& d, size_t m, size_t i, size_t k) {
  std::vector<std::pair<double, size_t>> row;
  for (size_t j = 0; j < m; ++j) row.emplace_back(d[i * m + j], j);
  std::sort(row.begin(), row.end());
  std::set<size_t> out;
  for (size_t r = 0; r < std::min(m, k + 1); ++r) out.insert(row[r].second);
  return out;
}

std::set<size_t> Reciprocal(const std::vector<double>& d, size_t m, size_t i, size_t k) {
  std::set<size_t> out;
  for (size_t j : Nearest(d, m, i, k)) {
    if (Nearest(d, m, j, k).count(i) != 0) out.insert(j);
  }
  return out;
}

std::vector<double> Reference(const std::vector<double>& d, size_t m, const KvRerankSettings& s, double scale) {
  const size_t k = static_cast<size_t>(s.neighbours);
  std::vector<double> positive;
  for (double v : d) {
    if (v > 0) positive.push_back(v);
  }
  std::sort(positive.begin(), positive.end());
  double sigma = 1.0;
  if (!positive.empty()) {
    const size_t n = positive.size();
    sigma = n % 2 == 1 ? positive[n / 2] : (positive[n / 2 - 1] + positive[n / 2]) / 2;
  }
  std::vector<std::map<size_t, double>> weight(m);
  for (size_t i = 0; i < m; ++i) {
    const std::set<size_t> r = Reciprocal(d, m, i, k);
    std::set<size_t> grown = r;
    for (size_t j : r) {
      const std::set<size_t> h = Reciprocal(d, m, j, k / 2);
      size_t inside = 0;
      for (size_t t : h) inside += r.count(t);
      if (inside > 2.0 / 3.0 * static_cast<double>(h.size())) grown.insert(h.begin(), h.end());
    }
    double sum = 0;
    for (size_t j : grown) sum += std::exp(-d[i * m + j] / sigma);
    for (size_t j : grown) weight[i][j] = std::exp(-d[i * m + j] / sigma) / sum;
    if (grown.empty()) weight[i][i] = 1.0;
  }
  auto described = [&](size_t i) {
    std::vector<std::pair<double, size_t>> row;
    for (size_t j = 0; j < m; ++j) row.emplace_back(d[i * m + j], j);
    std::stable_sort(row.begin(), row.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<double> v(m, 0.0);
    const size_t e = std::min(m, static_cast<size_t>(s.expansion));
    for (size_t r = 0; r < e; ++r) {
      for (auto& [j, w] : weight[row[r].second]) v[j] += w / static_cast<double>(e);
    }
    return v;
  };
  std::vector<double> queryRow(d.begin(), d.begin() + static_cast<long>(m));
  std::vector<double> sorted = queryRow;
  std::sort(sorted.begin(), sorted.end());
  const double limit = s.copyShare * sorted[std::min(m - 1, k)];
  const std::vector<double> q = described(0);
  std::vector<double> out;
  for (size_t c = 1; c < m; ++c) {
    const std::vector<double> v = described(c);
    double low = 0, high = 0;
    for (size_t j = 0; j < m; ++j) {
      low += std::min(q[j], v[j]);
      high += std::max(q[j], v[j]);
    }
    out.push_back((1 - s.direct) * (d[c] < limit ? 0.0 : 1 - low / high) + s.direct * d[c] / scale);
  }
  return out;
}

std::vector<size_t> Ranked(const std::vector<double>& scores) {
  std::vector<size_t> order(scores.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i + 1;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return scores[a - 1] < scores[b - 1]; });
  return order;
}

}  // namespace

TEST(Rerank, MatchesTheReferenceOnRandomShortlists) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> coordinate(0.0, 10.0);
  for (int round = 0; round < 40; ++round) {
    const size_t m = 2 + static_cast<size_t>(round) % 37;
    std::vector<std::pair<double, double>> points;
    for (size_t i = 0; i < m; ++i) points.emplace_back(coordinate(rng), coordinate(rng));
    if (m > 3) points[m - 1] = points[1];  // a tie
    KvRerankSettings s;
    s.neighbours = 1 + round % 9;
    s.expansion = 1 + round % 4;
    s.copyShare = round % 3 == 0 ? 0.5 : 0.0;
    const std::vector<double> d = Distances(points);
    std::vector<double> scores;
    ASSERT_TRUE(KvRerankShortlist(d, m, s, 4.0, &scores)) << round;
    const std::vector<double> expected = Reference(d, m, s, 4.0);
    ASSERT_EQ(scores.size(), expected.size());
    for (size_t i = 0; i < scores.size(); ++i) EXPECT_NEAR(scores[i], expected[i], 1e-12) << round << " " << i;
  }
}

TEST(Rerank, ANeighbourhoodOutweighsALoneNearCandidate) {
  // The query amid a cluster of twelve (members 2 to 13, close to each
  // other), and a candidate (1) nearer than most of the cluster but far from
  // all of it, whose neighbours are a group of twelve far from the query.
  const size_t m = 26;
  std::vector<double> d(m * m, 0.0);
  auto set = [&](size_t i, size_t j, double v) { d[i * m + j] = d[j * m + i] = v; };
  for (size_t i = 2; i < 14; ++i) {
    set(0, i, 0.3 + 0.01 * static_cast<double>(i - 2));
    set(1, i, 2.0);
    for (size_t j = i + 1; j < 14; ++j) set(i, j, 0.3 + 0.01 * static_cast<double>(j - i));
  }
  set(0, 1, 0.305);
  for (size_t i = 14; i < m; ++i) {
    for (size_t j = 0; j < 14; ++j) set(i, j, j == 1 ? 0.25 : 3.0);
    for (size_t j = i + 1; j < m; ++j) set(i, j, 0.3);
  }
  KvRerankSettings s;
  s.neighbours = 8;
  s.expansion = 3;
  std::vector<double> scores;
  ASSERT_TRUE(KvRerankShortlist(d, m, s, 4.0, &scores));
  const std::vector<size_t> order = Ranked(scores);
  // By distance candidate 1 comes second; re-ranked, behind the part of the
  // cluster in the query's neighbourhood, and still before the far group.
  const size_t place = static_cast<size_t>(std::find(order.begin(), order.end(), 1u) - order.begin());
  EXPECT_GE(place, 6u);
  EXPECT_LT(place, 13u);
  for (size_t r = 13; r < order.size(); ++r) EXPECT_GE(order[r], 14u) << r;
}

TEST(Rerank, CopiesStayAheadAndTheQueryItselfScoresZero) {
  // Candidate 1 is the query's copy at a small distance, set apart from the
  // cluster the query sits beside; candidate 2 is the query itself.
  std::vector<std::pair<double, double>> points = {{0, 0}, {0.05, 0.0}, {0, 0}};
  for (int i = 0; i < 20; ++i) points.emplace_back(0.5 + 0.05 * i, 0.4);
  const std::vector<double> d = Distances(points);
  KvRerankSettings s;
  s.neighbours = 5;
  s.copyShare = 0.5;
  std::vector<double> scores;
  ASSERT_TRUE(KvRerankShortlist(d, points.size(), s, 4.0, &scores));
  EXPECT_EQ(scores[1], 0.0);
  EXPECT_GT(scores[0], 0.0);
  for (size_t c = 2; c < scores.size(); ++c) EXPECT_GT(scores[c], scores[0]) << c;
  s.copyShare = 0.0;
  ASSERT_TRUE(KvRerankShortlist(d, points.size(), s, 4.0, &scores));
  EXPECT_EQ(scores[1], 0.0);
}

TEST(Rerank, RefusesUnusableInput) {
  std::vector<double> scores = {1.0};
  const KvRerankSettings s;
  EXPECT_FALSE(KvRerankShortlist({0.0}, 1, s, 1.0, &scores));
  EXPECT_TRUE(scores.empty());
  const std::vector<double> good = {0, 1, 1, 0};
  EXPECT_FALSE(KvRerankShortlist(good, 3, s, 1.0, &scores));
  EXPECT_FALSE(KvRerankShortlist(good, 2, s, 0.0, &scores));
  EXPECT_FALSE(KvRerankShortlist({0, -1, -1, 0}, 2, s, 1.0, &scores));
  EXPECT_FALSE(KvRerankShortlist({0, std::numeric_limits<double>::quiet_NaN(), 1, 0}, 2, s, 1.0, &scores));
  KvRerankSettings none;
  none.neighbours = 0;
  EXPECT_FALSE(KvRerankShortlist(good, 2, none, 1.0, &scores));
  EXPECT_TRUE(KvRerankShortlist(good, 2, s, 1.0, &scores));
  EXPECT_EQ(scores.size(), 1u);
}

TEST(Rerank, ShortlistSizeFollowsTheLargestRequest) {
  KvParameterClass none, small, large, bad;
  ASSERT_EQ(small.FromCommandLineString("W=1:PZ=1,Rerank=60"), 0);
  ASSERT_EQ(large.FromCommandLineString("W=1:PRerank=150"), 0);
  ASSERT_EQ(bad.FromCommandLineString("W=1:PRerank=many"), 0);
  EXPECT_EQ(KvRerankSize({&none}, 10), 0u);
  EXPECT_EQ(KvRerankSize({&bad}, 10), 0u);
  EXPECT_EQ(KvRerankSize({&none, &small, &large}, 10), 150u);
  EXPECT_EQ(KvRerankSize({&small}, 100), 100u);  // never fewer than the results asked for
  EXPECT_EQ(KvRerankSize({&large}, 400), 400u);
  EXPECT_EQ(KvRerankSize({&large}, 401), 0u);  // that many are ranked by distance
  KvParameterClass off;
  ASSERT_EQ(off.FromCommandLineString("W=1:PRerank=150:PRerank=0"), 0);
  EXPECT_EQ(KvRerankSize({&off}, 10), 0u);
}

TEST(Rerank, SmallShortlistsKeepTheirOrder) {
  // Fewer than twice the neighbourhood: nothing is measured, nothing scored.
  std::vector<double> scores = {1.0};
  EXPECT_FALSE(KvRerankCandidates({}, std::vector<float>(39, 1.0f), &scores));
  EXPECT_TRUE(scores.empty());
}
