// How many worker threads a kivo subcommand starts.
#pragma once

#include <cstddef>

namespace kivo {

// The most workers a subcommand starts (its -j option's largest value).
constexpr int kMaxWorkers = 64;

// The cores this process may run on (its CPU affinity, which a container or
// taskset narrows), at least 1.
int UsableCores();

// Workers for a run of tasks: the number asked for (0: one per usable core),
// at most kMaxWorkers and at most one per task, at least 1.
int WorkerCount(int requested, size_t tasks);

}  // namespace kivo
