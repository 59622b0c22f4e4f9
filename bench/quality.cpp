// Retrieval quality of every feature class and preset.
//
//   bench_quality [--classes DIR] [--crops DIR] [--dups DIR]... [--terms T;T;...]
//                 [--threads N] [--per-class N] [--dump DIR] [--rerank K] [--copy S]
//
// --classes DIR: a folder of class subfolders. Every image queries all the
//   others; P@10 is the share of its own class among the ten nearest, mAP the
//   mean average precision over the whole ranking.
// --crops DIR: a class set made from the photographs of DIR (recursively):
//   twelve crops of each, of 40% to 70% of its sides at spread positions, a
//   class per photograph; scored like --classes.
// --dups DIR (repeatable): every photograph of the folders (recursively) is
//   stored; five variants of each (scaled 50%, JPEG quality 30, the central
//   80%, brightness x1.15, mirrored) query the stored set, the other
//   photographs being distractors; recall@1 is the share of variants whose
//   nearest stored photograph is their own. Photographs whose names differ
//   only by a "_<width>x<height>" suffix count as one.
// --terms: the terms to score, "Class[:parameters]" separated by ';'; a term
//   may name a preset, and "a+b" scores the weighted sum of terms a and b.
//   By default: every whole-image class of the factory but the keyword
//   feature, the specified image classes together at weight 1, and every
//   preset.
// --rerank K: every entry is also scored re-ranked: its K nearest re-ordered
//   by shared neighbourhoods (KvRerankShortlist), the distance scale being
//   the sum of the entry's weights (each normalised term averages 1), and
//   stored items nearer than a share of the distance to the K-th nearest
//   (--copy S, by default the re-ranking's own) kept ahead as copies.
// --dump DIR: writes each single term's distance matrix (float32, queries x
//   stored, row-major) and the labels, for analysis.
//
// Features are computed the way the build command computes them (images read
// by the codec), distances the way the query evaluator takes them: weight
// times distance, with the parameters updated from global information built
// over the stored records. Ties keep the stored order, as the evaluator's
// best list does.
#include <leptonica/allheaders.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "KvFactory.h"
#include "core/KvDatum.h"
#include "data/KvGenericImageData.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"
#include "features/KvPresets.h"
#include "query/KvQueryRerank.h"
#include "query/KvRerank.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Item {
  std::string path;
  int label;    // class or photograph group
  int variant;  // near-duplicate kind, -1 for stored images
};

const char* const kVariantNames[] = {"scaled 50%", "JPEG q30", "crop 80%", "bright x1.15", "mirrored"};
constexpr int kVariants = 5;

bool IsImageName(const std::string& name) {
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* ext : {".jpg", ".jpeg", ".png", ".ppm", ".pnm", ".bmp", ".tif", ".tiff", ".gif", ".webp"}) {
    const size_t n = std::strlen(ext);
    if (lower.size() > n && lower.compare(lower.size() - n, n, ext) == 0) return true;
  }
  return false;
}

