#include "KivoWorkers.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace kivo {

int UsableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

int WorkerCount(int requested, size_t tasks) {
  size_t n = static_cast<size_t>(requested > 0 ? requested : UsableCores());
  n = std::min({n, static_cast<size_t>(kMaxWorkers), std::max<size_t>(tasks, 1)});
  return static_cast<int>(std::max<size_t>(n, 1));
}

}  // namespace kivo
