// kivo serve under MPI: the broadcast of each query and the loop of the ranks.
//
// Served query, rank 0 to all (MpiJob::Broadcast; WireWriter layout: numbers
// 32-bit big-endian, texts a 32-bit length and the bytes):
//   kind                      1 a query, 0 stop (nothing follows)
//   catalog text, count       then count shard catalog texts
//   image bytes text          empty without an example image
//   key text, keywords text, sketch text
//   features count            then that many feature texts
//   n, orient (1 or 0), time limit in milliseconds (0: none)
#include "KivoShardServe.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>

#include "KivoCommands.h"
#include "KivoShardQuery.h"
#include "KivoShardRanks.h"
#include "WebServer.h"
#include "query/KvDeadline.h"

namespace kivo {
namespace shard {
namespace {

// The largest message broadcast: MPI counts are ints.
constexpr size_t kMaxMessage = INT_MAX / 2;

// The example image of a query, as a file of this rank's own; removed with
// the guard.
class ImageCopy {
 public:
  bool Write(const std::string& bytes) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/kivo-rank-XXXXXX";
    const int fd = mkstemp(&pattern[0]);
    if (fd < 0) return false;
    path_ = pattern;
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 && done == bytes.size();
  }
  ~ImageCopy() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

bool ReadFile(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

std::string ServedQuery::Encode() const {
  WireWriter w;
  w.Put32(stop ? 0 : 1);
  if (stop) return w.Bytes();
  w.PutText(manifest.catalog);
  w.Put32(static_cast<uint32_t>(manifest.shards.size()));
  for (const std::string& s : manifest.shards) w.PutText(s);
  w.PutText(imageBytes);
  w.PutText(request.key);
  w.PutText(request.keywords);
  w.PutText(request.sketch);
  w.Put32(static_cast<uint32_t>(request.features.size()));
  for (const std::string& f : request.features) w.PutText(f);
  w.Put32(static_cast<uint32_t>(request.n));
  w.Put32(request.orient ? 1 : 0);
  w.Put32(timeLimitMs);
  return w.Bytes();
}

bool ServedQuery::Decode(const std::string& bytes) {
  *this = ServedQuery();
  WireReader r(bytes);
  uint32_t kind = 0, count = 0, n = 0, orient = 0;
  if (!r.Get32(&kind) || kind > 1) return false;
  if (kind == 0) {
    stop = true;
    return r.AtEnd();
  }
  if (!r.GetText(&manifest.catalog) || !r.Get32(&count) || count < 1 || count > kMaxShards) return false;
  manifest.shards.resize(count);
  for (std::string& s : manifest.shards) {
    if (!r.GetText(&s)) return false;
  }
  if (!r.GetText(&imageBytes) || !r.GetText(&request.key) || !r.GetText(&request.keywords) ||
      !r.GetText(&request.sketch) || !r.Get32(&count)) {
    return false;
  }
  // Each feature text takes at least its length's 4 bytes.
  for (uint32_t i = 0; i < count; ++i) {
    std::string f;
    if (!r.GetText(&f)) return false;
    request.features.push_back(std::move(f));
  }
  if (!r.Get32(&n) || n < 1 || n > 1000000 || !r.Get32(&orient) || orient > 1 || !r.Get32(&timeLimitMs)) {
    return false;
  }
  request.n = static_cast<int>(n);
  request.orient = orient == 1;
  return r.AtEnd();
}

int RunServedQuery(const MpiJob& job, const std::string& database, const ServedQuery& query,
                   const std::string& rank0Image, QueryResult* result, std::string* error) {
  QueryRequest request = query.request;
  ImageCopy copy;
  if (!query.imageBytes.empty()) {
    if (job.Root() && !rank0Image.empty()) {
      request.image = rank0Image;
    } else {
      // A copy that cannot be written leaves a path that does not read: the
      // evaluation on this rank refuses it, and the reduction tells rank 0.
      if (!copy.Write(query.imageBytes)) request.image = "/nonexistent/kivo-rank-image";
      if (!copy.Path().empty()) request.image = copy.Path();
    }
  }
  KvDeadlineScope scope(KvDeadline::In(query.timeLimitMs));
  // Not partial: the notes of a partial answer are never written.
  std::ostringstream notes;
  return RunShardedQuery(job, database, query.manifest, request, false, notes, result, error);
}

int ServeSharded(web::ServeOptions& options, const web::ServeFunction& serve, std::ostream& err) {
  (void)err;
  MpiJob job;
  const std::string database = options.database;
  if (!job.Root()) {
    // mpirun stops the job with SIGTERM; this rank has nothing to finish.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
  }
  const auto follow = [&job, &database](const std::string& bytes) {
    ServedQuery query;
    // Rank 0 decodes the same bytes and skips them alike.
    if (!query.Decode(bytes)) return;
    QueryResult result;
    std::string error;
    RunServedQuery(job, database, query, std::string(), &result, &error);
  };
  const auto run = [&](TaskQueue& queue) {
    options.shardedQuery = [&queue, &job, database](const std::string& catalog, const QueryRequest& request,
                                                    int timeLimitMs, QueryResult* result, std::string* error) {
      ServedQuery query;
      const int found = ReadManifest(database, catalog, &query.manifest, error);
      if (found == 0) return -1;
      if (found < 0) return static_cast<int>(kQueryFailed);
      query.request = request;
      query.timeLimitMs = timeLimitMs > 0 ? static_cast<uint32_t>(timeLimitMs) : 0;
      if (!request.image.empty() && (!ReadFile(request.image, &query.imageBytes) || query.imageBytes.empty())) {
        *error = "cannot read the query image " + request.image;
        return static_cast<int>(kQueryBadRequest);
      }
      int rc = kQueryFailed;
      const bool ran = queue.Run([&] {
        std::string bytes = query.Encode();
        if (bytes.size() > kMaxMessage) {
          rc = kQueryBadRequest;
          *error = "the query is too large to hand to the ranks";
          return;
        }
        job.BroadcastWaiting(&bytes);
        // Every rank evaluates the decoded bytes, rank 0 too, so that all
        // agree.
        ServedQuery sent;
        if (!sent.Decode(bytes)) {
          *error = "the query could not be handed to the ranks";
          return;
        }
        rc = RunServedQuery(job, database, sent, request.image, result, error);
      });
      if (!ran) {
        *error = "the server is stopping";
        return static_cast<int>(kQueryFailed);
      }
      return rc;
    };
    options.shardOfKey = [database](const std::string& catalog, const std::string& key) {
      Manifest m;
      std::string ignored;
      // An unreadable manifest leaves the catalog to the set, which says it
      // does not know it.
      if (ReadManifest(database, catalog, &m, &ignored) != 1) return std::string();
      return m.shards[static_cast<size_t>(ShardOfKey(key, m.shards.size()))];
    };
    return serve(options);
  };
  const int status = ServeOnRanks(job, run, follow);
  return job.Root() ? status : kExitOk;
}

}  // namespace shard
}  // namespace kivo