bool IsJpegName(const std::string& name) {
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.size() > 4 && (lower.compare(lower.size() - 4, 4, ".jpg") == 0 ||
                              (lower.size() > 5 && lower.compare(lower.size() - 5, 5, ".jpeg") == 0));
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') out.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

void Photographs(const std::string& dir, bool jpegOnly, std::vector<std::string>* out) {
  for (const std::string& name : Entries(dir)) {
    const std::string path = dir + "/" + name;
    if (IsDirectory(path)) {
      Photographs(path, jpegOnly, out);
    } else if (jpegOnly ? IsJpegName(name) : IsImageName(name)) {
      out->push_back(path);
    }
  }
}

// The name of a photograph without its extension and any "_<w>x<h>" suffix.
std::string GroupName(const std::string& path) {
  std::string stem = path.substr(0, path.rfind('.'));
  const size_t underscore = stem.rfind('_');
  if (underscore != std::string::npos) {
    const std::string tail = stem.substr(underscore + 1);
    const size_t x = tail.find('x');
    const bool digits = x != std::string::npos && x > 0 && x + 1 < tail.size() &&
                        std::all_of(tail.begin(), tail.begin() + static_cast<long>(x), ::isdigit) &&
                        std::all_of(tail.begin() + static_cast<long>(x) + 1, tail.end(), ::isdigit);
    if (digits) stem.resize(underscore);
  }
  return stem;
}

// ---- making the variant images ----

PIX* Brightened(PIX* pix) {
  PIX* out = pixCopy(nullptr, pix);
  if (out == nullptr) return nullptr;
  const l_int32 w = pixGetWidth(out), h = pixGetHeight(out), wpl = pixGetWpl(out);
  l_uint32* data = pixGetData(out);
  for (l_int32 y = 0; y < h; ++y) {
    l_uint32* line = data + y * wpl;
    for (l_int32 x = 0; x < w; ++x) {
      l_int32 r, g, b;
      extractRGBValues(line[x], &r, &g, &b);
      auto up = [](l_int32 v) { return std::min<l_int32>(255, static_cast<l_int32>(std::lround(v * 1.15))); };
      composeRGBPixel(up(r), up(g), up(b), &line[x]);
    }
  }
  return out;
}

// Writes the five variants of photograph path into dir as <n>_<k>.<ext>;
// the lossless ones as PNM so that they carry no new compression.
bool MakeVariants(const std::string& path, const std::string& dir, size_t n, std::vector<std::string>* files) {
  PIX* source = pixRead(path.c_str());
  if (source == nullptr) return false;
  PIX* rgb = pixConvertTo32(source);
  pixDestroy(&source);
  if (rgb == nullptr) return false;
  const l_int32 w = pixGetWidth(rgb), h = pixGetHeight(rgb);
  bool ok = true;
  for (int k = 0; k < kVariants && ok; ++k) {
    PIX* v = nullptr;
    switch (k) {
      case 0: v = pixScale(rgb, 0.5f, 0.5f); break;
      case 1: v = pixClone(rgb); break;
      case 2: {
        BOX* box = boxCreate(w / 10, h / 10, w - 2 * (w / 10), h - 2 * (h / 10));
        v = pixClipRectangle(rgb, box, nullptr);
        boxDestroy(&box);
        break;
      }
      case 3: v = Brightened(rgb); break;
      default: v = pixFlipLR(nullptr, rgb); break;
    }
    if (v == nullptr) {
      ok = false;
      break;
    }
    char name[64];
    std::snprintf(name, sizeof name, "/%06zu_%d.%s", n, k, k == 1 ? "jpg" : "ppm");
    const std::string file = dir + name;
    ok = (k == 1 ? pixWriteJpeg(file.c_str(), v, 30, 0) : pixWrite(file.c_str(), v, IFF_PNM)) == 0;
    files->push_back(file);
    pixDestroy(&v);
  }
  pixDestroy(&rgb);
  return ok;
}

// Twelve crops of a photograph: sides of 40% to 70% of its own, positions
// spread over it, written as PNM.
bool MakeCrops(const std::string& path, const std::string& dir, size_t n, std::vector<std::string>* files) {
  PIX* source = pixRead(path.c_str());
  if (source == nullptr) return false;
  PIX* rgb = pixConvertTo32(source);
  pixDestroy(&source);
  if (rgb == nullptr) return false;
  // Large photographs are first brought to about a megapixel, as a crop set
  // of smaller pictures is what queries meet.
  const double area = static_cast<double>(pixGetWidth(rgb)) * pixGetHeight(rgb);
  if (area > 1.2e6) {
    const float f = static_cast<float>(std::sqrt(1.0e6 / area));
    PIX* smaller = pixScale(rgb, f, f);
    pixDestroy(&rgb);
    rgb = smaller;
    if (rgb == nullptr) return false;
  }
  const l_int32 w = pixGetWidth(rgb), h = pixGetHeight(rgb);
  bool ok = true;
  for (int k = 0; k < 12 && ok; ++k) {
    const double side = 0.40 + 0.30 * ((k * 5) % 12) / 11.0;
    const l_int32 cw = static_cast<l_int32>(w * side), ch = static_cast<l_int32>(h * side);
    const double fx = ((k * 7) % 12) / 11.0, fy = ((k * 11 + 3) % 12) / 11.0;
    BOX* box = boxCreate(static_cast<l_int32>((w - cw) * fx), static_cast<l_int32>((h - ch) * fy), cw, ch);
    PIX* c = pixClipRectangle(rgb, box, nullptr);
    boxDestroy(&box);
    if (c == nullptr) {
      ok = false;
      break;
    }
    char name[64];
    std::snprintf(name, sizeof name, "/%06zu_c%02d.ppm", n, k);
    files->push_back(dir + name);
    ok = pixWrite(files->back().c_str(), c, IFF_PNM) == 0;
    pixDestroy(&c);
  }
  pixDestroy(&rgb);
  return ok;
}

// ---- features ----

struct Term {
  std::string text;         // as given
  std::string className;
  std::string parameters;
  double weight = 1.0;
  int rerank = 0;  // the named parameter "Rerank": the evaluator's shortlist
};

bool ParseTerm(const std::string& text, Term* term) {
  term->text = text;
  const size_t colon = text.find(':');
  term->className = text.substr(0, colon);
  term->parameters = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  KvParameterClass p;
  if (p.FromCommandLineString(term->parameters.c_str()) != 0) return false;
  term->weight = p.GetW();
  term->rerank = static_cast<int>(KvRerankSize({&p}, 0));
  return true;
}

// A scored entry: the weighted sum of one or more terms.
struct Entry {
  std::string name;
  std::vector<int> terms;  // indices into the term list
};

// Computes the byte strings of every class for every item, several threads
// at once. bytes[c][i] is empty when the feature could not be computed.
void ComputeAll(const std::vector<Item>& items, const std::vector<std::string>& classes, int threads,
                std::vector<std::vector<std::string>>* bytes, std::vector<double>* seconds) {
  bytes->assign(classes.size(), std::vector<std::string>(items.size()));
  seconds->assign(classes.size(), 0.0);
  std::vector<std::vector<double>> spent(static_cast<size_t>(threads), std::vector<double>(classes.size(), 0.0));
  std::atomic<size_t> next{0};
  auto work = [&](int t) {
    std::vector<std::unique_ptr<KvFeatureClass>> features;
    for (const std::string& name : classes) features.emplace_back(KvCreateFeatureClass(name.c_str()));
    for (size_t i = next++; i < items.size(); i = next++) {
      KvGenericImageDataClass image;
      if (image.ReadImageDataFromFile(items[i].path.c_str(), nullptr, False) != 0) {
        std::fprintf(stderr, "cannot read %s\n", items[i].path.c_str());
        continue;
      }
      for (size_t c = 0; c < classes.size(); ++c) {
        if (features[c] == nullptr) continue;
        const auto start = Clock::now();
        const int rc = features[c]->ComputeFeature(&image, features[c]->GetParameters());
        spent[static_cast<size_t>(t)][c] += std::chrono::duration<double>(Clock::now() - start).count();
        KvDatumClass out;
        if (rc != 0 || features[c]->ToByteString(out) != 0) continue;
        (*bytes)[c][i].assign(reinterpret_cast<const char*>(out.Data()), out.Size());
      }
    }
  };
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(work, t);
  for (std::thread& t : pool) t.join();
  for (const auto& s : spent) {
    for (size_t c = 0; c < classes.size(); ++c) (*seconds)[c] += s[c];
  }
}

void View(const std::string& bytes, KvDatumClass* d) {
  d->SetBytes(bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())), KvOwnNone);
}

