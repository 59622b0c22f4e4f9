// Re-ranking of a query's shortlist by shared neighbourhoods.
//
// Two photographs of one subject are each other's near neighbours, and so
// are their neighbours; a photograph that only happens to lie close to the
// query shares few of them. Each item of the shortlist (the query and its
// nearest candidates) is described by the set of items it and its near
// neighbours mutually rank among their k nearest, weighted by closeness; a
// candidate's score mixes the overlap of its set with the query's and its
// own distance to the query.
//
// Only the shortlist takes part: the scores need the distances between the
// candidates, not between every stored record.
#pragma once

#include <cstddef>
#include <vector>

struct KvRerankSettings {
  int neighbours = 20;   // k: the size of the neighbourhoods compared
  int expansion = 6;     // each item's description is the mean of its nearest this many
  double direct = 0.3;   // share of the candidate's own distance in the score
  // A candidate nearer the query than this share of the distance to its
  // k-th nearest candidate is taken for a copy of the query (a scaled,
  // recompressed, cropped or brightened one lies far nearer than the
  // photographs merely like it). Copies stay ahead of the others in the
  // order of their distances: a copy's neighbourhood is the query's, so it
  // tells nothing new, and one original among many similar photographs must
  // not fall behind them. 0 for none.
  double copyShare = 0.55;
};

// distances: m x m, row-major, m = 1 + candidates; row and column 0 are the
// query, the others the candidates in their original order; the matrix is
// symmetric with a zero diagonal. scale divides a query distance before it
// is mixed in (a typical distance between unrelated items). Writes the m - 1
// candidates' scores, smaller being nearer: a candidate at distance 0 from
// the query with the query's own neighbourhood scores 0. False, leaving
// scores empty, when m < 2, scale <= 0 or a distance is negative or not a
// number. A candidate's score is (1 - direct) x (1 - the overlap of its
// neighbourhood with the query's, between 0 and 1) + direct x distance /
// scale; a copy's overlap counts as whole, so copies come first. Allocates
// in proportion to m^2.
bool KvRerankShortlist(const std::vector<double>& distances, size_t m, const KvRerankSettings& settings,
                       double scale, std::vector<double>* scores);
