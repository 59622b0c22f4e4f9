#include "WebServe.h"

#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>

#include <ostream>
#include <thread>

#include "KivoCommands.h"
#include "WebServer.h"

namespace kivo {
namespace web {
namespace {

ServeWrapper& Wrapper() {
  static ServeWrapper wrapper;
  return wrapper;
}

// Serves until a stop signal (stops, blocked in every thread) or a failure.
int Serve(ServeOptions& options, sigset_t stops, std::ostream& err) {
  WebServer server(options);
  std::string error;
  if (!server.Start(&error)) {
    err << "kivo serve: " << error << '\n';
    return kExitFailed;
  }
  err << "kivo serve: listening on http://" << options.host << ":" << server.Port() << "/" << std::endl;
  std::thread waiter([&server, stops] {
    int signal = 0;
    sigwait(&stops, &signal);
    server.Stop();
  });
  const bool ok = server.Run();
  // Run may also end without a signal; wake the waiter so it can be joined.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return ok ? kExitOk : kExitFailed;
}

Subcommand::Runner DeclareServe(CLI::App* app) {
  auto o = std::make_shared<ServeOptions>();
  auto timeLimit = std::make_shared<double>(o->queryTimeLimitMs / 1000.0);
  auto requestTimeout = std::make_shared<double>(o->requestTimeoutMs / 1000.0);
  app->add_option("-d,--database", o->database, "database folder")->required()->envname("KIVO_DATABASE");
  app->add_option("--host", o->host, "address to listen on (default 127.0.0.1: this machine only)")
      ->envname("KIVO_SERVE_HOST");
  app->add_option("--port", o->port, "port to listen on; 0 picks a free one (default 8080)")
      ->check(CLI::Range(0, 65535))
      ->envname("KIVO_SERVE_PORT");
  app->add_option("--threads", o->threads, "requests evaluated at once (default 4)")->check(CLI::Range(1, 64));
  app->add_option("--max-connections", o->maxConnections, "open connections at once (default 256)")
      ->check(CLI::Range(1, 100000));
  app->add_option("--max-request", o->maxRequestBytes, "largest request, uploads included, in bytes (default 32 MiB)")
      ->check(CLI::Range(size_t{1024}, size_t{1} << 32));
  app->add_option("--request-timeout", *requestTimeout,
                  "seconds a request may take to arrive, and an idle connection may stay (default 10)")
      ->check(CLI::Range(0.1, 3600.0));
  app->add_option("--time-limit", *timeLimit, "seconds one query may take to evaluate; 0 for none (default 20)")
      ->check(CLI::Range(0.0, 86400.0));
  app->add_option("--thumbnails", o->thumbnailCache,
                  "thumbnail cache folder (default $XDG_CACHE_HOME/kivo/thumbnails or ~/.cache/kivo/thumbnails)")
      ->envname("KIVO_THUMBNAILS");
  return [o, timeLimit, requestTimeout](std::ostream& out, std::ostream& err) {
    o->queryTimeLimitMs = static_cast<int>(*timeLimit * 1000);
    o->requestTimeoutMs = static_cast<int>(*requestTimeout * 1000);
    // The stop signals are taken by one thread that waits for them; every
    // other thread, started after this, has them blocked.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    signal(SIGPIPE, SIG_IGN);
    (void)out;
    const ServeFunction serve = [&err, stops](ServeOptions& options) { return Serve(options, stops, err); };
    if (Wrapper()) return Wrapper()(*o, serve, err);
    return serve(*o);
  };
}

}  // namespace

void SetServeWrapper(ServeWrapper wrapper) { Wrapper() = std::move(wrapper); }

void AddServeCommand() {
  AddSubcommand({"serve", "serve the search page and a JSON API over HTTP", DeclareServe});
}

}  // namespace web
}  // namespace kivo