// Distances of every query item to every stored item for one term (not
// weighted); -1 where a record is missing.
std::vector<float> TermDistances(const Term& term, const std::vector<std::string>& stored,
                                 const std::vector<std::string>& queries, int threads) {
  std::vector<float> out(queries.size() * stored.size(), -1.0f);
  std::unique_ptr<KvFeatureClass> probe(KvCreateFeatureClass(term.className.c_str()));
  if (probe == nullptr) return out;
  // Global information over the stored records, as the catalog keeps it.
  std::vector<unsigned char> block(probe->GetGlobalInfoSize(), 0);
  KvDatumClass info;
  info.SetBytes(block.size(), block.data(), KvOwnNone);
  std::vector<std::unique_ptr<KvFeatureClass>> holders(stored.size());
  for (size_t j = 0; j < stored.size(); ++j) {
    if (stored[j].empty()) continue;
    holders[j].reset(KvCreateFeatureClass(term.className.c_str()));
    KvDatumClass view;
    View(stored[j], &view);
    if (holders[j]->FromByteString(view) != 0) {
      holders[j].reset();
    } else {
      holders[j]->UpdateGlobalInfo(info, 0);
    }
    view.SetBytes(0, nullptr, KvOwnNone);
  }
  std::atomic<size_t> next{0};
  auto work = [&]() {
    KvParameterClass parms;
    parms = *probe->GetParameters();
    parms.FromCommandLineString(term.parameters.c_str());
    probe->ParameterUpdateFromGlobalInfo(&parms, info);
    for (size_t q = next++; q < queries.size(); q = next++) {
      if (queries[q].empty()) continue;
      std::unique_ptr<KvFeatureClass> query(KvCreateFeatureClass(term.className.c_str()));
      KvGenericImageDataClass data;
      data.SetType(KV_DATA_RECORD);
      data.GetFeatureDatum().SetBytes(queries[q].size(),
                                      reinterpret_cast<unsigned char*>(const_cast<char*>(queries[q].data())),
                                      KvOwnNone);
      data.SetQuerySide(True);
      const int rc = query->ComputeFeature(&data, &parms);
      data.GetFeatureDatum().SetBytes(0, nullptr, KvOwnNone);
      if (rc != 0) continue;
      float* row = &out[q * stored.size()];
      for (size_t j = 0; j < stored.size(); ++j) {
        if (holders[j] != nullptr) row[j] = query->Distance(holders[j].get(), &parms, 3.4e38f);
      }
    }
  };
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(work);
  for (std::thread& t : pool) t.join();
  info.SetBytes(0, nullptr, KvOwnNone);
  return out;
}

