// Generates the fixed colour tables of the colour features as C++ source:
//
//   kKvBaseColorTable     256 rows: 12 pinned rows (RGB cube corners at levels 8
//                         and 248, grays 56/104/152/200), two fixed rows (32 and
//                         255), and 242 rows spread over the colours of the sample
//                         photographs, with MTM coordinates and population weights.
//   kKvHistogramBinTable  256 histogram bin colours at 16-level cell centres with
//                         their NewMTMV coordinates.
//   kKvHistogramCellMap   4096 bytes: each 16-level RGB cell to the bin nearest in
//                         NewMTMV.
//
// Usage: kivo_tablegen [-o output.cpp] [image files or directories...]
// Without inputs it reads the JPEG photographs under /usr/share/backgrounds/mate
// (size variants named *_<w>x<h>.jpg are skipped). The output is deterministic
// for a given set of images.
//
// How the base table is made: every photograph is decoded at a reduced size and
// sampled on a regular 16 x 12 grid; the sample colours go to MTM. A weighted
// k-means in MTM places 242 free rows among the 14 fixed ones (farthest-point
// seeding, then Lloyd iterations). Each free row takes the RGB bytes (8..248)
// whose MTM is nearest to its centre, its MTM is recomputed from those bytes,
// and its weight is the number of samples nearest to it.
//
// How the histogram tables are made: bins sit at cell centres (c * 16 + 8), so
// each bin is nearest to its own cell. Rows 0..8 and the seven dark-blue bins
// of the first map row are fixed first (two of the blues cannot sit at
// centres and are moved just far enough, see PlaceFirstRowBins); the other 240
// bins are chosen by farthest-point sampling in NewMTMV among the remaining
// cells, skipping any cell whose bin would take a first-row cell from its
// required bin. scripts/tablegen/README.md tells the same in prose.
#include <leptonica/allheaders.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "features/KvColorSpace.h"

namespace {

struct FixedRow {
  int row;
  int r, g, b;
  double s1, s2, t, weight;
};

// Rows given with their rounded MTM coordinates and weights.
const FixedRow kFixedRows[] = {
    {0, 8, 8, 8, -0.08, -0.06, -2.82, 2},       {1, 8, 8, 248, 14.75, 22.52, 13.74, 1},
    {2, 8, 248, 8, -15.73, -12.16, 33.98, 1},   {3, 8, 248, 248, -8.58, 1.71, 35.58, 6},
    {4, 248, 8, 8, 15.31, -9.74, 20.74, 3},     {5, 248, 8, 248, 19.08, 11.51, 24.01, 2},
    {6, 248, 248, 8, -5.11, -12.36, 37.7, 2},   {7, 248, 248, 248, -0.96, -0.75, 39.06, 2},
    {8, 56, 56, 56, -0.32, -0.25, 8.71, 3},     {9, 104, 104, 104, -0.51, -0.39, 17.49, 2},
    {10, 152, 152, 152, -0.67, -0.52, 25.24, 4}, {11, 200, 200, 200, -0.82, -0.64, 32.37, 3},
    {32, 98, 195, 161, -7, -2, 29, 4},          {255, 159, 26, 244, 16, 16.67, 18.67, 3},
};
constexpr int kPinnedRows = 12;
constexpr int kSampleColumns = 16;
constexpr int kSampleRows = 12;
constexpr int kKMeansIterations = 200;

struct Sample {
  unsigned char rgb[3];
  double c[3];
};

struct Row {
  int r = 0, g = 0, b = 0;
  double c[3] = {0, 0, 0};
  double weight = 0;
  int pinned = 0;
  bool fixed = false;
};

double Dist2(const double* a, const double* b) {
  const double d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
  return d0 * d0 + d1 * d1 + d2 * d2;
}

void Mtm(int r, int g, int b, double c[3]) {
  const unsigned char R = static_cast<unsigned char>(r), G = static_cast<unsigned char>(g),
                      B = static_cast<unsigned char>(b);
  rgbLutToMTM(1, &R, &G, &B, &c[0], &c[1], &c[2]);
}

void NewMtmv(int r, int g, int b, double c[3]) {
  const unsigned char R = static_cast<unsigned char>(r), G = static_cast<unsigned char>(g),
                      B = static_cast<unsigned char>(b);
  rgbLutToNewMTMV(1, &R, &G, &B, &c[0], &c[1], &c[2]);
}

bool IsSizeVariant(const std::string& name) {
  // *_<digits>x<digits>.<ext>
  const size_t us = name.rfind('_');
  const size_t dot = name.rfind('.');
  if (us == std::string::npos || dot == std::string::npos || dot < us) return false;
  const std::string mid = name.substr(us + 1, dot - us - 1);
  const size_t x = mid.find('x');
  if (x == std::string::npos || x == 0 || x + 1 == mid.size()) return false;
  for (size_t i = 0; i < mid.size(); ++i) {
    if (i != x && (mid[i] < '0' || mid[i] > '9')) return false;
  }
  return true;
}

bool HasJpegExtension(const std::string& name) {
  std::string lower = name;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  auto ends = [&](const char* ext) {
    const size_t n = std::strlen(ext);
    return lower.size() >= n && lower.compare(lower.size() - n, n, ext) == 0;
  };
  return ends(".jpg") || ends(".jpeg");
}

void CollectImages(const std::string& path, std::vector<std::string>* out) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "kivo_tablegen: cannot stat %s: %s\n", path.c_str(), std::strerror(errno));
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    out->push_back(path);
    return;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    names.push_back(entry->d_name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    const std::string full = path + "/" + name;
    struct stat sub;
    if (stat(full.c_str(), &sub) != 0) continue;
    if (S_ISDIR(sub.st_mode)) {
      CollectImages(full, out);
    } else if (HasJpegExtension(name) && !IsSizeVariant(name)) {
      out->push_back(full);
    }
  }
}

