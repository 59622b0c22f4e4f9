// Worker threads of the event loop.
#include "KvWorkerPool.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

KvWorkerPool::KvWorkerPool(int workers, StateFactory factory) : factory_(std::move(factory)) {
  doneFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (doneFd_ < 0) return;
  // Faults of the thread itself (a bad access, an abort) stay deliverable;
  // everything else goes to the loop's thread.
  sigset_t blocked, previous;
  sigfillset(&blocked);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) sigdelset(&blocked, s);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  for (int i = 0; i < workers; ++i) threads_.emplace_back(&KvWorkerPool::Serve, this, i);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

KvWorkerPool::~KvWorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    waiting_.clear();
    ready_.notify_all();
  }
  for (std::thread& t : threads_) t.join();
  if (doneFd_ >= 0) ::close(doneFd_);
}

void KvWorkerPool::Submit(uint64_t id, KvProtocol* protocol) {
  std::lock_guard<std::mutex> lock(mutex_);
  waiting_.push_back(Job{id, protocol});
  ready_.notify_one();
}

std::vector<uint64_t> KvWorkerPool::TakeDone() {
  uint64_t count = 0;
  // Only the loop reads the counter; a failed read means nothing was counted.
  if (::read(doneFd_, &count, sizeof count) < 0) count = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint64_t> done;
  done.swap(done_);
  return done;
}

std::vector<uint64_t> KvWorkerPool::DropWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint64_t> dropped;
  for (const Job& job : waiting_) dropped.push_back(job.id);
  waiting_.clear();
  return dropped;
}

void KvWorkerPool::Serve(int index) {
  std::unique_ptr<KvWorkerState> state = factory_ ? factory_(index) : nullptr;
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [&] { return closing_ || !waiting_.empty(); });
      if (closing_) return;
      job = waiting_.front();
      waiting_.pop_front();
    }
    job.protocol->Work(state.get());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.push_back(job.id);
    }
    const uint64_t one = 1;
    // The counter cannot overflow in practice; the list above is what counts.
    if (::write(doneFd_, &one, sizeof one) < 0) {
    }
  }
}
