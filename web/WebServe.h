// The serve subcommand of kivo.
#pragma once

#include <functional>
#include <iosfwd>

namespace kivo {
namespace web {

struct ServeOptions;

// Adds "serve" to kivo's subcommands; the program calls it before KivoMain.
void AddServeCommand();

// Runs the server with these options on the calling thread until a stop
// signal or a failure; the exit status.
using ServeFunction = std::function<int(ServeOptions& options)>;
// How a program with sharded catalogs runs the server: the wrapper is given
// the options (it may set their shardedQuery) and serve, and returns the exit
// status. Without one, serve runs on the command's own thread.
using ServeWrapper = std::function<int(ServeOptions& options, const ServeFunction& serve, std::ostream& err)>;
void SetServeWrapper(ServeWrapper wrapper);

}  // namespace web
}  // namespace kivo
