// A fixed pool of worker threads for the event loop: each worker has its own
// state, takes complete requests in arrival order, and reports each finished
// request back through a descriptor the loop watches.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "KvProtocol.h"

class KvWorkerPool {
 public:
  // Makes worker i's state on that worker's thread (may return null).
  using StateFactory = std::function<std::unique_ptr<KvWorkerState>(int index)>;

  // Starts workers threads with every asynchronous signal blocked, so stop
  // requests reach only the loop's thread. valid() is false when the
  // notification descriptor cannot be made.
  KvWorkerPool(int workers, StateFactory factory);
  // Finishes the running requests, drops the waiting ones and joins.
  ~KvWorkerPool();
  KvWorkerPool(const KvWorkerPool&) = delete;
  KvWorkerPool& operator=(const KvWorkerPool&) = delete;

  bool valid() const { return doneFd_ >= 0; }
  // Readable while finished requests wait to be taken.
  int DoneFd() const { return doneFd_; }

  // Queues protocol->Work for connection id.
  void Submit(uint64_t id, KvProtocol* protocol);
  // The connections whose work has finished since the last call.
  std::vector<uint64_t> TakeDone();
  // Removes the requests no worker has started; their connection ids.
  std::vector<uint64_t> DropWaiting();

 private:
  struct Job {
    uint64_t id;
    KvProtocol* protocol;
  };
  void Serve(int index);

  StateFactory factory_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> waiting_;
  std::vector<uint64_t> done_;
  bool closing_ = false;
  int doneFd_ = -1;
  std::vector<std::thread> threads_;
};