// Ranking of row (the stored items by distance, ties in stored order), with
// skip left out and failed distances at the end.
void Rank(const float* row, size_t n, size_t skip, std::vector<size_t>* order) {
  order->clear();
  for (size_t j = 0; j < n; ++j) {
    if (j != skip) order->push_back(j);
  }
  std::stable_sort(order->begin(), order->end(), [row](size_t a, size_t b) {
    const bool fa = row[a] < 0.0f, fb = row[b] < 0.0f;
    if (fa != fb) return fb;
    return row[a] < row[b];
  });
}

// Re-ranks the first shortlist entries of order (a ranking of row, the
// query's distances to the stored items) by shared neighbourhoods, with
// between[i * stride + j] the distances between stored items; the rest keep
// their places.
void Rerank(const float* row, const std::vector<float>& between, size_t stride, double scale, size_t shortlist,
            double copy, std::vector<size_t>* order) {
  const size_t k = std::min(shortlist, order->size());
  std::vector<size_t> picked;
  for (size_t r = 0; r < k && row[(*order)[r]] >= 0.0f; ++r) picked.push_back((*order)[r]);
  const size_t m = picked.size() + 1;
  std::vector<double> d(m * m, 0.0);
  for (size_t i = 0; i < picked.size(); ++i) {
    d[i + 1] = d[(i + 1) * m] = row[picked[i]];
    for (size_t j = 0; j < picked.size(); ++j) {
      if (i != j) d[(i + 1) * m + j + 1] = std::max(0.0f, between[picked[i] * stride + picked[j]]);
    }
  }
  std::vector<double> scores;
  KvRerankSettings settings;
  settings.copyShare = copy;
  if (!KvRerankShortlist(d, m, settings, scale, &scores)) return;
  std::vector<size_t> slots(picked.size());
  std::iota(slots.begin(), slots.end(), size_t{0});
  std::stable_sort(slots.begin(), slots.end(), [&](size_t a, size_t b) { return scores[a] < scores[b]; });
  for (size_t i = 0; i < slots.size(); ++i) (*order)[i] = picked[slots[i]];
}

// How a scored entry ranks: by its distances, or re-ranked (a shortlist
// size above 0) with the distances between stored items and a scale.
struct Ranking {
  size_t shortlist = 0;
  const std::vector<float>* between = nullptr;
  double scale = 1.0;
  double copy = 0.0;
};

struct ClassScores {
  double p10 = 0.0;
  double map = 0.0;
};