bool SampleImage(const std::string& file, std::vector<Sample>* samples) {
  l_int32 w = 0, h = 0, spp = 0, ycck = 0, cmyk = 0;
  if (readHeaderJpeg(file.c_str(), &w, &h, &spp, &ycck, &cmyk) != 0 || w <= 0 || h <= 0) return false;
  l_int32 reduction = 1;
  while (w / reduction > 1024 && reduction < 8) reduction *= 2;
  PIX* pix = pixReadJpeg(file.c_str(), 0, reduction, nullptr, 0);
  if (pix == nullptr) return false;
  PIX* rgb = pixConvertTo32(pix);
  pixDestroy(&pix);
  if (rgb == nullptr) return false;
  const l_int32 pw = pixGetWidth(rgb), ph = pixGetHeight(rgb);
  for (int j = 0; j < kSampleRows; ++j) {
    for (int i = 0; i < kSampleColumns; ++i) {
      const l_int32 x = (2 * i + 1) * pw / (2 * kSampleColumns);
      const l_int32 y = (2 * j + 1) * ph / (2 * kSampleRows);
      l_int32 r = 0, g = 0, b = 0;
      pixGetRGBPixel(rgb, x, y, &r, &g, &b);
      // The table holds levels 8..248 only; samples outside are brought in so
      // that every centre is representable.
      r = std::clamp<l_int32>(r, 8, 248);
      g = std::clamp<l_int32>(g, 8, 248);
      b = std::clamp<l_int32>(b, 8, 248);
      Sample s;
      s.rgb[0] = static_cast<unsigned char>(r);
      s.rgb[1] = static_cast<unsigned char>(g);
      s.rgb[2] = static_cast<unsigned char>(b);
      Mtm(r, g, b, s.c);
      samples->push_back(s);
    }
  }
  pixDestroy(&rgb);
  return true;
}

int Nearest(const double* c, const std::vector<Row>& rows) {
  int best = -1;
  double bestD = 0;
  for (size_t k = 0; k < rows.size(); ++k) {
    const double d = Dist2(c, rows[k].c);
    if (best < 0 || d < bestD) {
      best = static_cast<int>(k);
      bestD = d;
    }
  }
  return best;
}

