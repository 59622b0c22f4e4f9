// kivo serve: an HTTP/1.1 server over one database with a JSON API and the
// search page.
//
//   GET  /                          the page (and its /app.js, /style.css)
//   GET  /api/catalogs              the JSON of kivo info --json
//   GET  /api/catalogs/NAME         one catalog's entry of it
//   GET  /api/query?catalog=C&...   the JSON of kivo query --json (WebParams.h)
//   POST /api/query                 a JSON body, a multipart form with an
//                                   "image" file, or the raw bytes of an image
//                                   (the other parameters in the URL)
//   GET  /api/thumbnail?catalog=C&key=K[&size=S]   a JPEG thumbnail
//   GET  /api/image?catalog=C&key=K                the original file
//
// Every failure is answered with {"error": "...", "status": N} and its HTTP
// status; a path asked with a method it does not take, with 405 and Allow.
// Connections are read by one event loop and a request reaches the workers
// only once it is complete (HttpServer.h).
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kivo {

struct QueryRequest;
struct QueryResult;

namespace web {

struct ServeOptions {
  std::string database;
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: a free port
  // Requests evaluated at once; more wait for a free worker.
  int threads = 4;
  // Open connections at once. A newcomer to a full table takes the place of
  // the connection idle the longest or still sending its request.
  int maxConnections = 256;
  // Largest request (head and body) and largest request head, in bytes.
  size_t maxRequestBytes = 32u << 20;
  size_t maxHeaderBytes = 16u << 10;
  // Largest original image file served, in bytes.
  size_t maxFileBytes = 256u << 20;
  // A request must arrive whole, and its answer be taken, within this time;
  // an idle kept-alive connection is closed after it too.
  int requestTimeoutMs = 10000;
  // Longest evaluation of one query, in milliseconds (0: none).
  int queryTimeLimitMs = 20000;
  std::string thumbnailCache;  // empty: DefaultThumbnailCache()
  // Queries on sharded catalogs, when the program serves them: a result
  // code of the query layer with result or error filled, or -1 when the
  // catalog is not sharded. Called by any worker; timeLimitMs 0 for none.
  std::function<int(const std::string& catalog, const QueryRequest& request, int timeLimitMs, QueryResult* result,
                    std::string* error)>
      shardedQuery;
  // The shard catalog of a sharded catalog that holds a stored key, or empty
  // when the catalog is not sharded (then it is one of the set's own).
  std::function<std::string(const std::string& catalog, const std::string& key)> shardOfKey;
};

class WebServer {
 public:
  explicit WebServer(ServeOptions options);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Checks the database, prepares the caches and binds the listening
  // socket. False with the reason.
  bool Start(std::string* error);
  // The bound port (after Start).
  int Port() const;
  // Serves until Stop; false when serving could not go on.
  bool Run();
  // Makes Run return; callable from any thread.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace web
}  // namespace kivo