ClassScores ScoreClasses(const std::vector<float>& d, const std::vector<Item>& items, const Ranking& how) {
  const size_t n = items.size();
  ClassScores s;
  std::vector<size_t> order;
  for (size_t q = 0; q < n; ++q) {
    Rank(&d[q * n], n, q, &order);
    if (how.shortlist > 0) Rerank(&d[q * n], *how.between, n, how.scale, how.shortlist, how.copy, &order);
    int hits = 0;
    double precisionSum = 0.0;
    int relevant = 0;
    for (size_t j = 0; j < n; ++j) relevant += (j != q && items[j].label == items[q].label) ? 1 : 0;
    for (size_t r = 0; r < order.size(); ++r) {
      if (items[order[r]].label != items[q].label) continue;
      ++hits;
      precisionSum += static_cast<double>(hits) / static_cast<double>(r + 1);
      if (r < 10) s.p10 += 0.1;
    }
    if (relevant > 0) s.map += precisionSum / relevant;
  }
  s.p10 /= static_cast<double>(n);
  s.map /= static_cast<double>(n);
  return s;
}

// Recall@1 per variant kind, and overall as the last entry.
std::vector<double> ScoreDuplicates(const std::vector<float>& d, const std::vector<Item>& stored,
                                    const std::vector<Item>& queries, const Ranking& how) {
  std::vector<double> hits(kVariants + 1, 0.0), counts(kVariants + 1, 0.0);
  std::vector<size_t> order;
  for (size_t q = 0; q < queries.size(); ++q) {
    Rank(&d[q * stored.size()], stored.size(), static_cast<size_t>(-1), &order);
    if (how.shortlist > 0) {
      Rerank(&d[q * stored.size()], *how.between, stored.size(), how.scale, how.shortlist, how.copy, &order);
    }
    const bool hit = !order.empty() && d[q * stored.size() + order[0]] >= 0.0f &&
                     stored[order[0]].label == queries[q].label;
    for (int k : {queries[q].variant, kVariants}) {
      counts[static_cast<size_t>(k)] += 1;
      hits[static_cast<size_t>(k)] += hit ? 1 : 0;
    }
  }
  for (size_t k = 0; k < hits.size(); ++k) hits[k] = counts[k] > 0 ? hits[k] / counts[k] : 0.0;
  return hits;
}

// The weighted sum of an entry's terms, as the evaluator adds them: weight
// times distance in double, the total as float; failed terms fail the sum.
std::vector<float> Combine(const Entry& entry, const std::vector<Term>& terms,
                           const std::vector<std::vector<float>>& single) {
  const size_t size = single[static_cast<size_t>(entry.terms[0])].size();
  std::vector<float> out(size);
  for (size_t i = 0; i < size; ++i) {
    double total = 0.0;
    bool failed = false;
    for (int t : entry.terms) {
      const float d = single[static_cast<size_t>(t)][i];
      if (d < 0.0f) failed = true;
      total += terms[static_cast<size_t>(t)].weight * static_cast<double>(d);
    }
    out[i] = failed ? -1.0f : static_cast<float>(total);
  }
  return out;
}

struct Options {
  std::string classes;
  std::string crops;
  std::vector<std::string> dups;
  std::string terms;
  std::string dump;
  int threads = 2;
  int perClass = 0;
  int rerank = 0;      // shortlist size, 0 for none
  double copy = -1.0;  // copy share of a re-ranking, below 0 for the default
};

double WeightSum(const Entry& e, const std::vector<Term>& terms) {
  double sum = 0.0;
  for (int t : e.terms) sum += terms[static_cast<size_t>(t)].weight;
  return sum > 0.0 ? sum : 1.0;
}

// The shortlist the evaluator re-ranks for entry e (its terms' largest
// "Rerank"), 0 for none.
size_t OwnShortlist(const Entry& e, const std::vector<Term>& terms) {
  int most = 0;
  for (int t : e.terms) most = std::max(most, terms[static_cast<size_t>(t)].rerank);
  return static_cast<size_t>(most);
}

// How entry e is re-ranked: with its own shortlist, else with o's.
Ranking Reranked(const Options& o, const Entry& e, const std::vector<Term>& terms, const std::vector<float>* between) {
  Ranking how;
  how.shortlist = OwnShortlist(e, terms) > 0 ? OwnShortlist(e, terms) : static_cast<size_t>(o.rerank);
  how.between = between;
  how.scale = WeightSum(e, terms);
  how.copy = o.copy >= 0.0 ? o.copy : KvRerankSettings().copyShare;
  return how;
}