// The RGB bytes in 8..248 whose MTM is nearest to c: the inverse conversion,
// then a local search over the neighbouring byte triples.
void BytesForMtm(const double c[3], int* r, int* g, int* b) {
  unsigned char R = 0, G = 0, B = 0;
  MTMToRgbLut(1, &c[0], &c[1], &c[2], &R, &G, &B);  // out-of-gamut centres are clamped
  int best[3] = {std::clamp<int>(R, 8, 248), std::clamp<int>(G, 8, 248), std::clamp<int>(B, 8, 248)};
  double m[3];
  Mtm(best[0], best[1], best[2], m);
  double bestD = Dist2(m, c);
  for (bool moved = true; moved;) {
    moved = false;
    const int base[3] = {best[0], best[1], best[2]};
    for (int dr = -1; dr <= 1; ++dr) {
      for (int dg = -1; dg <= 1; ++dg) {
        for (int db = -1; db <= 1; ++db) {
          const int cand[3] = {base[0] + dr, base[1] + dg, base[2] + db};
          if (std::min({cand[0], cand[1], cand[2]}) < 8 || std::max({cand[0], cand[1], cand[2]}) > 248) continue;
          Mtm(cand[0], cand[1], cand[2], m);
          const double d = Dist2(m, c);
          if (d < bestD) {
            bestD = d;
            std::copy(cand, cand + 3, best);
            moved = true;
          }
        }
      }
    }
  }
  *r = best[0];
  *g = best[1];
  *b = best[2];
}

std::vector<Row> BuildBaseTable(const std::vector<Sample>& samples) {
  std::vector<Row> rows(256);
  for (const FixedRow& f : kFixedRows) {
    Row& row = rows[f.row];
    row.r = f.r;
    row.g = f.g;
    row.b = f.b;
    row.c[0] = f.s1;
    row.c[1] = f.s2;
    row.c[2] = f.t;
    row.weight = f.weight;
    row.pinned = f.row < kPinnedRows ? 1 : 0;
    row.fixed = true;
    double computed[3];
    Mtm(f.r, f.g, f.b, computed);
    if (f.row < kPinnedRows) {
      for (int k = 0; k < 3; ++k) {
        if (std::fabs(computed[k] - row.c[k]) > 0.005 + 1e-9) {
          std::fprintf(stderr, "kivo_tablegen: note: pinned row %d coordinate %d computes to %.4f; the table keeps %.2f\n",
                       f.row, k, computed[k], row.c[k]);
        }
      }
    }
  }
  // Free centres: farthest-point seeding against the fixed rows.
  std::vector<int> freeRows;
  for (int i = 0; i < 256; ++i) {
    if (!rows[i].fixed) freeRows.push_back(i);
  }
  std::vector<double> dmin(samples.size(), HUGE_VAL);
  for (size_t s = 0; s < samples.size(); ++s) {
    for (const Row& row : rows) {
      if (row.fixed) dmin[s] = std::min(dmin[s], Dist2(samples[s].c, row.c));
    }
  }
  for (int index : freeRows) {
    size_t pick = 0;
    for (size_t s = 1; s < samples.size(); ++s) {
      if (dmin[s] > dmin[pick]) pick = s;
    }
    std::copy(samples[pick].c, samples[pick].c + 3, rows[index].c);
    for (size_t s = 0; s < samples.size(); ++s) dmin[s] = std::min(dmin[s], Dist2(samples[s].c, rows[index].c));
  }
  // Lloyd iterations; the fixed rows attract samples but do not move.
  std::vector<int> owner(samples.size(), -1);
  for (int iteration = 0; iteration < kKMeansIterations; ++iteration) {
    bool changed = false;
    for (size_t s = 0; s < samples.size(); ++s) {
      const int k = Nearest(samples[s].c, rows);
      if (k != owner[s]) changed = true;
      owner[s] = k;
    }
    std::vector<double> sum(256 * 3, 0.0);
    std::vector<int> count(256, 0);
    for (size_t s = 0; s < samples.size(); ++s) {
      for (int k = 0; k < 3; ++k) sum[owner[s] * 3 + k] += samples[s].c[k];
      ++count[owner[s]];
    }
    for (int index : freeRows) {
      if (count[index] > 0) {
        for (int k = 0; k < 3; ++k) rows[index].c[k] = sum[index * 3 + k] / count[index];
        continue;
      }
      // An empty row moves to the sample that is worst served.
      size_t worst = 0;
      double worstD = -1;
      for (size_t s = 0; s < samples.size(); ++s) {
        const double d = Dist2(samples[s].c, rows[owner[s]].c);
        if (d > worstD) {
          worstD = d;
          worst = s;
        }
      }
      std::copy(samples[worst].c, samples[worst].c + 3, rows[index].c);
      owner[worst] = index;
      changed = true;
    }
    if (!changed) break;
  }
  // Bytes and exact MTM of the free rows.
  for (int index : freeRows) {
    Row& row = rows[index];
    BytesForMtm(row.c, &row.r, &row.g, &row.b);
    Mtm(row.r, row.g, row.b, row.c);
  }
  // Weights: samples nearest to each free row (at least 1).
  std::vector<int> count(256, 0);
  for (const Sample& s : samples) ++count[Nearest(s.c, rows)];
  for (int index : freeRows) rows[index].weight = std::max(1, count[index]);
  // Free rows in order of lightness, then the chroma coordinates.
  std::vector<Row> free;
  for (int index : freeRows) free.push_back(rows[index]);
  std::stable_sort(free.begin(), free.end(), [](const Row& a, const Row& b) {
    if (a.c[2] != b.c[2]) return a.c[2] < b.c[2];
    if (a.c[0] != b.c[0]) return a.c[0] < b.c[0];
    return a.c[1] < b.c[1];
  });
  for (size_t i = 0; i < freeRows.size(); ++i) rows[freeRows[i]] = free[i];
  return rows;
}

