// The kivo command line: a table of subcommands over the kivo library. The
// program's main is KivoMain with the standard streams; tests and other
// programs call it (or the subcommands' own functions) directly.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kivo {

// Exit statuses: 0 done, 1 the work failed (partly), 2 the command line was
// refused.
enum : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// One subcommand: its name and summary, a function that declares its options
// on its CLI11 app (keeping their values in an object it owns) and returns
// the function that runs it after parsing.
struct Subcommand {
  using Runner = std::function<int(std::ostream& out, std::ostream& err)>;
  const char* name;
  const char* summary;
  std::function<Runner(CLI::App* app)> declare;
};

// Every subcommand, in the order of the help text. A new subcommand (the
// catalog check, the HTTP server, shards) is one more entry.
const std::vector<Subcommand>& Subcommands();
// Adds a subcommand after the others: one whose code lives outside the kivo
// library (the HTTP server), added by the program before KivoMain.
void AddSubcommand(Subcommand command);

struct IndexOptions;
struct QueryRequest;
struct QueryResult;

// A kind of catalog whose code lives outside the kivo library (sharded
// catalogs) takes over kivo index and kivo query. Each hook returns -1 when
// database/catalog is not of its kind, and otherwise runs the command:
// index gives the exit status; query gives a result code of the query layer
// with result or error filled, and sets *print false in a process that
// leaves the printing and the exit status to another (the other ranks of an
// MPI job, which exit with 0).
struct CatalogHooks {
  std::function<int(const IndexOptions& options, std::ostream& out, std::ostream& err)> index;
  std::function<int(const std::string& database, const std::string& catalog, const QueryRequest& request,
                    bool partial, std::ostream& err, QueryResult* result, std::string* error, bool* print)>
      query;
};
void SetCatalogHooks(CatalogHooks hooks);

// The configuration file read for defaults: $KIVO_CONFIG, else
// $XDG_CONFIG_HOME/kivo/config.toml, else ~/.config/kivo/config.toml.
std::string ConfigFilePath();

// Parses the command line argv[0..argc) (with the configuration file's
// defaults): -1 with *run set to the chosen subcommand, or the exit status
// when parsing ended it (help, version, a refused command line).
int ParseCommandLine(int argc, char** argv, std::ostream& out, std::ostream& err, Subcommand::Runner* run);

// Parses and runs the command line argv[0..argc).
int KivoMain(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace kivo
