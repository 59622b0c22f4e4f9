#include "KivoDups.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <ostream>
#include <thread>

#include "KivoFeatures.h"
#include "KivoOutput.h"
#include "KivoProgress.h"
#include "KivoQuery.h"
#include "KivoStore.h"
#include "KivoWorkers.h"
#include "features/KvPresets.h"

namespace kivo {
namespace {

// Union-find over image indices.
class Groups {
 public:
  explicit Groups(size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0); }
  size_t Find(size_t i) {
    while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
    return i;
  }
  void Join(size_t a, size_t b) {
    a = Find(a);
    b = Find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<size_t> parent_;
};

}  // namespace

int FindDuplicates(const DupsOptions& options, std::ostream& err, DupsResult* result, std::string* error) {
  *result = DupsResult();
  CatalogStore store;
  if (!store.Open(options.database, options.catalog, false, error)) return kQueryFailed;
  std::vector<std::string> keys;
  if (!store.ImageKeys(&keys, error)) return kQueryFailed;
  result->images = keys.size();
  std::map<std::string, size_t> indexOf;
  for (size_t i = 0; i < keys.size(); ++i) indexOf.emplace(keys[i], i);

  const int jobs = WorkerCount(options.jobs, keys.size());
  std::vector<float> nearest(keys.size(), -1.0f);
  std::vector<std::pair<size_t, size_t>> pairs;
  std::mutex mutex;
  std::atomic<size_t> next{0}, done{0};
  int status = kQueryOk;
  std::string firstError;
  Progress progress(err, options.quiet ? Progress::kNone : DefaultProgressStyle(2), "images");

  // Engines are made here, and the features settled once: the workers only
  // evaluate.
  std::vector<std::unique_ptr<QueryEngine>> engines;
  for (int j = 0; j < jobs; ++j) engines.push_back(std::make_unique<QueryEngine>(store));
  std::vector<std::string> features = options.features;
  double threshold = options.threshold >= 0.0 ? options.threshold : kDefaultDuplicateDistance;
  if (features.empty()) {
    const int rc = engines[0]->CatalogFeatures(&features, error);
    if (rc != kQueryOk) return rc;
    const std::string preset = PresetForClasses(features);
    if (!preset.empty()) {
      // Copies are told by the weighted distance itself, so the preset's
      // re-ranking (whose scores are no distances) is left out.
      features = {preset + ":PRerank=0"};
      if (options.threshold < 0.0) threshold = KvPresetDuplicateDistance(preset.c_str());
    }
  }
  auto work = [&](QueryEngine* engine) {
    QueryRequest request;
    request.features = features;
    request.n = options.neighbours + 1;
    QueryResult hits;
    std::string why;
    for (size_t i = next++; i < keys.size(); i = next++) {
      request.key = keys[i];
      const int rc = engine->Run(request, &hits, &why);
      std::lock_guard<std::mutex> lock(mutex);
      if (rc != kQueryOk) {
        if (status == kQueryOk) {
          status = rc;
          firstError = why;
        }
        next = keys.size();
        return;
      }
      for (const QueryHit& hit : hits.hits) {
        auto it = indexOf.find(hit.key);
        if (it == indexOf.end() || it->second == i || hit.distance > threshold) continue;
        pairs.emplace_back(i, it->second);
        for (size_t j : {i, it->second}) {
          if (nearest[j] < 0 || hit.distance < nearest[j]) nearest[j] = hit.distance;
        }
      }
      progress.Update(++done, keys.size());
    }
  };
  std::vector<std::thread> threads;
  for (auto& e : engines) threads.emplace_back(work, e.get());
  for (std::thread& t : threads) t.join();
  progress.Finish();
  if (status != kQueryOk) {
    *error = firstError;
    return status;
  }

  Groups groups(keys.size());
  for (const auto& p : pairs) groups.Join(p.first, p.second);
  // Keys are in order, so a group's root is its first key and groups come
  // out in the order of their first keys.
  std::map<size_t, size_t> groupOf;
  QueryEngine& paths = *engines[0];
  for (size_t i = 0; i < keys.size(); ++i) {
    if (nearest[i] < 0) continue;
    const size_t root = groups.Find(i);
    auto [it, fresh] = groupOf.emplace(root, result->groups.size());
    if (fresh) result->groups.emplace_back();
    result->groups[it->second].images.push_back(DupImage{keys[i], paths.PathOfKey(keys[i]), nearest[i]});
  }
  return kQueryOk;
}

nlohmann::ordered_json DupsJson(const DupsResult& result) {
  nlohmann::ordered_json groups = nlohmann::ordered_json::array();
  for (size_t g = 0; g < result.groups.size(); ++g) {
    nlohmann::ordered_json images = nlohmann::ordered_json::array();
    for (const DupImage& image : result.groups[g].images) {
      nlohmann::ordered_json i;
      i["key"] = image.key;
      i["path"] = image.path;
      i["distance"] = ShortestDecimal(image.distance);
      images.push_back(std::move(i));
    }
    nlohmann::ordered_json group;
    group["group"] = g + 1;
    group["images"] = std::move(images);
    groups.push_back(std::move(group));
  }
  nlohmann::ordered_json out;
  out["images"] = result.images;
  out["groups"] = std::move(groups);
  return out;
}

void WriteDupsTsv(std::ostream& out, const DupsResult& result) {
  out << "group\tkey\tpath\tdistance\n";
  char distance[32];
  for (size_t g = 0; g < result.groups.size(); ++g) {
    for (const DupImage& image : result.groups[g].images) {
      std::snprintf(distance, sizeof distance, "%f", static_cast<double>(image.distance));
      out << g + 1 << '\t' << TsvField(image.key) << '\t' << TsvField(image.path) << '\t' << distance << '\n';
    }
  }
}

void WriteDupsTable(std::ostream& out, const DupsResult& result) {
  char line[64];
  out << "group    distance  key\n";
  for (size_t g = 0; g < result.groups.size(); ++g) {
    if (g > 0) out << '\n';
    for (const DupImage& image : result.groups[g].images) {
      std::snprintf(line, sizeof line, "%5zu  %10f  ", g + 1, static_cast<double>(image.distance));
      out << line << image.key << '\n';
    }
  }
  size_t grouped = 0;
  for (const DupGroup& g : result.groups) grouped += g.images.size();
  out << result.groups.size() << (result.groups.size() == 1 ? " group" : " groups") << " of near-duplicates, "
      << grouped << " of " << result.images << " images\n";
}

}  // namespace kivo