// Expands the term list into single terms and scored entries.
bool Plan(const std::string& text, std::vector<Term>* terms, std::vector<Entry>* entries) {
  auto termIndex = [&](const std::string& t) -> int {
    for (size_t i = 0; i < terms->size(); ++i) {
      if ((*terms)[i].text == t) return static_cast<int>(i);
    }
    Term term;
    if (!ParseTerm(t, &term)) return -1;
    terms->push_back(term);
    return static_cast<int>(terms->size() - 1);
  };
  auto add = [&](const std::string& name, const std::vector<std::string>& parts) {
    Entry e;
    e.name = name;
    for (const std::string& p : parts) {
      const int i = termIndex(p);
      if (i < 0) return false;
      e.terms.push_back(i);
    }
    entries->push_back(e);
    return true;
  };
  std::vector<std::string> wanted;
  if (text.empty()) {
    for (const char** name = KvListAllAvailableFeatures(); *name != nullptr; ++name) {
      if (std::strstr(*name, "SubPart") == nullptr && std::strcmp(*name, "KvTextFeatureClass") != 0) {
        wanted.push_back(*name);
      }
    }
    wanted.push_back(
        "KvColorFeatureClass+KvColorHistogramFeatureClass+KvTextureFeatureClass+KvDrawFeatureClass");
    for (const char* const* p = KvListPresets(); *p != nullptr; ++p) wanted.push_back(*p);
  } else {
    size_t start = 0;
    while (start <= text.size()) {
      const size_t end = std::min(text.find(';', start), text.size());
      if (end > start) wanted.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const std::string& w : wanted) {
    std::vector<std::string> parts;
    if (const char* const* preset = KvFindPreset(w.c_str())) {
      for (; *preset != nullptr; ++preset) parts.emplace_back(*preset);
    } else {
      size_t start = 0;
      while (start <= w.size()) {
        const size_t end = std::min(w.find('+', start), w.size());
        if (end > start) parts.push_back(w.substr(start, end - start));
        start = end + 1;
      }
    }
    if (parts.empty() || !add(w, parts)) return false;
  }
  return true;
}

std::vector<std::string> ClassesOf(const std::vector<Term>& terms) {
  std::vector<std::string> out;
  for (const Term& t : terms) {
    if (std::find(out.begin(), out.end(), t.className) == out.end()) out.push_back(t.className);
  }
  return out;
}

std::vector<std::string> Column(const std::vector<std::vector<std::string>>& bytes, const std::vector<std::string>& classes,
                                const std::string& name) {
  const size_t c = static_cast<size_t>(std::find(classes.begin(), classes.end(), name) - classes.begin());
  return bytes[c];
}

void Dump(const std::string& dir, const std::string& name, const std::vector<float>& d) {
  std::string file = dir + "/";
  for (char c : name) file += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  file += ".f32";
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(d.data(), sizeof(float), d.size(), f);
    std::fclose(f);
  }
}

void PrintTimes(const std::vector<std::string>& classes, const std::vector<double>& seconds, size_t images,
                const std::vector<Term>& terms, const std::vector<Entry>& entries) {
  std::printf("feature computation, ms per image (%zu images):\n", images);
  double baseline = 0.0;
  for (size_t c = 0; c < classes.size(); ++c) {
    if (classes[c] == "KvColorHistogramFeatureClass") baseline = seconds[c];
  }
  for (size_t c = 0; c < classes.size(); ++c) {
    std::printf("  %-34s %8.2f", classes[c].c_str(), seconds[c] / images * 1e3);
    if (baseline > 0) std::printf("   (%.2fx the colour histogram)", seconds[c] / baseline);
    std::printf("\n");
  }
  for (const Entry& e : entries) {
    if (e.terms.size() < 2 || KvFindPreset(e.name.c_str()) == nullptr) continue;
    std::set<std::string> used;
    for (int t : e.terms) used.insert(terms[static_cast<size_t>(t)].className);
    double total = 0.0;
    for (size_t c = 0; c < classes.size(); ++c) total += used.count(classes[c]) ? seconds[c] : 0.0;
    std::printf("  preset %-27s %8.2f", e.name.c_str(), total / images * 1e3);
    if (baseline > 0) std::printf("   (%.2fx the colour histogram)", total / baseline);
    std::printf("\n");
  }
}

