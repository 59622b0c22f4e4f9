// Shell utility commands: sound playback, a web browser, and the host's
// address. Sounds and the browser are external programs found along PATH;
// they are started with their standard streams on /dev/null so that they
// never write into the script's output.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KvTcl.h"

namespace {

// Players started by SoundPlay that have not been seen to end.
std::vector<pid_t> gPlayers;

// Sound players tried in this order; each plays one file named last.
const char* const kPlayers[] = {"paplay", "aplay", "play"};

// Browsers tried after the BROWSER setting and xdg-open.
const char* const kBrowsers[] = {"sensible-browser", "x-www-browser", "firefox", "chromium",
                                 "chromium-browser"};

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Full path of program, found along PATH unless it names a path itself; empty
// when there is none. Empty PATH elements are skipped rather than taken as
// the current directory, so a program is never picked up from wherever the
// script happens to run.
std::string FindOnPath(const std::string& program) {
  if (program.empty()) return std::string();
  if (program.find('/') != std::string::npos) return IsExecutableFile(program) ? program : std::string();
  const char* path = std::getenv("PATH");
  const std::string list = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) {
      const std::string candidate = list.substr(start, end - start) + "/" + program;
      if (IsExecutableFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  return std::string();
}

// An argument vector for execv, built before fork: the child of a process
// that may run other threads (Tcl's notifier) must not allocate.
class ExecVector {
 public:
  explicit ExecVector(std::vector<std::string> args) : args_(std::move(args)) {
    for (std::string& a : args_) pointers_.push_back(&a[0]);
    pointers_.push_back(nullptr);
  }
  char* const* get() const { return pointers_.data(); }

 private:
  std::vector<std::string> args_;
  std::vector<char*> pointers_;
};

// In a child: standard streams on /dev/null, then the program. Only
// async-signal-safe calls.
[[noreturn]] void ExecQuietly(const char* program, char* const* argv) {
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);
  }
  ::execv(program, argv);
  ::_exit(127);
}

// Starts program as a child of this process; its pid, or -1.
pid_t StartChild(const std::string& program, const ExecVector& argv) {
  const pid_t pid = ::fork();
  if (pid == 0) ExecQuietly(program.c_str(), argv.get());
  return pid;
}

// Starts program without keeping it as a child: an intermediate child starts
// it in a new session and exits at once, so nothing is left to reap.
void StartDetached(const std::string& program, const ExecVector& argv) {
  const pid_t middle = ::fork();
  if (middle == 0) {
    ::setsid();
    if (::fork() == 0) ExecQuietly(program.c_str(), argv.get());
    ::_exit(0);
  }
  if (middle > 0) {
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

void WaitFor(pid_t pid) {
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Forgets the players that have ended.
void ReapPlayers() {
  for (size_t i = 0; i < gPlayers.size();) {
    if (::waitpid(gPlayers[i], nullptr, WNOHANG) != 0) {
      gPlayers.erase(gPlayers.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

// The browser to start: the first program of the BROWSER setting (a list
// separated by ':' whose entries may carry arguments, which are not used)
// that is found, then xdg-open, then a known browser on the PATH.
std::string FindBrowser() {
  if (const char* setting = std::getenv("BROWSER")) {
    const std::string list = setting;
    size_t start = 0;
    while (start < list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      const std::string entry = list.substr(start, end - start);
      const size_t first = entry.find_first_not_of(" \t");
      if (first != std::string::npos) {
        const std::string found = FindOnPath(entry.substr(first, entry.find_first_of(" \t", first) - first));
        if (!found.empty()) return found;
      }
      start = end + 1;
    }
  }
  std::string found = FindOnPath("xdg-open");
  for (const char* browser : kBrowsers) {
    if (!found.empty()) break;
    found = FindOnPath(browser);
  }
  return found;
}

}  // namespace

KV_TCL_COMMAND(KvTclSoundPlay) {
  if (argc < 2) {
    KvTclStatic(interp, "Usage: SoundPlay soundFile ?wait?");
    return TCL_ERROR;
  }
  return KvTclGuarded(interp, [&] {
    Tcl_ResetResult(interp);
    ReapPlayers();
    // A sound that is still playing is not interrupted; the new one is not
    // played (and, as without a player, the command still succeeds).
    if (!gPlayers.empty()) return TCL_OK;
    const bool wait = argc > 2 && std::strcmp(argv[2], "wait") == 0;
    for (const char* player : kPlayers) {
      const std::string path = FindOnPath(player);
      if (path.empty()) continue;
      std::vector<std::string> args = {player};
      // aplay and play report on the terminal unless told not to.
      if (std::strcmp(player, "paplay") != 0) args.push_back("-q");
      args.push_back(argv[1]);
      const ExecVector exec(std::move(args));
      const pid_t pid = StartChild(path, exec);
      if (pid > 0) {
        if (wait) {
          WaitFor(pid);
        } else {
          gPlayers.push_back(pid);
        }
      }
      break;
    }
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclSoundStop) {
  (void)argc;
  (void)argv;
  for (pid_t pid : gPlayers) ::kill(pid, SIGTERM);
  for (pid_t pid : gPlayers) WaitFor(pid);
  gPlayers.clear();
  Tcl_ResetResult(interp);
  return TCL_OK;
}

KV_TCL_COMMAND(KvTclStartBrowser) {
  return KvTclGuarded(interp, [&] {
    const std::string browser = FindBrowser();
    if (browser.empty()) {
      KvTclStatic(interp, "Neither Netscape nor IE4 is detected!");
      return TCL_OK;
    }
    if (argc > 2) {
      KvTclStatic(interp, "Usage: start_browser ?URL?");
      return TCL_ERROR;
    }
    std::vector<std::string> args = {browser.substr(browser.rfind('/') + 1)};
    if (argc == 2) args.push_back(argv[1]);
    const ExecVector exec(std::move(args));
    StartDetached(browser, exec);
    Tcl_ResetResult(interp);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclGetHostIp) {
  return KvTclGuarded(interp, [&] {
    std::string host;
    if (argc > 1) {
      host = argv[1];
    } else {
      if (Tcl_Eval(interp, "info hostname") != TCL_OK) {
        KvTclStatic(interp, "Can't find hostname");
        return TCL_ERROR;
      }
      host = Tcl_GetStringResult(interp);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* info = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &info) != 0 || info == nullptr) {
      KvTclStatic(interp, "Can't get Host Info");
      return TCL_ERROR;
    }
    // The first address the resolver gives, its four bytes in order.
    const sockaddr_in* address = reinterpret_cast<const sockaddr_in*>(info->ai_addr);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address->sin_addr);
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    ::freeaddrinfo(info);
    Tcl_SetResult(interp, text, TCL_VOLATILE);
    return TCL_OK;
  });
}
