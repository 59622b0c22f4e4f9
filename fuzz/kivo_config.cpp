// The kivo command's configuration file (TOML, one table per subcommand).
// A subcommand's command line (which one: the input's size decides) is
// parsed with the input as its file; the settings of every table reach their
// subcommand's options whichever runs. Parsing ends in a subcommand to run,
// or in exit status 0 (help) or 2 (a refused file) with a message, never in
// an escaping exception.
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzUtil.h"
#include "KivoCommands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool clean = [] {
    for (const char* name : {"KIVO_DATABASE", "KIVO_CATALOG", "KIVO_JOBS", "KIVO_PROGRESS", "KIVO_CONFIG"}) {
      ::unsetenv(name);
    }
    return true;
  }();
  (void)clean;
  const std::string path = kvfuzz::WriteScratchFile("config.toml", data, size);
  const std::vector<kivo::Subcommand>& all = kivo::Subcommands();
  {
    const kivo::Subcommand& sub = all[size % all.size()];
    std::vector<std::string> words = {"kivo", "--config", path, sub.name};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    std::ostringstream out, err;
    kivo::Subcommand::Runner run;
    int rc = 0;
    try {
      rc = kivo::ParseCommandLine(static_cast<int>(words.size()), argv.data(), out, err, &run);
    } catch (const std::exception&) {
      __builtin_trap();
    }
    if (rc == -1) {
      if (!run) __builtin_trap();
    } else if (rc == kivo::kExitUsage) {
      if (err.str().empty()) __builtin_trap();
    } else if (rc != kivo::kExitOk) {
      __builtin_trap();
    }
  }
  return 0;
}
