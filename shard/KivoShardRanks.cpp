// The task queue of rank 0's main thread and the loop of the other ranks.
#include "KivoShardRanks.h"

#include <thread>

namespace kivo {
namespace shard {

bool TaskQueue::Run(const std::function<void()>& task) {
  Pending p{&task};
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) return false;
  waiting_.push_back(&p);
  changed_.notify_all();
  changed_.wait(lock, [&p] { return p.done; });
  return p.ran;
}

bool TaskQueue::RunNext() {
  Pending* p = nullptr;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || !waiting_.empty(); });
    if (closed_) return false;
    p = waiting_.front();
    waiting_.pop_front();
  }
  // The worker waits until done is set: its task stays valid meanwhile.
  (*p->task)();
  std::lock_guard<std::mutex> lock(mutex_);
  p->ran = true;
  p->done = true;
  changed_.notify_all();
  return true;
}

void TaskQueue::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  for (Pending* p : waiting_) p->done = true;
  waiting_.clear();
  changed_.notify_all();
}

int ServeOnRanks(const MpiJob& job, const std::function<int(TaskQueue& queue)>& serve,
                 const std::function<void(const std::string& bytes)>& follow) {
  if (!job.Root()) {
    for (;;) {
      std::string bytes;
      job.BroadcastWaiting(&bytes);
      if (bytes.empty()) return 0;
      follow(bytes);
    }
  }
  TaskQueue queue;
  int status = 1;
  std::thread server([&] {
    status = serve(queue);
    queue.Close();
  });
  while (queue.RunNext()) {
  }
  std::string stop;
  job.BroadcastWaiting(&stop);
  server.join();
  return status;
}

}  // namespace shard
}  // namespace kivo
