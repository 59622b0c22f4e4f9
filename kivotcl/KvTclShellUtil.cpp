// Shell utility commands: sound playback, a web browser, and the host's
// address.
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <fcntl.h>
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

// Sound players started by SoundPlay and not yet known to have ended.
std::vector<pid_t> gPlayers;

// Full path of program found along PATH, or empty.
std::string FindOnPath(const char* program) {
  if (program == nullptr || program[0] == '\0') return std::string();
  if (std::strchr(program, '/') != nullptr) return access(program, X_OK) == 0 ? program : std::string();
  const char* path = std::getenv("PATH");
  std::string list = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string dir = list.substr(start, end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + program;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::string();
}

void ReapPlayers() {
  for (size_t i = 0; i < gPlayers.size();) {
    if (::waitpid(gPlayers[i], nullptr, WNOHANG) != 0) {
      gPlayers.erase(gPlayers.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
}

// Starts argv[0] with arguments; its output goes nowhere. -1 on failure.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

KV_TCL_COMMAND(KvTclSoundPlay) {
  if (argc < 2) {
    KvTclStatic(interp, "Usage: SoundPlay soundFile ?wait?");
    return TCL_ERROR;
  }
  ReapPlayers();
  const bool wait = argc > 2 && std::strcmp(argv[2], "wait") == 0;
  for (const char* player : {"paplay", "aplay", "play"}) {
    const std::string path = FindOnPath(player);
    if (path.empty()) continue;
    std::vector<std::string> args = {player};
    if (std::strcmp(player, "aplay") == 0) args.push_back("-q");
    args.push_back(argv[1]);
    const pid_t pid = Spawn(path, args);
    if (pid > 0) {
      if (wait) {
        ::waitpid(pid, nullptr, 0);
      } else {
        gPlayers.push_back(pid);
      }
    }
    break;
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

KV_TCL_COMMAND(KvTclSoundStop) {
  (void)argc;
  (void)argv;
  for (pid_t pid : gPlayers) ::kill(pid, SIGTERM);
  for (pid_t pid : gPlayers) ::waitpid(pid, nullptr, 0);
  gPlayers.clear();
  Tcl_ResetResult(interp);
  return TCL_OK;
}

KV_TCL_COMMAND(KvTclStartBrowser) {
  std::string browser;
  const char* fromSetting = std::getenv("BROWSER");
  if (fromSetting != nullptr) browser = FindOnPath(fromSetting);
  for (const char* candidate : {"xdg-open", "sensible-browser", "x-www-browser", "firefox", "chromium"}) {
    if (!browser.empty()) break;
    browser = FindOnPath(candidate);
  }
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
  // Started without waiting: an intermediate child exits at once, so the
  // browser is not left as this shell's child.
  const pid_t middle = ::fork();
  if (middle == 0) {
    ::setsid();
    Spawn(browser, args);
    ::_exit(0);
  }
  if (middle > 0) ::waitpid(middle, nullptr, 0);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

KV_TCL_COMMAND(KvTclGetHostIp) {
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
  const unsigned char* b =
      reinterpret_cast<const unsigned char*>(&reinterpret_cast<sockaddr_in*>(info->ai_addr)->sin_addr);
  char text[32];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  ::freeaddrinfo(info);
  Tcl_SetResult(interp, text, TCL_VOLATILE);
  return TCL_OK;
}
