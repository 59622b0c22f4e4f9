#include "HttpServer.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "KvEventLoop.h"
#include "KvWorkerPool.h"

namespace kivo {
namespace web {
namespace {

struct Shared {
  const HttpServerOptions& options;
  const HttpHandler& handler;
  const HttpErrorWriter& errors;
};

// One connection's HTTP exchange: requests read by the loop, answered by a
// worker, in order.
class HttpConnection : public KvProtocol {
 public:
  explicit HttpConnection(const Shared& shared) : shared_(shared), reader_(shared.options.limits) {}

  KvNext OnBytes(const unsigned char* data, size_t n, std::string& out) override {
    if (draining_) return KvNext::kRead;
    return Proceed(reader_.Feed(reinterpret_cast<const char*>(data), n), out);
  }

  void Work(KvWorkerState*) override {
    const HttpRequest& request = reader_.Request();
    HttpResponse response;
    try {
      shared_.handler(request, response);
    } catch (...) {
      response = HttpResponse();
      WriteError(500, "internal error", response);
    }
    keepAlive_ = request.keepAlive;
    if (keepAlive_ && request.minorVersion == 0) response.SetHeader("Connection", "keep-alive");
    answer_ = SerializeResponse(response, keepAlive_, request.method == "HEAD");
  }

  KvNext OnWorked(std::string& out) override {
    out += answer_;
    std::string().swap(answer_);
    busy_ = false;
    if (!keepAlive_) return KvNext::kClose;
    // Requests sent ahead (pipelined) are taken in turn.
    return Proceed(reader_.Next(), out);
  }

  bool InRequest() const override { return busy_ || draining_ || reader_.InRequest(); }

  void OnEnd(const KvConnectionEnd&) override {}

 private:
  KvNext Proceed(HttpRequestReader::State state, std::string& out) {
    switch (state) {
      case HttpRequestReader::State::kComplete:
        busy_ = true;
        return KvNext::kWork;
      case HttpRequestReader::State::kFailed: {
        HttpResponse response;
        WriteError(reader_.ErrorStatus(), reader_.Error(), response);
        out += SerializeResponse(response, false, false);
        // The peer may still be sending the refused request: closing with
        // its bytes unread would reset the connection and lose the answer.
        // They are read and dropped until the peer closes, within the
        // request's time.
        draining_ = true;
        return KvNext::kRead;
      }
      case HttpRequestReader::State::kNeedMore:
        if (reader_.TakeContinue()) out += "HTTP/1.1 100 Continue\r\n\r\n";
        return KvNext::kRead;
    }
    return KvNext::kClose;
  }

  void WriteError(int status, const std::string& message, HttpResponse& response) {
    response.status = status;
    if (shared_.errors) {
      shared_.errors(status, message, response);
    } else {
      response.SetContent(message + "\n", "text/plain; charset=utf-8");
    }
  }

  const Shared& shared_;
  HttpRequestReader reader_;
  std::string answer_;
  bool keepAlive_ = true;
  bool busy_ = false;
  bool draining_ = false;
};

struct Socket {
  int fd = -1;
  ~Socket() {
    if (fd >= 0) ::close(fd);
  }
  int Release() {
    const int f = fd;
    fd = -1;
    return f;
  }
};

}  // namespace

struct HttpServer::Impl {
  Impl(HttpServerOptions o, HttpHandler h, HttpErrorWriter e)
      : options(std::move(o)),
        handler(std::move(h)),
        errors(std::move(e)),
        shared{options, handler, errors},
        pool(options.workers, nullptr),
        loop(Limits(options), [this](const std::string&) { return std::make_unique<HttpConnection>(shared); },
             pool) {}

  static KvLoopLimits Limits(const HttpServerOptions& o) {
    KvLoopLimits l;
    l.maxConnections = o.maxConnections;
    l.idleTimeoutMs = o.idleTimeoutMs;
    l.requestTimeoutMs = o.requestTimeoutMs;
    l.stopGraceMs = o.stopGraceMs;
    return l;
  }

  HttpServerOptions options;
  HttpHandler handler;
  HttpErrorWriter errors;
  Shared shared;
  KvWorkerPool pool;
  KvEventLoop loop;
  Socket listening;
  int port = 0;
};

HttpServer::HttpServer(HttpServerOptions options, HttpHandler handler, HttpErrorWriter errors)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(handler), std::move(errors))) {}

HttpServer::~HttpServer() = default;

bool HttpServer::Bind(std::string* error) {
  Impl& s = *impl_;
  const std::string where = s.options.host + " port " + std::to_string(s.options.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(s.options.port);
  const int rc = ::getaddrinfo(s.options.host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot listen on " + where + ": " + ::gai_strerror(rc);
    return false;
  }
  std::string reason = "no address";
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    Socket sock;
    sock.fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (sock.fd < 0) {
      reason = std::strerror(errno);
      continue;
    }
    const int one = 1;
    // A restarted server takes its port back while old connections linger.
    ::setsockopt(sock.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(sock.fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(sock.fd, 1024) != 0) {
      reason = std::strerror(errno);
      continue;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(sock.fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      reason = std::strerror(errno);
      continue;
    }
    s.port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                         : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    s.listening.fd = sock.Release();
    break;
  }
  ::freeaddrinfo(found);
  if (s.listening.fd < 0) {
    *error = "cannot listen on " + where + ": " + reason;
    return false;
  }
  return true;
}

int HttpServer::Port() const { return impl_->port; }

bool HttpServer::Run() {
  Impl& s = *impl_;
  if (s.listening.fd < 0) return false;
  // The loop closes the listening socket when it stops.
  return s.loop.Run(s.listening.Release()) == 0;
}

void HttpServer::Stop() { impl_->loop.Stop(); }

}  // namespace web
}  // namespace kivo
