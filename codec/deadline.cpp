// The calling thread's decoding deadline: readers look at it between rows so
// that a query's time limit also stops the decoding of one large image.
#include <time.h>

#include "codec_internal.h"

namespace kvcodec {
namespace {

thread_local int64_t tDeadline = 0;

}  // namespace

int64_t Deadline() { return tDeadline; }

bool DeadlinePassed(int64_t deadline) {
  if (deadline == 0) return false;
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec >= deadline;
}

}  // namespace kvcodec

void gen_img_set_deadline(long long monotonicNs) { kvcodec::tDeadline = monotonicNs > 0 ? monotonicNs : 0; }