struct BinTables {
  std::vector<Row> bins;
  std::vector<unsigned char> map;
};

int CellIndex(int r, int g, int b) { return r * 256 + g * 16 + b; }

std::vector<unsigned char> MapCells(const std::vector<Row>& bins, const std::vector<Row>& cells) {
  std::vector<unsigned char> map(4096);
  for (int cell = 0; cell < 4096; ++cell) map[cell] = static_cast<unsigned char>(Nearest(cells[cell].c, bins));
  return map;
}

// A fixed bin of the histogram table: its number and its colour.
struct FixedBin {
  int bin;
  Row row;
};

Row BinAt(int r, int g, int b) {
  Row row;
  row.r = r;
  row.g = g;
  row.b = b;
  NewMtmv(r, g, b, row.c);
  row.pinned = 1;
  return row;
}

// Distances between neighbouring cells of the first row are about 0.045; a
// cell is taken to be safely nearest to its bin when the next bin is at least
// this much farther.
constexpr double kSafeMargin = 0.001;

// How safely each cell of the first map row goes to its required bin among
// the fixed bins: the distance to the nearest other bin minus the distance to
// the required one (positive when the row is met). Returns the sum of the
// margins capped at kSafeMargin and sets *smallest to the smallest margin.
double RowMargin(const unsigned char* firstRow, const std::vector<Row>& cells, const std::vector<FixedBin>& fixed,
                 double* smallest) {
  double sum = 0;
  *smallest = HUGE_VAL;
  for (int b = 0; b < 16; ++b) {
    double want = HUGE_VAL, other = HUGE_VAL;
    for (const FixedBin& f : fixed) {
      const double d = std::sqrt(Dist2(cells[b].c, f.row.c));
      if (f.bin == firstRow[b]) {
        want = std::min(want, d);
      } else {
        other = std::min(other, d);
      }
    }
    const double margin = other - want;
    sum += std::min(margin, kSafeMargin);
    *smallest = std::min(*smallest, margin);
  }
  return sum;
}