int RunClasses(const Options& o, const std::vector<Item>& items, const char* title) {
  std::vector<Term> terms;
  std::vector<Entry> entries;
  if (!Plan(o.terms, &terms, &entries)) {
    std::fprintf(stderr, "unusable term list\n");
    return 1;
  }
  const std::vector<std::string> classes = ClassesOf(terms);
  std::vector<std::vector<std::string>> bytes;
  std::vector<double> seconds;
  const auto start = Clock::now();
  ComputeAll(items, classes, o.threads, &bytes, &seconds);
  std::printf("%s: %zu images, features in %.1f s\n", title, items.size(),
              std::chrono::duration<double>(Clock::now() - start).count());
  PrintTimes(classes, seconds, items.size(), terms, entries);
  std::vector<std::vector<float>> single;
  for (const Term& t : terms) {
    const std::vector<std::string> column = Column(bytes, classes, t.className);
    single.push_back(TermDistances(t, column, column, o.threads));
    if (!o.dump.empty()) Dump(o.dump, t.text, single.back());
  }
  if (!o.dump.empty()) {
    if (FILE* f = std::fopen((o.dump + "/labels.txt").c_str(), "w")) {
      for (const Item& it : items) std::fprintf(f, "%d %s\n", it.label, it.path.c_str());
      std::fclose(f);
    }
  }
  std::printf("%-72s %7s %7s\n", "term", "P@10", "mAP");
  for (const Entry& e : entries) {
    // An entry whose terms ask for re-ranking is scored as the evaluator
    // ranks it, and by distance beside it.
    const std::vector<float> d = Combine(e, terms, single);
    const bool own = OwnShortlist(e, terms) > 0;
    const ClassScores s = ScoreClasses(d, items, own ? Reranked(o, e, terms, &d) : Ranking());
    std::printf("%-72s %7.4f %7.4f\n", e.name.c_str(), s.p10, s.map);
    if (own || o.rerank > 0) {
      const ClassScores r = ScoreClasses(d, items, own ? Ranking() : Reranked(o, e, terms, &d));
      std::printf("%-72s %7.4f %7.4f\n", (e.name + (own ? ", by distance" : ", re-ranked")).c_str(), r.p10, r.map);
    }
  }
  return 0;
}

std::string MakeWorkDir() {
  char pattern[] = "/tmp/kivo-quality-XXXXXX";
  const char* dir = mkdtemp(pattern);
  return dir != nullptr ? dir : "";
}

