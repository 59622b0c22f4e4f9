// A server in one long-running MPI job: rank 0 runs the server, whose
// workers hand each query that needs the ranks to rank 0's main thread (the
// only one of its threads that calls MPI); that thread broadcasts the query
// and evaluates it together with every other rank, which waits for the
// broadcasts. When the server stops, an empty broadcast stops the others.
// kivo serve and KvQSrv serve their sharded catalogs this way.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "KivoShardMpi.h"

namespace kivo {
namespace shard {

// Tasks of the server's workers waiting for rank 0's main thread, which
// runs them one at a time.
class TaskQueue {
 public:
  TaskQueue() = default;
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  // Worker side: waits until task has run on the main thread. False, with
  // task not run, once the queue is closed (also for a task waiting then).
  bool Run(const std::function<void()>& task);
  // Main thread: runs the next task; false once the queue is closed.
  bool RunNext();
  // No more tasks: RunNext returns false, waiting and later Runs fail.
  void Close();

 private:
  struct Pending {
    const std::function<void()>* task;
    bool done = false;
    bool ran = false;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Pending*> waiting_;
  bool closed_ = false;
};

// On rank 0, runs serve on a thread of its own and the tasks its workers
// queue on this one until serve returns, then stops the other ranks; the
// tasks broadcast (BroadcastWaiting) bytes that are never empty. On the
// other ranks, hands each broadcast to follow until the stop. serve's exit
// status on rank 0, 0 on the others.
int ServeOnRanks(const MpiJob& job, const std::function<int(TaskQueue& queue)>& serve,
                 const std::function<void(const std::string& bytes)>& follow);

}  // namespace shard
}  // namespace kivo
