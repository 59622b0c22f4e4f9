// The routes of kivo serve and the server that runs them.
#include "WebServer.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "KivoOutput.h"
#include "KivoPhoto.h"
#include "KivoQuery.h"
#include "WebAssets.h"
#include "WebCatalogs.h"
#include "HttpServer.h"
#include "WebFiles.h"
#include "WebParams.h"
#include "query/KvDeadline.h"

namespace kivo {
namespace web {
namespace {

using nlohmann::ordered_json;

using Request = HttpRequest;
using Response = HttpResponse;

void SendJson(Response& res, int status, const ordered_json& value) {
  std::ostringstream text;
  WriteJson(text, value);
  res.status = status;
  res.SetContent(text.str(), "application/json");
}

void SendError(Response& res, int status, const std::string& message) {
  ordered_json e;
  e["error"] = message;
  e["status"] = status;
  SendJson(res, status, e);
}

Params ParamsOf(const Request& req) {
  Params p;
  for (auto& [name, value] : ParseQuery(req.query)) p.emplace(std::move(name), std::move(value));
  return p;
}

// The one value of a URL parameter, or empty.
std::string Param(const Params& params, const char* name) {
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A private folder for uploaded query images, removed with the server.
class UploadDir {
 public:
  bool Make(std::string* error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/kivo-serve-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
      *error = "cannot make a folder for uploads in " + pattern;
      return false;
    }
    dir_ = pattern;
    return true;
  }
  ~UploadDir() {
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  // Writes bytes to a new file of the folder; its name, or empty.
  std::string Write(const std::string& bytes) {
    const std::string path = dir_ + "/upload-" + std::to_string(counter_++);
    FILE* f = std::fopen(path.c_str(), "wbx");
    if (f == nullptr) return std::string();
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !ok) {
      unlink(path.c_str());
      return std::string();
    }
    return path;
  }

 private:
  std::string dir_;
  std::atomic<unsigned long> counter_{0};
};

struct RemoveFile {
  std::string path;
  ~RemoveFile() {
    if (!path.empty()) unlink(path.c_str());
  }
};

}  // namespace

struct WebServer::Impl {
  explicit Impl(ServeOptions o) : options(std::move(o)), catalogs(options.database), thumbnails(options.thumbnailCache) {}

  using Handler = void (Impl::*)(const Request&, const Params&, Response&);
  struct Route {
    const char* method;
    const char* path;  // exact, or a prefix when it ends with '/'
    Handler handler;
  };
  static const Route kRoutes[];

  ServeOptions options;
  CatalogSet catalogs;
  ThumbnailCache thumbnails;
  UploadDir uploads;
  std::unique_ptr<HttpServer> http;

  void Handle(const Request& req, Response& res);
  void Catalogs(const Request& req, const Params& params, Response& res);
  void OneCatalog(const Request& req, const Params& params, Response& res);
  void GetQuery(const Request& req, const Params& params, Response& res);
  void PostQuery(const Request& req, const Params& params, Response& res);
  void Thumbnail(const Request& req, const Params& params, Response& res);
  void Image(const Request& req, const Params& params, Response& res);
  void Page(const Request& req, const Params& params, Response& res);

