// The routes of kivo serve and the server that runs them.
#include "WebServer.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <httplib.h>

#include "KivoOutput.h"
#include "KivoQuery.h"
#include "WebAssets.h"
#include "WebCatalogs.h"
#include "WebFiles.h"
#include "WebParams.h"
#include "query/KvDeadline.h"

namespace kivo {
namespace web {
namespace {

using nlohmann::ordered_json;

void SendJson(httplib::Response& res, int status, const ordered_json& value) {
  std::ostringstream text;
  WriteJson(text, value);
  res.status = status;
  res.set_content(text.str(), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
  ordered_json e;
  e["error"] = message;
  e["status"] = status;
  SendJson(res, status, e);
}

Params ParamsOf(const httplib::Request& req) {
  Params p;
  for (const auto& [name, value] : req.params) p.emplace(name, value);
  return p;
}

const char* StatusText(int status) {
  switch (status) {
    case 400: return "bad request";
    case 404: return "no such page";
    case 405: return "method not allowed";
    case 408: return "the request took too long to arrive";
    case 413: return "the request is too large";
    case 414: return "the URL is too long";
    case 415: return "unsupported content type";
    case 431: return "the request head is too large";
    case 503: return "the server is busy";
    default: return status >= 500 ? "internal error" : "bad request";
  }
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

  ServeOptions options;
  CatalogSet catalogs;
  ThumbnailCache thumbnails;
  UploadDir uploads;
  httplib::Server http;
  int port = 0;

  void AddRoutes();
  void Query(WebQuery& query, httplib::Response& res);
  bool Lease(const std::string& catalog, EngineLease* lease, httplib::Response& res);
  bool ImageOf(const httplib::Request& req, httplib::Response& res, std::string* path);
};

bool WebServer::Impl::Lease(const std::string& catalog, EngineLease* lease, httplib::Response& res) {
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

void WebServer::Impl::Query(WebQuery& query, httplib::Response& res) {
  EngineLease engine;
  if (!Lease(query.catalog, &engine, res)) return;
  QueryResult result;
  std::string error;
  const KvDeadline deadline = KvDeadline::In(options.queryTimeLimitMs);
  int rc;
  {
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
bool WebServer::Impl::ImageOf(const httplib::Request& req, httplib::Response& res, std::string* path) {
  EngineLease engine;
  if (!Lease(req.get_param_value("catalog"), &engine, res)) return false;
  const std::string key = req.get_param_value("key");
  std::string error;
  if (key.empty()) {
    SendError(res, 400, "parameter key is required");
    return false;
  }
  std::string stored;
  if (!engine->FindKey(key, &stored)) {
    SendError(res, 404, "no key " + key + " in catalog " + req.get_param_value("catalog"));
    return false;
  }
  if (!ResolveImage(engine->Root(), stored, path, &error)) {
    SendError(res, 404, error);
    return false;
  }
  return true;
}

void WebServer::Impl::AddRoutes() {
  http.Get("/api/catalogs", [this](const httplib::Request&, httplib::Response& res) {
    ordered_json info;
    std::string error;
    bool missing = false;
    if (!catalogs.InfoJson("", &info, &error, &missing)) return SendError(res, 500, error);
    SendJson(res, 200, info);
  });
  http.Get("/api/catalogs/([^/]+)", [this](const httplib::Request& req, httplib::Response& res) {
    ordered_json info;
    std::string error;
    bool missing = false;
    if (!catalogs.InfoJson(req.matches[1], &info, &error, &missing)) {
      return SendError(res, missing ? 404 : 500, error);
    }
    SendJson(res, 200, info["catalogs"][0]);
  });
  http.Get("/api/query", [this](const httplib::Request& req, httplib::Response& res) {
    WebQuery query;
    std::string error;
    if (!QueryFromParams(ParamsOf(req), &query, &error)) return SendError(res, 400, error);
    Query(query, res);
  });
  http.Post("/api/query", [this](const httplib::Request& req, httplib::Response& res) {
    WebQuery query;
    std::string error;
    const std::string type = req.get_header_value("Content-Type");
    const std::string* image = nullptr;
    if (StartsWith(type, "application/json")) {
      if (!QueryFromJson(req.body, &query, &error)) return SendError(res, 400, error);
    } else if (req.is_multipart_form_data()) {
      Params params = ParamsOf(req);
      for (const auto& [name, item] : req.files) {
        if (name != "image" && item.filename.empty()) params.emplace(name, item.content);
      }
      if (!req.has_file("image")) return SendError(res, 400, "the form has no \"image\" file");
      image = &req.files.find("image")->second.content;
      if (!QueryFromParams(params, &query, &error)) return SendError(res, 400, error);
    } else if (StartsWith(type, "image/") || StartsWith(type, "application/octet-stream")) {
      image = &req.body;
      if (!QueryFromParams(ParamsOf(req), &query, &error)) return SendError(res, 400, error);
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
  });
  http.Get("/api/thumbnail", [this](const httplib::Request& req, httplib::Response& res) {
    int side = kDefaultThumbSide;
    if (req.has_param("size")) {
      const std::string s = req.get_param_value("size");
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
    if (!ImageOf(req, res, &path)) return;
    if (!thumbnails.Get(path, side, &thumb, &error)) return SendError(res, 422, error);
    if (!ReadWholeFile(thumb, options.maxFileBytes, &bytes, &error)) return SendError(res, 500, error);
    res.set_header("Cache-Control", "max-age=60");
    res.set_content(std::move(bytes), "image/jpeg");
  });
  http.Get("/api/image", [this](const httplib::Request& req, httplib::Response& res) {
    std::string path, bytes, error;
    if (!ImageOf(req, res, &path)) return;
    if (!ReadWholeFile(path, options.maxFileBytes, &bytes, &error)) return SendError(res, 500, error);
    res.set_header("Cache-Control", "max-age=60");
    res.set_content(std::move(bytes), ContentTypeOf(path));
  });
  http.Get("/api/.*", [](const httplib::Request&, httplib::Response& res) {
    SendError(res, 404, "no such API");
  });
  http.Get("/.*", [](const httplib::Request& req, httplib::Response& res) {
    const Asset* asset = FindAsset(req.path);
    if (asset == nullptr) return SendError(res, 404, "no such page");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' blob: data:; style-src 'self'; script-src 'self'");
    res.set_content(reinterpret_cast<const char*>(asset->data), asset->size, asset->type);
  });
  // Whatever no route answered (another method, a path no route takes), and
  // errors statuses set without a body, become JSON errors.
  http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    SendError(res, res.status, StatusText(res.status));
  });
  http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    SendError(res, 500, "internal error");
  });
  http.set_default_headers({{"X-Content-Type-Options", "nosniff"}, {"Cache-Control", "no-store"}});
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
  s.AddRoutes();
  const int threads = s.options.threads;
  s.http.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  s.http.set_payload_max_length(s.options.maxRequestBytes);
  s.http.set_read_timeout(s.options.requestTimeoutMs / 1000, (s.options.requestTimeoutMs % 1000) * 1000);
  s.http.set_keep_alive_timeout(std::max(1, s.options.requestTimeoutMs / 1000));
  if (s.options.port == 0) {
    s.port = s.http.bind_to_any_port(s.options.host);
  } else if (s.http.bind_to_port(s.options.host, s.options.port)) {
    s.port = s.options.port;
  } else {
    s.port = -1;
  }
  if (s.port <= 0) {
    *error = "cannot listen on " + s.options.host + " port " + std::to_string(s.options.port);
    return false;
  }
  return true;
}

int WebServer::Port() const { return impl_->port; }

bool WebServer::Run() { return impl_->http.listen_after_bind(); }

void WebServer::Stop() { impl_->http.stop(); }

}  // namespace web
}  // namespace kivo