// Places the bins named by the first map row (other than 0 and 1, which are
// cube corners). Each bin covers a run of cells of that row. First every
// choice of one cell centre per run is tried and the best kept; where the
// cell geometry does not allow centres alone (the row gives bin 1 the last
// three cells although cell 13 is nearer to cell 12 than to cell 15), the
// bins that still fail move in RGB byte steps until every cell of the row is
// safely nearest to its bin.
bool PlaceFirstRowBins(const unsigned char* firstRow, const std::vector<Row>& cells,
                       std::vector<FixedBin>* fixed) {
  struct Run {
    int bin, first, last;
  };
  std::vector<Run> runs;
  for (int b = 0; b < 16; ++b) {
    if (firstRow[b] == 0 || firstRow[b] == 1) continue;
    if (!runs.empty() && runs.back().bin == firstRow[b]) {
      runs.back().last = b;
    } else {
      runs.push_back({firstRow[b], b, b});
    }
  }
  const size_t firstMoving = fixed->size();
  std::vector<FixedBin> best;
  double bestScore = -HUGE_VAL, smallest = 0;
  std::vector<int> choice(runs.size());
  for (size_t i = 0; i < runs.size(); ++i) choice[i] = runs[i].first;
  for (bool more = true; more;) {
    std::vector<FixedBin> candidate = *fixed;
    for (size_t i = 0; i < runs.size(); ++i) candidate.push_back({runs[i].bin, BinAt(8, 8, choice[i] * 16 + 8)});
    double candidateSmallest = 0;
    const double score = RowMargin(firstRow, cells, candidate, &candidateSmallest);
    if (score > bestScore) {
      bestScore = score;
      smallest = candidateSmallest;
      best = candidate;
    }
    size_t i = 0;
    while (i < runs.size() && choice[i] == runs[i].last) {
      choice[i] = runs[i].first;
      ++i;
    }
    if (i == runs.size()) {
      more = false;
    } else {
      ++choice[i];
    }
  }
  *fixed = best;
  double score = bestScore;
  const int kSteps[] = {8, -8, 4, -4, 2, -2, 1, -1};
  for (bool improved = true; improved && smallest < kSafeMargin;) {
    improved = false;
    for (size_t i = firstMoving; i < fixed->size(); ++i) {
      for (int channel = 0; channel < 3; ++channel) {
        for (int step : kSteps) {
          FixedBin& f = (*fixed)[i];
          const Row saved = f.row;
          int rgb[3] = {f.row.r, f.row.g, f.row.b};
          rgb[channel] += step;
          if (rgb[channel] < 0 || rgb[channel] > 255) continue;
          f.row = BinAt(rgb[0], rgb[1], rgb[2]);
          double candidateSmallest = 0;
          const double candidate = RowMargin(firstRow, cells, *fixed, &candidateSmallest);
          if (candidate > score + 1e-12) {
            score = candidate;
            smallest = candidateSmallest;
            improved = true;
          } else {
            f.row = saved;
          }
        }
      }
    }
  }
  if (smallest < kSafeMargin) return false;
  // The bins that had to leave the cell centres may end up close together;
  // spread them apart as far as the row allows.
  auto atCentre = [](const Row& r) { return r.r % 16 == 8 && r.g % 16 == 8 && r.b % 16 == 8; };
  auto spread = [&]() {
    double nearest = HUGE_VAL;
    for (size_t i = firstMoving; i < fixed->size(); ++i) {
      if (atCentre((*fixed)[i].row)) continue;
      for (size_t j = 0; j < fixed->size(); ++j) {
        if (j != i) nearest = std::min(nearest, Dist2((*fixed)[i].row.c, (*fixed)[j].row.c));
      }
    }
    return nearest;
  };
  double bestSpread = spread();
  for (bool improved = true; improved;) {
    improved = false;
    for (size_t i = firstMoving; i < fixed->size(); ++i) {
      if (atCentre((*fixed)[i].row)) continue;
      for (int channel = 0; channel < 3; ++channel) {
        for (int step : kSteps) {
          FixedBin& f = (*fixed)[i];
          const Row saved = f.row;
          int rgb[3] = {f.row.r, f.row.g, f.row.b};
          rgb[channel] += step;
          if (rgb[channel] < 0 || rgb[channel] > 255) continue;
          f.row = BinAt(rgb[0], rgb[1], rgb[2]);
          double candidateSmallest = 0;
          RowMargin(firstRow, cells, *fixed, &candidateSmallest);
          const double candidateSpread = spread();
          if (candidateSmallest >= kSafeMargin && !atCentre(f.row) && candidateSpread > bestSpread + 1e-12) {
            bestSpread = candidateSpread;
            improved = true;
          } else {
            f.row = saved;
          }
        }
      }
    }
  }
  return true;
}