  void Query(WebQuery& query, Response& res);
  bool Lease(const std::string& catalog, EngineLease* lease, Response& res);
  bool ImageOf(const Params& params, Response& res, std::string* path);
};

// In order: the first route whose path matches and whose method is the
// request's answers; HEAD is answered as GET without the body.
const WebServer::Impl::Route WebServer::Impl::kRoutes[] = {
    {"GET", "/api/catalogs", &Impl::Catalogs},
    {"GET", "/api/catalogs/", &Impl::OneCatalog},
    {"GET", "/api/query", &Impl::GetQuery},
    {"POST", "/api/query", &Impl::PostQuery},
    {"GET", "/api/thumbnail", &Impl::Thumbnail},
    {"GET", "/api/image", &Impl::Image},
};

bool WebServer::Impl::Lease(const std::string& catalog, EngineLease* lease, Response& res) {
  std::string error;
  bool missing = false;
  if (catalog.empty()) {
    SendError(res, 400, "parameter catalog is required");
    return false;
  }
  if (!catalogs.Take(catalog, lease, &error, &missing)) {
    SendError(res, missing ? 404 : 500, error);
    return false;
  }
  return true;
}

void WebServer::Impl::Query(WebQuery& query, Response& res) {
  QueryResult result;
  std::string error;
  const KvDeadline deadline = KvDeadline::In(options.queryTimeLimitMs);
  int rc = -1;
  if (options.shardedQuery && !query.catalog.empty()) {
    rc = options.shardedQuery(query.catalog, query.request, options.queryTimeLimitMs, &result, &error);
  }
  if (rc < 0) {
    EngineLease engine;
    if (!Lease(query.catalog, &engine, res)) return;
    KvDeadlineScope scope(deadline);
    rc = engine->Run(query.request, &result, &error);
  }
  if (rc == kQueryOk) {
    SendJson(res, 200, ResultsJson(result));
  } else if (rc == kQueryBadRequest) {
    SendError(res, 400, error);
  } else if (deadline.Expired()) {
    SendError(res, 503, "the query took longer than the time limit");
  } else {
    SendError(res, 500, error);
  }
}

// The real path of the request's catalog and key, or an error answered.
bool WebServer::Impl::ImageOf(const Params& params, Response& res, std::string* path) {
  EngineLease engine;
  const std::string catalog = Param(params, "catalog");
  const std::string key = Param(params, "key");
  // A key of a sharded catalog is looked up in the shard that holds it.
  std::string holder;
  if (options.shardOfKey && !catalog.empty() && !key.empty()) holder = options.shardOfKey(catalog, key);
  if (!Lease(holder.empty() ? catalog : holder, &engine, res)) return false;
  std::string error;
  if (key.empty()) {
    SendError(res, 400, "parameter key is required");
    return false;
  }
  std::string stored;
  if (!engine->FindKey(key, &stored)) {
    SendError(res, 404, "no key " + key + " in catalog " + catalog);
    return false;
  }
  if (!ResolveImage(engine->Root(), stored, path, &error)) {
    SendError(res, 404, error);
    return false;
  }
  return true;
}

void WebServer::Impl::Catalogs(const Request&, const Params&, Response& res) {
  ordered_json info;
  std::string error;
  bool missing = false;
  if (!catalogs.InfoJson("", &info, &error, &missing)) return SendError(res, 500, error);
  SendJson(res, 200, info);
}

void WebServer::Impl::OneCatalog(const Request& req, const Params&, Response& res) {
  const std::string name = req.path.substr(std::strlen("/api/catalogs/"));
  ordered_json info;
  std::string error;
  bool missing = false;
  if (name.empty() || name.find('/') != std::string::npos) return SendError(res, 404, "no such API");
  if (!catalogs.InfoJson(name, &info, &error, &missing)) return SendError(res, missing ? 404 : 500, error);
  SendJson(res, 200, info["catalogs"][0]);
}

void WebServer::Impl::GetQuery(const Request&, const Params& params, Response& res) {
  WebQuery query;
  std::string error;
  if (!QueryFromParams(params, &query, &error)) return SendError(res, 400, error);
  Query(query, res);
}

void WebServer::Impl::PostQuery(const Request& req, const Params& urlParams, Response& res) {
  WebQuery query;
  std::string error;
  const std::string type = req.Header("content-type");
  const std::string* image = nullptr;
  std::vector<HttpPart> parts;
  if (StartsWith(type, "application/json")) {
    if (!QueryFromJson(req.body, &query, &error)) return SendError(res, 400, error);
  } else if (StartsWith(type, "multipart/form-data")) {
    if (!ParseMultipart(type, req.body, &parts, &error)) return SendError(res, 400, error);
    // The form's plain fields join the URL's parameters.
    Params params = urlParams;
    for (const HttpPart& part : parts) {
      if (part.name == "image") {
        if (image != nullptr) return SendError(res, 400, "the form has more than one \"image\" file");
        image = &part.content;
      } else if (part.filename.empty()) {
        params.emplace(part.name, part.content);
      }
    }
    if (image == nullptr) return SendError(res, 400, "the form has no \"image\" file");
    if (!QueryFromParams(params, &query, &error)) return SendError(res, 400, error);
  } else if (StartsWith(type, "image/") || StartsWith(type, "application/octet-stream")) {
    image = &req.body;
    if (!QueryFromParams(urlParams, &query, &error)) return SendError(res, 400, error);
  } else {
    return SendError(res, 415, "send JSON, a multipart form or an image");
  }
  RemoveFile upload;
  if (image != nullptr) {
    if (image->empty()) return SendError(res, 400, "the uploaded image is empty");
    if (!query.request.key.empty() || !query.request.sketch.empty()) {
      return SendError(res, 400, "give one of an image, a key and a sketch");
    }
    upload.path = uploads.Write(*image);
    if (upload.path.empty()) return SendError(res, 500, "cannot store the uploaded image");
    query.request.image = upload.path;
  }
  Query(query, res);
}

void WebServer::Impl::Thumbnail(const Request&, const Params& params, Response& res) {
  int side = kDefaultThumbSide;
  if (params.count("size") != 0) {
    const std::string s = Param(params, "size");
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < kMinThumbSide || v > kMaxThumbSide) {
      return SendError(res, 400,
                       "size must be a whole number from " + std::to_string(kMinThumbSide) + " to " +
                           std::to_string(kMaxThumbSide));
    }
    side = static_cast<int>(v);
  }
  std::string path, thumb, bytes, error;
  if (!ImageOf(params, res, &path)) return;
  if (!thumbnails.Get(path, side, &thumb, &error)) return SendError(res, 422, error);
  if (!ReadWholeFile(thumb, options.maxFileBytes, &bytes, &error)) return SendError(res, 500, error);
  res.SetHeader("Cache-Control", "max-age=60");
  res.SetContent(std::move(bytes), "image/jpeg");
}

void WebServer::Impl::Image(const Request&, const Params& params, Response& res) {
  std::string path, bytes, error;
  if (!ImageOf(params, res, &path)) return;
  if (!ReadWholeFile(path, options.maxFileBytes, &bytes, &error)) return SendError(res, 500, error);
  res.SetHeader("Cache-Control", "max-age=60");
  res.SetContent(std::move(bytes), ContentTypeOf(path));
}

void WebServer::Impl::Page(const Request& req, const Params&, Response& res) {
  const Asset* asset = FindAsset(req.path);
  if (asset == nullptr) return SendError(res, 404, "no such page");
  res.SetHeader("Content-Security-Policy",
                "default-src 'self'; img-src 'self' blob: data:; style-src 'self'; script-src 'self'");
  res.SetContent(std::string(reinterpret_cast<const char*>(asset->data), asset->size), asset->type);
}

void WebServer::Impl::Handle(const Request& req, Response& res) {
  res.SetHeader("X-Content-Type-Options", "nosniff");
  res.SetHeader("Cache-Control", "no-store");
  const std::string method = req.method == "HEAD" ? "GET" : req.method;
  const bool api = StartsWith(req.path, "/api/") || req.path == "/api";
  std::vector<std::string> allowed;
  for (const Route& route : kRoutes) {
    const size_t n = std::strlen(route.path);
    const bool matches = route.path[n - 1] == '/' ? req.path.size() > n && req.path.compare(0, n, route.path) == 0
                                                   : req.path == route.path;
    if (!matches) continue;
    if (method == route.method) return (this->*route.handler)(req, ParamsOf(req), res);
    allowed.push_back(route.method);
  }
  if (!api) {
    if (method == "GET") return Page(req, Params(), res);
    allowed.push_back("GET");
  }
  if (allowed.empty()) return SendError(res, 404, "no such API");
  // The methods this path takes, HEAD with GET.
  std::string methods;
  for (const std::string& m : allowed) {
    methods += (methods.empty() ? "" : ", ") + m;
    if (m == "GET") methods += ", HEAD";
  }
  res.SetHeader("Allow", methods);
  SendError(res, 405, "method " + req.method + " is not allowed here; use " + methods);
}

WebServer::WebServer(ServeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  if (impl_->options.thumbnailCache.empty()) impl_->thumbnails = ThumbnailCache(DefaultThumbnailCache());
}

WebServer::~WebServer() = default;

bool WebServer::Start(std::string* error) {
  Impl& s = *impl_;
  ordered_json probe;
  bool missing = false;
  if (!s.catalogs.InfoJson("", &probe, error, &missing)) return false;
  if (!s.thumbnails.Prepare(error) || !s.uploads.Make(error)) return false;
  // Thumbnails and uploaded photographs read orientation tags on several
  // workers at once.
  InitPhotoMetadata();
  HttpServerOptions http;
  http.host = s.options.host;
  http.port = s.options.port;
  http.workers = s.options.threads;
  http.maxConnections = static_cast<size_t>(s.options.maxConnections);
  http.requestTimeoutMs = s.options.requestTimeoutMs;
  http.idleTimeoutMs = s.options.requestTimeoutMs;
  // Requests already complete at a stop may run their evaluation out.
  http.stopGraceMs = s.options.queryTimeLimitMs + s.options.requestTimeoutMs;
  http.limits.maxHeadBytes = s.options.maxHeaderBytes;
  http.limits.maxBodyBytes = s.options.maxRequestBytes;
  s.http = std::make_unique<HttpServer>(
      http, [&s](const Request& req, Response& res) { s.Handle(req, res); },
      [](int status, const std::string& message, Response& res) { SendError(res, status, message); });
  return s.http->Bind(error);
}

int WebServer::Port() const { return impl_->http ? impl_->http->Port() : -1; }

bool WebServer::Run() { return impl_->http && impl_->http->Run(); }

void WebServer::Stop() {
  if (impl_->http) impl_->http->Stop();
}

}  // namespace web
}  // namespace kivo
