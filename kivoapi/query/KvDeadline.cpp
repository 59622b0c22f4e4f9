// Evaluation deadlines: this thread's deadline and the time-limit setting.
#include "query/KvDeadline.h"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

#include "core/KvEnv.h"
#include "core/KvError.h"

namespace {

thread_local KvDeadline tCurrent;

}  // namespace

int64_t KvDeadline::Now() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

KvDeadline KvDeadline::In(int64_t ms) {
  KvDeadline d;
  // Limits beyond a few centuries are no limit at all.
  if (ms > 0 && ms < (int64_t{1} << 42)) d.at = Now() + ms * 1000000;
  return d;
}

KvDeadline KvCurrentDeadline() { return tCurrent; }

KvDeadlineScope::KvDeadlineScope(KvDeadline deadline) : previous_(tCurrent) {
  if (deadline.at < tCurrent.at) tCurrent = deadline;
}

KvDeadlineScope::~KvDeadlineScope() { tCurrent = previous_; }

int64_t KvQueryTimeLimitMs() {
  const char* text = Kvgetenv("KivoQueryTimeLimit");
  if (text == nullptr || text[0] == '\0') return 0;
  errno = 0;
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(seconds) || seconds < 0.0) return -1;
  if (seconds > 1e9) return 0;
  // A positive limit below a millisecond is still a limit.
  const int64_t ms = static_cast<int64_t>(std::ceil(seconds * 1000.0));
  return ms;
}

int KvDeadlineFail(const char* site) {
  std::string text = site != nullptr ? site : "KvQueryServerClass";
  text += ": the evaluation's time limit is exceeded";
  KvError(KERR_General, KERR_Fatal, text.c_str());
  return -1;
}