void RemoveDir(const std::string& dir) {
  for (const std::string& name : Entries(dir)) std::remove((dir + "/" + name).c_str());
  rmdir(dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  setLeptDebugOK(0);
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
    if (a == "--classes") {
      o.classes = value();
    } else if (a == "--crops") {
      o.crops = value();
    } else if (a == "--dups") {
      o.dups.push_back(value());
    } else if (a == "--terms") {
      o.terms = value();
    } else if (a == "--dump") {
      o.dump = value();
    } else if (a == "--threads") {
      o.threads = std::max(1, std::atoi(value().c_str()));
    } else if (a == "--copy") {
      o.copy = std::atof(value().c_str());
    } else if (a == "--rerank") {
      o.rerank = std::max(0, std::atoi(value().c_str()));
    } else if (a == "--per-class") {
      o.perClass = std::max(0, std::atoi(value().c_str()));
    } else {
      std::fprintf(stderr, "usage: %s [--classes DIR] [--crops DIR] [--dups DIR]... [--terms T;T] "
                   "[--threads N] [--per-class N] [--dump DIR] [--rerank K] [--copy S]\n", argv[0]);
      return 2;
    }
  }
  if (o.classes.empty() && o.crops.empty() && o.dups.empty()) {
    o.classes = "/work/shared/data/wang1k";
  }
  int rc = 0;
  if (!o.classes.empty()) {
    std::vector<Item> items;
    int label = 0;
    for (const std::string& sub : Entries(o.classes)) {
      const std::string dir = o.classes + "/" + sub;
      if (!IsDirectory(dir)) continue;
      int taken = 0;
      for (const std::string& name : Entries(dir)) {
        if (!IsImageName(name) || (o.perClass > 0 && taken >= o.perClass)) continue;
        items.push_back({dir + "/" + name, label, -1});
        ++taken;
      }
      ++label;
    }
    rc |= RunClasses(o, items, ("classes of " + o.classes).c_str());
  }
  if (!o.crops.empty()) {
    std::vector<std::string> photos;
    Photographs(o.crops, true, &photos);
    const std::string work = MakeWorkDir();
    std::vector<Item> items;
    std::map<std::string, int> groups;
    for (const std::string& p : photos) {
      if (groups.count(GroupName(p)) != 0) continue;
      const int label = static_cast<int>(groups.size());
      groups[GroupName(p)] = label;
      std::vector<std::string> files;
      if (!MakeCrops(p, work, items.size(), &files)) continue;
      for (const std::string& f : files) items.push_back({f, label, -1});
    }
    rc |= RunClasses(o, items, ("crops of " + o.crops).c_str());
    RemoveDir(work);
  }
  if (!o.dups.empty()) {
    std::vector<std::string> photos;
    for (const std::string& d : o.dups) Photographs(d, true, &photos);
    const std::string work = MakeWorkDir();
    std::vector<Item> stored, queries;
    std::map<std::string, int> groups;
    const auto makeStart = Clock::now();
    for (const std::string& p : photos) {
      const std::string g = GroupName(p);
      if (groups.count(g) == 0) {
        const int label = static_cast<int>(groups.size());
        groups[g] = label;
      }
      const int label = groups[g];
      stored.push_back({p, label, -1});
      std::vector<std::string> files;
      if (!MakeVariants(p, work, stored.size(), &files)) {
        std::fprintf(stderr, "cannot make the variants of %s\n", p.c_str());
        continue;
      }
      for (int k = 0; k < kVariants; ++k) queries.push_back({files[static_cast<size_t>(k)], label, k});
    }
    std::vector<Term> terms;
    std::vector<Entry> entries;
    if (!Plan(o.terms, &terms, &entries)) {
      std::fprintf(stderr, "unusable term list\n");
      return 1;
    }
    const std::vector<std::string> classes = ClassesOf(terms);
    std::vector<std::vector<std::string>> storedBytes, queryBytes;
    std::vector<double> seconds, querySeconds;
    ComputeAll(stored, classes, o.threads, &storedBytes, &seconds);
    ComputeAll(queries, classes, o.threads, &queryBytes, &querySeconds);
    std::printf("near-duplicates: %zu photographs in %zu groups, %zu variants (made and computed in %.1f s)\n",
                stored.size(), groups.size(), queries.size(),
                std::chrono::duration<double>(Clock::now() - makeStart).count());
    std::vector<std::vector<float>> single, between;
    const bool reranking =
        o.rerank > 0 || std::any_of(terms.begin(), terms.end(), [](const Term& t) { return t.rerank > 0; });
    for (const Term& t : terms) {
      single.push_back(TermDistances(t, Column(storedBytes, classes, t.className),
                                     Column(queryBytes, classes, t.className), o.threads));
      if (!o.dump.empty()) Dump(o.dump, "dups_" + t.text, single.back());
      // The distances between stored photographs, for re-ranking.
      if (reranking) {
        const std::vector<std::string> column = Column(storedBytes, classes, t.className);
        between.push_back(TermDistances(t, column, column, o.threads));
      }
    }
    std::printf("%-72s", "recall@1");
    for (const char* v : kVariantNames) std::printf(" %12s", v);
    std::printf(" %12s\n", "all");
    for (const Entry& e : entries) {
      const std::vector<float> d = Combine(e, terms, single);
      const bool own = OwnShortlist(e, terms) > 0;
      std::vector<float> b;
      if (own || o.rerank > 0) b = Combine(e, terms, between);
      const std::vector<double> r = ScoreDuplicates(d, stored, queries, own ? Reranked(o, e, terms, &b) : Ranking());
      std::printf("%-72s", e.name.c_str());
      for (double v : r) std::printf(" %12.4f", v);
      std::printf("\n");
      if (own || o.rerank > 0) {
        const std::vector<double> rr = ScoreDuplicates(d, stored, queries, own ? Ranking() : Reranked(o, e, terms, &b));
        std::printf("%-72s", (e.name + (own ? ", by distance" : ", re-ranked")).c_str());
        for (double v : rr) std::printf(" %12.4f", v);
        std::printf("\n");
      }
    }
    RemoveDir(work);
  }
  return rc;
}
