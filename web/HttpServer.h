// An HTTP/1.1 server on the event loop (eventloop/): one thread reads every
// connection, and a request reaches a worker only once it has arrived whole
// (HttpRequest.h), so peers that send slowly, stop half-way or never finish
// hold a connection slot and nothing else. When the slots are full, the
// connection idle the longest (or still sending its request) is dropped for
// the newcomer; a request that takes too long to arrive, and a kept-alive
// connection idle too long, are closed.
//
// Requests the reader refuses are answered with the error writer's answer
// and the connection closes after it; what the peer still sends meanwhile is
// read and dropped, so the answer is not lost to a reset.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "HttpRequest.h"

namespace kivo {
namespace web {

struct HttpServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: a free port
  int workers = 4;
  size_t maxConnections = 256;
  int requestTimeoutMs = 10000;  // for a request to arrive, and an answer to be taken
  int idleTimeoutMs = 10000;     // for a kept-alive connection between requests
  int stopGraceMs = 30000;       // for requests already complete at Stop
  HttpLimits limits;
};

// Answers one complete request; runs on a worker thread, several at once.
using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;
// The answer for a request refused before any handler (status and reason),
// or for a handler that threw (500).
using HttpErrorWriter = std::function<void(int status, const std::string& message, HttpResponse&)>;

class HttpServer {
 public:
  HttpServer(HttpServerOptions options, HttpHandler handler, HttpErrorWriter errors);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens. False with the reason.
  bool Bind(std::string* error);
  // The bound port (after Bind).
  int Port() const;
  // Serves on this thread until Stop; false when the loop could not run.
  bool Run();
  // Makes Run return once the requests already complete are answered.
  // Callable from any thread and from a signal handler.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace web
}  // namespace kivo