int CellOf(const Row& row) { return CellIndex(row.r >> 4, row.g >> 4, row.b >> 4); }

bool BuildBinTables(BinTables* out) {
  std::vector<Row> cells(4096);
  for (int cell = 0; cell < 4096; ++cell) {
    cells[cell] = BinAt((cell >> 8) * 16 + 8, ((cell >> 4) & 15) * 16 + 8, (cell & 15) * 16 + 8);
  }
  const unsigned char kFirstRow[16] = {0x00, 0x00, 0x57, 0x89, 0xa5, 0xa5, 0xb9, 0xd3,
                                       0xd3, 0xd3, 0xd5, 0xd5, 0xf2, 0x01, 0x01, 0x01};
  // Fixed bins: the cube corners, the dark gray with its stated rounded
  // coordinates, and the dark blues that the first map row names.
  std::vector<FixedBin> fixed;
  for (int k = 0; k < 8; ++k) fixed.push_back({k, BinAt(k & 4 ? 248 : 8, k & 2 ? 248 : 8, k & 1 ? 248 : 8)});
  Row gray = BinAt(24, 24, 24);
  gray.c[0] = 0.0;
  gray.c[1] = 0.0;
  gray.c[2] = 0.044;
  fixed.push_back({8, gray});
  if (!PlaceFirstRowBins(kFirstRow, cells, &fixed)) {
    std::fprintf(stderr, "kivo_tablegen: no placement of the dark-blue bins meets the first map row\n");
    return false;
  }
  // The other bins sit at cell centres chosen by farthest-point sampling; a
  // cell whose bin would take a cell of the first row is skipped.
  std::set<int> banned;
  for (int b = 0; b < 16; ++b) banned.insert(CellIndex(0, 0, b));
  for (int attempt = 0; attempt < 4096; ++attempt) {
    std::vector<Row> bins(256);
    std::vector<bool> isFixed(256, false);
    std::vector<int> binCell(256, -1);
    std::vector<bool> used(4096, false);
    for (const FixedBin& f : fixed) {
      bins[f.bin] = f.row;
      isFixed[f.bin] = true;
      used[CellOf(f.row)] = true;
    }
    std::vector<double> dmin(4096, HUGE_VAL);
    for (int cell = 0; cell < 4096; ++cell) {
      for (const FixedBin& f : fixed) dmin[cell] = std::min(dmin[cell], Dist2(cells[cell].c, f.row.c));
    }
    for (int bin = 0; bin < 256; ++bin) {
      if (isFixed[bin]) continue;
      int pick = -1;
      for (int cell = 0; cell < 4096; ++cell) {
        if (used[cell] || banned.count(cell)) continue;
        if (pick < 0 || dmin[cell] > dmin[pick]) pick = cell;
      }
      if (pick < 0) return false;
      bins[bin] = cells[pick];
      bins[bin].pinned = 0;
      binCell[bin] = pick;
      used[pick] = true;
      for (int cell = 0; cell < 4096; ++cell) dmin[cell] = std::min(dmin[cell], Dist2(cells[cell].c, bins[bin].c));
    }
    std::vector<unsigned char> map = MapCells(bins, cells);
    bool ok = true;
    for (int b = 0; b < 16; ++b) {
      if (map[b] == kFirstRow[b]) continue;
      ok = false;
      const int culprit = map[b];
      if (isFixed[culprit]) {
        std::fprintf(stderr, "kivo_tablegen: fixed bin %d takes first-row cell %d (wanted %d)\n", culprit, b,
                     kFirstRow[b]);
        return false;
      }
      banned.insert(binCell[culprit]);
    }
    if (!ok) continue;
    std::vector<int> hits(256, 0);
    for (int cell = 0; cell < 4096; ++cell) ++hits[map[cell]];
    for (int bin = 0; bin < 256; ++bin) {
      if (hits[bin] == 0) {
        std::fprintf(stderr, "kivo_tablegen: bin %d is nearest to no cell\n", bin);
        return false;
      }
      bins[bin].weight = hits[bin];
    }
    out->bins = bins;
    out->map = map;
    return true;
  }
  return false;
}

