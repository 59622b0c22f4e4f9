#include "KivoThumbs.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

#include "KivoFold.h"
#include "KivoKey.h"
#include "KivoPhoto.h"
#include "KivoProgress.h"
#include "KivoStore.h"
#include "KivoWorkers.h"
#include "gen_img.h"
#include "gen_img_orient.h"
#include "image/KvImage.h"

namespace kivo {
namespace {

// mkdir -p of the folder holding path.
bool MakeParents(const std::string& path, std::string* reason) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
      *reason = "cannot create " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

std::string CodecReason(int status) {
  switch (status) {
    case GEN_IMG_EOPEN: return "cannot open the image";
    case GEN_IMG_EFORMAT: return "not an image";
    case GEN_IMG_ECORRUPT: return "corrupt or truncated image";
    case GEN_IMG_ETOOBIG: return "image too large";
    case GEN_IMG_ENOMEM: return "out of memory";
    case GEN_IMG_EWRITE: return "cannot write the thumbnail";
    default: return "cannot be read (status " + std::to_string(status) + ")";
  }
}

}  // namespace

std::string ThumbnailName(const std::string& key, const std::string& format) {
  std::string relative;
  if (!DecodeKey(key, &relative)) relative = key;
  std::string name = NormalisePath(relative, "/").substr(1);
  if (name.empty()) name = "_";
  const std::string suffix = "." + format;
  if (name.size() <= suffix.size() ||
      FoldCase(name.substr(name.size() - suffix.size())) != suffix) {
    name += suffix;
  }
  return name;
}

int MakeThumbnails(const ThumbsOptions& options, std::ostream& out, std::ostream& err, ThumbsSummary* summary) {
  *summary = ThumbsSummary();
  if (options.format != "jpg" && options.format != "png") {
    err << "kivo thumbs: format " << options.format << " is not jpg or png\n";
    return 2;
  }
  std::string error;
  CatalogStore store;
  if (!store.Open(options.database, options.catalog, false, &error)) {
    err << "kivo thumbs: " << error << '\n';
    return 1;
  }
  QueryEngine engine(store);
  std::vector<std::string> keys;
  const QueryRequest& q = options.query;
  if (q.image.empty() && q.key.empty() && q.sketch.empty() && q.keywords.empty()) {
    if (!store.ImageKeys(&keys, &error)) {
      err << "kivo thumbs: " << error << '\n';
      return 1;
    }
  } else {
    QueryResult result;
    const int rc = engine.Run(q, &result, &error);
    if (rc != kQueryOk) {
      err << "kivo thumbs: " << error << '\n';
      return rc == kQueryBadRequest ? 2 : 1;
    }
    for (const QueryHit& hit : result.hits) keys.push_back(hit.key);
  }
  std::vector<std::string> sources;
  for (const std::string& key : keys) sources.push_back(engine.PathOfKey(key));
  const std::string folder = NormalisePath(options.output, CurrentDirectory());

  const int jobs = WorkerCount(options.jobs, keys.size());
  std::mutex mutex;
  std::atomic<size_t> next{0}, done{0};
  Progress progress(err, options.quiet ? Progress::kNone : DefaultProgressStyle(2), "thumbnails");
  auto work = [&]() {
    for (size_t i = next++; i < keys.size(); i = next++) {
      const std::string target = folder + "/" + ThumbnailName(keys[i], options.format);
      std::string reason;
      bool ok = MakeParents(target, &reason);
      if (ok && KvApplyPixelBudget() != 0) {
        ok = false;
        reason = "KivoPixelBudget is not a positive number of MiB";
      }
      if (ok) {
        const int orientation = options.orient ? ReadPhotoMetadata(sources[i]).orientation : 1;
        const int rc = gen_img_rescale_oriented(sources[i].c_str(), target.c_str(), options.size, options.size,
                                                options.pad ? 1 : 0, orientation);
        ok = rc == GEN_IMG_OK;
        if (!ok) reason = sources[i] + ": " + CodecReason(rc);
      }
      std::lock_guard<std::mutex> lock(mutex);
      if (ok) {
        ++summary->written;
      } else {
        ++summary->failed;
        summary->failures.emplace_back(keys[i], reason);
      }
      progress.Update(++done, keys.size());
    }
  };
  InitPhotoMetadata();
  std::vector<std::thread> threads;
  for (int j = 0; j < jobs; ++j) threads.emplace_back(work);
  for (std::thread& t : threads) t.join();
  progress.Finish();
  std::sort(summary->failures.begin(), summary->failures.end());
  for (const auto& f : summary->failures) err << "kivo thumbs: failed: " << f.first << ": " << f.second << '\n';
  if (!options.quiet) {
    out << summary->written << " written, " << summary->failed << " failed\n";
  }
  return summary->failed > 0 ? 1 : 0;
}

}  // namespace kivo