// Shortest text that reads back as the same double.
std::string Num(double v) {
  char text[64];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, v);
    if (std::strtod(text, nullptr) == v) break;
  }
  std::string s = text;
  if (s == "-0") s = "0";
  return s;
}

void WriteRows(FILE* f, const char* name, const std::vector<Row>& rows) {
  std::fprintf(f, "const KvColorRecord %s[256] = {\n", name);
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    std::fprintf(f, "    {%d, %d, %d, {%s, %s, %s}, %s, %d},  // %zu\n", r.r, r.g, r.b, Num(r.c[0]).c_str(),
                 Num(r.c[1]).c_str(), Num(r.c[2]).c_str(), Num(r.weight).c_str(), r.pinned, i);
  }
  std::fprintf(f, "};\n\n");
}

}  // namespace

int main(int argc, char** argv) {
  const char* output = nullptr;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
      output = argv[++i];
    } else {
      inputs.push_back(argv[i]);
    }
  }
  if (inputs.empty()) inputs.push_back("/usr/share/backgrounds/mate");
  setLeptDebugOK(0);
  std::vector<std::string> files;
  for (const std::string& in : inputs) CollectImages(in, &files);
  std::sort(files.begin(), files.end());
  std::vector<Sample> samples;
  for (const std::string& file : files) {
    if (!SampleImage(file, &samples)) std::fprintf(stderr, "kivo_tablegen: cannot read %s\n", file.c_str());
  }
  if (samples.size() < 256) {
    std::fprintf(stderr, "kivo_tablegen: %zu sample colours from %zu images; need at least 256\n", samples.size(),
                 files.size());
    return 1;
  }
  std::vector<Row> base = BuildBaseTable(samples);
  for (size_t i = 0; i < base.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (base[i].r == base[j].r && base[i].g == base[j].g && base[i].b == base[j].b) {
        std::fprintf(stderr, "kivo_tablegen: base rows %zu and %zu share a colour\n", j, i);
        return 1;
      }
    }
  }
  BinTables hist;
  if (!BuildBinTables(&hist)) {
    std::fprintf(stderr, "kivo_tablegen: no bin table satisfies the fixed cell map row\n");
    return 1;
  }
  FILE* f = output != nullptr ? std::fopen(output, "w") : stdout;
  if (f == nullptr) {
    std::fprintf(stderr, "kivo_tablegen: cannot write %s\n", output);
    return 1;
  }
  std::fprintf(f,
               "// Fixed colour tables of the colour features. Generated by scripts/tablegen\n"
               "// (kivo_tablegen) from %zu sample colours of %zu photographs; do not edit by\n"
               "// hand: regenerate with the command in scripts/tablegen/README.md.\n"
               "// Rows: {red, green, blue, {c1, c2, c3}, weight, pinned}.\n"
               "#include \"features/KvColorSpace.h\"\n\n",
               samples.size(), files.size());
  std::fprintf(f, "// MTM (S1, S2, T); weight = sample colours the row stands for.\n");
  WriteRows(f, "kKvBaseColorTable", base);
  std::fprintf(f, "// Bin colours at cell centres, NewMTMV; weight = cells mapped to the bin.\n");
  WriteRows(f, "kKvHistogramBinTable", hist.bins);
  std::fprintf(f, "// Cell (R >> 4) * 256 + (G >> 4) * 16 + (B >> 4) to its nearest bin.\n");
  std::fprintf(f, "const unsigned char kKvHistogramCellMap[4096] = {\n");
  for (int i = 0; i < 4096; i += 16) {
    std::fprintf(f, "   ");
    for (int j = 0; j < 16; ++j) std::fprintf(f, " 0x%02x,", hist.map[i + j]);
    std::fprintf(f, "\n");
  }
  std::fprintf(f, "};\n");
  if (f != stdout) std::fclose(f);
  std::fprintf(stderr, "kivo_tablegen: %zu images, %zu sample colours\n", files.size(), samples.size());
  return 0;
}
